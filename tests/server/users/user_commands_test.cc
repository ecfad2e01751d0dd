// The user management and authentication commands, run the way the dispatcher runs them, on a
// server context built on a temporary root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "client.h"
#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/attributes/attribute.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_records.h"
#include "objects/groups/group_records.h"
#include "objects/netclients/netclient.h"
#include "objects/permissions/permission_records.h"
#include "objects/resources/resource.h"
#include "objects/tokens/tokens.h"
#include "objects/users/auth.h"
#include "objects/users/user_commands.h"
#include "objects/users/user_records.h"
#include "processor.h"
#include "support/server_fixture.h"
#include "utils/base64.h"
#include "utils/files.h"

namespace orvane {
namespace {

using orvane_test::server_fixture;

// The handlers of this module by command name.
processor_handler handler_of(const std::string& name) {
  static const std::map<std::string, processor_handler> handlers = {
      {"userInsert", processor_user_insert},      {"userEdit", processor_user_edit},
      {"userRemove", processor_user_remove},      {"userChangePwd", processor_user_password},
      {"userSearch", processor_user_search},      {"authenticate", processor_user_login},
      {"getToken", processor_user_login},         {"getIdentity", processor_user_login},
      {"getTokenInfo", processor_token_get_info}, {"releaseToken", processor_user_logout},
      {"isValidToken", processor_is_valid_token},
  };
  const auto it = handlers.find(name);
  return it != handlers.end() ? it->second : nullptr;
}

class UserCommandsTest : public server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    d_ = domain_named("ORVANE");
    ASSERT_TRUE(d_);
    admin_ = login("Administrator", "tolbrine");
  }

  void TearDown() override {
    d_.reset();
    last_.reset();
    server_fixture::TearDown();
  }

  // Runs a document through the real dispatcher, after checking that every command of it is one
  // of this module's; returns the last code. The response stays in last_.
  uint32_t call(const std::string& document) {
    last_ = std::make_unique<client>(g());
    client& c = *last_;
    c.peer_text = peer;
    EXPECT_EQ(kt::ipv4_parse_addr(std::string_view(peer), c.peer), 0);
    c.response = kt::xmldoc::create_def("orvane");
    EXPECT_EQ(c.request.parse(document), 0) << document;
    for (const auto& child : c.request.root()->children()) {
      const processor_function* f = processor_find(child->name().data(), child->name().size());
      if (f == nullptr || handler_of(child->name()) != f->handler) {
        ADD_FAILURE() << "not a command of this module: " << child->name();
      }
    }
    answer_slot out;
    out.response_root = c.response.root();
    processor_result r;
    const uint32_t code = processor_process(g(), client_caller(c), c.request, out, r);
    if (out.element) c.response.root()->add_child(std::move(out.element));
    return code;
  }

  const kt::xmldoc_node* reply(const char* name) const {
    return last_ ? last_->response.root()->get(name) : nullptr;
  }
  std::string reply_text() const {
    kt::buffer out;
    if (last_) last_->response.save(last_->response.root(), out);
    return out.data();
  }

  // getToken; empty when refused.
  std::string login(const std::string& user, const std::string& password,
                    const std::string& domain = "ORVANE") {
    if (call("<orvane><getToken domain='" + domain + "'><u>" + user + "</u><p>" + password +
             "</p></getToken></orvane>") != 0) {
      return {};
    }
    const kt::xmldoc_node* t = reply("token");
    return t != nullptr ? t->value() : std::string();
  }

  // A management command on the root domain with the Administrator's token.
  uint32_t admin(const std::string& name, const std::string& body, const std::string& tok = "") {
    return call("<orvane><" + name + " domain='ORVANE' token='" + (tok.empty() ? admin_ : tok) +
                "'>" + body + "</" + name + "></orvane>");
  }

  uint64_t insert(const std::string& name, const std::string& password = "Passw0rd",
                  const std::string& extra = "", const std::string& children = "") {
    const uint32_t code = admin("userInsert", "<u uname='" + name + "'" + extra + "><p>" +
                                                  password + "</p>" + children + "</u>");
    EXPECT_EQ(code, 0u) << reply_text();
    const kt::xmldoc_node* id = reply("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }

  kt::ref_ptr<user> by_name(const std::string& name) { return d_->users_by_name.get_rw(name); }
  kt::ref_ptr<user> by_id(uint64_t id) { return d_->users_by_id.get_rw(id); }

  kt::ref_ptr<group> add_group(const std::string& name) {
    kt::ref_ptr<group> gr = group_create();
    gr->name = name;
    gr->dom = d_;
    EXPECT_EQ(group_db_add(*d_, *gr), 0);
    d_->groups_by_name.insert_rw(gr->name, gr);
    d_->groups_by_id.insert_rw(gr->id, gr);
    return gr;
  }

  std::string g_elem(uint64_t id) { return "<g id='" + std::to_string(id) + "'/>"; }

  void restart_all() {
    d_.reset();
    last_.reset();
    restart();
    d_ = domain_named("ORVANE");
    ASSERT_TRUE(d_);
    admin_ = login("Administrator", "tolbrine");
  }

  // Every audit entry of the root domain written so far.
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
  const auditlog_entry* last_audit(std::vector<std::unique_ptr<auditlog_entry>>& all,
                                   std::string_view api) {
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
      if ((*it)->api() == api) return it->get();
    }
    return nullptr;
  }

  kt::ref_ptr<domain> d_;
  std::string admin_;
  std::unique_ptr<client> last_;
};

// --- userInsert ---

TEST_F(UserCommandsTest, InsertCreatesUserThatSurvivesRestart) {
  const uint64_t id = insert("alice", "Passw0rd", " flags='2'");
  ASSERT_NE(id, 0u);
  kt::ref_ptr<user> u = by_name("alice");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->id, id);
  EXPECT_EQ(by_id(id), u);
  EXPECT_EQ(u->flags, USER_FLAG_PWD_NEVER_EXPIRES);
  EXPECT_EQ(u->dom, d_);
  EXPECT_EQ(std::string(u->nss_password).size(), 106u);
  u.reset();

  restart_all();
  u = by_name("alice");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->id, id);
  EXPECT_FALSE(login("alice", "Passw0rd").empty());
}

TEST_F(UserCommandsTest, InsertRefusalsCreateNothing) {
  const uint64_t before = d_->users_by_id.count();
  EXPECT_EQ(admin("userInsert", "<u><p>Passw0rd</p></u>"), 0x10u);
  EXPECT_EQ(admin("userInsert", ""), 0x10u);
  EXPECT_EQ(admin("userInsert", "<u uname='x1'/>"), 0x505u);
  EXPECT_EQ(admin("userInsert", "<u uname='x1'><p></p></u>"), 0x505u);
  EXPECT_EQ(admin("userInsert", "<u uname='x1' flags='1'><p>Passw0rd</p></u>"), 0x509u);
  EXPECT_EQ(admin("userInsert", "<u uname='x1' flags='4294967297'><p>Passw0rd</p></u>"), 0x509u);
  EXPECT_EQ(admin("userInsert", "<u uname='" + std::string(256, 'a') + "'><p>Passw0rd</p></u>"),
            0x502u);
  EXPECT_EQ(admin("userInsert", "<u uname='a b'><p>Passw0rd</p></u>"), 0x503u);
  EXPECT_EQ(admin("userInsert", "<u uname=''><p>Passw0rd</p></u>"), 0x503u);
  EXPECT_EQ(admin("userInsert", "<u uname='x1'><p>password</p></u>"), 0x504u);
  EXPECT_EQ(admin("userInsert", "<u uname='Administrator'><p>Passw0rd</p></u>"), 0x501u);
  EXPECT_EQ(admin("userInsert", "<u uname='x1'><p>Passw0rd</p><memberof>" +
                                    g_elem(d_->all_users->id) + "</memberof></u>"),
            0x608u);
  EXPECT_EQ(admin("userInsert",
                  "<u uname='x1'><p>Passw0rd</p><memberof>" + g_elem(12345) + "</memberof></u>"),
            0x605u);
  EXPECT_EQ(
      admin("userInsert", "<u uname='x1'><p>Passw0rd</p><memberof><x id='1'/></memberof></u>"),
      0x10u);
  EXPECT_EQ(admin("userInsert", "<u uname='x1'><p>Passw0rd</p><memberof><g/></memberof></u>"),
            0x10u);
  EXPECT_EQ(d_->users_by_id.count(), before);
  EXPECT_FALSE(by_name("x1"));
}

TEST_F(UserCommandsTest, InsertRefusesNamesTheFileCannotHold) {
  // The record keeps 127 bytes of a name; a longer one would come back cut after a restart.
  EXPECT_EQ(admin("userInsert", "<u uname='" + std::string(128, 'n') + "'><p>Passw0rd</p></u>"),
            0x502u);
  insert(std::string(127, 'n'));
  restart_all();
  EXPECT_TRUE(by_name(std::string(127, 'n')));
}

TEST_F(UserCommandsTest, InsertNeedsWriteRight) {
  insert("plain");
  const std::string t = login("plain", "Passw0rd");
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(admin("userInsert", "<u uname='x2'><p>Passw0rd</p></u>", t), 0x102u);
  EXPECT_EQ(admin("userSearch", "<s/>", t), 0x102u);
  EXPECT_FALSE(by_name("x2"));
}

TEST_F(UserCommandsTest, InsertWithFlags14MakesLockedUserThatMustChangePassword) {
  insert("locked", "Passw0rd", " flags='14'");
  EXPECT_EQ(by_name("locked")->flags, 14u);
  EXPECT_EQ(call("<orvane><authenticate domain='ORVANE'><u>locked</u><p>Passw0rd</p>"
                 "</authenticate></orvane>"),
            0x510u);
}

TEST_F(UserCommandsTest, InsertWithMembershipWritesMemberRecord) {
  const uint64_t id = insert("member", "Passw0rd", "",
                             "<memberof>" + g_elem(d_->administrators->id) +
                                 g_elem(d_->administrators->id) + "</memberof>");
  kt::ref_ptr<user> u = by_id(id);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->groups.count(), 1u);
  EXPECT_TRUE(d_->administrators->member_users.get_rw(id));
  u.reset();
  restart_all();
  u = by_id(id);
  ASSERT_TRUE(u);
  EXPECT_TRUE(u->groups.get_rw(d_->administrators->id));
  // A member of Administrators has the management rights.
  const std::string t = login("member", "Passw0rd");
  EXPECT_EQ(admin("userSearch", "<s>member</s>", t), 0u);
}

TEST_F(UserCommandsTest, RefusedStoreWriteLeavesNothingInMemory) {
  const std::string path = path_domain_file(d_->id, "users");
  ASSERT_EQ(::rename(path.c_str(), (path + ".away").c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);  // the store cannot open a directory
  const uint64_t before = d_->users_by_id.count();
  EXPECT_NE(admin("userInsert", "<u uname='nostore'><p>Passw0rd</p></u>"), 0u);
  EXPECT_EQ(d_->users_by_id.count(), before);
  EXPECT_FALSE(by_name("nostore"));
  EXPECT_EQ(reply("insertedId"), nullptr);

  // userEdit: the record cannot be written, so nothing changes in memory either.
  kt::ref_ptr<user> a = by_name("Administrator");
  const uint8_t digest_before = a->digest[0];
  EXPECT_NE(admin("userEdit", "<u uname='Administrator'><p>Other123</p><memberof>" +
                                  g_elem(d_->administrators->id) + "</memberof></u>"),
            0u);
  EXPECT_EQ(a->digest[0], digest_before);
  ASSERT_EQ(::rmdir(path.c_str()), 0);
  ASSERT_EQ(::rename((path + ".away").c_str(), path.c_str()), 0);
}

// --- userEdit ---

TEST_F(UserCommandsTest, EditWithoutFlagsClearsFlags) {
  const uint64_t id = insert("ed1", "Passw0rd", " flags='10'");
  EXPECT_EQ(admin("userEdit", "<u id='" + std::to_string(id) + "'/>"), 0u);
  EXPECT_EQ(by_id(id)->flags, 0u);
  EXPECT_EQ(admin("userEdit", "<u uname='ed1' flags='8'/>"), 0u);
  EXPECT_EQ(by_id(id)->flags, 8u);
  restart_all();
  EXPECT_EQ(by_id(id)->flags, 8u);
}

TEST_F(UserCommandsTest, EditLookupAndShapeErrors) {
  EXPECT_EQ(admin("userEdit", "<u flags='2'/>"), 0x10u);
  EXPECT_EQ(admin("userEdit", ""), 0x10u);
  EXPECT_EQ(admin("userEdit", "<u uname='nobody'/>"), 0x108u);
  EXPECT_EQ(admin("userEdit", "<u id='999'/>"), 0x108u);
  EXPECT_EQ(admin("userEdit", "<u uname='bad name'/>"), 0x503u);
  EXPECT_EQ(admin("userEdit", "<u uname='Administrator' flags='1'/>"), 0x509u);
}

TEST_F(UserCommandsTest, EditRenames) {
  const uint64_t id = insert("old");
  insert("taken");
  EXPECT_EQ(admin("userEdit", "<u id='" + std::to_string(id) + "' uname='taken'/>"), 0x501u);
  EXPECT_EQ(by_id(id)->uname, "old");
  EXPECT_EQ(admin("userEdit", "<u id='" + std::to_string(id) + "' uname='new'/>"), 0u);
  EXPECT_FALSE(by_name("old"));
  EXPECT_EQ(by_name("new"), by_id(id));
  restart_all();
  EXPECT_EQ(by_name("new")->id, id);
  EXPECT_FALSE(login("new", "Passw0rd").empty());
}

TEST_F(UserCommandsTest, RefusedEditChangesNothing) {
  const uint64_t id = insert("keep", "Passw0rd", " flags='2'");
  insert("other");
  kt::ref_ptr<group> gr = add_group("G1");
  const std::string sid = std::to_string(id);
  const uint8_t digest = by_id(id)->digest[0];
  // A rename clash after a flags change and a password.
  EXPECT_EQ(admin("userEdit", "<u id='" + sid + "' uname='other' flags='8'><p>Newpass1</p></u>"),
            0x501u);
  // A weak password after a flags change and a rename.
  EXPECT_EQ(admin("userEdit", "<u id='" + sid + "' uname='renamed' flags='8'><p>weak</p></u>"),
            0x504u);
  // A bad membership list after all of it.
  EXPECT_EQ(admin("userEdit", "<u id='" + sid + "' uname='renamed' flags='8'><p>Newpass1</p>" +
                                  "<memberof>" + g_elem(gr->id) + g_elem(4711) + "</memberof></u>"),
            0x605u);
  kt::ref_ptr<user> u = by_id(id);
  EXPECT_EQ(u->uname, "keep");
  EXPECT_EQ(u->flags, 2u);
  EXPECT_EQ(u->digest[0], digest);
  EXPECT_EQ(u->groups.count(), 0u);
  EXPECT_FALSE(by_name("renamed"));
  EXPECT_EQ(by_name("keep"), u);
  u.reset();
  restart_all();
  EXPECT_EQ(by_id(id)->uname, "keep");
  EXPECT_EQ(by_id(id)->flags, 2u);
}

TEST_F(UserCommandsTest, AdministratorEditRules) {
  const std::string admins = g_elem(d_->administrators->id);
  kt::ref_ptr<group> gr = add_group("Plain");
  EXPECT_EQ(admin("userEdit", "<u uname='Administrator'/>"), 0x507u);
  EXPECT_EQ(admin("userEdit", "<u uname='Administrator'><memberof/></u>"), 0x507u);
  EXPECT_EQ(
      admin("userEdit", "<u uname='Administrator'><memberof>" + g_elem(gr->id) + "</memberof></u>"),
      0x507u);
  EXPECT_EQ(admin("userEdit",
                  "<u uname='Administrator' flags='2'><memberof>" + admins + "</memberof></u>"),
            0x509u);
  EXPECT_EQ(admin("userEdit", "<u uname='Administrator'><memberof>" + admins + g_elem(gr->id) +
                                  "</memberof></u>"),
            0u);
  kt::ref_ptr<user> a = by_name("Administrator");
  EXPECT_EQ(a->flags, USER_FLAG_SYSTEM);
  EXPECT_EQ(a->groups.count(), 2u);
}

TEST_F(UserCommandsTest, EditPasswordAndMemberships) {
  const uint64_t id = insert("pw", "Passw0rd", " flags='4'");
  kt::ref_ptr<group> g1 = add_group("G1");
  kt::ref_ptr<group> g2 = add_group("G2");
  const std::string sid = std::to_string(id);
  kt::ref_ptr<user> u = by_id(id);
  u->pwd_changed = 1000;
  EXPECT_EQ(admin("userEdit", "<u id='" + sid + "' flags='4'><p>Changed1</p><memberof>" +
                                  g_elem(g1->id) + g_elem(g2->id) + "</memberof></u>"),
            0u);
  EXPECT_GT(u->pwd_changed, 1000u);
  EXPECT_EQ(u->flags, 4u);  // must-change is not touched by userEdit
  EXPECT_EQ(_user_password_compare(*u, "Changed1"), 0);
  EXPECT_EQ(u->groups.count(), 2u);
  EXPECT_TRUE(g1->member_users.get_rw(id));
  // The list replaces the memberships.
  EXPECT_EQ(admin("userEdit",
                  "<u id='" + sid + "' flags='4'><memberof>" + g_elem(g2->id) + "</memberof></u>"),
            0u);
  EXPECT_EQ(u->groups.count(), 1u);
  EXPECT_FALSE(g1->member_users.get_rw(id));
  EXPECT_TRUE(g2->member_users.get_rw(id));
  // No memberof keeps them; an empty one removes them all.
  EXPECT_EQ(admin("userEdit", "<u id='" + sid + "'/>"), 0u);
  EXPECT_EQ(u->groups.count(), 1u);
  u.reset();
  g1.reset();
  g2.reset();
  restart_all();
  u = by_id(id);
  EXPECT_EQ(u->groups.count(), 1u);
  EXPECT_EQ(admin("userEdit", "<u id='" + sid + "'><memberof/></u>"), 0u);
  EXPECT_EQ(u->groups.count(), 0u);
  u.reset();
  restart_all();
  EXPECT_EQ(by_id(id)->groups.count(), 0u);
}

// --- userRemove ---

TEST_F(UserCommandsTest, RemoveRules) {
  EXPECT_EQ(admin("userRemove", "<u uname='Administrator'/>"), 0x202u);  // own account
  insert("admin2", "Passw0rd", "", "<memberof>" + g_elem(d_->administrators->id) + "</memberof>");
  const std::string t = login("admin2", "Passw0rd");
  EXPECT_EQ(admin("userRemove", "<u uname='Administrator'/>", t), 0x508u);
  EXPECT_EQ(admin("userRemove", "<u uname='nobody'/>"), 0x108u);
  EXPECT_EQ(admin("userRemove", ""), 0x108u);
}

TEST_F(UserCommandsTest, RemoveTakesEverythingAlong) {
  const uint64_t id = insert("gone");
  kt::ref_ptr<group> gr = add_group("G1");
  EXPECT_EQ(admin("userEdit", "<u id='" + std::to_string(id) + "'><memberof>" + g_elem(gr->id) +
                                  "</memberof></u>"),
            0u);
  // A permission granted to the user.
  kt::ref_ptr<resource> res = d_->resources_by_id.get_rw(d_->sys_res[SYS_RES_GROUPS]);
  ASSERT_TRUE(res);
  kt::ref_ptr<permission> p = permission_create();
  p->member_type = MEMBER_USER;
  p->member_id = id;
  p->flags = PERM_READ;
  p->target_id = res->id;
  ASSERT_EQ(permission_db_add(*d_, *p), 0);
  permission_attach(*res, p);
  ASSERT_EQ(_permission_fix_member_add(*d_, *p), 0);
  const uint64_t perm_id = p->id;
  p.reset();

  const std::string t1 = login("gone", "Passw0rd");
  const std::string t2 = login("gone", "Passw0rd");
  ASSERT_FALSE(t1.empty());
  ASSERT_NE(t1, t2);
  kt::ref_ptr<user> u = by_id(id);
  EXPECT_EQ(admin("userRemove", "<u id='" + std::to_string(id) + "'/>"), 0u);
  EXPECT_FALSE(by_id(id));
  EXPECT_FALSE(by_name("gone"));
  EXPECT_FALSE(gr->member_users.get_rw(id));
  EXPECT_EQ(u->groups.count(), 0u);
  EXPECT_EQ(u->permissions.count(), 0u);
  EXPECT_FALSE(res->permissions.get_rw(perm_id));
  // None of its tokens is accepted any more.
  EXPECT_FALSE(g().tokens.get_rw(t1));
  EXPECT_FALSE(g().tokens.get_rw(t2));
  EXPECT_EQ(call("<orvane><isValidToken domain='ORVANE' token='" + t1 + "'/></orvane>"), 0x101u);
  u.reset();
  res.reset();
  gr.reset();
  restart_all();
  EXPECT_FALSE(by_id(id));
  kt::ref_ptr<group> again = d_->groups_by_name.get_rw("G1");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->member_users.count(), 0u);
  EXPECT_FALSE(
      d_->resources_by_id.get_rw(d_->sys_res[SYS_RES_GROUPS])->permissions.get_rw(perm_id));
}

// --- userChangePwd ---

TEST_F(UserCommandsTest, ChangePasswordWithoutToken) {
  insert("cp", "Passw0rd", " flags='4'");
  const auto change = [&](const std::string& body) {
    return call("<orvane><userChangePwd domain='ORVANE'>" + body + "</userChangePwd></orvane>");
  };
  EXPECT_EQ(change("<u uname='nobody'><p>Newpass1</p><o>Passw0rd</o></u>"), 0x108u);
  EXPECT_EQ(change("<u uname='cp'><o>Passw0rd</o></u>"), 0x10u);
  EXPECT_EQ(change("<u uname='cp'><p>Newpass1</p></u>"), 0x203u);
  EXPECT_EQ(change("<u uname='cp'><p>Newpass1</p><o>Wrong123</o></u>"), 0x201u);
  EXPECT_EQ(change("<u uname='cp'><p>Passw0rd</p><o>Passw0rd</o></u>"), 0x204u);
  EXPECT_EQ(change("<u uname='cp'><p>weak</p><o>Passw0rd</o></u>"), 0x504u);
  EXPECT_EQ(by_name("cp")->flags, 4u);
  EXPECT_EQ(change("<u uname='cp'><p>Newpass1</p><o>Passw0rd</o><audit code='7'>note</audit>"
                   "</u>"),
            0u);
  EXPECT_EQ(by_name("cp")->flags, 0u);  // must-change cleared
  EXPECT_TRUE(login("cp", "Passw0rd").empty());
  EXPECT_FALSE(login("cp", "Newpass1").empty());
  restart_all();
  EXPECT_FALSE(login("cp", "Newpass1").empty());
  EXPECT_EQ(by_name("cp")->flags, 0u);

  // Every outcome once the user is found is audited with the target as subject.
  auto entries = audit_entries();
  size_t refused = 0;
  for (const auto& e : entries) {
    if (e->api() == "userChangePwd") {
      EXPECT_EQ(e->username(), "cp");
      if (e->response_code() != 0) ++refused;
    }
  }
  EXPECT_EQ(refused, 5u);
}

TEST_F(UserCommandsTest, ChangePasswordWithTokens) {
  insert("self", "Passw0rd", " flags='4'");
  insert("victim");
  // Own token: unprivileged, old password needed (the must-change flag does not block it).
  EXPECT_EQ(call("<orvane><userChangePwd domain='ORVANE' token='" + admin_ +
                 "'><u uname='Administrator'><p>Newpass1</p></u></userChangePwd></orvane>"),
            0x203u);
  // A plain user's token on another user: needs WRITE.
  insert("plain");
  const std::string t = login("plain", "Passw0rd");
  EXPECT_EQ(call("<orvane><userChangePwd domain='ORVANE' token='" + t +
                 "'><u uname='victim'><p>Newpass1</p></u></userChangePwd></orvane>"),
            0x102u);
  // The administrator may omit the old password; the must-change flag is cleared.
  EXPECT_EQ(call("<orvane><userChangePwd domain='ORVANE' token='" + admin_ +
                 "'><u uname='self'><p>Newpass1</p></u></userChangePwd></orvane>"),
            0u);
  EXPECT_EQ(by_name("self")->flags, 0u);
  EXPECT_FALSE(login("self", "Newpass1").empty());
}

// --- userSearch ---

TEST_F(UserCommandsTest, SearchPatterns) {
  insert("bob");
  EXPECT_EQ(admin("userSearch", "<s/>"), 0u);
  const kt::xmldoc_node* users = reply("users");
  ASSERT_NE(users, nullptr);
  EXPECT_EQ(users->child_count(), 2u);
  EXPECT_EQ(admin("userSearch", "<s>^ADMIN</s>"), 0u);
  ASSERT_NE(reply("users"), nullptr);
  EXPECT_EQ(reply("users")->child_count(), 1u);
  EXPECT_EQ(admin("userSearch", "<s opt='1'>^ADMIN</s>"), 0u);
  EXPECT_EQ(reply("users")->child_count(), 0u);
  EXPECT_EQ(admin("userSearch", "<s opt='1'>^Admin</s>"), 0u);
  EXPECT_EQ(reply("users")->child_count(), 1u);
  EXPECT_EQ(admin("userSearch", "<s>[</s>"), 0x12u);
  EXPECT_EQ(admin("userSearch", ""), 0x10u);
  EXPECT_EQ(admin("userSearch", "<s>o</s>"), 0u);  // unanchored
  EXPECT_EQ(reply("users")->child_count(), 2u);
}

TEST_F(UserCommandsTest, SearchElementContents) {
  const uint64_t id = insert("old", "Passw0rd", " flags='2'");
  kt::ref_ptr<user> u = by_id(id);
  u->pwd_changed = static_cast<uint32_t>(time(nullptr)) - 200 * 86400;
  kt::ref_ptr<attribute> a = kt::make_ref<attribute>();
  a->name = "name";
  a->type = ATTR_TYPE_STRING;
  a->value = "Old Timer";
  u->attributes.insert_rw("name", a);
  EXPECT_EQ(admin("userEdit", "<u id='" + std::to_string(id) + "' flags='2'><memberof>" +
                                  g_elem(d_->administrators->id) + "</memberof></u>"),
            0u);
  by_name("Administrator")->pwd_changed = 1;  // never expires

  EXPECT_EQ(admin("userSearch", "<s>.</s>"), 0u);
  const kt::xmldoc_node* users = reply("users");
  ASSERT_NE(users, nullptr);
  const kt::xmldoc_node* old = nullptr;
  const kt::xmldoc_node* adm = nullptr;
  for (const auto& e : users->children()) {
    if (e->attr_get_value("uname") == "old") old = e.get();
    if (e->attr_get_value("uname") == "Administrator") adm = e.get();
  }
  ASSERT_NE(old, nullptr);
  ASSERT_NE(adm, nullptr);
  EXPECT_EQ(old->attr_get_value("id"), std::to_string(id));
  EXPECT_EQ(old->attr_get_value("flags"), "2");
  const kt::xmldoc_node* memberof = old->get("memberof");
  ASSERT_NE(memberof, nullptr);
  ASSERT_EQ(memberof->child_count(), 1u);
  EXPECT_EQ(memberof->first_child()->attr_get_value("name"), "Administrators");
  const kt::xmldoc_node* info = old->get("info");
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->get("name"), nullptr);
  EXPECT_EQ(info->get("name")->value(), "Old Timer");
  ASSERT_NE(info->get("pwdCh"), nullptr);
  EXPECT_EQ(info->get("pwdCh")->value(), std::to_string(u->pwd_changed));
  // Expired shows even with "never expires"; the Administrator never shows it.
  EXPECT_EQ(info->get("pwdCh")->attr_get_value("expired"), "0");
  ASSERT_NE(info->get("pwdCh")->attr_get("expired"), nullptr);
  EXPECT_EQ(adm->get("info")->get("name"), nullptr);
  EXPECT_EQ(adm->get("info")->get("pwdCh")->attr_get("expired"), nullptr);
  u->attributes.flush();
}

// --- authentication ---

TEST_F(UserCommandsTest, LoginShapes) {
  const auto login_doc = [&](const std::string& cmd, const std::string& body) {
    return call("<orvane><" + cmd + " domain='ORVANE'>" + body + "</" + cmd + "></orvane>");
  };
  EXPECT_EQ(login_doc("getToken", ""), 0x10u);
  EXPECT_EQ(login_doc("getToken", "<u>Administrator</u>"), 0x10u);
  EXPECT_EQ(login_doc("getToken", "<p>tolbrine</p>"), 0x10u);
  EXPECT_EQ(login_doc("getToken", "<u></u><p>tolbrine</p>"), 0x104u);
  EXPECT_EQ(login_doc("getToken", "<u>Administrator</u><p/>"), 0x104u);
  EXPECT_EQ(login_doc("getToken", "<identity/>"), 0x104u);
  EXPECT_EQ(login_doc("getToken", "<u>Administrator</u><p>wrong</p>"), 0x104u);
  EXPECT_EQ(login_doc("getToken", "<u>nobody</u><p>tolbrine</p>"), 0x104u);
  EXPECT_EQ(reply("token"), nullptr);
  EXPECT_EQ(login_doc("authenticate", "<u>Administrator</u><p>tolbrine</p>"), 0u);
  EXPECT_EQ(reply("token"), nullptr);
  EXPECT_EQ(login_doc("getToken", "<u>Administrator</u><p>tolbrine</p>"), 0u);
  const kt::xmldoc_node* t = reply("token");
  ASSERT_NE(t, nullptr);
  const uint32_t now = static_cast<uint32_t>(time(nullptr));
  const uint64_t expire = std::stoull(std::string(t->attr_get_value("expire")));
  EXPECT_GE(expire, now + 1800 - 2);
  EXPECT_LE(expire, now + 1800 + 2);
  kt::ref_ptr<orvane::token> tok = g().tokens.get_rw(t->value());
  ASSERT_TRUE(tok);
  EXPECT_EQ(tok->usr->uname, "Administrator");
  EXPECT_EQ(tok->dom, d_);

  auto entries = audit_entries();
  const auditlog_entry* failed = nullptr;
  for (const auto& e : entries) {
    if (e->api() == "getToken" && e->response_code() == 0x104 && e->username() == "nobody") {
      failed = e.get();
    }
  }
  ASSERT_NE(failed, nullptr);
  const auditlog_entry* ok = last_audit(entries, "getToken");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->response_code(), 0u);
  EXPECT_EQ(ok->username(), "Administrator");
  EXPECT_EQ(ok->info(), "UID:" + std::to_string(tok->id) + " / ");
}

TEST_F(UserCommandsTest, AccountFlagsAtLogin) {
  const uint32_t long_ago = static_cast<uint32_t>(time(nullptr)) - 181 * 86400;
  insert("never", "Passw0rd", " flags='2'");
  by_name("never")->pwd_changed = long_ago;
  EXPECT_FALSE(login("never", "Passw0rd").empty());
  insert("must", "Passw0rd", " flags='6'");
  by_name("must")->pwd_changed = long_ago;
  EXPECT_EQ(call("<orvane><getToken domain='ORVANE'><u>must</u><p>Passw0rd</p></getToken>"
                 "</orvane>"),
            0x511u);
  insert("lock", "Passw0rd", " flags='14'");
  by_name("lock")->pwd_changed = long_ago;
  EXPECT_EQ(call("<orvane><getToken domain='ORVANE'><u>lock</u><p>Passw0rd</p></getToken>"
                 "</orvane>"),
            0x510u);
  insert("expired");
  by_name("expired")->pwd_changed = long_ago;
  EXPECT_EQ(call("<orvane><getToken domain='ORVANE'><u>expired</u><p>Passw0rd</p></getToken>"
                 "</orvane>"),
            0x506u);
  // The Administrator never expires.
  by_name("Administrator")->pwd_changed = long_ago;
  EXPECT_FALSE(login("Administrator", "tolbrine").empty());
}

TEST_F(UserCommandsTest, IdentityBlobs) {
  insert("idu");
  ASSERT_EQ(call("<orvane><getIdentity domain='ORVANE'><u>idu</u><p>Passw0rd</p></getIdentity>"
                 "</orvane>"),
            0u);
  const kt::xmldoc_node* t = reply("token");
  const kt::xmldoc_node* identity = reply("identity");
  ASSERT_NE(t, nullptr);
  ASSERT_NE(identity, nullptr);
  ASSERT_FALSE(identity->value().empty());
  EXPECT_TRUE(g().tokens.get_rw(t->value()));
  const std::string blob = identity->value();

  // The identity alone authenticates, whatever password comes with it.
  EXPECT_EQ(call("<orvane><getToken domain='ORVANE'><u>idu</u><p>wrong</p><identity>" + blob +
                 "</identity></getToken></orvane>"),
            0u);
  ASSERT_NE(reply("token"), nullptr);
  EXPECT_EQ(g().tokens.get_rw(reply("token")->value())->usr->uname, "idu");

  // Garbage: not Base64 (-1); Base64 that does not decrypt (0x104).
  EXPECT_EQ(call("<orvane><getToken domain='ORVANE'><identity>!!!</identity></getToken>"
                 "</orvane>"),
            static_cast<uint32_t>(-1));
  EXPECT_EQ(call("<orvane><getToken domain='ORVANE'><identity>" +
                 kt::base64encode_(std::string(256, 'x')) + "</identity></getToken></orvane>"),
            0x104u);

  // Another domain: -6.
  kt::ref_ptr<domain> other = domain_create();
  other->set_name("Other");
  other->g = &g();
  ASSERT_EQ(domain_db_add(*other), 0);
  ASSERT_EQ(_domain_init(*other, "Passw0rd"), 0);
  g().domains_by_name.insert_rw(other->name(), other);
  g().domains_by_id.insert_rw(other->id, other);
  EXPECT_EQ(call("<orvane><getToken domain='Other'><identity>" + blob +
                 "</identity></getToken></orvane>"),
            static_cast<uint32_t>(-6));

  // A password change ends the blob.
  EXPECT_EQ(call("<orvane><userChangePwd domain='ORVANE'><u uname='idu'><p>Newpass1</p>"
                 "<o>Passw0rd</o></u></userChangePwd></orvane>"),
            0u);
  EXPECT_EQ(call("<orvane><getToken domain='ORVANE'><identity>" + blob +
                 "</identity></getToken></orvane>"),
            0x104u);
  // Locked accounts are refused by identity too.
  ASSERT_EQ(call("<orvane><getIdentity domain='ORVANE'><u>idu</u><p>Newpass1</p></getIdentity>"
                 "</orvane>"),
            0u);
  const std::string fresh = reply("identity")->value();
  by_name("idu")->flags = USER_FLAG_LOCKED;
  EXPECT_EQ(call("<orvane><authenticate domain='ORVANE'><identity>" + fresh +
                 "</identity></authenticate></orvane>"),
            0x510u);
  domain_flush(*other);
}

TEST_F(UserCommandsTest, TokenInfoAndRelease) {
  const uint64_t id = insert("tu");
  const std::string t = login("tu", "Passw0rd");
  ASSERT_EQ(call("<orvane><getTokenInfo domain='ORVANE' token='" + t + "'/></orvane>"), 0u);
  const kt::xmldoc_node* info = reply("token");
  ASSERT_NE(info, nullptr);
  ASSERT_NE(info->get("domain"), nullptr);
  EXPECT_EQ(info->get("domain")->attr_get_value("id"), std::to_string(d_->id));
  EXPECT_EQ(info->get("domain")->attr_get_value("name"), "ORVANE");
  EXPECT_EQ(info->get("user")->attr_get_value("id"), std::to_string(id));
  EXPECT_EQ(info->get("user")->attr_get_value("uname"), "tu");

  // A request that holds the token keeps it alive after the release.
  kt::ref_ptr<orvane::token> held = g().tokens.get_rw(t);
  ASSERT_TRUE(held);
  EXPECT_EQ(call("<orvane><releaseToken domain='ORVANE' token='" + t + "'/></orvane>"), 0u);
  EXPECT_FALSE(g().tokens.get_rw(t));
  EXPECT_EQ(held->usr->uname, "tu");
  EXPECT_EQ(call("<orvane><isValidToken domain='ORVANE' token='" + t + "'/></orvane>"), 0x101u);
  EXPECT_EQ(call("<orvane><releaseToken domain='ORVANE' token='" + t + "'/></orvane>"), 0x101u);

  auto entries = audit_entries();
  const auditlog_entry* e = last_audit(entries, "releaseToken");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->username(), "tu");
  EXPECT_EQ(e->info(), "UID:" + std::to_string(held->id) + " / ");
}

}  // namespace
}  // namespace orvane
