// orvane-hostd and its name-service module against the real orvaned: lookups through getent and
// the built module, changes on the server reaching the host, a reload, offline answers from the
// caches (also after a restart of the daemon), and refused configurations.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "hostd/host_support.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

using HostdTest = host_fixture;

TEST_F(HostdTest, LookupsFollowTheServerAndSurviveItsAbsence) {
  // Lookups through the module, from the published cache.
  EXPECT_EQ(passwd("alice"), "alice:x:2001:2001::/home/u2001:/bin/bash\n");
  EXPECT_EQ(passwd("2002"), "bob:x:2002:2002::/home/u2002:/bin/bash\n");
  EXPECT_EQ(hostd.getent({"group", "devs"}).out, "devs:x:3000:alice\n");
  EXPECT_EQ(hostd.getent({"group", "2001"}).out, "alice:x:2001:alice\n");
  EXPECT_EQ(hostd.getent({"passwd"}).out,
            "alice:x:2001:2001::/home/u2001:/bin/bash\nbob:x:2002:2002::/home/u2002:/bin/bash\n");
  const run_result groups = hostd.getent({"group"});
  EXPECT_NE(groups.out.find("devs:x:3000:alice\n"), std::string::npos) << groups.out;
  EXPECT_NE(groups.out.find("bob:x:2002:bob\n"), std::string::npos) << groups.out;
  EXPECT_EQ(hostd.getent({"initgroups", "alice"}).out.find("3000") != std::string::npos, true);
  EXPECT_FALSE(has_passwd("svc-host"));  // not in the profile
  // The published cache is world-readable and holds no hash; the daemon's own is owner-only.
  struct stat st {};
  ASSERT_EQ(::stat(hostd.nss_cache().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::stat(hostd.cache().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ifstream published(hostd.nss_cache(), std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(published)),
                          std::istreambuf_iterator<char>());
  EXPECT_EQ(image.find("$6$"), std::string::npos);

  // A host whose service account is refused still fetches its entries, without notifications.
  {
    const std::string second_dir = dir.path() + "/second";
    fs::create_directories(second_dir);
    hostd_process second(second_dir);
    second.configure(site.server, bundle());
    second.configure_extra("user = svc-unknown");  // a name of its own: throttled on its own
    ASSERT_TRUE(second.start()) << second.log();
    EXPECT_TRUE(wait_until([&] { return second.ask("pwnam alice") == 0; }, 10000)) << second.log();
    EXPECT_NE(second.log().find("login refused"), std::string::npos);
  }

  // SIGHUP reloads the configuration; one that does not load leaves the running one.
  hostd.configure_extra("profile = nope");
  hostd.reload();
  EXPECT_TRUE(wait_until([this] { return !online(); }, 10000)) << hostd.log();
  EXPECT_EQ(passwd("alice"), "alice:x:2001:2001::/home/u2001:/bin/bash\n");
  hostd.configure_extra("colour = blue");
  hostd.reload();
  EXPECT_TRUE(wait_until([this] { return hostd.log().find("reload refused") != std::string::npos; },
                         10000));
  EXPECT_EQ(hostd.ask("status"), 0);
  hostd.configure_extra("");
  hostd.reload();
  EXPECT_TRUE(wait_until([this] { return online(); }, 10000)) << hostd.log();

  // A user added to the profile appears without a restart; a locked or removed one goes.
  const std::string carol = site.add_user("carol");
  ASSERT_EQ(site.set_members({{site.alice_id, 2001}, {site.bob_id, 2002}, {carol, 2003}}), 0);
  EXPECT_TRUE(wait_until([&] { return has_passwd("carol"); }, 5000)) << hostd.log();
  ASSERT_EQ(site.cmd("userEdit", "<u id=\"" + site.bob_id + "\" flags=\"8\"/>"), 0);
  EXPECT_TRUE(wait_until([&] { return !has_passwd("bob"); }, 5000)) << hostd.log();
  ASSERT_EQ(site.cmd("userRemove", "<u id=\"" + carol + "\"/>"), 0);
  EXPECT_TRUE(wait_until([&] { return !has_passwd("carol"); }, 5000)) << hostd.log();
  EXPECT_EQ(hostd.ask("auth alice\nPassw0rdalice"), 0);
  EXPECT_EQ(hostd.ask("auth alice\nwrong"), 3);
  EXPECT_EQ(hostd.ask("account alice"), 0);

  // The daemon's token ends: its channel closes, it logs in again and follows changes still.
  std::ifstream token_file(hostd.cache() + ".token");
  const std::string token((std::istreambuf_iterator<char>(token_file)),
                          std::istreambuf_iterator<char>());
  ASSERT_FALSE(token.empty());
  const http_answer released = site.server.post("<orvane><releaseToken domain=\"ORVANE\" token=\"" +
                                                token + "\"/></orvane>");
  ASSERT_EQ(orvaned_process::code(released), 0);
  const std::string dave = site.add_user("dave");
  ASSERT_EQ(site.set_members({{site.alice_id, 2001}, {dave, 2004}}), 0);
  EXPECT_TRUE(wait_until([&] { return has_passwd("dave"); }, 5000)) << hostd.log();

  // The server stops: lookups and password checks answer from the caches.
  ASSERT_EQ(site.server.stop(), 0);
  EXPECT_EQ(passwd("dave"), "dave:x:2004:2004::/home/u2004:/bin/bash\n");
  EXPECT_EQ(hostd.ask("auth alice\nPassw0rdalice"), 0) << hostd.log();
  EXPECT_EQ(hostd.ask("auth alice\nPassw0rdbob"), 3);
  EXPECT_EQ(hostd.ask("account alice"), 0);
  EXPECT_EQ(hostd.ask("auth bob\nPassw0rdbob"), 1);  // locked: gone from the cache

  // ... also after a restart of the daemon, whose socket answers from its own cache when the
  // published file is missing or damaged.
  EXPECT_EQ(hostd.stop(), 0);
  ASSERT_TRUE(hostd.start()) << hostd.log();
  EXPECT_EQ(passwd("alice"), "alice:x:2001:2001::/home/u2001:/bin/bash\n");
  EXPECT_EQ(hostd.ask("auth alice\nPassw0rdalice"), 0) << hostd.log();
  std::string body;
  EXPECT_EQ(hostd.ask("status", &body), 0);
  EXPECT_NE(body.find("online=0"), std::string::npos) << body;
  fs::resize_file(hostd.nss_cache(), fs::file_size(hostd.nss_cache()) / 2);
  EXPECT_EQ(passwd("alice"), "alice:x:2001:2001::/home/u2001:/bin/bash\n");
  fs::remove(hostd.nss_cache());
  EXPECT_EQ(passwd("alice"), "alice:x:2001:2001::/home/u2001:/bin/bash\n");
  EXPECT_EQ(hostd.getent({"group", "devs"}).out, "devs:x:3000:alice\n");
  EXPECT_EQ(hostd.getent({"passwd"}).out,
            "alice:x:2001:2001::/home/u2001:/bin/bash\ndave:x:2004:2004::/home/u2004:/bin/bash\n");
  EXPECT_NE(hostd.getent({"initgroups", "alice"}).out.find("3000"), std::string::npos);

  // Neither file nor daemon: not found, and no crash.
  EXPECT_EQ(hostd.stop(), 0);
  const run_result none = hostd.getent({"passwd", "alice"});
  EXPECT_EQ(none.status, 2) << none.err;
}

// Refused configurations: one error line and a non-zero exit.
TEST(HostdConfigTest, BadConfigurationsGiveOneErrorLine) {
  temp_dir dir;
  const std::string pass = dir.path() + "/pass";
  std::ofstream(pass) << "secret\n";
  ::chmod(pass.c_str(), 0600);
  const std::string good_bundle = dir.path() + "/garbage.p12";
  std::ofstream(good_bundle) << "not a bundle";
  const std::string base =
      "server = 127.0.0.1\ndomain = ORVANE\nprofile = hosts\nuser = svc\n"
      "password_file = " +
      pass + "\n";
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {base + "bundle = " + dir.path() + "/missing.p12\n", "missing.p12 can't be read"},
      {base + "bundle = " + good_bundle + "\n", "is not a PKCS#12 bundle"},
      {base + "bundle = x\ncolour = blue\n", "hostd.conf:7: unknown key 'colour'"},
      {base + "bundle = x\nport = 70000\n", "'port' needs a port number"},
      {"server = h\nbundle = x\n", "'domain' is not set"},
      {base + "bundle = x\njust words\n", "expected 'key = value'"},
  };
  const std::string conf = dir.path() + "/hostd.conf";
  for (const auto& c : cases) {
    std::ofstream(conf, std::ios::trunc) << c.text;
    const run_result r = run_program({build_path("orvane-hostd"), "--no-syslog", "-c", conf});
    EXPECT_NE(r.status, 0) << c.reason;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // A password file others can read is refused.
  ::chmod(pass.c_str(), 0644);
  std::ofstream(conf, std::ios::trunc) << base << "bundle = " << good_bundle << "\n";
  const run_result r = run_program({build_path("orvane-hostd"), "--no-syslog", "-c", conf});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("must be owner-only"), std::string::npos) << r.err;
  // A missing configuration file.
  const run_result missing =
      run_program({build_path("orvane-hostd"), "--no-syslog", "-c", dir.path() + "/none.conf"});
  EXPECT_NE(missing.status, 0);
  EXPECT_NE(missing.err.find("none.conf: can't be read"), std::string::npos) << missing.err;
  EXPECT_EQ(run_program({build_path("orvane-hostd"), "--version"}).out, "orvane-hostd 1.0.0\n");
}

}  // namespace
}  // namespace orvane_test
