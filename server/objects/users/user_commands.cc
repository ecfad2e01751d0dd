// The user management commands: userInsert, userEdit, userRemove, userChangePwd, userSearch.
#include "objects/users/user_commands.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/attributes/attribute_records.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/groups/group_records.h"
#include "objects/names.h"
#include "objects/permissions/permission.h"
#include "objects/permissions/permission_records.h"
#include "objects/record.h"
#include "objects/search.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/tokens.h"
#include "objects/users/auth.h"
#include "objects/users/throttle.h"
#include "objects/users/user_internal.h"
#include "objects/users/user_records.h"
#include "utils/logger.h"
#include "utils/numbers.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

// The longest name the users file keeps whole (its field holds 127 bytes and a terminator).
constexpr size_t kMaxStoredName = USER_REC_UNAME_SIZE - 1;
constexpr const char* kKind = "user";

// The "flags" attribute as decimal (absent or empty: 0). A value beyond 32 bits saturates, so
// it can't pass for a smaller one.
uint32_t parse_flags(const kt::xmldoc_node& u) {
  const kt::xmldoc_attr* a = u.attr_get("flags");
  return a == nullptr ? 0 : static_cast<uint32_t>(kt::decimal_prefix(a->value, UINT32_MAX));
}

// The new forms of a password, computed before anything changes.
struct password_forms {
  uint8_t digest[USER_DIGEST_SIZE] = {};
  char nss[USER_NSS_PASSWORD_SIZE] = {};
};

uint32_t make_password_forms(std::string_view password, password_forms* out) {
  if (_user_password2hash(password, USER_PASSWORD_SHA512, out->digest, sizeof out->digest) != 0 ||
      _user_password2nsspassword(password, out->nss, sizeof out->nss) != 0) {
    KT_LOG_ERR("password forms could not be computed");
    return E_GENERIC;
  }
  return E_OK;
}

void apply_password_forms(user& u, const password_forms& f, uint32_t now) {
  std::memcpy(u.digest, f.digest, sizeof f.digest);
  std::memcpy(u.nss_password, f.nss, sizeof f.nss);
  u.pwd_changed = now;
}

std::unique_ptr<kt::xmldoc_node> user_search_element(const domain& d, user& u, uint32_t now) {
  auto e = kt::xmldoc_node::create("u");
  e->attr_addval("id", std::to_string(u.id));
  e->attr_addval("uname", u.uname);
  e->attr_addval("flags", std::to_string(u.flags));
  {
    std::shared_lock lock(u.groups.rwlock());
    if (u.groups.count() > 0) {
      auto memberof = kt::xmldoc_node::create("memberof");
      u.groups.for_each([&](const uint64_t&, kt::ref_ptr<group>& gr) {
        auto ge = kt::xmldoc_node::create("g");
        ge->attr_addval("id", std::to_string(gr->id));
        ge->attr_addval("name", gr->name);
        memberof->add_child(std::move(ge));
      });
      e->add_child(std::move(memberof));
    }
  }
  auto info = kt::xmldoc_node::create("info");
  if (kt::ref_ptr<attribute> name = u.attributes.get_rw("name")) {
    auto ne = kt::xmldoc_node::create("name");
    ne->set_value(attribute_value_text(*name));
    info->add_child(std::move(ne));
  }
  auto pwd = kt::xmldoc_node::create("pwdCh");
  pwd->set_value(std::to_string(u.pwd_changed));
  if (_user_password_expire_check_at(d, u, now) == 1) pwd->attr_addval("expired", "0");
  info->add_child(std::move(pwd));
  e->add_child(std::move(info));
  return e;
}

}  // namespace

uint32_t processor_user_insert(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_USERS, PERM_WRITE); rc != 0) return rc;
  domain& d = cmd.dom();
  return cmd.change(kKind, CHANGE_INSERT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* un = cmd.element.get("u");
    if (un == nullptr) return E_INVALID_REQUEST;
    const kt::xmldoc_attr* name = un->attr_get("uname");
    if (name == nullptr) return E_INVALID_REQUEST;
    const std::string* password = un->get_value("p");
    if (password == nullptr || password->empty()) return E_PASSWORD_REQUIRED;
    const uint32_t flags = parse_flags(*un);
    if ((flags & USER_FLAG_SYSTEM) != 0) return E_USER_INVALID_FLAGS;
    if (const uint32_t rc = check_user_name(name->value, kMaxStoredName); rc != 0) return rc;
    if (const uint32_t rc = _user_check_password_policy(d, password); rc != 0) return rc;
    if (d.users_by_name.get_rw(name->value)) return E_USER_EXISTS;
    group_list groups;
    if (const kt::xmldoc_node* memberof = un->get("memberof"); memberof != nullptr) {
      if (const uint32_t rc = membership_xml2list(d, *memberof, groups); rc != 0) return rc;
    }
    for (const kt::ref_ptr<group>& gr : groups) {
      if (group_within_administrators(d, *gr)) {
        if (const uint32_t rc = cmd.require_admin(); rc != 0) return rc;
        break;
      }
    }

    kt::ref_ptr<user> u = user_create();
    if (!u) return E_NO_MEMORY;
    u->uname = name->value;
    u->flags = flags;
    if (const uint32_t rc = user_set_password_forms(*u, *password); rc != 0) return rc;
    // The member records are written before the user's record, which makes the user exist: a
    // crash in between leaves member records of no user, which the next load drops.
    const uint64_t id = kt::uid_time_seq();
    u->id = id;
    u->dom = kt::ref_ptr<domain>(&d);
    const auto take_back = [&] {
      assign_user_membership(d, *u, group_list());
      for (const kt::ref_ptr<group>& gr : groups) group_unlink_user(*gr, *u);
    };
    if (const uint32_t rc = assign_user_membership(d, *u, groups); rc != 0) {
      take_back();  // a membership the store refused
      return rc;
    }
    if (const uint32_t rc = _user_db_add_id(d, *u, id); rc != 0) {
      take_back();
      return rc;
    }
    d.users_by_name.insert_rw(u->uname, u);
    d.users_by_id.insert_rw(u->id, u);
    report = {u->uname, u->id, true};
    return E_OK;
  });
}

uint32_t processor_user_edit(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_USERS, PERM_WRITE); rc != 0) return rc;
  domain& d = cmd.dom();
  return cmd.change(kKind, CHANGE_EDIT, [&](change_report& report) -> uint32_t {
    const kt::xmldoc_node* un = cmd.element.get("u");
    if (un == nullptr) return E_INVALID_REQUEST;
    const kt::xmldoc_attr* name = un->attr_get("uname");
    if (un->attr_get("id") == nullptr && name == nullptr) return E_INVALID_REQUEST;
    const uint32_t flags = parse_flags(*un);
    if ((flags & USER_FLAG_SYSTEM) != 0) return E_USER_INVALID_FLAGS;
    if (name != nullptr) {
      if (const uint32_t rc = check_user_name(name->value, kMaxStoredName); rc != 0) return rc;
    }
    group_list groups;
    const kt::xmldoc_node* memberof = un->get("memberof");
    if (memberof != nullptr) {
      if (const uint32_t rc = membership_xml2list(d, *memberof, groups); rc != 0) return rc;
    }
    kt::ref_ptr<user> u = user_from_xml(d, *un);
    if (!u) return E_USER_NOT_FOUND;

    // Every check runs before anything changes. Who administers the domain changes only by its
    // administrators' hand: the membership of Administrators, and the name, password and flags
    // of its members.
    const bool rename = name != nullptr && name->value != u->uname;
    const std::string* password = un->get_value("p");
    const bool new_password = password != nullptr && !password->empty();
    const bool system = (u->flags & USER_FLAG_SYSTEM) != 0;
    const bool sensitive =
        (memberof != nullptr && membership_touches_administrators(d, u->groups, groups)) ||
        ((rename || (!system && flags != u->flags) || new_password) &&
         user_within_administrators(d, *u));
    if (sensitive) {
      if (const uint32_t rc = cmd.require_admin(); rc != 0) return rc;
    }
    uint32_t new_flags = flags;
    if (system) {
      if (flags != 0) return E_USER_INVALID_FLAGS;
      bool administrators = false;
      for (const kt::ref_ptr<group>& gr : groups) {
        administrators |= (gr->flags & GROUP_FLAG_ADMINISTRATORS) != 0;
      }
      if (!administrators) return E_ADMIN_MUST_BE_ADMINISTRATOR;
      new_flags = u->flags;
    }
    if (rename) {
      kt::ref_ptr<user> other = d.users_by_name.get_rw(name->value);
      if (other && other.get() != u.get()) return E_USER_EXISTS;
    }
    password_forms forms;
    if (new_password) {
      if (const uint32_t rc = _user_check_password_policy(d, password); rc != 0) return rc;
      if (const uint32_t rc = make_password_forms(*password, &forms); rc != 0) return rc;
    }
    const uint32_t now = user_now();

    // The record is written first; memory changes only when the store took it.
    if (new_flags != u->flags || rename || memberof != nullptr || new_password) {
      record rec(USER_RECORD_SIZE);
      user_to_record(*u, rec);
      rec.put_u32(USER_REC_FLAGS, new_flags);
      if (rename) rec.put_str(USER_REC_UNAME, USER_REC_UNAME_SIZE, name->value);
      if (new_password) {
        rec.put_bytes(USER_REC_DIGEST, forms.digest, USER_DIGEST_SIZE);
        rec.put_str(USER_REC_NSS_PASSWORD, USER_NSS_PASSWORD_SIZE, forms.nss);
        rec.put_u32(USER_REC_PWD_CHANGED, now);
      }
      if (const uint32_t rc = user_record_edit(d, rec); rc != 0) {
        KT_LOG_ERR("%s: user_db_edit() failed.", u->uname.c_str());
        return rc;
      }
    }
    const uint32_t old_flags = u->flags;
    u->flags = new_flags;
    if (rename) {
      std::unique_lock lock(d.users_by_name.rwlock());
      if (kt::ref_ptr<user>* cur = d.users_by_name.find_nl(u->uname);
          cur != nullptr && cur->get() == u.get()) {
        d.users_by_name.remove_l(u->uname);
      }
      u->uname = name->value;
      d.users_by_name.insert_l(u->uname, u);
    }
    if (new_password) apply_password_forms(*u, forms, now);
    // Flags that make the account unusable (locked, password to change...) end its sessions now.
    if (new_flags != old_flags && _user_account_verify(d, *u) != 0) token_remove_by_user(cmd.g, *u);
    report = {u->uname, u->id, true};
    // A membership the store refused is reported after the changes that were made are told.
    return memberof != nullptr ? assign_user_membership(d, *u, groups) : E_OK;
  });
}

uint32_t processor_user_remove(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_USERS, PERM_WRITE); rc != 0) return rc;
  domain& d = cmd.dom();
  return cmd.change(kKind, CHANGE_REMOVE, [&](change_report& report) -> uint32_t {
    kt::ref_ptr<user> u = user_from_xml(d, cmd.element);
    if (!u) return E_USER_NOT_FOUND;
    if (cmd.who() != nullptr && u->id == cmd.who()->id) return E_REMOVE_OWN_ACCOUNT;
    if ((u->flags & USER_FLAG_SYSTEM) != 0) return E_ADMIN_REMOVE;
    if (user_within_administrators(d, *u)) {
      if (const uint32_t rc = cmd.require_admin(); rc != 0) return rc;
    }
    const uint32_t rc = user_remove(d, *u);
    token_remove_by_user(cmd.g, *u);
    if (rc != 0) return rc;
    report = {u->uname, u->id, true};
    return E_OK;
  });
}

namespace {

// user_set_password: the checks and the change of userChangePwd, once the target is known.
uint32_t user_set_password(domain& d, user& u, const kt::xmldoc_node& un, bool privileged) {
  const std::string* password = un.get_value("p");
  if (password == nullptr || password->empty()) return E_INVALID_REQUEST;
  const std::string* old = un.get_value("o");
  const bool has_old = old != nullptr && !old->empty();
  if (!privileged) {
    if (!has_old) return E_OWN_PASSWORD_WITHOUT_OLD;
    if (_user_password_compare(u, *old) != 0) return E_INVALID_OLD_PASSWORD;
  }
  if (const uint32_t rc = _user_check_password_policy(d, password); rc != 0) return rc;
  password_forms forms;
  if (has_old) {
    uint8_t old_digest[USER_DIGEST_SIZE];
    if (_user_password2hash(*old, USER_PASSWORD_SHA512, old_digest, sizeof old_digest) != 0 ||
        _user_password2hash(*password, USER_PASSWORD_SHA512, forms.digest, sizeof forms.digest) !=
            0) {
      return E_GENERIC;
    }
    if (kt::bytecmp_ct(old_digest, forms.digest, USER_DIGEST_SIZE) == 0) {
      return E_PASSWORD_SAME_AS_OLD;
    }
  }
  if (const uint32_t rc = make_password_forms(*password, &forms); rc != 0) return rc;
  const uint32_t now = user_now();
  const uint32_t flags = u.flags & ~USER_FLAG_PWD_MUST_CHANGE;

  record rec(USER_RECORD_SIZE);
  user_to_record(u, rec);
  rec.put_u32(USER_REC_FLAGS, flags);
  rec.put_bytes(USER_REC_DIGEST, forms.digest, USER_DIGEST_SIZE);
  rec.put_str(USER_REC_NSS_PASSWORD, USER_NSS_PASSWORD_SIZE, forms.nss);
  rec.put_u32(USER_REC_PWD_CHANGED, now);
  if (const uint32_t rc = user_record_edit(d, rec); rc != 0) {
    KT_LOG_ERR("%s: user_db_edit() failed.", u.uname.c_str());
    return rc;
  }
  apply_password_forms(u, forms, now);
  u.flags = flags;
  return E_OK;
}

}  // namespace

uint32_t processor_user_password(command& cmd) {
  domain& d = cmd.dom();
  kt::ref_ptr<user> u = user_from_xml(d, cmd.element);
  if (!u) return E_USER_NOT_FOUND;
  const kt::xmldoc_node& un = *cmd.element.get("u");
  const bool privileged = cmd.who() != nullptr && cmd.who()->id != u->id;
  uint32_t rc = privileged ? cmd.require(SYS_RES_USERS, PERM_WRITE) : E_OK;
  // Another administrator's password is set only by an administrator.
  if (rc == E_OK && privileged && user_within_administrators(d, *u)) rc = cmd.require_admin();
  if (rc != E_OK || privileged) {
    if (rc == E_OK) rc = user_set_password(d, *u, un, true);
    cmd.audit_as(u->uname.c_str(), rc, "%s", cmd.audit_text());
    return rc;
  }
  // The old password is a password check like a login's, throttled alike: while a back-off runs
  // the answer is 0x201 without a check (and without an audit entry of its own).
  const int64_t now = login_throttle_now();
  if (!cmd.g.throttle->allow(d.id, u->uname, cmd.from.peer.address, cmd.element.name(), now)) {
    return E_INVALID_OLD_PASSWORD;
  }
  rc = user_set_password(d, *u, un, false);
  if (rc == E_INVALID_OLD_PASSWORD) {
    cmd.g.throttle->failed(d.id, u->uname, cmd.from.peer.address, now);
  } else if (rc != E_INVALID_REQUEST && rc != E_OWN_PASSWORD_WITHOUT_OLD) {
    cmd.g.throttle->succeeded(d.id, u->uname);  // the old password matched
  }
  cmd.audit_as(u->uname.c_str(), rc, "%s", audit_untrusted(cmd.audit_text()).c_str());
  return rc;
}

uint32_t processor_user_search(command& cmd) {
  if (const uint32_t rc = cmd.require(SYS_RES_USERS, PERM_READ); rc != 0) return rc;
  domain& d = cmd.dom();
  regex_holder re;
  if (const uint32_t rc = search_pattern_compile(cmd.element, re); rc != 0) return rc;

  const uint32_t now = user_now();
  auto users = kt::xmldoc_node::create("users");
  {
    std::shared_lock lock(d.users_by_id.rwlock());
    d.users_by_id.for_each([&](const uint64_t&, kt::ref_ptr<user>& u) {
      if (re.match(u->uname.c_str())) users->add_child(user_search_element(d, *u, now));
    });
  }
  cmd.answer(std::move(users));
  return E_OK;
}

}  // namespace orvane
