// Test support: a complete server context on a temporary root, run in-process. Command documents
// go through the real dispatcher as if POSTed over HTTPS by a connection from a given address.
#ifndef ORVANE_TESTS_SUPPORT_SERVER_FIXTURE_H_
#define ORVANE_TESTS_SUPPORT_SERVER_FIXTURE_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "client.h"
#include "globals.h"
#include "support/process.h"
#include "utils/refobj.h"
#include "xmldoc/xmldoc.h"

namespace orvane {
class domain;
}

namespace orvane_test {

class server_fixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Builds the server context on the temporary root (loading or initialising the database).
  void start();
  // The shutdown path: every domain is flushed and every table freed.
  void stop();
  // stop() then start(): everything must come back from the files.
  void restart();

  // Runs a request document; returns the code of its "res" element.
  uint32_t run(const std::string& document);
  // The response of the last run: its root, the first child of the root with a name, its text.
  const kt::xmldoc_node* response_root() const;
  const kt::xmldoc_node* answer(const char* name) const;
  std::string response_text() const;
  // The message of the last "res" element.
  std::string message() const;

  // getToken for a user; fails the test when no token is answered.
  std::string token(const std::string& user, const std::string& password,
                    const std::string& domain = "ORVANE");
  std::string admin_token(const std::string& domain = "ORVANE") {
    return token("Administrator", "tolbrine", domain);
  }
  // Inserts a user with userInsert as the root Administrator; returns its identifier.
  uint64_t add_user(const std::string& name, const std::string& password = "Passw0rd",
                    const std::string& extra = "");

  orvane::globals& g() { return *g_; }
  kt::ref_ptr<orvane::domain> domain_named(const std::string& name);
  const std::string& root() const { return root_.path(); }

  // The simulated connection: peer address and certificate identity.
  std::string peer = "127.0.0.1";
  uint64_t cert_domain_id = 0;
  uint64_t cert_netclient_id = 0;

 private:
  temp_dir root_;
  std::unique_ptr<orvane::globals> g_;
  std::unique_ptr<orvane::client> last_;
};

// A shared test certificate authority (2048-bit, made once per test program) copied into a root.
void install_test_ca(const std::string& root);

}  // namespace orvane_test

#endif  // ORVANE_TESTS_SUPPORT_SERVER_FIXTURE_H_
