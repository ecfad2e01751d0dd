// Test support for the record modules: a scratch database root with in-memory domains.
#ifndef ORVANE_TESTS_SERVER_GROUPS_DOMAIN_FIXTURE_H_
#define ORVANE_TESTS_SERVER_GROUPS_DOMAIN_FIXTURE_H_

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "config.h"
#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/groups/group_records.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_records.h"
#include "objects/permissions/permission.h"
#include "objects/resources/resource.h"
#include "objects/resources/resource_records.h"
#include "objects/users/user.h"
#include "support/process.h"
#include "utils/files.h"
#include "utils/logger.h"
#include "utils/uid.h"

namespace orvane_test {

class domain_fixture : public ::testing::Test {
 public:
  static constexpr uint64_t kDomainId = 4242;

  void SetUp() override {
    // Loader diagnostics go to standard error only when ORVANE_TEST_LOG is set.
    saved_syslog_ = kt::logger_to_syslog;
    saved_stderr_ = kt::logger_to_stderr;
    kt::logger_to_syslog = false;
    kt::logger_to_stderr = getenv("ORVANE_TEST_LOG") != nullptr;
    setenv("ORVANE_ROOT", root_.path().c_str(), 1);
    orvane::config_load(nullptr);
    d = fresh_domain();
  }

  void TearDown() override {
    for (auto& dom : domains_) release(*dom);
    domains_.clear();
    unsetenv("ORVANE_ROOT");
    orvane::config_load(nullptr);
    kt::logger_to_syslog = saved_syslog_;
    kt::logger_to_stderr = saved_stderr_;
  }

  // A new in-memory domain over the same directory (as after a restart).
  kt::ref_ptr<orvane::domain> fresh_domain() {
    kt::ref_ptr<orvane::domain> dom = kt::make_ref<orvane::domain>();
    dom->id = kDomainId;
    dom->g = &g;
    dom->set_name("test");
    kt::path_create(orvane::path_domain_dir(kDomainId).c_str(), 0755);
    domains_.push_back(dom);
    return dom;
  }

  // An in-memory user (users have their own module; these tests only need the tables).
  static kt::ref_ptr<orvane::user> add_user(orvane::domain& dom, const std::string& name,
                                            uint64_t id = 0) {
    kt::ref_ptr<orvane::user> u = kt::make_ref<orvane::user>();
    u->id = id != 0 ? id : kt::uid_time_seq();
    u->uname = name;
    u->dom = kt::ref_ptr<orvane::domain>(&dom);
    dom.users_by_name.insert_rw(u->uname, u);
    dom.users_by_id.insert_rw(u->id, u);
    return u;
  }

  // Copies the users of one domain into another (users are not stored by these modules).
  static void copy_users(orvane::domain& from, orvane::domain& to) {
    std::vector<kt::ref_ptr<orvane::user>> all;
    from.users_by_id.for_each([&](uint64_t, kt::ref_ptr<orvane::user>& u) { all.push_back(u); });
    for (auto it = all.rbegin(); it != all.rend(); ++it) add_user(to, (*it)->uname, (*it)->id);
  }

  static kt::ref_ptr<orvane::group> new_group(orvane::domain& dom, const std::string& name,
                                              uint8_t flags = 0) {
    kt::ref_ptr<orvane::group> gr = orvane::group_create();
    gr->name = name;
    gr->flags = flags;
    gr->dom = kt::ref_ptr<orvane::domain>(&dom);
    EXPECT_EQ(orvane::group_db_add(dom, *gr), 0);
    dom.groups_by_name.insert_rw(gr->name, gr);
    dom.groups_by_id.insert_rw(gr->id, gr);
    return gr;
  }

  static kt::ref_ptr<orvane::resource> new_resource(orvane::domain& dom, const std::string& name,
                                                    const kt::ref_ptr<orvane::resource>& parent,
                                                    uint16_t flags = 0) {
    kt::ref_ptr<orvane::resource> r = orvane::resource_create();
    r->name = name;
    r->flags = flags;
    r->type = 3;
    r->parent = parent;
    r->dom = kt::ref_ptr<orvane::domain>(&dom);
    EXPECT_EQ(orvane::resource_db_add(dom, *r), 0);
    if (parent) parent->children.insert_rw(r->id, r);
    dom.resources_by_name.insert_rw(r->name, r);
    dom.resources_by_id.insert_rw(r->id, r);
    return r;
  }

  // The six system resources under ORVANE; returns ORVANE.
  static kt::ref_ptr<orvane::resource> new_system_resources(orvane::domain& dom) {
    kt::ref_ptr<orvane::resource> top =
        new_resource(dom, orvane::sys_resource_names[0], nullptr, 7);
    for (int i = 1; i < orvane::SYS_RES_COUNT; ++i) {
      new_resource(dom, orvane::sys_resource_names[i], top, 7);
    }
    return top;
  }

  static std::string file(const char* name) { return orvane::path_domain_file(kDomainId, name); }

  static void append_bytes(const std::string& path, const void* bytes, size_t n) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(n));
  }

  static long file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
  }

  // Makes the store fail: a directory where the record file should be.
  static void block_file(const char* name) { ASSERT_EQ(::mkdir(file(name).c_str(), 0755), 0); }

  // Breaks the reference cycles between the objects of a domain.
  static void release(orvane::domain& dom) {
    const auto flush = [](auto& table) {
      std::unique_lock lock(table.rwlock());
      table.flush();
    };
    dom.users_by_id.for_each([&](uint64_t, kt::ref_ptr<orvane::user>& u) {
      flush(u->attributes);
      flush(u->groups);
      flush(u->permissions);
    });
    dom.groups_by_id.for_each(
        [&](uint64_t, kt::ref_ptr<orvane::group>& gr) { orvane::group_flush(*gr); });
    dom.resources_by_id.for_each(
        [&](uint64_t, kt::ref_ptr<orvane::resource>& r) { orvane::resource_flush(*r); });
    dom.netclients_by_id.for_each(
        [&](uint64_t, kt::ref_ptr<orvane::netclient>& nc) { orvane::netclient_flush(*nc); });
    flush(dom.users_by_name);
    flush(dom.users_by_id);
    flush(dom.groups_by_name);
    flush(dom.groups_by_id);
    flush(dom.resources_by_name);
    flush(dom.resources_by_id);
    flush(dom.netclients_by_name);
    flush(dom.netclients_by_id);
    flush(dom.attributes);
    flush(dom.netclient_index);
    dom.administrators.reset();
    dom.all_users.reset();
  }

  orvane_test::temp_dir root_;
  orvane::globals g;
  kt::ref_ptr<orvane::domain> d;

 private:
  std::vector<kt::ref_ptr<orvane::domain>> domains_;
  bool saved_syslog_ = true;
  bool saved_stderr_ = false;
};

}  // namespace orvane_test

#endif  // ORVANE_TESTS_SERVER_GROUPS_DOMAIN_FIXTURE_H_
