#include "context.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "buffers/buffer.h"
#include "utils/numbers.h"

namespace ctl {

namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The first non-empty of the option, the environment variable and the stored value.
std::string pick(const parsed_args& args, const char* option, const char* variable,
                 const std::string& stored) {
  if (args.has(option)) return args.get(option);
  if (std::string value = env(variable); !value.empty()) return value;
  return stored;
}

}  // namespace

std::string wrap_command(const kt::xmldoc_node& cmd) {
  kt::xmldoc doc;
  kt::buffer out;
  doc.save(&cmd, out);
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><orvane>" + std::string(out.view()) +
         "</orvane>";
}

int exit_status_of(long code) {
  if (code == CODE_OK) return 0;
  if (code >= 0x10 && code <= 0x9ff) return 4 + static_cast<int>(code >> 8);
  return 14;
}

const kt::xmldoc_node* answer::find(std::string_view name) const {
  const kt::xmldoc_node* root = doc.root();
  return root != nullptr ? root->get(name) : nullptr;
}

int context::setup() {
  if (std::string error; !session_load(&stored, &error)) return local_error(error);
  server = pick(args, "server", "ORVANE_SERVER", stored.server);
  if (server.empty()) server = ORVANECTL_DEFAULT_SERVER;
  domain = pick(args, "domain", "ORVANE_DOMAIN", stored.domain);
  if (domain.empty()) domain = "ORVANE";
  tls.ca_file = pick(args, "ca", "ORVANE_CA", stored.ca);
  if (tls.ca_file.empty() && *ORVANECTL_DEFAULT_CA != '\0' &&
      ::access(ORVANECTL_DEFAULT_CA, R_OK) == 0) {
    tls.ca_file = ORVANECTL_DEFAULT_CA;
  }
  tls.cert_file = pick(args, "cert", "ORVANE_CERT", stored.cert);
  tls.key_file = pick(args, "key", "ORVANE_KEY", stored.key);
  tls.cert_password = pick(args, "cert-password", "ORVANE_CERT_PASSWORD", "");
  if (args.has("timeout")) {
    uint64_t seconds = 0;
    if (!kt::decimal_parse(args.get("timeout"), 86400, &seconds) || seconds == 0) {
      return usage_error("--timeout takes a number of seconds");
    }
    tls.timeout_ms = static_cast<int>(seconds) * 1000;
  }
  if (args.has("json") && args.has("xml"))
    return usage_error("--json and --xml exclude each other");
  if (args.has("json")) fmt = format::json;
  if (args.has("xml")) fmt = format::xml;
  return 0;
}

bool context::session_matches() const {
  return stored.logged_in() && stored.server == server && stored.domain == domain;
}

std::unique_ptr<kt::xmldoc_node> context::command(std::string_view name, bool with_token) const {
  auto cmd = kt::xmldoc_node::create(name);
  cmd->attr_addval("domain", domain);
  if (with_token && session_matches()) cmd->attr_addval("token", stored.token);
  if (args.has("note") || args.has("audit-code")) {
    kt::xmldoc_node* audit = cmd->add_child(kt::xmldoc_node::create("audit"));
    audit->set_value(args.get("note", "-"));
    if (args.has("audit-code")) audit->attr_addval("code", args.get("audit-code"));
  }
  return cmd;
}

answer context::send(std::string_view document) {
  answer a;
  url u;
  if (!parse_url(server, &u, &a.error)) return a;
  http_reply reply;
  if (!http_post(u, tls, document, &reply, &a.error)) return a;
  last_body_ = reply.body;
  a.body = reply.body;
  if (reply.status != 200) {
    a.error = "the server answered HTTP status " + std::to_string(reply.status);
    return a;
  }
  const kt::xmldoc_node* res = nullptr;
  if (a.doc.parse(a.body, 64u * 1024 * 1024 + a.body.size() * 32) == 0 && a.doc.root() != nullptr) {
    for (const auto& child : a.doc.root()->children()) {
      if (child->name() == "res") res = child.get();
    }
  }
  if (res == nullptr) {
    a.error = "the server's answer holds no result";
    return a;
  }
  uint64_t code = 0;
  a.code = kt::decimal_parse(res->attr_get_value("code"), UINT32_MAX, &code)
               ? static_cast<long>(code)
               : -1;
  a.msg = res->attr_get_value("msg");
  a.sent = true;
  return a;
}

answer context::call(std::unique_ptr<kt::xmldoc_node> cmd) {
  answer a = send(wrap_command(*cmd));
  kt::xmldoc_attr* token = cmd->attr_get("token");
  if (a.sent && a.code == CODE_TOKEN_NOT_FOUND && token != nullptr && renew_token()) {
    token->value = stored.token;
    a = send(wrap_command(*cmd));
  }
  return a;
}

bool context::renew_token() {
  if (stored.identity.empty() || !session_matches()) return false;
  auto cmd = kt::xmldoc_node::create("getToken");
  cmd->attr_addval("domain", domain);
  cmd->add_child(kt::xmldoc_node::create("identity"))->set_value(stored.identity);
  const answer a = send(wrap_command(*cmd));
  const kt::xmldoc_node* t = a.find("token");
  if (!a.ok() || t == nullptr || t->value().empty()) return false;
  stored.token = t->value();
  stored.expire = t->attr_get_value("expire");
  std::string error;
  if (!session_save(stored, &error)) std::fprintf(stderr, "orvanectl: %s\n", error.c_str());
  return true;
}

void context::print(const table& t) const {
  switch (fmt) {
    case format::table:
      std::fputs(render_table(t).c_str(), stdout);
      break;
    case format::json:
      std::fputs(render_json(t).c_str(), stdout);
      break;
    case format::xml:
      std::fputs((last_body_ + "\n").c_str(), stdout);
      break;
  }
}

void context::print(const record& r) const {
  switch (fmt) {
    case format::table:
      std::fputs(render_record(r).c_str(), stdout);
      break;
    case format::json:
      std::fputs(render_json(r).c_str(), stdout);
      break;
    case format::xml:
      std::fputs((last_body_ + "\n").c_str(), stdout);
      break;
  }
}

int context::done(const answer& a, const std::string& text, record extra) const {
  if (fmt == format::table) {
    std::printf("%s\n", text.c_str());
    return 0;
  }
  record r;
  r.add("code", std::to_string(a.code));
  r.add("msg", a.msg);
  for (auto& f : extra.fields) r.fields.push_back(std::move(f));
  print(r);
  return 0;
}

int context::fail(const answer& a) const {
  if (!a.sent) {
    std::fprintf(stderr, "orvanectl: %s\n", a.error.c_str());
    if (fmt == format::json) {
      std::printf("{\"error\": %s}\n", json_quote(a.error).c_str());
    } else if (fmt == format::xml && !a.body.empty()) {
      std::printf("%s\n", a.body.c_str());
    }
    return EXIT_CONNECTION;
  }
  std::string hint;
  if (a.code == CODE_TOKEN_NOT_FOUND) {
    hint = stored.logged_in() && !session_matches()
               ? " (the stored session is for " + stored.domain + " at " + stored.server +
                     "; log in to " + domain + ")"
               : " (log in with: orvanectl login)";
  }
  std::fprintf(stderr, "orvanectl: %s (code %ld)%s\n", a.msg.c_str(), a.code, hint.c_str());
  if (fmt == format::json) {
    std::printf("{\"code\": \"%ld\", \"msg\": %s}\n", a.code, json_quote(a.msg).c_str());
  } else if (fmt == format::xml) {
    std::printf("%s\n", a.body.c_str());
  }
  return exit_status_of(a.code);
}

int context::usage_error(const std::string& message) const {
  std::fprintf(stderr, "orvanectl: %s\n(see orvanectl --help)\n", message.c_str());
  return EXIT_USAGE;
}

int context::local_error(const std::string& message) const {
  std::fprintf(stderr, "orvanectl: %s\n", message.c_str());
  return EXIT_LOCAL;
}

}  // namespace ctl
