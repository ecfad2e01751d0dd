// getPermissions, getUserPermissions and the rights checks of the management commands against the
// real orvaned over HTTPS.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

using names = std::map<std::string, std::string>;

class PermissionsOverHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }

  long post(const std::string& command, const std::string& body, const std::string& tok,
            const std::string& attrs = "") {
    std::string open = "<" + command + " domain=\"ORVANE\"";
    if (!tok.empty()) open += " token=\"" + tok + "\"";
    const http_answer a =
        server.post("<orvane>" + open + attrs + ">" + body + "</" + command + "></orvane>");
    doc = kt::xmldoc();
    EXPECT_EQ(doc.parse(a.body), 0) << a.body;
    return orvaned_process::code(a);
  }

  // A rights query; the answer's "p" elements go to *out (name -> text).
  long query(const std::string& path, names* out, const std::string& tok,
             const std::string& attrs = "", const std::string& command = "getPermissions") {
    const long code = post(command, "<path>" + path + "</path>", tok, attrs);
    out->clear();
    const kt::xmldoc_node* p = doc.root() != nullptr ? doc.root()->get("permissions") : nullptr;
    if (p != nullptr) {
      for (const auto& e : p->children()) (*out)[std::string(e->attr_get_value("p"))] = e->value();
    }
    return code;
  }

  // Adds a group's entry to a resource's permission list (the list is replaced whole, so the
  // entries it holds are sent back with it). The resource is found by name.
  long grant(const std::string& resource, const std::string& group_id, int flags) {
    if (post("resourceSearch", "<s opt=\"1\">^" + resource + "$</s>", admin) != 0) return -1;
    const kt::xmldoc_node* r = doc.root()->get("resources")->first_child();
    std::string body = "<r id=\"" + std::string(r->attr_get_value("id")) + "\" name=\"" + resource +
                       "\" type=\"" + std::string(r->attr_get_value("type")) + "\" parentId=\"" +
                       std::string(r->attr_get_value("parentId")) + "\"><permissions>";
    for (const auto& e : r->get("permissions")->children()) {
      body += "<p id=\"" + std::string(e->attr_get_value("id")) + "\" memberType=\"" +
              std::string(e->attr_get_value("memberType")) + "\" memberId=\"" +
              std::string(e->attr_get_value("memberId")) + "\" flags=\"" +
              std::string(e->attr_get_value("flags")) + "\"/>";
    }
    body += "<p id=\"0\" memberType=\"1\" memberId=\"" + group_id + "\" flags=\"" +
            std::to_string(flags) + "\"/></permissions></r>";
    return post("resourceEdit", body, admin);
  }
  std::string group_id(const std::string& name) {
    if (post("groupSearch", "<s opt=\"1\">^" + name + "$</s>", admin) != 0) return "";
    return std::string(doc.root()->get("groups")->first_child()->attr_get_value("id"));
  }

  std::string inserted_id() const {
    const kt::xmldoc_node* id = doc.root() != nullptr ? doc.root()->get("insertedId") : nullptr;
    return id != nullptr ? id->value() : std::string();
  }

  orvaned_process server;
  std::string admin;
  kt::xmldoc doc;
};

TEST_F(PermissionsOverHttpsTest, PathFormsForTheAdministrator) {
  names p;
  EXPECT_EQ(query("", &p, admin), 0);
  EXPECT_EQ(p, (names{{"/", "7"}}));
  EXPECT_EQ(query("/ORVANE/*", &p, admin), 0);
  EXPECT_EQ(p.size(), 5u);
  for (const char* name : {"OrvaneUsers", "OrvaneGroups", "OrvaneResources", "OrvaneNSSProfiles",
                           "OrvaneNetClients"}) {
    EXPECT_EQ(p[name], "7") << name;
  }
  EXPECT_EQ(query("/OrvaneUsers", &p, admin), 0x402);
  EXPECT_EQ(query("/ORVANE/*/OrvaneUsers", &p, admin), 0x11);
  EXPECT_EQ(query("/ORVANE/Unknown", &p, admin), 0x401);
  EXPECT_EQ(query("/", &p, admin), 0x401);
  EXPECT_EQ(post("getPermissions", "", admin), 0x10);
  EXPECT_EQ(query("/*", &p, admin), 0);
  EXPECT_EQ(p, (names{{"ORVANE", "7"}}));
}

TEST_F(PermissionsOverHttpsTest, SubjectsTokensAndAdministratorsMembership) {
  ASSERT_EQ(post("userInsert", "<u uname=\"plain\"><p>Passw0rd</p></u>", admin), 0);
  const std::string plain_id = inserted_id();
  const std::string plain = server.token("plain", "Passw0rd");
  ASSERT_FALSE(plain.empty());

  // A plain user has no entry anywhere and may not manage anything.
  names p;
  EXPECT_EQ(query("", &p, plain), 0);
  EXPECT_EQ(p, (names{{"/", "0"}}));
  EXPECT_EQ(post("userInsert", "<u uname=\"x\"><p>Passw0rd</p></u>", plain), 0x102);
  EXPECT_EQ(post("userSearch", "<s/>", plain), 0x102);
  EXPECT_EQ(post("resourceSearch", "<s/>", plain), 0x102);
  EXPECT_EQ(post("getAuditLog", "", plain, " from=\"0\" to=\"1\" api=\"\""), 0x102);
  EXPECT_EQ(query("", &p, plain, " user=\"Administrator\""), 0x102);

  // The Administrator asks about the plain user, by name and by id.
  EXPECT_EQ(query("/ORVANE/OrvaneUsers", &p, admin, " user=\"plain\""), 0);
  EXPECT_EQ(p, (names{{"OrvaneUsers", "0"}}));
  EXPECT_EQ(query("/ORVANE/OrvaneUsers", &p, admin, " user=\"" + plain_id + "\""), 0);
  EXPECT_EQ(p, (names{{"OrvaneUsers", "0"}}));
  EXPECT_EQ(query("", &p, admin, " user=\"ghost\""), 0x108);

  // getUserPermissions needs the token after all; getPermissions is refused by the table.
  EXPECT_EQ(query("", &p, "", "", "getUserPermissions"), 0x101);
  EXPECT_EQ(query("", &p, "", "", "getPermissions"), 0x101);
  EXPECT_EQ(query("", &p, plain, "", "getUserPermissions"), 0);
  EXPECT_EQ(p, (names{{"/", "0"}}));

  // A resource entry for the plain user grants exactly what it says.
  ASSERT_EQ(post("resourceInsert",
                 "<r name=\"Shop\" type=\"1\" parentId=\"0\"><permissions><p id=\"0\" "
                 "memberType=\"0\" memberId=\"" +
                     plain_id + "\" flags=\"3\"/></permissions></r>",
                 admin),
            0);
  EXPECT_EQ(query("/Shop", &p, plain, "", "getUserPermissions"), 0);
  EXPECT_EQ(p, (names{{"Shop", "3"}}));

  // A member of Administrators (whose id the system resources' entries carry) manages users.
  ASSERT_EQ(post("resourceSearch", "<s opt=\"1\">^ORVANE$</s>", admin), 0);
  const std::string admins(doc.root()
                               ->get("resources")
                               ->first_child()
                               ->get("permissions")
                               ->first_child()
                               ->attr_get_value("memberId"));
  ASSERT_EQ(
      post("userInsert",
           "<u uname=\"boss\"><p>Passw0rd</p><memberof><g id=\"" + admins + "\"/></memberof></u>",
           admin),
      0);
  const std::string boss = server.token("boss", "Passw0rd");
  EXPECT_EQ(query("/ORVANE/*", &p, boss), 0);
  EXPECT_EQ(p["OrvaneUsers"], "7");
  EXPECT_EQ(post("userInsert", "<u uname=\"hired\"><p>Passw0rd</p></u>", boss), 0);
  EXPECT_EQ(post("resourceSearch", "<s/>", boss), 0);
}

// A user's rights are its own entry when it has one, else the union of every group's entries
// (AllUsers included), whatever the order of its memberships, and stay so after a restart; a
// lock ends the user's tokens at once.
TEST_F(PermissionsOverHttpsTest, GroupRightsAreAUnionAndLockingEndsTokens) {
  const std::string admins = group_id("Administrators");
  const std::string all_users = group_id("AllUsers");
  ASSERT_EQ(post("groupInsert", "<g name=\"readers\"/>", admin), 0);
  const std::string readers = inserted_id();
  ASSERT_EQ(grant("OrvaneUsers", readers, 1), 0) << doc.root()->get("res")->attr_get_value("msg");
  ASSERT_EQ(grant("OrvaneResources", all_users, 1), 0);
  ASSERT_EQ(post("resourceInsert",
                 "<r name=\"Shop\" type=\"1\" parentId=\"0\"><permissions><p id=\"0\" "
                 "memberType=\"1\" memberId=\"" +
                     readers + "\" flags=\"1\"/><p id=\"0\" memberType=\"1\" memberId=\"" +
                     all_users + "\" flags=\"4\"/></permissions></r>",
                 admin),
            0);
  // Two administrators that are also readers, their memberships listed in both orders.
  const std::string orders[2] = {admins + "\"/><g id=\"" + readers,
                                 readers + "\"/><g id=\"" + admins};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(post("userInsert",
                   "<u uname=\"mixed" + std::to_string(i) + "\"><p>Passw0rd</p><memberof><g id=\"" +
                       orders[i] + "\"/></memberof></u>",
                   admin),
              0);
  }
  ASSERT_EQ(post("userInsert", "<u uname=\"plain\"><p>Passw0rd</p></u>", admin), 0);
  const std::string plain_id = inserted_id();

  auto check = [&](const char* when) {
    names p;
    for (int i = 0; i < 2; ++i) {
      const std::string who = "mixed" + std::to_string(i);
      const std::string tok = server.token(who, "Passw0rd");
      ASSERT_FALSE(tok.empty()) << when;
      EXPECT_EQ(post("userEdit", "<u uname=\"" + who + "\"/>", tok), 0) << who << " " << when;
      EXPECT_EQ(query("/ORVANE/OrvaneUsers", &p, tok, "", "getUserPermissions"), 0);
      EXPECT_EQ(p, (names{{"OrvaneUsers", "7"}})) << who << " " << when;
      EXPECT_EQ(query("/Shop", &p, tok, "", "getUserPermissions"), 0);
      EXPECT_EQ(p, (names{{"Shop", "5"}})) << who << " " << when;  // readers | AllUsers
    }
    // AllUsers' entries reach a user of no group.
    const std::string plain = server.token("plain", "Passw0rd");
    EXPECT_EQ(post("resourceSearch", "<s/>", plain), 0) << when;
    EXPECT_EQ(post("userSearch", "<s/>", plain), 0x102) << when;
    EXPECT_EQ(query("/Shop", &p, plain, "", "getUserPermissions"), 0);
    EXPECT_EQ(p, (names{{"Shop", "4"}})) << when;
  };
  check("before the restart");
  ASSERT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  check("after the restart");

  // The user's own entry decides alone: READ only, though AllUsers adds EXEC.
  ASSERT_EQ(post("resourceSearch", "<s opt=\"1\">^Shop$</s>", admin), 0);
  const std::string shop(doc.root()->get("resources")->first_child()->attr_get_value("id"));
  ASSERT_EQ(post("resourceEdit",
                 "<r id=\"" + shop +
                     "\" name=\"Shop\" type=\"1\" parentId=\"0\"><permissions><p id=\"0\" "
                     "memberType=\"1\" memberId=\"" +
                     all_users + "\" flags=\"4\"/><p id=\"0\" memberType=\"0\" memberId=\"" +
                     plain_id + "\" flags=\"1\"/></permissions></r>",
                 admin),
            0);
  const std::string plain = server.token("plain", "Passw0rd");
  names p;
  EXPECT_EQ(query("/Shop", &p, plain, "", "getUserPermissions"), 0);
  EXPECT_EQ(p, (names{{"Shop", "1"}}));

  // Locking ends the live tokens at once, and the refresh with them; unlocking lets it log in.
  EXPECT_EQ(post("isValidToken", "", plain), 0);
  ASSERT_EQ(post("userEdit", "<u id=\"" + plain_id + "\" flags=\"8\"/>", admin), 0);
  EXPECT_EQ(post("isValidToken", "", plain), 0x101);
  EXPECT_EQ(post("resourceSearch", "<s/>", plain), 0x101);
  EXPECT_EQ(server.token("plain", "Passw0rd"), "");
  ASSERT_EQ(post("userEdit", "<u id=\"" + plain_id + "\" flags=\"0\"/>", admin), 0);
  EXPECT_FALSE(server.token("plain", "Passw0rd").empty());
}

}  // namespace
}  // namespace orvane_test
