#include "objects/groups/group_records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "errors.h"
#include "objects/groups/group_internal.h"
#include "objects/record.h"
#include "server/groups/domain_fixture.h"
#include "utils/files.h"
#include "xmldoc/xmldoc.h"

namespace orvane {
namespace {

using GroupsTest = orvane_test::domain_fixture;

void append_bytes_to(const std::string& path, const record& rec) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(rec.data()), rec.size());
}

void write_member(domain& dom, const group& gr, uint32_t file_type, uint64_t id, uint32_t type) {
  record rec(GROUP_MEMBER_RECORD_SIZE);
  rec.put_u64(0, id);
  rec.put_u32(8, type);
  const std::string name =
      (file_type == MEMBER_USER ? "group_users_" : "group_groups_") + std::to_string(gr.id);
  append_bytes_to(path_domain_file(dom.id, name.c_str()), rec);
}

TEST_F(GroupsTest, RecordsAndMembershipsSurviveReload) {
  auto alice = add_user(*d, "alice");
  auto bob = add_user(*d, "bob");
  auto admins = new_group(*d, "Administrators", GROUP_FLAG_SYSTEM | GROUP_FLAG_ADMINISTRATORS);
  auto all = new_group(*d, "AllUsers", GROUP_FLAG_SYSTEM | GROUP_FLAG_ALL_USERS);
  auto dev = new_group(*d, "dev");
  auto ops = new_group(*d, std::string(200, 'o'));  // stored cut to 127 bytes
  ASSERT_EQ(group_member_db_add(*d, *admins, MEMBER_USER, alice->id), 0);
  ASSERT_EQ(group_member_db_add(*d, *dev, MEMBER_USER, alice->id), 0);
  ASSERT_EQ(group_member_db_add(*d, *dev, MEMBER_USER, bob->id), 0);
  ASSERT_EQ(group_member_db_add(*d, *admins, MEMBER_GROUP, dev->id), 0);
  EXPECT_EQ(group_member_db_add(*d, *dev, MEMBER_USER, bob->id), -2);  // one record per member

  auto d2 = fresh_domain();
  copy_users(*d, *d2);
  ASSERT_EQ(groups_load(*d2), 0);
  EXPECT_EQ(d2->groups_by_id.count(), 4u);
  auto admins2 = d2->groups_by_name.get_rw("Administrators");
  ASSERT_TRUE(admins2);
  EXPECT_EQ(admins2->id, admins->id);
  EXPECT_EQ(admins2->flags, GROUP_FLAG_SYSTEM | GROUP_FLAG_ADMINISTRATORS);
  EXPECT_EQ(admins2->dom.get(), d2.get());
  EXPECT_EQ(d2->groups_by_name.get_rw("AllUsers")->flags, GROUP_FLAG_SYSTEM | GROUP_FLAG_ALL_USERS);
  EXPECT_TRUE(d2->groups_by_name.get_rw(std::string(127, 'o')));

  auto dev2 = d2->groups_by_id.get_rw(dev->id);
  auto alice2 = d2->users_by_id.get_rw(alice->id);
  auto bob2 = d2->users_by_id.get_rw(bob->id);
  EXPECT_EQ(dev2->member_users.count(), 2u);
  EXPECT_EQ(group_is_member(dev2->member_users, alice->id), 0);
  EXPECT_EQ(group_is_member(dev2->member_users, 12345), 1);
  EXPECT_EQ(alice2->groups.count(), 2u);
  EXPECT_EQ(group_is_member(bob2->groups, dev->id), 0);
  EXPECT_EQ(group_is_member(admins2->member_groups, dev->id), 0);
  EXPECT_EQ(group_is_member(dev2->member_of, admins->id), 0);
}

TEST_F(GroupsTest, LinksHoldOneReferenceOnEachSide) {
  auto u = add_user(*d, "u");
  auto a = new_group(*d, "a");
  auto b = new_group(*d, "b");
  const uint32_t u_refs = u->ref_count();
  const uint32_t a_refs = a->ref_count();
  group_link_user(*a, *u);
  group_link_user(*a, *u);  // again: no second reference
  EXPECT_EQ(u->ref_count(), u_refs + 1);
  EXPECT_EQ(a->ref_count(), a_refs + 1);
  group_link_group(*a, *b);
  EXPECT_EQ(a->ref_count(), a_refs + 2);
  EXPECT_TRUE(_group_is_ancestor(*b, *a));
  EXPECT_FALSE(_group_is_ancestor(*a, *b));
  group_unlink_user(*a, *u);
  group_unlink_group(*a, *b);
  EXPECT_EQ(u->ref_count(), u_refs);
  EXPECT_EQ(a->ref_count(), a_refs);
  EXPECT_EQ(u->groups.count(), 0u);
  EXPECT_EQ(b->member_of.count(), 0u);
}

TEST_F(GroupsTest, UnknownAndInvalidMembersAreSkippedAndKept) {
  auto u = add_user(*d, "u");
  auto a = new_group(*d, "a");
  auto b = new_group(*d, "b");
  auto all = new_group(*d, "AllUsers", GROUP_FLAG_SYSTEM | GROUP_FLAG_ALL_USERS);
  write_member(*d, *a, MEMBER_USER, 777, MEMBER_USER);      // no such user
  write_member(*d, *a, MEMBER_GROUP, 888, MEMBER_GROUP);    // no such group
  write_member(*d, *a, MEMBER_GROUP, 999, 7);               // unknown type
  write_member(*d, *a, MEMBER_GROUP, a->id, MEMBER_GROUP);  // itself
  write_member(*d, *a, MEMBER_GROUP, b->id, MEMBER_GROUP);
  write_member(*d, *b, MEMBER_GROUP, a->id, MEMBER_GROUP);    // closes a loop
  write_member(*d, *a, MEMBER_GROUP, all->id, MEMBER_GROUP);  // AllUsers joins nothing
  write_member(*d, *all, MEMBER_USER, u->id, MEMBER_USER);    // AllUsers has no members
  write_member(*d, *a, MEMBER_GROUP, u->id, MEMBER_USER);     // the type decides, not the file
  const long size = file_size(file(("group_groups_" + std::to_string(a->id)).c_str()));

  auto d2 = fresh_domain();
  copy_users(*d, *d2);
  ASSERT_EQ(groups_load(*d2), 0);
  auto a2 = d2->groups_by_id.get_rw(a->id);
  auto b2 = d2->groups_by_id.get_rw(b->id);
  auto all2 = d2->groups_by_id.get_rw(all->id);
  auto u2 = d2->users_by_id.get_rw(u->id);
  EXPECT_EQ(a2->member_users.count(), 1u);
  EXPECT_EQ(group_is_member(a2->member_users, u->id), 0);
  // Exactly one of the two opposite links was made, whichever group came first.
  EXPECT_EQ(a2->member_groups.count() + b2->member_groups.count(), 1u);
  EXPECT_EQ(group_is_member(a2->member_groups, a->id), 1);
  EXPECT_EQ(all2->member_users.count(), 0u);
  EXPECT_EQ(all2->member_of.count(), 0u);
  EXPECT_EQ(group_is_member(u2->groups, all->id), 1);
  EXPECT_EQ(file_size(file(("group_groups_" + std::to_string(a->id)).c_str())), size);
}

TEST_F(GroupsTest, DamagedGroupsFileLoadsTheWholeRecords) {
  auto good = new_group(*d, "good");
  record dup(GROUP_RECORD_SIZE);
  dup.put_u64(0, good->id);
  dup.put_str(9, 128, "other");
  append_bytes(file("groups"), dup.data(), dup.size());
  record noterm(GROUP_RECORD_SIZE);
  noterm.put_u64(0, 55);
  std::memset(noterm.data() + 9, 'x', 128);
  append_bytes(file("groups"), noterm.data(), noterm.size());
  record noname(GROUP_RECORD_SIZE);
  noname.put_u64(0, 56);
  append_bytes(file("groups"), noname.data(), noname.size());
  append_bytes(file("groups"), "tail", 4);

  auto d2 = fresh_domain();
  ASSERT_EQ(groups_load(*d2), 0);
  EXPECT_EQ(d2->groups_by_id.count(), 1u);
  EXPECT_EQ(d2->groups_by_id.get_rw(good->id)->name, "good");
}

TEST_F(GroupsTest, DeleteRemovesRecordAndBothMemberFiles) {
  auto u = add_user(*d, "u");
  auto a = new_group(*d, "a");
  auto b = new_group(*d, "b");
  ASSERT_EQ(group_member_db_add(*d, *a, MEMBER_USER, u->id), 0);
  ASSERT_EQ(group_member_db_add(*d, *a, MEMBER_GROUP, b->id), 0);
  const std::string users_file = file(("group_users_" + std::to_string(a->id)).c_str());
  const std::string groups_file = file(("group_groups_" + std::to_string(a->id)).c_str());
  EXPECT_EQ(file_size(users_file), 12);
  EXPECT_EQ(group_member_db_remove(*d, *a, MEMBER_USER, u->id), 0);
  EXPECT_EQ(file_size(users_file), 0);
  EXPECT_EQ(group_member_db_remove(*d, *a, MEMBER_USER, u->id), 1);

  ASSERT_EQ(group_db_remove(*d, *a), 0);
  EXPECT_EQ(kt::file_exists(users_file.c_str()), -1);
  EXPECT_EQ(kt::file_exists(groups_file.c_str()), -1);
  EXPECT_EQ(file_size(file("groups")), GROUP_RECORD_SIZE);
  EXPECT_EQ(group_db_remove(*d, *a), E_GENERIC);

  a->name = "renamed";
  EXPECT_EQ(group_db_edit(*d, *a), E_GENERIC);  // gone
  b->name = "b2";
  ASSERT_EQ(group_db_edit(*d, *b), 0);
  auto d2 = fresh_domain();
  ASSERT_EQ(groups_load(*d2), 0);
  EXPECT_EQ(d2->groups_by_id.get_rw(b->id)->name, "b2");
}

TEST_F(GroupsTest, RefusedRecordLeavesNoIdentifier) {
  block_file("groups");
  auto gr = group_create();
  gr->name = "x";
  EXPECT_NE(group_db_add(*d, *gr), 0);
  EXPECT_EQ(gr->id, 0u);
}

TEST_F(GroupsTest, FromXmlByIdThenName) {
  auto a = new_group(*d, "a");
  auto b = new_group(*d, "b");
  kt::xmldoc doc;
  ASSERT_EQ(
      doc.parse("<groupEdit><g id=\"" + std::to_string(a->id) + "\" name=\"b\"/></groupEdit>"), 0);
  EXPECT_EQ(group_from_xml(*d, *doc.root()), a);  // the g child; id wins over name
  kt::xmldoc by_name;
  ASSERT_EQ(by_name.parse("<g name=\"b\"/>"), 0);
  EXPECT_EQ(group_from_xml(*d, *by_name.root()), b);
  for (const char* text : {"<g id=\"1\" name=\"a\"/>", "<g id=\"12x\"/>", "<g name=\"zz\"/>",
                           "<g/>", "<x><y/></x>", "<g id=\"99999999999999999999\"/>"}) {
    kt::xmldoc doc2;
    ASSERT_EQ(doc2.parse(text), 0) << text;
    EXPECT_FALSE(group_from_xml(*d, *doc2.root())) << text;
  }
}

}  // namespace
}  // namespace orvane
