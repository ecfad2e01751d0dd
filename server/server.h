// Start-up and shutdown of the server context: the certificate authority, the AES key material,
// the machine identity, the scheduler and the domains.
#ifndef ORVANE_SERVER_H_
#define ORVANE_SERVER_H_

#include <cstdint>
#include <string>

namespace orvane {

struct globals;

// Reads the 48 bytes of AES key material (16-byte vector, 32-byte key) from the key file, or
// creates the file (mode 0600) with fresh random bytes when it is new or empty. Returns 0; -1 when
// the file cannot be opened, -2 when writing fresh keys fails, -3 when it holds neither 0 nor 48
// bytes.
int init_aes_keys(const std::string& path, uint8_t iv[16], uint8_t key[32]);

// Builds the server context up to the loaded domains: certificate authority, AES context, machine
// identity, scheduler, domains. Returns 0, or a negative code with a message in *error:
// -1 CA, -2 domains ("failed to load domains."), -4 AES keys.
// ca_key_bits is the authority's key size when it has to be created (4096 in the server).
int server_context_init(globals& g, std::string* error, int ca_key_bits = 4096);

// Stops the scheduler, frees the AES context, empties every domain's tables, and frees the token
// and domain tables and the certificate authority.
void server_context_free(globals& g);

}  // namespace orvane

#endif  // ORVANE_SERVER_H_
