// libnss_orvane.so.2 as the C library calls it, loaded from the build: entries from the published
// cache, buffers that are too small, enumeration, initgroups, and a damaged or missing cache with
// no daemon behind it.
#include <dlfcn.h>
#include <grp.h>
#include <nss.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hostd/entries.h"
#include "hostd/publish.h"
#include "support/process.h"

namespace orvane_test {
namespace {

using pw_fn = nss_status (*)(const char*, passwd*, char*, size_t, int*);
using pwuid_fn = nss_status (*)(uid_t, passwd*, char*, size_t, int*);
using pwent_fn = nss_status (*)(passwd*, char*, size_t, int*);
using gr_fn = nss_status (*)(const char*, group*, char*, size_t, int*);
using grgid_fn = nss_status (*)(gid_t, group*, char*, size_t, int*);
using grent_fn = nss_status (*)(group*, char*, size_t, int*);
using set_fn = nss_status (*)(int);
using initgroups_fn = nss_status (*)(const char*, gid_t, long*, long*, gid_t**, long, int*);

// The module, mapped once per test program (it keeps its mapping for the process).
struct module {
  void* handle = nullptr;
  template <typename F>
  F fn(const char* name) const {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
};

class NssModuleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new temp_dir;
    orvane_hostd::snapshot s;
    s.users.push_back({"alice", 2001, "/home/alice", "/bin/bash", "$6$x$y", 0, 99998, 0});
    s.users.push_back({"bob", 2002, "/home/bob", "/bin/sh", "$6$x$y", 0, 99998, 0});
    orvane_hostd::gr_entry big{"big", 4000, {}};
    for (int i = 0; i < 200; ++i) big.members.push_back("member" + std::to_string(i));
    big.members.push_back("alice");
    s.groups.push_back({"alice", 2001, {"alice"}});
    s.groups.push_back(big);
    s.groups.push_back({"devs", 3000, {"bob", "alice"}});
    s.index();
    ASSERT_EQ(orvane_hostd::publish_write(cache_path(), s), 0);
    setenv("ORVANE_NSS_CACHE", cache_path().c_str(), 1);
    setenv("ORVANE_HOSTD_SOCKET", (dir_->path() + "/no.sock").c_str(), 1);
    m_.handle = dlopen(build_path("libnss_orvane.so.2").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_.handle, nullptr) << dlerror();
  }
  static void TearDownTestSuite() {
    unsetenv("ORVANE_NSS_CACHE");
    unsetenv("ORVANE_HOSTD_SOCKET");
    delete dir_;
    dir_ = nullptr;
  }
  static std::string cache_path() { return dir_->path() + "/nss.cache"; }

  static temp_dir* dir_;
  static module m_;
  int err = 0;
};

temp_dir* NssModuleTest::dir_ = nullptr;
module NssModuleTest::m_;

TEST_F(NssModuleTest, EntriesBuffersEnumerationAndInitgroups) {
  const auto getpwnam = m_.fn<pw_fn>("_nss_orvane_getpwnam_r");
  const auto getpwuid = m_.fn<pwuid_fn>("_nss_orvane_getpwuid_r");
  const auto getgrnam = m_.fn<gr_fn>("_nss_orvane_getgrnam_r");
  const auto getgrgid = m_.fn<grgid_fn>("_nss_orvane_getgrgid_r");
  passwd pw{};
  group gr{};

  // Every buffer too small for the entry: ERANGE, nothing written past its end.
  for (size_t len = 0; len < 64; ++len) {
    std::vector<char> buf(len + 1, '#');
    const nss_status st = getpwnam("alice", &pw, buf.data(), len, &err);
    if (st == NSS_STATUS_SUCCESS) {
      EXPECT_STREQ(pw.pw_dir, "/home/alice");
      EXPECT_EQ(pw.pw_uid, 2001u);
      EXPECT_EQ(pw.pw_gid, 2001u);
      EXPECT_STREQ(pw.pw_shell, "/bin/bash");
      break;
    }
    EXPECT_EQ(st, NSS_STATUS_TRYAGAIN) << len;
    EXPECT_EQ(err, ERANGE);
    EXPECT_EQ(buf[len], '#') << len;
  }
  char buf[8192];
  ASSERT_EQ(getpwuid(2002, &pw, buf, sizeof buf, &err), NSS_STATUS_SUCCESS);
  EXPECT_STREQ(pw.pw_name, "bob");
  EXPECT_EQ(getpwnam("carol", &pw, buf, sizeof buf, &err), NSS_STATUS_NOTFOUND);
  EXPECT_EQ(getpwuid(9, &pw, buf, sizeof buf, &err), NSS_STATUS_NOTFOUND);
  EXPECT_EQ(getpwnam(std::string(300, 'a').c_str(), &pw, buf, sizeof buf, &err),
            NSS_STATUS_NOTFOUND);

  EXPECT_EQ(getgrnam("big", &gr, buf, 512, &err), NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(err, ERANGE);
  ASSERT_EQ(getgrnam("big", &gr, buf + 1, sizeof buf - 1, &err), NSS_STATUS_SUCCESS);  // unaligned
  size_t members = 0;
  while (gr.gr_mem[members] != nullptr) ++members;
  EXPECT_EQ(members, 201u);
  EXPECT_STREQ(gr.gr_mem[200], "alice");
  ASSERT_EQ(getgrgid(3000, &gr, buf, sizeof buf, &err), NSS_STATUS_SUCCESS);
  EXPECT_STREQ(gr.gr_name, "devs");
  EXPECT_STREQ(gr.gr_mem[0], "bob");
  EXPECT_EQ(getgrgid(1, &gr, buf, sizeof buf, &err), NSS_STATUS_NOTFOUND);

  // Enumeration: a too-small buffer gives the same entry again.
  m_.fn<set_fn>("_nss_orvane_setpwent")(0);
  const auto getpwent = m_.fn<pwent_fn>("_nss_orvane_getpwent_r");
  EXPECT_EQ(getpwent(&pw, buf, 4, &err), NSS_STATUS_TRYAGAIN);
  std::vector<std::string> names;
  while (getpwent(&pw, buf, sizeof buf, &err) == NSS_STATUS_SUCCESS) names.push_back(pw.pw_name);
  EXPECT_EQ(names, (std::vector<std::string>{"alice", "bob"}));
  m_.fn<set_fn>("_nss_orvane_setgrent")(0);
  const auto getgrent = m_.fn<grent_fn>("_nss_orvane_getgrent_r");
  names.clear();
  while (getgrent(&gr, buf, sizeof buf, &err) == NSS_STATUS_SUCCESS) names.push_back(gr.gr_name);
  EXPECT_EQ(names, (std::vector<std::string>{"alice", "big", "devs"}));

  // initgroups: the primary group is left out, the list grows, the limit holds.
  const auto initgroups = m_.fn<initgroups_fn>("_nss_orvane_initgroups_dyn");
  long start = 0;
  long size = 1;
  gid_t* groups = static_cast<gid_t*>(malloc(sizeof(gid_t)));
  ASSERT_EQ(initgroups("alice", 2001, &start, &size, &groups, 0, &err), NSS_STATUS_SUCCESS);
  ASSERT_EQ(start, 2);
  EXPECT_EQ(groups[0], 4000u);
  EXPECT_EQ(groups[1], 3000u);
  start = 0;
  ASSERT_EQ(initgroups("alice", 2001, &start, &size, &groups, 1, &err), NSS_STATUS_SUCCESS);
  EXPECT_EQ(start, 1);
  start = 0;
  EXPECT_EQ(initgroups("nobody", 1, &start, &size, &groups, 0, &err), NSS_STATUS_NOTFOUND);
  free(groups);  // the C library's list, grown by the module with realloc
}

TEST_F(NssModuleTest, DamagedOrMissingCacheWithoutDaemonIsUnavailable) {
  passwd pw{};
  char buf[1024];
  const auto getpwnam = m_.fn<pw_fn>("_nss_orvane_getpwnam_r");
  ASSERT_EQ(getpwnam("alice", &pw, buf, sizeof buf, &err), NSS_STATUS_SUCCESS);
  const std::string good = cache_path() + ".good";
  std::filesystem::copy_file(cache_path(), good);
  // The module looks for a replaced file at most once a second.
  const auto replaced = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); };
  std::filesystem::resize_file(cache_path(), 100);
  replaced();
  EXPECT_EQ(getpwnam("alice", &pw, buf, sizeof buf, &err), NSS_STATUS_UNAVAIL);
  std::filesystem::remove(cache_path());
  replaced();
  EXPECT_EQ(getpwnam("alice", &pw, buf, sizeof buf, &err), NSS_STATUS_UNAVAIL);
  std::filesystem::rename(good, cache_path());
  replaced();
  EXPECT_EQ(getpwnam("alice", &pw, buf, sizeof buf, &err), NSS_STATUS_SUCCESS);
}

}  // namespace
}  // namespace orvane_test
