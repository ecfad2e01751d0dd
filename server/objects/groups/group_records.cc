#include "objects/groups/group_records.h"
#include "objects/groups/group_internal.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "errors.h"
#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission.h"
#include "objects/record.h"
#include "objects/record_repair.h"
#include "objects/users/user.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane {

namespace {

constexpr size_t kRecId = 0;
constexpr size_t kRecFlags = 8;
constexpr size_t kRecName = 9;
constexpr size_t kNameField = 128;

constexpr size_t kMemberId = 0;
constexpr size_t kMemberType = 8;

kt::filedb_fixed groups_file(const domain& d) {
  return domain_record_file(d.id, "groups", GROUP_RECORD_SIZE);
}

std::string member_file_name(uint64_t group_id, uint32_t member_type) {
  return (member_type == MEMBER_USER ? "group_users_" : "group_groups_") + std::to_string(group_id);
}

kt::filedb_fixed member_file(const domain& d, uint64_t group_id, uint32_t member_type) {
  return domain_record_file(d.id, member_file_name(group_id, member_type),
                            GROUP_MEMBER_RECORD_SIZE);
}

void group_to_record(const group& gr, uint64_t id, record& rec) {
  rec.put_u64(kRecId, id);
  rec.put_u8(kRecFlags, gr.flags);
  rec.put_str(kRecName, kNameField, gr.name);
}

// A name field is usable when it is terminated inside the field and not empty.
bool name_field_valid(const record& rec, size_t off, size_t width) {
  const std::string name = rec.get_str(off, width);
  return !name.empty() && name.size() < width;
}

void unlink_member_file(const domain& d, uint64_t group_id, uint32_t member_type) {
  const std::string path = path_domain_file(d.id, member_file_name(group_id, member_type).c_str());
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    KT_LOG_WARN("unlink(%s): %s", path.c_str(), std::strerror(errno));
  }
}

std::optional<uint64_t> parse_id(std::string_view text) {
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

// Links one member record of gr. Unknown members and invalid memberships are logged and skipped.
void load_member(domain& d, group& gr, uint64_t member_id, uint32_t member_type) {
  if (member_type == MEMBER_USER) {
    kt::ref_ptr<user> u = d.users_by_id.get_rw(member_id);
    if (!u) {
      KT_LOG_ERR("user %lu member of group %s not found.", member_id, gr.name.c_str());
      return;
    }
    group_link_user(gr, *u);
    KT_LOG_INFO("user %s is member of group %s", u->uname.c_str(), gr.name.c_str());
    return;
  }
  if (member_type != MEMBER_GROUP) {
    KT_LOG_ERR("member %lu of group %s has unknown type %u.", member_id, gr.name.c_str(),
               member_type);
    return;
  }
  kt::ref_ptr<group> child = d.groups_by_id.get_rw(member_id);
  if (!child) {
    KT_LOG_ERR("group %lu member of group %s not found.", member_id, gr.name.c_str());
    return;
  }
  if (child->flags & GROUP_FLAG_ALL_USERS) {
    KT_LOG_ERR("group %s can not be member of group %s (AllUsers).", child->name.c_str(),
               gr.name.c_str());
    return;
  }
  if (_group_is_ancestor(gr, *child)) {
    KT_LOG_ERR("group %s can not be member of group %s (loop).", child->name.c_str(),
               gr.name.c_str());
    return;
  }
  group_link_group(gr, *child);
  KT_LOG_INFO("group %s is member of group %s", child->name.c_str(), gr.name.c_str());
}

void load_member_file(domain& d, group& gr, uint32_t file_type) {
  const kt::filedb_fixed db = member_file(d, gr.id, file_type);
  const int rc = record_load_repair(db, [&](const record& rec) {
    load_member(d, gr, rec.get_u64(kMemberId), rec.get_u32(kMemberType));
    return true;
  });
  if (rc != 0) KT_LOG_ERR("%s: unreadable (%d)", db.path().c_str(), rc);
}

// Whether a member record names a user or group of the domain; records of an unknown type are
// kept (they are not ours to judge).
bool member_exists(domain& d, const record& rec) {
  const uint64_t id = rec.get_u64(kMemberId);
  switch (rec.get_u32(kMemberType)) {
    case MEMBER_USER:
      return static_cast<bool>(d.users_by_id.get_rw(id));
    case MEMBER_GROUP:
      return static_cast<bool>(d.groups_by_id.get_rw(id));
    default:
      return true;
  }
}

// The group identifier in a member file name ("group_users_<id>", "group_groups_<id>"), or
// nothing for any other name.
std::optional<uint64_t> member_file_owner(std::string_view name) {
  for (const std::string_view prefix : {"group_users_", "group_groups_"}) {
    if (name.substr(0, prefix.size()) != prefix) continue;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.empty() || digits.front() == '0') return std::nullopt;
    for (const char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    return parse_id(digits);
  }
  return std::nullopt;
}

// Deletes the member files of groups that no longer exist (a removal stopped before its last
// step). A restarted server could hand out their identifier again within the same second.
void unlink_orphan_member_files(domain& d) {
  const std::string dir = path_domain_dir(d.id);
  std::unique_ptr<DIR, int (*)(DIR*)> dp(::opendir(dir.c_str()), ::closedir);
  if (!dp) return;
  std::vector<std::string> orphans;
  while (const dirent* e = ::readdir(dp.get())) {
    const std::optional<uint64_t> owner = member_file_owner(e->d_name);
    if (owner && !d.groups_by_id.get_rw(*owner)) orphans.emplace_back(e->d_name);
  }
  for (const std::string& name : orphans) {
    const std::string path = dir + "/" + name;
    KT_LOG_WARN("%s: member file of a removed group deleted", path.c_str());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      KT_LOG_WARN("unlink(%s): %s", path.c_str(), std::strerror(errno));
    }
  }
}

}  // namespace

kt::ref_ptr<group> group_create() {
  return kt::make_ref<group>();
}

int groups_load(domain& d) {
  kt::ref_ptr<domain> dref(&d);
  const kt::filedb_fixed db = groups_file(d);
  const int rc = record_load_repair(db, [&](const record& rec) {
    const uint64_t id = rec.get_u64(kRecId);
    if (id == 0 || !name_field_valid(rec, kRecName, kNameField)) {
      KT_LOG_ERR("damaged group record (id %lu) skipped", id);
      return true;
    }
    const std::string name = rec.get_str(kRecName, kNameField);
    if (d.groups_by_id.get_rw(id) || d.groups_by_name.get_rw(name)) {
      KT_LOG_ERR("duplicate group record id:%lu, name:%s skipped", id, name.c_str());
      return true;
    }
    kt::ref_ptr<group> gr = group_create();
    gr->id = id;
    gr->flags = rec.get_u8(kRecFlags);
    gr->name = name;
    gr->dom = dref;
    d.groups_by_name.insert_rw(gr->name, gr);
    d.groups_by_id.insert_rw(gr->id, gr);
    KT_LOG_INFO("GROUP: id:%lu, name:%s", gr->id, gr->name.c_str());
    return true;
  });
  if (rc != 0) return rc;

  std::vector<kt::ref_ptr<group>> all;
  {
    std::shared_lock lock(d.groups_by_name.rwlock());
    d.groups_by_name.for_each(
        [&](const std::string&, kt::ref_ptr<group>& gr) { all.push_back(gr); });
  }
  for (const auto& gr : all) {
    if (gr->flags & GROUP_FLAG_ALL_USERS) continue;
    load_member_file(d, *gr, MEMBER_USER);
    load_member_file(d, *gr, MEMBER_GROUP);
  }
  return 0;
}

int groups_drop_dangling(domain& d) {
  std::vector<kt::ref_ptr<group>> all;
  {
    std::shared_lock lock(d.groups_by_id.rwlock());
    d.groups_by_id.for_each([&](const uint64_t&, kt::ref_ptr<group>& gr) { all.push_back(gr); });
  }
  int result = 0;
  for (const auto& gr : all) {
    if (gr->flags & GROUP_FLAG_ALL_USERS) continue;
    for (const uint32_t type : {MEMBER_USER, MEMBER_GROUP}) {
      const int rc = record_load_repair(member_file(d, gr->id, type), [&](const record& rec) {
        if (member_exists(d, rec)) return true;
        KT_LOG_WARN("member %lu of group %s is gone: record dropped",
                    static_cast<unsigned long>(rec.get_u64(kMemberId)), gr->name.c_str());
        return false;
      });
      if (rc != 0 && result == 0) result = rc;
    }
  }
  unlink_orphan_member_files(d);
  return result;
}

uint32_t group_db_add(domain& d, group& gr) {
  return _group_db_add_id(d, gr, kt::uid_time_seq());
}

uint32_t _group_db_add_id(domain& d, group& gr, uint64_t id) {
  if (id == 0) return E_GENERIC;
  record rec(GROUP_RECORD_SIZE);
  group_to_record(gr, id, rec);
  const kt::filedb_fixed db = groups_file(d);
  if (const uint32_t rc = record_result(db.insert(0, rec.data(), rec.data()), db.path().c_str());
      rc != E_OK) {
    return rc;
  }
  gr.id = id;
  return E_OK;
}

uint32_t group_db_edit(domain& d, const group& gr) {
  const kt::filedb_fixed db = groups_file(d);
  return record_result(
      record_db_rewrite(db, GROUP_RECORD_SIZE, gr.id,
                        [&](uint64_t id, record& rec) { group_to_record(gr, id, rec); }),
      db.path().c_str());
}

uint32_t group_db_remove(domain& d, const group& gr) {
  const kt::filedb_fixed db = groups_file(d);
  if (const uint32_t rc = record_result(record_db_remove(db, gr.id), db.path().c_str());
      rc != E_OK) {
    return rc;
  }
  _group_member_files_unlink(d, gr.id);
  return E_OK;
}

void _group_member_files_unlink(const domain& d, uint64_t group_id) {
  unlink_member_file(d, group_id, MEMBER_USER);
  unlink_member_file(d, group_id, MEMBER_GROUP);
}

int group_member_db_add(domain& d, const group& gr, uint32_t member_type, uint64_t member_id) {
  record rec(GROUP_MEMBER_RECORD_SIZE);
  rec.put_u64(kMemberId, member_id);
  rec.put_u32(kMemberType, member_type);
  return member_file(d, gr.id, member_type).insert(0, rec.data(), rec.data());
}

int group_member_db_remove(domain& d, const group& gr, uint32_t member_type, uint64_t member_id) {
  record key(8);
  key.put_u64(0, member_id);
  return member_file(d, gr.id, member_type).remove(0, key.data());
}

void group_flush(group& gr) {
  const auto flush = [](auto& table) {
    std::unique_lock lock(table.rwlock());
    table.flush();
  };
  flush(gr.member_users);
  flush(gr.member_groups);
  flush(gr.member_of);
  flush(gr.permissions);
  flush(gr.attributes);
}

void group_link_user(group& gr, user& u) {
  gr.member_users.insert_rw(u.id, kt::ref_ptr<user>(&u));
  u.groups.insert_rw(gr.id, kt::ref_ptr<group>(&gr));
}

void group_unlink_user(group& gr, user& u) {
  kt::ref_ptr<group> keep_group(&gr);
  kt::ref_ptr<user> keep_user(&u);
  gr.member_users.remove_rw(u.id);
  u.groups.remove_rw(gr.id);
}

void group_link_group(group& parent, group& child) {
  parent.member_groups.insert_rw(child.id, kt::ref_ptr<group>(&child));
  child.member_of.insert_rw(parent.id, kt::ref_ptr<group>(&parent));
}

void group_unlink_group(group& parent, group& child) {
  kt::ref_ptr<group> keep_parent(&parent);
  kt::ref_ptr<group> keep_child(&child);
  parent.member_groups.remove_rw(child.id);
  child.member_of.remove_rw(parent.id);
}

bool _group_is_ancestor(group& parent, const group& child) {
  std::vector<kt::ref_ptr<group>> pending{kt::ref_ptr<group>(&parent)};
  std::unordered_set<const group*> seen;
  while (!pending.empty()) {
    kt::ref_ptr<group> gr = std::move(pending.back());
    pending.pop_back();
    if (gr.get() == &child) return true;
    if (!seen.insert(gr.get()).second) continue;
    std::shared_lock lock(gr->member_of.rwlock());
    gr->member_of.for_each([&](uint64_t, kt::ref_ptr<group>& p) {
      if (p) pending.push_back(p);
    });
  }
  return false;
}

kt::ref_ptr<group> group_from_xml(domain& d, const kt::xmldoc_node& node) {
  const kt::xmldoc_node* g = node.name() == "g" ? &node : node.get("g");
  if (g == nullptr) return {};
  if (const kt::xmldoc_attr* id = g->attr_get("id"); id != nullptr && !id->value.empty()) {
    const std::optional<uint64_t> v = parse_id(id->value);
    return v ? group_get_by_id(d, *v) : kt::ref_ptr<group>();
  }
  if (const kt::xmldoc_attr* name = g->attr_get("name"); name != nullptr) {
    return group_get_by_name(d, name->value);
  }
  return {};
}

kt::ref_ptr<group> group_get_by_id(domain& d, uint64_t id) {
  return d.groups_by_id.get_rw(id);
}

kt::ref_ptr<group> group_get_by_name(domain& d, std::string_view name) {
  return d.groups_by_name.get_rw(name);
}

}  // namespace orvane
