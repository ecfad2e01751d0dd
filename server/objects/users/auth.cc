#include "objects/users/auth.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "errors.h"
#include "globals.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/tokens/tokens.h"
#include "objects/users/throttle.h"
#include "objects/users/user_internal.h"
#include "objects/users/user_records.h"
#include "sutils/openssl_ca.h"
#include "utils/base64.h"
#include "utils/clock.h"
#include "utils/logger.h"
#include "utils/numbers.h"
#include "utils/strings.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

uint32_t _user_account_verify(const domain& d, const user& u) {
  if ((u.flags & USER_FLAG_LOCKED) != 0) return E_USER_LOCKED;
  if ((u.flags & USER_FLAG_PWD_NEVER_EXPIRES) == 0 && _user_password_expire_check(d, u) == 1) {
    return E_PASSWORD_EXPIRED;
  }
  if ((u.flags & USER_FLAG_PWD_MUST_CHANGE) != 0) return E_PASSWORD_MUST_CHANGE;
  return 0;
}

uint32_t user_auth(domain& d, std::string_view uname, std::string_view password,
                   kt::ref_ptr<user>* out) {
  kt::ref_ptr<user> u = d.users_by_name.get_rw(uname);
  // The digest is computed for unknown names too, so that the answer time does not tell which
  // names exist.
  uint8_t digest[USER_DIGEST_SIZE];
  if (_user_password2hash(password, USER_PASSWORD_SHA512, digest, sizeof digest) != 0) {
    return E_INVALID_CREDENTIALS;
  }
  if (!u || kt::bytecmp_ct(digest, u->digest, USER_DIGEST_SIZE) != 0) {
    return E_INVALID_CREDENTIALS;
  }
  if (const uint32_t rc = _user_account_verify(d, *u); rc != 0) return rc;
  if (out != nullptr) *out = std::move(u);
  return 0;
}

int user_id_auth(globals& g, domain& d, std::string_view identity, kt::ref_ptr<user>* out) {
  std::string cipher;
  if (kt::base64decode_(identity, cipher) != 0) {
    KT_LOG_ERR("%s(): %s", "base64decode", std::strerror(EINVAL));
    return -1;
  }
  std::string inner;
  if (!g.ca || g.ca->private_decrypt(cipher.data(), cipher.size(), inner) != 0) {
    KT_LOG_ERR("private_decrypt error");
    return E_INVALID_CREDENTIALS;
  }
  std::string plain;
  if (kt::base64decode_(inner, plain) != 0) {
    KT_LOG_ERR("%s(): %s", "base64decode", std::strerror(EINVAL));
    return -3;
  }
  kt::split fields;
  if (fields.assign(plain, ';') != 0) {
    KT_LOG_ERR("split plain not succeeded");
    return -4;
  }
  if (fields.count != 3) {
    KT_LOG_ERR("split not eq 3 is %u on: '%s'", fields.count, plain.c_str());
    return -5;
  }
  if (kt::decimal_prefix(fields.fields[0]) != d.id) {
    KT_LOG_ERR("dom_id not eq domain->id");
    return -6;
  }
  const uint64_t user_id = kt::decimal_prefix(fields.fields[1]);
  kt::ref_ptr<user> u = d.users_by_id.get_rw(user_id);
  if (!u) {
    KT_LOG_ERR("no such user found %lu", static_cast<unsigned long>(user_id));
    return -7;
  }
  std::string digest;
  if (kt::base64decode_(fields.fields[2], digest) != 0 || digest.size() < USER_DIGEST_SIZE ||
      kt::bytecmp_ct(digest.data(), u->digest, USER_DIGEST_SIZE) != 0) {
    return E_INVALID_CREDENTIALS;
  }
  if (const uint32_t rc = _user_account_verify(d, *u); rc != 0) return static_cast<int>(rc);
  if (out != nullptr) *out = std::move(u);
  return 0;
}

int user_get_identity(globals& g, const user& u, std::string* out) {
  const uint64_t domain_id = u.dom ? u.dom->id : 0;
  const std::string digest = kt::base64encode_(u.digest, USER_DIGEST_SIZE);
  if (digest.empty()) {
    KT_LOG_ERR("%s(): %s", "base64encode a", std::strerror(ENOMEM));
    return -1;
  }
  const std::string text = std::to_string(domain_id) + ";" + std::to_string(u.id) + ";" + digest;
  const std::string inner = kt::base64encode_(text);
  if (inner.empty()) {
    KT_LOG_ERR("%s(): %s", "base64encode b", std::strerror(ENOMEM));
    return -2;
  }
  std::string cipher;
  if (!g.ca || g.ca->public_encrypt(inner.data(), inner.size(), cipher) != 0) return -3;
  std::string blob = kt::base64encode_(cipher);
  if (blob.empty()) {
    KT_LOG_ERR("%s(): %s", "base64encode c", std::strerror(ENOMEM));
    return -4;
  }
  if (out != nullptr) *out = std::move(blob);
  return 0;
}

namespace {

std::unique_ptr<kt::xmldoc_node> token_element(const token& t) {
  auto e = kt::xmldoc_node::create("token");
  e->attr_addval("expire", std::to_string(t.expire.load(std::memory_order_relaxed)));
  e->set_value(t.key);
  return e;
}

}  // namespace

int64_t login_throttle_now() {
  return kt::monotonic_ms();
}

uint32_t processor_user_login(command& cmd) {
  globals& g = cmd.g;
  domain& d = cmd.dom();
  const kt::xmldoc_node& el = cmd.element;
  const kt::xmldoc_node* un = el.get("u");
  const kt::xmldoc_node* pw = el.get("p");
  const kt::xmldoc_node* identity = el.get("identity");
  if (un == nullptr && pw == nullptr && identity == nullptr) return E_INVALID_REQUEST;
  if ((un == nullptr) != (pw == nullptr)) return E_INVALID_REQUEST;
  if (un != nullptr && (un->value().empty() || pw->value().empty())) {
    return E_INVALID_CREDENTIALS;
  }
  if (identity != nullptr && identity->value().empty()) return E_INVALID_CREDENTIALS;

  // An identity blob names its user only once decrypted: only the address counts for it.
  const std::string tried = identity == nullptr ? un->value() : std::string();
  const uint32_t peer = cmd.from.peer.address;
  const int64_t now = login_throttle_now();
  if (!g.throttle->allow(d.id, tried, peer, el.name(), now)) return E_INVALID_CREDENTIALS;
  kt::ref_ptr<user> u;
  // A malformed or foreign identity blob's negative result reaches the caller as it is: the
  // protocol words it as an unknown error code.
  const uint32_t rc = identity != nullptr
                          ? static_cast<uint32_t>(user_id_auth(g, d, identity->value(), &u))
                          : user_auth(d, un->value(), pw->value(), &u);
  // The account check runs after the password matched: only a mismatch is a failure.
  if (rc == E_INVALID_CREDENTIALS || static_cast<int32_t>(rc) < 0) {
    g.throttle->failed(d.id, tried, peer, now);
  } else {
    g.throttle->succeeded(d.id, tried);
  }
  const std::string note = audit_untrusted(cmd.audit_text());
  if (rc != 0) {
    const std::string subject = audit_untrusted(un != nullptr ? un->value() : std::string());
    cmd.audit_as(subject.c_str(), rc, "%s", note.c_str());
    return rc;
  }

  const std::string uname = u->uname;
  if (el.name() == "authenticate") {
    cmd.audit_as(uname.c_str(), 0, "%s", note.c_str());
    return E_OK;
  }

  const bool with_identity = el.name() == "getIdentity";
  std::string blob;
  if (with_identity && user_get_identity(g, *u, &blob) != 0) blob.clear();
  kt::ref_ptr<token> t = token_create(g, d, std::move(u));
  if (!t) {
    cmd.audit_as(uname.c_str(), E_GENERIC, "%s", note.c_str());
    return E_GENERIC;
  }
  if (with_identity) {
    cmd.append(token_element(*t));
    auto id = kt::xmldoc_node::create("identity");
    id->set_value(blob);
    cmd.append(std::move(id));
  } else {
    cmd.answer(token_element(*t));
  }
  cmd.audit_as(uname.c_str(), 0, "UID:%lu / %s", static_cast<unsigned long>(t->id), note.c_str());
  return E_OK;
}

int login_throttle_sweep_sched(globals& g) {
  for (const login_throttle::report& rep : g.throttle->sweep(login_throttle_now())) {
    const kt::ref_ptr<domain> d =
        rep.domain_id != 0 ? g.domains_by_id.get_rw(rep.domain_id) : g.root_domain;
    if (!d || !d->log) continue;
    const kt::ipv4_address peer{rep.address, 32};
    const uint32_t code =
        rep.api == "userChangePwd" ? E_INVALID_OLD_PASSWORD : E_INVALID_CREDENTIALS;
    auto e = auditlog_create_entry_v4_fmt(
        static_cast<uint32_t>(::time(nullptr)), code, &peer, rep.api.c_str(),
        rep.uname.empty() ? nullptr : rep.uname.c_str(), 0,
        "%lu attempts refused without a password check during a %lu s back-off%s",
        static_cast<unsigned long>(rep.refused), static_cast<unsigned long>(rep.backoff_ms / 1000),
        rep.uname.empty() ? " of this address" : "");
    if (e && auditlog_enqueue_entry(*d->log, std::move(e)) != 0) {
      KT_LOG_ERR("auditlog_enqueue_entry failed (throttle)");
    }
  }
  return 0;
}

uint32_t processor_token_get_info(command& cmd) {
  const domain& d = cmd.dom();
  const user* u = cmd.who();
  auto e = kt::xmldoc_node::create("token");
  auto de = kt::xmldoc_node::create("domain");
  de->attr_addval("id", std::to_string(d.id));
  de->attr_addval("name", d.name());
  e->add_child(std::move(de));
  auto ue = kt::xmldoc_node::create("user");
  ue->attr_addval("id", std::to_string(u != nullptr ? u->id : 0));
  ue->attr_addval("uname", u != nullptr ? u->uname : std::string());
  e->add_child(std::move(ue));
  cmd.answer(std::move(e));
  return E_OK;
}

uint32_t processor_user_logout(command& cmd) {
  // The dispatcher addressed the token's own domain when the request named none.
  const token& t = *cmd.tok();
  const std::string uname = t.usr ? t.usr->uname : std::string();
  cmd.audit_as(uname.c_str(), 0, "UID:%lu / %s", static_cast<unsigned long>(t.id),
               cmd.audit_text());
  token_destroy(cmd.g, t.key);
  return E_OK;
}

}  // namespace orvane
