// What every command works with: the settings (command line, then environment, then the stored
// session), the connection options, one call to the server per command document, and the
// printing of results and failures with their exit status.
//
// Exit statuses: 0 success; 1 a local failure (a file, the session, a password prompt); 2 a
// usage error; 3 the server could not be reached or did not answer with a command document;
// 4 + (code >> 8) for a result code of the server from 0x10 to 0x9ff (4 for request errors
// 0x10-0x18, 5 for tokens, rights and missing objects 0x101-0x109, 6 for password changes 0x2xx,
// 7 domains 0x3xx, 8 resources 0x4xx, 9 users 0x5xx, 10 groups 0x6xx, 11 NSS profiles 0x7xx,
// 12 attributes 0x8xx, 13 net clients 0x9xx); 14 any other code.
#ifndef ORVANE_CTL_CONTEXT_H_
#define ORVANE_CTL_CONTEXT_H_

#include <memory>
#include <string>
#include <string_view>

#include "args.h"
#include "output.h"
#include "session.h"
#include "tls_client.h"
#include "xmldoc/xmldoc.h"

namespace ctl {

// Exit statuses of local conditions.
constexpr int EXIT_LOCAL = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_CONNECTION = 3;

// Result codes the client looks at.
constexpr long CODE_OK = 0;
constexpr long CODE_TOKEN_NOT_FOUND = 0x101;

// A request document holding one command.
std::string wrap_command(const kt::xmldoc_node& cmd);

// The exit status of a result code.
int exit_status_of(long code);

// One answer of the server.
struct answer {
  bool sent = false;  // a command document came back
  std::string error;  // why not
  long code = -1;     // its "res" code
  std::string msg;    // its "res" message
  std::string body;   // the document as received
  kt::xmldoc doc;

  bool ok() const { return sent && code == CODE_OK; }
  // The first element of that name below the root, or nullptr.
  const kt::xmldoc_node* find(std::string_view name) const;
};

class context {
 public:
  parsed_args args;
  session stored;
  std::string server;  // URL text in force
  std::string domain;
  tls_options tls;
  format fmt = format::table;

  // Takes the settings from the options, the environment and the stored session. Returns 0 or
  // an exit status after printing why.
  int setup();

  // A command element addressed to the domain in force, quoting the stored token when
  // with_token, and carrying the audit note of --note / --audit-code.
  std::unique_ptr<kt::xmldoc_node> command(std::string_view name, bool with_token = true) const;
  // Sends one command in an "orvane" document. A command refused for its token (expired,
  // released) is sent once more after the token was renewed with the stored identity.
  answer call(std::unique_ptr<kt::xmldoc_node> cmd);
  // POSTs a document as it is.
  answer send(std::string_view document);

  // Renews the stored token from the stored identity; true when a new token was stored.
  bool renew_token();

  // Output. With --xml the last answer document is printed instead of the table or record.
  void print(const table& t) const;
  void print(const record& r) const;
  // A change that succeeded: the text for people, the record (with code and message) for JSON.
  int done(const answer& a, const std::string& text, record extra = {}) const;
  // A failed answer: its message (or why there is none) and its exit status.
  int fail(const answer& a) const;
  int usage_error(const std::string& message) const;
  int local_error(const std::string& message) const;

  bool session_matches() const;  // the stored token belongs to the server and domain in force

 private:
  std::string last_body_;
};

}  // namespace ctl

#endif  // ORVANE_CTL_CONTEXT_H_
