// The group commands through the dispatcher, on a server context built on a temporary root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/groups/group_records.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "support/server_fixture.h"
#include "utils/files.h"

namespace orvane {
namespace {

using orvane_test::server_fixture;

class GroupCommandsTest : public server_fixture {
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

  // A command on the root domain, by default with the Administrator's token.
  uint32_t cmd(const std::string& name, const std::string& body, const std::string& tok = "") {
    return run("<orvane><" + name + " domain='ORVANE' token='" + (tok.empty() ? admin_ : tok) +
               "'>" + body + "</" + name + "></orvane>");
  }
  uint64_t insert(const std::string& name, const std::string& children = "") {
    EXPECT_EQ(cmd("groupInsert", "<g name='" + name + "'>" + children + "</g>"), 0u)
        << response_text();
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }
  uint32_t edit(uint64_t id, const std::string& extra, const std::string& children = "") {
    return cmd("groupEdit", "<g id='" + std::to_string(id) + "'" + extra + ">" + children + "</g>");
  }

  static std::string memberof(std::initializer_list<uint64_t> ids) {
    std::string out = "<memberof>";
    for (uint64_t id : ids) out += "<g id='" + std::to_string(id) + "'/>";
    return out + "</memberof>";
  }

  kt::ref_ptr<group> by_name(const std::string& name) { return d_->groups_by_name.get_rw(name); }
  kt::ref_ptr<group> by_id(uint64_t id) { return d_->groups_by_id.get_rw(id); }

  // child is a direct member of parent, seen from both sides.
  bool nested(uint64_t child, uint64_t parent) {
    kt::ref_ptr<group> c = by_id(child);
    kt::ref_ptr<group> p = by_id(parent);
    const bool down = p && group_is_member(p->member_groups, child) == 0;
    const bool up = c && group_is_member(c->member_of, parent) == 0;
    EXPECT_EQ(down, up) << "one-sided link " << child << " in " << parent;
    return down && up;
  }
  size_t parents(uint64_t id) {
    kt::ref_ptr<group> gr = by_id(id);
    if (!gr) {
      ADD_FAILURE() << "no group " << id;
      return 0;
    }
    return gr->member_of.count();
  }

  std::string member_file(const char* kind, uint64_t id) {
    return path_domain_file(d_->id, (std::string(kind) + std::to_string(id)).c_str());
  }
  static long file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
  }
  // Puts a directory where a record file is expected, so the store can't open it.
  static void block(const std::string& path) {
    ::unlink(path.c_str());
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  }

  std::vector<std::unique_ptr<auditlog_entry>> audit_entries() {
    std::vector<std::unique_ptr<auditlog_entry>> out;
    if (!d_->log) return out;
    auditlog_backup_flush(*d_->log, [] { return 0; });
    std::unique_ptr<auditlog> log = auditlog_open(path_auditlog_dir(d_->id), true);
    if (!log) return out;
    const time_t now = time(nullptr);
    auditlog_read_begin(*log, now - 86400, now + 86400);
    std::unique_ptr<auditlog_entry> e;
    while (auditlog_read_entry(*log, &e) > 0) out.push_back(std::move(e));
    return out;
  }

  kt::ref_ptr<domain> d_;
  std::string admin_;
};

// --- groupInsert ---

TEST_F(GroupCommandsTest, InsertWithParentsSurvivesRestart) {
  const uint64_t dev = insert("dev");
  const uint64_t ops = insert("ops");
  const uint64_t team = insert("team", memberof({dev, ops, dev}));
  ASSERT_NE(team, 0u);
  EXPECT_EQ(by_id(team)->flags, 0u);
  EXPECT_EQ(by_name("team"), by_id(team));
  EXPECT_TRUE(nested(team, dev));
  EXPECT_TRUE(nested(team, ops));
  EXPECT_EQ(parents(team), 2u);
  EXPECT_EQ(file_size(member_file("group_groups_", dev)), 12);
  restart_all();
  EXPECT_TRUE(nested(team, dev));
  EXPECT_TRUE(nested(team, ops));
  EXPECT_EQ(by_id(team)->name, "team");
}

TEST_F(GroupCommandsTest, InsertRefusalsCreateNothing) {
  const uint64_t dev = insert("dev");
  const uint64_t before = d_->groups_by_id.count();
  EXPECT_EQ(cmd("groupInsert", ""), 0x10u);
  EXPECT_EQ(cmd("groupInsert", "<g/>"), 0x10u);
  EXPECT_EQ(cmd("groupInsert", "<g name='a b'/>"), 0x15u);
  EXPECT_EQ(cmd("groupInsert", "<g name=''/>"), 0x15u);
  EXPECT_EQ(cmd("groupInsert", "<g name='" + std::string(256, 'n') + "'/>"), 0x14u);
  // The record holds 127 bytes of a name; a longer one would come back cut.
  EXPECT_EQ(cmd("groupInsert", "<g name='" + std::string(128, 'n') + "'/>"), 0x14u);
  EXPECT_EQ(cmd("groupInsert", "<g name='dev'/>"), 0x602u);
  EXPECT_EQ(cmd("groupInsert", "<g name='Administrators'/>"), 0x602u);
  EXPECT_EQ(cmd("groupInsert", "<g name='x'>" + memberof({d_->all_users->id}) + "</g>"), 0x608u);
  EXPECT_EQ(cmd("groupInsert", "<g name='x'>" + memberof({dev, 4711}) + "</g>"), 0x605u);
  EXPECT_EQ(cmd("groupInsert", "<g name='x'><memberof><x id='1'/></memberof></g>"), 0x10u);
  EXPECT_EQ(cmd("groupInsert", "<g name='x'><memberof><g/></memberof></g>"), 0x10u);
  EXPECT_EQ(cmd("groupInsert", "<g name='x'><memberof><g id=''/></memberof></g>"), 0x10u);
  EXPECT_EQ(cmd("groupInsert", "<g name='x'><memberof><g id='12x'/></memberof></g>"), 0x605u);
  EXPECT_EQ(d_->groups_by_id.count(), before);
  EXPECT_FALSE(by_name("x"));
  EXPECT_EQ(by_id(dev)->member_groups.count(), 0u);
  EXPECT_EQ(file_size(member_file("group_groups_", dev)), -1);

  const uint64_t longest = insert(std::string(127, 'n'));
  restart_all();
  EXPECT_EQ(by_name(std::string(127, 'n'))->id, longest);
}

TEST_F(GroupCommandsTest, FirstUnknownChildDecidesEvenBeforeValidOnes) {
  const uint64_t dev = insert("dev");
  const uint64_t team = insert("team", memberof({dev}));
  const uint64_t ops = insert("ops");
  EXPECT_EQ(cmd("groupInsert", "<g name='x'>" + memberof({4711, dev}) + "</g>"), 0x605u);
  EXPECT_EQ(edit(team, "", memberof({4711, ops})), 0x605u);
  // An unknown id ends the walk before a later AllUsers.
  EXPECT_EQ(edit(team, "", memberof({4711, d_->all_users->id})), 0x605u);
  EXPECT_EQ(edit(team, "", memberof({ops, d_->all_users->id})), 0x608u);
  EXPECT_TRUE(nested(team, dev));
  EXPECT_FALSE(nested(team, ops));
  EXPECT_FALSE(by_name("x"));
}

TEST_F(GroupCommandsTest, RefusedStoreWriteLeavesNothing) {
  const uint64_t parent = insert("parent");
  const std::string groups = path_domain_file(d_->id, "groups");
  ASSERT_EQ(::rename(groups.c_str(), (groups + ".away").c_str()), 0);
  ASSERT_EQ(::mkdir(groups.c_str(), 0700), 0);
  const uint64_t before = d_->groups_by_id.count();
  EXPECT_NE(cmd("groupInsert", "<g name='nostore'>" + memberof({parent}) + "</g>"), 0u);
  EXPECT_EQ(answer("insertedId"), nullptr);
  EXPECT_EQ(d_->groups_by_id.count(), before);
  EXPECT_FALSE(by_name("nostore"));
  EXPECT_EQ(by_id(parent)->member_groups.count(), 0u);
  // The member record written ahead of the refused group record was taken back.
  EXPECT_LE(file_size(member_file("group_groups_", parent)), 0);
  // Neither a rename nor a removal happens without its record.
  EXPECT_NE(edit(parent, " name='renamed'"), 0u);
  EXPECT_EQ(by_id(parent)->name, "parent");
  EXPECT_FALSE(by_name("renamed"));
  EXPECT_NE(cmd("groupRemove", "<g name='parent'/>"), 0u);
  EXPECT_TRUE(by_id(parent));
  ASSERT_EQ(::rmdir(groups.c_str()), 0);
  ASSERT_EQ(::rename((groups + ".away").c_str(), groups.c_str()), 0);
  restart_all();
  EXPECT_EQ(by_id(parent)->name, "parent");
  EXPECT_FALSE(by_name("nostore"));
}

TEST_F(GroupCommandsTest, RefusedMemberRecordIsReportedAndNotMadeInMemory) {
  const uint64_t parent = insert("parent");
  const uint64_t other = insert("other");
  const uint64_t child = insert("child", memberof({other}));
  block(member_file("group_groups_", parent));
  const uint64_t before = d_->groups_by_id.count();

  // groupInsert: the whole new group goes again.
  EXPECT_NE(cmd("groupInsert", "<g name='late'>" + memberof({other, parent}) + "</g>"), 0u);
  EXPECT_FALSE(by_name("late"));
  EXPECT_EQ(d_->groups_by_id.count(), before);
  EXPECT_EQ(by_id(other)->member_groups.count(), 1u);  // child only
  EXPECT_EQ(file_size(member_file("group_groups_", other)), 12);

  // groupEdit: the refused link is not made; the rest of the request is.
  EXPECT_NE(edit(child, "", memberof({parent})), 0u);
  EXPECT_FALSE(nested(child, parent));
  EXPECT_FALSE(nested(child, other));

  // userInsert: the new user goes again.
  block(member_file("group_users_", parent));
  EXPECT_NE(cmd("userInsert", "<u uname='late'><p>Passw0rd</p>" + memberof({parent}) + "</u>"), 0u);
  EXPECT_FALSE(d_->users_by_name.get_rw("late"));
  restart_all();
  EXPECT_FALSE(by_name("late"));
  EXPECT_FALSE(d_->users_by_name.get_rw("late"));
  EXPECT_EQ(parents(child), 0u);
}

// --- groupEdit ---

TEST_F(GroupCommandsTest, LoopsOfEveryShapeAreRefused) {
  const uint64_t a = insert("A");
  const uint64_t b = insert("B");
  const uint64_t c = insert("C");
  ASSERT_EQ(edit(a, "", memberof({b})), 0u);
  EXPECT_EQ(edit(b, "", memberof({a})), 0x603u);
  EXPECT_EQ(message(),
            "group A cannot become member of group B becouse group B is already a member of "
            "group A. (loop)");
  ASSERT_EQ(edit(b, "", memberof({c})), 0u);  // A in B in C
  EXPECT_EQ(edit(c, "", memberof({a})), 0x603u);
  EXPECT_EQ(edit(c, "", memberof({b})), 0x603u);
  EXPECT_EQ(edit(a, "", memberof({a})), 0x604u);
  EXPECT_EQ(edit(a, "", memberof({c, a})), 0x604u);  // a valid entry first does not help
  EXPECT_EQ(cmd("groupEdit", "<g name='A'>" + memberof({a}) + "</g>"), 0x604u);
  // Nothing changed.
  EXPECT_TRUE(nested(a, b));
  EXPECT_TRUE(nested(b, c));
  EXPECT_EQ(parents(a), 1u);
  EXPECT_EQ(parents(c), 0u);
  EXPECT_EQ(file_size(member_file("group_groups_", a)), -1);
  // A shortcut that closes no loop is fine.
  EXPECT_EQ(edit(a, "", memberof({b, c})), 0u);
  EXPECT_EQ(parents(a), 2u);
}

TEST_F(GroupCommandsTest, MemberofReplacesEmptyRemovesAbsentKeeps) {
  const uint64_t dev = insert("dev");
  const uint64_t ops = insert("ops");
  const uint64_t team = insert("team", memberof({dev, ops}));
  ASSERT_EQ(edit(team, "", memberof({ops})), 0u);
  EXPECT_FALSE(nested(team, dev));
  EXPECT_TRUE(nested(team, ops));
  EXPECT_EQ(file_size(member_file("group_groups_", dev)), 0);
  // Without memberof (here a rename) the parents stay.
  ASSERT_EQ(edit(team, " name='crew'"), 0u);
  EXPECT_TRUE(nested(team, ops));
  restart_all();
  EXPECT_TRUE(nested(team, ops));
  EXPECT_EQ(by_name("crew")->id, team);
  ASSERT_EQ(edit(team, "", "<memberof/>"), 0u);
  EXPECT_EQ(parents(team), 0u);
  EXPECT_EQ(by_id(ops)->member_groups.count(), 0u);
  restart_all();
  EXPECT_EQ(parents(team), 0u);
}

TEST_F(GroupCommandsTest, RenameAndLookupRules) {
  const uint64_t dev = insert("dev");
  insert("ops");
  EXPECT_EQ(cmd("groupEdit", ""), 0x10u);
  EXPECT_EQ(cmd("groupEdit", "<g/>"), 0x10u);
  EXPECT_EQ(cmd("groupEdit", "<g id=''/>"), 0x10u);
  EXPECT_EQ(cmd("groupEdit", "<g name='nobody'/>"), 0x601u);
  EXPECT_EQ(cmd("groupEdit", "<g id='4711'/>"), 0x601u);
  EXPECT_EQ(edit(dev, " name='bad name'"), 0x15u);
  EXPECT_EQ(edit(dev, " name='" + std::string(128, 'n') + "'"), 0x14u);
  EXPECT_EQ(edit(dev, " name='ops'"), 0x602u);
  EXPECT_EQ(edit(dev, " name='dev'"), 0u);  // its own name: nothing to do
  EXPECT_EQ(cmd("groupEdit", "<g name='dev'/>"), 0u);
  ASSERT_EQ(edit(dev, " name='Dev2'"), 0u);
  EXPECT_FALSE(by_name("dev"));
  EXPECT_EQ(by_name("Dev2")->id, dev);
  restart_all();
  EXPECT_EQ(by_name("Dev2")->id, dev);
  EXPECT_FALSE(by_name("dev"));
}

TEST_F(GroupCommandsTest, RefusedEditChangesNothing) {
  const uint64_t a = insert("A");
  const uint64_t b = insert("B", memberof({a}));
  const uint64_t c = insert("C");
  // Rename plus a loop; rename clash plus a valid list; AllUsers rule plus a rename.
  EXPECT_EQ(edit(a, " name='A2'", memberof({c, b})), 0x603u);
  EXPECT_EQ(edit(b, " name='C'", memberof({c})), 0x602u);
  EXPECT_EQ(edit(b, " name='B2'", memberof({c, 4711})), 0x605u);
  EXPECT_EQ(edit(d_->all_users->id, " name='Everyone'", memberof({c})), 0x607u);
  EXPECT_EQ(edit(d_->administrators->id, " name='Admins'", memberof({c})), 0x606u);
  EXPECT_EQ(by_id(a)->name, "A");
  EXPECT_EQ(by_id(b)->name, "B");
  EXPECT_TRUE(by_name("B"));
  EXPECT_FALSE(by_name("A2"));
  EXPECT_FALSE(by_name("B2"));
  EXPECT_TRUE(nested(b, a));
  EXPECT_FALSE(nested(b, c));
  EXPECT_EQ(parents(a), 0u);
  EXPECT_EQ(parents(d_->administrators->id), 0u);
  EXPECT_EQ(file_size(member_file("group_groups_", c)), -1);
}

// --- system groups and AllUsers ---

TEST_F(GroupCommandsTest, SystemGroupsCannotBeRenamedOrRemoved) {
  const uint64_t admins = d_->administrators->id;
  const uint64_t all = d_->all_users->id;
  const uint64_t top = insert("top");
  EXPECT_EQ(edit(admins, " name='Admins'"), 0x606u);
  EXPECT_EQ(message(), "system group cannot be renamed or deleted.");
  EXPECT_EQ(edit(all, " name='Everyone'"), 0x606u);
  EXPECT_EQ(cmd("groupRemove", "<g name='Administrators'/>"), 0x606u);
  EXPECT_EQ(cmd("groupRemove", "<g id='" + std::to_string(all) + "'/>"), 0x606u);
  // A memberof-only edit of Administrators goes through, also when it quotes its own name.
  EXPECT_EQ(edit(admins, "", memberof({top})), 0u);
  EXPECT_TRUE(nested(admins, top));
  EXPECT_EQ(edit(admins, " name='Administrators'", "<memberof/>"), 0u);
  EXPECT_FALSE(nested(admins, top));
  restart_all();
  EXPECT_EQ(d_->administrators->name, "Administrators");
  EXPECT_EQ(d_->all_users->name, "AllUsers");
}

TEST_F(GroupCommandsTest, AllUsersJoinsNothingAndIsJoinedByNothing) {
  const uint64_t all = d_->all_users->id;
  const uint64_t top = insert("top");
  const uint64_t uid = add_user("alice");
  EXPECT_EQ(edit(all, "", memberof({top})), 0x607u);
  EXPECT_EQ(message(), "AllUsers group cannot be a member of other groups.");
  EXPECT_EQ(edit(all, "", "<memberof/>"), 0u);  // an empty list is no membership
  EXPECT_EQ(edit(top, "", memberof({all})), 0x608u);
  EXPECT_EQ(message(), "AllUsers group cannot be used as a group for membership.");
  EXPECT_EQ(cmd("groupInsert", "<g name='x'>" + memberof({top, all}) + "</g>"), 0x608u);
  EXPECT_EQ(cmd("userEdit", "<u id='" + std::to_string(uid) + "'>" + memberof({all}) + "</u>"),
            0x608u);
  EXPECT_EQ(cmd("userInsert", "<u uname='bob'><p>Passw0rd</p>" + memberof({all}) + "</u>"), 0x608u);
  EXPECT_EQ(parents(all), 0u);
  EXPECT_EQ(parents(top), 0u);
  EXPECT_EQ(d_->all_users->member_users.count(), 0u);
}

// --- groupRemove ---

TEST_F(GroupCommandsTest, RemoveTakesMembershipsPermissionsAndFilesAlong) {
  const uint64_t top = insert("top");
  const uint64_t keep = insert("keep");
  const uint64_t mid = insert("mid", memberof({top}));
  const uint64_t child = insert("child", memberof({mid, keep}));
  ASSERT_EQ(cmd("userInsert", "<u uname='alice'><p>Passw0rd</p>" + memberof({mid, keep}) + "</u>"),
            0u);
  const uint64_t alice = std::stoull(answer("insertedId")->value());
  ASSERT_EQ(d_->users_by_id.get_rw(alice)->groups.count(), 2u);

  // mid holds WRITE on OrvaneGroups: alice manages groups through it.
  kt::ref_ptr<resource> res = d_->resources_by_id.get_rw(d_->sys_res[SYS_RES_GROUPS]);
  ASSERT_TRUE(res);
  kt::ref_ptr<permission> p = permission_create();
  p->member_type = MEMBER_GROUP;
  p->member_id = mid;
  p->flags = PERM_READ | PERM_WRITE;
  p->target_id = res->id;
  ASSERT_EQ(permission_db_add(*d_, *p), 0);
  permission_attach(*res, p);
  ASSERT_EQ(_permission_fix_member_add(*d_, *p), 0);
  const uint64_t perm_id = p->id;
  p.reset();
  const long perms_size = file_size(path_domain_file(d_->id, "permissions"));
  const std::string alice_token = token("alice", "Passw0rd");
  EXPECT_EQ(cmd("groupSearch", "<s/>", alice_token), 0u);

  kt::ref_ptr<group> gone = by_id(mid);
  EXPECT_EQ(cmd("groupRemove", "<g id='" + std::to_string(mid) + "'/>"), 0u);
  EXPECT_FALSE(by_id(mid));
  EXPECT_FALSE(by_name("mid"));
  // No table of the removed group holds anything, and nothing points at it.
  EXPECT_EQ(gone->member_users.count() + gone->member_groups.count() + gone->member_of.count() +
                gone->permissions.count(),
            0u);
  kt::ref_ptr<user> u = d_->users_by_id.get_rw(alice);
  EXPECT_EQ(group_is_member(u->groups, mid), 1);
  EXPECT_EQ(group_is_member(u->groups, keep), 0);
  EXPECT_EQ(parents(child), 1u);
  EXPECT_TRUE(nested(child, keep));
  EXPECT_FALSE(nested(child, top));  // members do not move up to the parents
  EXPECT_EQ(by_id(top)->member_groups.count(), 0u);
  EXPECT_FALSE(res->permissions.get_rw(perm_id));
  EXPECT_EQ(file_size(member_file("group_users_", mid)), -1);
  EXPECT_EQ(file_size(member_file("group_groups_", mid)), -1);
  EXPECT_EQ(file_size(member_file("group_groups_", top)), 0);
  EXPECT_EQ(file_size(path_domain_file(d_->id, "permissions")),
            perms_size - static_cast<long>(PERMISSION_RECORD_SIZE));
  EXPECT_EQ(cmd("groupSearch", "<s/>", alice_token), 0x102u);
  EXPECT_EQ(gone->ref_count(), 1u);  // only ours is left
  gone.reset();
  u.reset();
  res.reset();

  restart_all();
  EXPECT_FALSE(by_id(mid));
  EXPECT_EQ(d_->users_by_id.get_rw(alice)->groups.count(), 1u);
  EXPECT_TRUE(nested(child, keep));
  EXPECT_EQ(parents(child), 1u);
  EXPECT_EQ(by_id(top)->member_groups.count(), 0u);
  EXPECT_FALSE(
      d_->resources_by_id.get_rw(d_->sys_res[SYS_RES_GROUPS])->permissions.get_rw(perm_id));
}

TEST_F(GroupCommandsTest, RemoveLookupErrors) {
  insert("dev");
  EXPECT_EQ(cmd("groupRemove", ""), 0x10u);
  EXPECT_EQ(cmd("groupRemove", "<g/>"), 0x10u);
  EXPECT_EQ(cmd("groupRemove", "<g name='nobody'/>"), 0x601u);
  EXPECT_EQ(message(), "group not found.");
  EXPECT_EQ(cmd("groupRemove", "<g id='4711'/>"), 0x601u);
  EXPECT_EQ(cmd("groupRemove", "<g name='dev'/>"), 0u);
  EXPECT_EQ(cmd("groupRemove", "<g name='dev'/>"), 0x601u);
}

// --- rights, search, audit ---

TEST_F(GroupCommandsTest, EveryCommandNeedsItsRight) {
  const uint64_t dev = insert("dev");
  add_user("plain");
  const std::string t = token("plain", "Passw0rd");
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(cmd("groupInsert", "<g name='x'/>", t), 0x102u);
  EXPECT_EQ(cmd("groupEdit", "<g id='" + std::to_string(dev) + "' name='y'/>", t), 0x102u);
  EXPECT_EQ(cmd("groupRemove", "<g name='dev'/>", t), 0x102u);
  EXPECT_EQ(cmd("groupSearch", "<s/>", t), 0x102u);
  EXPECT_EQ(message(), "access violation.");
  EXPECT_FALSE(by_name("x"));
  EXPECT_EQ(by_id(dev)->name, "dev");
}

TEST_F(GroupCommandsTest, SearchMatchesNamesAndListsParents) {
  const uint64_t dev = insert("dev");
  const uint64_t ops = insert("ops");
  const uint64_t devops = insert("devops", memberof({dev, ops}));
  insert("mydev");
  const auto names = [&](const std::string& body) {
    std::vector<std::string> out;
    EXPECT_EQ(cmd("groupSearch", body), 0u) << body;
    const kt::xmldoc_node* groups = answer("groups");
    if (groups == nullptr) return out;
    for (const auto& g : groups->children()) out.emplace_back(g->attr_get_value("name"));
    std::sort(out.begin(), out.end());
    return out;
  };
  using v = std::vector<std::string>;
  EXPECT_EQ(names("<s>^dev</s>"), (v{"dev", "devops"}));
  EXPECT_EQ(names("<s>^DEV</s>"), (v{"dev", "devops"}));
  EXPECT_EQ(names("<s opt='1'>^DEV</s>"), v{});
  EXPECT_EQ(names("<s opt='1'>^dev$</s>"), v{"dev"});
  EXPECT_EQ(names("<s>dev</s>"), (v{"dev", "devops", "mydev"}));
  EXPECT_EQ(names("<s/>").size(), 6u);  // with Administrators and AllUsers
  EXPECT_EQ(cmd("groupSearch", ""), 0x10u);
  EXPECT_EQ(cmd("groupSearch", "<s>(</s>"), 0x12u);

  ASSERT_EQ(cmd("groupSearch", "<s>^devops$</s>"), 0u);
  const kt::xmldoc_node* g = answer("groups")->first_child();
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(g->attr_get_value("id"), std::to_string(devops));
  const kt::xmldoc_node* mo = g->get("memberof");
  ASSERT_NE(mo, nullptr);
  ASSERT_EQ(mo->child_count(), 2u);
  std::vector<std::string> parent_ids;
  for (const auto& p : mo->children()) {
    EXPECT_EQ(p->name(), "g");
    parent_ids.emplace_back(p->attr_get_value("id"));
    EXPECT_EQ(p->attr_get_value("name"),
              p->attr_get_value("id") == std::to_string(dev) ? "dev" : "ops");
  }
  std::sort(parent_ids.begin(), parent_ids.end());
  v expected{std::to_string(dev), std::to_string(ops)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(parent_ids, expected);
  ASSERT_EQ(cmd("groupSearch", "<s>^dev$</s>"), 0u);
  EXPECT_EQ(answer("groups")->first_child()->get("memberof"), nullptr);
}

TEST_F(GroupCommandsTest, SuccessfulCommandsAreAudited) {
  const uint64_t id = insert("dev", "");
  ASSERT_EQ(cmd("groupEdit", "<g id='" + std::to_string(id) + "' name='dev2'/><audit>why</audit>"),
            0u);
  ASSERT_EQ(cmd("groupRemove", "<g name='dev2'/><audit>gone</audit>"), 0u);
  EXPECT_EQ(cmd("groupRemove", "<g name='dev2'/>"), 0x601u);
  const std::string sid = std::to_string(id);
  std::vector<std::string> infos;
  for (const auto& e : audit_entries()) {
    if (e->api().rfind("group", 0) != 0) continue;
    EXPECT_EQ(e->response_code(), 0u);
    EXPECT_EQ(e->username(), "Administrator");
    infos.emplace_back(std::string(e->api()) + ": " + std::string(e->info()));
  }
  EXPECT_EQ(infos, (std::vector<std::string>{
                       "groupInsert: group dev (" + sid + ") added / ",
                       "groupEdit: group dev2 (" + sid + ") edited / why",
                       "groupRemove: group dev2 (" + sid + ") removed / gone",
                   }));
}

}  // namespace
}  // namespace orvane
