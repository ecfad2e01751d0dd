// orvanectl's command-line words, server URLs and the words it reads and writes for times,
// rights, flags and exit statuses.
#include <gtest/gtest.h>

#include <ctime>

#include "args.h"
#include "context.h"
#include "objects.h"
#include "tls_client.h"

namespace ctl {
namespace {

parsed_args parse(std::vector<const char*> words, std::string* error = nullptr) {
  words.insert(words.begin(), "orvanectl");
  parsed_args out;
  std::string ignored;
  parse_args(static_cast<int>(words.size()), const_cast<char**>(words.data()), &out,
             error != nullptr ? error : &ignored);
  return out;
}

TEST(CtlArgs, OptionsStandAnywhereAndTakeTheirValues) {
  const parsed_args a = parse({"--json", "user", "add", "bob", "--group=staff", "--group", "devs",
                               "--locked", "--since", "-7d", "--", "--not-an-option"});
  EXPECT_EQ(a.words, (std::vector<std::string>{"user", "add", "bob", "--not-an-option"}));
  EXPECT_EQ(a.all("group"), (std::vector<std::string>{"staff", "devs"}));
  EXPECT_EQ(a.get("group"), "devs");
  EXPECT_TRUE(a.has("locked") && a.has("json"));
  EXPECT_EQ(a.get("since"), "-7d");  // a value that looks like an option is still the value
  EXPECT_EQ(a.get("missing", "x"), "x");
  // A negative time and a lone dash are words.
  EXPECT_EQ(parse({"raw", "-", "-1d"}).words, (std::vector<std::string>{"raw", "-", "-1d"}));
  EXPECT_TRUE(parse({"user", "-h"}).has("help"));

  std::string error;
  parse({"login", "--password-file"}, &error);
  EXPECT_EQ(error, "option --password-file needs a value");
  parse({"user", "list", "--json=yes"}, &error);
  EXPECT_EQ(error, "option --json takes no value");

  // Each command accepts the global options and its own list only.
  EXPECT_EQ(unknown_option(parse({"--server", "s", "--json", "--rename", "x"}), "rename"), "");
  EXPECT_EQ(unknown_option(parse({"--rename", "x", "--bogus"}), "rename"), "bogus");
  EXPECT_EQ(unknown_option(parse({"--rename", "x"}), nullptr), "rename");
}

TEST(CtlArgs, ServerUrls) {
  url u;
  std::string error;
  ASSERT_TRUE(parse_url("https://idm.example.net", &u, &error));
  EXPECT_TRUE(u.tls);
  EXPECT_EQ(u.host, "idm.example.net");
  EXPECT_EQ(u.port, 443);
  EXPECT_EQ(u.path, "/");
  ASSERT_TRUE(parse_url("http://127.0.0.1:8080/x", &u, &error));
  EXPECT_FALSE(u.tls);
  EXPECT_EQ(u.port, 8080);
  EXPECT_EQ(u.path, "/x");
  ASSERT_TRUE(parse_url("[::1]:8443", &u, &error));
  EXPECT_EQ(u.host, "::1");
  EXPECT_EQ(u.port, 8443);
  for (const char* bad : {"ftp://host", "https://", "https://host:0", "https://host:65536",
                          "https://host:8x", "https://[::1"}) {
    EXPECT_FALSE(parse_url(bad, &u, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(CtlValues, TimesRightsFlagsAndExitStatuses) {
  uint64_t t = 0;
  const uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  ASSERT_TRUE(parse_time("1700000000", &t));
  EXPECT_EQ(t, 1700000000u);
  ASSERT_TRUE(parse_time("-2h", &t));
  EXPECT_NEAR(static_cast<double>(t), static_cast<double>(now - 7200), 5);
  ASSERT_TRUE(parse_time("-7d", &t));
  EXPECT_NEAR(static_cast<double>(t), static_cast<double>(now - 7 * 86400), 5);
  ASSERT_TRUE(parse_time("2026-03-01 12:30", &t));
  EXPECT_EQ(time_text(std::to_string(t)), "2026-03-01 12:30:00");
  ASSERT_TRUE(parse_time("2026-03-01T12:30:15", &t));
  EXPECT_EQ(time_text(std::to_string(t)), "2026-03-01 12:30:15");
  ASSERT_TRUE(parse_time("2026-03-01", &t));
  EXPECT_EQ(time_text(std::to_string(t)), "2026-03-01 00:00:00");
  for (const char* bad : {"", "yesterday", "-5w", "-h", "2026-03", "2026-03-01 12", "2026-03-01x",
                          "2026-03-01 12:30:15z", "99999999999999999999"}) {
    EXPECT_FALSE(parse_time(bad, &t)) << bad;
  }

  EXPECT_EQ(parse_rights("rw"), 3);
  EXPECT_EQ(parse_rights("r-x"), 5);
  EXPECT_EQ(parse_rights("read,exec"), 5);
  EXPECT_EQ(parse_rights("7"), 7);
  for (const char* bad : {"", "8", "rwz", "read,all"}) EXPECT_EQ(parse_rights(bad), -1) << bad;
  EXPECT_EQ(rights_text(6), "-wx");
  EXPECT_EQ(user_flag_words(0), "-");
  EXPECT_EQ(user_flag_words(14), "never-expires,must-change,locked");

  // Patterns that match one name exactly, whatever it holds.
  EXPECT_EQ(exact_pattern("a.b-c@d"), "^a\\.b-c@d$");
  EXPECT_EQ(exact_pattern("x+(y)"), "^x\\+\\(y\\)$");

  // Exit statuses by result-code class.
  EXPECT_EQ(exit_status_of(0), 0);
  EXPECT_EQ(exit_status_of(0x10), 4);
  EXPECT_EQ(exit_status_of(0x18), 4);
  EXPECT_EQ(exit_status_of(0x101), 5);
  EXPECT_EQ(exit_status_of(0x204), 6);
  EXPECT_EQ(exit_status_of(0x310), 7);
  EXPECT_EQ(exit_status_of(0x407), 8);
  EXPECT_EQ(exit_status_of(0x511), 9);
  EXPECT_EQ(exit_status_of(0x608), 10);
  EXPECT_EQ(exit_status_of(0x702), 11);
  EXPECT_EQ(exit_status_of(0x804), 12);
  EXPECT_EQ(exit_status_of(0x903), 13);
  EXPECT_EQ(exit_status_of(-6), 14);
  EXPECT_EQ(exit_status_of(0xa01), 14);
}

}  // namespace
}  // namespace ctl
