#include "hostd/remote.h"

#include <string_view>

#include "buffers/buffer.h"
#include "hostd/config.h"
#include "hostd/entries.h"
#include "hostd/tls.h"
#include "htmldoc/htmldoc.h"
#include "utils/numbers.h"

namespace orvane_hostd {

namespace {

// Largest answer taken from the server (a profile of many thousands of entries fits).
constexpr size_t kMaxAnswer = 256u << 20;
constexpr size_t kReadChunk = 16384;

long res_code(const kt::xmldoc& doc) {
  if (doc.root() == nullptr) return kUnreachable;
  const kt::xmldoc_node* res = nullptr;
  for (const auto& child : doc.root()->children()) {
    if (child->name() == "res") res = child.get();
  }
  if (res == nullptr) return kUnreachable;
  const std::string_view code = res->attr_get_value("code");
  uint64_t v = 0;
  if (!kt::decimal_parse(code, 9999999999, &v)) return kUnreachable;
  return static_cast<long>(v);
}

}  // namespace

std::string xml_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    switch (ch) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += ch;
    }
  }
  return out;
}

long remote::command(const std::string& name, const std::string& attrs, const std::string& inner,
                     kt::xmldoc* answer, std::string* error) const {
  return post("<" + name + " domain=\"" + xml_escape(c_.domain) + "\"" + attrs + ">" + inner +
                  "</" + name + ">",
              answer, error);
}

long remote::post(const std::string& commands, kt::xmldoc* answer, std::string* error) const {
  const std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><orvane>" + commands + "</orvane>";
  const std::string request =
      "POST / HTTP/1.0\r\nHost: " + t_.host +
      "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
      body;
  tls_conn conn;
  if (conn.connect(t_, error) != 0) return kUnreachable;
  if (conn.write_all(request) != 0) {
    *error = "sending to the server failed";
    return kUnreachable;
  }
  kt::htmldoc http;
  char chunk[kReadChunk];
  size_t total = 0;
  int state = 1;
  while (state == 1) {
    const long n = conn.read_some(chunk, sizeof chunk);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    if (total > kMaxAnswer) {
      *error = "the server's answer is too large";
      return kUnreachable;
    }
    state = http.wrap(chunk, static_cast<size_t>(n));
  }
  // HTTP/1.0: an answer without a length ends with the connection.
  if (state != 0 && !(state == 1 && http.header_complete())) {
    *error = "no complete answer from the server";
    return kUnreachable;
  }
  if (http.uri() != "200") {
    *error = "the server answered HTTP " + http.uri();
    return kUnreachable;
  }
  kt::xmldoc doc;
  if (doc.parse(http.body()) != 0 || doc.root() == nullptr) {
    *error = "the server's answer does not parse";
    return kUnreachable;
  }
  const long code = res_code(doc);
  if (code == kUnreachable) *error = "the server's answer has no result";
  if (answer != nullptr) *answer = std::move(doc);
  return code;
}

std::string remote::login(long* code, std::string* error) const {
  kt::xmldoc doc;
  *code = command("getToken", "",
                  "<u>" + xml_escape(c_.user) + "</u><p>" + xml_escape(c_.password) + "</p>", &doc,
                  error);
  if (*code != kCodeOk) return "";
  const kt::xmldoc_node* t = doc.root()->get("token");
  return t != nullptr ? t->value() : "";
}

long remote::check_token(const std::string& token, std::string* error) const {
  return command("isValidToken", " token=\"" + xml_escape(token) + "\"", "", nullptr, error);
}

long remote::token_domain(const std::string& token, uint64_t* domain_id, std::string* error) const {
  kt::xmldoc doc;
  const long code =
      command("getTokenInfo", " token=\"" + xml_escape(token) + "\"", "", &doc, error);
  if (code != kCodeOk) return code;
  const kt::xmldoc_node* t = doc.root()->get("token");
  const kt::xmldoc_node* d = t != nullptr ? t->get("domain") : nullptr;
  const std::string_view id = d != nullptr ? d->attr_get_value("id") : "";
  if (!kt::decimal_parse(id, UINT64_MAX, domain_id)) {
    *error = "getTokenInfo answered no domain";
    return kUnreachable;
  }
  return code;
}

long remote::fetch(const std::string& token, snapshot* out, std::string* error) const {
  std::string attrs = " profile=\"" + xml_escape(c_.profile) + "\"";
  if (!token.empty()) attrs += " token=\"" + xml_escape(token) + "\"";
  kt::xmldoc pw;
  kt::xmldoc gr;
  long code = command("pamGetPWEntries", attrs, "", &pw, error);
  if (code != kCodeOk) return code;
  code = command("pamGetGREntries", attrs, "", &gr, error);
  if (code != kCodeOk) return code;
  const kt::xmldoc_node* users = pw.root()->get("pwentries");
  const kt::xmldoc_node* groups = gr.root()->get("grentries");
  if (users == nullptr || groups == nullptr) {
    *error = "the server answered no entries";
    return kUnreachable;
  }
  snapshot s;
  entries_from_answers(*users, *groups, &s);
  *out = std::move(s);
  return kCodeOk;
}

long remote::authenticate(const std::string& user, const std::string& password,
                          std::string* error) const {
  return command("authenticate", "",
                 "<u>" + xml_escape(user) + "</u><p>" + xml_escape(password) + "</p>", nullptr,
                 error);
}

long remote::account(const std::string& user, std::string* error) const {
  return command("pamGetPWName",
                 " profile=\"" + xml_escape(c_.profile) + "\" uname=\"" + xml_escape(user) + "\"",
                 "", nullptr, error);
}

}  // namespace orvane_hostd
