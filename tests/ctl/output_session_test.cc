// What orvanectl prints (tables, records, JSON) and the session file it keeps.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "output.h"
#include "session.h"

namespace ctl {
namespace {

TEST(CtlOutput, TablesRecordsAndJson) {
  table t{{"id", "name", "password_changed"}, {}};
  t.add({"1", "alice", "x"});
  t.add({"22", "b\tob\x1b[31m", ""});
  EXPECT_EQ(render_table(t),
            "ID  NAME       PASSWORD CHANGED\n"
            "1   alice      x\n"
            "22  b?ob?[31m  \n");
  EXPECT_EQ(render_table(table{{"id"}, {}}), "(none)\n");
  EXPECT_EQ(render_json(t),
            "[\n  {\"id\": \"1\", \"name\": \"alice\", \"password_changed\": \"x\"},\n"
            "  {\"id\": \"22\", \"name\": \"b\\tob\\u001b[31m\", \"password_changed\": \"\"}\n]\n");
  EXPECT_EQ(render_json(table{{"id"}, {}}), "[]\n");

  record r;
  r.add("id", "7");
  r.add("full_name", "A \"quoted\" \\ name\n");
  EXPECT_EQ(render_record(r), "id:        7\nfull_name: A \"quoted\" \\ name?\n");
  EXPECT_EQ(render_json(r),
            "{\n  \"id\": \"7\",\n  \"full_name\": \"A \\\"quoted\\\" \\\\ name\\n\"\n}\n");
  EXPECT_EQ(json_quote("\r\x01"), "\"\\r\\u0001\"");
}

class CtlSession : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "/orvanectl-session-" + std::to_string(::getpid());
    std::filesystem::remove_all(dir_);
    ::setenv("ORVANE_CONFIG_DIR", (dir_ + "/conf").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("ORVANE_CONFIG_DIR");
    ::unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

TEST_F(CtlSession, KeptOwnerOnlyAndReadBack) {
  session s;
  std::string error;
  ASSERT_TRUE(session_load(&s, &error)) << error;  // no file: an empty session
  EXPECT_FALSE(s.logged_in());

  s.server = "https://idm.example.net";
  s.domain = "ORVANE";
  s.token = "abc+/=";
  s.identity = "blob";
  ASSERT_TRUE(session_save(s, &error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/conf").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dir_ + "/conf/session").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A file made readable by others is tightened when read.
  ::chmod((dir_ + "/conf/session").c_str(), 0644);
  session back;
  ASSERT_TRUE(session_load(&back, &error)) << error;
  EXPECT_EQ(back.server, s.server);
  EXPECT_EQ(back.token, s.token);
  EXPECT_EQ(back.identity, s.identity);
  EXPECT_TRUE(back.logged_in());
  ASSERT_EQ(::stat((dir_ + "/conf/session").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A value with a line break would forge a field: refused, the file unchanged.
  s.user = "eve\ntoken=forged";
  EXPECT_FALSE(session_save(s, &error));
  session again;
  ASSERT_TRUE(session_load(&again, &error));
  EXPECT_EQ(again.token, "abc+/=");

  // A file far larger than a session is refused, not read.
  std::ofstream(dir_ + "/conf/session") << std::string(100000, 'x');
  EXPECT_FALSE(session_load(&again, &error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;

  ASSERT_TRUE(session_remove(&error));
  ASSERT_TRUE(session_remove(&error));  // already gone: fine
}

TEST_F(CtlSession, FolderFollowsTheEnvironment) {
  EXPECT_EQ(config_dir(), dir_ + "/conf");
  ::unsetenv("ORVANE_CONFIG_DIR");
  ::setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(config_dir(), "/xdg/orvane");
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(config_dir(), std::string(::getenv("HOME")) + "/.config/orvane");
}

}  // namespace
}  // namespace ctl
