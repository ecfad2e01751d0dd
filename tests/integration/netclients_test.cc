// Net clients through the real orvaned over HTTPS: the commands, the client certificate bundle
// used as the certificate of a TLS connection, the address lists (their limits, and kept by an
// edit that gives none) and managementApiNcOnly.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "support/process.h"
#include "utils/base64.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

// The identifier of the first record of a record file (the root domain in "domains").
std::string first_id(const std::string& record_file) {
  std::ifstream in(record_file, std::ios::binary);
  uint8_t b[8] = {};
  in.read(reinterpret_cast<char*>(b), 8);
  uint64_t id = 0;
  for (int i = 7; i >= 0; --i) id = id << 8 | b[i];
  return std::to_string(id);
}

// Writes the certificate and key of a PKCS#12 bundle (no password) to PEM files in dir.
bool bundle_to_pem(const std::string& bundle, const std::string& dir, client_identity* out) {
  BIO* in = BIO_new_mem_buf(bundle.data(), static_cast<int>(bundle.size()));
  PKCS12* p12 = in != nullptr ? d2i_PKCS12_bio(in, nullptr) : nullptr;
  BIO_free(in);
  if (p12 == nullptr) return false;
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  const bool parsed = PKCS12_parse(p12, nullptr, &key, &cert, nullptr) == 1;
  PKCS12_free(p12);
  bool written = false;
  if (parsed && key != nullptr && cert != nullptr) {
    out->cert_file = dir + "/client.pem";
    out->key_file = dir + "/client.key";
    FILE* c = std::fopen(out->cert_file.c_str(), "w");
    FILE* k = std::fopen(out->key_file.c_str(), "w");
    written = c != nullptr && k != nullptr && PEM_write_X509(c, cert) == 1 &&
              PEM_write_PrivateKey(k, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (c != nullptr) std::fclose(c);
    if (k != nullptr) std::fclose(k);
  }
  EVP_PKEY_free(key);
  X509_free(cert);
  return written;
}

class NetClientsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { start(); }
  void start() {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }
  void restart() {
    EXPECT_EQ(server.stop(), 0);
    start();
  }

  // A command with a token ("-" for none); the parsed answer stays in doc.
  long command(const std::string& name, const std::string& body, const std::string& tok = "",
               const std::string& domain = "ORVANE", const client_identity* identity = nullptr,
               const std::string& attrs = "") {
    std::string token_attr;
    if (tok != "-") token_attr = " token=\"" + (tok.empty() ? admin : tok) + "\"";
    last = server.post("<orvane><" + name + " domain=\"" + domain + "\"" + token_attr + attrs +
                           ">" + body + "</" + name + "></orvane>",
                       identity);
    doc = kt::xmldoc();
    if (!last.ok || doc.parse(last.body) != 0) return -1;
    return orvaned_process::code(last);
  }
  const kt::xmldoc_node* element(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  // netClientSearch: name -> addresses ("v4:..."/"v6:...) of every net client.
  std::vector<std::pair<std::string, std::vector<std::string>>> listing(
      const std::string& tok = "") {
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    EXPECT_EQ(command("netClientSearch", "<s/>", tok), 0) << last.body;
    if (const kt::xmldoc_node* list = element("netclients"); list != nullptr) {
      for (const auto& n : list->children()) {
        std::vector<std::string> addrs;
        for (const auto& a : n->children()) addrs.push_back(a->name() + ":" + a->value());
        out.emplace_back(std::string(n->attr_get_value("name")), addrs);
      }
    }
    return out;
  }
  std::vector<std::string> addresses_of(const std::string& name) {
    for (const auto& [n, a] : listing()) {
      if (n == name) return a;
    }
    ADD_FAILURE() << name << " not listed";
    return {};
  }

  orvaned_process server;
  std::string admin;
  http_answer last;
  kt::xmldoc doc;
};

TEST_F(NetClientsEndToEnd, ClientCertificateAndAddressLists) {
  const std::string root_id = first_id(server.current() + "/domains");
  ASSERT_EQ(command("netClientInsert", "<netc name=\"edge\"><v4>127.0.0.1</v4><v6>::1</v6></netc>"),
            0)
      << last.body;
  ASSERT_NE(element("insertedId"), nullptr);
  const std::string id = element("insertedId")->value();
  EXPECT_EQ(command("netClientInsert", "<netc name=\"edge\"/>"), 0x903);
  const std::string localhost = first_id(server.current() + "/" + root_id + "/authorityclients");
  EXPECT_EQ(command("netClientEdit", "<netc id=\"" + localhost + "\" name=\"lh\"/>"), 0x902);
  EXPECT_EQ(command("netClientRemove", "<netc id=\"" + localhost + "\"/>"), 0x901);

  // The bundle, as a client certificate of a TLS connection from 127.0.0.1.
  ASSERT_EQ(command("netClientGetPfx", "<netc id=\"" + id + "\"/>"), 0) << last.body;
  ASSERT_NE(element("netc"), nullptr);
  EXPECT_EQ(element("netc")->attr_get_value("name"), "edge");
  ASSERT_NE(element("netc")->get("pfx"), nullptr);
  std::string bundle;
  ASSERT_EQ(kt::base64decode_(element("netc")->get("pfx")->value(), bundle), 0);
  temp_dir keys;
  client_identity identity;
  ASSERT_TRUE(bundle_to_pem(bundle, keys.path(), &identity));
  EXPECT_EQ(command("netClientSearch", "<s/>", "", "ORVANE", &identity), 0) << last.body;

  // A command addressed to another domain is refused for the certificate only.
  ASSERT_EQ(
      command("domainInsert", "<d name=\"SUB\" parentId=\"" + root_id + "\"/><p>Sub0Passw0rd</p>"),
      0)
      << last.body;
  const std::string sub = server.token("Administrator", "Sub0Passw0rd", "SUB");
  ASSERT_FALSE(sub.empty());
  EXPECT_EQ(command("netClientSearch", "<s/>", sub, "SUB", &identity), 0x102);
  EXPECT_EQ(command("netClientSearch", "<s/>", sub, "SUB"), 0);

  // An address list without 127.0.0.1 refuses the certificate.
  ASSERT_EQ(command("netClientEdit",
                    "<netc id=\"" + id + "\"><v4>192.168.1.0/24</v4><v6>::1</v6></netc>"),
            0);
  EXPECT_EQ(command("netClientSearch", "<s/>", "", "ORVANE", &identity), 0x102);

  // managementApiNcOnly: 127.0.0.1 itself is still served; net clients are checked as before.
  ASSERT_EQ(command("attrEdit", "<a name=\"managementApiNcOnly\">1</a>", "", "ORVANE", nullptr,
                    " targettype=\"0\" target=\"" + root_id + "\""),
            0)
      << last.body;
  EXPECT_EQ(command("netClientSearch", "<s/>"), 0);
  EXPECT_EQ(command("userSearch", "<s/>"), 0);
  EXPECT_EQ(command("userSearch", "<s/>", "", "ORVANE", &identity), 0x102);

  // Only a new name: the address list stays, through a restart, and is still enforced.
  const std::vector<std::string> kept{"v4:192.168.1.0/24", "v6:::1"};
  ASSERT_EQ(command("netClientEdit", "<netc id=\"" + id + "\" name=\"edge2\"/>"), 0);
  EXPECT_EQ(addresses_of("edge2"), kept);
  restart();
  EXPECT_EQ(addresses_of("edge2"), kept);
  EXPECT_EQ(command("userSearch", "<s/>", "", "ORVANE", &identity), 0x102);
  // An empty address child clears the list: the certificate passes from anywhere.
  ASSERT_EQ(command("netClientEdit", "<netc id=\"" + id + "\"><v4/></netc>"), 0);
  EXPECT_TRUE(addresses_of("edge2").empty());
  EXPECT_EQ(command("userSearch", "<s/>", "", "ORVANE", &identity), 0);

  // More addresses than the record keeps (five IPv4, ten in all) are refused, on insert and on
  // edit, and change nothing; a full record keeps every address through a restart.
  std::string five_v4;
  for (const char* a : {"127.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}) {
    five_v4 += std::string("<v4>") + a + "</v4>";
  }
  std::string five_v6;
  for (int i = 1; i <= 5; ++i) five_v6 += "<v6>fd00::" + std::to_string(i) + "</v6>";
  const std::string six_v4 = five_v4 + "<v4>10.0.0.6</v4>";
  EXPECT_EQ(command("netClientInsert", "<netc name=\"wide\">" + six_v4 + "</netc>"), 0x18);
  EXPECT_EQ(command("netClientInsert",
                    "<netc name=\"wide\">" + five_v4 + five_v6 + "<v6>fd00::6</v6></netc>"),
            0x18);
  EXPECT_EQ(command("netClientEdit", "<netc id=\"" + id + "\">" + six_v4 + "</netc>"), 0x18);
  EXPECT_EQ(listing().size(), 2u);
  EXPECT_TRUE(addresses_of("edge2").empty());
  ASSERT_EQ(command("netClientEdit", "<netc id=\"" + id + "\">" + five_v4 + five_v6 + "</netc>"),
            0);
  restart();
  const std::vector<std::string> ten{"v4:127.0.0.1", "v4:10.0.0.2", "v4:10.0.0.3", "v4:10.0.0.4",
                                     "v4:10.0.0.5",  "v6:fd00::1",  "v6:fd00::2",  "v6:fd00::3",
                                     "v6:fd00::4",   "v6:fd00::5"};
  EXPECT_EQ(addresses_of("edge2"), ten);
  EXPECT_EQ(command("netClientSearch", "<s/>", "", "ORVANE", &identity), 0);

  // Rights on OrvaneNetClients.
  ASSERT_EQ(command("userInsert", "<u uname=\"operator\"><p>Passw0rd</p></u>"), 0) << last.body;
  const std::string op = server.token("operator", "Passw0rd");
  ASSERT_FALSE(op.empty());
  EXPECT_EQ(command("netClientSearch", "<s/>", op), 0x102);
  EXPECT_EQ(command("netClientInsert", "<netc name=\"mine\"/>", op), 0x102);
  EXPECT_EQ(command("netClientGetPfx", "<netc id=\"" + id + "\"/>", op), 0x102);

  // A missing bundle file.
  const std::string ca = server.current() + "/ca/" + root_id + "_" + id;
  ASSERT_TRUE(fs::exists(ca + ".pfx"));
  fs::remove(ca + ".pfx");
  EXPECT_EQ(command("netClientGetPfx", "<netc id=\"" + id + "\"/>"), 0x18);

  // After the removal the certificate files are gone and the certificate is refused.
  ASSERT_EQ(command("netClientRemove", "<netc id=\"" + id + "\"/>"), 0) << last.body;
  EXPECT_FALSE(fs::exists(ca + "_public"));
  EXPECT_FALSE(fs::exists(ca + "_private"));
  EXPECT_EQ(command("netClientSearch", "<s/>", "", "ORVANE", &identity), -1);
  EXPECT_EQ(command("netClientSearch", "<s/>"), 0);
  EXPECT_EQ(listing().size(), 1u);
}

// TLS sessions resumed by ticket (TLS 1.2 and 1.3) or from the server's cache, on an RSA
// certificate: a resumed session keeps its client certificate's identity, which every request
// checks again, and tickets do not outlive the server.
TEST_F(NetClientsEndToEnd, ResumedSessionsAreCheckedByEveryRequest) {
  ASSERT_EQ(server.stop(), 0);
  server.use_rsa_certificates();
  start();
  ASSERT_EQ(command("netClientInsert", "<netc name=\"edge\"/>"), 0) << last.body;
  const std::string id = element("insertedId")->value();
  ASSERT_EQ(command("netClientGetPfx", "<netc id=\"" + id + "\"/>"), 0) << last.body;
  std::string bundle;
  ASSERT_EQ(kt::base64decode_(element("netc")->get("pfx")->value(), bundle), 0);
  temp_dir keys;
  client_identity identity;
  ASSERT_TRUE(bundle_to_pem(bundle, keys.path(), &identity));

  // A command of the admin's token (which a restart renews) over a session.
  auto ask = [&](const std::string& name, tls_resumption& r) -> long {
    const std::string domain = name == "releaseToken" ? "" : " domain=\"ORVANE\"";
    const http_answer a = server.post(
        "<orvane><" + name + domain + " token=\"" + admin + "\"><s/></" + name + "></orvane>",
        &identity, &r);
    return a.ok ? orvaned_process::code(a) : -1;
  };
  const std::string search = "netClientSearch";
  tls_resumption tls12;
  tls_resumption cached;
  cached.tickets = false;
  tls_resumption tls13;
  tls13.max_version = TLS1_3_VERSION;
  tls_resumption* const sessions[] = {&tls12, &cached, &tls13};
  auto begin_and_resume = [&] {
    for (tls_resumption* r : sessions) {
      EXPECT_EQ(ask(search, *r), 0);
      EXPECT_FALSE(r->reused);
      EXPECT_EQ(ask(search, *r), 0);
      EXPECT_TRUE(r->reused) << (r->tickets ? "ticket" : "cache") << " " << r->max_version;
    }
  };
  begin_and_resume();
  // Ticket keys and cache live in memory only: after a restart every session starts afresh.
  restart();
  begin_and_resume();

  // The net client removed: each resumed session is refused by its next request, a command that
  // names no domain included, while other callers are served and a full handshake with the
  // certificate fails as before.
  ASSERT_EQ(command("netClientRemove", "<netc id=\"" + id + "\"/>"), 0) << last.body;
  for (tls_resumption* r : sessions) {
    EXPECT_EQ(ask(search, *r), 0x102);
    EXPECT_TRUE(r->reused);
  }
  EXPECT_EQ(ask("releaseToken", tls13), 0x102);
  EXPECT_TRUE(tls13.reused);
  EXPECT_EQ(command("netClientSearch", "<s/>"), 0);
  tls_resumption fresh;
  EXPECT_EQ(ask(search, fresh), -1);
}

}  // namespace
}  // namespace orvane_test
