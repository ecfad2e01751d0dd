// Attributes through the real orvaned over HTTPS: the commands, the domain settings taking
// effect at once (token lifetime, password policy, request size limit) and a restart.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

// The identifier of the first record of a record file (the net client "localhost").
std::string first_id(const std::string& record_file) {
  std::ifstream in(record_file, std::ios::binary);
  uint8_t b[8] = {};
  in.read(reinterpret_cast<char*>(b), 8);
  uint64_t id = 0;
  for (int i = 7; i >= 0; --i) id = id << 8 | b[i];
  return std::to_string(id);
}

// One "a" element of an answer.
struct listed {
  std::string id;
  std::string name;
  std::string flags;
  std::string value;
};

class AttributesEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { start(); }

  void start() {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }
  void restart() {
    EXPECT_EQ(server.stop(), 0);
    start();
  }

  // A command on the root domain; the Administrator's token unless another is given ("-" for
  // none). The parsed answer stays in doc.
  long command(const std::string& name, const std::string& attrs, const std::string& body,
               const std::string& tok = "") {
    std::string token_attr;
    if (tok != "-") token_attr = " token=\"" + (tok.empty() ? admin : tok) + "\"";
    last = server.post("<orvane><" + name + " domain=\"ORVANE\"" + token_attr + " " + attrs + ">" +
                       body + "</" + name + "></orvane>");
    doc = kt::xmldoc();
    if (!last.ok || doc.parse(last.body) != 0) return -1;
    return orvaned_process::code(last);
  }

  const kt::xmldoc_node* element(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  std::vector<listed> listing() const {
    std::vector<listed> out;
    if (const kt::xmldoc_node* attrs = element("attributes"); attrs != nullptr) {
      for (const auto& a : attrs->children()) {
        out.push_back({std::string(a->attr_get_value("id")), std::string(a->attr_get_value("name")),
                       std::string(a->attr_get_value("flags")), a->value()});
      }
    }
    return out;
  }
  std::string inserted() const {
    const kt::xmldoc_node* n = element("insertedId");
    return n != nullptr ? n->value() : std::string();
  }

  long edit_setting(const std::string& name, const std::string& value) {
    return command("attrEdit", "targettype=\"domain\" target=\"" + domain_id + "\"",
                   "<a name=\"" + name + "\">" + value + "</a>");
  }
  long user_insert(const std::string& name, const std::string& password) {
    return command("userInsert", "", "<u uname=\"" + name + "\"><p>" + password + "</p></u>");
  }
  // The expiry a new token of the Administrator gets.
  long token_expire() {
    last = server.post(
        "<orvane><getToken domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getToken>"
        "</orvane>");
    doc = kt::xmldoc();
    if (doc.parse(last.body) != 0 || element("token") == nullptr) return -1;
    return std::stol(std::string(element("token")->attr_get_value("expire")));
  }

  orvaned_process server;
  std::string admin;
  std::string domain_id;
  http_answer last;
  kt::xmldoc doc;
};

TEST_F(AttributesEndToEnd, CommandsSettingsAndRestart) {
  // The domain's own identifier, from the attribute listing of its settings.
  ASSERT_EQ(
      command("attrSearch", "targettype=\"0\" target=\"ORVANE\"", "<s>^ssoWebPortal$</s>", "-"), 0);
  ASSERT_EQ(listing().size(), 1u);
  domain_id = std::string(element("attributes")->first_child()->attr_get_value("target"));
  ASSERT_FALSE(domain_id.empty());

  // The portal address needs no token.
  ASSERT_EQ(command("getAttributes", "", "<path>/=ssoWebPortal</path>", "-"), 0);
  ASSERT_EQ(listing().size(), 1u);
  EXPECT_EQ(listing()[0].value, "/sso/");

  // Attributes of every type on the domain, a user and the net client "localhost".
  ASSERT_EQ(user_insert("mona", "Passw0rd"), 0);
  const std::string mona = inserted();
  const std::string localhost = first_id(server.current() + "/" + domain_id + "/authorityclients");
  ASSERT_NE(localhost, "0");
  const std::string targets[][2] = {{"0", domain_id}, {"user", mona}, {"netclient", localhost}};
  for (const auto& t : targets) {
    const std::string where = "targettype=\"" + t[0] + "\" target=\"" + t[1] + "\"";
    EXPECT_EQ(command("attrInsert", where, "<a name=\"on\" type=\"1\">1</a>"), 0) << last.body;
    EXPECT_EQ(command("attrInsert", where, "<a name=\"n\" type=\"2\">12</a>"), 0);
    EXPECT_EQ(command("attrInsert", where, "<a name=\"d\" type=\"3\">0.25</a>"), 0);
    EXPECT_EQ(command("attrInsert", where, "<a name=\"s\" type=\"4\">text</a>"), 0);
    EXPECT_EQ(command("attrInsert", where, "<a name=\"b\" type=\"5\">3q2+7w==</a>"), 0);
    EXPECT_EQ(command("attrInsert", where, "<a name=\"b\" type=\"5\">3q2+7w==</a>"), 0x802);
  }
  // A long value goes to its own file, readable by the server only.
  const std::string long_value(200, 'L');
  ASSERT_EQ(command("attrInsert", "targettype=\"3\" target=\"" + mona + "\"",
                    "<a name=\"long\" type=\"4\">" + long_value + "</a>"),
            0);
  const std::string value_file = server.current() + "/" + domain_id + "/attribute_" + inserted();
  struct stat st {};
  ASSERT_EQ(::stat(value_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Settings: refused values, then a lifetime that new tokens get at once.
  EXPECT_EQ(edit_setting("expireTokenSec", "30"), 0x18);
  // Beyond ten years the 32-bit expiry would wrap into the past.
  EXPECT_EQ(edit_setting("expireTokenSec", "3000000000"), 0x18);
  EXPECT_EQ(edit_setting("expireTokenSec", "315360001"), 0x18);
  ASSERT_EQ(edit_setting("expireTokenSec", "315360000"), 0);
  EXPECT_GE(token_expire(), static_cast<long>(time(nullptr)) + 315360000);
  ASSERT_EQ(edit_setting("expireTokenSec", "3600"), 0);
  long now = static_cast<long>(time(nullptr));
  long expire = token_expire();
  EXPECT_GE(expire, now + 3600);
  EXPECT_LE(expire, now + 3602);
  // The password policy applies to the next userInsert.
  ASSERT_EQ(edit_setting("passwordMinLength", "12"), 0);
  EXPECT_EQ(user_insert("ned", "Passw0rd"), 0x504);
  EXPECT_EQ(user_insert("ned", "Passw0rdPassw0rd"), 0);
  // System attributes keep their names; settings can't be removed.
  EXPECT_EQ(command("attrEdit", "targettype=\"0\" target=\"" + domain_id + "\"",
                    "<a name=\"ssoWebPortal\" type=\"2\">1</a>"),
            0x804);
  EXPECT_EQ(command("attrRemove", "targettype=\"0\" target=\"" + domain_id + "\"",
                    "<a name=\"expireTokenSec\"/>"),
            0x803);
  // Only administrators change domain attributes.
  const std::string ned = server.token("ned", "Passw0rdPassw0rd");
  ASSERT_FALSE(ned.empty());
  EXPECT_EQ(command("attrEdit", "targettype=\"0\" target=\"" + domain_id + "\"",
                    "<a name=\"expireTokenSec\">60</a>", ned),
            0x102);

  // The Administrator inherits from Administrators, with variables replaced.
  ASSERT_EQ(command("userSearch", "", "<s>^Administrator$</s>"), 0);
  const kt::xmldoc_node* users = doc.root()->first_child();
  ASSERT_NE(users, nullptr);
  const kt::xmldoc_node* admin_user = users->first_child();
  ASSERT_NE(admin_user, nullptr) << last.body;
  const std::string admin_id(admin_user->attr_get_value("id"));
  const kt::xmldoc_node* memberof = admin_user->get("memberof");
  ASSERT_NE(memberof, nullptr) << last.body;
  const std::string group_id(memberof->first_child()->attr_get_value("id"));
  ASSERT_EQ(command("attrInsert", "targettype=\"group\" target=\"" + group_id + "\"",
                    "<a name=\"mail\" type=\"4\" flags=\"1\">${USERNAME}@${DOMAIN}</a>"),
            0);

  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    ASSERT_EQ(
        command("attrSearch", "targettype=\"3\" target=\"" + admin_id + "\"", "<s>^mail$</s>"), 0);
    std::vector<listed> all = listing();
    ASSERT_EQ(all.size(), 1u) << last.body;
    EXPECT_EQ(all[0].value, "Administrator@ORVANE");
    EXPECT_EQ(all[0].flags, "17");
    for (const auto& t : targets) {
      ASSERT_EQ(command("attrSearch", "targettype=\"" + t[0] + "\" target=\"" + t[1] + "\"",
                        "<s>^(on|n|d|s|b)$</s>"),
                0);
      all = listing();
      ASSERT_EQ(all.size(), 5u) << last.body;
      const std::map<std::string, std::string> expected = {
          {"on", "1"}, {"n", "12"}, {"d", "0.25"}, {"s", "text"}, {"b", "3q2+7w=="}};
      for (const listed& a : all) EXPECT_EQ(a.value, expected.at(a.name)) << a.name;
    }
    ASSERT_EQ(command("getAttributes", "", "<path>@mona/=long</path>"), 0);
    ASSERT_EQ(listing().size(), 1u);
    EXPECT_EQ(listing()[0].value, long_value);
    now = static_cast<long>(time(nullptr));
    expire = token_expire();
    EXPECT_GE(expire, now + 3600);
    EXPECT_EQ(user_insert("short" + std::to_string(pass), "Passw0rd"), 0x504);
    if (pass == 0) restart();
  }
}

TEST_F(AttributesEndToEnd, RequestSizeLimitFollowsMaxAttrValueLenMB) {
  ASSERT_EQ(command("attrSearch", "targettype=\"0\" target=\"ORVANE\"",
                    "<s>^maxAttrValueLenMB$</s>", "-"),
            0);
  ASSERT_EQ(listing().size(), 1u);
  EXPECT_EQ(listing()[0].value, "4");
  domain_id = std::string(element("attributes")->first_child()->attr_get_value("target"));

  const std::string big(2 * 1048576, 'x');
  const std::string insert_big = "targettype=\"0\" target=\"" + domain_id + "\"";
  ASSERT_EQ(edit_setting("maxAttrValueLenMB", "0"), 0x18);
  // The largest limit still fits, and ordinary requests go on being answered.
  EXPECT_EQ(edit_setting("maxAttrValueLenMB", "4096"), 0x18);
  ASSERT_EQ(edit_setting("maxAttrValueLenMB", "4095"), 0);
  ASSERT_EQ(command("getAttributes", "", "<path>/=maxAttrValueLenMB</path>"), 0);
  ASSERT_EQ(edit_setting("maxAttrValueLenMB", "1"), 0);
  // The next connection is cut off after 1 MiB and 1,500 bytes.
  EXPECT_EQ(command("attrInsert", insert_big, "<a name=\"big\" type=\"4\">" + big + "</a>"), -1);
  EXPECT_EQ(last.raw, "");
  ASSERT_EQ(edit_setting("maxAttrValueLenMB", "4"), 0);
  ASSERT_EQ(command("attrInsert", insert_big, "<a name=\"big\" type=\"4\">" + big + "</a>"), 0)
      << last.status_line;
  ASSERT_EQ(command("getAttributes", "", "<path>/=big</path>"), 0);
  ASSERT_EQ(listing().size(), 1u);
  EXPECT_EQ(listing()[0].value.size(), big.size());

  // The limit is read again after a restart.
  ASSERT_EQ(edit_setting("maxAttrValueLenMB", "1"), 0);
  restart();
  EXPECT_EQ(command("getAttributes", "", "<path>/=big</path><pad>" + big + "</pad>"), -1);
  EXPECT_EQ(last.raw, "");
  ASSERT_EQ(command("getAttributes", "", "<path>/=big</path>"), 0);
  ASSERT_EQ(listing().size(), 1u);
  EXPECT_EQ(listing()[0].value, big);
}

}  // namespace
}  // namespace orvane_test
