// Crash consistency: orvaned is killed with SIGKILL at random moments while a client inserts,
// edits and removes users, groups (nested, with members), resources (nested) and permissions.
// After each restart the server must load, hold every acknowledged change, hold the change in
// flight whole or not at all, show no member or permission of an object that is gone, and leave
// every record file whole (no partial record, no repeated key, no record naming a missing
// owner).
//
// ORVANE_CRASH_SEED fixes the seed of the changes (printed in every run); ORVANE_CRASH_POINTS
// the number of kill points.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "objects/attributes/attribute.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Member types of member and permission records.
constexpr uint32_t kUser = 0;
constexpr uint32_t kGroup = 1;

// --- the model: what the server must hold ---

using member_key = std::pair<uint32_t, uint64_t>;  // member type, member id

struct object {
  std::string name;
  std::set<uint64_t> links;              // a user's groups, a group's parents
  uint64_t parent = 0;                   // a resource's parent (0: top level)
  std::map<member_key, uint32_t> perms;  // a resource's permissions: member -> flags
  bool operator==(const object&) const = default;
};

using table = std::map<uint64_t, object>;

struct state {
  table users, groups, resources;
  bool operator==(const state&) const = default;
  table& of(char kind) { return kind == 'u' ? users : kind == 'g' ? groups : resources; }
};

std::string show(const object& o) {
  std::string s = o.name;
  if (!o.links.empty()) {
    s += " links{";
    for (uint64_t l : o.links) s += std::to_string(l) + " ";
    s += "}";
  }
  if (o.parent != 0) s += " parent " + std::to_string(o.parent);
  for (const auto& [m, flags] : o.perms) {
    s += " p" + std::to_string(m.first) + ":" + std::to_string(m.second) + "=" +
         std::to_string(flags);
  }
  return s;
}

// The differences between two states, one line each.
std::string diff(const state& have, const state& want) {
  std::ostringstream out;
  const auto one = [&](const char* kind, const table& h, const table& w) {
    for (const auto& [id, o] : w) {
      const auto it = h.find(id);
      if (it == h.end()) {
        out << "  missing " << kind << " " << id << " " << show(o) << "\n";
      } else if (!(it->second == o)) {
        out << "  " << kind << " " << id << ": have " << show(it->second) << ", want " << show(o)
            << "\n";
      }
    }
    for (const auto& [id, o] : h) {
      if (w.count(id) == 0) out << "  extra " << kind << " " << id << " " << show(o) << "\n";
    }
  };
  one("user", have.users, want.users);
  one("group", have.groups, want.groups);
  one("resource", have.resources, want.resources);
  return out.str();
}

// References to objects that do not exist in the state.
std::string dangling(const state& s) {
  std::ostringstream out;
  for (const auto& [id, u] : s.users) {
    for (uint64_t g : u.links) {
      if (s.groups.count(g) == 0) out << "  user " << id << " in missing group " << g << "\n";
    }
  }
  for (const auto& [id, g] : s.groups) {
    for (uint64_t p : g.links) {
      if (s.groups.count(p) == 0) out << "  group " << id << " in missing group " << p << "\n";
    }
  }
  for (const auto& [id, r] : s.resources) {
    if (r.parent != 0 && s.resources.count(r.parent) == 0) {
      out << "  resource " << id << " below missing " << r.parent << "\n";
    }
    for (const auto& [m, flags] : r.perms) {
      const table& members = m.first == kUser ? s.users : s.groups;
      if (members.count(m.second) == 0) {
        out << "  resource " << id << " grants to missing member " << m.second << "\n";
      }
    }
  }
  return out.str();
}

// A change the client sends, with the state it leads to.
struct change {
  std::string command;
  std::string body;
  state after;
  char insert_kind = 0;   // 'u', 'g', 'r': an insertion, its object under id 0 in after
  std::string new_name;   // the inserted object's name
  char links_kind = 0;    // a membership edit: its object's links may be changed in part
  uint64_t links_id = 0;  // (each member record is written on its own)
};

// Objects the test may change: created by it (the system objects come before any of them).
bool ours(const object& o) {
  return o.name.size() > 1 && (o.name[0] == 'u' || o.name[0] == 'g' || o.name[0] == 'r') &&
         o.name[1] == '_';
}

// Removes a user or group and everything that names it from the state.
void drop_member(state& s, uint32_t type, uint64_t id) {
  if (type == kUser) {
    s.users.erase(id);
  } else {
    s.groups.erase(id);
    for (auto& [uid, u] : s.users) u.links.erase(id);
    for (auto& [gid, g] : s.groups) g.links.erase(id);
  }
  for (auto& [rid, r] : s.resources) r.perms.erase({type, id});
}

void drop_resource(state& s, uint64_t id) {
  std::vector<uint64_t> pending{id};
  while (!pending.empty()) {
    const uint64_t r = pending.back();
    pending.pop_back();
    s.resources.erase(r);
    for (const auto& [cid, c] : s.resources) {
      if (c.parent == r) pending.push_back(cid);
    }
  }
}

std::string memberof(const std::set<uint64_t>& ids) {
  std::string out = "<memberof>";
  for (uint64_t id : ids) out += "<g id=\"" + std::to_string(id) + "\"/>";
  return out + "</memberof>";
}

std::string perm_element(uint64_t id, const member_key& m, uint32_t flags) {
  return "<p id=\"" + std::to_string(id) + "\" memberType=\"" + std::to_string(m.first) +
         "\" memberId=\"" + std::to_string(m.second) + "\" flags=\"" + std::to_string(flags) +
         "\"/>";
}

// --- record files ---

struct file_findings {
  int partial = 0;   // files ending in a partial record
  int repeated = 0;  // records whose key came before in the same file
  int dangling = 0;  // member or permission records naming a missing owner, orphan files
  std::vector<std::string> notes;
  bool clean() const { return partial == 0 && repeated == 0 && dangling == 0; }
};

std::optional<uint32_t> record_size_of(const std::string& name) {
  static const std::map<std::string, uint32_t> sizes = {
      {"users", orvane::USER_RECORD_SIZE},
      {"groups", orvane::GROUP_RECORD_SIZE},
      {"resources", orvane::RESOURCE_RECORD_SIZE},
      {"permissions", orvane::PERMISSION_RECORD_SIZE},
      {"attributes", orvane::ATTRIBUTE_RECORD_SIZE}};
  if (const auto it = sizes.find(name); it != sizes.end()) return it->second;
  if (name.rfind("group_users_", 0) == 0 || name.rfind("group_groups_", 0) == 0) {
    if (name.find('.') == std::string::npos) return orvane::GROUP_MEMBER_RECORD_SIZE;
  }
  return std::nullopt;
}

uint64_t u64_at(const std::string& rec, size_t off) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(rec[off + i]);
  return v;
}
uint32_t u32_at(const std::string& rec, size_t off) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(rec[off + i]);
  return v;
}

// The whole records of a file.
std::vector<std::string> records_of(const fs::path& path, uint32_t size, bool* partial) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  *partial = bytes.size() % size != 0;
  std::vector<std::string> out;
  for (size_t off = 0; off + size <= bytes.size(); off += size)
    out.push_back(bytes.substr(off, size));
  return out;
}

// Examines every record file of the domain directory: lengths, repeated keys, and member and
// permission records whose owner is missing.
file_findings examine_files(const std::string& dir) {
  file_findings f;
  std::map<std::string, std::vector<std::string>> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    const std::optional<uint32_t> size = record_size_of(name);
    if (!size || !e.is_regular_file()) continue;
    bool partial = false;
    std::vector<std::string> recs = records_of(e.path(), *size, &partial);
    if (partial) {
      ++f.partial;
      f.notes.push_back(name + ": length " + std::to_string(fs::file_size(e.path())) +
                        " is not a multiple of " + std::to_string(*size));
    }
    std::set<uint64_t> keys;
    for (const std::string& r : recs) {
      if (!keys.insert(u64_at(r, 0)).second) {
        ++f.repeated;
        f.notes.push_back(name + ": key " + std::to_string(u64_at(r, 0)) + " repeated");
      }
    }
    files[name] = std::move(recs);
  }
  std::set<uint64_t> users, groups, resources;
  for (const std::string& r : files["users"]) users.insert(u64_at(r, 0));
  for (const std::string& r : files["groups"]) groups.insert(u64_at(r, 0));
  for (const std::string& r : files["resources"]) resources.insert(u64_at(r, 0));
  const auto member_missing = [&](uint32_t type, uint64_t id) {
    if (type == kUser) return users.count(id) == 0;
    if (type == kGroup) return groups.count(id) == 0;
    return false;
  };
  // Permission record: id 0, target type 8, target id 12, member type 20, member id 24.
  for (const std::string& r : files["permissions"]) {
    if (resources.count(u64_at(r, 12)) == 0 || member_missing(u32_at(r, 20), u64_at(r, 24))) {
      ++f.dangling;
      f.notes.push_back("permission " + std::to_string(u64_at(r, 0)) + " names a missing owner");
    }
  }
  // Member record: member id 0, member type 8; the file names its group.
  for (const auto& [name, recs] : files) {
    if (name.rfind("group_", 0) != 0 || name == "groups") continue;
    const uint64_t owner = std::stoull(name.substr(name.rfind('_') + 1));
    if (groups.count(owner) == 0) {
      ++f.dangling;
      f.notes.push_back(name + ": member file of a missing group");
      continue;
    }
    for (const std::string& r : recs) {
      if (member_missing(u32_at(r, 8), u64_at(r, 0))) {
        ++f.dangling;
        f.notes.push_back(name + ": member " + std::to_string(u64_at(r, 0)) + " is missing");
      }
    }
  }
  return f;
}

std::string join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& l : lines) out += "  " + l + "\n";
  return out;
}

// --- the test ---

class CrashConsistencyTest : public ::testing::Test {
 protected:
  // A TLS write to a server killed under it raises SIGPIPE, which would end the test program.
  void SetUp() override {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, &saved_pipe_);
  }
  void TearDown() override { ::sigaction(SIGPIPE, &saved_pipe_, nullptr); }

  // Runs one command on the root domain. -1 when no whole answer came (the server is gone).
  long cmd(const std::string& name, const std::string& body, kt::xmldoc* doc = nullptr) {
    const http_answer a = server_.post("<orvane><" + name + " domain=\"ORVANE\" token=\"" + token_ +
                                       "\">" + body + "</" + name + "></orvane>");
    if (!a.ok) return -1;
    const long code = orvaned_process::code(a);
    if (doc != nullptr && (code < 0 || doc->parse(a.body) != 0)) return -1;
    return code;
  }

  bool start() {
    if (!server_.start()) return false;
    token_ = server_.token();
    return !token_.empty();
  }

  // The state the server shows through its search commands; false when a search fails.
  bool snapshot(state* out) {
    state s;
    kt::xmldoc doc;
    if (cmd("userSearch", "<s>.*</s>", &doc) != 0) return false;
    for (const auto& u : doc.root()->get("users")->children()) {
      object& o = s.users[std::stoull(std::string(u->attr_get_value("id")))];
      o.name = u->attr_get_value("uname");
      if (const kt::xmldoc_node* mo = u->get("memberof"); mo != nullptr) {
        for (const auto& g : mo->children()) {
          o.links.insert(std::stoull(std::string(g->attr_get_value("id"))));
        }
      }
    }
    doc = kt::xmldoc();
    if (cmd("groupSearch", "<s/>", &doc) != 0) return false;
    for (const auto& g : doc.root()->get("groups")->children()) {
      object& o = s.groups[std::stoull(std::string(g->attr_get_value("id")))];
      o.name = g->attr_get_value("name");
      if (const kt::xmldoc_node* mo = g->get("memberof"); mo != nullptr) {
        for (const auto& p : mo->children()) {
          o.links.insert(std::stoull(std::string(p->attr_get_value("id"))));
        }
      }
    }
    doc = kt::xmldoc();
    if (cmd("resourceSearch", "<s/>", &doc) != 0) return false;
    for (const auto& r : doc.root()->get("resources")->children()) {
      object& o = s.resources[std::stoull(std::string(r->attr_get_value("id")))];
      o.name = r->attr_get_value("name");
      o.parent = std::stoull(std::string(r->attr_get_value("parentId")));
      if (const kt::xmldoc_node* ps = r->get("permissions"); ps != nullptr) {
        for (const auto& p : ps->children()) {
          const member_key m{
              static_cast<uint32_t>(std::stoul(std::string(p->attr_get_value("memberType")))),
              std::stoull(std::string(p->attr_get_value("memberId")))};
          o.perms[m] = static_cast<uint32_t>(std::stoul(std::string(p->attr_get_value("flags"))));
        }
      }
    }
    *out = std::move(s);
    return true;
  }

  // The permission identifiers of a resource by member; false when the search fails.
  bool permission_ids(const object& r, std::map<member_key, uint64_t>* out) {
    kt::xmldoc doc;
    if (cmd("resourceSearch", "<s opt=\"1\">^" + r.name + "$</s>", &doc) != 0) return false;
    const kt::xmldoc_node* list = doc.root()->get("resources");
    if (list == nullptr || list->first_child() == nullptr) return false;
    if (const kt::xmldoc_node* ps = list->first_child()->get("permissions"); ps != nullptr) {
      for (const auto& p : ps->children()) {
        const member_key m{
            static_cast<uint32_t>(std::stoul(std::string(p->attr_get_value("memberType")))),
            std::stoull(std::string(p->attr_get_value("memberId")))};
        (*out)[m] = std::stoull(std::string(p->attr_get_value("id")));
      }
    }
    return true;
  }

  std::string domain_dir() const {
    for (const auto& e : fs::directory_iterator(server_.current())) {
      if (e.is_directory() && fs::exists(e.path() / "groups")) return e.path().string();
    }
    return {};
  }

  // --- changes ---

  template <class Rng>
  static uint64_t pick(const std::vector<uint64_t>& ids, Rng& rng) {
    return ids[std::uniform_int_distribution<size_t>(0, ids.size() - 1)(rng)];
  }

  // Ids of a table's objects that pass the filter.
  static std::vector<uint64_t> ids_of(const table& t,
                                      const std::function<bool(uint64_t, const object&)>& ok) {
    std::vector<uint64_t> out;
    for (const auto& [id, o] : t) {
      if (ok(id, o)) out.push_back(id);
    }
    return out;
  }

  // Up to four groups a user or a group (below) may join: not AllUsers; for a group only groups
  // created before it, so that no loop can form.
  std::set<uint64_t> some_groups(const state& s, uint64_t below, std::mt19937_64& rng) {
    const std::vector<uint64_t> ids = ids_of(
        s.groups, [&](uint64_t id, const object& g) { return g.name != "AllUsers" && id < below; });
    std::set<uint64_t> out;
    if (ids.empty()) return out;
    const int n = std::uniform_int_distribution<int>(0, 4)(rng);
    for (int i = 0; i < n; ++i) out.insert(pick(ids, rng));
    return out;
  }

  // The next change; nullopt when the chosen kind has nothing to work on.
  std::optional<change> next_change(const state& s, std::mt19937_64& rng) {
    const auto test_users = ids_of(s.users, [](uint64_t, const object& o) { return ours(o); });
    const auto test_groups = ids_of(s.groups, [](uint64_t, const object& o) { return ours(o); });
    const auto test_resources =
        ids_of(s.resources, [](uint64_t, const object& o) { return ours(o); });
    // Inserts grow the population, removals keep it small.
    const double grow_u = test_users.size() < 12 ? 4 : 1;
    const double grow_g = test_groups.size() < 8 ? 3 : 1;
    const double grow_r = test_resources.size() < 12 ? 4 : 1;
    std::discrete_distribution<int> kind_of(
        {grow_u, 2, 1, 2, grow_g, 2, 1, 1.5, grow_r, 1, 1, 3, 1.5});
    const int kind = kind_of(rng);
    change c;
    c.after = s;
    switch (kind) {
      case 0: {  // userInsert, with memberships
        c.new_name = "u_" + std::to_string(++names_);
        const std::set<uint64_t> groups = some_groups(s, UINT64_MAX, rng);
        c.command = "userInsert";
        c.body = "<u uname=\"" + c.new_name + "\"><p>Passw0rd</p>" +
                 (groups.empty() ? "" : memberof(groups)) + "</u>";
        c.after.users[0] = object{c.new_name, groups, 0, {}};
        c.insert_kind = 'u';
        return c;
      }
      case 1: {  // userEdit: memberships
        if (test_users.empty()) return std::nullopt;
        const uint64_t id = pick(test_users, rng);
        const std::set<uint64_t> groups = some_groups(s, UINT64_MAX, rng);
        c.command = "userEdit";
        c.body = "<u id=\"" + std::to_string(id) + "\">" + memberof(groups) + "</u>";
        c.after.users[id].links = groups;
        c.links_kind = 'u';
        c.links_id = id;
        return c;
      }
      case 2: {  // userEdit: rename
        if (test_users.empty()) return std::nullopt;
        const uint64_t id = pick(test_users, rng);
        const std::string name = "u_" + std::to_string(++names_);
        c.command = "userEdit";
        c.body = "<u id=\"" + std::to_string(id) + "\" uname=\"" + name + "\"/>";
        c.after.users[id].name = name;
        return c;
      }
      case 3: {  // userRemove
        if (test_users.empty()) return std::nullopt;
        const uint64_t id = pick(test_users, rng);
        c.command = "userRemove";
        c.body = "<u id=\"" + std::to_string(id) + "\"/>";
        drop_member(c.after, kUser, id);
        return c;
      }
      case 4: {  // groupInsert, nested
        c.new_name = "g_" + std::to_string(++names_);
        const std::set<uint64_t> parents = some_groups(s, UINT64_MAX, rng);
        c.command = "groupInsert";
        c.body =
            "<g name=\"" + c.new_name + "\">" + (parents.empty() ? "" : memberof(parents)) + "</g>";
        c.after.groups[0] = object{c.new_name, parents, 0, {}};
        c.insert_kind = 'g';
        return c;
      }
      case 5: {  // groupEdit: parents
        if (test_groups.empty()) return std::nullopt;
        const uint64_t id = pick(test_groups, rng);
        const std::set<uint64_t> parents = some_groups(s, id, rng);
        c.command = "groupEdit";
        c.body = "<g id=\"" + std::to_string(id) + "\">" + memberof(parents) + "</g>";
        c.after.groups[id].links = parents;
        c.links_kind = 'g';
        c.links_id = id;
        return c;
      }
      case 6: {  // groupEdit: rename
        if (test_groups.empty()) return std::nullopt;
        const uint64_t id = pick(test_groups, rng);
        const std::string name = "g_" + std::to_string(++names_);
        c.command = "groupEdit";
        c.body = "<g id=\"" + std::to_string(id) + "\" name=\"" + name + "\"/>";
        c.after.groups[id].name = name;
        return c;
      }
      case 7: {  // groupRemove
        if (test_groups.empty()) return std::nullopt;
        const uint64_t id = pick(test_groups, rng);
        c.command = "groupRemove";
        c.body = "<g id=\"" + std::to_string(id) + "\"/>";
        drop_member(c.after, kGroup, id);
        return c;
      }
      case 8: {  // resourceInsert, nested, with permissions
        c.new_name = "r_" + std::to_string(++names_);
        const uint64_t parent =
            test_resources.empty() || rng() % 3 == 0 ? 0 : pick(test_resources, rng);
        object o{c.new_name, {}, parent, {}};
        std::string perms;
        const int n = std::uniform_int_distribution<int>(0, 4)(rng);
        for (int i = 0; i < n; ++i) {
          const member_key m = random_member(s, rng);
          if (m.second == 0 || o.perms.count(m) != 0) continue;
          const uint32_t flags = 1 + static_cast<uint32_t>(rng() % 7);
          o.perms[m] = flags;
          perms += perm_element(0, m, flags);
        }
        c.command = "resourceInsert";
        c.body = "<r name=\"" + c.new_name + "\" type=\"3\" parentId=\"" + std::to_string(parent) +
                 "\">" + (perms.empty() ? "" : "<permissions>" + perms + "</permissions>") + "</r>";
        c.after.resources[0] = o;
        c.insert_kind = 'r';
        return c;
      }
      case 9:     // resourceEdit: rename
      case 10: {  // resourceEdit: move below a resource created before it, or to the top
        if (test_resources.empty()) return std::nullopt;
        const uint64_t id = pick(test_resources, rng);
        object& o = c.after.resources[id];
        if (kind == 9) {
          o.name = "r_" + std::to_string(++names_);
        } else {
          const auto below = ids_of(
              s.resources, [&](uint64_t rid, const object& r) { return ours(r) && rid < id; });
          o.parent = below.empty() || rng() % 4 == 0 ? 0 : pick(below, rng);
        }
        c.command = "resourceEdit";
        c.body = "<r id=\"" + std::to_string(id) + "\" name=\"" + o.name +
                 "\" type=\"3\" parentId=\"" + std::to_string(o.parent) + "\"/>";
        return c;
      }
      case 11: {  // resourceEdit: one permission added, changed or dropped
        if (test_resources.empty()) return std::nullopt;
        const uint64_t id = pick(test_resources, rng);
        std::map<member_key, uint64_t> pids;
        if (!permission_ids(s.resources.at(id), &pids)) return std::nullopt;
        object& o = c.after.resources[id];
        const member_key m = random_member(s, rng);
        if (m.second == 0) return std::nullopt;
        if (o.perms.count(m) == 0) {
          o.perms[m] = 1 + static_cast<uint32_t>(rng() % 7);
        } else if (rng() % 2 == 0) {
          o.perms.erase(m);
        } else {
          o.perms[m] = 1 + (o.perms[m] % 7);  // another set of flags
        }
        std::string perms;
        for (const auto& [member, flags] : o.perms) {
          const auto it = pids.find(member);
          perms += perm_element(it == pids.end() ? 0 : it->second, member, flags);
        }
        c.command = "resourceEdit";
        c.body = "<r id=\"" + std::to_string(id) + "\" name=\"" + o.name +
                 "\" type=\"3\" parentId=\"" + std::to_string(o.parent) + "\"><permissions>" +
                 perms + "</permissions></r>";
        return c;
      }
      default: {  // resourceRemove, with its subtree
        if (test_resources.empty()) return std::nullopt;
        const uint64_t id = pick(test_resources, rng);
        c.command = "resourceRemove";
        c.body = "<r id=\"" + std::to_string(id) + "\"/>";
        drop_resource(c.after, id);
        return c;
      }
    }
  }

  // A test user or group, or one of the system groups; id 0 when there is none.
  static member_key random_member(const state& s, std::mt19937_64& rng) {
    const bool user = rng() % 2 == 0;
    const table& t = user ? s.users : s.groups;
    const auto ids =
        ids_of(t, [](uint64_t, const object& o) { return ours(o) || o.name == "Administrators"; });
    if (ids.empty()) return {user ? kUser : kGroup, 0};
    return {user ? kUser : kGroup, pick(ids, rng)};
  }

  // Sends a change; an acknowledged one becomes the model. Returns the answer's code, -1 when
  // none came.
  long send(change& c) {
    kt::xmldoc doc;
    const auto began = std::chrono::steady_clock::now();
    const long code = cmd(c.command, c.body, &doc);
    if (code < 0) return code;
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - began).count();
    latency_us_ = latency_us_ == 0 ? us : 0.9 * latency_us_ + 0.1 * us;
    ++sent_;
    if (code != 0) {
      ADD_FAILURE() << c.command << " " << c.body << " refused with " << code;
      return code;
    }
    ++acknowledged_;
    if (c.insert_kind != 0) {
      const kt::xmldoc_node* id = doc.root()->get("insertedId");
      if (id == nullptr) {
        ADD_FAILURE() << c.command << " without insertedId";
        return code;
      }
      table& t = c.after.of(c.insert_kind);
      t[std::stoull(id->value())] = t.at(0);
      t.erase(0);
    }
    model_ = std::move(c.after);
    return code;
  }

  // A removal, an insertion with members or permissions, or a membership edit.
  static bool spans_files(const change& c) {
    if (c.command.find("Remove") != std::string::npos || c.links_kind != 0) return true;
    return c.insert_kind != 0 && (c.body.find("<memberof>") != std::string::npos ||
                                  c.body.find("<permissions>") != std::string::npos);
  }

  // Sends `before` changes, then one more during which the server is killed, after a random
  // part (0.3 to 0.8) of the usual time of a command: the kill comes before the request, while
  // the handler writes, or after the answer. Returns the change in flight when no answer came.
  std::optional<change> run_until_killed(int before, std::mt19937_64& rng,
                                         std::mt19937_64& timing) {
    std::optional<change> c;
    for (int done = 0; done < before;) {
      c = next_change(model_, rng);
      if (!c) continue;
      if (send(*c) < 0) {
        ADD_FAILURE() << "no answer to " << c->command << " " << c->body << " before any kill";
        server_.kill_hard();
        return c;
      }
      ++done;
    }
    // Mostly a change that spans several files: those have the windows worth hitting.
    const bool any = timing() % 5 == 0;
    do {
      c = next_change(model_, rng);
    } while (!c || !(any || spans_files(*c)));
    const auto delay = std::chrono::microseconds(static_cast<int64_t>(
        std::uniform_real_distribution<double>(0.3, 0.8)(timing) * latency_us_));
    std::thread killer([&] {
      std::this_thread::sleep_for(delay);
      server_.kill_hard();
    });
    const long code = send(*c);
    killer.join();
    if (code < 0) return c;
    return std::nullopt;
  }

  // Whether the server's state is one the change in flight allows: the state before it or
  // after it, or for a membership edit the object's links between the two.
  static bool allowed(state have, state before, change c, std::string* why) {
    if (have == before) return true;
    if (c.insert_kind != 0) {
      table& t = c.after.of(c.insert_kind);
      for (const auto& [id, o] : have.of(c.insert_kind)) {
        if (o.name == c.new_name) {
          t[id] = t.at(0);
          break;
        }
      }
      t.erase(0);
    }
    if (have == c.after) return true;
    if (c.links_kind != 0) {
      const table& h = have.of(c.links_kind);
      const auto it = h.find(c.links_id);
      const object& old = before.of(c.links_kind).at(c.links_id);
      const object& now = c.after.of(c.links_kind).at(c.links_id);
      if (it != h.end()) {
        const std::set<uint64_t>& links = it->second.links;
        bool between = true;
        for (uint64_t l : links) between &= old.links.count(l) + now.links.count(l) > 0;
        for (uint64_t l : old.links) between &= now.links.count(l) == 0 || links.count(l) > 0;
        state patched = before;
        patched.of(c.links_kind)[c.links_id].links = links;
        if (between && have == patched) return true;
      }
    }
    *why = "in flight: " + c.command + " " + c.body + "\nagainst the state before:\n" +
           diff(have, before) + "against the state after:\n" + diff(have, c.after);
    return false;
  }

  orvaned_process server_;
  std::string token_;
  state model_;
  int names_ = 0;
  long sent_ = 0;
  long acknowledged_ = 0;
  double latency_us_ = 0;  // the usual time of a command (moving average)
  struct sigaction saved_pipe_ {};
};

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

TEST_F(CrashConsistencyTest, EveryAcknowledgedChangeSurvivesSigkill) {
  const uint64_t seed = std::getenv("ORVANE_CRASH_SEED") != nullptr
                            ? std::strtoull(std::getenv("ORVANE_CRASH_SEED"), nullptr, 10)
                            : std::random_device{}();
  const int points = env_int("ORVANE_CRASH_POINTS", 60);
  std::printf("crash consistency: seed %lu (ORVANE_CRASH_SEED), %d kill points\n",
              static_cast<unsigned long>(seed), points);
  RecordProperty("seed", std::to_string(seed));
  std::mt19937_64 rng(seed);
  std::mt19937_64 timing(seed ^ 0x9e3779b97f4a7c15ull);

  ASSERT_TRUE(start()) << server_.log();
  ASSERT_TRUE(snapshot(&model_));
  const std::string dir = domain_dir();
  ASSERT_FALSE(dir.empty());

  const auto began = std::chrono::steady_clock::now();
  int run = 0, survived = 0, in_flight = 0, applied = 0;
  file_findings left;  // what the kills left in the files, before the restarts repaired it
  for (; run < points && !HasFatalFailure(); ++run) {
    // Keep the run bounded when the machine is slow (sanitizers).
    if (std::chrono::steady_clock::now() - began > 150s) break;
    const std::optional<change> pending =
        run_until_killed(std::uniform_int_distribution<int>(0, 40)(timing), rng, timing);

    const file_findings after_kill = examine_files(dir);
    left.partial += after_kill.partial;
    left.repeated += after_kill.repeated;
    left.dangling += after_kill.dangling;

    ASSERT_TRUE(start()) << "kill point " << run << ": the server does not start again\n"
                         << server_.log();
    state have;
    ASSERT_TRUE(snapshot(&have)) << "kill point " << run << ": searches fail";
    bool ok = true;
    if (pending) {
      ++in_flight;
      std::string why;
      if (!allowed(have, model_, *pending, &why)) {
        ADD_FAILURE() << "kill point " << run << " (seed " << seed << "): " << why;
        ok = false;
      } else if (!(have == model_)) {
        ++applied;
      }
    } else if (!(have == model_)) {
      ADD_FAILURE() << "kill point " << run << " (seed " << seed << "): acknowledged state lost\n"
                    << diff(have, model_);
      ok = false;
    }
    if (const std::string d = dangling(have); !d.empty()) {
      ADD_FAILURE() << "kill point " << run << ": references to missing objects\n" << d;
      ok = false;
    }
    const file_findings loaded = examine_files(dir);
    if (!loaded.clean()) {
      ADD_FAILURE() << "kill point " << run << ": record files after the restart\n"
                    << join(loaded.notes) << "as the kill left them:\n"
                    << join(after_kill.notes);
      ok = false;
    }
    if (ok) ++survived;
    model_ = std::move(have);  // go on from what the server holds
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf(
      "crash consistency: seed %lu: %d kill points run, %d survived; %ld commands answered "
      "(%ld acknowledged), %d in flight at a kill (%d of them found applied); the kills left "
      "%d partial record(s), %d repeated record(s), %d dangling record(s)/file(s) for the "
      "next load to repair; %.1f s\n",
      static_cast<unsigned long>(seed), run, survived, sent_, acknowledged_, in_flight, applied,
      left.partial, left.repeated, left.dangling, seconds);
  EXPECT_EQ(survived, run);
  EXPECT_GE(run, 5);
  EXPECT_EQ(server_.stop(), 0);
}

}  // namespace
}  // namespace orvane_test
