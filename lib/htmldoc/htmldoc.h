// One HTTP/1.x message: an incremental request parser (wrap) and a serialiser (unwrap).
//
// A request document is fed the bytes read from a connection until the request line, the headers
// and the body are complete. A response document is filled by its owner (status line, headers,
// body) and then written into one byte string. A document belongs to one thread at a time.
//
// Field reuse, as the message kinds need it: in a response, method() holds the protocol text of
// the status line ("HTTP/1.0") and proto() the reason phrase.
//
// Option lists: headers and GET parameters are pushed at the head while parsing, so they hold
// their entries in reverse order of arrival; htmldoc_add_option appends at the end. Names are
// compared byte for byte (so "content-length" is not the length header), except by the
// _nocase lookups, which ignore ASCII letter case as HTTP header names allow.
//
// Bounds: the head (request line and headers) may not exceed kHtmldocMaxHead bytes; the header
// terminator search resumes where the previous call stopped, so feeding a request in pieces costs
// time linear in its size. The body length is 32-bit; the caller bounds the total it reads.
#ifndef KT_HTMLDOC_HTMLDOC_H_
#define KT_HTMLDOC_HTMLDOC_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "buffers/buffer.h"

namespace kt {

// Longest method / protocol / reason text (without terminator).
inline constexpr size_t kHtmldocMaxToken = 32;
// Longest head (everything before the blank line ending the headers).
inline constexpr size_t kHtmldocMaxHead = 64 * 1024;
// Formatted appends (body_append_arg) are cut to this many bytes minus one.
inline constexpr size_t kHtmldocArgBuffer = 1500;

struct htmldoc_option {
  std::string name;
  std::string value;
};

// Stable references: push_front / push_back do not move existing entries.
using htmldoc_option_list = std::deque<htmldoc_option>;

// Appends copies of name and value at the end of list; returns the new option.
htmldoc_option& htmldoc_add_option(htmldoc_option_list& list, std::string_view name,
                                   std::string_view value);
// The first option named exactly name, or null.
const htmldoc_option* htmldoc_get_option(const htmldoc_option_list& list, std::string_view name);
// The value of htmldoc_get_option, or null.
const std::string* htmldoc_getvalue_option(const htmldoc_option_list& list, std::string_view name);
// The first option whose name equals name in any ASCII letter case, or null.
const htmldoc_option* htmldoc_get_option_nocase(const htmldoc_option_list& list,
                                                std::string_view name);
// The value of htmldoc_get_option_nocase, or null.
const std::string* htmldoc_getvalue_option_nocase(const htmldoc_option_list& list,
                                                  std::string_view name);
// Writes the list as "name=value" pairs joined by '&' into buffer (zeroed first), truncating to
// size - 1 bytes plus a terminator. Returns the number of bytes written (without terminator).
size_t htmldoc_params_to_qry(const htmldoc_option_list& list, char* buffer, size_t size);
// The same, unbounded.
std::string htmldoc_params_to_qry(const htmldoc_option_list& list);

class htmldoc {
 public:
  htmldoc() = default;
  htmldoc(const htmldoc&) = delete;
  htmldoc& operator=(const htmldoc&) = delete;

  // htmldoc_create: a new empty document, or null (logged) when memory runs out.
  static std::unique_ptr<htmldoc> create();
  // htmldoc_init / htmldoc_free without release: drops everything; the document can be reused.
  void reset();
  void init() { reset(); }

  // htmldoc_wrap: adds count received bytes. Returns 0 when the message is complete, 1 when more
  // bytes are needed and -1 on a parse error (reported on standard error). An error is final:
  // later calls return -1 without looking at their bytes. Bytes that arrive after the message
  // was complete are kept in raw() and 0 is returned again. No bytes: the current state.
  int wrap(const char* bytes, size_t count);
  int wrap(std::string_view bytes) { return wrap(bytes.data(), bytes.size()); }

  // htmldoc_unwrap: appends the serialised message to out. The response form writes the status
  // line "<method> <status> <proto>", the request form "<method> <uri> <proto>"; then the headers
  // in list order, a blank line and the body. Returns 0, or -1 when memory runs out.
  int unwrap(buffer& out, bool request_form) const;

  // Body appends. Return 0, or -1 when memory runs out or the body would pass 4 GiB (printed
  // "realloc(): ..."; the body is left as it was).
  int body_append(const void* bytes, size_t count);
  int body_append(std::string_view text) { return body_append(text.data(), text.size()); }
  // htmldoc_body_append_str: -1 and "htmldoc_body_append_str: append null data" for null.
  int body_append_str(const char* text);
  // htmldoc_body_append_arg: formats into a 1,500-byte buffer (truncating) and appends.
  int body_append_arg(const char* format, ...) __attribute__((format(printf, 2, 3)));

  bool have_get_params() const { return !get_params_.empty(); }

  // Request: method ("GET", ...). Response: protocol text of the status line.
  const std::string& method() const { return method_; }
  void set_method(std::string_view text) { method_.assign(text.substr(0, kHtmldocMaxToken)); }
  // Request: target without its query. The owner may change it (e.g. append "index.html").
  const std::string& uri() const { return uri_; }
  std::string& mutable_uri() { return uri_; }
  // Response status code.
  uint16_t status() const { return status_; }
  void set_status(uint16_t status) { status_ = status; }
  // Request: protocol token of the request line. Response: reason phrase.
  const std::string& proto() const { return proto_; }
  void set_proto(std::string_view text) { proto_.assign(text.substr(0, kHtmldocMaxToken)); }
  // Sets the whole status line of a response.
  void set_status_line(std::string_view protocol, uint16_t status, std::string_view reason) {
    set_method(protocol);
    set_status(status);
    set_proto(reason);
  }
  // Value of the request's "Host" header; empty when there was none.
  const std::string& host() const { return host_; }

  htmldoc_option_list& headers() { return headers_; }
  const htmldoc_option_list& headers() const { return headers_; }
  htmldoc_option_list& get_params() { return get_params_; }
  const htmldoc_option_list& get_params() const { return get_params_; }
  htmldoc_option_list& post_params() { return post_params_; }
  const htmldoc_option_list& post_params() const { return post_params_; }

  bool header_complete() const { return header_complete_; }
  bool body_complete() const { return body_complete_; }
  bool failed() const { return failed_; }
  std::string_view body() const { return body_.view(); }
  uint32_t body_length() const { return body_.length(); }
  // Received bytes not consumed by the parser.
  const buffer& raw() const { return raw_; }

 private:
  int parse_head(std::string_view head);
  int parse_request_line(std::string_view line);
  int parse_header_line(std::string_view line);
  int check_content_length();
  int fail(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::string method_;
  std::string uri_;
  uint16_t status_ = 0;
  std::string proto_;
  std::string host_;
  htmldoc_option_list headers_;
  htmldoc_option_list get_params_;
  htmldoc_option_list post_params_;
  bool header_complete_ = false;
  bool body_complete_ = false;
  bool failed_ = false;
  // Declared body length; unset when the request has no Content-Length header.
  std::optional<uint32_t> content_length_;
  // raw_ offset where the next search for the header terminator starts.
  size_t scan_from_ = 0;
  buffer raw_;
  buffer body_;
};

}  // namespace kt

#endif  // KT_HTMLDOC_HTMLDOC_H_
