#include "objects/permissions/permission_records.h"

#include <gtest/gtest.h>

#include "errors.h"
#include "objects/permissions/permission_internal.h"
#include "objects/record.h"
#include "server/groups/domain_fixture.h"

namespace orvane {
namespace {

class PermissionsTest : public orvane_test::domain_fixture {
 protected:
  void SetUp() override {
    domain_fixture::SetUp();
    top = new_system_resources(*d);
    res = d->resources_by_name.get_rw("OrvaneUsers");
    u = add_user(*d, "u");
  }

  // Grants flags on r to a member, stored and linked as a resource edit would.
  kt::ref_ptr<permission> grant(domain& dom, resource& r, uint32_t member_type, uint64_t member_id,
                                uint32_t flags) {
    auto p = permission_create();
    p->target_id = r.id;
    p->member_type = member_type;
    p->member_id = member_id;
    p->flags = flags;
    EXPECT_EQ(permission_db_add(dom, *p), 0);
    permission_attach(r, p);
    EXPECT_EQ(_permission_fix_member_add(dom, *p), 0);
    return p;
  }

  int check(uint32_t flags) {
    return permission_check(*u, PERMISSION_TARGET_RESOURCE, res->id, flags);
  }

  kt::ref_ptr<resource> top;
  kt::ref_ptr<resource> res;
  kt::ref_ptr<user> u;
};

TEST_F(PermissionsTest, RecordsSurviveReloadOnBothSides) {
  auto gr = new_group(*d, "g");
  auto pu = grant(*d, *res, MEMBER_USER, u->id, PERM_READ | PERM_EXEC);
  auto pg = grant(*d, *top, MEMBER_GROUP, gr->id, 7);

  auto d2 = fresh_domain();
  copy_users(*d, *d2);
  ASSERT_EQ(groups_load(*d2), 0);
  ASSERT_EQ(resources_load(*d2), 0);
  ASSERT_EQ(permissions_load(*d2), 0);
  auto res2 = d2->resources_by_id.get_rw(res->id);
  auto p2 = res2->permissions.get_rw(pu->id);
  ASSERT_TRUE(p2);
  EXPECT_EQ(p2->target.get(), res2.get());
  EXPECT_EQ(p2->target_type, PERMISSION_TARGET_RESOURCE);
  EXPECT_EQ(p2->member_type, MEMBER_USER);
  EXPECT_EQ(p2->member_id, u->id);
  EXPECT_EQ(p2->flags, PERM_READ | PERM_EXEC);
  EXPECT_EQ(d2->users_by_id.get_rw(u->id)->permissions.get_rw(res->id), p2);
  auto pg2 = d2->groups_by_id.get_rw(gr->id)->permissions.get_rw(top->id);
  ASSERT_TRUE(pg2);
  EXPECT_EQ(pg2->id, pg->id);
  EXPECT_EQ(pg2->flags, 7u);
}

TEST_F(PermissionsTest, LoadSkipsDanglingRecordsAndDropsThemOnRequest) {
  auto gr = new_group(*d, "g");
  const auto raw = [&](uint64_t id, uint32_t ttype, uint64_t target, uint32_t mtype,
                       uint64_t member) {
    record rec(PERMISSION_RECORD_SIZE);
    rec.put_u64(0, id);
    rec.put_u32(8, ttype);
    rec.put_u64(12, target);
    rec.put_u32(20, mtype);
    rec.put_u64(24, member);
    rec.put_u16(32, 7);
    append_bytes(file("permissions"), rec.data(), rec.size());
  };
  raw(1, 1, res->id, MEMBER_USER, u->id);     // good
  raw(2, 2, res->id, MEMBER_USER, u->id);     // other target type
  raw(3, 1, 4711, MEMBER_USER, u->id);        // no such resource
  raw(4, 1, top->id, MEMBER_USER, 4711);      // no such user
  raw(5, 1, top->id, MEMBER_GROUP, 4711);     // no such group
  raw(6, 1, res->id, MEMBER_USER, u->id);     // second entry of u on res
  raw(1, 1, top->id, MEMBER_GROUP, gr->id);   // duplicate identifier
  raw(7, 1, top->id, 9, u->id);               // unknown member type
  append_bytes(file("permissions"), "x", 1);  // damaged tail
  const long size = file_size(file("permissions"));

  auto d2 = fresh_domain();
  copy_users(*d, *d2);
  ASSERT_EQ(groups_load(*d2), 0);
  ASSERT_EQ(resources_load(*d2), 0);
  ASSERT_EQ(permissions_load(*d2), 0);
  EXPECT_EQ(d2->resources_by_id.get_rw(res->id)->permissions.count(), 1u);
  EXPECT_EQ(d2->resources_by_id.get_rw(top->id)->permissions.count(), 0u);
  EXPECT_EQ(d2->users_by_id.get_rw(u->id)->permissions.get_rw(res->id)->id, 1u);
  EXPECT_EQ(d2->groups_by_id.get_rw(gr->id)->permissions.count(), 0u);
  // The load keeps the records it skips, except the repeated identifier (lookups never reach
  // it) and the partial tail.
  EXPECT_EQ(file_size(file("permissions")), size - 1 - PERMISSION_RECORD_SIZE);

  // Records whose resource or member is missing go once every owner is loaded; records of
  // another target type or member type, and a second entry of one member, stay.
  ASSERT_EQ(permissions_drop_dangling(*d2), 0);
  std::vector<uint64_t> ids;
  const kt::filedb_fixed db = record_file(file("permissions"), PERMISSION_RECORD_SIZE);
  record_list(db, [&](const uint8_t* bytes, uint32_t n) {
    ids.push_back(record(bytes, n).get_u64(0));
    return 0;
  });
  EXPECT_EQ(ids, (std::vector<uint64_t>{1, 2, 6, 7}));
}

TEST_F(PermissionsTest, EntryCheckResults) {
  permission_table table(10);
  EXPECT_EQ(_permission_check(table, res->id, PERM_READ), 1);
  auto p = permission_create();
  p->flags = PERM_READ | PERM_WRITE;
  table.insert_rw(res->id, p);
  EXPECT_EQ(_permission_check(table, res->id, PERM_READ | PERM_WRITE), 0);
  EXPECT_EQ(_permission_check(table, res->id, PERM_WRITE | PERM_EXEC), -1);
  EXPECT_EQ(_permission_check(table, res->id, 0), 0);
}

TEST_F(PermissionsTest, GroupsGrantAndOwnEntryDecidesAlone) {
  auto gr = new_group(*d, "g");
  group_link_user(*gr, *u);
  EXPECT_NE(check(PERM_READ), 0);  // no entry anywhere
  grant(*d, *res, MEMBER_GROUP, gr->id, PERM_READ | PERM_WRITE);
  EXPECT_EQ(check(PERM_WRITE), 0);
  EXPECT_NE(check(PERM_EXEC), 0);
  grant(*d, *res, MEMBER_USER, u->id, PERM_EXEC);
  EXPECT_EQ(check(PERM_EXEC), 0);
  EXPECT_NE(check(PERM_WRITE), 0);  // the own entry decides alone
  EXPECT_NE(check(PERM_EXEC | PERM_READ), 0);
  EXPECT_NE(permission_check(*u, 2, res->id, PERM_EXEC), 0);  // only resources are targets
}

TEST_F(PermissionsTest, GroupRightsAreTheUnionWhateverTheOrder) {
  auto grants = new_group(*d, "grants");
  auto lacks = new_group(*d, "lacks");
  auto writes = new_group(*d, "writes");
  grant(*d, *res, MEMBER_GROUP, grants->id, 7);
  grant(*d, *res, MEMBER_GROUP, lacks->id, PERM_READ);
  group_link_user(*grants, *u);
  group_link_user(*lacks, *u);
  EXPECT_EQ(check(PERM_WRITE), 0);
  group_unlink_user(*lacks, *u);
  group_unlink_user(*grants, *u);
  group_link_user(*lacks, *u);
  group_link_user(*grants, *u);
  EXPECT_EQ(check(PERM_WRITE), 0);
  // Two groups each holding part of the rights together hold both.
  group_unlink_user(*grants, *u);
  grant(*d, *res, MEMBER_GROUP, writes->id, PERM_WRITE);
  group_link_user(*writes, *u);
  EXPECT_EQ(check(PERM_READ | PERM_WRITE), 0);
  EXPECT_NE(check(PERM_EXEC), 0);
  EXPECT_EQ(permission_get(*u, PERMISSION_TARGET_RESOURCE, res->id), PERM_READ | PERM_WRITE);
}

TEST_F(PermissionsTest, OneLevelOfParentsCounts) {
  auto child = new_group(*d, "child");
  auto parent = new_group(*d, "parent");
  auto grand = new_group(*d, "grand");
  group_link_user(*child, *u);
  group_link_group(*parent, *child);
  group_link_group(*grand, *parent);
  auto pg = grant(*d, *res, MEMBER_GROUP, grand->id, 7);
  EXPECT_NE(check(PERM_WRITE), 0);
  grant(*d, *res, MEMBER_GROUP, parent->id, PERM_READ | PERM_WRITE);
  EXPECT_EQ(check(PERM_WRITE), 0);
  EXPECT_EQ(_permission_check_groups(*u, res->id, PERM_EXEC), -1);

  // A lacking group entry whose parents have no entry gives way to the next group.
  auto other = new_group(*d, "other");
  auto lone = new_group(*d, "lone");
  grant(*d, *top, MEMBER_GROUP, other->id, PERM_READ);
  grant(*d, *top, MEMBER_GROUP, lone->id, 7);
  group_link_group(*parent, *other);
  group_link_user(*lone, *u);
  group_link_user(*other, *u);  // asked first: -1, then its parent: no entry
  EXPECT_EQ(permission_check(*u, PERMISSION_TARGET_RESOURCE, top->id, PERM_WRITE), 0);
}

TEST_F(PermissionsTest, AllUsersEntriesCountForEveryUser) {
  auto all = new_group(*d, "AllUsers", GROUP_FLAG_SYSTEM | GROUP_FLAG_ALL_USERS);
  d->all_users = all;
  grant(*d, *res, MEMBER_GROUP, all->id, PERM_READ);
  EXPECT_EQ(check(PERM_READ), 0);
  EXPECT_NE(check(PERM_WRITE), 0);
  d->all_users.reset();
}

TEST_F(PermissionsTest, GetAnswersOwnEntryElseTheGroupsUnion) {
  auto g1 = new_group(*d, "g1");
  auto g2 = new_group(*d, "g2");
  group_link_user(*g1, *u);
  group_link_user(*g2, *u);
  EXPECT_EQ(permission_get(*u, PERMISSION_TARGET_RESOURCE, res->id), 0u);
  grant(*d, *res, MEMBER_GROUP, g1->id, PERM_READ);
  grant(*d, *res, MEMBER_GROUP, g2->id, PERM_WRITE);
  EXPECT_EQ(permission_get(*u, PERMISSION_TARGET_RESOURCE, res->id), PERM_READ | PERM_WRITE);
  grant(*d, *res, MEMBER_USER, u->id, PERM_EXEC);
  EXPECT_EQ(permission_get(*u, PERMISSION_TARGET_RESOURCE, res->id), PERM_EXEC);
}

TEST_F(PermissionsTest, MemberLinksAndStoreResults) {
  auto p = permission_create();
  p->target_id = res->id;
  p->member_type = MEMBER_USER;
  p->member_id = 4711;
  EXPECT_EQ(_permission_fix_member_add(*d, *p), -1);
  p->member_type = MEMBER_GROUP;
  EXPECT_EQ(_permission_fix_member_add(*d, *p), -2);

  // Removing a permission leaves another one in the member's slot alone.
  auto first = grant(*d, *res, MEMBER_USER, u->id, PERM_READ);
  auto second = permission_create();
  second->target_id = res->id;
  second->member_type = MEMBER_USER;
  second->member_id = u->id;
  ASSERT_EQ(_permission_fix_member_add(*d, *second), 0);
  EXPECT_EQ(_permission_fix_member_remove(*d, *first), 0);
  EXPECT_EQ(u->permissions.get_rw(res->id), second);
  EXPECT_EQ(_permission_fix_member_remove(*d, *second), 0);
  EXPECT_EQ(u->permissions.count(), 0u);

  first->flags = PERM_WRITE;
  ASSERT_EQ(permission_db_edit(*d, *first), 0);
  EXPECT_EQ(permission_delete(*d, *first), 0);
  EXPECT_EQ(permission_db_remove(*d, *first), E_GENERIC);
  EXPECT_EQ(permission_db_edit(*d, *first), E_GENERIC);

  ASSERT_EQ(std::remove(file("permissions").c_str()), 0);
  block_file("permissions");
  auto refused = permission_create();
  EXPECT_NE(permission_db_add(*d, *refused), 0);
  EXPECT_EQ(refused->id, 0u);
}

}  // namespace
}  // namespace orvane
