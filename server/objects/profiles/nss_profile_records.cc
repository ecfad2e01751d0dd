// Profile storage: records, member files, loading, the account hooks and the domain listing.
#include "objects/profiles/nss_profile_records.h"
#include "errors.h"
#include "objects/names.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/profiles/nss_profile_internal.h"
#include "objects/record.h"
#include "objects/users/user.h"
#include "objects/users/user_records.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// "unixprofiles"
constexpr size_t kRecId = 0;
constexpr size_t kRecDomain = 8;
constexpr size_t kRecName = 16;
constexpr size_t kRecDescr = 272;
// "unixprofilee_users_<id>"
constexpr size_t kUserId = 0;
constexpr size_t kUserUid = 8;
constexpr size_t kUserHome = 12;
constexpr size_t kUserShell = 524;
constexpr size_t kUserFlags = 780;
// "unixprofilee_groups_<id>"
constexpr size_t kGroupId = 0;
constexpr size_t kGroupGid = 8;
// "unixprofile_memberof_<id>"
constexpr size_t kIncludeId = 0;

std::string users_file_name(uint64_t id) {
  return "unixprofilee_users_" + std::to_string(id);
}
std::string groups_file_name(uint64_t id) {
  return "unixprofilee_groups_" + std::to_string(id);
}
std::string includes_file_name(uint64_t id) {
  return "unixprofile_memberof_" + std::to_string(id);
}

kt::filedb_fixed profiles_file(const domain& d) {
  return domain_record_file(d.id, "unixprofiles", NSS_PROFILE_RECORD_SIZE);
}

void profile_to_record(const domain& d, const nss_profile& p, uint64_t id, record& rec) {
  rec.put_u64(kRecId, id);
  rec.put_u64(kRecDomain, d.id);
  rec.put_str(kRecName, NSS_PROFILE_NAME_FIELD, p.name);
  rec.put_str(kRecDescr, NSS_PROFILE_DESCR_FIELD, p.descr);
}

// Replaces a member file with the packed records; no records: the file goes. 0 or 0x13.
uint32_t write_member_file(const domain& d, const std::string& name, const std::string& data) {
  const std::string path = path_domain_file(d.id, name.c_str());
  if (data.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      KT_LOG_ERR("unlink(%s): %s", path.c_str(), std::strerror(errno));
      return E_GENERIC;
    }
    return E_OK;
  }
  if (kt::write_file(path.c_str(), data, 0644, true) != 0) {
    KT_LOG_ERR("%s: can not be written", path.c_str());
    return E_GENERIC;
  }
  return E_OK;
}

void append(std::string& data, const record& rec) {
  data.append(reinterpret_cast<const char*>(rec.data()), rec.size());
}

// Calls cb for every record of a member file; a missing file has none.
void list_member_file(const domain& d, const std::string& name, uint32_t size,
                      const std::function<void(const record&)>& cb) {
  const std::string path = path_domain_file(d.id, name.c_str());
  if (kt::path_exists(path.c_str()) != 0) return;
  const kt::filedb_fixed db = record_file(path, size);
  const int rc = record_list(db, [&](const uint8_t* bytes, uint32_t n) {
    cb(record(bytes, n));
    return 0;
  });
  if (rc == -4) {
    KT_LOG_ERR("%s: damaged tail ignored", path.c_str());
  } else if (rc != 0) {
    KT_LOG_ERR("%s: can not be read (%d)", path.c_str(), rc);
  }
}

void load_users(domain& d, nss_profile& p) {
  profile_user_list users;
  std::unordered_set<uint64_t> user_ids;
  std::unordered_set<uint32_t> uids;
  list_member_file(d, users_file_name(p.id), NSS_PROFILE_USER_RECORD_SIZE, [&](const record& r) {
    const uint64_t id = r.get_u64(kUserId);
    kt::ref_ptr<user> u = d.users_by_id.get_rw(id);
    if (!u) {
      KT_LOG_ERR("unix profile user load cbk can't find user id:%lu", id);
      return;
    }
    const uint32_t uid = r.get_u32(kUserUid);
    if (!user_ids.insert(id).second || !uids.insert(uid).second) {
      KT_LOG_ERR("unix profile %s: duplicate member user id:%lu, uid:%u skipped", p.name.c_str(),
                 id, uid);
      return;
    }
    auto m = kt::make_ref<nss_profile_user>();
    m->usr = std::move(u);
    m->uid = uid;
    m->home = r.get_str(kUserHome, NSS_PROFILE_HOME_FIELD);
    m->shell = r.get_str(kUserShell, NSS_PROFILE_SHELL_FIELD);
    m->flags = r.get_u8(kUserFlags);
    users.push_back(std::move(m));
  });
  _nss_profile_set_users(p, users);
}

void load_groups(domain& d, nss_profile& p) {
  profile_group_list groups;
  std::unordered_set<uint64_t> group_ids;
  std::unordered_set<uint32_t> gids;
  list_member_file(d, groups_file_name(p.id), NSS_PROFILE_GROUP_RECORD_SIZE, [&](const record& r) {
    const uint64_t id = r.get_u64(kGroupId);
    kt::ref_ptr<group> gr = d.groups_by_id.get_rw(id);
    if (!gr) {
      KT_LOG_ERR("unix profile group load cbk can't find group id:%lu", id);
      return;
    }
    const uint32_t gid = r.get_u32(kGroupGid);
    if (!group_ids.insert(id).second || !gids.insert(gid).second) {
      KT_LOG_ERR("unix profile %s: duplicate member group id:%lu, gid:%u skipped", p.name.c_str(),
                 id, gid);
      return;
    }
    auto m = kt::make_ref<nss_profile_group>();
    m->grp = std::move(gr);
    m->gid = gid;
    groups.push_back(std::move(m));
  });
  _nss_profile_set_groups(p, groups);
}

void load_includes(domain& d, nss_profile& p) {
  profile_list includes;
  list_member_file(d, includes_file_name(p.id), NSS_PROFILE_MEMBEROF_RECORD_SIZE,
                   [&](const record& r) {
                     const uint64_t id = r.get_u64(kIncludeId);
                     kt::ref_ptr<nss_profile> target = d.profiles_by_id.get_rw(id);
                     if (!target) {
                       KT_LOG_ERR("can not find pam profile with id %lu", id);
                       return;
                     }
                     // A damaged file must not close a loop: the lookups walk these links.
                     if (nss_profile_reaches(*target, p)) {
                       KT_LOG_ERR("unix profile %s: including %s would close a loop, skipped",
                                  p.name.c_str(), target->name.c_str());
                       return;
                     }
                     for (const auto& have : includes) {
                       if (have == target) return;
                     }
                     includes.push_back(std::move(target));
                   });
  // Inclusions already applied by earlier profiles count for the loop check above, so they
  // are applied profile by profile.
  _nss_profile_set_includes(p, includes);
}

// Copies the entries that don't match into rest; false when none matched.
template <class List, class Match>
bool without(const List& all, List& rest, Match match) {
  bool found = false;
  for (const auto& m : all) {
    if (match(*m)) {
      found = true;
    } else {
      rest.push_back(m);
    }
  }
  return found;
}

}  // namespace

kt::ref_ptr<nss_profile> nss_profile_create() {
  return kt::make_ref<nss_profile>();
}

int nss_profiles_load(domain& d) {
  kt::ref_ptr<domain> dref(&d);
  const kt::filedb_fixed db = profiles_file(d);
  const int rc = record_list(db, [&](const uint8_t* bytes, uint32_t size) {
    const record rec(bytes, size);
    const uint64_t id = rec.get_u64(kRecId);
    const std::string name = rec.get_str(kRecName, NSS_PROFILE_NAME_FIELD);
    if (id == 0 || validate_generic_name(name) != 0) {
      KT_LOG_ERR("damaged unix profile record (id %lu) skipped", id);
      return 0;
    }
    if (d.profiles_by_id.get_rw(id) || d.profiles_by_name.get_rw(name)) {
      KT_LOG_ERR("duplicate unix profile record id:%lu, name:%s skipped", id, name.c_str());
      return 0;
    }
    kt::ref_ptr<nss_profile> p = nss_profile_create();
    p->id = id;
    p->dom = dref;
    p->name = name;
    p->descr = rec.get_str(kRecDescr, NSS_PROFILE_DESCR_FIELD);
    d.profiles_by_name.insert_rw(p->name, p);
    d.profiles_by_id.insert_rw(p->id, p);
    KT_LOG_INFO("UNIX PROFILE: id:%lu, name:%s, descr:%s", p->id, p->name.c_str(),
                p->descr.c_str());
    return 0;
  });
  if (rc == -4) {
    KT_LOG_ERR("%s: damaged tail ignored", db.path().c_str());
  } else if (rc != 0) {
    KT_LOG_ERR("%s: can not be read (%d)", db.path().c_str(), rc);
    return rc;
  }

  const profile_list all = profile_snapshot(d.profiles_by_id);
  for (const auto& p : all) {
    load_users(d, *p);
    load_groups(d, *p);
  }
  for (const auto& p : all) load_includes(d, *p);
  return 0;
}

void nss_profile_flush(nss_profile& p) {
  profile_flush_table(p.users_by_name);
  profile_flush_table(p.users_by_uid);
  profile_flush_table(p.groups_by_name);
  profile_flush_table(p.groups_by_gid);
  profile_flush_table(p.includes);
  profile_flush_table(p.included_by);
}

uint32_t nss_profile_db_add(domain& d, nss_profile& p) {
  const kt::filedb_fixed db = profiles_file(d);
  return record_result(
      record_db_insert(
          db, NSS_PROFILE_RECORD_SIZE,
          [&](uint64_t id, record& rec) { profile_to_record(d, p, id, rec); }, &p.id),
      db.path().c_str());
}

uint32_t nss_profile_db_edit(domain& d, const nss_profile& p) {
  const kt::filedb_fixed db = profiles_file(d);
  return record_result(
      record_db_rewrite(db, NSS_PROFILE_RECORD_SIZE, p.id,
                        [&](uint64_t id, record& rec) { profile_to_record(d, p, id, rec); }),
      db.path().c_str());
}

uint32_t nss_profile_db_remove(domain& d, const nss_profile& p) {
  const kt::filedb_fixed db = profiles_file(d);
  if (const uint32_t rc = record_result(record_db_remove(db, p.id), db.path().c_str());
      rc != E_OK) {
    return rc;
  }
  _nss_profile_member_files_unlink(d, p.id);
  return E_OK;
}

void _nss_profile_member_files_unlink(const domain& d, uint64_t profile_id) {
  for (const std::string& name : {users_file_name(profile_id), groups_file_name(profile_id),
                                  includes_file_name(profile_id)}) {
    const std::string path = path_domain_file(d.id, name.c_str());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      KT_LOG_ERR("unlink(%s): %s", path.c_str(), std::strerror(errno));
    }
  }
}

uint32_t _nss_profile_write_users(const domain& d, uint64_t profile_id,
                                  const profile_user_list& l) {
  std::string data;
  for (const auto& m : l) {
    record rec(NSS_PROFILE_USER_RECORD_SIZE);
    rec.put_u64(kUserId, m->usr->id);
    rec.put_u32(kUserUid, m->uid);
    rec.put_str(kUserHome, NSS_PROFILE_HOME_FIELD, m->home);
    rec.put_str(kUserShell, NSS_PROFILE_SHELL_FIELD, m->shell);
    rec.put_u8(kUserFlags, m->flags);
    append(data, rec);
  }
  return write_member_file(d, users_file_name(profile_id), data);
}

uint32_t _nss_profile_write_groups(const domain& d, uint64_t profile_id,
                                   const profile_group_list& l) {
  std::string data;
  for (const auto& m : l) {
    record rec(NSS_PROFILE_GROUP_RECORD_SIZE);
    rec.put_u64(kGroupId, m->grp->id);
    rec.put_u32(kGroupGid, m->gid);
    append(data, rec);
  }
  return write_member_file(d, groups_file_name(profile_id), data);
}

uint32_t _nss_profile_write_includes(const domain& d, uint64_t profile_id, const profile_list& l) {
  std::string data;
  for (const auto& p : l) {
    record rec(NSS_PROFILE_MEMBEROF_RECORD_SIZE);
    rec.put_u64(kIncludeId, p->id);
    append(data, rec);
  }
  return write_member_file(d, includes_file_name(profile_id), data);
}

uint32_t nss_profile_save_members(domain& d, nss_profile& p) {
  uint32_t rc = _nss_profile_write_users(d, p.id, nss_profile_users(p));
  if (const uint32_t r = _nss_profile_write_groups(d, p.id, nss_profile_groups(p)); rc == 0) {
    rc = r;
  }
  if (const uint32_t r = _nss_profile_write_includes(d, p.id, nss_profile_includes(p)); rc == 0) {
    rc = r;
  }
  return rc;
}

profile_user_list nss_profile_users(nss_profile& p) {
  return profile_snapshot(p.users_by_uid);
}

profile_group_list nss_profile_groups(nss_profile& p) {
  return profile_snapshot(p.groups_by_gid);
}

profile_list nss_profile_includes(nss_profile& p) {
  return profile_snapshot(p.includes);
}

void _nss_profile_set_users(nss_profile& p, const profile_user_list& l) {
  {
    std::unique_lock lock(p.users_by_name.rwlock());
    p.users_by_name.flush();
    for (const auto& m : l) p.users_by_name.insert_l(m->usr->uname, m);
  }
  std::unique_lock lock(p.users_by_uid.rwlock());
  p.users_by_uid.flush();
  for (const auto& m : l) p.users_by_uid.insert_l(m->uid, m);
}

void _nss_profile_set_groups(nss_profile& p, const profile_group_list& l) {
  {
    std::unique_lock lock(p.groups_by_name.rwlock());
    p.groups_by_name.flush();
    for (const auto& m : l) p.groups_by_name.insert_l(m->grp->name, m);
  }
  std::unique_lock lock(p.groups_by_gid.rwlock());
  p.groups_by_gid.flush();
  for (const auto& m : l) p.groups_by_gid.insert_l(m->gid, m);
}

void _nss_profile_set_includes(nss_profile& p, const profile_list& l) {
  for (const auto& old : profile_snapshot(p.includes)) old->included_by.remove_rw(p.id);
  {
    std::unique_lock lock(p.includes.rwlock());
    p.includes.flush();
    for (const auto& target : l) p.includes.insert_l(target->id, target);
  }
  const kt::ref_ptr<nss_profile> self(&p);
  for (const auto& target : l) target->included_by.insert_rw(p.id, self);
}

bool nss_profile_reaches(nss_profile& from, const nss_profile& target) {
  std::unordered_set<const nss_profile*> visited;
  profile_list pending{kt::ref_ptr<nss_profile>(&from)};
  while (!pending.empty()) {
    kt::ref_ptr<nss_profile> p = std::move(pending.back());
    pending.pop_back();
    if (p.get() == &target) return true;
    if (!visited.insert(p.get()).second) continue;
    for (auto& next : profile_snapshot(p->includes)) pending.push_back(std::move(next));
  }
  return false;
}

kt::ref_ptr<nss_profile_user> nss_profile_find_user(nss_profile& p, uint64_t user_id) {
  for (auto& m : nss_profile_users(p)) {
    if (m->usr->id == user_id) return m;
  }
  return {};
}

kt::ref_ptr<nss_profile_user> nss_profile_find_user_name(nss_profile& p, std::string_view n) {
  // The index is keyed by the name at the time of the last change: a renamed account is found
  // by the walk.
  if (kt::ref_ptr<nss_profile_user> m = p.users_by_name.get_rw(n); m && m->usr->uname == n) {
    return m;
  }
  for (auto& m : nss_profile_users(p)) {
    if (m->usr->uname == n) return m;
  }
  return {};
}

kt::ref_ptr<nss_profile_group> nss_profile_find_group(nss_profile& p, uint64_t group_id) {
  for (auto& m : nss_profile_groups(p)) {
    if (m->grp->id == group_id) return m;
  }
  return {};
}

kt::ref_ptr<nss_profile_group> nss_profile_find_group_name(nss_profile& p, std::string_view n) {
  if (kt::ref_ptr<nss_profile_group> m = p.groups_by_name.get_rw(n); m && m->grp->name == n) {
    return m;
  }
  for (auto& m : nss_profile_groups(p)) {
    if (m->grp->name == n) return m;
  }
  return {};
}

kt::ref_ptr<nss_profile> nss_profile_get_by_id(domain& d, uint64_t id) {
  return d.profiles_by_id.get_rw(id);
}

kt::ref_ptr<nss_profile> nss_profile_get_by_name(domain& d, std::string_view name) {
  return d.profiles_by_name.get_rw(name);
}

void nss_profile_user_account_deleted(domain& d, user& u) {
  for (const auto& p : profile_snapshot(d.profiles_by_id)) {
    profile_user_list rest;
    if (!without(nss_profile_users(*p), rest,
                 [&](const nss_profile_user& m) { return m.usr.get() == &u; })) {
      continue;
    }
    // Memory follows even when the file can't be written: the loader skips a missing user.
    if (_nss_profile_write_users(d, p->id, rest) != 0) {
      KT_LOG_ERR("unix profile %s: member file not rewritten after user %s went", p->name.c_str(),
                 u.uname.c_str());
    }
    _nss_profile_set_users(*p, rest);
  }
}

void nss_profile_group_account_deleted(domain& d, group& gr) {
  for (const auto& p : profile_snapshot(d.profiles_by_id)) {
    profile_group_list rest;
    if (!without(nss_profile_groups(*p), rest,
                 [&](const nss_profile_group& m) { return m.grp.get() == &gr; })) {
      continue;
    }
    if (_nss_profile_write_groups(d, p->id, rest) != 0) {
      KT_LOG_ERR("unix profile %s: member file not rewritten after group %s went", p->name.c_str(),
                 gr.name.c_str());
    }
    _nss_profile_set_groups(*p, rest);
  }
}

std::unique_ptr<kt::xmldoc_node> nss_profiles_to_xml(domain& d) {
  auto out = kt::xmldoc_node::create("unixprofiles");
  for (const auto& p : profile_snapshot(d.profiles_by_id)) {
    kt::xmldoc_node* up = out->add_child(kt::xmldoc_node::create("up"));
    up->attr_addval("id", std::to_string(p->id));
    // The table entries' references, without the one this listing holds.
    up->attr_addval("ref", std::to_string(p->ref_count() - 1));
    up->attr_addval("name", p->name);
    up->attr_addval("descr", p->descr);
    for (const auto& m : nss_profile_users(*p)) {
      up->add_child(kt::xmldoc_node::create("u"))->attr_addval("uid", std::to_string(m->uid));
    }
    for (const auto& m : nss_profile_groups(*p)) {
      up->add_child(kt::xmldoc_node::create("g"))->attr_addval("gid", std::to_string(m->gid));
    }
  }
  return out;
}

}  // namespace orvane
