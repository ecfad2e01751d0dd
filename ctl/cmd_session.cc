// login, logout, refresh, whoami: the stored session.
#include <limits.h>
#include <stdlib.h>

#include <cstdio>

#include "commands.h"
#include "objects.h"
#include "password.h"

namespace ctl {

namespace {

// A file path as it reads from any folder: the session is used from wherever the next command
// runs.
std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

int save_or_fail(context& c) {
  if (std::string error; !session_save(c.stored, &error)) return c.local_error(error);
  return 0;
}

int login(context& c, const std::vector<std::string>&) {
  std::string user = c.args.get("user");
  if (user.empty()) {
    const char* env = ::getenv("ORVANE_USER");
    user = env != nullptr && *env != '\0' ? env : "";
  }
  if (user.empty()) user = c.session_matches() ? c.stored.user : "Administrator";
  std::string password;
  std::string error;
  if (!read_password(c.args, "password-file", "Password for " + user + "@" + c.domain + ": ", false,
                     &password, &error)) {
    return c.local_error(error);
  }
  auto cmd = c.command("getIdentity", false);
  cmd->add_child(kt::xmldoc_node::create("u"))->set_value(user);
  cmd->add_child(kt::xmldoc_node::create("p"))->set_value(password);
  const answer a = c.call(std::move(cmd));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* token = a.find("token");
  if (token == nullptr || token->value().empty()) {
    answer bad;
    bad.error = "the server answered no token";
    return c.fail(bad);
  }
  const kt::xmldoc_node* identity = a.find("identity");
  session s;
  s.server = c.server;
  s.domain = c.domain;
  s.ca = absolute(c.tls.ca_file);
  s.cert = absolute(c.tls.cert_file);
  s.key = absolute(c.tls.key_file);
  s.user = user;
  s.token = token->value();
  s.expire = token->attr_get_value("expire");
  if (!c.args.has("no-identity") && identity != nullptr) s.identity = identity->value();
  c.stored = s;
  if (const int rc = save_or_fail(c); rc != 0) return rc;
  record r;
  r.add("server", s.server);
  r.add("domain", s.domain);
  r.add("user", s.user);
  r.add("expires", time_text(s.expire));
  return c.done(a,
                "logged in to " + s.domain + " at " + s.server + " as " + s.user +
                    " (token idle expiry " + time_text(s.expire) + ")",
                r);
}

int logout(context& c, const std::vector<std::string>&) {
  if (!c.stored.logged_in()) return c.local_error("not logged in");
  // The token ends in the domain it was issued in, whatever the options say.
  c.server = c.stored.server;
  c.domain = c.stored.domain;
  auto cmd = c.command("releaseToken");
  const answer a = c.call(std::move(cmd));
  c.stored.token.clear();
  c.stored.expire.clear();
  c.stored.identity.clear();
  if (const int rc = save_or_fail(c); rc != 0) return rc;
  if (!a.ok()) return c.fail(a);
  return c.done(a, "logged out of " + c.domain + " at " + c.server);
}

int refresh(context& c, const std::vector<std::string>&) {
  if (!c.session_matches())
    return c.local_error("not logged in to " + c.domain + " at " + c.server);
  answer a = c.call(c.command("isValidToken"));
  if (a.sent && a.code == CODE_TOKEN_NOT_FOUND) {
    if (!c.renew_token()) return c.fail(a);
    a = c.call(c.command("isValidToken"));
    if (!a.ok()) return c.fail(a);
    return c.done(a, "token renewed");
  }
  if (!a.ok()) return c.fail(a);
  return c.done(a, "token valid; its idle expiry starts again now");
}

int whoami(context& c, const std::vector<std::string>&) {
  const answer a = c.call(c.command("getTokenInfo"));
  if (!a.ok()) return c.fail(a);
  const kt::xmldoc_node* t = a.find("token");
  const kt::xmldoc_node* d = t != nullptr ? t->get("domain") : nullptr;
  const kt::xmldoc_node* u = t != nullptr ? t->get("user") : nullptr;
  record r;
  r.add("server", c.server);
  r.add("domain", attr(d, "name"));
  r.add("domain_id", attr(d, "id"));
  r.add("user", attr(u, "uname"));
  r.add("user_id", attr(u, "id"));
  c.print(r);
  return 0;
}

constexpr verb kLogin[] = {{"", "[--user NAME] [--password-file FILE] [--no-identity]",
                            "Logs in and keeps the token in the session file (owner-only) with\n"
                            "the server, domain, CA and certificate used. The password is asked\n"
                            "for without echo, or read from the first line of FILE ('-' for\n"
                            "standard input). The user defaults to $ORVANE_USER, the session's\n"
                            "user, else Administrator. Unless --no-identity, an identity blob is\n"
                            "kept too, which renews the token when it has expired (any command,\n"
                            "refresh, watch) until the password changes.",
                            "user password-file no-identity", 0, 0, login}};
constexpr verb kLogout[] = {
    {"", "", "Releases the stored token and forgets it and the identity.", "", 0, 0, logout}};
constexpr verb kRefresh[] = {{"", "",
                              "Starts the token's idle expiry again, or renews an expired token\n"
                              "with the stored identity.",
                              "", 0, 0, refresh}};
constexpr verb kWhoami[] = {
    {"", "", "Shows the domain and user of the stored token.", "", 0, 0, whoami}};

}  // namespace

const family kLoginFamily{"login", "log in and keep the token", kLogin, 1};
const family kLogoutFamily{"logout", "release the token", kLogout, 1};
const family kRefreshFamily{"refresh", "refresh or renew the token", kRefresh, 1};
const family kWhoamiFamily{"whoami", "show the token's user and domain", kWhoami, 1};

}  // namespace ctl
