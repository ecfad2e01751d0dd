// The NSS profile commands and lookups through the dispatcher, on a server context built on a
// temporary root: member files, inclusion rules, rights, the account hooks and a restart.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/profiles/nss_profile_internal.h"
#include "objects/profiles/nss_profile_records.h"
#include "objects/users/user.h"
#include "support/server_fixture.h"
#include "utils/files.h"

namespace orvane {
namespace {

using orvane_test::server_fixture;

// One record of a member users file.
struct user_rec {
  uint64_t user_id;
  uint32_t uid;
  std::string home;
  std::string shell;
  uint8_t flags;
};

uint64_t le(const std::string& s, size_t off, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i)
    v |= static_cast<uint64_t>(static_cast<uint8_t>(s[off + i])) << (8 * i);
  return v;
}

std::string field(const std::string& s, size_t off, size_t width) {
  return std::string(s.c_str() + off, strnlen(s.c_str() + off, width));
}

class ProfileCommandsTest : public server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    refresh();
  }
  void TearDown() override {
    d_.reset();
    server_fixture::TearDown();
  }
  void refresh() {
    d_ = domain_named("ORVANE");
    ASSERT_TRUE(d_);
    admin_ = admin_token();
  }
  void restart_all() {
    d_.reset();
    restart();
    refresh();
  }

  uint32_t cmd(const std::string& name, const std::string& attrs, const std::string& body,
               const std::string& tok = "") {
    return run("<orvane><" + name + " domain='ORVANE' token='" + (tok.empty() ? admin_ : tok) +
               "'" + attrs + ">" + body + "</" + name + "></orvane>");
  }
  uint64_t insert(const std::string& name, const std::string& descr = "") {
    EXPECT_EQ(cmd("nssProfileInsert", "", "<nssp name='" + name + "' descr='" + descr + "'/>"), 0u)
        << response_text();
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }
  uint32_t edit(uint64_t id, const std::string& attrs, const std::string& children = "") {
    return cmd("nssProfileEdit", "",
               "<nssp id='" + std::to_string(id) + "'" + attrs + ">" + children + "</nssp>");
  }
  uint32_t member_user(const std::string& verb, uint64_t profile, const std::string& u,
                       const std::string& tok = "") {
    return cmd("nssProfileUser", " cmd='" + verb + "' idup='" + std::to_string(profile) + "'",
               "<u " + u + "/>", tok);
  }
  uint32_t member_group(const std::string& verb, uint64_t profile, const std::string& g,
                        const std::string& tok = "") {
    return cmd("nssProfileGroup", " cmd='" + verb + "' idup='" + std::to_string(profile) + "'",
               "<g " + g + "/>", tok);
  }
  static std::string u_attrs(uint64_t user, uint32_t uid, const std::string& shell = "/bin/sh",
                             const std::string& home = "/home/x") {
    return "u='" + std::to_string(user) + "' uid='" + std::to_string(uid) + "' s='" + shell +
           "' h='" + home + "'";
  }
  // A lookup on the root domain without a token.
  uint32_t lookup(const std::string& name, const std::string& attrs) {
    return run("<orvane><" + name + " domain='ORVANE'" + attrs + "/></orvane>");
  }
  // A new empty group (users join with join()).
  uint64_t group_insert(const std::string& name) {
    EXPECT_EQ(run("<orvane><groupInsert domain='ORVANE' token='" + admin_ + "'><g name='" + name +
                  "'/></groupInsert></orvane>"),
              0u)
        << response_text();
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }
  void join(uint64_t user, const std::vector<uint64_t>& groups) {
    std::string m = "<memberof>";
    for (uint64_t g : groups) m += "<g id='" + std::to_string(g) + "'/>";
    m += "</memberof>";
    ASSERT_EQ(run("<orvane><userEdit domain='ORVANE' token='" + admin_ + "'><u id='" +
                  std::to_string(user) + "'>" + m + "</u></userEdit></orvane>"),
              0u)
        << response_text();
  }

  std::string file(const std::string& name) {
    std::string out;
    kt::read_file(path_domain_file(d_->id, name.c_str()).c_str(), out);
    return out;
  }
  bool exists(const std::string& name) {
    return kt::path_exists(path_domain_file(d_->id, name.c_str()).c_str()) == 0;
  }
  std::vector<user_rec> user_file(uint64_t profile) {
    const std::string s = file("unixprofilee_users_" + std::to_string(profile));
    EXPECT_EQ(s.size() % 784, 0u);
    std::vector<user_rec> out;
    for (size_t off = 0; off + 784 <= s.size(); off += 784) {
      out.push_back({le(s, off, 8), static_cast<uint32_t>(le(s, off + 8, 4)),
                     field(s, off + 12, 512), field(s, off + 524, 256),
                     static_cast<uint8_t>(s[off + 780])});
    }
    return out;
  }
  std::vector<std::pair<uint64_t, uint32_t>> group_file(uint64_t profile) {
    const std::string s = file("unixprofilee_groups_" + std::to_string(profile));
    EXPECT_EQ(s.size() % 272, 0u);
    std::vector<std::pair<uint64_t, uint32_t>> out;
    for (size_t off = 0; off + 272 <= s.size(); off += 272) {
      out.emplace_back(le(s, off, 8), static_cast<uint32_t>(le(s, off + 8, 4)));
    }
    return out;
  }
  std::vector<uint64_t> include_file(uint64_t profile) {
    const std::string s = file("unixprofile_memberof_" + std::to_string(profile));
    EXPECT_EQ(s.size() % 8, 0u);
    std::vector<uint64_t> out;
    for (size_t off = 0; off + 8 <= s.size(); off += 8) out.push_back(le(s, off, 8));
    return out;
  }

  // The "n" attribute (or "gid" / value) of the children of an answer element.
  std::vector<std::string> names(const char* answer_name, const char* attr = "n") {
    std::vector<std::string> out;
    const kt::xmldoc_node* a = answer(answer_name);
    if (a == nullptr) return out;
    for (const auto& c : a->children()) out.emplace_back(c->attr_get_value(attr));
    return out;
  }
  const kt::xmldoc_node* first_entry(const char* answer_name) {
    const kt::xmldoc_node* a = answer(answer_name);
    return a != nullptr ? a->first_child() : nullptr;
  }

  std::vector<std::string> audit_infos() {
    std::vector<std::string> out;
    if (!d_->log) return out;
    auditlog_backup_flush(*d_->log, [] { return 0; });
    std::unique_ptr<auditlog> log = auditlog_open(path_auditlog_dir(d_->id), true);
    if (!log) return out;
    const time_t now = time(nullptr);
    auditlog_read_begin(*log, now - 86400, now + 86400);
    std::unique_ptr<auditlog_entry> e;
    while (auditlog_read_entry(*log, &e) > 0) {
      if (e->api().rfind("nssProfile", 0) == 0) out.emplace_back(e->info());
    }
    return out;
  }

  kt::ref_ptr<domain> d_;
  std::string admin_;
};

TEST_F(ProfileCommandsTest, InsertValidatesAndStoresTheRecord) {
  const uint64_t id = insert("linux", "servers");
  ASSERT_NE(id, 0u);
  EXPECT_EQ(cmd("nssProfileInsert", "", "<nssp name='linux'/>"), E_NSS_PROFILE_EXISTS);
  EXPECT_EQ(message(), "nss profile with this name already exists.");
  EXPECT_EQ(cmd("nssProfileInsert", "", "<nssp name='bad name'/>"), E_NAME_INVALID);
  EXPECT_EQ(cmd("nssProfileInsert", "", "<nssp name='" + std::string(256, 'a') + "'/>"),
            E_NAME_TOO_LONG);
  EXPECT_EQ(cmd("nssProfileInsert", "", "<nssp descr='x'/>"), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("nssProfileInsert", "", ""), E_INVALID_REQUEST);
  // A description the record can't hold whole is refused, not cut.
  EXPECT_EQ(
      cmd("nssProfileInsert", "", "<nssp name='long' descr='" + std::string(512, 'd') + "'/>"),
      E_VALUE_INVALID);
  EXPECT_NE(insert(std::string(255, 'n'), std::string(511, 'd')), 0u);

  const std::string rec = file("unixprofiles");
  ASSERT_EQ(rec.size(), 2u * 784);
  EXPECT_EQ(le(rec, 0, 8), id);
  EXPECT_EQ(le(rec, 8, 8), d_->id);
  EXPECT_EQ(field(rec, 16, 256), "linux");
  EXPECT_EQ(field(rec, 272, 512), "servers");

  restart_all();
  kt::ref_ptr<nss_profile> p = nss_profile_get_by_id(*d_, id);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->name, "linux");
  EXPECT_EQ(p->descr, "servers");
  EXPECT_TRUE(nss_profile_get_by_name(*d_, std::string(255, 'n')));
}

TEST_F(ProfileCommandsTest, MemberUserAddEditDelRewritesTheFile) {
  const uint64_t p = insert("linux");
  const uint64_t alice = add_user("alice");
  const uint64_t bob = add_user("bob");
  const uint64_t carol = add_user("carol");
  ASSERT_EQ(member_user("add", p, u_attrs(alice, 1001, "/bin/bash", "/home/alice") + " r='1'"), 0u)
      << response_text();
  ASSERT_EQ(member_user("add", p, u_attrs(bob, 1002)), 0u);
  ASSERT_EQ(member_user("add", p, u_attrs(carol, 1003) + " r='0'"), 0u);

  // The same user again, or another user under a taken uid.
  EXPECT_EQ(member_user("add", p, u_attrs(alice, 2001)), E_VALUE_INVALID);
  EXPECT_EQ(member_user("add", p, u_attrs(add_user("dave"), 1002)), E_VALUE_INVALID);
  // Edit may not take another member's uid either.
  EXPECT_EQ(member_user("edit", p, u_attrs(bob, 1001)), E_VALUE_INVALID);
  ASSERT_EQ(user_file(p).size(), 3u);

  // Edit replaces uid, shell, home and flag in place.
  ASSERT_EQ(member_user("edit", p, u_attrs(bob, 1502, "/bin/zsh", "/srv/bob") + " r='yes'"), 0u);
  ASSERT_EQ(member_user("del", p, "u='" + std::to_string(carol) + "'"), 0u);
  std::vector<user_rec> recs = user_file(p);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].user_id, alice);
  EXPECT_EQ(recs[0].uid, 1001u);
  EXPECT_EQ(recs[0].home, "/home/alice");
  EXPECT_EQ(recs[0].shell, "/bin/bash");
  EXPECT_EQ(recs[0].flags, 1u);
  EXPECT_EQ(recs[1].user_id, bob);
  EXPECT_EQ(recs[1].uid, 1502u);
  EXPECT_EQ(recs[1].home, "/srv/bob");
  EXPECT_EQ(recs[1].shell, "/bin/zsh");
  EXPECT_EQ(recs[1].flags, 1u);

  kt::ref_ptr<nss_profile> prof = nss_profile_get_by_id(*d_, p);
  EXPECT_FALSE(prof->users_by_uid.get_rw(1002));
  EXPECT_TRUE(prof->users_by_uid.get_rw(1502));
  EXPECT_FALSE(prof->users_by_name.get_rw("carol"));
  EXPECT_EQ(prof->users_by_name.count(), 2u);

  // The old uid of an edited member is free again.
  ASSERT_EQ(member_user("add", p, u_attrs(carol, 1002)), 0u);
  ASSERT_EQ(member_user("del", p, "u='" + std::to_string(carol) + "'"), 0u);
  ASSERT_EQ(member_user("del", p, "u='" + std::to_string(alice) + "'"), 0u);
  ASSERT_EQ(member_user("del", p, "u='" + std::to_string(bob) + "'"), 0u);
  EXPECT_FALSE(exists("unixprofilee_users_" + std::to_string(p)));
  EXPECT_EQ(prof->users_by_uid.count(), 0u);
}

TEST_F(ProfileCommandsTest, MemberUserRequestErrors) {
  const uint64_t p = insert("linux");
  const uint64_t alice = add_user("alice");
  EXPECT_EQ(member_user("add", p + 1, u_attrs(alice, 1)), E_NSS_PROFILE_NOT_FOUND);
  EXPECT_EQ(member_user("move", p, u_attrs(alice, 1)), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("nssProfileUser", " cmd='add'", "<u " + u_attrs(alice, 1) + "/>"),
            E_INVALID_REQUEST);
  EXPECT_EQ(
      cmd("nssProfileUser", " idup='" + std::to_string(p) + "'", "<u " + u_attrs(alice, 1) + "/>"),
      E_INVALID_REQUEST);
  EXPECT_EQ(cmd("nssProfileUser", " cmd='add' idup='" + std::to_string(p) + "'", ""),
            E_INVALID_REQUEST);
  // Without the account's identifier: the bare failure.
  EXPECT_EQ(member_user("add", p, "uid='1' s='/bin/sh' h='/'"), E_FAILED);
  EXPECT_EQ(member_user("del", p, ""), E_FAILED);
  EXPECT_EQ(member_user("add", p, "u='x' uid='1' s='/bin/sh' h='/'"), E_INVALID_REQUEST);
  EXPECT_EQ(member_user("add", p, "u='" + std::to_string(alice) + "' uid='1' s='/bin/sh'"),
            E_INVALID_REQUEST);
  EXPECT_EQ(member_user("add", p, "u='" + std::to_string(alice) + "' uid='x' s='a' h='b'"),
            E_INVALID_REQUEST);
  EXPECT_EQ(member_user("add", p, "u='" + std::to_string(alice) + "' uid='4294967296' s='a' h='b'"),
            E_INVALID_REQUEST);
  EXPECT_EQ(member_user("add", p, u_attrs(alice, 1, std::string(256, 's'))), E_VALUE_INVALID);
  EXPECT_EQ(member_user("add", p, u_attrs(alice, 1, "/bin/sh", std::string(512, 'h'))),
            E_VALUE_INVALID);
  EXPECT_EQ(member_user("add", p, u_attrs(alice + 12345, 1)), E_USER_NOT_FOUND);
  EXPECT_FALSE(exists("unixprofilee_users_" + std::to_string(p)));
  // Deleting a user that is not a member changes nothing.
  EXPECT_EQ(member_user("del", p, "u='" + std::to_string(alice) + "'"), 0u);
  // Edit of a user that is not a member adds it.
  EXPECT_EQ(member_user("edit", p, u_attrs(alice, 4294967295u)), 0u);
  ASSERT_EQ(user_file(p).size(), 1u);
  EXPECT_EQ(user_file(p)[0].uid, 4294967295u);
}

TEST_F(ProfileCommandsTest, MemberGroups) {
  const uint64_t p = insert("linux");
  const uint64_t dev = group_insert("dev");
  const uint64_t ops = group_insert("ops");
  ASSERT_EQ(member_group("add", p, "g='" + std::to_string(dev) + "' gid='500'"), 0u);
  EXPECT_EQ(member_group("add", p, "g='" + std::to_string(dev) + "' gid='501'"), E_VALUE_INVALID);
  EXPECT_EQ(member_group("add", p, "g='" + std::to_string(ops) + "' gid='500'"), E_VALUE_INVALID);
  EXPECT_EQ(member_group("add", p, "g='" + std::to_string(ops + dev) + "' gid='7'"),
            E_GROUP_NOT_FOUND);
  EXPECT_EQ(member_group("add", p, "g='" + std::to_string(ops) + "'"), E_INVALID_REQUEST);
  EXPECT_EQ(member_group("add", p, "gid='7'"), E_FAILED);
  ASSERT_EQ(member_group("add", p, "g='" + std::to_string(ops) + "' gid='600'"), 0u);
  ASSERT_EQ(member_group("edit", p, "g='" + std::to_string(dev) + "' gid='501'"), 0u);
  EXPECT_EQ(group_file(p), (std::vector<std::pair<uint64_t, uint32_t>>{{dev, 501}, {ops, 600}}));
  ASSERT_EQ(member_group("del", p, "g='" + std::to_string(ops) + "'"), 0u);
  EXPECT_EQ(group_file(p), (std::vector<std::pair<uint64_t, uint32_t>>{{dev, 501}}));
  kt::ref_ptr<nss_profile> prof = nss_profile_get_by_id(*d_, p);
  EXPECT_TRUE(prof->groups_by_gid.get_rw(501));
  EXPECT_FALSE(prof->groups_by_gid.get_rw(500));
  EXPECT_TRUE(prof->groups_by_name.get_rw("dev"));
  EXPECT_FALSE(prof->groups_by_name.get_rw("ops"));
}

TEST_F(ProfileCommandsTest, EveryManagementCommandNeedsTheRight) {
  const uint64_t p = insert("linux");
  const uint64_t bob = add_user("bob");
  const std::string tok = token("bob", "Passw0rd");
  const std::string id = std::to_string(p);
  EXPECT_EQ(cmd("nssProfileInsert", "", "<nssp name='x'/>", tok), E_ACCESS_VIOLATION);
  EXPECT_EQ(cmd("nssProfileEdit", "", "<nssp id='" + id + "' name='y'/>", tok), E_ACCESS_VIOLATION);
  EXPECT_EQ(cmd("nssProfileRemove", "", "<nssp id='" + id + "'/>", tok), E_ACCESS_VIOLATION);
  EXPECT_EQ(member_user("add", p, u_attrs(bob, 1000), tok), E_ACCESS_VIOLATION);
  EXPECT_EQ(member_group("add", p, "g='" + std::to_string(d_->all_users->id) + "' gid='1'", tok),
            E_ACCESS_VIOLATION);
  EXPECT_EQ(cmd("nssProfileSearch", "", "<s/>", tok), E_ACCESS_VIOLATION);
  kt::ref_ptr<nss_profile> prof = nss_profile_get_by_id(*d_, p);
  ASSERT_TRUE(prof);
  EXPECT_EQ(prof->name, "linux");
  EXPECT_EQ(prof->users_by_uid.count(), 0u);
  EXPECT_EQ(prof->groups_by_gid.count(), 0u);
}

TEST_F(ProfileCommandsTest, EditReplacesMembersAndInclusionsAndRefusesLoops) {
  const uint64_t a = insert("a");
  const uint64_t b = insert("b");
  const uint64_t c = insert("c");
  const uint64_t alice = add_user("alice");
  const uint64_t dev = group_insert("dev");
  const std::string ia = "<i id='" + std::to_string(a) + "'/>";
  const std::string ib = "<i id='" + std::to_string(b) + "'/>";
  const std::string ic = "<i id='" + std::to_string(c) + "'/>";

  // a includes b, b includes c.
  ASSERT_EQ(edit(a, "",
                 ib + "<u id='" + std::to_string(alice) +
                     "' uid='1001' shell='/bin/sh' home='/home/alice' su='1'/>"),
            0u)
      << response_text();
  ASSERT_EQ(edit(b, "", ic), 0u);
  // Self, direct and indirect loops.
  EXPECT_EQ(edit(a, "", ia), E_NSS_PROFILE_LOOP);
  EXPECT_EQ(edit(b, "", ia), E_NSS_PROFILE_LOOP);
  EXPECT_EQ(message(),
            "NSS profile A cannot become member of NSS profile B becouse B is already member of "
            "A. (loop)");
  EXPECT_EQ(edit(c, "", ia), E_NSS_PROFILE_LOOP);
  EXPECT_TRUE(include_file(c).empty());
  // A refused edit left a alone.
  kt::ref_ptr<nss_profile> pa = nss_profile_get_by_id(*d_, a);
  EXPECT_EQ(pa->users_by_uid.count(), 1u);
  EXPECT_EQ(include_file(a), std::vector<uint64_t>{b});

  // Other refusals change nothing either.
  EXPECT_EQ(edit(a, " name='b'"), E_NSS_PROFILE_EXISTS);
  EXPECT_EQ(edit(a, " name='no way'"), E_NAME_INVALID);
  EXPECT_EQ(edit(a + b + c, ""), E_NSS_PROFILE_NOT_FOUND);
  EXPECT_EQ(cmd("nssProfileEdit", "", "<nssp name='a'/>"), E_INVALID_REQUEST);
  EXPECT_EQ(edit(a, "", "<u id='" + std::to_string(alice) + "' uid='1' shell='/bin/sh'/>"),
            E_INVALID_REQUEST);
  EXPECT_EQ(edit(a, "", "<u id='" + std::to_string(alice + 999) + "' uid='1' shell='s' home='h'/>"),
            E_USER_NOT_FOUND);
  EXPECT_EQ(edit(a, "",
                 "<g id='" + std::to_string(dev) + "' gid='1'/><g id='" + std::to_string(dev) +
                     "' gid='2'/>"),
            E_VALUE_INVALID);
  EXPECT_EQ(edit(a, "", "<i id='" + std::to_string(a + b + c) + "'/>"), E_NSS_PROFILE_NOT_FOUND);
  EXPECT_EQ(pa->users_by_uid.count(), 1u);
  EXPECT_EQ(pa->name, "a");

  // The edit's children replace everything: c gets included instead of b, the user goes.
  ASSERT_EQ(
      edit(a, " name='a2' descr='new'", ic + "<g id='" + std::to_string(dev) + "' gid='70'/>"), 0u);
  EXPECT_EQ(pa->name, "a2");
  EXPECT_EQ(pa->descr, "new");
  EXPECT_TRUE(nss_profile_get_by_name(*d_, "a2"));
  EXPECT_FALSE(nss_profile_get_by_name(*d_, "a"));
  EXPECT_EQ(pa->users_by_uid.count(), 0u);
  EXPECT_FALSE(exists("unixprofilee_users_" + std::to_string(a)));
  EXPECT_EQ(group_file(a), (std::vector<std::pair<uint64_t, uint32_t>>{{dev, 70}}));
  EXPECT_EQ(include_file(a), std::vector<uint64_t>{c});
  kt::ref_ptr<nss_profile> pb = nss_profile_get_by_id(*d_, b);
  kt::ref_ptr<nss_profile> pc = nss_profile_get_by_id(*d_, c);
  EXPECT_EQ(pb->included_by.count(), 0u);
  EXPECT_EQ(pc->included_by.count(), 2u);
  // Now b may include a: a no longer reaches b.
  EXPECT_EQ(edit(b, "", ia + ic), 0u);
  EXPECT_EQ(include_file(b), (std::vector<uint64_t>{a, c}));

  EXPECT_EQ(audit_infos(), (std::vector<std::string>{
                               "nssprofile a (" + std::to_string(a) + ") added / ",
                               "nssprofile b (" + std::to_string(b) + ") added / ",
                               "nssprofile c (" + std::to_string(c) + ") added / ",
                               "nssprofile a (" + std::to_string(a) + ") edited / ",
                               "nssprofile b (" + std::to_string(b) + ") edited / ",
                               "nssprofile a2 (" + std::to_string(a) + ") edited / ",
                               "nssprofile b (" + std::to_string(b) + ") edited / ",
                           }));
}

TEST_F(ProfileCommandsTest, RemoveTakesTheProfileOutOfItsIncluders) {
  const uint64_t a = insert("a");
  const uint64_t b = insert("b");
  const uint64_t c = insert("c");
  const uint64_t alice = add_user("alice");
  ASSERT_EQ(edit(a, "", "<i id='" + std::to_string(b) + "'/><i id='" + std::to_string(c) + "'/>"),
            0u);
  ASSERT_EQ(edit(b, "", "<i id='" + std::to_string(c) + "'/>"), 0u);
  ASSERT_EQ(member_user("add", b, u_attrs(alice, 1001)), 0u);
  kt::ref_ptr<nss_profile> pb = nss_profile_get_by_id(*d_, b);

  ASSERT_EQ(cmd("nssProfileRemove", "", "<nssp id='" + std::to_string(b) + "'/>"), 0u);
  EXPECT_EQ(cmd("nssProfileRemove", "", "<nssp id='" + std::to_string(b) + "'/>"),
            E_NSS_PROFILE_NOT_FOUND);
  EXPECT_EQ(cmd("nssProfileRemove", "", "<nssp/>"), E_INVALID_REQUEST);
  EXPECT_FALSE(nss_profile_get_by_id(*d_, b));
  EXPECT_FALSE(nss_profile_get_by_name(*d_, "b"));
  EXPECT_FALSE(exists("unixprofilee_users_" + std::to_string(b)));
  EXPECT_FALSE(exists("unixprofile_memberof_" + std::to_string(b)));
  EXPECT_EQ(include_file(a), std::vector<uint64_t>{c});
  kt::ref_ptr<nss_profile> pa = nss_profile_get_by_id(*d_, a);
  kt::ref_ptr<nss_profile> pc = nss_profile_get_by_id(*d_, c);
  EXPECT_FALSE(pa->includes.get_rw(b));
  EXPECT_EQ(pc->included_by.count(), 1u);
  // The removed profile holds nothing any more (no cycle keeps it alive).
  EXPECT_EQ(pb->includes.count() + pb->included_by.count() + pb->users_by_uid.count(), 0u);
  EXPECT_EQ(pb->ref_count(), 1u);
  EXPECT_EQ(file("unixprofiles").size(), 2u * 784);

  restart_all();
  pa = nss_profile_get_by_id(*d_, a);
  ASSERT_TRUE(pa);
  EXPECT_EQ(pa->includes.count(), 1u);
  EXPECT_TRUE(pa->includes.get_rw(c));
}

TEST_F(ProfileCommandsTest, SearchListsMatchingProfiles) {
  const uint64_t linux_id = insert("Linux", "all hosts");
  insert("windows");
  const uint64_t alice = add_user("alice");
  const uint64_t dev = group_insert("dev");
  ASSERT_EQ(member_user("add", linux_id, u_attrs(alice, 1001, "/bin/bash", "/home/a") + " r='1'"),
            0u);
  ASSERT_EQ(member_group("add", linux_id, "g='" + std::to_string(dev) + "' gid='500'"), 0u);

  ASSERT_EQ(cmd("nssProfileSearch", "", "<s>^lin</s>"), 0u);
  const kt::xmldoc_node* list = answer("nssprofiles");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->child_count(), 1u);
  const kt::xmldoc_node* p = list->first_child();
  EXPECT_EQ(p->attr_get_value("id"), std::to_string(linux_id));
  EXPECT_EQ(p->attr_get_value("name"), "Linux");
  EXPECT_EQ(p->attr_get_value("descr"), "all hosts");
  const kt::xmldoc_node* u = p->get("u");
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->attr_get_value("id"), std::to_string(alice));
  EXPECT_EQ(u->attr_get_value("uid"), "1001");
  EXPECT_EQ(u->attr_get_value("home"), "/home/a");
  EXPECT_EQ(u->attr_get_value("shell"), "/bin/bash");
  EXPECT_EQ(u->attr_get_value("su"), "1");
  ASSERT_NE(p->get("g"), nullptr);
  EXPECT_EQ(p->get("g")->attr_get_value("gid"), "500");

  ASSERT_EQ(cmd("nssProfileSearch", "", "<s opt='1'>^lin</s>"), 0u);
  EXPECT_EQ(answer("nssprofiles")->child_count(), 0u);
  ASSERT_EQ(cmd("nssProfileSearch", "", "<s></s>"), 0u);
  EXPECT_EQ(answer("nssprofiles")->child_count(), 2u);
  EXPECT_EQ(cmd("nssProfileSearch", "", "<s>(</s>"), E_INVALID_REGEX);
  EXPECT_EQ(cmd("nssProfileSearch", "", ""), E_INVALID_REQUEST);
}

TEST_F(ProfileCommandsTest, LookupsAnswerOnlyAllowedConnections) {
  insert("linux");
  EXPECT_EQ(lookup("pamGetPWEntries", " profile='linux'"), 0u);
  peer = "10.1.2.3";
  for (const char* name : {"pamGetPWEntries", "pamGetGREntries", "pamGetPWUID", "pamGetPWName",
                           "pamGetGRGID", "pamGetGRName"}) {
    EXPECT_EQ(lookup(name, " profile='linux' uid='1' gid='1' uname='a' name='a'"),
              E_ACCESS_VIOLATION)
        << name;
  }
  // With the restriction lifted every address may ask.
  peer = "127.0.0.1";
  ASSERT_EQ(cmd("attrEdit", " targettype='0' target='" + std::to_string(d_->id) + "'",
                "<a name='nssProfilesApiNcOnly'>0</a>"),
            0u)
      << response_text();
  peer = "10.1.2.3";
  EXPECT_EQ(lookup("pamGetPWEntries", " profile='linux'"), 0u);
  EXPECT_EQ(lookup("pamGetPWEntries", " profile='other'"), E_NSS_PROFILE_NOT_FOUND);
  EXPECT_EQ(message(), "nss profile not found.");
  EXPECT_EQ(lookup("pamGetPWEntries", ""), E_INVALID_REQUEST);
}

TEST_F(ProfileCommandsTest, PasswdEntries) {
  const uint64_t p = insert("linux");
  const uint64_t alice = add_user("alice");
  const uint64_t bob = add_user("bob", "Passw0rd", " flags='2'");
  const uint64_t locked = add_user("locked", "Passw0rd", " flags='8'");
  ASSERT_EQ(member_user("add", p, u_attrs(alice, 1001, "/bin/bash", "/home/alice") + " r='1'"), 0u);
  ASSERT_EQ(member_user("add", p, u_attrs(bob, 1002)), 0u);
  ASSERT_EQ(member_user("add", p, u_attrs(locked, 1003)), 0u);

  ASSERT_EQ(lookup("pamGetPWEntries", " profile='linux'"), 0u);
  EXPECT_EQ(names("pwentries"), (std::vector<std::string>{"alice", "bob"}));
  const kt::xmldoc_node* u = first_entry("pwentries");
  ASSERT_NE(u, nullptr);
  kt::ref_ptr<user> ua = d_->users_by_id.get_rw(alice);
  std::vector<std::string> attrs;
  for (const auto& a : u->attrs()) attrs.push_back(a.name);
  EXPECT_EQ(attrs, (std::vector<std::string>{"uid", "s", "h", "n", "p", "pl", "pv", "f"}));
  EXPECT_EQ(u->attr_get_value("uid"), "1001");
  EXPECT_EQ(u->attr_get_value("s"), "/bin/bash");
  EXPECT_EQ(u->attr_get_value("h"), "/home/alice");
  EXPECT_EQ(u->attr_get_value("p"), std::string(ua->nss_password));
  EXPECT_EQ(u->attr_get_value("p").substr(0, 3), "$6$");
  EXPECT_EQ(u->attr_get_value("pl"), std::to_string(ua->pwd_changed / 86400));
  EXPECT_EQ(u->attr_get_value("pv"), "180");
  EXPECT_EQ(u->attr_get_value("f"), "1");
  EXPECT_EQ(names("pwentries", "pv")[1], "99998");

  ASSERT_EQ(lookup("pamGetPWUID", " profile='linux' uid='1002'"), 0u);
  EXPECT_EQ(names("pwentry"), std::vector<std::string>{"bob"});
  ASSERT_EQ(lookup("pamGetPWName", " profile='linux' uname='alice'"), 0u);
  EXPECT_EQ(names("pwentry", "uid"), std::vector<std::string>{"1001"});
  EXPECT_EQ(lookup("pamGetPWUID", " profile='linux' uid='4242'"), E_USER_NOT_FOUND);
  EXPECT_EQ(lookup("pamGetPWName", " profile='linux' uname='nobody'"), E_USER_NOT_FOUND);
  EXPECT_EQ(lookup("pamGetPWUID", " profile='linux' uid='-1'"), E_INVALID_REQUEST);
  // A locked account: its check's code with an empty entry.
  EXPECT_EQ(lookup("pamGetPWName", " profile='linux' uname='locked'"), E_USER_LOCKED);
  ASSERT_NE(answer("pwentry"), nullptr);
  EXPECT_EQ(answer("pwentry")->child_count(), 0u);

  // A renamed user is found under its new name.
  ASSERT_EQ(run("<orvane><userEdit domain='ORVANE' token='" + admin_ + "'><u id='" +
                std::to_string(alice) + "' uname='alicia'/></userEdit></orvane>"),
            0u)
      << response_text();
  ASSERT_EQ(lookup("pamGetPWName", " profile='linux' uname='alicia'"), 0u);
  EXPECT_EQ(lookup("pamGetPWName", " profile='linux' uname='alice'"), E_USER_NOT_FOUND);
}

TEST_F(ProfileCommandsTest, GroupEntries) {
  const uint64_t p = insert("linux");
  const uint64_t alice = add_user("alice");
  const uint64_t bob = add_user("bob");
  const uint64_t carol = add_user("carol");
  const uint64_t locked = add_user("locked", "Passw0rd", " flags='8'");
  const uint64_t dev = group_insert("dev");
  const uint64_t web = group_insert("web");
  // web is a member group of dev; bob is in both.
  ASSERT_EQ(run("<orvane><groupEdit domain='ORVANE' token='" + admin_ + "'><g id='" +
                std::to_string(web) + "'><memberof><g id='" + std::to_string(dev) +
                "'/></memberof></g></groupEdit></orvane>"),
            0u)
      << response_text();
  join(bob, {dev, web});
  join(carol, {web});
  ASSERT_EQ(member_user("add", p, u_attrs(alice, 1001)), 0u);
  ASSERT_EQ(member_user("add", p, u_attrs(locked, 1003)), 0u);
  ASSERT_EQ(member_group("add", p, "g='" + std::to_string(dev) + "' gid='500'"), 0u);

  ASSERT_EQ(lookup("pamGetGREntries", " profile='linux'"), 0u);
  const kt::xmldoc_node* list = answer("grentries");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->child_count(), 2u);
  const kt::xmldoc_node* own = list->children()[0].get();
  EXPECT_EQ(own->attr_get_value("gid"), "1001");
  EXPECT_EQ(own->attr_get_value("n"), "alice");
  EXPECT_EQ(own->value(), "alice");
  const kt::xmldoc_node* g = list->children()[1].get();
  EXPECT_EQ(g->attr_get_value("gid"), "500");
  EXPECT_EQ(g->attr_get_value("n"), "dev");
  // The group's users, then its member groups' users, each once; not limited to the profile.
  EXPECT_EQ(g->value(), "bob,carol");

  ASSERT_EQ(lookup("pamGetGRGID", " profile='linux' gid='500'"), 0u);
  EXPECT_EQ(names("grentry"), std::vector<std::string>{"dev"});
  ASSERT_EQ(lookup("pamGetGRName", " profile='linux' name='dev'"), 0u);
  EXPECT_EQ(names("grentry", "gid"), std::vector<std::string>{"500"});
  // A member user's own group.
  ASSERT_EQ(lookup("pamGetGRGID", " profile='linux' gid='1001'"), 0u);
  EXPECT_EQ(names("grentry"), std::vector<std::string>{"alice"});
  EXPECT_EQ(first_entry("grentry")->value(), "alice");
  ASSERT_EQ(lookup("pamGetGRName", " profile='linux' name='alice'"), 0u);
  EXPECT_EQ(names("grentry", "gid"), std::vector<std::string>{"1001"});
  // Nothing found, or only a locked account's own group: the bare failure.
  EXPECT_EQ(lookup("pamGetGRGID", " profile='linux' gid='9'"), E_FAILED);
  EXPECT_EQ(lookup("pamGetGRGID", " profile='linux' gid='1003'"), E_FAILED);
  EXPECT_EQ(lookup("pamGetGRName", " profile='linux' name='web'"), E_FAILED);
  EXPECT_EQ(lookup("pamGetGRName", " profile='linux'"), E_INVALID_REQUEST);
}

TEST_F(ProfileCommandsTest, LookupsWalkIncludedProfilesEachOnce) {
  const uint64_t a = insert("a");
  const uint64_t b = insert("b");
  const uint64_t c = insert("c");
  const uint64_t alice = add_user("alice");
  const uint64_t bob = add_user("bob");
  const uint64_t carol = add_user("carol");
  const uint64_t dev = group_insert("dev");
  // a includes b and c, b includes c: c is reached twice but walked once. (An edit replaces
  // the members too, so they come after.)
  ASSERT_EQ(edit(b, "", "<i id='" + std::to_string(c) + "'/>"), 0u);
  ASSERT_EQ(member_user("add", b, u_attrs(bob, 1002)), 0u);
  ASSERT_EQ(member_user("add", c, u_attrs(carol, 1003)), 0u);
  ASSERT_EQ(member_group("add", c, "g='" + std::to_string(dev) + "' gid='500'"), 0u);
  ASSERT_EQ(edit(a, "",
                 "<u id='" + std::to_string(alice) + "' uid='1001' shell='/bin/sh' home='/h'/>" +
                     "<i id='" + std::to_string(b) + "'/><i id='" + std::to_string(c) + "'/>"),
            0u);

  ASSERT_EQ(lookup("pamGetPWEntries", " profile='a'"), 0u);
  EXPECT_EQ(names("pwentries"), (std::vector<std::string>{"alice", "bob", "carol"}));
  ASSERT_EQ(lookup("pamGetGREntries", " profile='a'"), 0u);
  EXPECT_EQ(names("grentries"), (std::vector<std::string>{"alice", "bob", "carol", "dev"}));
  ASSERT_EQ(lookup("pamGetPWName", " profile='a' uname='carol'"), 0u);
  EXPECT_EQ(names("pwentry", "uid"), std::vector<std::string>{"1003"});
  ASSERT_EQ(lookup("pamGetPWUID", " profile='a' uid='1002'"), 0u);
  ASSERT_EQ(lookup("pamGetGRGID", " profile='a' gid='500'"), 0u);
  ASSERT_EQ(lookup("pamGetGRName", " profile='b' name='dev'"), 0u);
  // Inclusion is one way.
  EXPECT_EQ(lookup("pamGetPWName", " profile='c' uname='alice'"), E_USER_NOT_FOUND);

  // A loop that got into memory anyway (the commands and the loader refuse one) does not make
  // the walk run forever.
  kt::ref_ptr<nss_profile> pa = nss_profile_get_by_id(*d_, a);
  kt::ref_ptr<nss_profile> pc = nss_profile_get_by_id(*d_, c);
  _nss_profile_set_includes(*pc, {pa});
  ASSERT_EQ(lookup("pamGetPWEntries", " profile='c'"), 0u);
  EXPECT_EQ(names("pwentries"), (std::vector<std::string>{"carol", "alice", "bob"}));
  EXPECT_EQ(lookup("pamGetPWName", " profile='b' uname='nobody'"), E_USER_NOT_FOUND);
  EXPECT_EQ(lookup("pamGetGRGID", " profile='b' gid='7'"), E_FAILED);
  _nss_profile_set_includes(*pc, {});
}

TEST_F(ProfileCommandsTest, RemovedAccountsLeaveEveryProfile) {
  const uint64_t a = insert("a");
  const uint64_t b = insert("b");
  const uint64_t alice = add_user("alice");
  const uint64_t bob = add_user("bob");
  ASSERT_EQ(member_user("add", a, u_attrs(alice, 1001)), 0u);
  ASSERT_EQ(member_user("add", a, u_attrs(bob, 1002)), 0u);
  ASSERT_EQ(member_user("add", b, u_attrs(alice, 2001)), 0u);

  ASSERT_EQ(run("<orvane><userRemove domain='ORVANE' token='" + admin_ + "'><u id='" +
                std::to_string(alice) + "'/></userRemove></orvane>"),
            0u)
      << response_text();
  ASSERT_EQ(user_file(a).size(), 1u);
  EXPECT_EQ(user_file(a)[0].user_id, bob);
  EXPECT_FALSE(exists("unixprofilee_users_" + std::to_string(b)));
  kt::ref_ptr<nss_profile> pa = nss_profile_get_by_id(*d_, a);
  EXPECT_FALSE(pa->users_by_uid.get_rw(1001));
  EXPECT_FALSE(pa->users_by_name.get_rw("alice"));
  EXPECT_EQ(nss_profile_get_by_id(*d_, b)->users_by_uid.count(), 0u);

  // groupRemove likewise.
  const uint64_t dev = group_insert("dev");
  ASSERT_EQ(member_group("add", a, "g='" + std::to_string(dev) + "' gid='500'"), 0u);
  ASSERT_EQ(member_group("add", b, "g='" + std::to_string(dev) + "' gid='600'"), 0u);
  ASSERT_EQ(run("<orvane><groupRemove domain='ORVANE' token='" + admin_ + "'><g id='" +
                std::to_string(dev) + "'/></groupRemove></orvane>"),
            0u)
      << response_text();
  EXPECT_FALSE(exists("unixprofilee_groups_" + std::to_string(a)));
  EXPECT_FALSE(exists("unixprofilee_groups_" + std::to_string(b)));
  EXPECT_EQ(pa->groups_by_gid.count(), 0u);
  EXPECT_EQ(pa->groups_by_name.count(), 0u);
}

TEST_F(ProfileCommandsTest, EverythingSurvivesARestart) {
  const uint64_t a = insert("a", "first");
  const uint64_t b = insert("b");
  const uint64_t alice = add_user("alice");
  const uint64_t bob = add_user("bob");
  const uint64_t dev = group_insert("dev");
  ASSERT_EQ(member_user("add", a, u_attrs(alice, 1001, "/bin/bash", "/home/alice") + " r='1'"), 0u);
  ASSERT_EQ(member_user("add", b, u_attrs(bob, 1002)), 0u);
  ASSERT_EQ(member_group("add", a, "g='" + std::to_string(dev) + "' gid='500'"), 0u);
  ASSERT_EQ(edit(a, "",
                 "<u id='" + std::to_string(alice) +
                     "' uid='1001' shell='/bin/bash' home='/home/alice' su='1'/><g id='" +
                     std::to_string(dev) + "' gid='500'/><i id='" + std::to_string(b) + "'/>"),
            0u);
  ASSERT_EQ(lookup("pamGetPWEntries", " profile='a'"), 0u);
  const std::string before = response_text();

  restart_all();
  ASSERT_EQ(lookup("pamGetPWEntries", " profile='a'"), 0u);
  EXPECT_EQ(response_text(), before);
  ASSERT_EQ(lookup("pamGetGRGID", " profile='a' gid='500'"), 0u);
  kt::ref_ptr<nss_profile> pa = nss_profile_get_by_id(*d_, a);
  kt::ref_ptr<nss_profile> pb = nss_profile_get_by_id(*d_, b);
  ASSERT_TRUE(pa && pb);
  EXPECT_EQ(pa->descr, "first");
  EXPECT_TRUE(pb->included_by.get_rw(a));
  kt::ref_ptr<nss_profile_user> m = pa->users_by_name.get_rw("alice");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->uid, 1001u);
  EXPECT_EQ(m->home, "/home/alice");
  EXPECT_EQ(m->shell, "/bin/bash");
  EXPECT_EQ(m->flags, NSS_PROFILE_USER_SU);
}

TEST_F(ProfileCommandsTest, LoaderSkipsDamagedMemberFiles) {
  const uint64_t a = insert("a");
  const uint64_t b = insert("b");
  const uint64_t alice = add_user("alice");
  ASSERT_EQ(member_user("add", a, u_attrs(alice, 1001)), 0u);
  ASSERT_EQ(edit(b, "", "<i id='" + std::to_string(a) + "'/>"), 0u);
  // A loop, an unknown profile, a duplicate, an unknown user, a duplicate uid and a partial
  // record written behind the server's back.
  auto u64 = [](uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); };
  const std::string dir = path_domain_file(d_->id, "");
  ASSERT_EQ(kt::write_file((dir + "unixprofile_memberof_" + std::to_string(a)).c_str(),
                           u64(b) + u64(a) + u64(777) + u64(b)),
            0);
  std::string users = file("unixprofilee_users_" + std::to_string(a));
  ASSERT_EQ(users.size(), 784u);
  std::string ghost = users;
  ghost.replace(0, 8, u64(alice + 999));
  std::string same_uid = users;
  same_uid.replace(0, 8, u64(add_user("bob")));
  ASSERT_EQ(kt::write_file((dir + "unixprofilee_users_" + std::to_string(a)).c_str(),
                           users + ghost + same_uid + users + "xyz"),
            0);

  restart_all();
  kt::ref_ptr<nss_profile> pa = nss_profile_get_by_id(*d_, a);
  kt::ref_ptr<nss_profile> pb = nss_profile_get_by_id(*d_, b);
  ASSERT_TRUE(pa && pb);
  EXPECT_EQ(pa->users_by_uid.count(), 1u);
  EXPECT_EQ(pa->users_by_name.count(), 1u);
  // One of the two directions of the loop is dropped.
  EXPECT_EQ(pa->includes.count() + pb->includes.count(), 1u);
  EXPECT_FALSE(nss_profile_reaches(*pa, *pb) && nss_profile_reaches(*pb, *pa));
  EXPECT_EQ(lookup("pamGetPWEntries", " profile='a'"), 0u);
  EXPECT_EQ(lookup("pamGetPWEntries", " profile='b'"), 0u);
}

}  // namespace
}  // namespace orvane
