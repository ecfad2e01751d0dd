#include "objects/resources/resource_records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "errors.h"
#include "objects/attributes/attribute_records.h"
#include "objects/permissions/permission_records.h"
#include "objects/record.h"
#include "objects/resources/resource_internal.h"
#include "server/groups/domain_fixture.h"

namespace orvane {
namespace {

using ResourcesTest = orvane_test::domain_fixture;

// Appends a raw resource record.
void put_resource(uint64_t id, uint64_t parent_id, const std::string& name) {
  record rec(RESOURCE_RECORD_SIZE);
  rec.put_u64(0, id);
  rec.put_u64(11, parent_id);
  rec.put_str(21, 128, name);
  orvane_test::domain_fixture::append_bytes(orvane_test::domain_fixture::file("resources"),
                                            rec.data(), rec.size());
}

TEST_F(ResourcesTest, TreeAndSystemResourcesSurviveReload) {
  auto top = new_system_resources(*d);
  auto app = new_resource(*d, "app", top);
  auto leaf = new_resource(*d, "leaf", app);
  auto side = new_resource(*d, "side", nullptr);
  EXPECT_EQ(leaf->parent_id, app->id);
  EXPECT_EQ(side->parent_id, 0u);

  auto d2 = fresh_domain();
  ASSERT_EQ(resources_load(*d2), 0);
  EXPECT_EQ(d2->resources_by_id.count(), 9u);
  for (int i = 0; i < SYS_RES_COUNT; ++i) {
    auto r = d2->resources_by_id.get_rw(d2->sys_res[i]);
    ASSERT_TRUE(r) << i;
    EXPECT_EQ(r->name, sys_resource_names[i]);
    EXPECT_EQ(r->flags, 7);
  }
  auto leaf2 = d2->resources_by_name.get_rw("leaf");
  ASSERT_TRUE(leaf2);
  EXPECT_EQ(leaf2->id, leaf->id);
  EXPECT_EQ(leaf2->type, 3);
  EXPECT_EQ(leaf2->dom.get(), d2.get());
  ASSERT_TRUE(leaf2->parent);
  EXPECT_EQ(leaf2->parent->name, "app");
  EXPECT_TRUE(leaf2->parent->children.get_rw(leaf->id));
  EXPECT_EQ(d2->resources_by_id.get_rw(top->id)->children.count(), 6u);
  EXPECT_FALSE(d2->resources_by_name.get_rw("side")->parent);
}

TEST_F(ResourcesTest, MissingSystemResourcesFailTheLoad) {
  new_resource(*d, "other", nullptr);
  EXPECT_EQ(resources_load(*fresh_domain()), -1);

  auto top = new_resource(*d, "ORVANE", nullptr);
  for (int i = 1; i < SYS_RES_COUNT - 1; ++i) new_resource(*d, sys_resource_names[i], top);
  auto wrong = new_resource(*d, sys_resource_names[SYS_RES_COUNT - 1], nullptr);  // not under it
  auto d2 = fresh_domain();
  EXPECT_EQ(resources_load(*d2), -2);
  EXPECT_EQ(d2->sys_res[SYS_RES_ORVANE], 0u);
}

TEST_F(ResourcesTest, OrphanIsRemovedWithItsSubtree) {
  new_system_resources(*d);
  // x's parent does not exist; y and z hang below x, in both file orders.
  put_resource(1001, 999, "z");  // before its parent y
  put_resource(1000, 1002, "y");
  put_resource(1002, 999, "x");
  put_resource(1003, 1000, "w");  // after its parent y

  auto d2 = fresh_domain();
  ASSERT_EQ(resources_load(*d2), 0);
  EXPECT_EQ(d2->resources_by_id.count(), 6u);
  for (const char* name : {"x", "y", "z", "w"}) EXPECT_FALSE(d2->resources_by_name.get_rw(name));
  EXPECT_EQ(file_size(file("resources")), 6 * static_cast<long>(RESOURCE_RECORD_SIZE));
}

TEST_F(ResourcesTest, ParentLoopsAreRemovedWithoutHanging) {
  new_system_resources(*d);
  put_resource(2000, 2001, "a");
  put_resource(2001, 2000, "b");
  put_resource(2002, 2002, "self");
  put_resource(2003, 2001, "below");
  auto d2 = fresh_domain();
  ASSERT_EQ(resources_load(*d2), 0);
  EXPECT_EQ(d2->resources_by_id.count(), 6u);
}

TEST_F(ResourcesTest, DamagedRecordsAreSkipped) {
  auto top = new_system_resources(*d);
  put_resource(top->id, 0, "dupid");
  put_resource(3000, 0, "ORVANE");  // duplicate name
  put_resource(0, 0, "zero");
  record noterm(RESOURCE_RECORD_SIZE);
  noterm.put_u64(0, 3001);
  std::memset(noterm.data() + 21, 'n', 128);
  append_bytes(file("resources"), noterm.data(), noterm.size());
  append_bytes(file("resources"), "cut", 3);

  auto d2 = fresh_domain();
  ASSERT_EQ(resources_load(*d2), 0);
  EXPECT_EQ(d2->resources_by_id.count(), 6u);
  EXPECT_EQ(d2->resources_by_id.get_rw(top->id)->name, "ORVANE");
}

TEST_F(ResourcesTest, RemoveTakesSubtreePermissionsAndAttributes) {
  auto top = new_system_resources(*d);
  auto u = add_user(*d, "u");
  auto a = new_resource(*d, "a", top);
  auto b = new_resource(*d, "b", a);
  auto c = new_resource(*d, "c", b);
  for (const auto& r : {a, c}) {
    auto p = permission_create();
    p->target_id = r->id;
    p->member_type = MEMBER_USER;
    p->member_id = u->id;
    p->flags = PERM_READ;
    ASSERT_EQ(permission_db_add(*d, *p), 0);
    permission_attach(*r, p);
    ASSERT_EQ(_permission_fix_member_add(*d, *p), 0);
  }
  auto attr = attribute_create();
  attr->name = "note";
  attr->type = ATTR_TYPE_STRING;
  attr->ttype = ATTR_TARGET_RESOURCE;
  attr->target_id = b->id;
  attr->value.assign(300, 'v');
  attr->dom = d.get();
  ASSERT_EQ(attributes_db_add(*d, *attr), 0);
  b->attributes.insert_rw(attr->name, attr);
  const std::string value_file = file(("attribute_" + std::to_string(attr->id)).c_str());
  ASSERT_EQ(file_size(value_file), 300);
  EXPECT_EQ(u->permissions.count(), 2u);

  top->children.remove_rw(a->id);
  ASSERT_EQ(_resource_remove(*d, *a), 0);
  for (const char* name : {"a", "b", "c"}) EXPECT_FALSE(d->resources_by_name.get_rw(name));
  EXPECT_EQ(d->resources_by_id.count(), 6u);
  EXPECT_EQ(u->permissions.count(), 0u);
  EXPECT_EQ(a->permissions.count(), 0u);
  EXPECT_EQ(b->attributes.count(), 0u);
  EXPECT_EQ(file_size(file("permissions")), 0);
  EXPECT_EQ(file_size(file("attributes")), 0);
  EXPECT_EQ(file_size(value_file), -1);
  EXPECT_EQ(file_size(file("resources")), 6 * static_cast<long>(RESOURCE_RECORD_SIZE));
  EXPECT_EQ(_resource_remove(*d, *a), E_GENERIC);  // record already gone
}

TEST_F(ResourcesTest, TraceIdFollowsTheParents) {
  auto top = new_system_resources(*d);
  auto a = new_resource(*d, "a", top);
  auto b = new_resource(*d, "b", a);
  EXPECT_EQ(_resource_trace_id(*b, b->id), 1);
  EXPECT_EQ(_resource_trace_id(*b, top->id), 1);
  EXPECT_EQ(_resource_trace_id(*a, b->id), 0);
}

TEST_F(ResourcesTest, EditAndRefusedAdd) {
  auto top = new_system_resources(*d);
  auto a = new_resource(*d, "a", nullptr);
  a->name = "a2";
  a->type = 9;
  a->parent = top;
  ASSERT_EQ(resource_db_edit(*d, *a), 0);
  auto d2 = fresh_domain();
  ASSERT_EQ(resources_load(*d2), 0);
  auto a2 = d2->resources_by_id.get_rw(a->id);
  EXPECT_EQ(a2->name, "a2");
  EXPECT_EQ(a2->type, 9);
  EXPECT_EQ(a2->parent_id, top->id);

  ASSERT_EQ(std::remove(file("resources").c_str()), 0);
  block_file("resources");
  auto r = resource_create();
  r->name = "x";
  EXPECT_NE(resource_db_add(*d, *r), 0);
  EXPECT_EQ(r->id, 0u);
}

}  // namespace
}  // namespace orvane
