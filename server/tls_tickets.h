// The keys that seal TLS session tickets. They live in memory only: a restart ends every ticket.
// The current key is replaced every rotation period; tickets sealed with the key before it are
// still opened (and answered with a fresh ticket), older ones are not.
#ifndef ORVANE_TLS_TICKETS_H_
#define ORVANE_TLS_TICKETS_H_

#include <openssl/types.h>

#include <cstdint>

#include "utils/pthread_utils.h"

namespace orvane {

class ticket_keys {
 public:
  static constexpr int64_t kRotationSeconds = 3600;

  explicit ticket_keys(int64_t rotation_seconds = kRotationSeconds);
  ~ticket_keys();
  ticket_keys(const ticket_keys&) = delete;
  ticket_keys& operator=(const ticket_keys&) = delete;

  // The work of OpenSSL's ticket key callback at time now (monotonic seconds). enc 1: fills name
  // and iv and keys cipher and mac with the current key; returns 1, or 0 (no ticket this time)
  // when no key could be made. enc 0: keys cipher and mac with the key called name; returns 1
  // for the current key, 2 for the previous one (the ticket is renewed), 0 for any other, -1 on
  // a failure.
  int seal_or_open(unsigned char name[16], unsigned char* iv, EVP_CIPHER_CTX* cipher,
                   EVP_MAC_CTX* mac, int enc, int64_t now);

 private:
  struct key {
    unsigned char name[16];
    unsigned char aes[32];
    unsigned char hmac[32];
  };

  // Makes a new current key when the period is over (or none exists yet).
  void rotate(int64_t now) KT_REQUIRES(lock_);

  const int64_t period_;
  kt::mutex lock_;
  key current_ KT_GUARDED_BY(lock_){};
  key previous_ KT_GUARDED_BY(lock_){};
  bool have_current_ KT_GUARDED_BY(lock_) = false;
  bool have_previous_ KT_GUARDED_BY(lock_) = false;
  int64_t next_rotation_ KT_GUARDED_BY(lock_) = 0;
};

}  // namespace orvane

#endif  // ORVANE_TLS_TICKETS_H_
