// A new database, its files, and loading it back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <tuple>

#include "config.h"
#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "objects/groups/group.h"
#include "objects/netclients/netclient.h"
#include "objects/permissions/permission.h"
#include "objects/record.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "support/server_fixture.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;
using orvane::domain;

class DomainsTest : public server_fixture {
 protected:
  // Checks that the root domain holds exactly the objects of a new domain.
  void expect_initial_objects() {
    kt::ref_ptr<domain> d = domain_named("ORVANE");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->parent_id, 0u);
    EXPECT_EQ(g().root_domain, d);

    ASSERT_EQ(d->users_by_id.count(), 1u);
    kt::ref_ptr<orvane::user> admin = d->users_by_name.get_rw("Administrator");
    ASSERT_TRUE(admin);
    EXPECT_EQ(admin->flags, orvane::USER_FLAG_SYSTEM);

    ASSERT_EQ(d->groups_by_id.count(), 2u);
    ASSERT_TRUE(d->administrators);
    ASSERT_TRUE(d->all_users);
    EXPECT_EQ(d->administrators->name, "Administrators");
    EXPECT_EQ(d->administrators->flags, 5);
    EXPECT_EQ(d->all_users->flags, 3);
    EXPECT_TRUE(d->administrators->member_users.get_rw(admin->id));
    EXPECT_TRUE(admin->groups.get_rw(d->administrators->id));

    ASSERT_EQ(d->netclients_by_id.count(), 1u);
    kt::ref_ptr<orvane::netclient> lh = d->netclients_by_name.get_rw("localhost");
    ASSERT_TRUE(lh);
    EXPECT_EQ(lh->flags, 3);
    EXPECT_EQ(lh->v4_addresses(), std::vector<std::string>{"127.0.0.1"});

    ASSERT_EQ(d->resources_by_id.count(), 6u);
    for (int i = 0; i < orvane::SYS_RES_COUNT; ++i) {
      kt::ref_ptr<orvane::resource> r = d->resources_by_id.get_rw(d->sys_res[i]);
      ASSERT_TRUE(r) << i;
      EXPECT_EQ(r->name, orvane::sys_resource_names[i]);
      EXPECT_EQ(r->flags, 7);
      EXPECT_EQ(r->parent_id, i == 0 ? 0 : d->sys_res[0]);
      ASSERT_EQ(r->permissions.count(), 1u);
      kt::ref_ptr<orvane::permission> p = r->permissions.newest()->value();
      EXPECT_EQ(p->member_type, 1u);
      EXPECT_EQ(p->member_id, d->administrators->id);
      EXPECT_EQ(p->flags, 7u);
    }

    EXPECT_EQ(d->attributes.count(), 13u);
    EXPECT_EQ(d->expire_token_sec.load(), 1800u);
    EXPECT_EQ(d->max_attr_value_len_mb.load(), 4u);
    EXPECT_EQ(d->password_min_length.load(), 6u);
    EXPECT_EQ(d->password_expire_days.load(), 180u);
    EXPECT_EQ(d->nc_only.load(), orvane::API_NSS_PROFILES);
    EXPECT_EQ(d->password_policy.load(), orvane::PASSWORD_MUST_CAPITAL |
                                             orvane::PASSWORD_MUST_DIGIT |
                                             orvane::PASSWORD_MUST_LETTER);
    kt::ref_ptr<orvane::attribute> sso = d->attributes.get_rw("ssoWebPortal");
    ASSERT_TRUE(sso);
    EXPECT_EQ(sso->value, "/sso/");
    EXPECT_EQ(sso->flags, 5);
  }
};

TEST_F(DomainsTest, FirstStartCreatesTheRootDomainAndItsFiles) {
  expect_initial_objects();
  kt::ref_ptr<domain> d = domain_named("ORVANE");
  const std::string current = root() + "/current";
  EXPECT_EQ(fs::file_size(current + "/domains"), 144u);
  const std::string dir = current + "/" + std::to_string(d->id);
  EXPECT_EQ(fs::file_size(dir + "/users"), 323u);
  EXPECT_EQ(fs::status(dir + "/users").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::file_size(dir + "/groups"), 2u * 137);
  EXPECT_EQ(fs::file_size(dir + "/resources"), 6u * 149);
  EXPECT_EQ(fs::file_size(dir + "/permissions"), 6u * 34);
  EXPECT_EQ(fs::file_size(dir + "/attributes"), 13u * 282);
  EXPECT_EQ(fs::file_size(dir + "/authorityclients"), 1417u);
  EXPECT_EQ(fs::file_size(dir + "/group_users_" + std::to_string(d->administrators->id)), 12u);
  EXPECT_TRUE(fs::is_directory(dir + "/auditlogs/data"));
  EXPECT_EQ(fs::file_size(dir + "/auditlogs/hdr"), 20u);
}

TEST_F(DomainsTest, RestartLoadsTheSameObjects) {
  const uint64_t id = domain_named("ORVANE")->id;
  restart();
  EXPECT_EQ(domain_named("ORVANE")->id, id);
  expect_initial_objects();
  // Loading does not write: the files keep their sizes.
  EXPECT_EQ(fs::file_size(root() + "/current/domains"), 144u);
}

// Starts on the current files without the fixture; the result of globals::open.
int open_database(std::string* error) {
  std::unique_ptr<orvane::globals> g;
  return orvane::globals::open(&g, error, 2048);
}

TEST_F(DomainsTest, RecordsWithoutALoadableRootAreNeverCoveredByANewRoot) {
  const std::string file = root() + "/current/domains";
  const std::string logs =
      root() + "/current/" + std::to_string(g().root_domain->id) + "/auditlogs";
  stop();
  // The root's audit log lost its lock file: it is made again and the root loads.
  fs::remove(logs + "/.lock");
  start();
  expect_initial_objects();
  EXPECT_TRUE(fs::is_regular_file(logs + "/.lock"));
  stop();

  // The root's audit log can't be opened at all: start-up fails and writes nothing.
  fs::rename(logs, logs + ".away");
  std::ofstream(logs) << "x";
  std::string error;
  EXPECT_EQ(open_database(&error), -2);
  EXPECT_NE(error.find("root domain"), std::string::npos) << error;
  EXPECT_EQ(fs::file_size(file), 144u);
  fs::remove(logs);
  fs::rename(logs + ".away", logs);

  // The only record has a parent: no root to load, and none is made.
  {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(8);
    const uint64_t parent = 12345;
    f.write(reinterpret_cast<const char*>(&parent), 8);
  }
  EXPECT_EQ(open_database(&error), -2);
  EXPECT_EQ(fs::file_size(file), 144u);

  // Without any record the database is new.
  fs::remove(file);
  start();
  expect_initial_objects();
}

// Appends domain records to the "domains" file of a stopped server.
void append_domains(const std::string& file,
                    std::initializer_list<std::tuple<uint64_t, uint64_t, std::string>> records) {
  std::ofstream f(file, std::ios::binary | std::ios::app);
  for (const auto& [id, parent, name] : records) {
    orvane::domain d;
    d.id = id;
    d.parent_id = parent;
    d.set_name(name);
    orvane::record r(orvane::DOMAIN_RECORD_SIZE);
    orvane::domain_ptr_to_file(d, r);
    f.write(reinterpret_cast<const char*>(r.data()), r.size());
  }
}

TEST_F(DomainsTest, ParentLoopsInADamagedFileAreCut) {
  const uint64_t root_id = g().root_domain->id;
  stop();
  append_domains(root() + "/current/domains",
                 {{9001, 9002, "a"}, {9002, 9001, "b"}, {9003, 9003, "self"}, {9004, 9001, "c"}});
  start();
  ASSERT_EQ(g().domains_by_id.count(), 5u);
  size_t cut = 0;
  for (uint64_t id : {uint64_t{9001}, uint64_t{9002}, uint64_t{9003}, uint64_t{9004}}) {
    kt::ref_ptr<domain> d = g().domains_by_id.get_rw(id);
    ASSERT_TRUE(d) << id;
    size_t depth = 0;
    for (const domain* p = d.get(); p != nullptr; p = p->parent.get()) {
      ASSERT_LT(++depth, 6u) << "domain " << id << " sits on a loop";
      EXPECT_NE(p->id, root_id);
    }
    if (!d->parent) ++cut;
  }
  // "self" and one domain of the a-b loop lose their parent link.
  EXPECT_EQ(cut, 2u);
  EXPECT_EQ(g().domains_by_id.get_rw(9003)->parent, nullptr);
}

TEST_F(DomainsTest, RecordsWithoutNameOrRepeatingOneAreSkipped) {
  const uint64_t root_id = g().root_domain->id;
  stop();
  append_domains(root() + "/current/domains", {{9101, root_id, "tenant"},
                                               {9102, root_id, "tenant"},
                                               {9103, root_id, ""},
                                               {9104, root_id, "ORVANE"}});
  start();
  EXPECT_EQ(g().domains_by_id.count(), 2u);
  EXPECT_EQ(g().domains_by_name.count(), 2u);
  EXPECT_EQ(domain_named("tenant")->id, 9101u);
  EXPECT_EQ(domain_named("ORVANE")->id, root_id);
}

TEST_F(DomainsTest, RootRecordComesFirstAndKeepsTheRootName) {
  const std::string file = root() + "/current/domains";
  const uint64_t root_id = g().root_domain->id;
  stop();
  // A domain of the root's name stands before the root's record.
  std::string root_record(orvane::DOMAIN_RECORD_SIZE, '\0');
  {
    std::ifstream in(file, std::ios::binary);
    in.read(root_record.data(), orvane::DOMAIN_RECORD_SIZE);
  }
  fs::remove(file);
  append_domains(file, {{9201, 5, "ORVANE"}});
  {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out.write(root_record.data(), orvane::DOMAIN_RECORD_SIZE);
  }
  start();
  ASSERT_TRUE(g().root_domain);
  EXPECT_EQ(g().root_domain->id, root_id);
  EXPECT_EQ(domain_named("ORVANE"), g().root_domain);
  EXPECT_FALSE(g().domains_by_id.get_rw(9201));
}

TEST_F(DomainsTest, PartialRecordOfTheDomainsFileIsCutOff) {
  // A crash while the first root record was appended: the next start must still add one.
  const std::string file = root() + "/current/domains";
  stop();
  fs::resize_file(file, 100);
  start();
  ASSERT_TRUE(g().root_domain);
  EXPECT_EQ(fs::file_size(file), 144u);
  // Behind a whole root record the cut tail leaves room for new domains as well.
  stop();
  {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << "partial";
  }
  start();
  EXPECT_EQ(fs::file_size(file), 144u);
  const uint64_t root_id = g().root_domain->id;
  EXPECT_EQ(run("<orvane><domainInsert domain='ORVANE' token='" + admin_token() +
                "'><d name='tenant' parentId='" + std::to_string(root_id) +
                "'/><p>Secr3tPw</p></domainInsert></orvane>"),
            0u)
      << response_text();
  EXPECT_EQ(fs::file_size(file), 288u);
}

TEST_F(DomainsTest, NamesAreCutTo127Bytes) {
  orvane::domain d;
  d.set_name(std::string(200, 'n'));
  orvane::record r(orvane::DOMAIN_RECORD_SIZE);
  orvane::domain_ptr_to_file(d, r);
  orvane::domain back;
  orvane::domain_file_to_ptr(back, r);
  EXPECT_EQ(back.name(), std::string(127, 'n'));
}

}  // namespace
}  // namespace orvane_test
