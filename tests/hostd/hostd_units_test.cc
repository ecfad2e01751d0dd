// The daemon's parts without a server: entries from the server's answers and its cache file,
// the socket's answers, the change filter, the back-off, the crypt check and the socket client.
#include <gtest/gtest.h>

#include <crypt.h>

#include <memory>
#include <string>

#include "hostd/answers.h"
#include "hostd/checks.h"
#include "hostd/entries.h"
#include "hostd/sync.h"
#include "hostproto/protocol.h"
#include "hostproto/sock_client.h"
#include "xmldoc/xmldoc.h"

namespace orvane_hostd {
namespace {

kt::xmldoc parse(const std::string& text) {
  kt::xmldoc d;
  EXPECT_EQ(d.parse(text), 0);
  return d;
}

snapshot from_answers(const std::string& pw, const std::string& gr, size_t* dropped = nullptr) {
  const kt::xmldoc p = parse(pw);
  const kt::xmldoc g = parse(gr);
  snapshot s;
  const size_t n = entries_from_answers(*p.root(), *g.root(), &s);
  if (dropped != nullptr) *dropped = n;
  return s;
}

const char kUsers[] =
    "<pwentries><u uid=\"2001\" s=\"/bin/bash\" h=\"/home/alice\" n=\"alice\" p=\"$6$abc$def\" "
    "pl=\"19000\" pv=\"180\" f=\"0\"/><u uid=\"2002\" s=\"/bin/sh\" h=\"/home/b:x\" n=\"bob\"/>"
    "<u uid=\"x\" n=\"carol\"/><u uid=\"2004\" s=\"/bin/sh\" h=\"/h\" n=\"dave\" pv=\"99998\"/>"
    "</pwentries>";
const char kGroups[] =
    "<grentries><g gid=\"2001\" n=\"alice\">alice</g><g gid=\"3000\" n=\"devs\">alice,dave</g>"
    "<g gid=\"3001\" n=\"empty\"></g></grentries>";

TEST(HostdEntriesTest, AnswersCacheAndLookups) {
  size_t dropped = 0;
  snapshot s = from_answers(kUsers, kGroups, &dropped);
  EXPECT_EQ(dropped, 2u);  // a ':' in a home, a uid that is no number
  ASSERT_EQ(s.users.size(), 2u);
  ASSERT_NE(s.user("alice"), nullptr);
  EXPECT_EQ(s.user(2004u)->name, "dave");
  EXPECT_EQ(s.group("devs")->members.size(), 2u);
  EXPECT_TRUE(s.group("empty")->members.empty());
  EXPECT_TRUE(password_expired(*s.user("alice"), 19180));
  EXPECT_FALSE(password_expired(*s.user("alice"), 19179));
  EXPECT_FALSE(password_expired(*s.user("dave"), 90000));

  // The daemon's cache file gives the same entries back, hashes included.
  s.fetched = 1234;
  snapshot back;
  ASSERT_EQ(entries_load(entries_save(s), &back), 0);
  EXPECT_EQ(back.fetched, 1234u);
  EXPECT_EQ(back.user("alice")->crypt, "$6$abc$def");
  EXPECT_EQ(back.group("devs")->members, s.group("devs")->members);
  EXPECT_EQ(entries_load("<hostcache/>", &back), -1);
  EXPECT_EQ(entries_load("garbage", &back), -1);
  EXPECT_EQ(back.fetched, 1234u);  // untouched

  // Socket answers.
  EXPECT_EQ(answer_lookup(&s, false, true, "pwnam alice"),
            "0 0\nalice:2001:2001:/home/alice:/bin/bash\n");
  EXPECT_EQ(answer_lookup(&s, true, true, "pwuid 2004"), "0 1\ndave:2004:2004:/h:/bin/sh\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "pwent 1"), "0 0\ndave:2004:2004:/h:/bin/sh\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "pwent 2"), "1 0\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "grnam devs"), "0 0\ndevs:3000:alice,dave\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "grgid 3001"), "0 0\nempty:3001:\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "initgroups dave"), "0 0\n3000\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "initgroups nobody"), "1 0\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "pwuid 99999999999"), "7 0\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "shadow alice"), "7 0\n");
  EXPECT_EQ(answer_lookup(&s, false, true, "pwnam"), "7 0\n");
  EXPECT_EQ(answer_lookup(nullptr, false, false, "pwnam alice"), "2 1\n");
  EXPECT_EQ(answer_lookup(&s, false, false, "status"),
            "0 0\nonline=0 fetched=1234 users=2 groups=3\n");
}

TEST(HostdSyncTest, ChangeFilterAndBackoff) {
  const auto doc = [](const char* type, const char* domain) {
    return std::string("<?xml version=\"1.0\"?><orvane><change domain=\"") + domain +
           "\" user=\"1\" objId=\"2\" objType=\"" + type + "\" changeType=\"edit\" /></orvane>";
  };
  EXPECT_TRUE(change_concerns(doc("user", "42"), 42));
  EXPECT_TRUE(change_concerns(doc("group", "42"), 42));
  EXPECT_TRUE(change_concerns(doc("nssprofile", "42"), 42));
  EXPECT_FALSE(change_concerns(doc("resource", "42"), 42));
  EXPECT_FALSE(change_concerns(doc("user", "43"), 42));
  EXPECT_FALSE(change_concerns("<orvane><res code=\"0\"/></orvane>", 42));
  EXPECT_FALSE(change_concerns("<<<", 42));
  for (unsigned failures = 1; failures < 40; ++failures) {
    const int64_t limit = failures < 8 ? (int64_t{1000} << (failures - 1)) : 60000;
    const int64_t ms = backoff_ms(failures, 1000, 60000);
    EXPECT_GE(ms, std::min<int64_t>(limit, 60000) / 2) << failures;
    EXPECT_LE(ms, std::min<int64_t>(limit, 60000)) << failures;
  }
}

TEST(HostdChecksTest, CryptAndFailureCounter) {
  crypt_data data{};
  const std::string stored = crypt_r("Passw0rd", "$6$0123456789abcdef$", &data);
  EXPECT_TRUE(crypt_matches("Passw0rd", stored));
  EXPECT_FALSE(crypt_matches("passw0rd", stored));
  EXPECT_FALSE(crypt_matches("Passw0rd", ""));
  EXPECT_FALSE(crypt_matches("Passw0rd", "$1$abc$def"));  // only SHA-512 strings count
  failure_counter f;
  for (unsigned i = 0; i < failure_counter::kMaxFailures; ++i) {
    EXPECT_FALSE(f.blocked("alice", 100));
    f.failed("alice", 100);
  }
  EXPECT_TRUE(f.blocked("alice", 100 + failure_counter::kLockSeconds - 1));
  EXPECT_FALSE(f.blocked("alice", 100 + failure_counter::kLockSeconds));
  EXPECT_FALSE(f.blocked("bob", 100));
  f.succeeded("alice");
  EXPECT_FALSE(f.blocked("alice", 101));
}

TEST(HostdSocketClientTest, UnreachableAndBounds) {
  orvane_host::hostd_answer a;
  EXPECT_EQ(orvane_host::hostd_ask("/nonexistent/hostd.sock", "status", 6, &a, 100), -1);
  EXPECT_EQ(orvane_host::hostd_ask("/nonexistent/hostd.sock", "", 0, &a, 100), -2);
  const std::string huge(orvane_host::kMaxRequest + 1, 'x');
  EXPECT_EQ(orvane_host::hostd_ask("/tmp/x", huge.data(), huge.size(), &a, 100), -2);
  char text[] = "one\ntwo\n";
  char* cursor = text;
  EXPECT_STREQ(orvane_host::hostd_next_line(&cursor), "one");
  EXPECT_STREQ(orvane_host::hostd_next_line(&cursor), "two");
  EXPECT_EQ(orvane_host::hostd_next_line(&cursor), nullptr);
}

}  // namespace
}  // namespace orvane_hostd
