#include "objects/netclients/netclient_records.h"

#include <gtest/gtest.h>

#include <cstring>

#include "errors.h"
#include "objects/attributes/attribute_records.h"
#include "objects/record.h"
#include "server/groups/domain_fixture.h"

namespace orvane {
namespace {

using NetClientsTest = orvane_test::domain_fixture;

uint64_t key_of(const char* text) {
  kt::ipv4_address a{};
  EXPECT_EQ(kt::ipv4_parse_addr(text, a), 0) << text;
  return netclient_addr_key(a);
}

TEST_F(NetClientsTest, RecordSurvivesReloadWithAddressSlots) {
  auto nc = netclient_create();
  nc->set_name("edge");
  nc->flags = NETCLIENT_FLAG_SYSTEM | NETCLIENT_FLAG_READ_ONLY;
  const std::string long_address = "2001:" + std::string(200, 'f');
  nc->set_addresses(
      {"10.0.0.1", "10.0.0.2", "", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6"},
      {"fe80::1", "::1", "2001:db8::/32", "2001:db8::1", long_address, "2001:db8::2"});
  ASSERT_EQ(netclient_db_add(*d, *nc), 0);
  ASSERT_NE(nc->id, 0u);
  EXPECT_EQ(file_size(file("authorityclients")), 1417);

  auto d2 = fresh_domain();
  ASSERT_EQ(netclients_load(*d2), 0);
  auto nc2 = d2->netclients_by_name.get_rw("edge");
  ASSERT_TRUE(nc2);
  EXPECT_EQ(d2->netclients_by_id.get_rw(nc->id), nc2);
  EXPECT_EQ(nc2->flags, NETCLIENT_FLAG_SYSTEM | NETCLIENT_FLAG_READ_ONLY);
  EXPECT_EQ(nc2->dom.get(), d2.get());
  // Five IPv4 slots, then IPv6 up to ten slots in all; each slot keeps 127 bytes.
  EXPECT_EQ(nc2->v4_addresses(),
            (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"}));
  EXPECT_EQ(nc2->v6_addresses(),
            (std::vector<std::string>{"fe80::1", "::1", "2001:db8::/32", "2001:db8::1",
                                      long_address.substr(0, 127)}));
}

TEST_F(NetClientsTest, CutIPv6SlotWithoutColonReloadsAsIPv4Text) {
  auto nc = netclient_create();
  nc->set_name("n");
  nc->set_addresses({}, {std::string(130, 'a') + "::1"});
  ASSERT_EQ(netclient_db_add(*d, *nc), 0);
  auto d2 = fresh_domain();
  ASSERT_EQ(netclients_load(*d2), 0);
  auto nc2 = d2->netclients_by_id.get_rw(nc->id);
  EXPECT_EQ(nc2->v4_addresses(), std::vector<std::string>{std::string(127, 'a')});
  EXPECT_TRUE(nc2->v6_addresses().empty());
}

TEST_F(NetClientsTest, EditRewritesAndDeleteRemoves) {
  auto nc = netclient_create();
  nc->set_name("a");
  ASSERT_EQ(netclient_db_add(*d, *nc), 0);
  nc->set_name("b");
  nc->set_addresses({"192.168.1.0/24"}, {"::1"});
  ASSERT_EQ(netclient_db_edit(*d, *nc), 0);
  auto d2 = fresh_domain();
  ASSERT_EQ(netclients_load(*d2), 0);
  auto nc2 = d2->netclients_by_name.get_rw("b");
  ASSERT_TRUE(nc2);
  EXPECT_EQ(nc2->v4_addresses(), std::vector<std::string>{"192.168.1.0/24"});
  EXPECT_EQ(nc2->v6_addresses(), std::vector<std::string>{"::1"});
  ASSERT_EQ(netclient_db_remove(*d, *nc), 0);
  EXPECT_EQ(netclient_db_remove(*d, *nc), E_GENERIC);
  EXPECT_EQ(netclient_db_edit(*d, *nc), E_GENERIC);
  EXPECT_EQ(file_size(file("authorityclients")), 0);

  ASSERT_EQ(std::remove(file("authorityclients").c_str()), 0);
  block_file("authorityclients");
  auto refused = netclient_create();
  refused->set_name("r");
  EXPECT_NE(netclient_db_add(*d, *refused), 0);
  EXPECT_EQ(refused->id, 0u);
}

TEST_F(NetClientsTest, LoadSkipsDamagedRecordsAndFillsIndexes) {
  auto nc = netclient_create();
  nc->set_name("good");
  nc->set_addresses({"127.0.0.1", "10.1.0.0/16", "not-an-address"}, {"::1"});
  ASSERT_EQ(netclient_db_add(*d, *nc), 0);
  record dup(NETCLIENT_RECORD_SIZE);
  dup.put_u64(0, 77);
  dup.put_str(8, 128, "good");  // name taken
  append_bytes(file("authorityclients"), dup.data(), dup.size());
  record noterm(NETCLIENT_RECORD_SIZE);
  noterm.put_u64(0, 78);
  std::memset(noterm.data() + 8, 'n', NETCLIENT_RECORD_SIZE - 8);  // nothing terminated
  append_bytes(file("authorityclients"), noterm.data(), noterm.size());
  append_bytes(file("authorityclients"), "xyz", 3);

  auto d2 = fresh_domain();
  ASSERT_EQ(netclients_load(*d2), 0);
  EXPECT_EQ(d2->netclients_by_id.count(), 1u);
  EXPECT_EQ(d2->netclient_index.count(), 2u);
  EXPECT_TRUE(d2->netclient_index.get_rw(key_of("127.0.0.1")).prefix == 32);
  EXPECT_EQ(d2->netclient_index.get_rw(key_of("10.1.0.0/16")).prefix, 16);
  EXPECT_EQ(g.netclients.count(), 2u);

  _netclient_addrlist_remove(g, *d2, *d2->netclients_by_id.get_rw(nc->id));
  EXPECT_EQ(d2->netclient_index.count(), 0u);
  EXPECT_EQ(g.netclients.count(), 0u);
  _netclient_addrlist_remove(g, *d2, *d2->netclients_by_id.get_rw(nc->id));  // logged only
  _netclient_addrlist_add(g, *d2, *d2->netclients_by_id.get_rw(nc->id));
  EXPECT_EQ(g.netclients.count(), 2u);
}

TEST_F(NetClientsTest, XmlListing) {
  auto nc = netclient_create();
  nc->set_name("web");
  nc->set_addresses({"10.0.0.1", "10.0.0.2"}, {"::1"});
  ASSERT_EQ(netclient_db_add(*d, *nc), 0);
  auto d2 = fresh_domain();
  ASSERT_EQ(netclients_load(*d2), 0);
  auto nc2 = d2->netclients_by_id.get_rw(nc->id);
  auto a = attribute_create();
  a->name = "owner";
  a->type = ATTR_TYPE_STRING;
  a->value = "me";
  nc2->attributes.insert_rw(a->name, a);

  auto plain = netclients_to_xml(*d2, false);
  ASSERT_EQ(plain->name(), "authorityclients");
  ASSERT_EQ(plain->child_count(), 1u);
  const kt::xmldoc_node* e = plain->first_child();
  EXPECT_EQ(e->name(), "authorityclient");
  EXPECT_EQ(e->attr_get_value("id"), std::to_string(nc->id));
  EXPECT_EQ(e->attr_get_value("name"), "web");
  EXPECT_EQ(e->value(), "web");
  EXPECT_EQ(e->attr_get("ref"), nullptr);
  EXPECT_EQ(e->get("attributes"), nullptr);
  const kt::xmldoc_node* list = e->get("addrlist");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->child_count(), 2u);
  EXPECT_EQ(list->children()[0]->value(), "10.0.0.1");

  auto detailed = netclients_to_xml(*d2, true);
  const kt::xmldoc_node* f = detailed->first_child();
  // Both tables and nc2 of this test hold one reference each.
  EXPECT_EQ(f->attr_get_value("ref"), "3");
  ASSERT_NE(f->get("attributes"), nullptr);
  EXPECT_EQ(f->get("attributes")->first_child()->value(), "me");
}

}  // namespace
}  // namespace orvane
