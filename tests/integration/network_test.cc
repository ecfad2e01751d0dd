// The network front against the real orvaned: HTTPS commands, static content, limits, client
// certificates, start-up and shutdown.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <filesystem>
#include <fstream>

#include "support/orvaned.h"
#include "sutils/openssl_ca.h"
#include "sutils/openssl_raii.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

const char* kGetToken =
    "<orvane><getToken domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getToken></orvane>";

void write_file(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.log(); }
  orvaned_process server;
};

TEST_F(NetworkTest, CommandOverHttpsIsAnsweredWithXmlHeaders) {
  const http_answer a = server.post(kGetToken);
  ASSERT_TRUE(a.ok) << a.raw;
  EXPECT_EQ(a.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(a.header("Content-Type"), "text/xml");
  EXPECT_EQ(a.header("Server"), "Orvane/1.0.0");
  EXPECT_EQ(a.header("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(a.header("Content-Length"), std::to_string(a.body.size()));
  EXPECT_EQ(a.body.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<orvane><token", 0), 0u)
      << a.body;
  EXPECT_EQ(orvaned_process::code(a), 0);

  const std::string t = server.token();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(orvaned_process::code(server.post("<orvane><isValidToken domain=\"ORVANE\" token=\"" +
                                              t + "\"/></orvane>")),
            0);
}

TEST_F(NetworkTest, UnparsableBodyGetsAnEmptyRoot) {
  const http_answer a = server.post("<orvane><broken");
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.body, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<orvane></orvane>");
}

TEST_F(NetworkTest, PostOnThePlainPortIsClosedUnanswered) {
  const std::string doc = kGetToken;
  const std::string raw = tcp_exchange(
      server.http_port,
      "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(doc.size()) + "\r\n\r\n" + doc);
  EXPECT_EQ(raw, "");
  // Other methods are not answered either.
  EXPECT_EQ(tls_exchange(server.https_port, "PUT / HTTP/1.0\r\nHost: x\r\n\r\n"), "");
}

TEST_F(NetworkTest, VersionQueryOnBothPorts) {
  for (bool tls : {false, true}) {
    const http_answer a = server.get("/getXmlVersion", tls);
    ASSERT_TRUE(a.ok);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.header("Server"), "Orvane/1.0.0");
    EXPECT_EQ(a.header("Content-Type"), "text/xml");
    EXPECT_EQ(a.body,
              "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><orvane><server "
              "version=\"1.0.0\"/></orvane>");
  }
}

TEST_F(NetworkTest, StaticFilesDirectoriesAndMissingPackages) {
  // Missing packages.
  http_answer a = server.get("/index.html", false);
  EXPECT_EQ(a.status, 200);
  EXPECT_NE(a.body.find("<h1>Orvane Web package not installed.</h1>"), std::string::npos);
  EXPECT_NE(a.body.find("use: pkg-manager -io orvane-web"), std::string::npos);
  a = server.get("/MGMT/index.html", true);
  EXPECT_NE(a.body.find("Orvane Web Management package not installed."), std::string::npos);
  a = server.get("/nothing.css", false);
  EXPECT_EQ(a.status, 302);
  EXPECT_EQ(a.header("Location"), "/index.html");
  a = server.get("/sso/x", true);
  EXPECT_EQ(a.status, 302);
  EXPECT_EQ(a.header("Location"), "/sso/index.html");
  a = server.get("noslash", false);
  EXPECT_EQ(a.status, 302);
  EXPECT_EQ(a.header("Location"), "/index.html");

  // The management and single-sign-on front ends send a plain browser to HTTPS, on the HTTPS
  // port in use (the test's is not 443): the plain port is not part of the target.
  for (const std::string front : {"/mgmt", "/sso"}) {
    a = server.get(front + "/", false);
    EXPECT_EQ(a.status, 200);
    EXPECT_NE(a.body.find("window.location.href = 'https://' + document.location.hostname + ':" +
                          std::to_string(server.https_port) + "' + '" + front + "/';"),
              std::string::npos)
        << a.body;
  }

  // Installed files, with their content types; a directory redirects keeping the query.
  write_file(server.root() + "/web/index.html", "<p>hello</p>");
  write_file(server.root() + "/web/app/style.css", "body{}");
  write_file(server.root() + "/web/app/logo.png", std::string(5000, 'x'));
  write_file(server.root() + "/web/app/run.exe", "MZ");
  write_file(server.root() + "/webmgmt/index.html", "<p>mgmt</p>");
  a = server.get("/", false);
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.body, "<p>hello</p>");
  EXPECT_EQ(a.header("Content-Type"), "text/html");
  a = server.get("/app/style.css", true);
  EXPECT_EQ(a.header("Content-Type"), "text/css");
  EXPECT_EQ(a.body, "body{}");
  a = server.get("/app/logo.png", false);
  EXPECT_EQ(a.header("Content-Type"), "image/png");
  EXPECT_EQ(a.header("Content-Length"), "5000");
  EXPECT_EQ(a.body.size(), 5000u);
  a = server.get("/app/run.exe", false);
  EXPECT_EQ(a.header("Content-type"), "binary/octet-stream");
  a = server.get("/app?x=1&y=2", false);
  EXPECT_EQ(a.status, 302);
  EXPECT_EQ(a.header("Location"), "/app/?y=2&x=1");
  a = server.get("/app", false);
  EXPECT_EQ(a.header("Location"), "/app/");
  a = server.get("/mgmt/", true);
  EXPECT_EQ(a.body, "<p>mgmt</p>");

  // Any path holding ".." is treated as missing.
  write_file(server.root() + "/secret.txt", "secret");
  a = server.get("/../secret.txt", false);
  EXPECT_EQ(a.status, 302);
  EXPECT_EQ(a.body.find("secret"), std::string::npos);
}

TEST_F(NetworkTest, GarbledRequestIsAnswered400) {
  const http_answer a = parse_http(tcp_exchange(server.http_port, "\r\nGARBAGE\r\n\r\n"));
  EXPECT_EQ(a.status, 400);
  const http_answer b =
      parse_http(tls_exchange(server.https_port, "GET / HTTP/1.0\r\nNoColonHere\r\n\r\n"));
  EXPECT_EQ(b.status, 400);
  // The server goes on answering.
  EXPECT_EQ(orvaned_process::code(server.post(kGetToken)), 0);
}

TEST_F(NetworkTest, RequestOverTheSizeLimitIsCutOff) {
  // 4 MiB + 1,500 bytes with the default maxAttrValueLenMB of 4.
  const std::string big(4 * 1048576 + 2000, 'a');
  const std::string raw = tls_exchange(
      server.https_port,
      "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big, 20000);
  EXPECT_EQ(raw, "");
  EXPECT_EQ(orvaned_process::code(server.post(kGetToken)), 0);
}

uint64_t first_id(const std::string& record_file) {
  std::ifstream in(record_file, std::ios::binary);
  uint8_t b[8] = {};
  in.read(reinterpret_cast<char*>(b), 8);
  uint64_t id = 0;
  for (int i = 7; i >= 0; --i) id = id << 8 | b[i];
  return id;
}

TEST_F(NetworkTest, ClientCertificateOfTheServersAuthorityBindsTheConnection) {
  const uint64_t domain_id = first_id(server.current() + "/domains");
  const std::string dir = server.current() + "/" + std::to_string(domain_id);
  const uint64_t localhost_id = first_id(dir + "/authorityclients");
  ASSERT_NE(domain_id, 0u);
  ASSERT_NE(localhost_id, 0u);

  auto ca = kt::openssl_ca_create(server.current() + "/ca", 2048);
  ASSERT_TRUE(ca != nullptr);
  ASSERT_EQ(ca->new_client("ORVANE", localhost_id, domain_id), 0);
  ASSERT_EQ(ca->new_client("ORVANE", 424242, domain_id), 0);  // not a net client
  ASSERT_EQ(ca->new_client("Other", localhost_id, 5), 0);     // another domain

  auto identity = [&](uint64_t d, uint64_t nc) {
    const std::string stem = ca->directory() + "/" + std::to_string(d) + "_" + std::to_string(nc);
    return client_identity{stem + "_public", stem + "_private"};
  };
  const client_identity good = identity(domain_id, localhost_id);
  const client_identity unknown = identity(domain_id, 424242);
  const client_identity foreign = identity(5, localhost_id);

  EXPECT_EQ(orvaned_process::code(server.post(kGetToken, &good)), 0);
  EXPECT_EQ(orvaned_process::code(server.post(kGetToken, &unknown)), 0x102);
  EXPECT_EQ(orvaned_process::code(server.post(kGetToken, &foreign)), 0x102);

  // A revoked certificate is refused at the handshake (the client keeps its own copy).
  const client_identity kept{server.root() + "/client.pem", server.root() + "/client.key"};
  fs::copy_file(good.cert_file, kept.cert_file);
  fs::copy_file(good.key_file, kept.key_file);
  ASSERT_EQ(ca->remove(std::to_string(domain_id) + "_" + std::to_string(localhost_id)), 0);
  EXPECT_FALSE(server.post(kGetToken, &kept).ok);
  EXPECT_NE(server.log().find("failed to verify peer certificate for 127.0.0.1"),
            std::string::npos);
}

TEST_F(NetworkTest, ShutdownWritesBackAndRestartFindsEverything) {
  const std::string t = server.token();
  const http_answer a =
      server.post("<orvane><userInsert domain=\"ORVANE\" token=\"" + t +
                  "\"><u uname=\"carol\"><p>Secret12</p></u></userInsert></orvane>");
  ASSERT_EQ(orvaned_process::code(a), 0) << a.body;
  EXPECT_EQ(server.stop(), 0);
  EXPECT_NE(server.log().find("exiting..."), std::string::npos);
  ASSERT_TRUE(server.start());
  EXPECT_FALSE(server.token("carol", "Secret12").empty());
  // Tokens do not survive a restart.
  EXPECT_EQ(orvaned_process::code(server.post("<orvane><isValidToken domain=\"ORVANE\" token=\"" +
                                              t + "\"/></orvane>")),
            0x101);
}

TEST(NetworkStartup, WithoutCertificatesThePlainPortStillServes) {
  orvaned_process server(/*without_certs=*/true);
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.get("/getXmlVersion", false).status, 200);
  EXPECT_EQ(tls_exchange(server.https_port, "GET / HTTP/1.0\r\n\r\n", 2000), "");
  EXPECT_EQ(server.stop(), 0);
  EXPECT_NE(server.log().find("SSL server disabled."), std::string::npos);
}

TEST(NetworkStartup, FirstStartCreatesAnOwnerOnlyKeyFileAndABadOneStopsStartup) {
  orvaned_process server;
  ASSERT_TRUE(server.start());
  const std::string keys = server.current() + "/aeskeys";
  EXPECT_EQ(fs::file_size(keys), 48u);
  EXPECT_EQ(fs::status(keys).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(server.stop(), 0);

  // The whole file counts: one byte too many stops start-up as a short file does.
  fs::resize_file(keys, 49);
  EXPECT_FALSE(server.start());
  EXPECT_NE(server.log().find("readv("), std::string::npos);
  EXPECT_NE(server.log().find("neither 0 nor 48 bytes"), std::string::npos);
  fs::resize_file(keys, 20);
  const size_t before = server.log().size();
  EXPECT_FALSE(server.start());
  EXPECT_NE(server.log().find("readv(", before), std::string::npos);
}

TEST(NetworkStartup, AKeyOfAnotherCertificateIsReportedAsAMismatch) {
  orvaned_process server;
  // A fresh key of the certificate's type that the certificate does not carry.
  kt::evp_pkey_ptr other(EVP_RSA_gen(2048));
  ASSERT_TRUE(other);
  kt::bio_ptr out(BIO_new_file((server.root() + "/certs/orvane.key").c_str(), "w"));
  ASSERT_TRUE(out);
  ASSERT_EQ(PEM_write_bio_PrivateKey(out.get(), other.get(), nullptr, nullptr, 0, nullptr, nullptr),
            1);
  out.reset();

  // HTTPS stays off; the plain port serves.
  ASSERT_TRUE(server.start()) << server.log();
  EXPECT_EQ(server.get("/getXmlVersion", false).status, 200);
  EXPECT_EQ(tls_exchange(server.https_port, "GET / HTTP/1.0\r\n\r\n", 2000), "");
  EXPECT_EQ(server.stop(), 0);
  const std::string log = server.log();
  EXPECT_NE(log.find("certificate private key does not match certificate public key"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("can't load certificate private key"), std::string::npos) << log;
  EXPECT_NE(log.find("SSL server disabled."), std::string::npos);
}

TEST(NetworkStartup, InvalidPortOverrideStopsStartup) {
  orvaned_process server;
  server.extra_env.push_back("ORVANE_HTTPS_PORT=70000");
  EXPECT_FALSE(server.start());
  EXPECT_NE(server.log().find("ORVANE_HTTPS_PORT"), std::string::npos);
}

}  // namespace
}  // namespace orvane_test
