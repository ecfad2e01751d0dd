#include "objects/users/auth.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/tokens/tokens.h"
#include "objects/users/throttle.h"
#include "objects/users/users.h"
#include "objects/users/users_internal.h"
#include "processor.h"
#include "sutils/openssl_ca.h"
#include "utils/base64.h"
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
  if (user_parse_decimal(fields.fields[0]) != d.id) {
    KT_LOG_ERR("dom_id not eq domain->id");
    return -6;
  }
  const uint64_t user_id = user_parse_decimal(fields.fields[1]);
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
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint32_t processor_user_login(client& c, globals& g, domain* d, token*, kt::xmldoc_node& cmd,
                              processor_result& r) {
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  const kt::xmldoc_node* un = cmd.get("u");
  const kt::xmldoc_node* pw = cmd.get("p");
  const kt::xmldoc_node* identity = cmd.get("identity");
  if (un == nullptr && pw == nullptr && identity == nullptr) return E_INVALID_REQUEST;
  if ((un == nullptr) != (pw == nullptr)) return E_INVALID_REQUEST;
  if (un != nullptr && (un->value().empty() || pw->value().empty())) {
    return E_INVALID_CREDENTIALS;
  }
  if (identity != nullptr && identity->value().empty()) return E_INVALID_CREDENTIALS;

  // An identity blob names its user only once decrypted: only the address counts for it.
  const std::string tried = identity == nullptr ? un->value() : std::string();
  const int64_t now = login_throttle_now();
  if (!g.throttle->allow(d->id, tried, c.peer.address, cmd.name(), now)) {
    return E_INVALID_CREDENTIALS;
  }
  kt::ref_ptr<user> u;
  int rc = identity != nullptr ? user_id_auth(g, *d, identity->value(), &u)
                               : static_cast<int>(user_auth(*d, un->value(), pw->value(), &u));
  // The account check runs after the password matched: only a mismatch is a failure.
  if (rc == static_cast<int>(E_INVALID_CREDENTIALS) || rc < 0) {
    g.throttle->failed(d->id, tried, c.peer.address, now);
  } else {
    g.throttle->succeeded(d->id, tried);
  }
  if (rc != 0) {
    const std::string subject = audit_untrusted(un != nullptr ? un->value() : std::string());
    audit_command_as(c, *d, subject.c_str(), cmd, static_cast<uint32_t>(rc), "%s",
                     audit_untrusted(audit_text(cmd)).c_str());
    return static_cast<uint32_t>(rc);
  }

  const std::string uname = u->uname;
  if (cmd.name() == "authenticate") {
    audit_command_as(c, *d, uname.c_str(), cmd, 0, "%s", audit_untrusted(audit_text(cmd)).c_str());
    return E_OK;
  }

  const bool with_identity = cmd.name() == "getIdentity";
  std::string blob;
  if (with_identity && user_get_identity(g, *u, &blob) != 0) blob.clear();
  kt::ref_ptr<token> t = token_create(g, *d, std::move(u));
  if (!t) {
    audit_command_as(c, *d, uname.c_str(), cmd, E_GENERIC, "%s",
                     audit_untrusted(audit_text(cmd)).c_str());
    return E_GENERIC;
  }
  if (with_identity && r.response_root != nullptr) {
    r.response_root->add_child(token_element(*t));
    auto id = kt::xmldoc_node::create("identity");
    id->set_value(blob);
    r.response_root->add_child(std::move(id));
  } else {
    r.set_answer(token_element(*t));
  }
  audit_command_as(c, *d, uname.c_str(), cmd, 0, "UID:%lu / %s", static_cast<unsigned long>(t->id),
                   audit_untrusted(audit_text(cmd)).c_str());
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
    if (e && auditlog_enque_entry(*d->log, std::move(e)) != 0) {
      KT_LOG_ERR("auditlog_enque_entry failed (throttle)");
    }
  }
  return 0;
}

uint32_t processor_token_get_info(client&, globals&, domain* d, token* t, kt::xmldoc_node&,
                                  processor_result& r) {
  if (t == nullptr) return E_TOKEN_NOT_FOUND;
  if (d == nullptr) return E_DOMAIN_NOT_FOUND;
  auto e = kt::xmldoc_node::create("token");
  auto de = kt::xmldoc_node::create("domain");
  de->attr_addval("id", std::to_string(d->id));
  de->attr_addval("name", d->name());
  e->add_child(std::move(de));
  auto ue = kt::xmldoc_node::create("user");
  ue->attr_addval("id", std::to_string(t->usr ? t->usr->id : 0));
  ue->attr_addval("uname", t->usr ? t->usr->uname : std::string());
  e->add_child(std::move(ue));
  r.set_answer(std::move(e));
  return E_OK;
}

uint32_t processor_user_logout(client& c, globals& g, domain* d, token* t, kt::xmldoc_node& cmd,
                               processor_result&) {
  if (t == nullptr) return E_TOKEN_NOT_FOUND;
  // Without a named domain the entry goes to the token's own domain's log.
  domain* log_domain = d != nullptr ? d : t->dom.get();
  if (log_domain != nullptr) {
    const std::string uname = t->usr ? t->usr->uname : std::string();
    audit_command_as(c, *log_domain, uname.c_str(), cmd, 0, "UID:%lu / %s",
                     static_cast<unsigned long>(t->id), audit_text(cmd));
  }
  token_destroy(g, t->key);
  return E_OK;
}

}  // namespace orvane
