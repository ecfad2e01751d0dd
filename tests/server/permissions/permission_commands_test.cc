// getPermissions / getUserPermissions and the rights that group entries give, through the
// dispatcher.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "errors.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission_records.h"
#include "server/resources/resource_test_support.h"

namespace orvane {
namespace {

using orvane_test::perm;
using names = std::map<std::string, std::string>;

class PermissionCommandsTest : public orvane_test::resource_commands_fixture {
 protected:
  uint32_t user_insert(const std::string& tok, const std::string& name) {
    return run(request("userInsert", tok, "<u uname=\"" + name + "\"><p>Passw0rd</p></u>"));
  }
  // Gives a group the flags on OrvaneUsers (Administrators keep theirs).
  void grant_on_users(uint64_t group_id, uint32_t flags, const std::string& more = "") {
    ASSERT_EQ(edit(system_id(SYS_RES_USERS), "OrvaneUsers", 0, system_id(SYS_RES_ORVANE),
                   system_permissions(perm(0, MEMBER_GROUP, group_id, flags) + more)),
              0u)
        << response_text();
  }
};

TEST_F(PermissionCommandsTest, EveryPathForm) {
  names p;
  EXPECT_EQ(get_permissions("", &p, admin), 0u);
  EXPECT_EQ(p, (names{{"/", "7"}}));
  EXPECT_EQ(get_permissions("/ORVANE/*", &p, admin), 0u);
  EXPECT_EQ(p, (names{{"OrvaneUsers", "7"},
                      {"OrvaneGroups", "7"},
                      {"OrvaneResources", "7"},
                      {"OrvaneNSSProfiles", "7"},
                      {"OrvaneNetClients", "7"}}));
  EXPECT_EQ(get_permissions("/ORVANE", &p, admin), 0u);
  EXPECT_EQ(p, (names{{"ORVANE", "7"}}));
  EXPECT_EQ(get_permissions("/ORVANE/OrvaneUsers", &p, admin), 0u);
  EXPECT_EQ(p, (names{{"OrvaneUsers", "7"}}));
  EXPECT_EQ(get_permissions("x/ORVANE/OrvaneUsers/", &p, admin), 0u);  // before the first '/'
  EXPECT_EQ(p, (names{{"OrvaneUsers", "7"}}));
  EXPECT_EQ(get_permissions("/ORVANE/OrvaneUsers/*", &p, admin), 0u);
  EXPECT_TRUE(p.empty());

  EXPECT_EQ(get_permissions("/OrvaneUsers", &p, admin), E_RESOURCE_PARENT_NOT_FOUND);
  EXPECT_EQ(get_permissions("/ORVANE/OrvaneUsers/OrvaneGroups", &p, admin),
            E_RESOURCE_PARENT_NOT_FOUND);
  EXPECT_EQ(get_permissions("/ORVANE/*/OrvaneUsers", &p, admin), E_INVALID_PATH);
  EXPECT_EQ(get_permissions("/*/*", &p, admin), E_INVALID_PATH);
  EXPECT_EQ(get_permissions("/ORVANE/Nothing", &p, admin), E_RESOURCE_NOT_FOUND);
  EXPECT_EQ(get_permissions("/", &p, admin), E_RESOURCE_NOT_FOUND);
  EXPECT_EQ(get_permissions("ORVANE", &p, admin), E_RESOURCE_NOT_FOUND);
  EXPECT_EQ(run(request("getPermissions", admin, "")), E_INVALID_REQUEST);
  EXPECT_EQ(answer("permissions"), nullptr);

  // A resource without an entry reports "0"; "/*" lists the top level.
  ASSERT_EQ(insert("Free", 0), 0u);
  EXPECT_EQ(get_permissions("/Free", &p, admin), 0u);
  EXPECT_EQ(p, (names{{"Free", "0"}}));
  EXPECT_EQ(get_permissions("/*", &p, admin), 0u);
  EXPECT_EQ(p, (names{{"ORVANE", "7"}, {"Free", "0"}}));
}

TEST_F(PermissionCommandsTest, WalkHoldsAtMost32Resources) {
  uint64_t parent = 0;
  std::string path;
  for (int i = 1; i <= 33; ++i) {
    const std::string name = "L" + std::to_string(i);
    ASSERT_EQ(insert(name, parent, "", &parent), 0u);
    path += "/" + name;
    if (i == 32) {
      names p;
      EXPECT_EQ(get_permissions(path, &p, admin), 0u);
      EXPECT_EQ(p, (names{{"L32", "0"}}));
      EXPECT_EQ(get_permissions(path + "/*", &p, admin), 0u);  // nothing below yet
      EXPECT_TRUE(p.empty());
    }
  }
  // A longer path is an invalid request.
  names p{{"x", "y"}};
  EXPECT_EQ(get_permissions(path, &p, admin), E_INVALID_REQUEST);
  EXPECT_TRUE(p.empty());
  EXPECT_EQ(get_permissions(path + "/*", &p, admin), E_INVALID_REQUEST);
  EXPECT_TRUE(p.empty());
}

TEST_F(PermissionCommandsTest, SubjectNamedByTheUserAttribute) {
  const uint64_t member = add_user("member");
  ASSERT_EQ(insert("App", 0, perm(0, MEMBER_USER, member, 5)), 0u);
  const std::string tok = token("member", "Passw0rd");
  names p;

  EXPECT_EQ(get_permissions("/App", &p, admin), 0u);
  EXPECT_EQ(p, (names{{"App", "0"}}));
  EXPECT_EQ(get_permissions("/App", &p, admin, " user=\"member\""), 0u);
  EXPECT_EQ(p, (names{{"App", "5"}}));
  EXPECT_EQ(get_permissions("/App", &p, admin, " user=\"" + std::to_string(member) + "\""), 0u);
  EXPECT_EQ(p, (names{{"App", "5"}}));
  EXPECT_EQ(get_permissions("/App", &p, admin, " user=\"ghost\""), E_USER_NOT_FOUND);
  EXPECT_EQ(get_permissions("/App", &p, admin, " user=\"123456\""), E_USER_NOT_FOUND);
  EXPECT_EQ(get_permissions("/App", &p, admin, " user=\"\""), 0u);  // empty: the caller
  EXPECT_EQ(p, (names{{"App", "0"}}));

  // The member sees its own rights, but naming anyone needs READ on OrvaneUsers.
  EXPECT_EQ(get_permissions("/App", &p, tok), 0u);
  EXPECT_EQ(p, (names{{"App", "5"}}));
  EXPECT_EQ(get_permissions("/App", &p, tok, " user=\"Administrator\""), E_ACCESS_VIOLATION);
  EXPECT_EQ(get_permissions("/App", &p, tok, " user=\"ghost\""), E_ACCESS_VIOLATION);

  // getUserPermissions: the token is optional for the table, required for an answer.
  EXPECT_EQ(get_permissions("/App", &p, tok, "", "getUserPermissions"), 0u);
  EXPECT_EQ(p, (names{{"App", "5"}}));
  EXPECT_EQ(get_permissions("/App", &p, "", "", "getUserPermissions"), E_TOKEN_NOT_FOUND);
  EXPECT_EQ(get_permissions("/App", &p, "", " user=\"member\"", "getUserPermissions"),
            E_TOKEN_NOT_FOUND);
  EXPECT_EQ(get_permissions("/App", &p, "", "", "getPermissions"), E_TOKEN_NOT_FOUND);
}

TEST_F(PermissionCommandsTest, GroupEntriesReportedAsTheCheckCountsThem) {
  const uint64_t member = add_user("member");
  auto direct = make_group("Direct");
  auto above = make_group("Above");
  join_user(*direct, member);
  join_group(*above, *direct);
  ASSERT_EQ(insert("One", 0, perm(0, MEMBER_GROUP, direct->id, 3)), 0u);
  ASSERT_EQ(insert("Two", 0, perm(0, MEMBER_GROUP, above->id, 7)), 0u);
  ASSERT_EQ(
      insert("Three", 0, perm(0, MEMBER_GROUP, direct->id, 7) + perm(0, MEMBER_USER, member, 1)),
      0u);
  names p;
  EXPECT_EQ(get_permissions("/*", &p, admin, " user=\"member\""), 0u);
  EXPECT_EQ(p["One"], "3");
  EXPECT_EQ(p["Two"], "7");    // a parent group's entry counts, one level up
  EXPECT_EQ(p["Three"], "1");  // the own entry comes first
}

TEST_F(PermissionCommandsTest, RightsThroughParentGroupButNotGrandparent) {
  const uint64_t member = add_user("member");
  auto g1 = make_group("G1");
  auto g2 = make_group("G2");
  auto g3 = make_group("G3");
  join_user(*g1, member);
  join_group(*g2, *g1);
  join_group(*g3, *g2);
  const std::string tok = token("member", "Passw0rd");

  grant_on_users(g3->id, PERM_READ | PERM_WRITE);
  EXPECT_EQ(user_insert(tok, "first"), E_ACCESS_VIOLATION);
  grant_on_users(g2->id, PERM_READ | PERM_WRITE);
  EXPECT_EQ(user_insert(tok, "first"), 0u);
}

TEST_F(PermissionCommandsTest, GroupReadOnlyNeedsOwnWrite) {
  const uint64_t member = add_user("member");
  auto readers = make_group("Readers");
  join_user(*readers, member);
  const std::string tok = token("member", "Passw0rd");
  EXPECT_EQ(run(request("userSearch", tok, "<s/>")), E_ACCESS_VIOLATION);

  grant_on_users(readers->id, PERM_READ);
  EXPECT_EQ(run(request("userSearch", tok, "<s/>")), 0u);
  EXPECT_EQ(user_insert(tok, "first"), E_ACCESS_VIOLATION);
  grant_on_users(readers->id, PERM_READ, perm(0, MEMBER_USER, member, PERM_WRITE));
  EXPECT_EQ(user_insert(tok, "first"), 0u);
  // The rights stay after a restart.
  restart();
  const std::string again = token("member", "Passw0rd");
  EXPECT_EQ(user_insert(again, "second"), 0u);
}

}  // namespace
}  // namespace orvane
