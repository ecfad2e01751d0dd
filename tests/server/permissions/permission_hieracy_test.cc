// permission_check_hieracy on in-memory domains: a child domain under a parent domain.
#include <gtest/gtest.h>

#include "objects/permissions/permission_records.h"
#include "server/groups/domain_fixture.h"

namespace orvane {
namespace {

class HieracyTest : public orvane_test::domain_fixture {
 protected:
  void SetUp() override {
    domain_fixture::SetUp();
    parent_top = new_system_resources(*d);
    child = fresh_domain();  // shares the directory; nothing here is read back
    child->parent = d;
    child->parent_id = d->id;
    child_top = new_system_resources(*child);
    u = add_user(*child, "u");
    team = new_group(*child, "team");
    group_link_user(*team, *u);
  }

  void grant(resource& r, uint32_t member_type, uint64_t member_id, uint32_t flags) {
    auto p = permission_create();
    p->target_id = r.id;
    p->member_type = member_type;
    p->member_id = member_id;
    p->flags = flags;
    ASSERT_EQ(permission_db_add(*child, *p), 0);
    permission_attach(r, p);
    ASSERT_EQ(_permission_fix_member_add(*child, *p), 0);
  }
  void grant_team(resource& r, uint32_t flags) { grant(r, MEMBER_GROUP, team->id, flags); }
  void grant_own(resource& r, uint32_t flags) { grant(r, MEMBER_USER, u->id, flags); }

  int walk(const char* name = "ORVANE") {
    const kt::ref_ptr<resource> r = child->resources_by_name.get_rw(name);
    return permission_check_hieracy(*u, PERMISSION_TARGET_RESOURCE, *child, name, r->id,
                                    PERM_WRITE);
  }

  kt::ref_ptr<domain> child;
  kt::ref_ptr<resource> parent_top;
  kt::ref_ptr<resource> child_top;
  kt::ref_ptr<user> u;
  kt::ref_ptr<group> team;
};

TEST_F(HieracyTest, OwnGrantOverridesRefusingGroups) {
  grant_team(*child_top, PERM_READ);
  grant_own(*child_top, PERM_WRITE);
  EXPECT_EQ(walk(), 0);
}

TEST_F(HieracyTest, OwnLackOverridesGrantingGroups) {
  grant_team(*child_top, PERM_WRITE);
  EXPECT_EQ(walk(), 0);
  grant_own(*child_top, PERM_READ);
  EXPECT_EQ(walk(), -1);
  // The plain check agrees: the user's own entry decides alone.
  EXPECT_NE(permission_check(*u, PERMISSION_TARGET_RESOURCE, child_top->id, PERM_WRITE), 0);
}

TEST_F(HieracyTest, RefusingGroupsAndOwnLackRefuse) {
  grant_team(*child_top, PERM_READ);
  grant_own(*child_top, PERM_READ);
  EXPECT_EQ(walk(), -1);
}

TEST_F(HieracyTest, WithoutGroupEntryTheParentDomainDecides) {
  // The own entry grants, but the groups say nothing: the question goes up, where nothing
  // grants either.
  grant_own(*child_top, PERM_WRITE);
  EXPECT_EQ(walk(), 1);
  EXPECT_EQ(permission_check(*u, PERMISSION_TARGET_RESOURCE, child_top->id, PERM_WRITE), 0);

  // One domain up, the parent's ORVANE resource decides.
  grant_team(*parent_top, PERM_READ);
  EXPECT_EQ(walk(), -1);
}

TEST_F(HieracyTest, GrantOneDomainUpAllows) {
  grant_team(*parent_top, PERM_READ | PERM_WRITE);
  EXPECT_EQ(walk(), 0);
}

TEST_F(HieracyTest, ParentWithoutTheNameRefuses) {
  auto only_here = new_resource(*child, "OnlyHere", child_top);
  grant_team(*parent_top, PERM_WRITE);
  EXPECT_EQ(walk("OnlyHere"), 1);
  grant_team(*only_here, PERM_WRITE);
  EXPECT_EQ(walk("OnlyHere"), 0);
}

TEST_F(HieracyTest, LoopingParentsEnd) {
  d->parent = child;
  EXPECT_EQ(walk(), 1);
  d->parent.reset();
}

TEST_F(HieracyTest, OnlyResourceTargets) {
  grant_team(*child_top, PERM_WRITE);
  EXPECT_EQ(permission_check_hieracy(*u, 2, *child, "ORVANE", child_top->id, PERM_WRITE), 1);
}

}  // namespace
}  // namespace orvane
