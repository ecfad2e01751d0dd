#include "objects/groups/groups.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission.h"
#include "objects/record.h"
#include "objects/users/user.h"
#include "utils/files.h"
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
  if (kt::file_exists(db.path().c_str()) != 0) return;
  const int rc = record_list(db, [&](const uint8_t* bytes, uint32_t size) {
    const record rec(bytes, size);
    load_member(d, gr, rec.get_u64(kMemberId), rec.get_u32(kMemberType));
    return 0;
  });
  if (rc != 0) KT_LOG_ERR("%s: damaged or unreadable (%d)", db.path().c_str(), rc);
}

}  // namespace

kt::ref_ptr<group> group_create() {
  return kt::make_ref<group>();
}

int groups_load(domain& d) {
  kt::ref_ptr<domain> dref(&d);
  const kt::filedb_fixed db = groups_file(d);
  const int rc = record_list(db, [&](const uint8_t* bytes, uint32_t size) {
    const record rec(bytes, size);
    const uint64_t id = rec.get_u64(kRecId);
    if (id == 0 || !name_field_valid(rec, kRecName, kNameField)) {
      KT_LOG_ERR("damaged group record (id %lu) skipped", id);
      return 0;
    }
    const std::string name = rec.get_str(kRecName, kNameField);
    if (d.groups_by_id.get_rw(id) || d.groups_by_name.get_rw(name)) {
      KT_LOG_ERR("duplicate group record id:%lu, name:%s skipped", id, name.c_str());
      return 0;
    }
    kt::ref_ptr<group> gr = group_create();
    gr->id = id;
    gr->flags = rec.get_u8(kRecFlags);
    gr->name = name;
    gr->dom = dref;
    d.groups_by_name.insert_rw(gr->name, gr);
    d.groups_by_id.insert_rw(gr->id, gr);
    KT_LOG_INFO("GROUP: id:%lu, name:%s", gr->id, gr->name.c_str());
    return 0;
  });
  if (rc == -4) {
    KT_LOG_ERR("%s: damaged tail ignored", db.path().c_str());
  } else if (rc != 0) {
    KT_LOG_ERR("%s: can not be read (%d)", db.path().c_str(), rc);
    return rc;
  }

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

int group_db_add(domain& d, group& gr) {
  return record_db_insert(
      groups_file(d), GROUP_RECORD_SIZE,
      [&](uint64_t id, record& rec) { group_to_record(gr, id, rec); }, &gr.id);
}

int group_db_edit(domain& d, const group& gr) {
  return record_db_rewrite(groups_file(d), GROUP_RECORD_SIZE, gr.id,
                           [&](uint64_t id, record& rec) { group_to_record(gr, id, rec); });
}

int group_db_del(domain& d, const group& gr) {
  if (const int rc = record_db_remove(groups_file(d), gr.id); rc != 0) return rc;
  _group_member_files_unlink(d, gr.id);
  return 0;
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
