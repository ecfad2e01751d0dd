// pam_orvane.so through pamtester against orvane-hostd and the real orvaned: auth and account,
// online and offline.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "hostd/host_support.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

// pamtester with a service file of its own, seen under /etc/pam.d in a private mount namespace.
class PamModuleTest : public host_fixture {
 protected:
  void SetUp() override {
    const std::string pam_dir = dir.path() + "/pam.d";
    fs::create_directories(pam_dir);
    const std::string module = build_path("pam_orvane.so") + " socket=" + hostd.socket();
    std::ofstream(pam_dir + "/orvane-test") << "auth required " << module << " debug\n"
                                            << "account required " << module << "\n";
    const run_result probe = run_program(
        {"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount --bind \"$0\" /etc/pam.d", pam_dir});
    if (probe.status != 0 || access("/usr/bin/pamtester", X_OK) != 0) {
      GTEST_SKIP() << "PAM checks need pamtester and a private mount namespace (unshare -m, "
                      "mount --bind), not permitted here: "
                   << probe.err;
    }
    host_fixture::SetUp();
  }

  // pamtester USER OP, typing password; the exit status.
  int pam(const std::string& user, const std::string& password, const std::string& op) {
    const run_result r = run_program(
        {"/bin/sh", "-c",
         "printf '%s\\n' \"$PW\" | unshare -m /bin/sh -c 'mount --bind \"$PAM_DIR\" /etc/pam.d "
         "&& exec pamtester orvane-test \"$PAM_USER_NAME\" \"$PAM_OP\"'"},
        {"PW=" + password, "PAM_DIR=" + dir.path() + "/pam.d", "PAM_USER_NAME=" + user,
         "PAM_OP=" + op});
    last = r.out + r.err;
    return r.status;
  }

  std::string last;
};

TEST_F(PamModuleTest, AuthAndAccountOnlineAndOffline) {
  EXPECT_EQ(pam("alice", "Passw0rdalice", "authenticate"), 0) << last;
  EXPECT_NE(pam("alice", "Passw0rdbob", "authenticate"), 0) << last;
  EXPECT_EQ(pam("alice", "", "acct_mgmt"), 0) << last;
  EXPECT_NE(pam("svc-host", "Passw0rdsvc-host", "authenticate"), 0) << last;  // not a host user
  EXPECT_NE(pam("nobody-here", "", "acct_mgmt"), 0) << last;

  // A locked account: refused by account (and gone from the host once the change arrives).
  ASSERT_EQ(site.cmd("userEdit", "<u id=\"" + site.bob_id + "\" flags=\"8\"/>"), 0);
  EXPECT_NE(pam("bob", "", "acct_mgmt"), 0) << last;
  EXPECT_NE(pam("bob", "Passw0rdbob", "authenticate"), 0) << last;

  ASSERT_EQ(site.server.stop(), 0);
  EXPECT_EQ(pam("alice", "Passw0rdalice", "authenticate"), 0) << last << hostd.log();
  EXPECT_NE(pam("alice", "wrong", "authenticate"), 0) << last;
  EXPECT_EQ(pam("alice", "", "acct_mgmt"), 0) << last;
}

}  // namespace
}  // namespace orvane_test
