#include "sutils/openssl_ca.h"

#include <dirent.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string_view>

#include "utils/files.h"
#include "utils/logger.h"
#include "utils/numbers.h"

namespace kt {

namespace {

constexpr long kCaValiditySeconds = 315360000L;      // 3,650 days
constexpr long kClientValiditySeconds = 315360000L;  // 3,650 days
constexpr size_t kMaxPemSize = 1u << 20;
constexpr size_t kMaxSerialFileSize = 32;
constexpr size_t kMaxIdDigits = 20;  // UINT64_MAX has 20
constexpr char kFriendlyName[] = "Orvane NetClient";
constexpr char kCaName[] = "Orvane Server CA";

// Keeps errors raised by this module off the calling thread's error queue, which a TLS
// connection consults after every call.
class error_mark {
 public:
  error_mark() { ERR_set_mark(); }
  ~error_mark() { ERR_pop_to_mark(); }
  error_mark(const error_mark&) = delete;
  error_mark& operator=(const error_mark&) = delete;
};

// Text of the newest error on the queue, leaving the queue alone.
std::string last_error() {
  const unsigned long code = ERR_peek_last_error();
  if (code == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(code, buf, sizeof buf);
  return buf;
}

struct oid_nids {
  int client = NID_undef;
  int domain = NID_undef;
  int id = NID_undef;
};

int register_oid(const char* oid, const char* sn, const char* ln) {
  int nid = OBJ_txt2nid(oid);
  if (nid == NID_undef) nid = OBJ_create(oid, sn, ln);
  if (nid == NID_undef) KT_LOG_ERR("OBJ_create(%s): %s", oid, last_error().c_str());
  return nid;
}

const oid_nids& nids() {
  static oid_nids n;
  static std::once_flag once;
  std::call_once(once, [] {
    error_mark mark;
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    n.client = register_oid(kOidOrvaneClient, "orvaneClient", "Orvane Client");
    n.domain = register_oid(kOidOrvaneClientDomain, "orvaneClientDomain", "Orvane Client Domain");
    n.id = register_oid(kOidOrvaneClientId, "orvaneClientID", "Orvane Client ID");
  });
  return n;
}

// Strict unsigned decimal: 1..max_digits digits, nothing else, no overflow.
bool parse_u64(std::string_view text, size_t max_digits, uint64_t* out) {
  return text.size() <= max_digits && decimal_parse(text, UINT64_MAX, out);
}

std::string bio_contents(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  if (n <= 0 || data == nullptr) return {};
  return std::string(data, static_cast<size_t>(n));
}

// PEM (PKCS#8, unencrypted) of key, written with mode 0600.
int write_private_key(const std::string& path, EVP_PKEY* key) {
  bio_ptr bio(BIO_new(BIO_s_secmem()));
  if (bio == nullptr ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return -1;
  }
  std::string pem = bio_contents(bio.get());
  const int rc = pem.empty() ? -1 : write_file(path.c_str(), pem, 0600, true);
  OPENSSL_cleanse(pem.data(), pem.size());
  return rc;
}

int write_certificate(const std::string& path, X509* cert) {
  bio_ptr bio(BIO_new(BIO_s_mem()));
  if (bio == nullptr || PEM_write_bio_X509(bio.get(), cert) != 1) return -1;
  const std::string pem = bio_contents(bio.get());
  return pem.empty() ? -1 : write_file(path.c_str(), pem, 0644, true);
}

// Reads a PEM file of at most kMaxPemSize bytes into a memory BIO.
bio_ptr read_pem(const std::string& path, std::string& holder) {
  if (read_file(path.c_str(), holder, kMaxPemSize) != 0) return bio_ptr();
  return bio_ptr(BIO_new_mem_buf(holder.data(), static_cast<int>(holder.size())));
}

bool add_ext(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  x509_extension_ptr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  return ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Adds extension nid holding text as an IA5String, the encoding of a Netscape comment.
bool add_text_ext(X509* cert, int nid, const std::string& text) {
  openssl_ptr<ASN1_IA5STRING, ASN1_IA5STRING_free> str(ASN1_IA5STRING_new());
  if (str == nullptr || ASN1_STRING_set(str.get(), text.data(), static_cast<int>(text.size())) != 1)
    return false;
  unsigned char* der = nullptr;
  const int der_len = i2d_ASN1_IA5STRING(str.get(), &der);
  if (der_len <= 0) return false;
  openssl_bytes_ptr der_owner(der);
  asn1_octet_string_ptr value(ASN1_OCTET_STRING_new());
  if (value == nullptr || ASN1_OCTET_STRING_set(value.get(), der, der_len) != 1) return false;
  x509_extension_ptr ext(X509_EXTENSION_create_by_NID(nullptr, nid, 0, value.get()));
  return ext != nullptr && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Common part of both certificate kinds: version 3, serial, validity from now, public key.
bool set_basics(X509* cert, uint32_t serial, long validity, EVP_PKEY* key) {
  return X509_set_version(cert, X509_VERSION_3) == 1 &&
         ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial) == 1 &&
         X509_gmtime_adj(X509_getm_notBefore(cert), 0) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(cert), validity) != nullptr &&
         X509_set_pubkey(cert, key) == 1;
}

// Adds a name entry of the given string type without OpenSSL's per-attribute length table: a
// domain name may be up to 255 characters, longer than the 64 the table allows for a common
// name.
bool add_name_entry(X509_NAME* name, int nid, const std::string& value,
                    int type = V_ASN1_UTF8STRING) {
  return X509_NAME_add_entry_by_NID(name, nid, type,
                                    reinterpret_cast<const unsigned char*>(value.data()),
                                    static_cast<int>(value.size()), -1, 0) == 1;
}

std::string id_stem(uint64_t domain_id, uint64_t netclient_id) {
  return std::to_string(domain_id) + "_" + std::to_string(netclient_id);
}

// "<digits>_<digits>", each part a 64-bit decimal.
bool valid_stem(const std::string& stem) {
  const size_t sep = stem.find('_');
  if (sep == std::string::npos) return false;
  uint64_t a = 0, b = 0;
  return parse_u64(std::string_view(stem).substr(0, sep), kMaxIdDigits, &a) &&
         parse_u64(std::string_view(stem).substr(sep + 1), kMaxIdDigits, &b);
}

// 0 when path is gone afterwards.
int remove_file(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  KT_LOG_ERR("unlink(%s): %s", path.c_str(), std::strerror(errno));
  return -1;
}

}  // namespace

int openssl_ca_nid(const char* oid) {
  const oid_nids& n = nids();
  if (oid == nullptr) return NID_undef;
  if (std::strcmp(oid, kOidOrvaneClient) == 0) return n.client;
  if (std::strcmp(oid, kOidOrvaneClientDomain) == 0) return n.domain;
  if (std::strcmp(oid, kOidOrvaneClientId) == 0) return n.id;
  return NID_undef;
}

int openssl_ca_read_id(X509* cert, int nid, uint64_t* out) {
  if (cert == nullptr || nid == NID_undef) return -1;
  error_mark mark;
  const int pos = X509_get_ext_by_NID(cert, nid, -1);
  if (pos < 0) return -1;
  ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(X509_get_ext(cert, pos));
  if (data == nullptr) return -2;
  const unsigned char* p = ASN1_STRING_get0_data(data);
  const int len = ASN1_STRING_length(data);
  if (p == nullptr || len <= 0) return -2;
  // Issued as an IA5String; a value holding the bare digits is read as well.
  std::string_view text(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
  const unsigned char* cursor = p;
  openssl_ptr<ASN1_IA5STRING, ASN1_IA5STRING_free> str(d2i_ASN1_IA5STRING(nullptr, &cursor, len));
  if (str != nullptr) {
    if (cursor != p + len) return -2;  // trailing bytes
    text = std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(str.get())),
                            static_cast<size_t>(ASN1_STRING_length(str.get())));
  }
  uint64_t v = 0;
  if (!parse_u64(text, kMaxIdDigits, &v)) return -2;
  if (out != nullptr) *out = v;
  return 0;
}

int openssl_ca_create_cert(const std::string& key_path, const std::string& cert_path,
                           const std::string& common_name, uint32_t serial, int key_bits) {
  error_mark mark;
  evp_pkey_ptr key(EVP_RSA_gen(static_cast<unsigned int>(key_bits)));
  if (key == nullptr) {
    KT_LOG_ERR("%s(): %s", "EVP_PK_new", last_error().c_str());
    return -1;
  }
  x509_ptr cert(X509_new());
  if (cert == nullptr) {
    KT_LOG_ERR("%s(): %s", "X509_new", last_error().c_str());
    return -2;
  }
  if (!set_basics(cert.get(), serial, kCaValiditySeconds, key.get())) {
    KT_LOG_ERR("%s(): %s", "EVP assign lk fail", last_error().c_str());
    return -3;
  }
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (!add_name_entry(name, NID_countryName, "BG", V_ASN1_PRINTABLESTRING) ||
      !add_name_entry(name, NID_commonName, common_name) ||
      X509_set_issuer_name(cert.get(), name) != 1) {
    KT_LOG_ERR("%s(): %s", "X509_NAME_add_entry", last_error().c_str());
    return -3;
  }
  // A version 3 certificate without basic constraints is no CA to a chain check.
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  if (!add_ext(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE") ||
      !add_ext(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign") ||
      !add_ext(cert.get(), &ctx, NID_subject_key_identifier, "hash")) {
    KT_LOG_ERR("%s(): %s", "X509V3_EXT_conf_nid", last_error().c_str());
    return -3;
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) {
    KT_LOG_ERR("%s(): %s", "x509 req sign", last_error().c_str());
    return -4;
  }
  // The certificate first: the key file marks a complete authority.
  if (write_certificate(cert_path, cert.get()) != 0) {
    KT_LOG_ERR("%s(): %s", "write", cert_path.c_str());
    return -5;
  }
  if (write_private_key(key_path, key.get()) != 0) {
    KT_LOG_ERR("%s(): %s", "write", key_path.c_str());
    return -5;
  }
  return 0;
}

std::unique_ptr<openssl_ca> openssl_ca_create(const std::string& directory, int key_bits) {
  if (directory.empty() || key_bits < 1024) return nullptr;
  nids();  // initialises OpenSSL and registers the objects
  error_mark mark;

  std::unique_ptr<openssl_ca> ca(new (std::nothrow) openssl_ca());
  if (ca == nullptr) return nullptr;
  ca->dir_ = directory;
  ca->key_path_ = directory + "/private";
  ca->cert_path_ = directory + "/public";
  ca->serial_path_ = directory + "/serial";
  ca->key_bits_ = key_bits;

  if (path_create(directory.c_str(), 0700) != 0) {
    KT_LOG_ERR("%s(): %s", "mkdir", directory.c_str());
    return nullptr;
  }
  // Only a missing key file means a new authority; an unreadable one must not be replaced.
  const int key_state = path_exists(ca->key_path_.c_str());
  if (key_state > 0) {
    KT_LOG_ERR("%s(): %s", "stat", ca->key_path_.c_str());
    return nullptr;
  }
  if (key_state < 0) {
    if (write_file(ca->serial_path_.c_str(), std::to_string(kCaInitialSerial), 0644, true) != 0) {
      KT_LOG_ERR("%s(): %s", "write", ca->serial_path_.c_str());
      return nullptr;
    }
    if (openssl_ca_create_cert(ca->key_path_, ca->cert_path_, kCaName, 1, key_bits) != 0) {
      return nullptr;
    }
  }

  std::string text;
  uint64_t serial = 0;
  if (read_file(ca->serial_path_.c_str(), text, kMaxSerialFileSize) != 0) {
    KT_LOG_ERR("%s(): %s", "fopen", ca->serial_path_.c_str());
    return nullptr;
  }
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!parse_u64(text, 10, &serial) || serial > UINT32_MAX) {
    KT_LOG_ERR("invalid serial in %s", ca->serial_path_.c_str());
    return nullptr;
  }
  ca->serial_ = static_cast<uint32_t>(serial);

  bio_ptr bio = read_pem(ca->cert_path_, text);
  if (bio == nullptr) {
    KT_LOG_ERR("%s(): %s", "fopen", ca->cert_path_.c_str());
    return nullptr;
  }
  ca->cert_.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (ca->cert_ == nullptr) {
    KT_LOG_ERR("%s(): %s", "pem_x509", last_error().c_str());
    return nullptr;
  }
  ca->store_.reset(X509_STORE_new());
  ca->store_ctx_.reset(X509_STORE_CTX_new());
  if (ca->store_ == nullptr || ca->store_ctx_ == nullptr ||
      X509_STORE_add_cert(ca->store_.get(), ca->cert_.get()) != 1) {
    KT_LOG_ERR("%s(): %s", "X509_STORE", last_error().c_str());
    return nullptr;
  }

  std::string key_text;
  bio = read_pem(ca->key_path_, key_text);
  if (bio != nullptr) {
    ca->key_.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  }
  OPENSSL_cleanse(key_text.data(), key_text.size());
  if (ca->key_ == nullptr) {
    KT_LOG_ERR("failed to load rsa");
    return nullptr;
  }
  if (!EVP_PKEY_is_a(ca->key_.get(), "RSA") ||
      X509_check_private_key(ca->cert_.get(), ca->key_.get()) != 1) {
    KT_LOG_ERR("EVP_PKEY_assing error");
    return nullptr;
  }
  return ca;
}

openssl_ca::~openssl_ca() = default;

std::string openssl_ca::public_path(uint64_t domain_id, uint64_t netclient_id) const {
  return dir_ + "/" + id_stem(domain_id, netclient_id) + "_public";
}

std::string openssl_ca::private_path(uint64_t domain_id, uint64_t netclient_id) const {
  return dir_ + "/" + id_stem(domain_id, netclient_id) + "_private";
}

std::string openssl_ca::pfx_path(uint64_t domain_id, uint64_t netclient_id) const {
  return dir_ + "/" + id_stem(domain_id, netclient_id) + ".pfx";
}

uint32_t openssl_ca::serial() {
  std::lock_guard<mutex> guard(lock_);
  return serial_;
}

size_t openssl_ca::key_size() const {
  const int n = key_ == nullptr ? 0 : EVP_PKEY_get_size(key_.get());
  return n > 0 ? static_cast<size_t>(n) : 0;
}

int openssl_ca::next_serial(uint32_t* serial) {
  std::lock_guard<mutex> guard(lock_);
  if (serial_ == UINT32_MAX) return -1;
  const uint32_t next = serial_ + 1;
  if (write_file(serial_path_.c_str(), std::to_string(next), 0644, true) != 0) return -1;
  serial_ = next;
  *serial = next;
  return 0;
}

int openssl_ca::new_client(const std::string& common_name, uint64_t netclient_id,
                           uint64_t domain_id) {
  if (common_name.empty() || common_name.size() > 255) return -1;
  const oid_nids& n = nids();
  if (n.client == NID_undef || n.domain == NID_undef || n.id == NID_undef) return -3;
  error_mark mark;

  // Key generation is slow; it runs outside the lock.
  evp_pkey_ptr key(EVP_RSA_gen(static_cast<unsigned int>(key_bits_)));
  x509_ptr cert(X509_new());
  if (key == nullptr || cert == nullptr) {
    KT_LOG_ERR("%s(): %s", key == nullptr ? "EVP_PK_new" : "X509_new", last_error().c_str());
    return -3;
  }
  uint32_t serial = 0;
  if (next_serial(&serial) != 0) {
    KT_LOG_ERR("%s(): %s", "serial", serial_path_.c_str());
    return -2;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, cert_.get(), cert.get(), nullptr, nullptr, 0);
  const bool built =
      set_basics(cert.get(), serial, kClientValiditySeconds, key.get()) &&
      add_name_entry(X509_get_subject_name(cert.get()), NID_commonName, common_name) &&
      X509_set_issuer_name(cert.get(), X509_get_subject_name(cert_.get())) == 1 &&
      add_ext(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE") &&
      add_ext(cert.get(), &ctx, NID_key_usage,
              "digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyAgreement") &&
      add_ext(cert.get(), &ctx, NID_ext_key_usage,
              "serverAuth,clientAuth,emailProtection,orvaneClient") &&
      add_text_ext(cert.get(), n.id, std::to_string(netclient_id)) &&
      add_text_ext(cert.get(), n.domain, std::to_string(domain_id)) &&
      add_ext(cert.get(), &ctx, NID_subject_key_identifier, "hash") &&
      add_ext(cert.get(), &ctx, NID_authority_key_identifier, "keyid,issuer") &&
      X509_sign(cert.get(), key_.get(), EVP_sha256()) > 0;
  if (!built) {
    KT_LOG_ERR("%s(): %s", "x509 sign", last_error().c_str());
    return -3;
  }
  char friendly[sizeof kFriendlyName];
  std::memcpy(friendly, kFriendlyName, sizeof kFriendlyName);
  pkcs12_ptr p12(PKCS12_create(nullptr, friendly, key.get(), cert.get(), nullptr, 0, 0, 0, 0, 0));
  unsigned char* der = nullptr;
  const int der_len = p12 == nullptr ? -1 : i2d_PKCS12(p12.get(), &der);
  openssl_bytes_ptr der_owner(der);
  if (der_len <= 0) {
    KT_LOG_ERR("%s(): %s", "PKCS12_create", last_error().c_str());
    return -3;
  }

  // The public file last: its presence is what makes the certificate acceptable.
  const std::string pub = public_path(domain_id, netclient_id);
  const std::string priv = private_path(domain_id, netclient_id);
  const std::string pfx = pfx_path(domain_id, netclient_id);
  const bool written =
      write_private_key(priv, key.get()) == 0 &&
      write_file(pfx.c_str(),
                 std::string_view(reinterpret_cast<const char*>(der), static_cast<size_t>(der_len)),
                 0600, true) == 0 &&
      write_certificate(pub, cert.get()) == 0;
  OPENSSL_cleanse(der, static_cast<size_t>(der_len));
  if (!written) {
    KT_LOG_ERR("%s(): %s", "write", pub.c_str());
    remove_file(pub);
    remove_file(pfx);
    remove_file(priv);
    return -4;
  }
  return 0;
}

int openssl_ca::remove(const std::string& stem) {
  if (!valid_stem(stem)) return -1;
  const std::string base = dir_ + "/" + stem;
  // The public file first, so the certificate stops being accepted even if the rest fails.
  int rc = remove_file(base + "_public");
  rc |= remove_file(base + ".pfx");
  rc |= remove_file(base + "_private");
  return rc == 0 ? 0 : -2;
}

int openssl_ca::remove_domain(uint64_t domain_id) {
  const std::string prefix = std::to_string(domain_id) + "_";
  std::set<std::string> stems;
  DIR* dir = ::opendir(dir_.c_str());
  if (dir == nullptr) {
    KT_LOG_ERR("opendir(%s): %s", dir_.c_str(), std::strerror(errno));
    return -2;
  }
  while (const struct dirent* de = ::readdir(dir)) {
    const std::string_view name(de->d_name);
    if (name.substr(0, prefix.size()) != prefix) continue;
    for (const std::string_view suffix : {"_public", "_private", ".pfx"}) {
      if (name.size() <= prefix.size() + suffix.size() ||
          name.substr(name.size() - suffix.size()) != suffix) {
        continue;
      }
      const std::string stem(name.substr(0, name.size() - suffix.size()));
      if (valid_stem(stem)) stems.insert(stem);
    }
  }
  ::closedir(dir);
  int rc = 0;
  for (const std::string& stem : stems) rc |= remove(stem);
  return rc == 0 ? 0 : -2;
}

int openssl_ca::read_identity(X509* cert, uint64_t* domain_out, uint64_t* netclient_out) {
  const int rc = openssl_ca_read_id(cert, nids().domain, domain_out);
  if (rc == -1) return -1;
  if (rc != 0) return -3;
  if (netclient_out == nullptr) return 0;
  const int rc2 = openssl_ca_read_id(cert, nids().id, netclient_out);
  if (rc2 == -1) return -2;
  return rc2 != 0 ? -3 : 0;
}

int openssl_ca::verify(X509* cert, uint64_t* domain_out, uint64_t* netclient_out) {
  if (cert == nullptr) return 1;
  if (domain_out != nullptr) {
    uint64_t domain = 0;
    uint64_t netclient = 0;
    const int rc = read_identity(cert, &domain, netclient_out != nullptr ? &netclient : nullptr);
    if (rc != 0) return rc;
    if (netclient_out != nullptr) {
      if (file_exists(public_path(domain, netclient).c_str()) != 0) return -4;
      *netclient_out = netclient;
    }
    *domain_out = domain;
  }
  error_mark mark;
  std::lock_guard<mutex> guard(lock_);
  X509_STORE_CTX* ctx = store_ctx_.get();
  if (X509_STORE_CTX_init(ctx, store_.get(), cert, nullptr) != 1) return 1;
  const int ok = X509_verify_cert(ctx);
  X509_STORE_CTX_cleanup(ctx);
  return ok == 1 ? 0 : 1;
}

int openssl_ca::public_encrypt(const void* data, size_t len, std::string& out) {
  out.clear();
  if (key_ == nullptr) {
    KT_LOG_ERR("%s(): %s", "RSA_PKEY_get1_rsa", "no key");
    return -1;
  }
  if (data == nullptr && len > 0) return -2;
  error_mark mark;
  evp_pkey_ctx_ptr ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
  if (ctx == nullptr) return -1;
  size_t out_len = 0;
  const auto* in = static_cast<const unsigned char*>(data);
  static const unsigned char kEmpty = 0;
  if (in == nullptr) in = &kEmpty;
  if (EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      EVP_PKEY_encrypt(ctx.get(), nullptr, &out_len, in, len) != 1) {
    return -2;
  }
  try {
    out.resize(out_len);
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "malloc", "out of memory");
    return -1;
  }
  if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &out_len, in,
                       len) != 1) {
    out.clear();
    return -2;
  }
  out.resize(out_len);
  return 0;
}

int openssl_ca::private_decrypt(const void* data, size_t len, std::string& out) {
  out.clear();
  if (key_ == nullptr) {
    KT_LOG_ERR("%s(): %s", "RSA_PKEY_get1_rsa", "no key");
    return -1;
  }
  if (data == nullptr || len == 0) return -2;
  error_mark mark;
  evp_pkey_ctx_ptr ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
  if (ctx == nullptr) return -1;
  size_t out_len = 0;
  const auto* in = static_cast<const unsigned char*>(data);
  if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &out_len, in, len) != 1) {
    std::fprintf(stderr, "Error encrypting message: %s\n", last_error().c_str());
    return -2;
  }
  try {
    out.resize(out_len);
  } catch (const std::bad_alloc&) {
    KT_LOG_ERR("%s(): %s", "malloc", "out of memory");
    return -1;
  }
  if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &out_len, in,
                       len) != 1) {
    std::fprintf(stderr, "Error encrypting message: %s\n", last_error().c_str());
    OPENSSL_cleanse(out.data(), out.size());
    out.clear();
    return -2;
  }
  out.resize(out_len);
  return 0;
}

}  // namespace kt
