// The domain commands through the dispatcher, on a server context built on a temporary root.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/domains/domain_commands.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "processor.h"
#include "support/server_fixture.h"
#include "utils/uid.h"
#include "xmldoc/xmldoc.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;
using orvane_test::server_fixture;

class DomainCommandsTest : public server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    refresh();
  }
  void TearDown() override {
    root_.reset();
    server_fixture::TearDown();
  }
  void refresh() {
    root_ = domain_named("ORVANE");
    ASSERT_TRUE(root_);
    admin_ = admin_token();
  }

  // A command addressed to a domain, by default ORVANE with the root Administrator's token.
  uint32_t cmd(const std::string& name, const std::string& body, const std::string& tok = "",
               const std::string& dom = "ORVANE") {
    return run("<orvane><" + name + " domain='" + dom + "' token='" + (tok.empty() ? admin_ : tok) +
               "'>" + body + "</" + name + "></orvane>");
  }
  uint32_t insert(const std::string& name, uint64_t parent, const std::string& password,
                  const std::string& tok = "", const std::string& dom = "ORVANE") {
    return cmd(
        "domainInsert",
        "<d name='" + name + "' parentId='" + std::to_string(parent) + "'/><p>" + password + "</p>",
        tok, dom);
  }
  // Inserts a domain and returns its identifier (0 on failure).
  uint64_t add(const std::string& name, uint64_t parent, const std::string& tok = "",
               const std::string& dom = "ORVANE") {
    EXPECT_EQ(insert(name, parent, "Secr3tPw", tok, dom), 0u) << response_text();
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }
  uint32_t edit(uint64_t id, const std::string& name, uint64_t parent, const std::string& tok = "",
                const std::string& dom = "ORVANE") {
    return cmd("domainEdit",
               "<d id='" + std::to_string(id) + "' name='" + name + "' parentId='" +
                   std::to_string(parent) + "'/>",
               tok, dom);
  }
  uint32_t remove(const std::string& attrs, const std::string& tok = "",
                  const std::string& dom = "ORVANE") {
    return cmd("domainRemove", "<d " + attrs + "/>", tok, dom);
  }
  // The names a domainSearch answers, in answer order.
  std::vector<std::string> search(const std::string& s) {
    std::vector<std::string> names;
    EXPECT_EQ(cmd("domainSearch", s), 0u) << response_text();
    const kt::xmldoc_node* list = answer("domains");
    if (list == nullptr) return names;
    for (const auto& d : list->children()) names.emplace_back(d->attr_get_value("name"));
    return names;
  }
  kt::ref_ptr<domain> by_id(uint64_t id) { return g().domains_by_id.get_rw(id); }
  std::string dir(uint64_t id) const { return root() + "/current/" + std::to_string(id); }

  kt::ref_ptr<domain> root_;
  std::string admin_;
};

TEST_F(DomainCommandsTest, InsertRefusesMalformedRequests) {
  const std::string r = std::to_string(root_->id);
  EXPECT_EQ(cmd("domainInsert", "<p>Secr3tPw</p>"), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("domainInsert", "<d name='a' parentId='" + r + "'/>"), E_INVALID_REQUEST);
  EXPECT_EQ(insert("a", root_->id, ""), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("domainInsert", "<d parentId='" + r + "'/><p>x</p>"), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("domainInsert", "<d name='a'/><p>x</p>"), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("domainInsert", "<d name='a' parentId='1x'/><p>x</p>"), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("domainInsert", "<d name='a' parentId='99999999999999999999'/><p>x</p>"),
            E_INVALID_REQUEST);
  EXPECT_EQ(insert("a b", root_->id, "x"), E_DOMAIN_NAME_INVALID);
  EXPECT_EQ(insert("", root_->id, "x"), E_DOMAIN_NAME_INVALID);
  // A name that the record could only store cut short is refused.
  EXPECT_EQ(insert(std::string(128, 'n'), root_->id, "x"), E_DOMAIN_NAME_TOO_LONG);
  EXPECT_EQ(insert("ORVANE", root_->id, "x"), E_DOMAIN_EXISTS);
  EXPECT_EQ(insert("a", 12345, "x"), E_DOMAIN_NOT_FOUND);
  EXPECT_EQ(insert("a", 0, "x"), E_DOMAIN_NOT_FOUND);
  EXPECT_EQ(g().domains_by_id.count(), 1u);
  EXPECT_EQ(fs::file_size(root() + "/current/domains"), DOMAIN_RECORD_SIZE);
}

TEST_F(DomainCommandsTest, InsertCreatesALoadedDomainUnderItsParent) {
  const std::string name(127, 'n');  // the longest name the record holds
  const uint64_t id = add(name, root_->id);
  ASSERT_NE(id, 0u);
  kt::ref_ptr<domain> d = by_id(id);
  ASSERT_TRUE(d);
  EXPECT_EQ(g().domains_by_name.get_rw(name), d);
  EXPECT_EQ(d->parent, root_);
  EXPECT_EQ(d->parent_id, root_->id);
  EXPECT_EQ(d->g, &g());
  EXPECT_TRUE(fs::is_directory(dir(id) + "/auditlogs"));
  EXPECT_NE(d->log, nullptr);
  // Loaded like a domain at start-up: system objects, settings and net-client index.
  EXPECT_TRUE(d->administrators);
  EXPECT_TRUE(d->all_users);
  EXPECT_NE(d->sys_res[SYS_RES_ORVANE], 0u);
  EXPECT_EQ(d->netclients_by_name.count(), 1u);
  EXPECT_EQ(d->netclient_index.count(), 1u);
  EXPECT_EQ(d->expire_token_sec.load(), 1800u);
  EXPECT_EQ(insert(name, root_->id, "x"), E_DOMAIN_EXISTS);

  restart();
  refresh();
  d = by_id(id);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->name(), name);
  EXPECT_EQ(d->parent, root_);
}

TEST_F(DomainCommandsTest, NewAdministratorPasswordIgnoresThePolicy) {
  ASSERT_EQ(insert("weak", root_->id, "x"), 0u) << response_text();
  EXPECT_FALSE(token("Administrator", "x", "weak").empty());
}

TEST_F(DomainCommandsTest, FailedInitialisationLeavesNothingBehind) {
  // The next identifiers (this second and the next) get a plain file where the directory goes:
  // the record and the mkdir succeed, the domain's files can't be written.
  const uint64_t last = kt::uid_time_seq();
  const uint64_t now = static_cast<uint64_t>(time(nullptr));
  std::vector<std::string> traps;
  for (uint64_t t = now; t <= now + 2; ++t) {
    for (uint64_t seq = 1; seq <= 3; ++seq) {
      traps.push_back(dir((t << 32) | ((last & 0xffffffffu) + seq)));
      std::ofstream(traps.back()) << "x";
    }
  }
  EXPECT_EQ(insert("broken", root_->id, "Secr3tPw"), E_DOMAIN_INIT_FAILED);
  EXPECT_EQ(g().domains_by_id.count(), 1u);
  EXPECT_FALSE(g().domains_by_name.get_rw("broken"));
  EXPECT_EQ(fs::file_size(root() + "/current/domains"), DOMAIN_RECORD_SIZE);
  int left = 0;
  for (const auto& t : traps) left += fs::exists(t) ? 1 : 0;
  EXPECT_EQ(left, static_cast<int>(traps.size()) - 1);  // the one used was removed
  for (const auto& t : traps) fs::remove(t);
  EXPECT_NE(add("broken", root_->id), 0u);
}

TEST_F(DomainCommandsTest, RightsAreChecked) {
  add_user("plain");
  const std::string plain = token("plain", "Passw0rd");
  const uint64_t child = add("child", root_->id);
  const uint64_t other = add("other", root_->id);
  EXPECT_EQ(insert("x", root_->id, "x", plain), E_ACCESS_VIOLATION);
  EXPECT_EQ(edit(child, "child2", root_->id, plain), E_ACCESS_VIOLATION);
  EXPECT_EQ(remove("id='" + std::to_string(child) + "'", plain), E_ACCESS_VIOLATION);
  EXPECT_EQ(cmd("domainSearch", "<s/>", plain), E_ACCESS_VIOLATION);

  // The child's administrator manages its own subtree, not its parent or a sibling.
  const std::string child_admin = token("Administrator", "Secr3tPw", "child");
  EXPECT_EQ(insert("up", root_->id, "x", child_admin, "child"), E_ACCESS_VIOLATION);
  EXPECT_EQ(edit(other, "other2", other, child_admin, "child"), E_ACCESS_VIOLATION);
  EXPECT_EQ(remove("id='" + std::to_string(other) + "'", child_admin, "child"), E_ACCESS_VIOLATION);
  EXPECT_EQ(edit(root_->id, "ROOT", 0, child_admin, "child"), E_ACCESS_VIOLATION);
  const uint64_t grand = add("grand", child, child_admin, "child");
  ASSERT_NE(grand, 0u);
  // Its own domain may be renamed, not moved out of its parent's reach.
  EXPECT_EQ(edit(child, "child2", root_->id, child_admin, "child"), 0u);
  EXPECT_EQ(edit(child, "child2", other, child_admin, "child2"), E_ACCESS_VIOLATION);
  EXPECT_EQ(remove("name='grand'", child_admin, "child2"), 0u);
  // The root's administrator reaches two levels down.
  const uint64_t grand2 = add("grand2", child, child_admin, "child2");
  EXPECT_EQ(edit(grand2, "grand3", child), 0u) << response_text();
  EXPECT_EQ(remove("name='grand3'"), 0u);
}

TEST_F(DomainCommandsTest, EditRenamesAndMoves) {
  const uint64_t a = add("a", root_->id);
  const uint64_t b = add("b", root_->id);
  const uint64_t a1 = add("a1", a);
  const uint64_t a11 = add("a11", a1);
  EXPECT_EQ(cmd("domainEdit", "<d id='" + std::to_string(a) + "' name='a'/>"), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("domainEdit", "<d name='a' parentId='1'/>"), E_INVALID_REQUEST);
  EXPECT_EQ(edit(424242, "zz", root_->id), E_DOMAIN_NOT_FOUND);
  EXPECT_EQ(edit(a, "a/", root_->id), E_DOMAIN_NAME_INVALID);
  EXPECT_EQ(edit(a, "b", root_->id), E_DOMAIN_EXISTS);
  EXPECT_EQ(edit(a, "a", a), E_DOMAIN_CHILD_OF_SELF);
  EXPECT_EQ(edit(a, "a", a1), E_DOMAIN_CHILD_OF_CHILD);
  EXPECT_EQ(edit(a, "a", a11), E_DOMAIN_CHILD_OF_CHILD);
  EXPECT_EQ(edit(a, "a", 777), E_DOMAIN_PARENT_NOT_FOUND);
  EXPECT_EQ(edit(root_->id, "ORVANE", a11), E_DOMAIN_CHILD_OF_CHILD);
  EXPECT_EQ(by_id(a)->parent, root_);

  // Rename: the name table follows.
  ASSERT_EQ(edit(a, "alpha", root_->id), 0u) << response_text();
  EXPECT_FALSE(g().domains_by_name.get_rw("a"));
  EXPECT_EQ(g().domains_by_name.get_rw("alpha"), by_id(a));
  EXPECT_EQ(edit(a, "alpha", root_->id), 0u);  // unchanged is fine
  // Move a subtree under a sibling.
  ASSERT_EQ(edit(a1, "a1", b), 0u) << response_text();
  EXPECT_EQ(by_id(a1)->parent, by_id(b));
  EXPECT_EQ(by_id(a1)->parent_id, b);
  EXPECT_EQ(by_id(a11)->parent, by_id(a1));
  EXPECT_EQ(edit(b, "b", a11), E_DOMAIN_CHILD_OF_CHILD);

  restart();
  refresh();
  EXPECT_EQ(by_id(a)->name(), "alpha");
  EXPECT_EQ(by_id(a1)->parent, by_id(b));
  EXPECT_EQ(by_id(a11)->parent, by_id(a1));
  EXPECT_FALSE(g().domains_by_name.get_rw("a"));
}

TEST_F(DomainCommandsTest, RemoveRefusals) {
  const uint64_t a = add("a", root_->id);
  add("a1", a);
  EXPECT_EQ(remove(""), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("domainRemove", ""), E_INVALID_REQUEST);
  EXPECT_EQ(remove("id='5'"), E_DOMAIN_NOT_FOUND);
  EXPECT_EQ(remove("name='zz'"), E_DOMAIN_NOT_FOUND);
  EXPECT_EQ(remove("id='" + std::to_string(root_->id) + "'"), E_ROOT_DOMAIN_DELETE);
  EXPECT_EQ(remove("name='ORVANE'"), E_ROOT_DOMAIN_DELETE);
  EXPECT_EQ(remove("id='" + std::to_string(a) + "'"), E_DOMAIN_HAS_SUBDOMAINS);
  const std::string a_admin = token("Administrator", "Secr3tPw", "a");
  EXPECT_EQ(remove("name='a'", a_admin, "a"), E_DOMAIN_DELETE_OWN);
  // The identifier wins when it is found; otherwise the name is used.
  EXPECT_EQ(remove("id='" + std::to_string(a) + "' name='a1'"), E_DOMAIN_HAS_SUBDOMAINS);
  EXPECT_EQ(remove("id='5' name='a1'"), 0u);
  EXPECT_EQ(remove("id='x' name='a'"), 0u);
  EXPECT_EQ(g().domains_by_id.count(), 1u);
}

TEST_F(DomainCommandsTest, RemoveTakesEverythingOfTheDomain) {
  const uint64_t id = add("gone", root_->id);
  const std::string tok = token("Administrator", "Secr3tPw", "gone");
  kt::ref_ptr<domain> d = by_id(id);
  ASSERT_TRUE(d);
  ASSERT_TRUE(fs::is_directory(dir(id)));
  ASSERT_EQ(remove("name='gone'"), 0u) << response_text();
  EXPECT_FALSE(by_id(id));
  EXPECT_FALSE(g().domains_by_name.get_rw("gone"));
  EXPECT_FALSE(g().tokens.get_rw(tok));
  EXPECT_FALSE(fs::exists(dir(id)));
  EXPECT_EQ(d->users_by_id.count(), 0u);
  EXPECT_EQ(d->netclient_index.count(), 0u);
  EXPECT_EQ(d->log, nullptr);
  EXPECT_FALSE(d->parent);
  EXPECT_EQ(d->ref_count(), 1u);  // only this test holds it now
  EXPECT_EQ(cmd("isValidToken", "", tok, "gone"), E_DOMAIN_NOT_FOUND);
  EXPECT_EQ(cmd("isValidToken", "", tok), E_TOKEN_NOT_FOUND);
  EXPECT_EQ(fs::file_size(root() + "/current/domains"), DOMAIN_RECORD_SIZE);
  d.reset();

  restart();
  refresh();
  EXPECT_EQ(g().domains_by_id.count(), 1u);
  EXPECT_NE(add("gone", root_->id), 0u);
}

// One request on its own connection record (the fixture's run() is for one thread only).
uint32_t run_alone(globals& g, const std::string& document) {
  client c(g);
  c.peer_text = "127.0.0.1";
  kt::ipv4_parse_addr(std::string_view(c.peer_text), c.peer);
  c.response = kt::xmldoc::create_def("orvane");
  if (c.request.parse(document) != 0) return 0xFFFFFFFF;
  client_process(c);
  const kt::xmldoc_node* res = c.response.root()->get("res");
  return res != nullptr
             ? static_cast<uint32_t>(std::stoul(std::string(res->attr_get_value("code"))))
             : 0xFFFFFFFF;
}

TEST_F(DomainCommandsTest, TreeChangesFromBothEndsDoNotDeadlock) {
  // The root's administrator edits the child (root lock, tree lock, child lock) while the
  // child's administrator edits the child from inside (child lock, tree lock).
  const uint64_t child = add("c0", root_->id);
  const std::string child_admin = token("Administrator", "Secr3tPw", "c0");
  const std::string id = std::to_string(child);
  const std::string parent = std::to_string(root_->id);
  auto edit_doc = [&](const std::string& dom, const std::string& tok, int i) {
    return "<orvane><domainEdit domain='" + dom + "' token='" + tok + "'><d id='" + id +
           "' name='c" + std::to_string(i) + "' parentId='" + parent + "'/></domainEdit></orvane>";
  };
  std::atomic<int> failures{0};
  auto outside = std::async(std::launch::async, [&] {
    for (int i = 1; i <= 150; ++i) {
      if (run_alone(g(), edit_doc("ORVANE", admin_, 2 * i)) != 0) ++failures;
    }
  });
  auto inside = std::async(std::launch::async, [&] {
    for (int i = 1; i <= 150; ++i) {
      if (run_alone(g(), edit_doc(id, child_admin, 2 * i + 1)) != 0) ++failures;
      run_alone(g(), "<orvane><domainSearch domain='" + id + "' token='" + child_admin +
                         "'><s/></domainSearch></orvane>");
    }
  });
  if (outside.wait_for(std::chrono::seconds(120)) != std::future_status::ready ||
      inside.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
    ADD_FAILURE() << "the tree commands deadlocked";
    std::abort();
  }
  EXPECT_EQ(failures.load(), 0);
  // Names and the name table agree.
  const std::string name = by_id(child)->name();
  EXPECT_EQ(g().domains_by_name.get_rw(name), by_id(child));
  EXPECT_EQ(g().domains_by_name.count(), 2u);
}

TEST_F(DomainCommandsTest, SearchMatchesNamesOfTheCallersSubtree) {
  const uint64_t alpha = add("Alpha", root_->id);
  add("beta", alpha);
  add("alphabet", root_->id);
  EXPECT_EQ(search("<s>^a</s>"), (std::vector<std::string>{"alphabet", "Alpha"}));
  EXPECT_EQ(search("<s opt='1'>^a</s>"), (std::vector<std::string>{"alphabet"}));
  EXPECT_EQ(search("<s opt='3'>^A</s>"), (std::vector<std::string>{"Alpha"}));
  EXPECT_EQ(search("<s/>"), (std::vector<std::string>{"alphabet", "beta", "Alpha", "ORVANE"}));
  // Every element carries the identifiers.
  ASSERT_EQ(search("<s>^beta$</s>").size(), 1u);
  const kt::xmldoc_node* d = answer("domains")->first_child();
  EXPECT_EQ(d->name(), "d");
  EXPECT_EQ(d->attr_get_value("parentId"), std::to_string(alpha));
  EXPECT_EQ(by_id(std::stoull(std::string(d->attr_get_value("id"))))->name(), "beta");
  // A child domain's administrator sees its own domain and those below it, nothing else.
  const std::string alpha_admin = token("Administrator", "Secr3tPw", "Alpha");
  EXPECT_EQ(cmd("domainSearch", "<s/>", alpha_admin, "Alpha"), 0u);
  std::vector<std::string> seen;
  for (const auto& e : answer("domains")->children()) seen.emplace_back(e->attr_get_value("name"));
  EXPECT_EQ(seen, (std::vector<std::string>{"beta", "Alpha"}));
  const std::string beta_admin = token("Administrator", "Secr3tPw", "beta");
  EXPECT_EQ(cmd("domainSearch", "<s>ORVANE</s>", beta_admin, "beta"), 0u);
  EXPECT_EQ(answer("domains")->child_count(), 0u);
  EXPECT_EQ(cmd("domainSearch", "<s>(</s>"), E_INVALID_REGEX);
  EXPECT_EQ(cmd("domainSearch", ""), E_INVALID_REQUEST);
}

}  // namespace
}  // namespace orvane
