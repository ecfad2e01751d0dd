// The server's own certificate authority.
//
// An openssl_ca owns one directory holding the authority's key ("private"), certificate
// ("public") and last issued serial ("serial"), plus one certificate, key and PKCS#12 bundle
// per net client ("<domain>_<netclient>_public", "..._private", "....pfx"). It issues client
// certificates that carry the domain and net client identifiers in two private extensions,
// checks presented certificates against itself, and encrypts/decrypts with its RSA key (OAEP).
//
// Thread safety: new_client() and verify() serialise on the authority's mutex (serial counter
// and the shared store context); public_encrypt() and private_decrypt() take no lock.
#ifndef KT_SUTILS_OPENSSL_CA_H_
#define KT_SUTILS_OPENSSL_CA_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sutils/openssl_raii.h"
#include "utils/pthread_utils.h"

namespace kt {

// Object identifiers of the client certificates.
constexpr const char* kOidOrvaneClient = "1.3.6.1.4.1.58261.7.7.2.7";
constexpr const char* kOidOrvaneClientDomain = "1.3.6.1.4.1.58261.7.7.2.7.2";
constexpr const char* kOidOrvaneClientId = "1.3.6.1.4.1.58261.7.7.2.7.3";

// First serial recorded for a new authority; its first client certificate gets one more.
constexpr uint32_t kCaInitialSerial = 1000000;

class openssl_ca {
 public:
  // RSA key size of the authority and of every client key. Only tests pass a smaller one to
  // openssl_ca_create.
  static constexpr int kKeyBits = 4096;

  ~openssl_ca();
  openssl_ca(const openssl_ca&) = delete;
  openssl_ca& operator=(const openssl_ca&) = delete;

  // openssl_ca_new: issues a certificate for net client netclient_id of domain domain_id with
  // subject CN common_name (the domain's name), signed by the authority, and writes
  // "<domain>_<netclient>_public", "..._private" and "....pfx" into the directory. The serial
  // is taken and recorded in the serial file before the certificate is built, so a serial is
  // never issued twice. Returns 0, or -1 (bad argument), -2 (serial could not be recorded),
  // -3 (key, certificate or bundle could not be built), -4 (a file could not be written).
  int new_client(const std::string& common_name, uint64_t netclient_id, uint64_t domain_id);

  // openssl_ca_del: removes "<stem>.pfx", "<stem>_private" and "<stem>_public", stem being
  // "<domain>_<netclient>". Files already missing are fine. Returns 0, -1 when the stem is
  // not of that form, -2 when a file exists but can't be removed.
  int remove(const std::string& stem);
  // Removes the certificate, key and bundle of every net client of the domain found in the
  // directory. Returns 0, or -2 when the directory can't be read or a file can't be removed.
  int remove_domain(uint64_t domain_id);

  // openssl_ca_verify: 0 when cert is acceptable.
  //   domain_out given: the certificate must carry orvaneClientDomain (else -1) with a decimal
  //     64-bit value (else -3), stored in *domain_out.
  //   both outs given: it must also carry orvaneClientID (else -2, malformed -3), stored in
  //     *netclient_out, and "<domain>_<netclient>_public" must exist (else -4).
  //   then the chain must verify against the authority (else 1; also for a null cert).
  int verify(X509* cert, uint64_t* domain_out = nullptr, uint64_t* netclient_out = nullptr);
  // The identifiers of a certificate that verify() accepted before (as that of a resumed TLS
  // session), without checking the files or the chain again: 0, or verify()'s -1, -2 or -3.
  static int read_identity(X509* cert, uint64_t* domain_out, uint64_t* netclient_out);

  // openssl_ca_public_encrypt: RSA-OAEP encryption of len bytes with the authority's public
  // key; out receives key_size() bytes. Returns 0, -1 (no key / no memory), -2 (failed, e.g.
  // input too long for one block).
  int public_encrypt(const void* data, size_t len, std::string& out);

  // openssl_ca_private_decrypt: inverse of public_encrypt. Returns 0, -1 (no key / no
  // memory), -2 (decryption failed; out is left empty).
  int private_decrypt(const void* data, size_t len, std::string& out);

  const std::string& directory() const { return dir_; }
  std::string public_path(uint64_t domain_id, uint64_t netclient_id) const;
  std::string private_path(uint64_t domain_id, uint64_t netclient_id) const;
  std::string pfx_path(uint64_t domain_id, uint64_t netclient_id) const;

  // The authority's certificate; owned by the authority.
  X509* certificate() const { return cert_.get(); }
  // Last serial issued.
  uint32_t serial();
  // Size in bytes of an RSA block of the authority's key (public_encrypt's output size).
  size_t key_size() const;

 private:
  friend std::unique_ptr<openssl_ca> openssl_ca_create(const std::string& directory, int key_bits);
  openssl_ca() = default;

  int next_serial(uint32_t* serial);

  std::string dir_;
  std::string key_path_;
  std::string cert_path_;
  std::string serial_path_;
  int key_bits_ = kKeyBits;

  mutex lock_;
  uint32_t serial_ = 0;  // guarded by lock_
  x509_ptr cert_;
  x509_store_ptr store_;
  x509_store_ctx_ptr store_ctx_;  // guarded by lock_
  evp_pkey_ptr key_;              // private and public halves
};

// Opens the authority in directory, creating the directory (0700; an existing one is left
// as it is) and a new authority (key, certificate, serial file) when there is no key file
// yet. A key file that exists but can't be read, a malformed serial file or a key that does
// not match the certificate fail the open; nothing is replaced. Returns null on failure
// (logged). key_bits is for tests only; the server always uses the default.
std::unique_ptr<openssl_ca> openssl_ca_create(const std::string& directory,
                                              int key_bits = openssl_ca::kKeyBits);

inline void openssl_ca_free(std::unique_ptr<openssl_ca>& ca) {
  ca.reset();
}

// Makes a new RSA key and a self-signed authority certificate (subject and issuer C=BG,
// CN=common_name, given serial, 3,650 days, SHA-256; basic constraints "critical,CA:TRUE", key
// usage keyCertSign and cRLSign, subject key identifier: without them OpenSSL refuses it as an
// issuer) and writes the certificate (PEM) to cert_path, then the key (PKCS#8 PEM, mode 0600)
// to key_path. Returns 0 or a negative code (logged).
int openssl_ca_create_cert(const std::string& key_path, const std::string& cert_path,
                           const std::string& common_name, uint32_t serial,
                           int key_bits = openssl_ca::kKeyBits);

// Registers orvaneClient, orvaneClientDomain and orvaneClientID once per process and returns
// the NID of the one asked for (by its kOid* text), or NID_undef.
int openssl_ca_nid(const char* oid);

// Reads the decimal identifier held by extension nid of cert. Returns 0, -1 when the
// extension is missing, -2 when its value is not 1-20 digits fitting 64 bits.
int openssl_ca_read_id(X509* cert, int nid, uint64_t* out);

}  // namespace kt

#endif  // KT_SUTILS_OPENSSL_CA_H_
