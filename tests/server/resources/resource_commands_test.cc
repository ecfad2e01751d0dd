// resourceInsert, resourceEdit, resourceRemove and resourceSearch through the dispatcher.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "objects/attributes/attribute.h"
#include "objects/attributes/attribute_records.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource_records.h"
#include "objects/users/user.h"
#include "server/resources/resource_test_support.h"

namespace orvane {
namespace {

using orvane_test::perm;

class ResourceCommandsTest : public orvane_test::resource_commands_fixture {
 protected:
  // Replaces a record file by a directory, so that the store refuses every write to it.
  void block(const char* name) {
    const std::string path = path_domain_file(dom().id, name);
    std::filesystem::rename(path, path + ".away");
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  }
  void unblock(const char* name) {
    const std::string path = path_domain_file(dom().id, name);
    std::filesystem::remove(path);
    std::filesystem::rename(path + ".away", path);
  }
  long file_size(const char* name) {
    struct stat st {};
    return ::stat(path_domain_file(dom().id, name).c_str(), &st) == 0 ? st.st_size : -1;
  }

  // The names resourceSearch answers for a pattern.
  std::vector<std::string> search(const std::string& pattern, const std::string& opt = "") {
    std::vector<std::string> names;
    const std::string attrs = opt.empty() ? "" : " opt=\"" + opt + "\"";
    EXPECT_EQ(run(request("resourceSearch", admin, "<s" + attrs + ">" + pattern + "</s>")), 0u);
    if (const kt::xmldoc_node* a = answer("resources")) {
      for (const auto& r : a->children()) names.emplace_back(r->attr_get_value("name"));
    }
    return names;
  }
};

TEST_F(ResourceCommandsTest, InsertValidatesEveryField) {
  const uint64_t orvane = system_id(SYS_RES_ORVANE);
  uint64_t top = 0;
  ASSERT_EQ(insert("Second", 0, "", &top), 0u);  // beside ORVANE
  ASSERT_NE(top, 0u);
  EXPECT_EQ(resource_named("Second")->parent_id, 0u);
  uint64_t child = 0;
  ASSERT_EQ(insert("Child", top, "", &child), 0u);
  EXPECT_TRUE(resource_named("Second")->children.get_rw(child));

  EXPECT_EQ(insert("Child", orvane), E_RESOURCE_EXISTS);  // names are unique in the domain
  EXPECT_EQ(insert("OrvaneUsers", 0), E_RESOURCE_EXISTS);
  EXPECT_EQ(insert("Orphan", 12345), E_RESOURCE_PARENT_NOT_FOUND);
  EXPECT_EQ(insert("bad name", 0), E_NAME_INVALID);
  EXPECT_EQ(insert("", 0), E_NAME_INVALID);
  EXPECT_EQ(insert(std::string(128, 'n'), 0), E_NAME_TOO_LONG);  // the record keeps 127 bytes
  EXPECT_EQ(insert(std::string(127, 'n'), 0), 0u);

  const auto raw = [&](const std::string& r) { return run(request("resourceInsert", admin, r)); };
  EXPECT_EQ(raw(""), E_INVALID_REQUEST);
  EXPECT_EQ(raw("<r name=\"x\" type=\"1\"/>"), E_INVALID_REQUEST);
  EXPECT_EQ(raw("<r name=\"x\" parentId=\"0\"/>"), E_INVALID_REQUEST);
  EXPECT_EQ(raw("<r type=\"1\" parentId=\"0\"/>"), E_INVALID_REQUEST);
  EXPECT_EQ(raw("<r name=\"x\" type=\"abc\" parentId=\"0\"/>"), E_INVALID_REQUEST);
  EXPECT_EQ(raw("<r name=\"x\" type=\"65536\" parentId=\"0\"/>"), E_INVALID_REQUEST);
  EXPECT_EQ(raw("<r name=\"x\" type=\"1\" parentId=\"-1\"/>"), E_INVALID_REQUEST);
  EXPECT_EQ(raw("<r name=\"x\" type=\"65535\" parentId=\"0\"/>"), 0u);
  EXPECT_FALSE(resource_named("Orphan"));

  restart();
  auto second = resource_named("Second");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->id, top);
  EXPECT_EQ(second->type, 5u);
  EXPECT_EQ(second->flags, 0u);
  EXPECT_EQ(resource_named("Child")->parent.get(), second.get());
  EXPECT_EQ(resource_named("x")->type, 65535u);
}

TEST_F(ResourceCommandsTest, RightsOnOrvaneResources) {
  add_user("reader");
  add_user("nobody");
  auto readers = make_group("Readers");
  join_user(*readers, dom().users_by_name.get_rw("reader")->id);
  ASSERT_EQ(edit(system_id(SYS_RES_RESOURCES), "OrvaneResources", 0, system_id(SYS_RES_ORVANE),
                 system_permissions(perm(0, MEMBER_GROUP, readers->id, PERM_READ))),
            0u);
  const std::string reader = token("reader", "Passw0rd");
  const std::string nobody = token("nobody", "Passw0rd");
  uint64_t id = 0;
  ASSERT_EQ(insert("Mine", 0, "", &id), 0u);

  EXPECT_EQ(run(request("resourceSearch", reader, "<s/>")), 0u);
  EXPECT_EQ(run(request("resourceSearch", nobody, "<s/>")), E_ACCESS_VIOLATION);
  for (const std::string& t : {reader, nobody}) {
    EXPECT_EQ(insert("Other", 0, "", nullptr, t), E_ACCESS_VIOLATION);
    EXPECT_EQ(edit(id, "Renamed", 5, 0, "", t), E_ACCESS_VIOLATION);
    EXPECT_EQ(remove(id, t), E_ACCESS_VIOLATION);
  }
  // The rights check comes before the request is read.
  EXPECT_EQ(run(request("resourceInsert", nobody, "")), E_ACCESS_VIOLATION);
  EXPECT_TRUE(resource_named("Mine"));
}

TEST_F(ResourceCommandsTest, SystemResourcesKeepTheirShapeAndAdministrators) {
  const uint64_t users = system_id(SYS_RES_USERS);
  const uint64_t orvane = system_id(SYS_RES_ORVANE);
  const uint64_t admins = administrators_id();
  const uint64_t admin_user = dom().users_by_name.get_rw("Administrator")->id;

  // Repeating the current values, with or without a list keeping Administrators at 7, passes.
  EXPECT_EQ(edit(users, "OrvaneUsers", 0, orvane), 0u);
  EXPECT_EQ(edit(users, "OrvaneUsers", 0, orvane, system_permissions("")), 0u);
  const uint64_t kept = resource_named("OrvaneUsers")->permissions.newest()->value()->id;

  // Lowering Administrators (or leaving them out) is refused, and nothing changes.
  const long records = file_size("permissions");
  const std::string lowered = "<permissions>" + perm(kept, MEMBER_GROUP, admins, 3) +
                              perm(0, MEMBER_USER, admin_user, 7) + "</permissions>";
  EXPECT_EQ(edit(users, "OrvaneUsers", 0, orvane, lowered), E_RESOURCE_SYSTEM_PERMISSION);
  EXPECT_EQ(edit(users, "OrvaneUsers", 0, orvane, "<permissions/>"), E_RESOURCE_SYSTEM_PERMISSION);
  auto r = resource_named("OrvaneUsers");
  ASSERT_EQ(r->permissions.count(), 1u);
  EXPECT_EQ(r->permissions.get_rw(kept)->flags, 7u);
  EXPECT_FALSE(dom().users_by_id.get_rw(admin_user)->permissions.get_rw(users));
  EXPECT_EQ(file_size("permissions"), records);

  // Renaming, retyping, moving and removing are refused; a refused rename changes nothing.
  EXPECT_EQ(edit(users, "Accounts", 0, orvane), E_RESOURCE_SYSTEM);
  EXPECT_EQ(edit(users, "OrvaneUsers", 9, orvane), E_RESOURCE_SYSTEM);
  EXPECT_EQ(edit(users, "OrvaneUsers", 0, 0), E_RESOURCE_SYSTEM);
  EXPECT_EQ(edit(orvane, "ORVANE", 0, users), E_RESOURCE_SYSTEM);
  EXPECT_EQ(remove(users), E_RESOURCE_SYSTEM);
  EXPECT_EQ(remove(orvane), E_RESOURCE_SYSTEM);
  EXPECT_TRUE(resource_named("OrvaneUsers"));
  EXPECT_FALSE(resource_named("Accounts"));

  restart();
  r = resource_named("OrvaneUsers");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->type, 0u);
  EXPECT_EQ(r->parent_id, orvane);
  ASSERT_TRUE(r->permissions.get_rw(kept));
  EXPECT_EQ(r->permissions.get_rw(kept)->flags, 7u);
  EXPECT_EQ(r->permissions.count(), 1u);
}

TEST_F(ResourceCommandsTest, MovesAndRenames) {
  uint64_t a = 0, b = 0, c = 0, other = 0;
  ASSERT_EQ(insert("A", 0, "", &a), 0u);
  ASSERT_EQ(insert("B", a, "", &b), 0u);
  ASSERT_EQ(insert("C", b, "", &c), 0u);
  ASSERT_EQ(insert("Other", 0, "", &other), 0u);

  EXPECT_EQ(edit(a, "A", 5, c), E_RESOURCE_CHILD_OF_CHILD);  // under its own grandchild
  EXPECT_EQ(edit(a, "A", 5, b), E_RESOURCE_CHILD_OF_CHILD);
  EXPECT_EQ(edit(a, "A", 5, a), E_RESOURCE_CHILD_OF_SELF);
  EXPECT_EQ(edit(a, "A", 5, 777), E_RESOURCE_PARENT_NOT_FOUND);
  EXPECT_EQ(edit(a, "Other", 5, 0), E_RESOURCE_EXISTS);
  EXPECT_EQ(edit(a, "OrvaneUsers", 5, 0), E_RESOURCE_EXISTS);
  EXPECT_EQ(edit(999, "A", 5, 0), E_RESOURCE_NOT_FOUND);
  EXPECT_EQ(edit(a, "bad/name", 5, 0), E_NAME_INVALID);
  EXPECT_EQ(run(request("resourceEdit", admin, "<r name=\"A\" type=\"5\" parentId=\"0\"/>")),
            E_INVALID_REQUEST);
  EXPECT_EQ(run(request("resourceEdit", admin,
                        "<r id=\"" + std::to_string(a) + "\" name=\"A\" parentId=\"0\"/>")),
            E_INVALID_REQUEST);
  EXPECT_EQ(resource_named("A")->parent_id, 0u);

  // B moves under Other with a new name and type; C comes along.
  ASSERT_EQ(edit(b, "B2", 8, other), 0u);
  auto b2 = resource_named("B2");
  ASSERT_TRUE(b2);
  EXPECT_FALSE(resource_named("B"));
  EXPECT_EQ(b2->parent_id, other);
  EXPECT_EQ(b2->type, 8u);
  EXPECT_FALSE(resource_named("A")->children.get_rw(b));
  EXPECT_TRUE(resource_named("Other")->children.get_rw(b));
  EXPECT_EQ(insert("B", 0), 0u);  // the old name is free again
  // To the top level and back to the same name.
  ASSERT_EQ(edit(c, "C", 5, 0), 0u);
  EXPECT_FALSE(b2->children.get_rw(c));
  EXPECT_FALSE(resource_named("C")->parent);

  restart();
  b2 = resource_named("B2");
  ASSERT_TRUE(b2);
  EXPECT_EQ(b2->parent.get(), resource_named("Other").get());
  EXPECT_EQ(b2->type, 8u);
  EXPECT_EQ(resource_named("C")->parent_id, 0u);
  EXPECT_EQ(resource_named("A")->children.count(), 0u);
}

TEST_F(ResourceCommandsTest, RefusedEditChangesNothing) {
  const uint64_t u = add_user("member");
  auto gr = make_group("Team");
  uint64_t a = 0, b = 0;
  ASSERT_EQ(insert("A", 0, perm(0, MEMBER_USER, u, 1), &a), 0u);
  ASSERT_EQ(insert("B", a, "", &b), 0u);
  const uint64_t pid = resource_named("A")->permissions.newest()->value()->id;
  const long records = file_size("resources");

  // Each request renames, retypes and moves A, but its list (or its move) is refused.
  const std::string dup = "<permissions>" + perm(0, MEMBER_GROUP, gr->id, 1) +
                          perm(0, MEMBER_GROUP, gr->id, 2) + "</permissions>";
  EXPECT_EQ(edit(a, "Z", 9, system_id(SYS_RES_ORVANE), dup), E_RESOURCE_DUPLICATE_PERMISSION);
  const std::string unknown = "<permissions>" + perm(0, MEMBER_USER, 4242, 1) + "</permissions>";
  EXPECT_EQ(edit(a, "Z", 9, system_id(SYS_RES_ORVANE), unknown), E_INVALID_REQUEST);
  const std::string good = "<permissions>" + perm(0, MEMBER_GROUP, gr->id, 3) + "</permissions>";
  EXPECT_EQ(edit(a, "Z", 9, b, good), E_RESOURCE_CHILD_OF_CHILD);
  EXPECT_EQ(edit(a, "B", 9, 0, good), E_RESOURCE_EXISTS);

  auto r = resource_named("A");
  ASSERT_TRUE(r);
  EXPECT_FALSE(resource_named("Z"));
  EXPECT_EQ(r->type, 5u);
  EXPECT_EQ(r->parent_id, 0u);
  ASSERT_EQ(r->permissions.count(), 1u);
  EXPECT_TRUE(r->permissions.get_rw(pid));
  EXPECT_FALSE(gr->permissions.get_rw(a));
  EXPECT_EQ(file_size("resources"), records);
  restart();
  EXPECT_TRUE(resource_named("A"));
  EXPECT_FALSE(resource_named("Z"));
}

TEST_F(ResourceCommandsTest, PermissionListsReplaceTheSet) {
  const uint64_t u1 = add_user("one");
  const uint64_t u2 = add_user("two");
  auto gr = make_group("Team");
  uint64_t a = 0;
  ASSERT_EQ(insert("A", 0, perm(0, MEMBER_USER, u1, 1) + perm(0, MEMBER_USER, u2, 2), &a), 0u);
  auto user1 = dom().users_by_id.get_rw(u1);
  auto user2 = dom().users_by_id.get_rw(u2);
  const uint64_t p1 = user1->permissions.get_rw(a)->id;
  const uint64_t p2 = user2->permissions.get_rw(a)->id;
  ASSERT_NE(p1, p2);

  // The two stored permissions exchange their members.
  const auto list = [](const std::string& entries) {
    return "<permissions>" + entries + "</permissions>";
  };
  ASSERT_EQ(edit(a, "A", 5, 0, list(perm(p1, MEMBER_USER, u2, 4) + perm(p2, MEMBER_USER, u1, 6))),
            0u);
  ASSERT_TRUE(user1->permissions.get_rw(a));
  ASSERT_TRUE(user2->permissions.get_rw(a));
  EXPECT_EQ(user1->permissions.get_rw(a)->id, p2);
  EXPECT_EQ(user1->permissions.get_rw(a)->flags, 6u);
  EXPECT_EQ(user2->permissions.get_rw(a)->id, p1);
  EXPECT_EQ(user2->permissions.get_rw(a)->flags, 4u);

  // Keep p1, drop p2, add a group; an unknown id is stored under a new one.
  ASSERT_EQ(
      edit(a, "A", 5, 0,
           list(perm(p1, MEMBER_USER, u2, 1) + perm(99, MEMBER_GROUP, gr->id, 7) + "<note/>")),
      0u);
  auto r = resource_named("A");
  EXPECT_EQ(r->permissions.count(), 2u);
  EXPECT_FALSE(user1->permissions.get_rw(a));
  EXPECT_EQ(user2->permissions.get_rw(a)->id, p1);
  const auto group_entry = gr->permissions.get_rw(a);
  ASSERT_TRUE(group_entry);
  EXPECT_NE(group_entry->id, 99u);
  EXPECT_EQ(group_entry->target.get(), r.get());

  // Malformed lists.
  EXPECT_EQ(
      edit(a, "A", 5, 0, list(perm(0, MEMBER_GROUP, gr->id, 1) + perm(0, MEMBER_GROUP, gr->id, 1))),
      E_RESOURCE_DUPLICATE_PERMISSION);
  EXPECT_EQ(edit(a, "A", 5, 0, list(perm(p1, MEMBER_USER, u1, 1) + perm(p1, MEMBER_USER, u2, 1))),
            E_INVALID_REQUEST);
  EXPECT_EQ(edit(a, "A", 5, 0, list(perm(0, 2, u1, 1))), E_INVALID_REQUEST);
  EXPECT_EQ(edit(a, "A", 5, 0, list(perm(0, MEMBER_GROUP, u1, 1))), E_INVALID_REQUEST);
  EXPECT_EQ(edit(a, "A", 5, 0, list(perm(0, MEMBER_USER, u1, 65536))), E_INVALID_REQUEST);
  EXPECT_EQ(edit(a, "A", 5, 0, list("<p id=\"0\" memberType=\"0\" memberId=\"1\"/>")),
            E_INVALID_REQUEST);
  EXPECT_EQ(r->permissions.count(), 2u);

  restart();
  r = resource_named("A");
  EXPECT_EQ(r->permissions.count(), 2u);
  EXPECT_EQ(dom().users_by_id.get_rw(u2)->permissions.get_rw(a)->id, p1);
  EXPECT_EQ(dom().groups_by_name.get_rw("Team")->permissions.get_rw(a)->flags, 7u);
  EXPECT_FALSE(dom().users_by_id.get_rw(u1)->permissions.get_rw(a));

  // An empty list takes every permission away, in memory and on disk.
  ASSERT_EQ(edit(a, "A", 5, 0, "<permissions/>"), 0u);
  EXPECT_EQ(resource_named("A")->permissions.count(), 0u);
  restart();
  EXPECT_EQ(resource_named("A")->permissions.count(), 0u);
  EXPECT_FALSE(dom().users_by_id.get_rw(u2)->permissions.get_rw(a));
}

TEST_F(ResourceCommandsTest, InsertedPermissionsCountAtOnceAndAfterRestart) {
  const uint64_t u = add_user("member");
  uint64_t a = 0;
  ASSERT_EQ(insert("App", 0, perm(0, MEMBER_USER, u, PERM_READ | PERM_EXEC), &a), 0u);
  auto check = [&](uint32_t flags) {
    return permission_check(*dom().users_by_id.get_rw(u), PERMISSION_TARGET_RESOURCE, a, flags);
  };
  EXPECT_EQ(check(PERM_READ | PERM_EXEC), 0);
  EXPECT_NE(check(PERM_WRITE), 0);
  restart();
  EXPECT_EQ(check(PERM_READ | PERM_EXEC), 0);
  EXPECT_NE(check(PERM_WRITE), 0);

  // Duplicates and unknown members leave nothing behind.
  EXPECT_EQ(insert("Dup", 0, perm(0, MEMBER_USER, u, 1) + perm(0, MEMBER_USER, u, 2)),
            E_RESOURCE_DUPLICATE_PERMISSION);
  EXPECT_EQ(insert("Lost", 0, perm(0, MEMBER_GROUP, 31337, 1)), E_INVALID_REQUEST);
  EXPECT_FALSE(resource_named("Dup"));
  EXPECT_FALSE(resource_named("Lost"));
}

TEST_F(ResourceCommandsTest, StoreRefusalsLeaveNothingHalfMade) {
  const uint64_t u = add_user("member");
  const long resources = file_size("resources");

  block("permissions");
  EXPECT_NE(insert("Half", 0, perm(0, MEMBER_USER, u, 1)), 0u);
  EXPECT_FALSE(resource_named("Half"));
  EXPECT_EQ(file_size("resources"), resources);
  EXPECT_EQ(dom().users_by_id.get_rw(u)->permissions.count(), 0u);

  uint64_t a = 0;
  ASSERT_EQ(insert("A", 0, "", &a), 0u);  // no list: the permissions file is not touched
  EXPECT_NE(
      edit(a, "Renamed", 5, 0, "<permissions>" + perm(0, MEMBER_USER, u, 1) + "</permissions>"),
      0u);
  EXPECT_TRUE(resource_named("A"));
  EXPECT_FALSE(resource_named("Renamed"));
  unblock("permissions");

  block("resources");
  EXPECT_NE(insert("B", 0), 0u);
  EXPECT_FALSE(resource_named("B"));
  EXPECT_NE(edit(a, "Renamed", 5, 0), 0u);
  EXPECT_NE(remove(a), 0u);
  EXPECT_TRUE(resource_named("A"));
  unblock("resources");

  restart();
  EXPECT_TRUE(resource_named("A"));
  EXPECT_FALSE(resource_named("Renamed"));
  EXPECT_FALSE(resource_named("Half"));
  EXPECT_EQ(resource_named("A")->permissions.count(), 0u);
}

TEST_F(ResourceCommandsTest, RemoveTakesTheSubtreeWithItsPermissionsAndAttributes) {
  const uint64_t u = add_user("member");
  auto gr = make_group("Team");
  uint64_t a = 0, b = 0, c = 0, keep = 0;
  ASSERT_EQ(insert("A", 0, perm(0, MEMBER_USER, u, 1), &a), 0u);
  ASSERT_EQ(insert("B", a, perm(0, MEMBER_GROUP, gr->id, 3), &b), 0u);
  ASSERT_EQ(insert("C", b, perm(0, MEMBER_USER, u, 7), &c), 0u);
  ASSERT_EQ(insert("Keep", 0, perm(0, MEMBER_USER, u, 2), &keep), 0u);
  {
    auto attr = attribute_create();
    attr->name = "note";
    attr->type = ATTR_TYPE_STRING;
    attr->ttype = ATTR_TARGET_RESOURCE;
    attr->target_id = c;
    attr->value = "v";
    attr->dom = &dom();
    ASSERT_EQ(attributes_db_add(dom(), *attr), 0);
    resource_named("C")->attributes.insert_rw(attr->name, attr);
  }
  const long attributes = file_size("attributes");
  auto user = dom().users_by_id.get_rw(u);
  ASSERT_EQ(user->permissions.count(), 3u);

  EXPECT_EQ(run(request("resourceRemove", admin, "<r name=\"A\"/>")), E_INVALID_REQUEST);
  EXPECT_EQ(run(request("resourceRemove", admin, "")), E_INVALID_REQUEST);
  EXPECT_EQ(remove(4711), E_RESOURCE_NOT_FOUND);
  ASSERT_EQ(remove(a), 0u);
  for (const char* name : {"A", "B", "C"}) EXPECT_FALSE(resource_named(name)) << name;
  for (uint64_t id : {a, b, c}) EXPECT_FALSE(dom().resources_by_id.get_rw(id));
  EXPECT_EQ(user->permissions.count(), 1u);
  EXPECT_TRUE(user->permissions.get_rw(keep));
  EXPECT_EQ(gr->permissions.count(), 0u);
  EXPECT_LT(file_size("attributes"), attributes);
  EXPECT_EQ(remove(a), E_RESOURCE_NOT_FOUND);

  restart();
  for (const char* name : {"A", "B", "C"}) EXPECT_FALSE(resource_named(name)) << name;
  EXPECT_EQ(dom().users_by_id.get_rw(u)->permissions.count(), 1u);
  EXPECT_EQ(dom().groups_by_name.get_rw("Team")->permissions.count(), 0u);
  EXPECT_EQ(file_size("permissions"),
            7 * static_cast<long>(PERMISSION_RECORD_SIZE));  // six system ones and Keep's
}

TEST_F(ResourceCommandsTest, SearchListsMatchesWithChildrenAndPermissions) {
  const uint64_t u = add_user("member");
  uint64_t app = 0, child = 0;
  ASSERT_EQ(insert("AppOne", 0, perm(0, MEMBER_USER, u, 5), &app), 0u);
  ASSERT_EQ(insert("appTwo", app, "", &child), 0u);

  auto names = search("^app");
  EXPECT_EQ(names.size(), 2u);
  names = search("^app", "1");  // match case
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], "appTwo");
  EXPECT_EQ(search("").size(), 8u);  // empty: everything
  EXPECT_EQ(search("Orvane").size(), 6u);
  EXPECT_TRUE(search("nothing-like-this").empty());

  names = search("^AppOne$", "1");
  ASSERT_EQ(names.size(), 1u);
  const kt::xmldoc_node* r = answer("resources")->first_child();
  EXPECT_EQ(r->attr_get_value("id"), std::to_string(app));
  EXPECT_EQ(r->attr_get_value("parentId"), "0");
  EXPECT_EQ(r->attr_get_value("type"), "5");
  EXPECT_EQ(r->attr_get_value("flags"), "0");
  const kt::xmldoc_node* members = r->get("members");
  ASSERT_NE(members, nullptr);
  ASSERT_EQ(members->child_count(), 1u);
  EXPECT_EQ(members->first_child()->name(), "cr");
  EXPECT_EQ(members->first_child()->attr_get_value("id"), std::to_string(child));
  const kt::xmldoc_node* perms = r->get("permissions");
  ASSERT_NE(perms, nullptr);
  ASSERT_EQ(perms->child_count(), 1u);
  const kt::xmldoc_node* p = perms->first_child();
  EXPECT_EQ(p->attr_get_value("memberId"), std::to_string(u));
  EXPECT_EQ(p->attr_get_value("memberType"), "0");
  EXPECT_EQ(p->attr_get_value("flags"), "5");
  EXPECT_NE(p->attr_get_value("id"), "0");

  search("^appTwo$");
  r = answer("resources")->first_child();
  EXPECT_EQ(r->get("members"), nullptr);
  EXPECT_EQ(r->get("permissions"), nullptr);

  // "opt" may also sit on the command element.
  ASSERT_EQ(run(request("resourceSearch", admin, "<s>^app</s>", " opt=\"3\"")), 0u);
  EXPECT_EQ(answer("resources")->child_count(), 1u);

  EXPECT_EQ(run(request("resourceSearch", admin, "<s>(</s>")), E_INVALID_REGEX);
  EXPECT_EQ(run(request("resourceSearch", admin, "")), E_INVALID_REQUEST);
}

}  // namespace
}  // namespace orvane
