// pam_orvane.so: "auth" checks the password through orvane-hostd (which asks the Orvane server,
// or its cache when the server is out of reach); "account" refuses locked, expired and disabled
// accounts. Users who are not in the host's NSS profile get PAM_USER_UNKNOWN, so that a stack
// can fall through to local accounts.
//
// Options: use_first_pass, try_first_pass, debug, socket=<path> (default: $ORVANE_HOSTD_SOCKET
// for programs that are not set-user-ID, else /run/orvane/hostd.sock).
#include <security/pam_ext.h>
#include <security/pam_modules.h>
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "hostproto/protocol.h"
#include "hostproto/sock_client.h"

#define PAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using orvane_host::hostd_answer;

// A password check may wait for the server (the daemon bounds it itself).
constexpr int kTimeoutMs = 30000;

struct options {
  bool use_first_pass = false;
  bool try_first_pass = false;
  bool debug = false;
  const char* socket = nullptr;
};

options parse_options(pam_handle_t* pamh, int argc, const char** argv) {
  options o;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "use_first_pass") == 0) {
      o.use_first_pass = true;
    } else if (strcmp(argv[i], "try_first_pass") == 0) {
      o.try_first_pass = true;
    } else if (strcmp(argv[i], "debug") == 0) {
      o.debug = true;
    } else if (strncmp(argv[i], "socket=", 7) == 0 && argv[i][7] != '\0') {
      o.socket = argv[i] + 7;
    } else {
      pam_syslog(pamh, LOG_ERR, "unknown option: %s", argv[i]);
    }
  }
  if (o.socket == nullptr) o.socket = orvane_host::hostd_socket_path();
  return o;
}

// Wipes the request (it may hold a password) when it goes.
struct request_buffer {
  char bytes[orvane_host::kMaxRequest];
  size_t len = 0;
  ~request_buffer() { explicit_bzero(bytes, sizeof bytes); }
};

// Asks the daemon; the answer code, or -1 when it can't be reached.
int ask(pam_handle_t* pamh, const options& o, const request_buffer& r) {
  hostd_answer answer;
  const int rc = orvane_host::hostd_ask(o.socket, r.bytes, r.len, &answer, kTimeoutMs);
  if (rc != 0) {
    pam_syslog(pamh, LOG_ERR, "orvane-hostd does not answer on %s", o.socket);
    return -1;
  }
  if (o.debug) {
    pam_syslog(pamh, LOG_DEBUG, "orvane-hostd answered %d%s", answer.code,
               answer.stale ? " (stale data)" : "");
  }
  return answer.code;
}

// The user name, checked for the socket's bounds; nullptr when there is none.
const char* user_of(pam_handle_t* pamh) {
  const char* user = nullptr;
  if (pam_get_user(pamh, &user, nullptr) != PAM_SUCCESS || user == nullptr || user[0] == '\0' ||
      strlen(user) > orvane_host::kMaxName || strpbrk(user, " \n") != nullptr) {
    return nullptr;
  }
  return user;
}

// The password, as the options want it; nullptr when none can be had.
const char* password_of(pam_handle_t* pamh, const options& o) {
  const void* item = nullptr;
  if (o.use_first_pass || o.try_first_pass) {
    if (pam_get_item(pamh, PAM_AUTHTOK, &item) == PAM_SUCCESS && item != nullptr) {
      return static_cast<const char*>(item);
    }
    if (o.use_first_pass) return nullptr;
  }
  const char* typed = nullptr;
  if (pam_get_authtok(pamh, PAM_AUTHTOK, &typed, nullptr) != PAM_SUCCESS) return nullptr;
  return typed;
}

}  // namespace

PAM_EXPORT int pam_sm_authenticate(pam_handle_t* pamh, int, int argc, const char** argv) {
  const options o = parse_options(pamh, argc, argv);
  const char* user = user_of(pamh);
  if (user == nullptr) return PAM_USER_UNKNOWN;
  const char* password = password_of(pamh, o);
  if (password == nullptr) return PAM_AUTH_ERR;
  const size_t password_len = strlen(password);
  if (password_len == 0 || password_len > orvane_host::kMaxPassword) return PAM_AUTH_ERR;

  request_buffer r;
  const int n = snprintf(r.bytes, sizeof r.bytes, "auth %s\n%s", user, password);
  if (n < 0 || static_cast<size_t>(n) >= sizeof r.bytes) return PAM_AUTH_ERR;
  r.len = static_cast<size_t>(n);
  const int code = ask(pamh, o, r);
  if (o.debug) pam_syslog(pamh, LOG_DEBUG, "auth %s: %d", user, code);
  switch (code) {
    case orvane_host::HOSTD_OK:
      return PAM_SUCCESS;
    case orvane_host::HOSTD_NOT_FOUND:
      return PAM_USER_UNKNOWN;
    case -1:
    case orvane_host::HOSTD_UNAVAILABLE:
      return PAM_AUTHINFO_UNAVAIL;
    default:
      return PAM_AUTH_ERR;
  }
}

PAM_EXPORT int pam_sm_setcred(pam_handle_t*, int, int, const char**) {
  return PAM_SUCCESS;
}

PAM_EXPORT int pam_sm_acct_mgmt(pam_handle_t* pamh, int, int argc, const char** argv) {
  const options o = parse_options(pamh, argc, argv);
  const char* user = user_of(pamh);
  if (user == nullptr) return PAM_USER_UNKNOWN;
  request_buffer r;
  const int n = snprintf(r.bytes, sizeof r.bytes, "account %s", user);
  if (n < 0 || static_cast<size_t>(n) >= sizeof r.bytes) return PAM_USER_UNKNOWN;
  r.len = static_cast<size_t>(n);
  const int code = ask(pamh, o, r);
  if (o.debug) pam_syslog(pamh, LOG_DEBUG, "account %s: %d", user, code);
  switch (code) {
    case orvane_host::HOSTD_OK:
      return PAM_SUCCESS;
    case orvane_host::HOSTD_NOT_FOUND:
      return PAM_USER_UNKNOWN;
    case orvane_host::HOSTD_EXPIRED:
      pam_error(pamh, "Your account has expired; please contact your system administrator.");
      return PAM_ACCT_EXPIRED;
    case orvane_host::HOSTD_MUST_CHANGE:
      pam_error(pamh, "Your password must be changed on the Orvane server first.");
      return PAM_PERM_DENIED;
    case -1:
    case orvane_host::HOSTD_UNAVAILABLE:
      return PAM_AUTHINFO_UNAVAIL;
    default:
      return PAM_PERM_DENIED;
  }
}
