#include "http.h"

#include <malloc.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "client.h"
#include "config.h"
#include "globals.h"
#include "monitor.h"
#include "processor.h"

namespace orvane {

namespace {

constexpr size_t kSendChunk = 1400;
constexpr size_t kMaxFilePath = 1023;
// The most memory a parsed command document may take: this many times its size, plus a base.
constexpr size_t kRequestMemoryFactor = 32;
constexpr size_t kRequestMemoryBase = 64 * 1024;
// Requests from this size on give their memory back to the system once answered.
constexpr size_t kTrimAfter = 1 << 20;
// Command documents up to this size may be answered on the network loop that read them.
constexpr size_t kOnLoopBody = 2048;
// Answers up to this size are sent by the loop itself.
constexpr size_t kOnLoopAnswer = 2048;
constexpr const char* kWebSocketKey = "Sec-WebSocket-Key";
constexpr const char* kServerName = "Orvane/1.0.0";
constexpr const char* kVersion = "1.0.0";

struct web_root {
  const char* prefix;
  const char* dir;
  const char* title;
  const char* package;
};

const web_root kWebRoots[] = {
    {"/mgmt", "/webmgmt", "Orvane Web Management package not installed.", "orvane-webmgmt"},
    {"/sso", "/websso", "Orvane Web Sso package not installed.", "orvane-websso"},
    {"/", "/web/", "Orvane Web package not installed.", "orvane-web"},
};

void add_header(kt::htmldoc& h, const char* name, std::string_view value) {
  kt::htmldoc_add_option(h.headers(), name, value);
}

void add_length(kt::htmldoc& h) {
  add_header(h, "Content-Length", std::to_string(h.body_length()));
}

// The page of a package that is not installed, or the page that sends a browser to HTTPS.
void html_page(kt::htmldoc& h, const std::string& body_lines) {
  h.body_append("<!DOCTYPE html><html><head><meta charset=\"utf-8\" /></head><body>");
  h.body_append(body_lines);
  h.body_append("</body></html>");
  add_header(h, "Content-Type", "text/html");
  add_length(h);
}

// Content type by the last extension of the path; nullptr when the path has no ".".
void add_content_type(kt::htmldoc& h, const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return;
  const std::string ext = path.substr(dot);
  if (ext == ".exe") {
    add_header(h, "Content-type", "binary/octet-stream");
    return;
  }
  const char* type = "text/html";
  if (ext == ".ico") type = "image/x-icon";
  if (ext == ".png") type = "image/png";
  if (ext == ".svg") type = "image/svg+xml";
  if (ext == ".css") type = "text/css";
  if (ext == ".js") type = "application/javascript";
  add_header(h, "Content-Type", type);
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// A web root's prefix matches only up to a path boundary: "/mgmt" takes "/mgmt" and "/mgmt/x",
// not "/mgmt_private/x".
bool under_prefix(std::string_view uri, std::string_view prefix) {
  if (!starts_with_nocase(uri, prefix)) return false;
  return prefix.ends_with('/') || uri.size() == prefix.size() || uri[prefix.size()] == '/';
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The page script that sends a browser on the plain port to the same front end over HTTPS. On
// the default ports the host the browser used is kept as it is; otherwise its plain port is
// replaced by the HTTPS port in use.
std::string https_redirect_script(const char* prefix) {
  const uint16_t port = config_get().https_port;
  char line[256];
  if (port == 443) {
    std::snprintf(line, sizeof line,
                  "<script>window.location.href = 'https://' + document.location.host + "
                  "'%s/';</script>",
                  prefix);
  } else {
    std::snprintf(line, sizeof line,
                  "<script>window.location.href = 'https://' + document.location.hostname + "
                  "':%u' + '%s/';</script>",
                  static_cast<unsigned>(port), prefix);
  }
  return line;
}

// Streams a file in 1,400-byte pieces. Returns 0, -1 when it cannot be opened, -2 when a piece is
// not taken whole.
// Streams a file in 1,400-byte pieces. Returns 0, -1 when it cannot be opened, -2 when a piece is
// not taken whole.
int send_file(client& c, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -1;
  std::unique_ptr<FILE, int (*)(FILE*)> guard(f, std::fclose);
  char piece[kSendChunk];
  for (;;) {
    const size_t n = std::fread(piece, 1, sizeof piece, f);
    if (n == 0) return 0;
    if (c.send(std::string_view(piece, n)) != 0) return -2;
  }
}

}  // namespace

void client_answer_bad_request(client& c) {
  client_answer_status(c, 400, "Bad Request");
}

void client_answer_status(client& c, int status, const char* reason) {
  c.http_response.reset();
  c.http_response.set_status_line("HTTP/1.0", status, reason);
  add_header(c.http_response, "Content-Length", "0");
  add_header(c.http_response, "Server", kServerName);
  client_unwrap_htmldoc(c);
}

int client_unwrap_htmldoc(client& c) {
  kt::buffer out;
  if (c.http_response.unwrap(out, false) != 0) return -1;
  return c.send(out.view());
}

int client_process_get(client& c) {
  kt::htmldoc& req = c.http_request;
  kt::htmldoc& res = c.http_response;
  std::string uri = req.uri();
  if (uri.empty()) return -1;

  std::string file_path;
  if (uri == "/getXmlVersion") {
    res.body_append("<?xml version=\"1.0\" encoding=\"UTF-8\" ?>");
    res.body_append_arg("<orvane><server version=\"%s\"/></orvane>", kVersion);
    add_header(res, "Content-Type", "text/xml");
    add_length(res);
  } else {
    const web_root* root = nullptr;
    for (const web_root& r : kWebRoots) {
      if (under_prefix(uri, r.prefix)) {
        root = &r;
        break;
      }
    }
    if (root == nullptr) {
      res.set_status_line("HTTP/1.0", 302, "Found");
      add_header(res, "Location", "/index.html");
    } else if (!c.tls() && root->prefix[1] != '\0') {
      html_page(res, https_redirect_script(root->prefix));
    } else {
      if (uri.back() == '/') uri += "index.html";
      const size_t prefix_length = std::strlen(root->prefix);
      const std::string path = path_web(root->dir) + uri.substr(prefix_length);
      struct stat st {};
      const bool usable = path.size() <= kMaxFilePath && path.find("..") == std::string::npos &&
                          ::stat(path.c_str(), &st) == 0;
      if (usable && S_ISDIR(st.st_mode)) {
        res.set_status_line("HTTP/1.0", 302, "Found");
        std::string location = req.uri();
        if (req.have_get_params()) {
          location += "/?" + kt::htmldoc_params_to_qry(req.get_params()).substr(0, 511);
        } else {
          location += "/";
        }
        add_header(res, "Location", location.substr(0, 1399));
      } else if (usable && S_ISREG(st.st_mode)) {
        add_header(res, "Content-Length", std::to_string(st.st_size));
        add_content_type(res, path);
        file_path = path;
      } else {
        const web_root* page = nullptr;
        for (const web_root& r : kWebRoots) {
          const std::string index =
              std::string(r.prefix[1] != '\0' ? r.prefix : "") + "/index.html";
          if (equals_nocase(uri, index)) page = &r;
        }
        if (page != nullptr) {
          html_page(res, std::string("<h1>") + page->title + "</h1><p><code>use: pkg-manager -io " +
                             page->package + "</code></p>");
        } else {
          res.set_status_line("HTTP/1.0", 302, "Found");
          add_header(res, "Location",
                     std::string(root->prefix[1] != '\0' ? root->prefix : "") + "/index.html");
        }
      }
    }
  }
  add_header(res, "Server", kServerName);
  if (client_unwrap_htmldoc(c) != 0) return -1;
  if (!file_path.empty()) return send_file(c, file_path);
  return 0;
}

namespace {

// The answer to a POST: the response document as the body, mirrored to the monitoring port.
void client_prepare_post_answer(client& c, std::string_view body, kt::buffer& out) {
  // The allocator keeps what a large document freed in this thread's arena, where the next large
  // request, on another worker, would not find it: hand it back now.
  if (body.size() >= kTrimAfter) malloc_trim(0);
  c.http_response.body_append(out.view());
  monitoring_notify(*c.g, MONITOR_TYPE_DEBUG, "ROOT_DOMAIN", c.peer_text, "GetDomain", body,
                    out.view());
  add_length(c.http_response);
  add_header(c.http_response, "Content-Type", "text/xml");
  add_header(c.http_response, "Server", kServerName);
  add_header(c.http_response, "Access-Control-Allow-Origin", "*");
}

// Parses the body into the request document: 0, or -1 with the document left empty.
int client_parse_request(client& c, std::string_view body) {
  c.request = kt::xmldoc();
  const size_t memory_limit = body.size() * kRequestMemoryFactor + kRequestMemoryBase;
  if (c.request.parse(body, memory_limit) == 0 && c.request.root() != nullptr) return 0;
  c.request = kt::xmldoc();
  return -1;
}

// Drops the request document and moves the response document, as text, into out.
void client_take_response(client& c, kt::buffer& out) {
  c.request = kt::xmldoc();
  c.response.save(c.response.root(), out);
  c.response = kt::xmldoc();
}

}  // namespace

int client_process_post(client& c) {
  const std::string_view body = c.http_request.body();
  kt::buffer out;
  {
    // The parsed document may take a multiple of the body's size; requests beyond the budget
    // wait for those before them to be answered.
    kt::byte_budget::ticket parsing = c.g->request_budget.take(body.size());
    if (client_parse_request(c, body) == 0) client_process(c);
    client_take_response(c, out);
  }
  client_prepare_post_answer(c, body, out);
  return client_unwrap_htmldoc(c);
}

on_loop_answer client_answer_on_loop(client& c) {
  const std::string_view body = c.http_request.body();
  if (!c.tls() || c.http_request.method() != "POST" || body.size() > kOnLoopBody) {
    return on_loop_answer::none;
  }
  if (kt::htmldoc_getvalue_option_nocase(c.http_request.headers(), kWebSocketKey) != nullptr) {
    return on_loop_answer::none;
  }
  // Small enough to leave out of the parsing budget, which a loop must not wait for.
  if (client_parse_request(c, body) != 0) return on_loop_answer::none;
  if (!processor_is_instant(c.request) || client_process(c, true) != 0) {
    c.request = kt::xmldoc();
    return on_loop_answer::none;
  }
  kt::buffer out;
  client_take_response(c, out);
  c.http_response.set_status_line("HTTP/1.0", 200, "OK");
  client_prepare_post_answer(c, body, out);
  // A fresh connection's socket buffer takes a small answer whole, so sending it cannot hold
  // the loop up; a larger one is sent by a worker.
  c.g->metrics.answered_on_loop.fetch_add(1, std::memory_order_relaxed);
  if (out.length() > kOnLoopAnswer) return on_loop_answer::prepared;
  client_unwrap_htmldoc(c);
  return on_loop_answer::sent;
}
}  // namespace orvane
