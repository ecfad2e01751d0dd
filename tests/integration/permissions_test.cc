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

}  // namespace
}  // namespace orvane_test
