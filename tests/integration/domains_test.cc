// The domain commands against the real orvaned over HTTPS: a subdomain created, managed by its
// parent's administrator, moved and removed, the refusals on the way, the audit entries, and
// the tree after a restart.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

class DomainsOverHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }

  // Posts a command to a domain (ORVANE by default, with the root Administrator's token);
  // returns the code and keeps the parsed answer.
  long post(const std::string& command, const std::string& body, const std::string& tok = "",
            const std::string& dom = "ORVANE", const std::string& attrs = "") {
    const std::string t = tok.empty() ? admin : tok;
    const http_answer a =
        server.post("<orvane><" + command + " domain=\"" + dom + "\" token=\"" + t + "\"" + attrs +
                    ">" + body + "</" + command + "></orvane>");
    doc = kt::xmldoc();
    EXPECT_EQ(doc.parse(a.body), 0) << a.body;
    return orvaned_process::code(a);
  }
  const kt::xmldoc_node* answer(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }

  long insert(const std::string& name, const std::string& parent, const std::string& password,
              const std::string& tok = "", const std::string& dom = "ORVANE") {
    return post("domainInsert",
                "<d name=\"" + name + "\" parentId=\"" + parent + "\"/><p>" + password + "</p>",
                tok, dom);
  }
  std::string add(const std::string& name, const std::string& parent,
                  const std::string& password = "Secr3tPw", const std::string& tok = "",
                  const std::string& dom = "ORVANE") {
    EXPECT_EQ(insert(name, parent, password, tok, dom), 0);
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? id->value() : std::string();
  }
  long edit(const std::string& id, const std::string& name, const std::string& parent,
            const std::string& tok = "", const std::string& dom = "ORVANE") {
    return post("domainEdit",
                "<d id=\"" + id + "\" name=\"" + name + "\" parentId=\"" + parent + "\"/>", tok,
                dom);
  }
  long remove(const std::string& attrs, const std::string& tok = "",
              const std::string& dom = "ORVANE") {
    return post("domainRemove", "<d " + attrs + "/>", tok, dom);
  }
  // name -> parentId of the domains a search answers, and their names in answer order.
  std::map<std::string, std::string> search(const std::string& s,
                                            std::vector<std::string>* order = nullptr) {
    std::map<std::string, std::string> tree;
    EXPECT_EQ(post("domainSearch", s), 0);
    const kt::xmldoc_node* list = answer("domains");
    if (list == nullptr) return tree;
    for (const auto& d : list->children()) {
      const std::string name(d->attr_get_value("name"));
      tree[name] = d->attr_get_value("parentId");
      if (order != nullptr) order->push_back(name);
    }
    return tree;
  }
  std::string root_id() { return id_of("ORVANE"); }
  std::string id_of(const std::string& name) {
    EXPECT_EQ(post("domainSearch", "<s opt=\"1\">^" + name + "$</s>"), 0);
    const kt::xmldoc_node* list = answer("domains");
    if (list == nullptr || list->child_count() != 1) return "";
    return std::string(list->first_child()->attr_get_value("id"));
  }

  orvaned_process server;
  std::string admin;
  kt::xmldoc doc;
};

TEST_F(DomainsOverHttpsTest, SubdomainIsCreatedManagedAndMoved) {
  const time_t from = time(nullptr) - 5;
  const std::string root = root_id();
  ASSERT_FALSE(root.empty());

  // Created under the root; its own Administrator logs in with the password given.
  EXPECT_EQ(insert("Alpha", root, ""), 0x10);
  const std::string alpha = add("Alpha", root, "Alph4pw");
  ASSERT_FALSE(alpha.empty());
  EXPECT_TRUE(fs::is_directory(server.current() + "/" + alpha + "/auditlogs"));
  const std::string alpha_admin = server.token("Administrator", "Alph4pw", "Alpha");
  ASSERT_FALSE(alpha_admin.empty());
  EXPECT_EQ(post("userInsert", "<u uname=\"worker\"><p>Passw0rd</p></u>", alpha_admin, "Alpha"), 0);
  EXPECT_EQ(insert("Alpha", root, "x"), 0x304);
  EXPECT_EQ(insert("Alpha", alpha, "x", alpha_admin, "Alpha"), 0x304);  // anywhere in the tree

  // The child's administrator adds below its domain; the root's administrator manages both.
  const std::string sub = add("sub", alpha, "Secr3tPw", alpha_admin, "Alpha");
  const std::string beta = add("beta", root);
  EXPECT_EQ(insert("above", root, "x", alpha_admin, "Alpha"), 0x102);
  EXPECT_EQ(edit(sub, "sub1", alpha), 0);
  EXPECT_EQ(edit(alpha, "alpha", root), 0);

  // Refused moves: under itself, under its own child, under a missing parent.
  EXPECT_EQ(edit(alpha, "alpha", alpha), 0x306);
  EXPECT_EQ(edit(alpha, "alpha", sub), 0x305);
  EXPECT_EQ(edit(alpha, "alpha", "12345"), 0x303);
  EXPECT_EQ(edit(alpha, "beta", root), 0x304);
  // A move: sub1 from alpha to beta, then alpha under beta too.
  EXPECT_EQ(edit(sub, "sub1", beta), 0);
  EXPECT_EQ(edit(alpha, "alpha", beta), 0);
  EXPECT_EQ(edit(beta, "beta", sub), 0x305);  // a grandchild is still inside

  std::vector<std::string> order;
  std::map<std::string, std::string> tree = search("<s/>", &order);
  EXPECT_EQ(tree, (std::map<std::string, std::string>{
                      {"ORVANE", "0"}, {"alpha", beta}, {"beta", root}, {"sub1", beta}}));
  // Newest first; a rename makes the entry new.
  EXPECT_EQ(order, (std::vector<std::string>{"alpha", "sub1", "beta", "ORVANE"}));
  EXPECT_EQ(search("<s>^A</s>").size(), 1u);
  EXPECT_EQ(search("<s opt=\"1\">^A</s>").size(), 0u);
  EXPECT_EQ(search("<s opt=\"1\">^a</s>").size(), 1u);
  EXPECT_EQ(post("domainSearch", "<s>[</s>"), 0x12);

  // The tree and the parent links come back from the files.
  ASSERT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  ASSERT_FALSE(admin.empty());
  EXPECT_EQ(search("<s/>"), tree);
  EXPECT_FALSE(server.token("Administrator", "Alph4pw", "alpha").empty());
  EXPECT_FALSE(server.token("worker", "Passw0rd", "alpha").empty());
  EXPECT_EQ(edit(beta, "beta", alpha), 0x305);  // the loaded links still refuse a loop

  // The root's audit log holds the entries of the root's commands.
  std::vector<std::string> infos;
  for (int attempt = 0; attempt < 50 && infos.size() < 6; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    infos.clear();
    const std::string range = " from=\"" + std::to_string(from) + "\" to=\"" +
                              std::to_string(time(nullptr) + 5) + "\" api=\"\"";
    ASSERT_EQ(post("getAuditLog", "", "", "ORVANE", range), 0);
    for (const auto& e : answer("auditlog")->children()) {
      if (e->attr_get_value("api").substr(0, 6) != "domain") continue;
      const std::string* info = e->get_value("i");
      infos.push_back(std::string(e->attr_get_value("api")) + ": " + (info ? *info : ""));
    }
  }
  EXPECT_EQ(infos, (std::vector<std::string>{
                       "domainInsert: domain Alpha (" + alpha + ") added / ",
                       "domainInsert: domain beta (" + beta + ") added / ",
                       "domainEdit: domain sub1 (" + sub + ") edited / ",
                       "domainEdit: domain alpha (" + alpha + ") edited / ",
                       "domainEdit: domain sub1 (" + sub + ") edited / ",
                       "domainEdit: domain alpha (" + alpha + ") edited / ",
                   }));
}

TEST_F(DomainsOverHttpsTest, RemovalTakesTheDirectoryAndTheTokens) {
  const std::string root = root_id();
  const std::string alpha = add("Alpha", root);
  const std::string sub = add("sub", alpha);
  const std::string alpha_admin = server.token("Administrator", "Secr3tPw", "Alpha");
  ASSERT_FALSE(alpha_admin.empty());

  EXPECT_EQ(remove("name=\"ORVANE\""), 0x301);
  EXPECT_EQ(remove("id=\"" + root + "\""), 0x301);
  EXPECT_EQ(remove("id=\"" + alpha + "\""), 0x302);
  EXPECT_EQ(remove("name=\"Alpha\"", alpha_admin, "Alpha"), 0x308);
  EXPECT_EQ(remove("name=\"nope\""), 0x103);
  EXPECT_EQ(remove("name=\"sub\"", alpha_admin, "Alpha"), 0);  // managed by its parent
  EXPECT_FALSE(fs::exists(server.current() + "/" + sub));
  EXPECT_EQ(post("isValidToken", "", alpha_admin, "Alpha"), 0);

  // What Alpha keeps outside its directory: a net client's key, certificate and bundle in the
  // authority's folder, and backups. The root's own backup is no part of it.
  ASSERT_EQ(post("netClientInsert", "<netc name=\"edge\"><v4>127.0.0.1</v4></netc>", alpha_admin,
                 "Alpha"),
            0);
  const kt::xmldoc_node* nc = answer("insertedId");
  ASSERT_NE(nc, nullptr);
  const std::string keys = server.current() + "/ca/" + alpha + "_" + nc->value();
  ASSERT_EQ(post("backupCreate", "alpha-copy", alpha_admin, "Alpha"), 0);
  ASSERT_EQ(post("backupCreate", "root-copy"), 0);
  const auto archives = [&] {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(server.current() + "/backup")) {
      out.push_back(e.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  ASSERT_EQ(archives().size(), 2u);
  for (const char* suffix : {"_public", "_private", ".pfx"}) {
    ASSERT_TRUE(fs::exists(keys + suffix)) << suffix;
  }

  ASSERT_EQ(remove("name=\"Alpha\""), 0);
  EXPECT_FALSE(fs::exists(server.current() + "/" + alpha));
  for (const char* suffix : {"_public", "_private", ".pfx"}) {
    EXPECT_FALSE(fs::exists(keys + suffix)) << suffix;
  }
  const std::vector<std::string> left = archives();
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].substr(0, 10), "root-copy_");
  ASSERT_EQ(post("backupSearch", ""), 0);
  ASSERT_NE(answer("backups"), nullptr);
  EXPECT_EQ(answer("backups")->child_count(), 1u);
  EXPECT_EQ(fs::file_size(server.current() + "/backups"), 160u);
  EXPECT_EQ(post("isValidToken", "", alpha_admin, "Alpha"), 0x103);
  // A new domain of the same name does not take the old tokens.
  add("Alpha", root);
  EXPECT_EQ(post("isValidToken", "", alpha_admin, "Alpha"), 0x101);
  EXPECT_TRUE(server.token("Administrator", "Secr3tPw", "Alpha").size() > 0);
  EXPECT_EQ(search("<s/>").size(), 2u);

  ASSERT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  EXPECT_EQ(search("<s/>"), (std::map<std::string, std::string>{{"ORVANE", "0"}, {"Alpha", root}}));
}

}  // namespace
}  // namespace orvane_test
