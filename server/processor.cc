#include "processor.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "health.h"
#include "objects/attributes/attribute_commands.h"
#include "objects/auditlogs/auditlog_commands.h"
#include "objects/backup/backup_commands.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_commands.h"
#include "objects/groups/group_commands.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_commands.h"
#include "objects/permissions/permission_commands.h"
#include "objects/profiles/nss_profile_commands.h"
#include "objects/resources/resource_commands.h"
#include "objects/tokens/token.h"
#include "objects/users/auth.h"
#include "objects/users/user_commands.h"
#include "utils/clock.h"
#include "utils/logger.h"
#include "utils/numbers.h"

namespace orvane {

namespace {

constexpr uint16_t T = PROCESSOR_TOKEN;
constexpr uint16_t D = PROCESSOR_DOMAIN;
constexpr uint16_t X = PROCESSOR_EXCLUSIVE;
constexpr uint16_t A = PROCESSOR_AUDIT;
constexpr uint16_t I = PROCESSOR_INSTANT;

constexpr uint16_t MGMT = API_MANAGEMENT;
constexpr uint16_t AUTHN = API_AUTHENTICATION;
constexpr uint16_t AUTHZ = API_AUTHORIZATION;
constexpr uint16_t NSS = API_NSS_PROFILES;

constexpr bool MOD = true;  // changes objects of its domain
// Unknown commands logged one by one per request; the rest are counted in one line.
constexpr uint64_t kUnknownLogged = 8;
constexpr bool READ = false;

}  // namespace

// clang-format off
const processor_function processor_functions[] = {
    {"domainInsert",       A | D | T, MGMT,  processor_domain_insert, MOD},
    {"domainEdit",         A | D | T, MGMT,  processor_domain_edit, MOD},
    {"domainRemove",       A | D | T, MGMT,  processor_domain_remove, MOD},
    {"domainSearch",       D | T,     MGMT,  processor_domain_search, READ},
    {"attrInsert",         A | D | T, MGMT,  processor_attributes_insert, MOD},
    {"attrEdit",           A | D | T, MGMT,  processor_attributes_edit, MOD},
    {"attrRemove",         A | D | T, MGMT,  processor_attributes_remove, MOD},
    {"attrSearch",         D,         MGMT,  processor_attributes_search, READ},
    {"userInsert",         A | D | T, MGMT,  processor_user_insert, MOD},
    {"userEdit",           A | D | T, MGMT,  processor_user_edit, MOD},
    {"userRemove",         A | D | T, MGMT,  processor_user_remove, MOD},
    {"userChangePwd",      A | D,     MGMT,  processor_user_password, MOD},
    {"userSearch",         D | T,     MGMT,  processor_user_search, READ},
    {"groupInsert",        A | D | T, MGMT,  processor_group_insert, MOD},
    {"groupEdit",          A | D | T, MGMT,  processor_group_edit, MOD},
    {"groupRemove",        A | D | T, MGMT,  processor_group_remove, MOD},
    {"groupSearch",        D | T,     MGMT,  processor_group_search, READ},
    {"netClientInsert",    A | D | T, MGMT,  processor_netclient_insert, MOD},
    {"netClientEdit",      A | D | T, MGMT,  processor_netclient_edit, MOD},
    {"netClientRemove",    A | D | T, MGMT,  processor_netclient_remove, MOD},
    {"netClientSearch",    D | T,     MGMT,  processor_netclient_search, READ},
    {"netClientGetPfx",    A | D | T, MGMT,  processor_netclient_get_pfx, READ},
    {"pamGetPWEntries",    D,         NSS,   processor_nss_profile_getpwentries, READ},
    {"pamGetGREntries",    D,         NSS,   processor_nss_profile_getgrentries, READ},
    {"pamGetPWUID",        D | I,     NSS,   processor_nss_profile_getpwuid, READ},
    {"pamGetPWName",       D | I,     NSS,   processor_nss_profile_getpwname, READ},
    {"pamGetGRGID",        D,         NSS,   processor_nss_profile_getgrgid, READ},
    {"pamGetGRName",       D,         NSS,   processor_nss_profile_getgrname, READ},
    {"nssProfileInsert",   A | D | T, MGMT,  processor_nss_profile_insert, MOD},
    {"nssProfileEdit",     A | D | T, MGMT,  processor_nss_profile_edit, MOD},
    {"nssProfileRemove",   A | D | T, MGMT,  processor_nss_profile_remove, MOD},
    {"nssProfileUser",     A | D | T, MGMT,  processor_nss_profile_user, MOD},
    {"nssProfileGroup",    A | D | T, MGMT,  processor_nss_profile_group, MOD},
    {"nssProfileSearch",   D | T,     MGMT,  processor_nss_profile_search, READ},
    {"resourceInsert",     A | D | T, MGMT,  processor_resource_insert, MOD},
    {"resourceEdit",       A | D | T, MGMT,  processor_resource_edit, MOD},
    {"resourceRemove",     A | D | T, MGMT,  processor_resource_remove, MOD},
    {"resourceSearch",     D | T,     MGMT,  processor_resource_search, READ},
    {"getHealth",          D | T,     0,     processor_get_health, READ},
    {"authenticate",       A | D | I, AUTHN, processor_user_login, READ},
    {"getToken",           A | D | I, AUTHN, processor_user_login, READ},
    {"getTokenInfo",       D | T | I, AUTHN, processor_token_get_info, READ},
    {"getIdentity",        A | D,     AUTHN, processor_user_login, READ},
    {"isValidToken",       D | I,     AUTHN, processor_is_valid_token, READ},
    {"releaseToken",       A | T,     AUTHN, processor_user_logout, READ},
    {"getPermissions",     D | T | I, AUTHZ, processor_permissions_get_permissions, READ},
    {"getUserPermissions", D | I,     AUTHZ, processor_permissions_get_permissions, READ},
    {"getAttributes",      D,         AUTHZ, processor_attributes_get_attributes, READ},
    {"backupCreate",       A | D | T, MGMT,  processor_backup_create, READ},
    {"backupRestore",      A | X | D | T, MGMT, processor_backup_restore, MOD},
    {"backupDestroy",      A | D | T, MGMT,  processor_backup_destroy, READ},
    {"backupSearch",       D | T,     MGMT,  processor_backup_search, READ},
    {"getErrorCodes",      D | T,     MGMT,  processor_get_error_codes, READ},
    {"getAuditApi",        D | T,     MGMT,  processor_get_audit_api, READ},
    {"getAuditLog",        D | T,     MGMT,  processor_get_auditlog, READ},
    {"clearAuditLog",      A | D | T, MGMT,  processor_clear_auditlog, READ},
    {nullptr, 0, 0, nullptr, READ},
};
// clang-format on

const processor_function* processor_find(const char* name, size_t length) {
  for (const processor_function* f = processor_functions; f->name != nullptr; ++f) {
    if (std::strlen(f->name) == length && std::memcmp(f->name, name, length) == 0) return f;
  }
  return nullptr;
}

kt::ref_ptr<token> processor_xml_get_token(globals& g, const kt::xmldoc_node& cmd) {
  std::string_view key;
  if (const kt::xmldoc_attr* attr = cmd.attr_get("token");
      attr != nullptr && !attr->value.empty()) {
    key = attr->value;
  } else if (const std::string* text = cmd.get_value("token"); text != nullptr) {
    key = *text;
  }
  if (key.empty()) return {};
  return g.tokens.get_rw(key);
}

kt::ref_ptr<domain> processor_xml_get_domain(globals& g, const kt::xmldoc_node& cmd) {
  const kt::xmldoc_attr* attr = cmd.attr_get("domain");
  if (attr == nullptr || attr->value.empty()) return {};
  const std::string& value = attr->value;
  if (value[0] >= '0' && value[0] <= '9') return g.domains_by_id.get_rw(kt::decimal_prefix(value));
  return g.domains_by_name.get_rw(value);
}

namespace {

// One command before its context exists: what the checks resolved.
struct command_parts {
  const caller& from;
  domain* d;
  token* t;
  kt::xmldoc_node& element;
  answer_slot& out;
  bool would_wait = false;  // on a loop: the domain's lock was taken, the handler did not run
};

uint32_t now_seconds() {
  return static_cast<uint32_t>(::time(nullptr));
}

// The net client of the connection's certificate, when it still exists and may connect from the
// peer's address. Checked by every request: a resumed TLS session skips the handshake's checks.
kt::ref_ptr<netclient> certificate_netclient(domain& d, const caller& from) {
  kt::ref_ptr<netclient> nc = d.netclients_by_id.get_rw(from.cert_netclient_id);
  if (nc && netclient_verify_ip(*nc, from) != 0) nc.reset();
  return nc;
}

// Checks of the command table and of the connection, in their fixed order. Returns 0 when the
// handler may run.
uint32_t processor_check(globals& g, const caller& from, const processor_function& f, domain* d,
                         token* t) {
  if ((f.flags & PROCESSOR_TOKEN) != 0 && t == nullptr) return E_TOKEN_NOT_FOUND;
  if ((f.flags & PROCESSOR_DOMAIN) != 0 && d == nullptr) return E_DOMAIN_NOT_FOUND;
  if (f.api_class != 0 && (d == nullptr || verify_netclient_access(*d, from, f.api_class) != 0)) {
    return E_ACCESS_VIOLATION;
  }
  if ((f.flags & PROCESSOR_DOMAIN) == 0) {
    if (from.cert_netclient_id == 0) return E_OK;
    kt::ref_ptr<domain> own = g.domains_by_id.get_rw(from.cert_domain_id);
    return own && certificate_netclient(*own, from) ? E_OK : E_ACCESS_VIOLATION;
  }

  if (from.cert_domain_id != 0 && from.cert_domain_id != d->id) return E_ACCESS_VIOLATION;
  if (from.cert_netclient_id != 0) {
    kt::ref_ptr<netclient> nc = certificate_netclient(*d, from);
    if (!nc) return E_ACCESS_VIOLATION;
    nc->requests.fetch_add(1, std::memory_order_relaxed);
  }
  d->requests.fetch_add(1, std::memory_order_relaxed);
  return E_OK;
}

// Runs the handler with the domain lock held. The token was resolved before the lock was taken:
// a command that held the lock meanwhile (userRemove, domainRemove, backupRestore) may have
// ended it and emptied its user. Such a token no longer acts; a command that needs one gets
// 0x101.
uint32_t processor_call(globals& g, const processor_function& f, command_parts& p) {
  if (p.t != nullptr && g.tokens.get_rw(p.t->key).get() != p.t) {
    if ((f.flags & PROCESSOR_TOKEN) != 0) return E_TOKEN_NOT_FOUND;
    p.t = nullptr;
  }
  command cmd(g, p.from, p.d, p.t, p.element, p.out);
  return f.handler(cmd);
}

uint32_t processor_run(globals& g, const processor_function& f, command_parts& p) {
  if (f.handler == nullptr) return E_INVALID_REQUEST;
  if (p.d == nullptr) return processor_call(g, f, p);
  if ((f.flags & PROCESSOR_EXCLUSIVE) != 0 || f.modifies) {
    // A network loop never waits for a domain's lock: such a command goes to a worker.
    if (p.from.on_loop) {
      p.would_wait = true;
      return E_OK;
    }
    std::unique_lock lock(p.d->lock);
    return processor_call(g, f, p);
  }
  std::shared_lock lock(p.d->lock, std::defer_lock);
  if (!p.from.on_loop) {
    lock.lock();
  } else if (!lock.try_lock()) {
    p.would_wait = true;
    return E_OK;
  }
  return processor_call(g, f, p);
}

}  // namespace

uint32_t processor_process(globals& g, const caller& from, const kt::xmldoc& request,
                           answer_slot& out, processor_result& r) {
  const kt::xmldoc_node* root = request.root();
  if (root == nullptr || root->name() != "orvane") {
    r.msg = error2str(E_INVALID_REQUEST);
    return E_INVALID_REQUEST;
  }

  uint32_t code = E_INVALID_REQUEST;
  uint64_t unknown = 0;
  for (const auto& child : root->children()) {
    kt::xmldoc_node& element = *child;
    const processor_function* f = processor_find(element.name().data(), element.name().size());
    if (f == nullptr) {
      // A document of many unknown elements must not flood the log.
      if (++unknown <= kUnknownLogged) {
        KT_LOG_ERR("unknown cmd %s not processed.", element.name().c_str());
      }
      continue;
    }
    kt::ref_ptr<token> t = processor_xml_get_token(g, element);
    kt::ref_ptr<domain> d = processor_xml_get_domain(g, element);
    // A token acts only in the domain it was issued in.
    if (t && d && t->dom != d) t.reset();
    // A command that needs no domain and names none addresses its token's own domain.
    if (t && !d && (f->flags & PROCESSOR_DOMAIN) == 0 && element.attr_get("domain") == nullptr) {
      d = t->dom;
    }

    const int64_t started_ns = kt::monotonic_ns();
    code = processor_check(g, from, *f, d.get(), t.get());
    if (code == E_OK) {
      if (t && d) {
        t->expire.store(now_seconds() + d->expire_token_sec.load(std::memory_order_relaxed),
                        std::memory_order_relaxed);
      }
      command_parts parts{from, d.get(), t.get(), element, out};
      code = processor_run(g, *f, parts);
      if (parts.would_wait) {
        r.would_wait = true;
        return E_OK;
      }
    }
    g.metrics.command_done(static_cast<size_t>(f - processor_functions), code,
                           static_cast<uint64_t>(kt::monotonic_ns() - started_ns));
  }
  if (unknown > kUnknownLogged) {
    KT_LOG_ERR("%lu more unknown cmds not processed.",
               static_cast<unsigned long>(unknown - kUnknownLogged));
  }
  r.msg = error2str(code);
  return code;
}

caller client_caller(const client& c) {
  caller from;
  from.peer = c.peer;
  from.cert_domain_id = c.cert_domain_id;
  from.cert_netclient_id = c.cert_netclient_id;
  return from;
}

bool processor_is_instant(const kt::xmldoc& request) {
  const kt::xmldoc_node* root = request.root();
  if (root == nullptr || root->name() != "orvane" || root->child_count() != 1) return false;
  const kt::xmldoc_node& element = *root->children().front();
  const processor_function* f = processor_find(element.name().data(), element.name().size());
  return f != nullptr && (f->flags & PROCESSOR_INSTANT) != 0;
}

int client_process(client& c, bool on_loop) {
  uint32_t code = E_INVALID_REQUEST;
  std::string message = error2str(code);
  answer_slot out;
  out.response_root = c.response.root();

  const kt::xmldoc_node* request_root = c.request.root();
  if (request_root != nullptr && request_root->child_count() > 0 && c.g != nullptr) {
    processor_result r;
    caller from = client_caller(c);
    from.on_loop = on_loop;
    code = processor_process(*c.g, from, c.request, out, r);
    if (r.would_wait) return 1;
    message = r.msg.substr(0, processor_result::kMessageCapacity - 1);
  }

  if (out.response_root == nullptr) return 0;
  auto res = kt::xmldoc_node::create("res");
  char code_text[16];
  std::snprintf(code_text, sizeof code_text, "%u", code);
  res->attr_addval("code", code_text);
  res->attr_addval("msg", message);
  if (out.element) out.response_root->add_child(std::move(out.element));
  out.response_root->add_child(std::move(res));
  return 0;
}

uint32_t processor_is_valid_token(command& cmd) {
  return cmd.tok() != nullptr ? E_OK : E_TOKEN_NOT_FOUND;
}

}  // namespace orvane
