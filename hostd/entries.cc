#include "hostd/entries.h"

#include <string_view>

#include "buffers/buffer.h"
#include "utils/numbers.h"
#include "xmldoc/xmldoc.h"

namespace orvane_hostd {

namespace {

constexpr uint32_t kNeverExpires = 99998;
// Cache files larger than this are not ours.
constexpr size_t kMaxCacheParse = 512u << 20;

bool number(std::string_view text, uint32_t* out) {
  uint64_t v = 0;
  if (!kt::decimal_parse(text, UINT32_MAX, &v)) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

// A field a passwd or group line can hold: no ':' (nor ',' in names), no control character.
bool clean(std::string_view text, bool is_name) {
  if (is_name && text.empty()) return false;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == ':' || (is_name && (c == ',' || c == ' '))) return false;
  }
  return true;
}

bool user_from(const kt::xmldoc_node& u, pw_entry* e) {
  e->name = std::string(u.attr_get_value("n"));
  e->home = std::string(u.attr_get_value("h"));
  e->shell = std::string(u.attr_get_value("s"));
  e->crypt = std::string(u.attr_get_value("p"));
  e->flags = 0;
  e->valid = kNeverExpires;
  e->changed = 0;
  if (!number(u.attr_get_value("uid"), &e->uid)) return false;
  number(u.attr_get_value("pl"), &e->changed);
  number(u.attr_get_value("pv"), &e->valid);
  number(u.attr_get_value("f"), &e->flags);
  return clean(e->name, true) && e->name.size() <= 255 && clean(e->home, false) &&
         clean(e->shell, false) && clean(e->crypt, false);
}

bool group_from(const kt::xmldoc_node& g, gr_entry* e) {
  e->name = std::string(g.attr_get_value("n"));
  if (!number(g.attr_get_value("gid"), &e->gid) || !clean(e->name, true)) return false;
  e->members.clear();
  std::string_view list = g.value();
  while (!list.empty()) {
    const size_t comma = list.find(',');
    const std::string_view m = list.substr(0, comma);
    if (clean(m, true)) e->members.emplace_back(m);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return true;
}

template <typename Map, typename Key>
const typename Map::mapped_type* find(const Map& m, const Key& k) {
  const auto it = m.find(k);
  return it != m.end() ? &it->second : nullptr;
}

}  // namespace

size_t entries_from_answers(const kt::xmldoc_node& pwentries, const kt::xmldoc_node& grentries,
                            snapshot* s) {
  size_t dropped = 0;
  for (const auto& u : pwentries.children()) {
    pw_entry e;
    if (u->name() == "u" && user_from(*u, &e)) {
      s->users.push_back(std::move(e));
    } else {
      ++dropped;
    }
  }
  for (const auto& g : grentries.children()) {
    gr_entry e;
    if (g->name() == "g" && group_from(*g, &e)) {
      s->groups.push_back(std::move(e));
    } else {
      ++dropped;
    }
  }
  s->index();
  return dropped;
}

const pw_entry* snapshot::user(const std::string& name) const {
  const size_t* i = find(user_by_name, name);
  return i != nullptr ? &users[*i] : nullptr;
}
const pw_entry* snapshot::user(uint32_t uid) const {
  const size_t* i = find(user_by_uid, uid);
  return i != nullptr ? &users[*i] : nullptr;
}
const gr_entry* snapshot::group(const std::string& name) const {
  const size_t* i = find(group_by_name, name);
  return i != nullptr ? &groups[*i] : nullptr;
}
const gr_entry* snapshot::group(uint32_t gid) const {
  const size_t* i = find(group_by_gid, gid);
  return i != nullptr ? &groups[*i] : nullptr;
}

void snapshot::index() {
  user_by_name.clear();
  user_by_uid.clear();
  group_by_name.clear();
  group_by_gid.clear();
  user_by_name.reserve(users.size());
  user_by_uid.reserve(users.size());
  for (size_t i = 0; i < users.size(); ++i) {
    user_by_name.emplace(users[i].name, i);
    user_by_uid.emplace(users[i].uid, i);
  }
  group_by_name.reserve(groups.size());
  group_by_gid.reserve(groups.size());
  for (size_t i = 0; i < groups.size(); ++i) {
    group_by_name.emplace(groups[i].name, i);
    group_by_gid.emplace(groups[i].gid, i);
  }
}

std::string entries_save(const snapshot& s) {
  kt::xmldoc doc = kt::xmldoc::create_def("hostcache");
  kt::xmldoc_node* root = doc.root();
  root->attr_addval("fetched", std::to_string(s.fetched));
  kt::xmldoc_node* pw = root->add_child(kt::xmldoc_node::create("pwentries"));
  for (const pw_entry& e : s.users) {
    auto u = kt::xmldoc_node::create("u");
    u->attr_addval("uid", std::to_string(e.uid));
    u->attr_addval("s", e.shell);
    u->attr_addval("h", e.home);
    u->attr_addval("n", e.name);
    u->attr_addval("p", e.crypt);
    u->attr_addval("pl", std::to_string(e.changed));
    u->attr_addval("pv", std::to_string(e.valid));
    u->attr_addval("f", std::to_string(e.flags));
    pw->add_child(std::move(u));
  }
  kt::xmldoc_node* gr = root->add_child(kt::xmldoc_node::create("grentries"));
  for (const gr_entry& e : s.groups) {
    auto g = kt::xmldoc_node::create("g");
    g->attr_addval("gid", std::to_string(e.gid));
    g->attr_addval("n", e.name);
    std::string members;
    for (const std::string& m : e.members) {
      if (!members.empty()) members += ',';
      members += m;
    }
    g->set_value(members);
    gr->add_child(std::move(g));
  }
  kt::buffer out;
  doc.save(root, out);
  return std::string(out.view());
}

int entries_load(const std::string& text, snapshot* out) {
  if (text.size() > kMaxCacheParse) return -1;
  kt::xmldoc doc;
  if (doc.parse(text) != 0 || doc.root() == nullptr || doc.root()->name() != "hostcache") {
    return -1;
  }
  const kt::xmldoc_node* pw = doc.root()->get("pwentries");
  const kt::xmldoc_node* gr = doc.root()->get("grentries");
  const std::string_view fetched_text = doc.root()->attr_get_value("fetched");
  uint64_t fetched = 0;
  if (pw == nullptr || gr == nullptr || !kt::decimal_parse(fetched_text, UINT64_MAX, &fetched)) {
    return -1;
  }
  snapshot s;
  s.fetched = fetched;
  entries_from_answers(*pw, *gr, &s);
  *out = std::move(s);
  return 0;
}

bool password_expired(const pw_entry& e, uint32_t today) {
  if (e.valid >= kNeverExpires) return false;
  return today >= e.changed && today - e.changed >= e.valid;
}

}  // namespace orvane_hostd
