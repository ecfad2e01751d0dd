#include "objects/attributes/attribute_records.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>

#include "errors.h"
#include "objects/record.h"
#include "server/groups/domain_fixture.h"

namespace orvane {
namespace {

class AttributesTest : public orvane_test::domain_fixture {
 protected:
  kt::ref_ptr<attribute> add(uint8_t ttype, uint64_t target_id, const std::string& name,
                             uint32_t type, std::string value) {
    auto a = attribute_create();
    a->name = name;
    a->type = type;
    a->ttype = ttype;
    a->target_id = target_id;
    a->flags = 1;
    a->dom = d.get();
    a->value = std::move(value);
    _attribute_value_set(*a);
    EXPECT_EQ(attributes_db_add(*d, *a), 0);
    attribute_target_table(*d, ttype, target_id, nullptr)->insert_rw(a->name, a);
    return a;
  }

  static std::string value_file(uint64_t id) {
    return file(("attribute_" + std::to_string(id)).c_str());
  }

  // Loads every kind of target, then the attributes, into a new domain.
  kt::ref_ptr<domain> reload() {
    auto d2 = fresh_domain();
    copy_users(*d, *d2);
    EXPECT_EQ(groups_load(*d2), 0);
    resources_load(*d2);  // -1 where a test has no system resources
    EXPECT_EQ(netclients_load(*d2), 0);
    EXPECT_EQ(attributes_load(*d2), 0);
    return d2;
  }
};

TEST_F(AttributesTest, EveryTargetAndTypeSurvivesReload) {
  auto top = new_system_resources(*d);
  auto u = add_user(*d, "u");
  auto gr = new_group(*d, "g");
  auto nc = netclient_create();
  nc->set_name("nc");
  nc->dom = d;
  ASSERT_EQ(netclient_db_add(*d, *nc), 0);
  d->netclients_by_name.insert_rw("nc", nc);
  d->netclients_by_id.insert_rw(nc->id, nc);
  const std::string binary("\x00\x01\xff\x00", 4);
  const std::string long_text(129, 's');
  add(ATTR_TARGET_DOMAIN, d->id, "flag", ATTR_TYPE_BOOLEAN, std::string(1, '\1'));
  add(ATTR_TARGET_RESOURCE, top->id, "num", ATTR_TYPE_NUMBER, "-42");
  add(ATTR_TARGET_GROUP, gr->id, "dec", ATTR_TYPE_DECIMAL, "2.5");
  auto long_attr = add(ATTR_TARGET_USER, u->id, "text", ATTR_TYPE_STRING, long_text);
  add(ATTR_TARGET_NETCLIENT, nc->id, "bin", ATTR_TYPE_BINARY, binary);
  add(ATTR_TARGET_USER, u->id, "edge", ATTR_TYPE_STRING, std::string(128, 'e'));  // inline
  add(ATTR_TARGET_USER, u->id, "empty", ATTR_TYPE_STRING, "");
  EXPECT_EQ(file_size(value_file(long_attr->id)), 129);

  auto d2 = reload();
  auto flag = d2->attributes.get_rw("flag");
  ASSERT_TRUE(flag);
  EXPECT_TRUE(flag->v_bool);
  EXPECT_EQ(flag->flags, 1);
  EXPECT_EQ(flag->dom, d2.get());
  EXPECT_FALSE(flag->target);
  auto num = d2->resources_by_id.get_rw(top->id)->attributes.get_rw("num");
  ASSERT_TRUE(num);
  EXPECT_EQ(num->v_number, -42);
  EXPECT_EQ(num->target.get(), d2->resources_by_id.get_rw(top->id).get());
  EXPECT_DOUBLE_EQ(d2->groups_by_id.get_rw(gr->id)->attributes.get_rw("dec")->v_decimal, 2.5);
  auto u2 = d2->users_by_id.get_rw(u->id);
  auto text = u2->attributes.get_rw("text");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->value, long_text);
  EXPECT_EQ(text->id, long_attr->id);
  EXPECT_EQ(text->ttype, ATTR_TARGET_USER);
  EXPECT_EQ(text->target_id, u->id);
  EXPECT_EQ(u2->attributes.get_rw("edge")->value, std::string(128, 'e'));
  EXPECT_EQ(u2->attributes.get_rw("empty")->value, "");
  EXPECT_EQ(d2->netclients_by_id.get_rw(nc->id)->attributes.get_rw("bin")->value, binary);
}

TEST_F(AttributesTest, ValueFileIsPrivateAndFollowsTheValue) {
  auto a = add(ATTR_TARGET_DOMAIN, d->id, "big", ATTR_TYPE_BINARY, std::string(5000, 'b'));
  struct stat st {};
  ASSERT_EQ(::stat(value_file(a->id).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 5000);

  a->value.assign(300, 'c');
  ASSERT_EQ(attributes_db_edit(*d, *a), 0);
  EXPECT_EQ(file_size(value_file(a->id)), 300);
  a->value = "short";
  ASSERT_EQ(attributes_db_edit(*d, *a), 0);
  EXPECT_EQ(file_size(value_file(a->id)), -1);
  auto d2 = reload();
  EXPECT_EQ(d2->attributes.get_rw("big")->value, "short");

  a->value.assign(200, 'd');
  ASSERT_EQ(attributes_db_edit(*d, *a), 0);
  ASSERT_EQ(attributes_db_remove(*d, *a), 0);
  EXPECT_EQ(file_size(value_file(a->id)), -1);
  EXPECT_EQ(file_size(file("attributes")), 0);
}

TEST_F(AttributesTest, RefusedRecordLeavesNothingBehind) {
  block_file("attributes");
  auto a = attribute_create();
  a->name = "x";
  a->type = ATTR_TYPE_STRING;
  a->value.assign(1000, 'x');
  EXPECT_NE(attributes_db_add(*d, *a), 0);
  EXPECT_EQ(a->id, 0u);
  std::string listing;
  for (const auto& e : std::filesystem::directory_iterator(path_domain_dir(kDomainId))) {
    listing += e.path().filename().string() + " ";
  }
  EXPECT_EQ(listing, "attributes ");
}

TEST_F(AttributesTest, LoadSkipsUnusableRecords) {
  new_system_resources(*d);
  auto u = add_user(*d, "u");
  auto keep = add(ATTR_TARGET_USER, u->id, "keep", ATTR_TYPE_STRING, "v");
  const auto raw = [&](uint64_t id, uint8_t ttype, uint64_t target, uint32_t type,
                       const std::string& name, uint32_t length) {
    record rec(ATTRIBUTE_RECORD_SIZE);
    rec.put_u64(0, id);
    rec.put_u8(8, ttype);
    rec.put_u64(9, target);
    rec.put_u32(17, type);
    rec.put_str(22, 128, name);
    rec.put_u32(150, length);
    if (name.empty()) std::memset(rec.data() + 22, 'n', 128);  // no terminator
    append_bytes(file("attributes"), rec.data(), rec.size());
  };
  for (uint8_t t = ATTR_TARGET_RESOURCE; t <= ATTR_TARGET_NETCLIENT; ++t) {
    raw(100 + t, t, 4711, ATTR_TYPE_STRING, "orphan", 0);  // missing target of every kind
  }
  raw(200, 9, u->id, ATTR_TYPE_STRING, "ttype", 0);                      // unknown target type
  raw(201, ATTR_TARGET_USER, u->id, 0, "type0", 0);                      // no type
  raw(202, ATTR_TARGET_USER, u->id, ATTR_TYPE_STRING, "", 0);            // name without terminator
  raw(203, ATTR_TARGET_USER, u->id, ATTR_TYPE_STRING, "nofile", 500);    // value file missing
  raw(keep->id, ATTR_TARGET_USER, u->id, ATTR_TYPE_STRING, "again", 0);  // duplicate id
  raw(204, ATTR_TARGET_USER, u->id, ATTR_TYPE_STRING, "keep", 0);        // name taken
  raw(205, ATTR_TARGET_USER, u->id, ATTR_TYPE_STRING, "huge", 0xffffffffu);  // no file either
  append_bytes(file("attributes"), "garbage", 7);

  auto d2 = reload();
  auto u2 = d2->users_by_id.get_rw(u->id);
  EXPECT_EQ(u2->attributes.count(), 1u);
  EXPECT_EQ(u2->attributes.get_rw("keep")->id, keep->id);
  EXPECT_EQ(d2->attributes.count(), 0u);
}

TEST_F(AttributesTest, TypedValues) {
  auto a = attribute_create();
  const auto set = [&](uint32_t type, std::string value) {
    a->type = type;
    a->value = std::move(value);
    _attribute_value_set(*a);
  };
  set(ATTR_TYPE_BOOLEAN, "");
  EXPECT_FALSE(a->v_bool);
  set(ATTR_TYPE_BOOLEAN, std::string(1, '\0'));
  EXPECT_FALSE(a->v_bool);
  set(ATTR_TYPE_BOOLEAN, std::string(1, '\1'));
  EXPECT_TRUE(a->v_bool);
  EXPECT_EQ(attribute_value_text(*a), "1");
  set(ATTR_TYPE_NUMBER, "1800");
  EXPECT_EQ(a->v_number, 1800);
  set(ATTR_TYPE_NUMBER, "99999999999999999999999");
  EXPECT_EQ(a->v_number, INT64_MAX);
  set(ATTR_TYPE_NUMBER, "abc");
  EXPECT_EQ(a->v_number, 0);
  set(ATTR_TYPE_DECIMAL, "-0.25");
  EXPECT_DOUBLE_EQ(a->v_decimal, -0.25);
  set(ATTR_TYPE_BINARY, std::string("\x00\xfb", 2));
  EXPECT_EQ(attribute_value_text(*a), "APs=");
}

TEST_F(AttributesTest, XmlOutputForm) {
  auto on = add(ATTR_TARGET_DOMAIN, d->id, "on", ATTR_TYPE_BOOLEAN, std::string(1, '\1'));
  add(ATTR_TARGET_DOMAIN, d->id, "none", ATTR_TYPE_STRING, "");
  auto element = attributes_to_xml(d->attributes);
  ASSERT_EQ(element->name(), "attributes");
  ASSERT_EQ(element->child_count(), 2u);
  const kt::xmldoc_node* none = element->children()[0].get();  // newest first
  EXPECT_EQ(none->attr_get_value("name"), "none");
  EXPECT_FALSE(none->has_value());
  const kt::xmldoc_node* a = element->children()[1].get();
  EXPECT_EQ(a->name(), "a");
  EXPECT_EQ(a->attr_get_value("id"), std::to_string(on->id));
  EXPECT_EQ(a->attr_get_value("flags"), "1");
  EXPECT_EQ(a->attr_get_value("type"), "1");
  EXPECT_EQ(a->attr_get_value("ttype"), "0");
  EXPECT_EQ(a->attr_get_value("target"), std::to_string(kDomainId));
  EXPECT_EQ(a->value(), "1");
}

TEST_F(AttributesTest, DomainSettings) {
  struct {
    const char* name;
    uint32_t type;
    const char* value;
  } settings[] = {
      {"passwordExpireDays", ATTR_TYPE_NUMBER, "180"},
      {"passwordMinLength", ATTR_TYPE_NUMBER, "6"},
      {"expireTokenSec", ATTR_TYPE_NUMBER, "1800"},
      {"maxAttrValueLenMB", ATTR_TYPE_NUMBER, "-4"},
      {"passwordMustLetter", ATTR_TYPE_BOOLEAN, "\1"},
      {"passwordMustDigit", ATTR_TYPE_BOOLEAN, ""},
      {"passwordMustCapital", ATTR_TYPE_BOOLEAN, "\1"},
      {"nssProfilesApiNcOnly", ATTR_TYPE_BOOLEAN, "\1"},
      {"authorizationApiNcOnly", ATTR_TYPE_NUMBER, "1"},  // wrong type: not set
  };
  for (const auto& s : settings) add(ATTR_TARGET_DOMAIN, d->id, s.name, s.type, s.value);
  auto d2 = reload();
  domain_settings_load(*d2);
  EXPECT_EQ(d2->password_expire_days.load(), 180u);
  EXPECT_EQ(d2->password_min_length.load(), 6u);
  EXPECT_EQ(d2->expire_token_sec.load(), 1800u);
  EXPECT_EQ(d2->max_attr_value_len_mb.load(), 0u);
  EXPECT_EQ(d2->password_policy.load(), PASSWORD_MUST_LETTER | PASSWORD_MUST_CAPITAL);
  EXPECT_EQ(d2->nc_only.load(), API_NSS_PROFILES);

  auto edit = attribute_create();
  edit->name = "managementApiNcOnly";
  edit->type = ATTR_TYPE_BOOLEAN;
  edit->value.assign(1, '\1');
  _attribute_value_set(*edit);
  EXPECT_EQ(domain_setting_apply(*d2, *edit), 1);
  EXPECT_EQ(d2->nc_only.load(), API_NSS_PROFILES | API_MANAGEMENT);
  edit->name = "nssProfilesApiNcOnly";
  edit->value.assign(1, '\0');
  _attribute_value_set(*edit);
  EXPECT_EQ(domain_setting_apply(*d2, *edit), 1);
  EXPECT_EQ(d2->nc_only.load(), API_MANAGEMENT);
  edit->name = "passwordMustLetter";
  EXPECT_EQ(domain_setting_apply(*d2, *edit), 1);
  EXPECT_EQ(d2->password_policy.load(), PASSWORD_MUST_CAPITAL);

  edit->name = "expireTokenSec";
  edit->type = ATTR_TYPE_NUMBER;
  edit->value = "30";
  _attribute_value_set(*edit);
  EXPECT_EQ(domain_setting_check(*edit), static_cast<int>(E_VALUE_INVALID));
  edit->value = "3600";
  _attribute_value_set(*edit);
  EXPECT_EQ(domain_setting_check(*edit), 0);
  EXPECT_EQ(domain_setting_apply(*d2, *edit), 1);
  EXPECT_EQ(d2->expire_token_sec.load(), 3600u);
  edit->name = "passwordMinLength";
  edit->value = "0";
  _attribute_value_set(*edit);
  EXPECT_EQ(domain_setting_check(*edit), static_cast<int>(E_VALUE_INVALID));
  edit->type = ATTR_TYPE_STRING;
  edit->value = "8";
  EXPECT_EQ(domain_setting_check(*edit), static_cast<int>(E_VALUE_INVALID));
  edit->name = "ssoWebPortal";
  EXPECT_EQ(domain_setting_check(*edit), 0);
  EXPECT_EQ(domain_setting_apply(*d2, *edit), 0);
}

}  // namespace
}  // namespace orvane
