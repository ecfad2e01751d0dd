#include "config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <cstdio>

namespace orvane {
namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* n : {"ORVANE_ROOT", "ORVANE_MACHINE_ID_FILE", "ORVANE_HTTP_PORT",
                          "ORVANE_MONITOR_PORT", "ORVANE_HTTPS_PORT", "ORVANE_MONITOR_BIND",
                          "ORVANE_MAX_CONNECTIONS", "ORVANE_ADMIN_PASSWORD_FILE"}) {
      unsetenv(n);
    }
    config_load(nullptr);
  }
};

TEST_F(ConfigTest, DefaultsWithoutOverrides) {
  TearDown();
  ASSERT_EQ(config_load(nullptr), 0);
  EXPECT_EQ(path_domains_file(), "/data/orvane/current/domains");
  EXPECT_EQ(path_certs_key(), "/data/orvane/certs/orvane.key");
  EXPECT_EQ(path_domain_file(42, "users"), "/data/orvane/current/42/users");
  EXPECT_EQ(path_web("/webmgmt"), "/data/orvane/webmgmt");
  EXPECT_EQ(config_get().machine_id_file, "/etc/this");
  EXPECT_EQ(config_get().http_port, 80);
  EXPECT_EQ(config_get().monitor_port, 82);
  EXPECT_EQ(config_get().https_port, 443);
  EXPECT_EQ(config_get().monitor_bind, "127.0.0.1");
  EXPECT_EQ(config_get().max_connections, 1024u);
}

TEST_F(ConfigTest, OverridesReplaceRootAndPorts) {
  setenv("ORVANE_ROOT", "/tmp/o//", 1);
  setenv("ORVANE_HTTP_PORT", "8080", 1);
  setenv("ORVANE_MONITOR_PORT", "8082", 1);
  setenv("ORVANE_HTTPS_PORT", "65535", 1);
  setenv("ORVANE_MACHINE_ID_FILE", "/tmp/this", 1);
  std::string error;
  ASSERT_EQ(config_load(&error), 0) << error;
  EXPECT_EQ(path_aeskeys(), "/tmp/o/current/aeskeys");
  EXPECT_EQ(path_ca_dir(), "/tmp/o/current/ca");
  EXPECT_EQ(config_get().http_port, 8080);
  EXPECT_EQ(config_get().https_port, 65535);
  EXPECT_EQ(config_get().machine_id_file, "/tmp/this");
}

TEST_F(ConfigTest, AdminPasswordFileGivesItsFirstLine) {
  EXPECT_EQ(config_get().admin_password, "");
  const std::string path = ::testing::TempDir() + "/orvane-admin-password";
  for (const auto& [text, ok] : {std::pair{"S3cret pass\r\nsecond line\n", true}, {"\n", false}}) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text, f);
    std::fclose(f);
    setenv("ORVANE_ADMIN_PASSWORD_FILE", path.c_str(), 1);
    std::string error;
    EXPECT_EQ(config_load(&error), ok ? 0 : -1) << text;
    if (ok) {
      EXPECT_EQ(config_get().admin_password, "S3cret pass");
    } else {
      EXPECT_NE(error.find("holds no password"), std::string::npos) << error;
    }
  }
  // A missing file leaves the built-in password; a folder cannot be read as one.
  std::remove(path.c_str());
  ASSERT_EQ(config_load(nullptr), 0);
  EXPECT_EQ(config_get().admin_password, "");
  setenv("ORVANE_ADMIN_PASSWORD_FILE", ::testing::TempDir().c_str(), 1);
  std::string error;
  EXPECT_EQ(config_load(&error), -1);
  EXPECT_NE(error.find("ORVANE_ADMIN_PASSWORD_FILE"), std::string::npos) << error;
}

TEST_F(ConfigTest, MaxConnectionsOverride) {
  for (const auto& [text, value] : {std::pair{"1", 1u}, {"8", 8u}, {"65536", 65536u}}) {
    setenv("ORVANE_MAX_CONNECTIONS", text, 1);
    std::string error;
    ASSERT_EQ(config_load(&error), 0) << error;
    EXPECT_EQ(config_get().max_connections, value);
  }
  for (const char* bad : {"0", "65537", "", "-1", "8 ", "abc", "4294967297", "99999999999"}) {
    setenv("ORVANE_MAX_CONNECTIONS", bad, 1);
    std::string error;
    EXPECT_EQ(config_load(&error), -1) << bad;
    EXPECT_NE(error.find("ORVANE_MAX_CONNECTIONS"), std::string::npos) << bad;
    // A refused load leaves the configuration in force.
    EXPECT_EQ(config_get().max_connections, 65536u) << bad;
  }
}

TEST_F(ConfigTest, InvalidValuesAreRefusedWithTheirName) {
  for (const char* bad : {"0", "65536", "80a", "", "-1", " 80", "999999"}) {
    setenv("ORVANE_HTTPS_PORT", bad, 1);
    std::string error;
    EXPECT_EQ(config_load(&error), -1) << bad;
    EXPECT_NE(error.find("ORVANE_HTTPS_PORT"), std::string::npos);
  }
  unsetenv("ORVANE_HTTPS_PORT");
  setenv("ORVANE_ROOT", "", 1);
  std::string error;
  EXPECT_EQ(config_load(&error), -1);
  EXPECT_NE(error.find("ORVANE_ROOT"), std::string::npos);
}

}  // namespace
}  // namespace orvane
