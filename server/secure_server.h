// The process-wide TLS server context: TLS 1.2 and 1.3 with the server's certificate chain and key
// (RSA or ECDSA), session resumption by ticket or cache, and peer verification that also accepts
// client certificates issued by the server's own certificate authority.
#ifndef ORVANE_SECURE_SERVER_H_
#define ORVANE_SECURE_SERVER_H_

#include <string>

#include "sutils/openssl_raii.h"

typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace orvane {

struct globals;

// Builds the context from the key, the client-CA file and the certificate chain. Returns nullptr
// (after logging why) when a file is missing or unreadable or the key does not match.
kt::ssl_ctx_ptr init_ctx(globals& g, const std::string& key_file, const std::string& ca_file,
                         const std::string& chain_file);
// Frees the context and the thread's OpenSSL error state.
void done_ctx(kt::ssl_ctx_ptr ctx);

// Peer verification: OpenSSL's own result when it accepted the certificate, otherwise whether
// the server's certificate authority issued it.
int verify_callback(int preverify_ok, X509_STORE_CTX* store);

}  // namespace orvane

#endif  // ORVANE_SECURE_SERVER_H_
