// Commands to the Orvane server: one HTTPS POST of an "orvane" document per command, over a
// connection carrying the net client's certificate; the answer's "res" code and element.
#ifndef ORVANE_HOSTD_REMOTE_H_
#define ORVANE_HOSTD_REMOTE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "xmldoc/xmldoc.h"

namespace orvane_hostd {

struct config;
struct tls_context;
struct snapshot;

// Codes of the server this daemon acts on.
inline constexpr long kCodeOk = 0;
inline constexpr long kCodeTokenNotFound = 0x101;
inline constexpr long kCodeAccessViolation = 0x102;
inline constexpr long kCodeInvalidCredentials = 0x104;
inline constexpr long kCodeUserNotFound = 0x108;
inline constexpr long kCodePasswordExpired = 0x506;
inline constexpr long kCodeAccountLocked = 0x510;
inline constexpr long kCodeMustChange = 0x511;

// The server could not be asked (network, TLS or a malformed answer).
inline constexpr long kUnreachable = -1;

class remote {
 public:
  remote(const config& c, const tls_context& t) : c_(c), t_(t) {}

  // Runs one command element (its name, attributes and inner XML) addressed to the configured
  // domain and returns the result code, or kUnreachable (*error says why). The answer document
  // stays in *answer when given.
  long command(const std::string& name, const std::string& attrs, const std::string& inner,
               kt::xmldoc* answer, std::string* error) const;
  // Posts one document whose root holds the given command elements; as command().
  long post(const std::string& commands, kt::xmldoc* answer, std::string* error) const;

  // getToken as the service account: the token, or "" (*code says why).
  std::string login(long* code, std::string* error) const;
  // isValidToken (which also keeps the token alive).
  long check_token(const std::string& token, std::string* error) const;
  // getTokenInfo: the identifier of the token's domain, through *domain_id.
  long token_domain(const std::string& token, uint64_t* domain_id, std::string* error) const;
  // pamGetPWEntries and pamGetGREntries into *out (fetched now). The token, when given, rides
  // along so that the server keeps it alive.
  long fetch(const std::string& token, snapshot* out, std::string* error) const;
  // authenticate with the user's name and password.
  long authenticate(const std::string& user, const std::string& password, std::string* error) const;
  // pamGetPWName: the account check of one user (0, 0x108, 0x506, 0x510, 0x511, ...).
  long account(const std::string& user, std::string* error) const;

  const tls_context* tls() const { return &t_; }

 private:
  const config& c_;
  const tls_context& t_;
};

// Quotes a text for an attribute value or element text.
std::string xml_escape(const std::string& text);

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_REMOTE_H_
