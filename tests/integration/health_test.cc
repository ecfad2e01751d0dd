// The diagnostics queries against the real orvaned over HTTPS: getHealth with its scopes and its
// reset, getErrorCodes and getAuditApi.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

class HealthOverHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.log(); }

  // Runs one command; keeps the parsed answer and returns the code.
  long cmd(const std::string& name, const std::string& token, const std::string& attrs = "",
           const std::string& body = "", const std::string& domain = "ORVANE") {
    last = server.post("<orvane><" + name + " domain=\"" + domain + "\" token=\"" + token + "\"" +
                       attrs + ">" + body + "</" + name + "></orvane>");
    doc = kt::xmldoc();
    doc.parse(last.body);
    return orvaned_process::code(last);
  }
  const kt::xmldoc_node* element(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  // name (and "@domain" for net clients) -> r of a health section.
  std::map<std::string, std::string> section(const char* name) const {
    std::map<std::string, std::string> out;
    const kt::xmldoc_node* h = element("health");
    const kt::xmldoc_node* s = h != nullptr ? h->get(name) : nullptr;
    if (s == nullptr) return out;
    for (const auto& c : s->children()) {
      std::string key = c->value();
      if (c->attr_get("d") != nullptr) key += "@" + std::string(c->attr_get_value("d"));
      out[key] = std::string(c->attr_get_value("r"));
    }
    return out;
  }
  std::string requests() const {
    const kt::xmldoc_node* h = element("health");
    const std::string* v = h != nullptr ? h->get_value("requests") : nullptr;
    return v != nullptr ? *v : std::string();
  }

  orvaned_process server;
  http_answer last;
  kt::xmldoc doc;
};

TEST_F(HealthOverHttpsTest, ScopesCountersAndReset) {
  const std::string t = server.token();
  ASSERT_EQ(cmd("domainSearch", t, "", "<s>^ORVANE$</s>"), 0) << last.body;
  const std::string root = std::string(element("domains")->get("d")->attr_get_value("id"));
  ASSERT_EQ(
      cmd("domainInsert", t, "", "<d name=\"Tenant\" parentId=\"" + root + "\"/><p>Tenant123</p>"),
      0)
      << last.body;
  const std::string tenant = server.token("Administrator", "Tenant123", "Tenant");
  ASSERT_FALSE(tenant.empty());

  // The root domain's caller sees every domain and every domain's net clients.
  ASSERT_EQ(cmd("getHealth", t), 0) << last.body;
  std::map<std::string, std::string> domains = section("domains");
  ASSERT_EQ(domains.size(), 2u) << last.body;
  EXPECT_GE(std::stoull(domains["ORVANE"]), 4u);
  EXPECT_EQ(domains["Tenant"], "1");  // its getToken
  EXPECT_EQ(requests(), std::to_string(std::stoull(domains["ORVANE"]) + 1)) << last.body;
  std::map<std::string, std::string> clients = section("netclients");
  EXPECT_EQ(clients.count("localhost@ORVANE"), 1u) << last.body;
  EXPECT_EQ(clients.count("localhost@Tenant"), 1u) << last.body;
  const kt::xmldoc_node* cpu = element("health")->get("cpu");
  ASSERT_NE(cpu, nullptr);
  EXPECT_EQ(cpu->child_count(), 60u);
  EXPECT_NE(cpu->attr_get("cores"), nullptr);

  // A subdomain's caller sees its own domain only, and may not reset.
  ASSERT_EQ(cmd("getHealth", tenant, "", "", "Tenant"), 0) << last.body;
  domains = section("domains");
  ASSERT_EQ(domains.size(), 1u);
  EXPECT_EQ(domains.begin()->first, "Tenant");
  clients = section("netclients");
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients.begin()->first, "localhost@Tenant");
  EXPECT_EQ(cmd("getHealth", tenant, " reset=\"\"", "", "Tenant"), 0x102);

  // Reset from the root domain: zeros everywhere, then counting starts again.
  ASSERT_EQ(cmd("getHealth", t, " reset=\"\""), 0) << last.body;
  for (const auto& [name, r] : section("domains")) EXPECT_EQ(r, "0") << name;
  for (const auto& [name, r] : section("netclients")) EXPECT_EQ(r, "0") << name;
  EXPECT_EQ(requests(), "0");
  ASSERT_EQ(cmd("getHealth", t), 0);
  domains = section("domains");
  EXPECT_EQ(domains["ORVANE"], "1");
  EXPECT_EQ(domains["Tenant"], "0");
  EXPECT_EQ(requests(), "1");
}

TEST_F(HealthOverHttpsTest, ErrorCodesAndAuditApi) {
  const std::string t = server.token();
  ASSERT_EQ(cmd("getErrorCodes", t), 0) << last.body;
  const kt::xmldoc_node* errors = element("errors");
  ASSERT_NE(errors, nullptr);
  EXPECT_GT(errors->child_count(), 50u);
  for (const auto& e : errors->children()) {
    const std::string code(e->attr_get_value("c"));
    ASSERT_EQ(code.size(), 10u) << code;
    EXPECT_EQ(code.compare(0, 2, "0x"), 0);
    EXPECT_EQ(code.find_first_not_of("0123456789abcdef", 2), std::string::npos) << code;
    EXPECT_FALSE(e->value().empty());
  }
  EXPECT_EQ(errors->children()[0]->attr_get_value("c"), "0x00000000");

  ASSERT_EQ(cmd("getAuditApi", t), 0) << last.body;
  const kt::xmldoc_node* api = element("auditapi");
  ASSERT_NE(api, nullptr);
  ASSERT_EQ(api->child_count(), 33u);
  EXPECT_EQ(api->children().front()->value(), "domainInsert");
  EXPECT_EQ(api->children().back()->value(), "clearAuditLog");

  // Both need a token.
  EXPECT_EQ(cmd("getErrorCodes", "nope"), 0x101);
  EXPECT_EQ(cmd("getAuditApi", "nope"), 0x101);
}

}  // namespace
}  // namespace orvane_test
