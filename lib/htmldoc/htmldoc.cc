#include "htmldoc/htmldoc.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "utils/logger.h"
#include "utils/numbers.h"

namespace kt {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kContentLength = "Content-Length";
// Parse error reports show at most this much of the received input.
constexpr int kReportPrefix = 256;

// At most kReportPrefix bytes of text, for error messages.
std::string shown(std::string_view text) {
  return std::string(text.substr(0, kReportPrefix));
}

bool is_line_break(char c) {
  return c == '\r' || c == '\n';
}

// Parses a Content-Length value: decimal digits, optionally followed by blanks. Nothing else
// (no sign, no leading blank, no empty value), and at most 2^32 - 1.
std::optional<uint32_t> parse_length(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  uint64_t value = 0;
  if (!decimal_parse(text.substr(0, end), UINT32_MAX, &value)) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// ASCII letters only: header names are tokens, and the locale has no say.
char lower_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
  }
  return true;
}

}  // namespace

htmldoc_option& htmldoc_add_option(htmldoc_option_list& list, std::string_view name,
                                   std::string_view value) {
  return list.emplace_back(htmldoc_option{std::string(name), std::string(value)});
}

const htmldoc_option* htmldoc_get_option(const htmldoc_option_list& list, std::string_view name) {
  for (const htmldoc_option& o : list) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

const std::string* htmldoc_getvalue_option(const htmldoc_option_list& list, std::string_view name) {
  const htmldoc_option* o = htmldoc_get_option(list, name);
  return o != nullptr ? &o->value : nullptr;
}

const htmldoc_option* htmldoc_get_option_nocase(const htmldoc_option_list& list,
                                                std::string_view name) {
  for (const htmldoc_option& o : list) {
    if (equals_nocase(o.name, name)) return &o;
  }
  return nullptr;
}

const std::string* htmldoc_getvalue_option_nocase(const htmldoc_option_list& list,
                                                  std::string_view name) {
  const htmldoc_option* o = htmldoc_get_option_nocase(list, name);
  return o != nullptr ? &o->value : nullptr;
}

size_t htmldoc_params_to_qry(const htmldoc_option_list& list, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return 0;
  std::memset(buffer, 0, size);
  const std::string text = htmldoc_params_to_qry(list);
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  return n;
}

std::string htmldoc_params_to_qry(const htmldoc_option_list& list) {
  std::string text;
  bool first = true;
  for (const htmldoc_option& o : list) {
    if (!first) text += '&';
    first = false;
    text += o.name;
    text += '=';
    text += o.value;
  }
  return text;
}

std::unique_ptr<htmldoc> htmldoc::create() {
  std::unique_ptr<htmldoc> doc(new (std::nothrow) htmldoc);
  if (doc == nullptr) KT_LOG_WARN("%s(): %s", "calloc", std::strerror(ENOMEM));
  return doc;
}

void htmldoc::reset() {
  method_.clear();
  uri_.clear();
  status_ = 0;
  proto_.clear();
  host_.clear();
  headers_.clear();
  get_params_.clear();
  post_params_.clear();
  header_complete_ = false;
  body_complete_ = false;
  failed_ = false;
  content_length_.reset();
  scan_from_ = 0;
  raw_.release();
  body_.release();
}

int htmldoc::fail(const char* format, ...) {
  failed_ = true;
  const int prefix = static_cast<int>(std::min<uint32_t>(raw_.length(), kReportPrefix));
  std::fprintf(stderr, "%s: request:\n%.*s%s\n", "htmldoc_failed", prefix, raw_.data(),
               raw_.length() > static_cast<uint32_t>(prefix) ? "..." : "");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  return -1;
}

int htmldoc::parse_request_line(std::string_view line) {
  const size_t method_end = line.find(' ');
  if (method_end == std::string_view::npos || method_end == 0) return fail("search method\n");
  if (method_end > kHtmldocMaxToken) {
    return fail("method len to long (%d expect max %d)\n", static_cast<int>(method_end),
                static_cast<int>(kHtmldocMaxToken));
  }
  const std::string_view rest = line.substr(method_end + 1);
  const size_t target_end = rest.find(' ');
  if (target_end == std::string_view::npos) return fail("search url\n");
  const std::string_view target = rest.substr(0, target_end);
  const std::string_view proto = rest.substr(target_end + 1);
  if (proto.size() > kHtmldocMaxToken) {
    return fail("proto len to long (%d exprect max %d)\n", static_cast<int>(proto.size()),
                static_cast<int>(kHtmldocMaxToken));
  }
  method_.assign(line.substr(0, method_end));
  proto_.assign(proto);

  const size_t question = target.find('?');
  uri_.assign(target.substr(0, question));
  if (question == std::string_view::npos) return 0;
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;  // runs of '&' separate like one
    const std::string pair_text = shown(pair);
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) {
      return fail("parse options get (can't find = in '%s')\n", pair_text.c_str());
    }
    if (eq + 1 == pair.size()) {
      return fail("parse options get (missing value for '%s')\n", pair_text.c_str());
    }
    get_params_.push_front(
        htmldoc_option{std::string(pair.substr(0, eq)), std::string(pair.substr(eq + 1))});
  }
  return 0;
}

int htmldoc::parse_header_line(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    return fail("parse options (can't find : in '%s')\n", shown(line).c_str());
  }
  size_t value_start = colon + 1;
  while (value_start < line.size() && line[value_start] == ' ') ++value_start;
  if (value_start == line.size()) {
    return fail("parse options (missing value for '%s')\n", shown(line).c_str());
  }
  htmldoc_option& o = headers_.emplace_front(
      htmldoc_option{std::string(line.substr(0, colon)), std::string(line.substr(value_start))});
  if (o.name == "Host") host_ = o.value;
  return 0;
}

int htmldoc::parse_head(std::string_view head) {
  size_t pos = 0;
  while (pos < head.size()) {
    while (pos < head.size() && is_line_break(head[pos])) ++pos;
    if (pos == head.size()) break;
    size_t end = pos;
    while (end < head.size() && !is_line_break(head[end])) ++end;
    const std::string_view line = head.substr(pos, end - pos);
    pos = end;
    const int rc = method_.empty() ? parse_request_line(line) : parse_header_line(line);
    if (rc != 0) return rc;
  }
  return 0;
}

int htmldoc::check_content_length() {
  for (const htmldoc_option& o : headers_) {
    if (o.name != kContentLength) continue;
    const std::optional<uint32_t> length = parse_length(o.value);
    if (!length) return fail("bad Content-Length '%s'\n", shown(o.value).c_str());
    if (content_length_ && *content_length_ != *length) {
      return fail("conflicting Content-Length headers\n");
    }
    content_length_ = length;
  }
  return 0;
}

int htmldoc::wrap(const char* bytes, size_t count) {
  if (failed_) return -1;
  if (count == 0) return header_complete_ && body_complete_ ? 0 : 1;
  if (bytes == nullptr) return fail("no input\n");
  if (count > std::numeric_limits<uint32_t>::max() ||
      !raw_.append(bytes, static_cast<uint32_t>(count))) {
    return fail("input too large\n");
  }

  if (!header_complete_) {
    const std::string_view raw = raw_.view();
    if (is_line_break(raw.front())) return fail("request starts with an empty line\n");
    const size_t end = raw.find(kHeadEnd, scan_from_);
    if (end == std::string_view::npos) {
      // A terminator found later starts no earlier than here.
      scan_from_ = raw.size() >= kHeadEnd.size() - 1 ? raw.size() - (kHeadEnd.size() - 1) : 0;
      if (scan_from_ > kHtmldocMaxHead) {
        return fail("head too long (over %zu bytes)\n", kHtmldocMaxHead);
      }
      return 1;
    }
    if (end > kHtmldocMaxHead) return fail("head too long (over %zu bytes)\n", kHtmldocMaxHead);
    if (parse_head(raw.substr(0, end)) != 0) return -1;
    if (method_.empty()) return fail("search method\n");
    if (check_content_length() != 0) return -1;
    header_complete_ = true;
    raw_.remove(static_cast<uint32_t>(end + kHeadEnd.size()));
    scan_from_ = 0;
  }

  if (!body_complete_) {
    if (!raw_.empty()) {
      if (!body_.append(raw_.data(), raw_.length())) return fail("body too large\n");
      raw_.clear();
    }
    if (!content_length_ || body_.length() == *content_length_) {
      body_complete_ = true;
    } else if (body_.length() > *content_length_) {
      return fail("body longer than Content-Length (%u > %u)\n", body_.length(), *content_length_);
    }
  }
  return body_complete_ ? 0 : 1;
}

int htmldoc::unwrap(buffer& out, bool request_form) const {
  char status[8];
  std::snprintf(status, sizeof(status), "%d", static_cast<int>(status_));
  bool ok = out.append(method_) && out.append(" ") &&
            out.append(request_form ? std::string_view(uri_) : std::string_view(status)) &&
            out.append(" ") && out.append(proto_) && out.append("\r\n");
  for (const htmldoc_option& o : headers_) {
    if (!ok) break;
    ok = out.append(o.name) && out.append(": ") && out.append(o.value) && out.append("\r\n");
  }
  ok = ok && out.append("\r\n") && out.append(body_.view());
  return ok ? 0 : -1;
}

int htmldoc::body_append(const void* bytes, size_t count) {
  if (count > std::numeric_limits<uint32_t>::max() - body_.length() ||
      (count > 0 && bytes == nullptr) || !body_.append(bytes, static_cast<uint32_t>(count))) {
    std::fprintf(stderr, "realloc(): %s\n", std::strerror(ENOMEM));
    return -1;
  }
  return 0;
}

int htmldoc::body_append_str(const char* text) {
  if (text == nullptr) {
    std::fprintf(stderr, "%s: append null data\n", "htmldoc_body_append_str");
    return -1;
  }
  return body_append(text, std::strlen(text));
}

int htmldoc::body_append_arg(const char* format, ...) {
  char line[kHtmldocArgBuffer];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  if (n < 0) return -1;
  return body_append(line, std::strlen(line));
}

}  // namespace kt
