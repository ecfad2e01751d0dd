#include "objects/users/user_records.h"

#include <time.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "objects/attributes/attribute_records.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/record.h"
#include "objects/record_repair.h"
#include "objects/resources/resource.h"
#include "objects/users/user_internal.h"
#include "utils/crypto.h"
#include "utils/logger.h"
#include "utils/numbers.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr size_t kSaltChars = 16;

kt::filedb_fixed users_file(const domain& d) {
  return domain_record_file(d.id, "users", USER_RECORD_SIZE, 0600);
}

bool is_alnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Inserts the user in both domain tables (one reference each).
void users_table_insert(domain& d, const kt::ref_ptr<user>& u) {
  d.users_by_name.insert_rw(u->uname, u);
  d.users_by_id.insert_rw(u->id, u);
}

}  // namespace

uint32_t user_now() {
  return static_cast<uint32_t>(::time(nullptr));
}

kt::ref_ptr<user> user_create() {
  try {
    return kt::make_ref<user>();
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "calloc", std::strerror(ENOMEM));
    return {};
  }
}

void user_flush(user& u) {
  {
    std::unique_lock lock(u.attributes.rwlock());
    u.attributes.flush();
  }
  {
    std::unique_lock lock(u.groups.rwlock());
    u.groups.flush();
  }
  std::unique_lock lock(u.permissions.rwlock());
  u.permissions.flush();
}

// --- records ---

void user_to_record(const user& u, record& rec) {
  rec.put_u64(USER_REC_ID, u.id);
  rec.put_u32(USER_REC_FLAGS, u.flags);
  rec.put_u32(USER_REC_CREATED, u.created);
  rec.put_u32(USER_REC_PWD_CHANGED, u.pwd_changed);
  rec.put_u32(USER_REC_RESERVED, 0);
  rec.put_str(USER_REC_UNAME, USER_REC_UNAME_SIZE, u.uname);
  rec.put_bytes(USER_REC_DIGEST, u.digest, USER_DIGEST_SIZE);
  rec.put_str(USER_REC_NSS_PASSWORD, USER_NSS_PASSWORD_SIZE,
              std::string_view(u.nss_password, strnlen(u.nss_password, USER_NSS_PASSWORD_SIZE)));
}

void user_from_record(const record& rec, user& u) {
  u.id = rec.get_u64(USER_REC_ID);
  u.flags = rec.get_u32(USER_REC_FLAGS);
  u.created = rec.get_u32(USER_REC_CREATED);
  u.pwd_changed = rec.get_u32(USER_REC_PWD_CHANGED);
  u.reserved = 0;
  u.uname = rec.get_str(USER_REC_UNAME, USER_REC_UNAME_SIZE);
  rec.get_bytes(USER_REC_DIGEST, u.digest, USER_DIGEST_SIZE);
  const std::string nss = rec.get_str(USER_REC_NSS_PASSWORD, USER_NSS_PASSWORD_SIZE);
  const size_t n = nss.size() < USER_NSS_PASSWORD_SIZE ? nss.size() : USER_NSS_PASSWORD_SIZE - 1;
  std::memcpy(u.nss_password, nss.data(), n);
  std::memset(u.nss_password + n, 0, USER_NSS_PASSWORD_SIZE - n);
}

int users_load(domain& d) {
  {
    std::unique_lock by_name(d.users_by_name.rwlock());
    d.users_by_name.set_auto_grow(true);
  }
  {
    std::unique_lock by_id(d.users_by_id.rwlock());
    d.users_by_id.set_auto_grow(true);
  }
  const kt::filedb_fixed db = users_file(d);
  kt::ref_ptr<domain> self(&d);
  // Records that can't be loaded stay in the file: only repeated ones and a partial tail go.
  return record_load_repair(db, [&](const record& rec) {
    kt::ref_ptr<user> u = user_create();
    if (!u) return true;
    user_from_record(rec, *u);
    if (u->id == 0 || u->uname.empty()) {
      KT_LOG_ERR("USER: record without id or name skipped (id:%lu)",
                 static_cast<unsigned long>(u->id));
      return true;
    }
    if (d.users_by_id.get_rw(u->id) || d.users_by_name.get_rw(u->uname)) {
      KT_LOG_ERR("USER: duplicate id:%lu or uname:%s skipped", static_cast<unsigned long>(u->id),
                 u->uname.c_str());
      return true;
    }
    u->dom = self;
    users_table_insert(d, u);
    KT_LOG_INFO("USER: id:%lu, uname:%s", static_cast<unsigned long>(u->id), u->uname.c_str());
    return true;
  });
}

uint32_t user_db_add(domain& d, user& u) {
  return _user_db_add_id(d, u, kt::uid_time_seq());
}

uint32_t _user_db_add_id(domain& d, user& u, uint64_t id) {
  const kt::filedb_fixed db = users_file(d);
  if (db.record_size() != USER_RECORD_SIZE || id == 0) return E_GENERIC;
  const uint32_t now = user_now();
  record rec(USER_RECORD_SIZE);
  user_to_record(u, rec);
  rec.put_u64(USER_REC_ID, id);
  rec.put_u32(USER_REC_CREATED, now);
  rec.put_u32(USER_REC_PWD_CHANGED, now);
  if (const uint32_t rc = record_result(db.insert(0, rec.data(), rec.data()), db.path().c_str());
      rc != E_OK) {
    return rc;
  }
  u.id = id;
  u.created = now;
  u.pwd_changed = now;
  return E_OK;
}

uint32_t user_record_edit(domain& d, const record& rec) {
  const kt::filedb_fixed db = users_file(d);
  return record_result(db.edit(0, rec.data(), rec.data()), db.path().c_str());
}

uint32_t user_db_edit(domain& d, const user& u) {
  record rec(USER_RECORD_SIZE);
  user_to_record(u, rec);
  return user_record_edit(d, rec);
}

uint32_t user_db_remove(domain& d, const user& u) {
  const kt::filedb_fixed db = users_file(d);
  return record_result(record_db_remove(db, u.id), db.path().c_str());
}

// --- passwords ---

int _user_password2hash(std::string_view password, int type, uint8_t* out, size_t size) {
  if (type != USER_PASSWORD_SHA512 || out == nullptr || size < kt::kSha512Size) return -1;
  return kt::sha512_hash(password.data(), password.size(), out, size) == 0 ? 0 : -1;
}

int _user_password2nsspassword(std::string_view password, char* out, size_t size) {
  char salt[3 + kSaltChars + 2] = "$6$";
  size_t have = 0;
  while (have < kSaltChars) {
    unsigned char pool[64];
    if (kt::uid_uread(pool, sizeof pool) != 0) return -1;
    for (size_t i = 0; i < sizeof pool && have < kSaltChars; ++i) {
      if (is_alnum(pool[i])) salt[3 + have++] = static_cast<char>(pool[i]);
    }
  }
  salt[3 + kSaltChars] = '$';
  salt[4 + kSaltChars] = '\0';

  // NSS clients hash the password as a C string, up to the key length crypt takes.
  static_assert(USER_PASSWORD_MAX == kt::kSha512CryptKeyMax);
  const std::string_view phrase = password.substr(0, password.find('\0'));
  return kt::sha512_crypt(phrase, salt, out, size) == 0 ? 0 : -2;
}

uint32_t user_set_password_forms(user& u, std::string_view password) {
  uint8_t digest[USER_DIGEST_SIZE];
  char nss[USER_NSS_PASSWORD_SIZE] = {};
  if (_user_password2hash(password, USER_PASSWORD_SHA512, digest, sizeof digest) != 0 ||
      _user_password2nsspassword(password, nss, sizeof nss) != 0) {
    KT_LOG_ERR("password forms could not be computed");
    return E_GENERIC;
  }
  std::memcpy(u.digest, digest, sizeof digest);
  std::memcpy(u.nss_password, nss, sizeof nss);
  u.pwd_changed = user_now();
  return E_OK;
}

int _user_password_compare(const user& u, std::string_view password) {
  uint8_t digest[USER_DIGEST_SIZE];
  if (_user_password2hash(password, USER_PASSWORD_SHA512, digest, sizeof digest) != 0) return -1;
  return kt::bytecmp_ct(digest, u.digest, USER_DIGEST_SIZE) == 0 ? 0 : 1;
}

int _user_password_expire_check_at(const domain& d, const user& u, uint32_t now) {
  if ((u.flags & USER_FLAG_SYSTEM) != 0) return 0;
  // A change time ahead of the clock (the clock was set back) counts as changed now.
  const uint32_t days = now >= u.pwd_changed ? (now - u.pwd_changed) / 86400u : 0;
  return days >= d.password_expire_days.load(std::memory_order_relaxed) ? 1 : 0;
}

int _user_password_expire_check(const domain& d, const user& u) {
  return _user_password_expire_check_at(d, u, user_now());
}

uint32_t _user_check_password_policy(const domain& d, std::string_view password) {
  // crypt cannot hash longer phrases: such a password could not be given to NSS clients.
  if (password.size() > USER_PASSWORD_MAX) return E_PASSWORD_POLICY;
  if (password.size() < d.password_min_length.load(std::memory_order_relaxed)) {
    return E_PASSWORD_POLICY;
  }
  bool capital = false, digit = false, letter = false, special = false;
  for (const char ch : password) {
    const auto c = static_cast<unsigned char>(ch);
    const bool upper = c >= 'A' && c <= 'Z';
    const bool lower = c >= 'a' && c <= 'z';
    const bool num = c >= '0' && c <= '9';
    capital |= upper;
    letter |= upper || lower;
    digit |= num;
    special |= !(upper || lower || num);
  }
  const uint32_t policy = d.password_policy.load(std::memory_order_relaxed);
  if ((policy & PASSWORD_MUST_CAPITAL) != 0 && !capital) return E_PASSWORD_POLICY;
  if ((policy & PASSWORD_MUST_DIGIT) != 0 && !digit) return E_PASSWORD_POLICY;
  if ((policy & PASSWORD_MUST_LETTER) != 0 && !letter) return E_PASSWORD_POLICY;
  if ((policy & PASSWORD_MUST_SPEC_SYMBOL) != 0 && !special) return E_PASSWORD_POLICY;
  return 0;
}

uint32_t _user_check_password_policy(const domain& d, const std::string* password) {
  if (password == nullptr) return E_PASSWORD_POLICY;
  return _user_check_password_policy(d, std::string_view(*password));
}

// --- lookup and removal ---

kt::ref_ptr<user> user_from_xml(domain& d, const kt::xmldoc_node& node) {
  const kt::xmldoc_node* u = node.name() == "u" ? &node : node.get("u");
  if (u == nullptr) return {};
  if (const kt::xmldoc_attr* id = u->attr_get("id"); id != nullptr) {
    return d.users_by_id.get_rw(kt::decimal_prefix(id->value));
  }
  if (const kt::xmldoc_attr* name = u->attr_get("uname"); name != nullptr) {
    return d.users_by_name.get_rw(name->value);
  }
  return {};
}

uint32_t user_remove(domain& d, user& u) {
  if (const uint32_t rc = user_db_remove(d, u); rc != E_OK) {
    KT_LOG_ERR("%s: failed.", "user_remove");
    return rc;
  }
  attributes_db_remove_list(d, u.attributes);
  {
    // The attributes point back at the user: drop them to break the cycle.
    std::unique_lock lock(u.attributes.rwlock());
    u.attributes.flush();
  }

  // The links are undone outside the table locks: unlinking takes them itself.
  std::vector<kt::ref_ptr<group>> groups;
  {
    std::shared_lock lock(u.groups.rwlock());
    u.groups.for_each([&](const uint64_t&, kt::ref_ptr<group>& gr) { groups.push_back(gr); });
  }
  for (const kt::ref_ptr<group>& gr : groups) {
    group_member_db_remove(d, *gr, MEMBER_USER, u.id);
    group_unlink_user(*gr, u);
  }
  {
    std::unique_lock lock(u.groups.rwlock());
    u.groups.flush();
  }

  std::vector<kt::ref_ptr<permission>> permissions;
  {
    std::shared_lock lock(u.permissions.rwlock());
    u.permissions.for_each(
        [&](const uint64_t&, kt::ref_ptr<permission>& p) { permissions.push_back(p); });
  }
  for (const kt::ref_ptr<permission>& p : permissions) {
    if (p->target) p->target->permissions.remove_rw(p->id);
    permission_db_remove(d, *p);
  }
  {
    std::unique_lock lock(u.permissions.rwlock());
    u.permissions.flush();
  }
  nss_profile_user_account_deleted(d, u);

  // Keep the user alive until both table entries are gone.
  kt::ref_ptr<user> keep(&u);
  d.users_by_id.remove_rw(u.id);
  {
    std::unique_lock lock(d.users_by_name.rwlock());
    if (kt::ref_ptr<user>* cur = d.users_by_name.find_nl(u.uname);
        cur != nullptr && cur->get() == &u) {
      d.users_by_name.remove_l(u.uname);
    }
  }
  return E_OK;
}

}  // namespace orvane
