// The resource commands against the real orvaned over HTTPS: the life of a resource tree, the
// rules of the system resources, what survives a restart, path limits and a removal the record
// store refuses in part.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "objects/record.h"
#include "objects/resources/resource.h"
#include "support/orvaned.h"
#include "support/websocket_client.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

class ResourcesOverHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }

  // Posts a command of the ORVANE domain; returns the code and keeps the parsed answer.
  long post(const std::string& command, const std::string& body, const std::string& tok = "",
            const std::string& attrs = "") {
    const std::string t = tok.empty() ? admin : tok;
    const http_answer a = server.post("<orvane><" + command + " domain=\"ORVANE\" token=\"" + t +
                                      "\"" + attrs + ">" + body + "</" + command + "></orvane>");
    doc = kt::xmldoc();
    EXPECT_EQ(doc.parse(a.body), 0) << a.body;
    return orvaned_process::code(a);
  }
  const kt::xmldoc_node* answer(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  std::string inserted_id() const {
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? id->value() : std::string();
  }

  // The text of the only "p" of a getPermissions answer, or "" when there is not exactly one.
  std::string rights(const std::string& path, const std::string& tok, long* code = nullptr) {
    const long c = post("getPermissions", "<path>" + path + "</path>", tok);
    if (code != nullptr) *code = c;
    const kt::xmldoc_node* p = answer("permissions");
    if (c != 0 || p == nullptr || p->child_count() != 1) return "";
    return p->first_child()->value();
  }

  static std::string perm(const std::string& id, int type, const std::string& member, int flags) {
    return "<p id=\"" + id + "\" memberType=\"" + std::to_string(type) + "\" memberId=\"" + member +
           "\" flags=\"" + std::to_string(flags) + "\"/>";
  }

  orvaned_process server;
  std::string admin;
  kt::xmldoc doc;
};

TEST_F(ResourcesOverHttpsTest, TreeLifeRightsAndRestart) {
  ASSERT_EQ(post("userInsert", "<u uname=\"member\"><p>Passw0rd</p></u>"), 0);
  const std::string member = inserted_id();
  const std::string member_token = server.token("member", "Passw0rd");
  ASSERT_FALSE(member_token.empty());

  ASSERT_EQ(post("resourceInsert", "<r name=\"App\" type=\"3\" parentId=\"0\"><permissions>" +
                                       perm("0", 0, member, 5) + "</permissions></r>"),
            0);
  const std::string app = inserted_id();
  ASSERT_EQ(post("resourceInsert", "<r name=\"Child\" type=\"3\" parentId=\"" + app + "\"/>"), 0);
  const std::string child = inserted_id();
  ASSERT_EQ(post("resourceInsert", "<r name=\"Grandchild\" type=\"3\" parentId=\"" + child +
                                       "\"><permissions>" + perm("0", 0, member, 1) +
                                       "</permissions></r>"),
            0);
  const std::string grandchild = inserted_id();

  // The member's rights count at once.
  EXPECT_EQ(rights("/App", member_token), "5");
  EXPECT_EQ(rights("/App/Child", member_token), "0");
  EXPECT_EQ(rights("/App/Child/Grandchild", member_token), "1");
  EXPECT_EQ(post("resourceInsert", "<r name=\"Nope\" type=\"3\" parentId=\"0\"/>", member_token),
            0x102);

  // Search reports children and permissions.
  ASSERT_EQ(post("resourceSearch", "<s opt=\"1\">^App$</s>"), 0);
  const kt::xmldoc_node* found = answer("resources");
  ASSERT_NE(found, nullptr);
  ASSERT_EQ(found->child_count(), 1u);
  const kt::xmldoc_node* r = found->first_child();
  EXPECT_EQ(r->attr_get_value("id"), app);
  EXPECT_EQ(r->attr_get_value("type"), "3");
  ASSERT_NE(r->get("members"), nullptr);
  EXPECT_EQ(r->get("members")->first_child()->attr_get_value("id"), child);
  ASSERT_NE(r->get("permissions"), nullptr);
  EXPECT_EQ(r->get("permissions")->first_child()->attr_get_value("memberId"), member);

  // Moves that would close a loop, then a rename.
  EXPECT_EQ(post("resourceEdit",
                 "<r id=\"" + app + "\" name=\"App\" type=\"3\" parentId=\"" + grandchild + "\"/>"),
            0x405);
  EXPECT_EQ(post("resourceEdit",
                 "<r id=\"" + app + "\" name=\"App\" type=\"3\" parentId=\"" + app + "\"/>"),
            0x406);
  ASSERT_EQ(
      post("resourceEdit", "<r id=\"" + app + "\" name=\"Portal\" type=\"4\" parentId=\"0\"/>"), 0);
  long code = 0;
  rights("/App", member_token, &code);
  EXPECT_EQ(code, 0x401);
  EXPECT_EQ(rights("/Portal", member_token), "5");  // the list was left alone

  // Restart: the tree and the rights come back from the files.
  ASSERT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  const std::string again = server.token("member", "Passw0rd");
  EXPECT_EQ(rights("/Portal", again), "5");
  EXPECT_EQ(rights("/Portal/Child/Grandchild", again), "1");

  // Removal takes the subtree and its permissions.
  EXPECT_EQ(post("resourceRemove", "<r name=\"Portal\"/>"), 0x10);
  ASSERT_EQ(post("resourceRemove", "<r id=\"" + app + "\"/>"), 0);
  rights("/Portal/Child", again, &code);
  EXPECT_EQ(code, 0x401);
  ASSERT_EQ(post("resourceSearch", "<s>child</s>"), 0);
  EXPECT_EQ(answer("resources")->child_count(), 0u);
  EXPECT_EQ(post("resourceRemove", "<r id=\"" + grandchild + "\"/>"), 0x401);

  // The changes are audited with the request's note.
  ASSERT_EQ(
      post("resourceInsert",
           "<r name=\"Noted\" type=\"1\" parentId=\"0\"/><audit code=\"7\">ticket 42</audit>"),
      0);
  const std::string noted = inserted_id();
  const std::string expected = "resource Noted (" + noted + ") added / ticket 42";
  bool seen = false;
  for (int i = 0; i < 50 && !seen; ++i) {
    const long now = static_cast<long>(::time(nullptr));
    ASSERT_EQ(post("getAuditLog", "", "",
                   " from=\"" + std::to_string(now - 3600) + "\" to=\"" +
                       std::to_string(now + 3600) + "\" api=\"resourceInsert\""),
              0);
    for (const auto& e : answer("auditlog")->children()) {
      const kt::xmldoc_node* info = e->get("i");
      if (info != nullptr && info->value() == expected) {
        seen = true;
        EXPECT_EQ(e->attr_get_value("auditCode"), "7");
        EXPECT_EQ(e->attr_get_value("resCode"), "0");
      }
    }
    if (!seen) ::usleep(20000);
  }
  EXPECT_TRUE(seen) << expected;
}

TEST_F(ResourcesOverHttpsTest, SystemResourcesKeepAdministrators) {
  ASSERT_EQ(post("resourceSearch", "<s opt=\"1\">^OrvaneUsers$</s>"), 0);
  const kt::xmldoc_node* r = answer("resources")->first_child();
  ASSERT_NE(r, nullptr);
  const std::string id(r->attr_get_value("id"));
  const std::string parent(r->attr_get_value("parentId"));
  const kt::xmldoc_node* p = r->get("permissions")->first_child();
  const std::string pid(p->attr_get_value("id"));
  const std::string admins(p->attr_get_value("memberId"));
  EXPECT_EQ(r->attr_get_value("flags"), "7");

  const auto edit = [&](const std::string& name, const std::string& perms,
                        const std::string& note = "") {
    return post("resourceEdit", "<r id=\"" + id + "\" name=\"" + name +
                                    "\" type=\"0\" parentId=\"" + parent + "\">" + perms + "</r>" +
                                    note);
  };
  EXPECT_EQ(edit("OrvaneUsers", "<permissions>" + perm(pid, 1, admins, 7) + "</permissions>"), 0);
  EXPECT_EQ(edit("OrvaneUsers", "<permissions>" + perm(pid, 1, admins, 3) + "</permissions>",
                 "<audit>refused</audit>"),
            0x407);
  EXPECT_EQ(edit("Accounts", ""), 0x404);
  EXPECT_EQ(post("resourceRemove", "<r id=\"" + id + "\"/>"), 0x404);
  // Still full rights for the Administrator.
  EXPECT_EQ(rights("/ORVANE/OrvaneUsers", admin), "7");
  EXPECT_EQ(rights("", admin), "7");

  // Only the successful edits are audited: once a later marker entry is written, the log (one
  // writer, first in first out) holds no entry of the refused request.
  ASSERT_EQ(edit("OrvaneUsers", "", "<audit>marker</audit>"), 0);
  std::vector<std::string> infos;
  for (int i = 0; i < 50; ++i) {
    const long now = static_cast<long>(::time(nullptr));
    ASSERT_EQ(post("getAuditLog", "", "",
                   " from=\"" + std::to_string(now - 3600) + "\" to=\"" +
                       std::to_string(now + 3600) + "\" api=\"resourceEdit\""),
              0);
    infos.clear();
    for (const auto& e : answer("auditlog")->children()) {
      const kt::xmldoc_node* info = e->get("i");
      infos.push_back(info != nullptr ? info->value() : std::string());
    }
    if (!infos.empty() && infos.back().find("marker") != std::string::npos) break;
    ::usleep(20000);
  }
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0], "resource OrvaneUsers (" + id + ") edited / ");
  EXPECT_EQ(infos[1], "resource OrvaneUsers (" + id + ") edited / marker");
}

TEST_F(ResourcesOverHttpsTest, DeepPathsAndAPartlyRefusedRemoval) {
  // A chain of 33 resources: paths of up to 32 are walked, a longer one is a bad request.
  std::string parent = "0";
  std::string path;
  std::string path32;
  for (int i = 1; i <= 33; ++i) {
    const std::string name = "L" + std::to_string(i);
    ASSERT_EQ(
        post("resourceInsert", "<r name=\"" + name + "\" type=\"1\" parentId=\"" + parent + "\"/>"),
        0);
    parent = inserted_id();
    path += "/" + name;
    if (i == 32) path32 = path;
  }
  long code = -1;
  EXPECT_EQ(rights(path32, admin, &code), "0");
  EXPECT_EQ(code, 0);
  rights(path, admin, &code);
  EXPECT_EQ(code, 0x10);
  EXPECT_EQ(answer("permissions"), nullptr);
  EXPECT_EQ(post("getAttributes", "<path>" + path32 + "</path>"), 0);
  EXPECT_EQ(post("getAttributes", "<path>" + path + "</path>"), 0x10);
  EXPECT_EQ(post("getAttributes", "<path>" + path + "/=x</path>"), 0x10);

  // P with children A and B; A's record vanishes from the store behind the server's back, so
  // its removal is refused while P's and B's go through.
  ASSERT_EQ(post("resourceInsert", "<r name=\"P\" type=\"1\" parentId=\"0\"/>"), 0);
  const std::string p = inserted_id();
  ASSERT_EQ(post("resourceInsert", "<r name=\"A\" type=\"1\" parentId=\"" + p + "\"/>"), 0);
  const std::string a = inserted_id();
  ASSERT_EQ(post("resourceInsert", "<r name=\"B\" type=\"1\" parentId=\"" + p + "\"/>"), 0);
  std::string records;
  for (const auto& e : std::filesystem::directory_iterator(server.current())) {
    if (std::filesystem::exists(e.path() / "resources"))
      records = (e.path() / "resources").string();
  }
  ASSERT_FALSE(records.empty());
  const kt::filedb_fixed db = orvane::record_file(records, orvane::RESOURCE_RECORD_SIZE);
  ASSERT_EQ(orvane::record_db_remove(db, std::stoull(a)), 0);

  websocket_client ws;
  ASSERT_TRUE(ws.open(server.http_port, false));
  ASSERT_EQ(ws.auth(admin), 0);
  EXPECT_EQ(post("resourceRemove", "<r id=\"" + p + "\"/>"), 0x13);
  // P itself is gone, and that is notified.
  std::string change;
  ASSERT_EQ(ws.read_frame(&change, 5000), ws_read::frame);
  EXPECT_NE(change.find("objId=\"" + p + "\""), std::string::npos) << change;
  ASSERT_EQ(post("resourceSearch", "<s>^[PAB]$</s>"), 0);
  ASSERT_NE(answer("resources"), nullptr);
  std::vector<std::string> left;
  for (const auto& r : answer("resources")->children()) {
    left.emplace_back(r->attr_get_value("name"));
  }
  EXPECT_EQ(left, std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace orvane_test
