// The attribute commands run through the dispatcher on a server context built on a temporary
// root: attrInsert, attrEdit, attrRemove, attrSearch, getAttributes and the domain settings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/attributes/attribute_records.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "objects/groups/group_records.h"
#include "objects/netclients/netclient.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource_records.h"
#include "objects/users/user.h"
#include "support/server_fixture.h"

namespace orvane {
namespace {

using orvane_test::server_fixture;

// One "a" element of an answer.
struct listed {
  std::string name;
  std::string flags;
  std::string type;
  std::string value;
  bool has_ttype = false;
};

class AttributeCommandsTest : public server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    admin_ = admin_token();
    refresh();
  }

  void TearDown() override {
    d_.reset();
    server_fixture::TearDown();
  }

  void refresh() {
    d_ = domain_named("ORVANE");
    ASSERT_TRUE(d_);
  }

  void restart_all() {
    d_.reset();
    restart();
    refresh();
    admin_ = admin_token();
  }

  std::string did() const { return std::to_string(d_->id); }

  // A command on the root domain; the Administrator's token unless another is given ("-" for
  // none).
  uint32_t command(const std::string& name, const std::string& attrs, const std::string& body,
                   const std::string& tok = "") {
    std::string token_attr;
    if (tok != "-") token_attr = " token='" + (tok.empty() ? admin_ : tok) + "'";
    return run("<orvane><" + name + " domain='ORVANE'" + token_attr + " " + attrs + ">" + body +
               "</" + name + "></orvane>");
  }

  static std::string target(const std::string& ttype, uint64_t id) {
    return "targettype='" + ttype + "' target='" + std::to_string(id) + "'";
  }

  uint32_t insert(const std::string& ttype, uint64_t id, const std::string& a,
                  const std::string& tok = "") {
    return command("attrInsert", target(ttype, id), a, tok);
  }
  uint32_t edit(const std::string& ttype, uint64_t id, const std::string& a,
                const std::string& tok = "") {
    return command("attrEdit", target(ttype, id), a, tok);
  }
  uint32_t remove(const std::string& ttype, uint64_t id, const std::string& a,
                  const std::string& tok = "") {
    return command("attrRemove", target(ttype, id), a, tok);
  }
  uint32_t edit_setting(const std::string& name, const std::string& value,
                        const std::string& type = "") {
    const std::string type_attr = type.empty() ? "" : " type='" + type + "'";
    return edit("0", d_->id, "<a name='" + name + "'" + type_attr + ">" + value + "</a>");
  }

  uint64_t inserted_id() const {
    const kt::xmldoc_node* n = answer("insertedId");
    return n != nullptr ? std::stoull(n->value()) : 0;
  }

  std::vector<listed> listing() const {
    std::vector<listed> out;
    const kt::xmldoc_node* attrs = answer("attributes");
    if (attrs == nullptr) return out;
    for (const auto& a : attrs->children()) {
      out.push_back(
          {std::string(a->attr_get_value("name")), std::string(a->attr_get_value("flags")),
           std::string(a->attr_get_value("type")), a->value(), a->attr_get("ttype") != nullptr});
    }
    return out;
  }

  std::vector<listed> search(const std::string& ttype, const std::string& tgt,
                             const std::string& pattern = "", const std::string& opt = "",
                             const std::string& tok = "", uint32_t* code = nullptr) {
    const std::string opt_attr = opt.empty() ? "" : " opt='" + opt + "'";
    const uint32_t rc = command("attrSearch", "targettype='" + ttype + "' target='" + tgt + "'",
                                "<s" + opt_attr + ">" + pattern + "</s>", tok);
    if (code != nullptr) {
      *code = rc;
    } else {
      EXPECT_EQ(rc, 0u) << response_text();
    }
    return listing();
  }

  std::vector<listed> get_attributes(const std::string& path, const std::string& tok,
                                     uint32_t* code) {
    *code = command("getAttributes", "", "<path>" + path + "</path>", tok);
    EXPECT_NE(answer("attributes"), nullptr) << response_text();
    return listing();
  }

  static const listed* find(const std::vector<listed>& all, const std::string& name) {
    for (const listed& a : all) {
      if (a.name == name) return &a;
    }
    return nullptr;
  }

  kt::ref_ptr<group> add_group(const std::string& name) {
    kt::ref_ptr<group> gr = group_create();
    gr->name = name;
    gr->dom = d_;
    EXPECT_EQ(group_db_add(*d_, *gr), 0);
    d_->groups_by_name.insert_rw(gr->name, gr);
    d_->groups_by_id.insert_rw(gr->id, gr);
    return gr;
  }

  void join(group& gr, uint64_t user_id) {
    kt::ref_ptr<user> u = d_->users_by_id.get_rw(user_id);
    ASSERT_TRUE(u);
    ASSERT_EQ(group_member_db_add(*d_, gr, MEMBER_USER, u->id), 0);
    group_link_user(gr, *u);
  }

  kt::ref_ptr<resource> add_resource(const std::string& name, const kt::ref_ptr<resource>& parent) {
    kt::ref_ptr<resource> r = resource_create();
    r->name = name;
    r->dom = d_;
    r->parent = parent;
    EXPECT_EQ(resource_db_add(*d_, *r), 0);
    d_->resources_by_name.insert_rw(r->name, r);
    d_->resources_by_id.insert_rw(r->id, r);
    if (parent) parent->children.insert_rw(r->id, r);
    return r;
  }

  void grant(resource& r, uint64_t user_id, uint32_t flags) {
    kt::ref_ptr<permission> p = permission_create();
    p->target_id = r.id;
    p->member_type = MEMBER_USER;
    p->member_id = user_id;
    p->flags = flags;
    ASSERT_EQ(permission_db_add(*d_, *p), 0);
    permission_attach(r, p);
    ASSERT_EQ(_permission_fix_member_add(*d_, *p), 0);
  }

  // The audit entries of the root domain that name an attribute.
  std::vector<std::string> attr_audits() {
    std::vector<std::string> out;
    auditlog_backup_flush(*d_->log, [] { return 0; });
    std::unique_ptr<auditlog> log = auditlog_open(path_auditlog_dir(d_->id), true);
    if (!log) return out;
    const time_t now = time(nullptr);
    auditlog_read_begin(*log, now - 86400, now + 86400);
    std::unique_ptr<auditlog_entry> e;
    while (auditlog_read_entry(*log, &e) > 0) {
      if (e->info().rfind("attr ", 0) == 0) out.emplace_back(e->info());
    }
    return out;
  }

  std::string value_file(uint64_t id) const {
    return path_domain_file(d_->id, ("attribute_" + std::to_string(id)).c_str());
  }

  kt::ref_ptr<domain> d_;
  std::string admin_;
};

TEST_F(AttributeCommandsTest, EveryTypeOnEveryTargetSurvivesARestart) {
  const uint64_t uid = add_user("carol");
  const uint64_t nc = d_->netclients_by_name.get_rw("localhost")->id;
  const uint64_t res = d_->sys_res[SYS_RES_ORVANE];
  const uint64_t grp = d_->administrators->id;
  const struct {
    const char* ttype;
    uint64_t id;
  } targets[] = {{"0", d_->id}, {"resource", res}, {"2", grp}, {"user", uid}, {"4", nc}};
  for (const auto& t : targets) {
    ASSERT_EQ(insert(t.ttype, t.id, "<a name='b1' type='1'>yes</a>"), 0u) << response_text();
    EXPECT_NE(inserted_id(), 0u);
    ASSERT_EQ(insert(t.ttype, t.id, "<a name='b0' type='1'>0</a>"), 0u);
    ASSERT_EQ(insert(t.ttype, t.id, "<a name='bnone' type='1'/>"), 0u);
    ASSERT_EQ(insert(t.ttype, t.id, "<a name='num' type='2' flags='2'>-42</a>"), 0u);
    ASSERT_EQ(insert(t.ttype, t.id, "<a name='dec' type='3'>2.5</a>"), 0u);
    ASSERT_EQ(insert(t.ttype, t.id, "<a name='str' type='4'>hello world</a>"), 0u);
    ASSERT_EQ(insert(t.ttype, t.id, "<a name='bin' type='5'>AAH/AA==</a>"), 0u);
  }
  const std::string ttypes[] = {"0", "1", "2", "3", "4"};
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < 5; ++i) {
      const std::vector<listed> all =
          search(ttypes[i], std::to_string(targets[i].id), "^(b|num|dec|str)");
      ASSERT_NE(find(all, "b1"), nullptr) << response_text();
      EXPECT_EQ(find(all, "b1")->value, "1");
      EXPECT_EQ(find(all, "b0")->value, "0");
      EXPECT_EQ(find(all, "bnone")->value, "");  // no value: no text
      EXPECT_EQ(find(all, "num")->value, "-42");
      EXPECT_EQ(find(all, "num")->flags, "2");
      EXPECT_EQ(find(all, "dec")->value, "2.5");
      EXPECT_EQ(find(all, "str")->value, "hello world");
      EXPECT_EQ(find(all, "bin")->value, "AAH/AA==");
      EXPECT_EQ(find(all, "bin")->type, "5");
      EXPECT_TRUE(find(all, "bin")->has_ttype);
    }
    if (pass == 0) restart_all();
  }
  const kt::ref_ptr<attribute> bin = d_->users_by_id.get_rw(uid)->attributes.get_rw("bin");
  ASSERT_TRUE(bin);
  EXPECT_EQ(bin->value, std::string("\x00\x01\xff\x00", 4));
  EXPECT_EQ(bin->ttype, ATTR_TARGET_USER);
  EXPECT_EQ(bin->target_id, uid);
}

TEST_F(AttributeCommandsTest, LongValueLivesInAPrivateFile) {
  const uint64_t uid = add_user("dave");
  const std::string long_text(200, 'v');
  ASSERT_EQ(insert("3", uid, "<a name='note' type='4'>" + long_text + "</a>"), 0u);
  const uint64_t id = inserted_id();
  struct stat st {};
  ASSERT_EQ(::stat(value_file(id).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 200);

  restart_all();
  std::vector<listed> all = search("3", std::to_string(uid), "note");
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].value, long_text);

  // Shortened, the value moves back into the record.
  ASSERT_EQ(edit("3", uid, "<a id='" + std::to_string(id) + "'>short</a>"), 0u);
  EXPECT_FALSE(std::filesystem::exists(value_file(id)));
  ASSERT_EQ(edit("3", uid, "<a id='" + std::to_string(id) + "'>" + long_text + "x</a>"), 0u);
  EXPECT_EQ(std::filesystem::file_size(value_file(id)), 201u);
  ASSERT_EQ(remove("3", uid, "<a name='note'/>"), 0u);
  EXPECT_FALSE(std::filesystem::exists(value_file(id)));
  restart_all();
  EXPECT_TRUE(search("3", std::to_string(uid), "note").empty());
}

TEST_F(AttributeCommandsTest, NamesAreUniquePerTarget) {
  const uint64_t a = add_user("ann");
  const uint64_t b = add_user("ben");
  ASSERT_EQ(insert("3", a, "<a name='color' type='4'>red</a>"), 0u);
  EXPECT_EQ(insert("3", a, "<a name='color' type='4'>blue</a>"), E_ATTRIBUTE_EXISTS);
  EXPECT_EQ(insert("3", b, "<a name='color' type='4'>blue</a>"), 0u);
  EXPECT_EQ(insert("0", d_->id, "<a name='expireTokenSec' type='2'>100</a>"), E_ATTRIBUTE_EXISTS);
}

TEST_F(AttributeCommandsTest, MalformedRequestsAndUnknownTargets) {
  const uint64_t uid = add_user("erin");
  const std::string ok = "<a name='x' type='4'>v</a>";
  // Target reading, for all four commands; target type codes above 4 never select a table.
  for (const char* name : {"attrInsert", "attrEdit", "attrRemove", "attrSearch"}) {
    const std::string body = ok + "<s>x</s>";
    EXPECT_EQ(command(name, "target='1'", body), E_INVALID_REQUEST) << name;
    EXPECT_EQ(command(name, "targettype='3'", body), E_INVALID_REQUEST) << name;
    EXPECT_EQ(command(name, "targettype='' target='1'", body), E_INVALID_REQUEST) << name;
    EXPECT_EQ(command(name, target("7", uid), body), E_INVALID_REQUEST) << name;
    EXPECT_EQ(command(name, target("5", uid), body), E_INVALID_REQUEST) << name;
    EXPECT_EQ(command(name, target("99999999999999999999999", uid), body), E_INVALID_REQUEST);
  }
  EXPECT_EQ(insert("1", 12345, ok), E_RESOURCE_NOT_FOUND);
  EXPECT_EQ(insert("group", 12345, ok), E_GROUP_NOT_FOUND);
  EXPECT_EQ(insert("3", 12345, ok), E_USER_NOT_FOUND);
  EXPECT_EQ(insert("netclient", 12345, ok), E_NETCLIENT_NOT_FOUND);
  EXPECT_EQ(insert("0", d_->id + 1, ok), E_DOMAIN_NOT_FOUND);
  // An unknown target type name selects the domain.
  EXPECT_EQ(insert("whatever", d_->id, ok), 0u);

  // The "a" element.
  EXPECT_EQ(insert("3", uid, ""), E_INVALID_REQUEST);
  EXPECT_EQ(insert("3", uid, "<a type='4'>v</a>"), E_INVALID_REQUEST);
  EXPECT_EQ(insert("3", uid, "<a name='n'>v</a>"), E_INVALID_REQUEST);  // type 0
  EXPECT_EQ(insert("3", uid, "<a name='n' type='6'>v</a>"), E_INVALID_REQUEST);
  EXPECT_EQ(insert("3", uid, "<a name='n' type='4x'>v</a>"), E_INVALID_REQUEST);
  EXPECT_EQ(insert("3", uid, "<a name='n' type='4' flags='256'>v</a>"), E_INVALID_REQUEST);
  EXPECT_EQ(insert("3", uid, "<a name='n' type='5'>not base64!</a>"), E_INVALID_REQUEST);
  EXPECT_EQ(insert("3", uid, "<a name='a b' type='4'>v</a>"), E_NAME_INVALID);
  EXPECT_EQ(insert("3", uid, "<a name='' type='4'>v</a>"), E_NAME_INVALID);
  // Longer than the record keeps: refused rather than cut at the next start.
  EXPECT_EQ(insert("3", uid, "<a name='" + std::string(128, 'n') + "' type='4'>v</a>"),
            E_NAME_TOO_LONG);
  EXPECT_EQ(insert("3", uid, "<a name='" + std::string(127, 'n') + "' type='4'>v</a>"), 0u);
  // Edit and remove need an identifier or a name.
  EXPECT_EQ(edit("3", uid, "<a type='4'>v</a>"), E_INVALID_REQUEST);
  EXPECT_EQ(remove("3", uid, "<a/>"), E_INVALID_REQUEST);
  EXPECT_EQ(remove("3", uid, ""), E_INVALID_REQUEST);
  // Without a token the dispatcher refuses the changes.
  EXPECT_EQ(insert("3", uid, ok, "-"), E_TOKEN_NOT_FOUND);
}

TEST_F(AttributeCommandsTest, DomainAttributesNeedWriteOnTheDomain) {
  const uint64_t uid = add_user("frank");
  const std::string user_token = token("frank", "Passw0rd");
  EXPECT_EQ(insert("0", d_->id, "<a name='mine' type='4'>v</a>", user_token), E_ACCESS_VIOLATION);
  EXPECT_EQ(edit_setting("expireTokenSec", "60"), 0u);  // the Administrator may
  EXPECT_EQ(edit("0", d_->id, "<a name='expireTokenSec'>7200</a>", user_token), E_ACCESS_VIOLATION);
  EXPECT_EQ(d_->expire_token_sec.load(), 60u);
  ASSERT_EQ(insert("0", d_->id, "<a name='app' type='4'>v</a>"), 0u);
  EXPECT_EQ(remove("0", d_->id, "<a name='app'/>", user_token), E_ACCESS_VIOLATION);
  EXPECT_NE(d_->attributes.get_rw("app"), nullptr);
  // A user's attributes need WRITE on OrvaneUsers, even the caller's own.
  EXPECT_EQ(insert("3", uid, "<a name='mine' type='4'>v</a>", user_token), E_ACCESS_VIOLATION);
  ASSERT_EQ(insert("3", uid, "<a name='mine' type='4'>v</a>"), 0u);
  EXPECT_EQ(edit("3", uid, "<a name='mine'>w</a>", user_token), E_ACCESS_VIOLATION);
  EXPECT_EQ(remove("3", uid, "<a name='mine'/>", user_token), E_ACCESS_VIOLATION);
  EXPECT_EQ(remove("3", uid, "<a name='mine'/>"), 0u);
  // Any token of the domain reads its attributes; without one, only the system settings.
  EXPECT_EQ(search("0", did(), "^app$", "", user_token).size(), 1u);
  EXPECT_EQ(search("0", did(), "^app$", "", "-").size(), 0u);
  EXPECT_EQ(search("0", did(), "^expireTokenSec$", "", "-").size(), 1u);
}

TEST_F(AttributeCommandsTest, SettingChecksAndImmediateEffect) {
  // Refused values and types, on any target.
  EXPECT_EQ(edit_setting("expireTokenSec", "30"), E_VALUE_INVALID);
  EXPECT_EQ(edit_setting("expireTokenSec", "3600", "4"), E_VALUE_INVALID);
  EXPECT_EQ(edit_setting("maxAttrValueLenMB", "0"), E_VALUE_INVALID);
  EXPECT_EQ(edit_setting("passwordMinLength", "0"), E_VALUE_INVALID);
  EXPECT_EQ(edit_setting("passwordExpireDays", "-5"), E_VALUE_INVALID);
  const uint64_t uid = add_user("gina");
  ASSERT_EQ(insert("3", uid, "<a name='expireTokenSec' type='4'>any</a>"), 0u);
  EXPECT_EQ(edit("3", uid, "<a name='expireTokenSec' type='2'>10</a>"), E_VALUE_INVALID);
  EXPECT_EQ(edit("3", uid, "<a name='expireTokenSec' type='2'>100</a>"), 0u);
  EXPECT_EQ(d_->expire_token_sec.load(), 1800u);  // a user's attribute is no setting

  // Token lifetime.
  ASSERT_EQ(edit_setting("expireTokenSec", "3600"), 0u);
  EXPECT_EQ(d_->expire_token_sec.load(), 3600u);
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  ASSERT_EQ(run("<orvane><getToken domain='ORVANE'><u>gina</u><p>Passw0rd</p></getToken>"
                "</orvane>"),
            0u);
  const uint32_t expire = std::stoul(std::string(answer("token")->attr_get_value("expire")));
  EXPECT_GE(expire, before + 3600);
  EXPECT_LE(expire, static_cast<uint32_t>(time(nullptr)) + 3600);

  // Password policy, for the next userInsert.
  auto user_insert = [&](const std::string& name, const std::string& password) {
    return run("<orvane><userInsert domain='ORVANE' token='" + admin_ + "'><u uname='" + name +
               "'><p>" + password + "</p></u></userInsert></orvane>");
  };
  ASSERT_EQ(edit_setting("passwordMinLength", "10"), 0u);
  EXPECT_EQ(user_insert("h1", "Passw0rd"), E_PASSWORD_POLICY);
  EXPECT_EQ(user_insert("h1", "Passw0rdPassw0rd"), 0u);
  EXPECT_EQ(user_insert("h2", "passw0rdpassw0rd"), E_PASSWORD_POLICY);  // no capital
  ASSERT_EQ(edit_setting("passwordMustCapital", "0"), 0u);
  EXPECT_EQ(user_insert("h2", "passw0rdpassw0rd"), 0u);
  ASSERT_EQ(edit_setting("passwordMustSpecSymbol", "1"), 0u);
  EXPECT_EQ(user_insert("h3", "passw0rdpassw0rd"), E_PASSWORD_POLICY);
  EXPECT_EQ(user_insert("h3", "passw0rd!passw0rd"), 0u);

  // The request size limit reads the root domain's field.
  ASSERT_EQ(edit_setting("maxAttrValueLenMB", "1"), 0u);
  EXPECT_EQ(d_->max_attr_value_len_mb.load(), 1u);

  // Net-client-only flags decide at the next command.
  peer = "10.1.2.3";
  uint32_t code = 0;
  get_attributes("/=ssoWebPortal", "-", &code);
  EXPECT_EQ(code, 0u);
  peer = "127.0.0.1";
  ASSERT_EQ(edit_setting("authorizationApiNcOnly", "1"), 0u);
  EXPECT_EQ(command("getAttributes", "", "<path>/</path>", "-"), 0u);  // localhost is known
  peer = "10.1.2.3";
  EXPECT_EQ(command("getAttributes", "", "<path>/</path>", "-"), E_ACCESS_VIOLATION);
  ASSERT_EQ(edit_setting("authorizationApiNcOnly", "0"), 0u);  // management is not limited
  EXPECT_EQ(command("getAttributes", "", "<path>/</path>", "-"), 0u);
  peer = "127.0.0.1";

  // Everything comes back from the files.
  ASSERT_EQ(edit_setting("authorizationApiNcOnly", "1"), 0u);
  restart_all();
  EXPECT_EQ(d_->expire_token_sec.load(), 3600u);
  EXPECT_EQ(d_->password_min_length.load(), 10u);
  EXPECT_EQ(d_->max_attr_value_len_mb.load(), 1u);
  EXPECT_EQ(d_->password_policy.load() & PASSWORD_MUST_CAPITAL, 0u);
  EXPECT_NE(d_->password_policy.load() & PASSWORD_MUST_SPEC_SYMBOL, 0u);
  EXPECT_NE(d_->nc_only.load() & API_AUTHORIZATION, 0u);
}

TEST_F(AttributeCommandsTest, MissingSettingPutBackTakesEffect) {
  // As after a damaged record was skipped at load.
  const kt::ref_ptr<attribute> old = d_->attributes.get_rw("expireTokenSec");
  ASSERT_EQ(attributes_db_remove(*d_, *old), 0);
  d_->attributes.remove_rw("expireTokenSec");
  restart_all();
  EXPECT_EQ(d_->expire_token_sec.load(), 0u);
  EXPECT_EQ(insert("0", d_->id, "<a name='expireTokenSec' type='2' flags='5'>30</a>"),
            E_VALUE_INVALID);
  ASSERT_EQ(insert("0", d_->id, "<a name='expireTokenSec' type='2' flags='5'>900</a>"), 0u);
  EXPECT_EQ(d_->expire_token_sec.load(), 900u);
  restart_all();
  EXPECT_EQ(d_->expire_token_sec.load(), 900u);
}

TEST_F(AttributeCommandsTest, SystemAttributesKeepNameTypeAndFlags) {
  EXPECT_EQ(edit("0", d_->id, "<a name='ssoWebPortal' type='2'>5</a>"), E_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(edit("0", d_->id, "<a name='ssoWebPortal' flags='1'>/sso/</a>"), E_ATTRIBUTE_SYSTEM);
  const uint64_t sso = d_->attributes.get_rw("ssoWebPortal")->id;
  EXPECT_EQ(edit("0", d_->id, "<a id='" + std::to_string(sso) + "' name='portal'>/sso/</a>"),
            E_ATTRIBUTE_SYSTEM);
  EXPECT_EQ(
      edit("0", d_->id, "<a id='" + std::to_string(sso) + "' name='expireTokenSec'>/sso/</a>"),
      E_ATTRIBUTE_EXISTS);
  EXPECT_EQ(edit("0", d_->id, "<a id='1'>x</a>"), E_ATTRIBUTE_NOT_FOUND);
  EXPECT_EQ(edit("0", d_->id, "<a name='nothere'>x</a>"), E_ATTRIBUTE_NOT_FOUND);
  EXPECT_EQ(remove("0", d_->id, "<a name='expireTokenSec'/>"), E_ATTRIBUTE_IMMUNE);
  EXPECT_EQ(remove("0", d_->id, "<a id='" + std::to_string(sso) + "' name='zzz'/>"),
            E_ATTRIBUTE_IMMUNE);
  EXPECT_EQ(remove("0", d_->id, "<a id='1' name='ssoWebPortal'/>"), E_ATTRIBUTE_NOT_FOUND);
  EXPECT_TRUE(attr_audits().empty());

  // The same value, type, flags and name: nothing is written, nothing audited.
  EXPECT_EQ(edit("0", d_->id, "<a name='ssoWebPortal' type='4' flags='5'>/sso/</a>"), 0u);
  EXPECT_EQ(edit_setting("expireTokenSec", "1800"), 0u);
  EXPECT_EQ(edit_setting("passwordMustDigit", "yes"), 0u);  // true stays true
  EXPECT_TRUE(attr_audits().empty());

  // The value alone may change; the entry names the attribute as it was.
  ASSERT_EQ(edit("0", d_->id, "<a name='ssoWebPortal'>/portal/</a>"), 0u);
  std::vector<std::string> audits = attr_audits();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0].rfind("attr ssoWebPortal (" + std::to_string(sso) + ") edited / ", 0), 0u)
      << audits[0];
  restart_all();
  const kt::ref_ptr<attribute> a = d_->attributes.get_rw("ssoWebPortal");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->value, "/portal/");
  EXPECT_EQ(a->id, sso);
  EXPECT_EQ(a->flags, ATTR_FLAG_SYSTEM | ATTR_FLAG_IMMUNE);
}

TEST_F(AttributeCommandsTest, OrdinaryAttributesRenameRetypeAndRemove) {
  const uint64_t uid = add_user("hank");
  ASSERT_EQ(insert("3", uid, "<a name='one' type='4' flags='4'>1</a>"), 0u);
  const uint64_t id = inserted_id();
  ASSERT_EQ(insert("3", uid, "<a name='two' type='4'>2</a>"), 0u);
  EXPECT_EQ(edit("3", uid, "<a id='" + std::to_string(id) + "' name='two'/>"), E_ATTRIBUTE_EXISTS);
  // Renamed and retyped by identifier; flags 0 keep the old flags.
  ASSERT_EQ(edit("3", uid, "<a id='" + std::to_string(id) + "' name='uno' type='2'>11</a>"), 0u);
  kt::ref_ptr<user> u = d_->users_by_id.get_rw(uid);
  EXPECT_FALSE(u->attributes.get_rw("one"));
  kt::ref_ptr<attribute> a = u->attributes.get_rw("uno");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->id, id);
  EXPECT_EQ(a->type, ATTR_TYPE_NUMBER);
  EXPECT_EQ(a->v_number, 11);
  EXPECT_EQ(a->flags, ATTR_FLAG_IMMUNE);
  // An empty value is a value too: the edit clears it.
  ASSERT_EQ(edit("3", uid, "<a name='two'/>"), 0u);
  EXPECT_TRUE(u->attributes.get_rw("two")->value.empty());
  EXPECT_EQ(remove("3", uid, "<a name='uno'/>"), E_ATTRIBUTE_IMMUNE);
  ASSERT_EQ(edit("3", uid, "<a name='uno' flags='2'>11</a>"), 0u);
  ASSERT_EQ(remove("3", uid, "<a id='" + std::to_string(id) + "'/>"), 0u);
  EXPECT_FALSE(u->attributes.get_rw("uno"));
  EXPECT_EQ(remove("3", uid, "<a name='uno'/>"), E_ATTRIBUTE_NOT_FOUND);

  const std::vector<std::string> audits = attr_audits();
  ASSERT_EQ(audits.size(), 6u);
  const std::string sid = std::to_string(id);
  EXPECT_EQ(audits[0].rfind("attr one (" + sid + ") added / ", 0), 0u) << audits[0];
  EXPECT_EQ(audits[2].rfind("attr one (" + sid + ") edited / ", 0), 0u) << audits[2];
  EXPECT_EQ(audits[5].rfind("attr uno (" + sid + ") removed / ", 0), 0u) << audits[5];

  restart_all();
  u = d_->users_by_id.get_rw(uid);
  EXPECT_FALSE(u->attributes.get_rw("uno"));
  ASSERT_TRUE(u->attributes.get_rw("two"));
  EXPECT_TRUE(u->attributes.get_rw("two")->value.empty());
}

TEST_F(AttributeCommandsTest, SearchListsOwnThenInheritedAttributes) {
  const uint64_t uid = add_user("ivy");
  kt::ref_ptr<group> staff = add_group("staff");
  kt::ref_ptr<group> ops = add_group("ops");
  join(*staff, uid);
  join(*ops, uid);
  const std::string gid = std::to_string(staff->id);
  ASSERT_EQ(insert("3", uid, "<a name='home' type='4'>/home/ivy</a>"), 0u);
  ASSERT_EQ(insert("2", staff->id, "<a name='home' type='4'>/home/staff</a>"), 0u);  // shadowed
  ASSERT_EQ(insert("2", staff->id, "<a name='mail' type='4' flags='1'>${USERNAME}@${DOMAIN}</a>"),
            0u);
  ASSERT_EQ(
      insert(
          "2", staff->id,
          "<a name='ids' type='4'>${USERNAME}:${USERID}/${DOMAINID}/${GROUP}/${GROUPID}/${USERNAME}"
          "</a>"),
      0u);
  ASSERT_EQ(insert("2", ops->id, "<a name='mail' type='4'>ops-${GROUP}</a>"), 0u);
  ASSERT_EQ(insert("2", d_->all_users->id, "<a name='shell' type='4'>/bin/sh</a>"), 0u);
  ASSERT_EQ(insert("2", d_->all_users->id, "<a name='quota' type='2'>10</a>"), 0u);

  for (int pass = 0; pass < 2; ++pass) {
    const std::vector<listed> all = search("user", std::to_string(uid));
    ASSERT_EQ(all.size(), 6u) << response_text();
    EXPECT_EQ(all[0].name, "home");
    EXPECT_EQ(all[0].value, "/home/ivy");
    EXPECT_EQ(all[0].flags, "0");
    // Both groups contribute their "mail"; AllUsers comes last.
    std::vector<std::string> mails;
    for (const listed& a : all) {
      if (a.name == "mail") mails.push_back(a.value + "|" + a.flags);
    }
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_NE(std::find(mails.begin(), mails.end(), "ivy@ORVANE|17"), mails.end());
    EXPECT_NE(std::find(mails.begin(), mails.end(), "ops-ops|16"), mails.end());
    EXPECT_EQ(find(all, "ids")->value,
              "ivy:" + std::to_string(uid) + "/" + did() + "/staff/" + gid + "/${USERNAME}");
    EXPECT_EQ(all[4].name == "shell" || all[4].name == "quota", true);
    EXPECT_EQ(all[5].name == "shell" || all[5].name == "quota", true);
    EXPECT_EQ(find(all, "quota")->value, "10");
    EXPECT_EQ(find(all, "quota")->flags, "16");
    // Group listings show the stored text.
    const std::vector<listed> group_attrs = search("2", gid, "mail");
    ASSERT_EQ(group_attrs.size(), 1u);
    EXPECT_EQ(group_attrs[0].value, "${USERNAME}@${DOMAIN}");
    if (pass == 0) restart_all();
  }

  // Patterns: case-insensitive unless opt has bit 1.
  ASSERT_EQ(insert("3", uid, "<a name='passHint' type='4'>x</a>"), 0u);
  ASSERT_EQ(insert("3", uid, "<a name='Password' type='4'>x</a>"), 0u);
  ASSERT_EQ(insert("3", uid, "<a name='bypass' type='4'>x</a>"), 0u);
  EXPECT_EQ(search("3", std::to_string(uid), "^pass").size(), 2u);
  const std::vector<listed> exact = search("3", std::to_string(uid), "^pass", "1");
  ASSERT_EQ(exact.size(), 1u);
  EXPECT_EQ(exact[0].name, "passHint");
  EXPECT_EQ(search("3", std::to_string(uid), "^pass", "2").size(), 2u);
  uint32_t code = 0;
  search("3", std::to_string(uid), "(", "", "", &code);
  EXPECT_EQ(code, E_INVALID_REGEX);
  EXPECT_EQ(command("attrSearch", target("3", uid), ""), E_INVALID_REQUEST);
  search("7", std::to_string(uid), "", "", "", &code);
  EXPECT_EQ(code, E_INVALID_REQUEST);
}

TEST_F(AttributeCommandsTest, SearchRightsAndOtherDomainsRefused) {
  const uint64_t uid = add_user("jack");
  const std::string user_token = token("jack", "Passw0rd");
  uint32_t code = 0;
  for (const char* ttype : {"1", "2", "3", "4"}) {
    search(ttype, std::to_string(uid), "", "", user_token, &code);
    EXPECT_EQ(code, E_ACCESS_VIOLATION) << ttype;
    search(ttype, std::to_string(uid), "", "", "-", &code);
    EXPECT_EQ(code, E_ACCESS_VIOLATION) << ttype;
  }
  search("3", "12345", "", "", "", &code);
  EXPECT_EQ(code, E_USER_NOT_FOUND);
  EXPECT_EQ(search("0", did(), "^expireTokenSec$", "", "-").size(), 1u);
  EXPECT_EQ(search("0", "ORVANE", "^expireTokenSec$", "", "-").size(), 1u);
  // A domain target is the addressed domain, or refused: names and identifiers of other
  // domains, existing or not, tell nothing.
  search("0", "nosuchdomain", "", "", "-", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  search("0", std::to_string(d_->id + 1), "", "", "-", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);

  // Another domain's attributes are refused by its name too.
  kt::ref_ptr<domain> other = domain_create();
  other->set_name("branch");
  other->g = &g();
  other->parent = d_;
  other->parent_id = d_->id;
  ASSERT_EQ(domain_db_add(*other), 0);
  ASSERT_EQ(_domain_init(*other, "Branch1pw"), 0);
  g().domains_by_name.insert_rw("branch", other);
  g().domains_by_id.insert_rw(other->id, other);
  kt::ref_ptr<attribute> sso = other->attributes.get_rw("ssoWebPortal");
  ASSERT_TRUE(sso);
  sso->value = "/branch-sso/";
  EXPECT_TRUE(search("0", "branch", "^ssoWebPortal$", "", user_token, &code).empty());
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  EXPECT_TRUE(search("0", std::to_string(other->id), "", "", "-", &code).empty());
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
}

TEST_F(AttributeCommandsTest, GetAttributesPaths) {
  const uint64_t uid = add_user("kim");
  const uint64_t other = add_user("lou");
  const std::string kim = token("kim", "Passw0rd");
  kt::ref_ptr<group> team = add_group("team");
  join(*team, uid);
  ASSERT_EQ(insert("3", uid, "<a name='own' type='4'>${USERNAME}</a>"), 0u);
  ASSERT_EQ(insert("3", other, "<a name='theirs' type='4'>t</a>"), 0u);
  ASSERT_EQ(insert("3", other, "<a name='more' type='4'>m</a>"), 0u);
  ASSERT_EQ(insert("2", team->id, "<a name='teamattr' type='2'>7</a>"), 0u);
  ASSERT_EQ(insert("2", d_->administrators->id, "<a name='adm' type='4'>a</a>"), 0u);
  kt::ref_ptr<resource> top = add_resource("apps", {});
  kt::ref_ptr<resource> mid = add_resource("web", top);
  kt::ref_ptr<resource> leaf = add_resource("portal", mid);
  ASSERT_EQ(insert("1", leaf->id, "<a name='url' type='4'>https://x</a>"), 0u);
  ASSERT_EQ(insert("1", leaf->id, "<a name='port' type='2'>443</a>"), 0u);
  grant(*leaf, uid, PERM_READ);

  uint32_t code = 0;
  // The domain forms need no token.
  std::vector<listed> all = get_attributes("/=ssoWebPortal", "-", &code);
  EXPECT_EQ(code, 0u);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].value, "/sso/");
  EXPECT_EQ(all[0].flags, "5");
  EXPECT_FALSE(all[0].has_ttype);
  EXPECT_EQ(get_attributes("", "-", &code).size(), 13u);
  EXPECT_EQ(get_attributes("/", "-", &code).size(), 13u);
  EXPECT_TRUE(get_attributes("/=nothing", "-", &code).empty());
  EXPECT_EQ(code, 0u);
  get_attributes("plain", kim, &code);
  EXPECT_EQ(code, E_INVALID_REQUEST);
  EXPECT_EQ(command("getAttributes", "", "", kim), E_INVALID_REQUEST);

  // Users: "@" alone is the caller; no variables are replaced.
  get_attributes("@", "-", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  all = get_attributes("@", kim, &code);
  EXPECT_EQ(code, 0u);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].value, "${USERNAME}");
  EXPECT_EQ(get_attributes("@kim/=own", kim, &code).size(), 1u);
  get_attributes("@lou", kim, &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  get_attributes("@nobody", kim, &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);  // rights before existence
  EXPECT_EQ(get_attributes("@lou", admin_, &code).size(), 2u);
  all = get_attributes("@lou/ignored/=theirs", admin_, &code);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].name, "theirs");
  get_attributes("@lou/theirs", admin_, &code);
  EXPECT_EQ(code, E_INVALID_PATH);
  get_attributes("@nobody", admin_, &code);
  EXPECT_EQ(code, E_USER_NOT_FOUND);

  // Groups: members, or READ on OrvaneGroups.
  EXPECT_EQ(get_attributes("#team", kim, &code).size(), 1u);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(get_attributes("#team/=teamattr", kim, &code)[0].value, "7");
  get_attributes("#Administrators", kim, &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  EXPECT_EQ(get_attributes("#Administrators", admin_, &code).size(), 1u);
  get_attributes("#team/x", kim, &code);
  EXPECT_EQ(code, E_INVALID_PATH);
  get_attributes("#ghosts", kim, &code);
  EXPECT_EQ(code, E_GROUP_NOT_FOUND);
  get_attributes("#team", "-", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);

  // Resources: from the top down; READ on the last one or on OrvaneResources.
  EXPECT_EQ(get_attributes("/apps/web/portal", kim, &code).size(), 2u);
  EXPECT_EQ(code, 0u);
  all = get_attributes("/apps/web/portal/=port", kim, &code);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].value, "443");
  get_attributes("/apps/web", kim, &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  EXPECT_TRUE(get_attributes("/apps/web", admin_, &code).empty());
  EXPECT_EQ(code, 0u);
  get_attributes("/apps/portal", admin_, &code);
  EXPECT_EQ(code, E_RESOURCE_PARENT_NOT_FOUND);
  get_attributes("/web/portal", admin_, &code);
  EXPECT_EQ(code, E_RESOURCE_PARENT_NOT_FOUND);
  get_attributes("/apps/ORVANE", admin_, &code);  // a top-level resource is no child
  EXPECT_EQ(code, E_RESOURCE_PARENT_NOT_FOUND);
  get_attributes("/apps/nothing", admin_, &code);
  EXPECT_EQ(code, E_RESOURCE_NOT_FOUND);
  get_attributes("/apps/=x/web", admin_, &code);
  EXPECT_EQ(code, E_INVALID_PATH);
  get_attributes("//=url", admin_, &code);
  EXPECT_EQ(code, E_RESOURCE_NOT_FOUND);
  get_attributes("/apps/web/portal", "-", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);

  // A chain of 33 resources is an invalid request; 32 are walked.
  kt::ref_ptr<resource> parent;
  std::string path;
  for (int i = 0; i < 33; ++i) {
    parent = add_resource("deep" + std::to_string(i), parent);
    path += "/deep" + std::to_string(i);
    if (i == 31) {
      ASSERT_EQ(insert("1", parent->id, "<a name='x' type='4'>v</a>"), 0u);
      EXPECT_EQ(get_attributes(path, admin_, &code).size(), 1u);
      EXPECT_EQ(code, 0u);
    }
  }
  ASSERT_EQ(insert("1", parent->id, "<a name='x' type='4'>v</a>"), 0u);
  EXPECT_TRUE(get_attributes(path, admin_, &code).empty());
  EXPECT_EQ(code, E_INVALID_REQUEST);
}

TEST(AttributeVariables, FirstOccurrenceOfEachInOrder) {
  domain d;
  d.id = 7;
  d.set_name("dom");
  user u;
  u.id = 11;
  u.uname = "ann";
  group gr;
  gr.id = 13;
  gr.name = "grp";
  EXPECT_EQ(attribute_replace_variables("${USERNAME}@${DOMAIN}", d, u, gr), "ann@dom");
  EXPECT_EQ(attribute_replace_variables("${USERNAME}${USERNAME}", d, u, gr), "ann${USERNAME}");
  EXPECT_EQ(
      attribute_replace_variables("${DOMAINID}:${DOMAIN}:${GROUPID}:${GROUP}:${USERID}", d, u, gr),
      "7:dom:13:grp:11");
  EXPECT_EQ(attribute_replace_variables("plain ${OTHER} $USERNAME", d, u, gr),
            "plain ${OTHER} $USERNAME");
  EXPECT_EQ(attribute_replace_variables("", d, u, gr), "");
}

}  // namespace
}  // namespace orvane
