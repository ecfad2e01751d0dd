// Attacks on the real orvaned, as a tenant, an insider of a domain or an anonymous peer would try
// them: reads across tenants, escalation inside a domain, password guessing, exhaustion without
// credentials and leaked secrets. Each is refused now; next to it the domain's own administrator
// still does what is hers to do.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/orvaned.h"
#include "support/websocket_client.h"
#include "utils/base64.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }
  // The server survived every attack and ends cleanly, without a sanitizer's report.
  void TearDown() override {
    if (server.running()) {
      EXPECT_EQ(server.stop(), 0);
    }
    const std::string log = server.log();
    const size_t report = log.find("Sanitizer");
    EXPECT_EQ(report, std::string::npos)
        << log.substr(report == std::string::npos ? 0 : report, 6000);
  }

  // One command; the parsed answer stays in doc. tok "-" sends no token.
  long cmd(const std::string& name, const std::string& body, const std::string& tok,
           const std::string& domain = "ORVANE", const std::string& attrs = "") {
    const std::string token_attr = tok == "-" ? "" : " token=\"" + tok + "\"";
    last = server.post("<orvane><" + name + " domain=\"" + domain + "\"" + token_attr + attrs +
                       ">" + body + "</" + name + "></orvane>");
    doc = kt::xmldoc();
    if (!last.ok || doc.parse(last.body) != 0) return -1;
    return orvaned_process::code(last);
  }
  std::string answer_id() const {
    const std::string* id = doc.root() != nullptr ? doc.root()->get_value("insertedId") : nullptr;
    return id != nullptr ? *id : std::string();
  }
  // Inserts and answers the new identifier ("" when refused).
  std::string insert(const std::string& name, const std::string& body, const std::string& tok,
                     const std::string& domain = "ORVANE") {
    EXPECT_EQ(cmd(name, body, tok, domain), 0) << name << " " << last.body;
    return answer_id();
  }
  std::string add_domain(const std::string& name, const std::string& parent) {
    return insert("domainInsert",
                  "<d name=\"" + name + "\" parentId=\"" + parent + "\"/><p>Tenant0Pw</p>", admin);
  }
  std::string root_id() {
    EXPECT_EQ(cmd("domainSearch", "<s opt=\"1\">^ORVANE$</s>", admin), 0);
    return std::string(doc.root()->get("domains")->first_child()->attr_get_value("id"));
  }
  // A resource's permission list, in the resource commands' form.
  static std::string perms(const std::vector<std::pair<std::string, std::string>>& groups) {
    std::string out = "<permissions>";
    for (const auto& [id, flags] : groups) {
      out += "<p id=\"0\" memberType=\"1\" memberId=\"" + id + "\" flags=\"" + flags + "\"/>";
    }
    return out + "</permissions>";
  }
  std::string sys_resource(const std::string& tok, const std::string& name,
                           const std::string& domain = "ORVANE") {
    EXPECT_EQ(cmd("resourceSearch", "<s opt=\"1\">^" + name + "$</s>", tok, domain), 0);
    return std::string(doc.root()->get("resources")->first_child()->attr_get_value("id"));
  }
  std::string group_id(const std::string& name, const std::string& tok,
                       const std::string& domain = "ORVANE") {
    EXPECT_EQ(cmd("groupSearch", "<s opt=\"1\">^" + name + "$</s>", tok, domain), 0);
    return std::string(doc.root()->get("groups")->first_child()->attr_get_value("id"));
  }
  // The server's "VmHWM" or "VmRSS" in KiB.
  long memory_kb(const char* field) const {
    std::ifstream in("/proc/" + std::to_string(server.pid()) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(field, 0) == 0)
        return std::stol(line.substr(line.find_first_of("0123456789")));
    }
    return -1;
  }
  // Audit entries of the root domain for one command: (code, user, info).
  std::vector<std::vector<std::string>> audit(const std::string& api) {
    EXPECT_EQ(cmd("getAuditLog", "", admin, "ORVANE",
                  " from=\"0\" to=\"4294967295\" api=\"" + api + "\""),
              0);
    std::vector<std::vector<std::string>> out;
    for (const auto& e : doc.root()->get("auditlog")->children()) {
      const std::string* u = e->get_value("u");
      const std::string* i = e->get_value("i");
      out.push_back({std::string(e->attr_get_value("resCode")), u ? *u : "", i ? *i : ""});
    }
    return out;
  }

  orvaned_process server;
  std::string admin;
  http_answer last;
  kt::xmldoc doc;
};

// 1. Attributes answer for the addressed domain only, show its secrets to its own tokens only,
// and change only with WRITE on the system resource of their target's kind.
TEST_F(SecurityTest, AttributesStayInTheirDomainAndNeedRights) {
  const std::string root = root_id();
  const std::string a = add_domain("tenant_a", root);
  const std::string b = add_domain("tenant_b", root);
  const std::string b_admin = server.token("Administrator", "Tenant0Pw", "tenant_b");
  ASSERT_EQ(cmd("attrInsert", "<a name=\"apiSecret\" type=\"4\">s3cr3t-b</a>", b_admin, "tenant_b",
                " targettype=\"0\" target=\"" + b + "\""),
            0);
  // Another domain's attributes, by name or by identifier, with or without a token.
  for (const std::string& target : {std::string("tenant_b"), b}) {
    EXPECT_EQ(
        cmd("attrSearch", "<s/>", "-", "tenant_a", " targettype=\"0\" target=\"" + target + "\""),
        0x102);
    EXPECT_EQ(last.body.find("s3cr3t"), std::string::npos);
  }
  // Without a token a domain shows its system settings only; its own tokens see the rest.
  EXPECT_EQ(cmd("attrSearch", "<s/>", "-", "tenant_b", " targettype=\"0\" target=\"tenant_b\""), 0);
  EXPECT_NE(last.body.find("ssoWebPortal"), std::string::npos);
  EXPECT_EQ(last.body.find("s3cr3t"), std::string::npos);
  for (const char* path : {"", "/", "/=apiSecret"}) {
    EXPECT_EQ(cmd("getAttributes", std::string("<path>") + path + "</path>", "-", "tenant_b"), 0);
    EXPECT_EQ(last.body.find("s3cr3t"), std::string::npos) << path;
  }
  EXPECT_EQ(cmd("getAttributes", "<path>/=apiSecret</path>", b_admin, "tenant_b"), 0);
  EXPECT_NE(last.body.find("s3cr3t-b"), std::string::npos);

  // A plain user of A sets attributes on no user (itself included) and on no resource; a user
  // granted WRITE on one resource sets attributes on that one only.
  const std::string a_admin = server.token("Administrator", "Tenant0Pw", "tenant_a");
  const std::string plain =
      insert("userInsert", "<u uname=\"plain\"><p>Plain0Pw</p></u>", a_admin, "tenant_a");
  const std::string plain_token = server.token("plain", "Plain0Pw", "tenant_a");
  EXPECT_EQ(cmd("userSearch", "<s opt=\"1\">^Administrator$</s>", a_admin, "tenant_a"), 0);
  const std::string a_administrator(doc.root()->get("users")->first_child()->attr_get_value("id"));
  const std::string role = "<a name=\"role\" type=\"4\">superadmin</a>";
  for (const std::string& target : {plain, a_administrator}) {
    EXPECT_EQ(cmd("attrInsert", role, plain_token, "tenant_a",
                  " targettype=\"3\" target=\"" + target + "\""),
              0x102);
  }
  const std::string mine = insert(
      "resourceInsert",
      "<r name=\"shelf\" type=\"0\" parentId=\"0\"><permissions><p id=\"0\" memberType=\"0\" "
      "memberId=\"" +
          plain + "\" flags=\"3\"/></permissions></r>",
      a_admin, "tenant_a");
  const std::string other = insert(
      "resourceInsert", "<r name=\"vault\" type=\"0\" parentId=\"0\"/>", a_admin, "tenant_a");
  EXPECT_EQ(
      cmd("attrInsert", role, plain_token, "tenant_a", " targettype=\"1\" target=\"" + mine + "\""),
      0);
  EXPECT_EQ(cmd("attrInsert", role, plain_token, "tenant_a",
                " targettype=\"1\" target=\"" + other + "\""),
            0x102);
  EXPECT_EQ(cmd("attrInsert", role, plain_token, "tenant_a", " targettype=\"1\" target=\"12345\""),
            0x102);
  // The domain's own administrator still does it.
  EXPECT_EQ(
      cmd("attrInsert", role, a_admin, "tenant_a", " targettype=\"3\" target=\"" + plain + "\""),
      0);
  EXPECT_EQ(cmd("attrRemove", "<a name=\"role\"/>", plain_token, "tenant_a",
                " targettype=\"3\" target=\"" + plain + "\""),
            0x102);
}

// 2. A tenant's administrator lists its own domain and those below it, not the other tenants.
TEST_F(SecurityTest, DomainSearchShowsTheCallersSubtreeOnly) {
  const std::string root = root_id();
  const std::string a = add_domain("tenant_a", root);
  add_domain("tenant_a1", a);
  add_domain("tenant_b", root);
  const auto names = [&](const std::string& tok, const std::string& domain) {
    EXPECT_EQ(cmd("domainSearch", "<s/>", tok, domain), 0);
    std::vector<std::string> out;
    for (const auto& d : doc.root()->get("domains")->children()) {
      out.emplace_back(d->attr_get_value("name"));
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  const std::string a_admin = server.token("Administrator", "Tenant0Pw", "tenant_a");
  EXPECT_EQ(names(a_admin, "tenant_a"), (std::vector<std::string>{"tenant_a", "tenant_a1"}));
  EXPECT_EQ(names(admin, "ORVANE"),
            (std::vector<std::string>{"ORVANE", "tenant_a", "tenant_a1", "tenant_b"}));
}

// 3. Change notifications need READ on the kind's system resource (or managing the domain along
// the tree), and a channel ends with its token: released, its user or its domain removed.
TEST_F(SecurityTest, NotificationsNeedRightsAndEndWithTheirToken) {
  const std::string root = root_id();
  const std::string a = add_domain("tenant_a", root);
  const std::string a_admin = server.token("Administrator", "Tenant0Pw", "tenant_a");
  insert("userInsert", "<u uname=\"viewer\"><p>Viewer0Pw</p></u>", a_admin, "tenant_a");
  const std::string viewer = server.token("viewer", "Viewer0Pw", "tenant_a");
  websocket_client at_viewer, at_admin, at_root;
  ASSERT_TRUE(at_viewer.open(server.https_port, true) && at_admin.open(server.http_port, false) &&
              at_root.open(server.https_port, true));
  ASSERT_EQ(at_viewer.auth(viewer), 0);
  ASSERT_EQ(at_admin.auth(a_admin), 0);
  ASSERT_EQ(at_root.auth(admin), 0);
  insert("userInsert", "<u uname=\"newcomer\"><p>Newcomer0Pw</p></u>", a_admin, "tenant_a");
  std::string frame;
  EXPECT_EQ(at_admin.read_frame(&frame, 5000), ws_read::frame);
  EXPECT_NE(frame.find("objType=\"user\""), std::string::npos);
  EXPECT_EQ(at_root.read_frame(&frame, 5000), ws_read::frame);  // manages A along the tree
  EXPECT_EQ(at_viewer.read_frame(&frame, 1000), ws_read::timeout);

  // Released: the channel closes. A user removed, a domain removed: theirs too.
  ASSERT_EQ(cmd("releaseToken", "", viewer, "tenant_a"), 0);
  EXPECT_EQ(at_viewer.read_frame(&frame, 5000), ws_read::closed);
  websocket_client at_newcomer, at_a1;
  ASSERT_TRUE(at_newcomer.open(server.https_port, true) && at_a1.open(server.https_port, true));
  ASSERT_EQ(at_newcomer.auth(server.token("newcomer", "Newcomer0Pw", "tenant_a")), 0);
  ASSERT_EQ(cmd("userRemove", "<u uname=\"newcomer\"/>", a_admin, "tenant_a"), 0);
  EXPECT_EQ(at_newcomer.read_frame(&frame, 5000), ws_read::closed);
  const std::string a1 = add_domain("tenant_a1", a);
  ASSERT_EQ(at_a1.auth(server.token("Administrator", "Tenant0Pw", "tenant_a1")), 0);
  ASSERT_EQ(cmd("domainRemove", "<d id=\"" + a1 + "\"/>", admin), 0);
  EXPECT_EQ(at_a1.read_frame(&frame, 5000), ws_read::closed);
  // The administrator's channel is still served.
  while (at_admin.read_frame(&frame, 500) == ws_read::frame) {
  }
  EXPECT_EQ(at_admin.auth(a_admin), 0);
}

// 4. A right on one system resource is not every right: only an administrator changes who
// administers the domain.
TEST_F(SecurityTest, NoEscalationInsideADomain) {
  const std::string admins = group_id("Administrators", admin);
  const std::string helpers = insert("groupInsert", "<g name=\"Helpers\"/>", admin);
  const std::string ops = insert(
      "groupInsert", "<g name=\"Ops\"><memberof><g id=\"" + admins + "\"/></memberof></g>", admin);
  for (const char* res : {"OrvaneUsers", "OrvaneGroups", "OrvaneResources"}) {
    const std::string id = sys_resource(admin, res);
    ASSERT_EQ(cmd("resourceEdit",
                  "<r id=\"" + id + "\" name=\"" + res + "\" type=\"0\" parentId=\"" +
                      sys_resource(admin, "ORVANE") + "\">" +
                      perms({{admins, "7"}, {helpers, "7"}}) + "</r>",
                  admin),
              0)
        << last.body;
  }
  const std::string mallory = insert(
      "userInsert",
      "<u uname=\"mallory\"><p>Mallory0Pw</p><memberof><g id=\"" + helpers + "\"/></memberof></u>",
      admin);
  const std::string second =
      insert("userInsert",
             "<u uname=\"second\"><p>Second0Pw</p><memberof><g id=\"" + ops + "\"/></memberof></u>",
             admin);
  const std::string m = server.token("mallory", "Mallory0Pw");
  const std::string orvane = sys_resource(admin, "ORVANE");
  const auto with = [](const std::vector<std::string>& ids) {
    std::string out = "<memberof>";
    for (const std::string& id : ids) out += "<g id=\"" + id + "\"/>";
    return out + "</memberof>";
  };
  const std::vector<std::pair<std::string, std::string>> attacks = {
      {"userEdit", "<u id=\"" + mallory + "\">" + with({helpers, admins}) + "</u>"},
      {"userEdit", "<u id=\"" + mallory + "\">" + with({helpers, ops}) + "</u>"},
      {"userEdit", "<u id=\"" + second + "\">" + with({}) + "</u>"},
      {"userEdit", "<u id=\"" + second + "\" flags=\"8\">" + with({ops}) + "</u>"},
      {"userEdit", "<u uname=\"Administrator\"><p>Stolen0Pw</p>" + with({admins}) + "</u>"},
      {"userEdit", "<u id=\"" + second + "\" uname=\"second2\">" + with({ops}) + "</u>"},
      {"userInsert", "<u uname=\"sleeper\"><p>Sleeper0Pw</p>" + with({ops}) + "</u>"},
      {"userChangePwd", "<u uname=\"Administrator\"><p>Stolen0Pw</p></u>"},
      {"userRemove", "<u id=\"" + second + "\"/>"},
      {"groupInsert", "<g name=\"Trojan\">" + with({admins}) + "</g>"},
      {"groupEdit", "<g id=\"" + helpers + "\">" + with({ops}) + "</g>"},
      {"groupEdit", "<g id=\"" + ops + "\">" + with({}) + "</g>"},
      {"groupRemove", "<g id=\"" + ops + "\"/>"},
      {"resourceEdit", "<r id=\"" + orvane + "\" name=\"ORVANE\" type=\"0\" parentId=\"0\">" +
                           perms({{admins, "7"}, {helpers, "7"}}) + "</r>"},
  };
  for (const auto& [command, body] : attacks) {
    EXPECT_EQ(cmd(command, body, m), 0x102) << command << " " << body << " " << last.body;
  }
  // Nothing changed: the Administrator's password, the members, the ORVANE permissions.
  EXPECT_FALSE(server.token("Administrator", "tolbrine").empty());
  EXPECT_FALSE(server.token("second", "Second0Pw").empty());
  EXPECT_EQ(cmd("getPermissions", "<path></path>", m), 0);
  EXPECT_NE(last.body.find(">0</p>"), std::string::npos) << last.body;
  // What the helper's rights are for still works; the administrator does the rest.
  EXPECT_FALSE(insert("userInsert", "<u uname=\"intern\"><p>Intern0Pw</p></u>", m).empty());
  EXPECT_EQ(cmd("userEdit", "<u uname=\"intern\"><p>Intern1Pw</p></u>", m), 0);
  for (const auto& [command, body] : attacks) {
    if (command == "userChangePwd" || command == "userRemove" || command == "groupRemove") continue;
    EXPECT_EQ(cmd(command, body, admin), 0) << command << " " << body << " " << last.body;
  }
}

// 5. Password guessing is throttled, per user and per address, without telling the throttled
// answer from a wrong password, and audited once per back-off period.
TEST_F(SecurityTest, PasswordGuessingIsThrottled) {
  insert("userInsert", "<u uname=\"victim\"><p>Victim0Pw</p></u>", admin);
  std::string guesses = "<orvane>";
  for (int n = 0; n < 30000; ++n) {
    guesses +=
        "<getToken domain=\"ORVANE\"><u>victim</u><p>guess" + std::to_string(n) + "</p></getToken>";
  }
  last = server.post(guesses + "</orvane>");
  EXPECT_EQ(orvaned_process::code(last), 0x104);
  // Backed off: the right password gets the wrong password's answer.
  EXPECT_EQ(cmd("getToken", "<u>victim</u><p>Victim0Pw</p>", "-"), 0x104);
  std::this_thread::sleep_for(milliseconds(2200));
  EXPECT_EQ(cmd("getToken", "<u>victim</u><p>Victim0Pw</p>", "-"), 0);  // and it starts again

  // Checked failures are audited one by one; the refused ones once, when their period is over.
  uint64_t checked = 0;
  uint64_t refused = 0;
  for (int wait = 0; wait < 80 && refused == 0; ++wait) {
    std::this_thread::sleep_for(milliseconds(100));
    checked = refused = 0;
    for (const auto& e : audit("getToken")) {
      if (e[1] != "victim" || e[0] != "260") continue;
      if (e[2].find("attempts refused") == std::string::npos) {
        ++checked;
      } else {
        refused += std::stoull(e[2]);
      }
    }
  }
  EXPECT_GE(checked, 5u);
  EXPECT_LE(checked, 20u);
  EXPECT_EQ(checked + refused, 30001u);

  // The old password of userChangePwd is a password check too.
  for (int n = 0; n < 5; ++n) {
    EXPECT_EQ(cmd("userChangePwd", "<u uname=\"victim\"><o>Wrong0Pw</o><p>Victim1Pw</p></u>", "-"),
              0x201);
  }
  EXPECT_EQ(cmd("userChangePwd", "<u uname=\"victim\"><o>Victim0Pw</o><p>Victim1Pw</p></u>", "-"),
            0x201);

  // One address failing for many names is backed off as a whole, the Administrator included.
  std::string spray = "<orvane>";
  for (int n = 0; n < 101; ++n) {
    spray += "<authenticate domain=\"ORVANE\"><u>name" + std::to_string(n) +
             "</u><p>x</p></authenticate>";
  }
  server.post(spray + "</orvane>");
  EXPECT_EQ(cmd("authenticate", "<u>Administrator</u><p>tolbrine</p>", "-"), 0x104);
}

// 6. An upgraded channel that binds no token is closed after 30 s, so that idle channels can't
// hold every connection slot.
TEST_F(SecurityTest, UnboundChannelsAreClosed) {
  server.stop();
  server.extra_env.push_back("ORVANE_MAX_CONNECTIONS=4");
  server.extra_env.push_back("ORVANE_MAX_CHANNELS=4");
  ASSERT_TRUE(server.start()) << server.log();
  std::vector<std::unique_ptr<websocket_client>> idle;
  const auto t0 = steady_clock::now();
  for (int n = 0; n < 4; ++n) {
    idle.push_back(std::make_unique<websocket_client>());
    ASSERT_TRUE(idle.back()->open(server.http_port, false));
  }
  // Channels have a cap of their own: a fifth is refused, and requests are served meanwhile.
  const std::string upgrade =
      "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  EXPECT_EQ(tcp_exchange(server.http_port, upgrade, 10000).rfind("HTTP/1.0 503", 0), 0u);
  for (int n = 0; n < 6; ++n) {
    const std::string answer =
        tcp_exchange(server.http_port, "GET /getXmlVersion HTTP/1.0\r\n\r\n", 10000);
    EXPECT_NE(answer.find("<server version="), std::string::npos);
  }
  // Unbound, they are closed after the bind timeout, and their slots are free again.
  std::string frame;
  for (auto& ws : idle) EXPECT_EQ(ws->read_frame(&frame, 45000), ws_read::closed);
  const auto waited = std::chrono::duration_cast<milliseconds>(steady_clock::now() - t0);
  EXPECT_GE(waited.count(), 25000);
  EXPECT_EQ(tcp_exchange(server.http_port, upgrade, 2000).rfind("HTTP/1.1 101", 0), 0u);
}

// 7. Search patterns have a size and a cost budget.
TEST_F(SecurityTest, SearchPatternsHaveABudget) {
  const long before = memory_kb("VmRSS:");
  for (const std::string& pattern :
       {std::string("((a{1,100}){1,100}){1,100}"), std::string("(a{1,1000}){1,2}"),
        std::string(1025, 'a'), std::string("(a*)*\\1")}) {
    EXPECT_EQ(cmd("userSearch", "<s>" + pattern + "</s>", admin), 0x12) << pattern;
    EXPECT_EQ(cmd("attrSearch", "<s>" + pattern + "</s>", "-", "ORVANE",
                  " targettype=\"0\" target=\"ORVANE\""),
              0x12);
  }
  EXPECT_LT(memory_kb("VmRSS:") - before, 64 * 1024);
  EXPECT_EQ(cmd("userSearch", "<s>^(adm|root){1,3}in</s>", admin), 0);
  EXPECT_NE(last.body.find("Administrator"), std::string::npos);
}

// 8. Parsing requests takes a bounded share of memory: 16 requests of a million empty elements
// at once neither take gigabytes nor stop the server.
TEST_F(SecurityTest, RequestMemoryIsBounded) {
  std::string flood = "<orvane>";
  for (int n = 0; n < 1000000; ++n) flood += "<a/>";
  flood += "</orvane>";
  const long before = memory_kb("VmHWM:");
  std::vector<std::thread> clients;
  for (int n = 0; n < 16; ++n) clients.emplace_back([&] { server.post(flood); });
  for (std::thread& t : clients) t.join();
  const long grown_mb = (memory_kb("VmHWM:") - before) / 1024;
  std::printf("[ security ] peak memory grew by %ld MB for 16 x 4 MB requests\n", grown_mb);
  if (!kSanitized) {
    EXPECT_LT(grown_mb, 600);
  }
  EXPECT_EQ(cmd("isValidToken", "", admin), 0);
}

// 9. A user holds at most 64 tokens: the oldest ends.
TEST_F(SecurityTest, TokensPerUserAreCapped) {
  std::string many = "<orvane>";
  for (int n = 0; n < 70; ++n) {
    many += "<getIdentity domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getIdentity>";
  }
  last = server.post(many + "</orvane>");
  doc = kt::xmldoc();
  ASSERT_EQ(doc.parse(last.body), 0);
  std::vector<std::string> keys;
  for (const auto& e : doc.root()->children()) {
    if (e->name() == "token") keys.push_back(e->value());
  }
  ASSERT_EQ(keys.size(), 70u);
  EXPECT_EQ(cmd("isValidToken", "", admin), 0x101);  // the fixture's token was the oldest
  for (size_t n = 0; n < keys.size(); ++n) {
    EXPECT_EQ(cmd("isValidToken", "", keys[n]), n < 6 ? 0x101 : 0) << n;
  }
}

// 10-12. Secrets: web roots end at a path boundary, attribute files are the owner's alone (also
// those an older version left readable), and token keys stay out of the log.
TEST_F(SecurityTest, SecretsStayPrivate) {
  fs::create_directories(server.root() + "/webmgmt");
  std::ofstream(server.root() + "/webmgmt/index.html") << "console";
  fs::create_directories(server.root() + "/webmgmt_private");
  std::ofstream(server.root() + "/webmgmt_private/keys.txt") << "private-key-material";
  const http_answer beside = server.get("/mgmt_private/keys.txt", true);
  EXPECT_EQ(beside.body.find("private-key-material"), std::string::npos);
  EXPECT_EQ(beside.status, 302);
  EXPECT_EQ(server.get("/mgmt", true).header("Location"), "/mgmt/");

  const std::string root = root_id();
  const std::string big(300, 'k');
  ASSERT_EQ(cmd("attrInsert", "<a name=\"longSecret\" type=\"4\">" + big + "</a>", admin, "ORVANE",
                " targettype=\"0\" target=\"" + root + "\""),
            0);
  const std::string dir = server.current() + "/" + root;
  const std::string files[] = {dir + "/attributes", dir + "/attribute_" + answer_id()};
  const auto mode = [](const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0u;
  };
  for (const std::string& f : files) EXPECT_EQ(mode(f), 0600u) << f;
  ASSERT_EQ(server.stop(), 0);
  for (const std::string& f : files) ::chmod(f.c_str(), 0644);
  ASSERT_TRUE(server.start());
  for (const std::string& f : files) EXPECT_EQ(mode(f), 0600u) << f;

  const std::string t = server.token();
  ASSERT_EQ(cmd("releaseToken", "", t), 0);
  ASSERT_EQ(server.stop(), 0);  // every token is freed
  EXPECT_NE(server.log().find("token_free id:"), std::string::npos);
  EXPECT_EQ(server.log().find(t), std::string::npos);
  EXPECT_EQ(server.log().find(admin), std::string::npos);
}

// 13. The monitoring mirror carries no password, identity blob or key bundle.
TEST_F(SecurityTest, MonitoringMirrorHidesSecrets) {
  const int fd = loopback_connect(server.monitor_port, 5000, 0);
  ASSERT_GE(fd, 0);
  const std::string subscribe = "<m><t debug=\"1\"/></m>";
  ASSERT_EQ(::send(fd, subscribe.data(), subscribe.size(), 0),
            static_cast<ssize_t>(subscribe.size()));
  std::this_thread::sleep_for(milliseconds(300));
  const std::string login =
      "<orvane><getIdentity domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getIdentity>"
      "<userChangePwd domain=\"ORVANE\"><u uname=\"nobody\"><o>0ldSecret</o><p>N3wSecret</p>"
      "</u></userChangePwd></orvane>";
  const http_answer answer = server.post(login);
  std::string mirrored;
  const auto deadline = steady_clock::now() + std::chrono::seconds(5);
  while (mirrored.find("</ktas>") == std::string::npos && steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char chunk[8192];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    mirrored.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  ASSERT_GT(mirrored.size(), 4u);
  kt::xmldoc k;
  ASSERT_EQ(k.parse(mirrored.substr(4)), 0);
  std::string req, res;
  ASSERT_EQ(kt::base64decode_(*k.root()->get_value("req"), req), 0);
  ASSERT_EQ(kt::base64decode_(*k.root()->get_value("res"), res), 0);
  EXPECT_EQ(req,
            "<orvane><getIdentity domain=\"ORVANE\"><u>Administrator</u><p>********</p>"
            "</getIdentity><userChangePwd domain=\"ORVANE\"><u uname=\"nobody\"><o>********</o>"
            "<p>********</p></u></userChangePwd></orvane>");
  std::string expected = answer.body;
  const size_t blob = expected.find("<identity>") + 10;
  ASSERT_NE(blob, std::string::npos + 10);
  expected.replace(blob, expected.find("</identity>") - blob, "********");
  EXPECT_EQ(res, expected);
}

// 14. No audit text forges a CSV row or a spreadsheet formula, and free texts from requests
// without a token are cut.
TEST_F(SecurityTest, AuditExportCannotBeForged) {
  const std::string forged =
      "=HYPERLINK(\"http://x\"),\"a\"\r\nforged,row," + std::string(600, 'z');
  cmd("getToken", "<u>" + forged + "</u><p>x</p><audit code=\"1\">+cmd|evil," + forged + "</audit>",
      "-");
  ASSERT_EQ(cmd("getAuditLog", "", admin, "ORVANE",
                " from=\"0\" to=\"4294967295\" api=\"getToken\" export=\"1\""),
            0);
  std::string csv;
  ASSERT_EQ(kt::base64decode_(*doc.root()->get("auditlog")->get_value("file"), csv), 0);
  // Split by RFC 4180: every row holds the seven fields.
  std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
  bool quoted = false;
  for (size_t i = 0; i < csv.size(); ++i) {
    const char c = csv[i];
    if (quoted) {
      if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"') {
        rows.back().back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        rows.back().back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().emplace_back();
    } else if (c == '\r' && i + 1 < csv.size() && csv[i + 1] == '\n') {
      ++i;
      if (i + 1 < csv.size()) rows.emplace_back(1);
    } else {
      rows.back().back() += c;
    }
  }
  ASSERT_GE(rows.size(), 3u);  // the header, the fixture's login, the forged one
  for (const auto& r : rows) EXPECT_EQ(r.size(), 7u);
  const std::vector<std::string>& bad = rows.back();
  EXPECT_EQ(bad[3].substr(0, 11), "'=HYPERLINK");
  EXPECT_EQ(bad[3].size(), 255u);  // the quote and the 254 bytes an entry keeps of a name
  EXPECT_EQ(bad[6].substr(0, 5), "'+cmd");
  EXPECT_EQ(bad[6].size(), 257u);
}

// 15. TLS: ECDHE with AEAD suites only for TLS 1.2, in the server's order; TLS 1.3 as well.
TEST_F(SecurityTest, TlsOffersModernSuitesOnly) {
  // The cipher negotiated with a client offering these TLS 1.2 suites, "" when refused.
  const auto negotiate = [&](const char* suites, int version) {
    const int fd = loopback_connect(server.https_port, 5000, 5000);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(ctx, version);
    SSL_CTX_set_max_proto_version(ctx, version);
    if (suites != nullptr) SSL_CTX_set_cipher_list(ctx, suites);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    std::string cipher;
    if (SSL_connect(ssl) == 1) cipher = SSL_get_cipher_name(ssl);
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
    return cipher;
  };
  // The development certificate's key is ECDSA.
  for (const char* weak : {"AES128-SHA", "AES256-GCM-SHA384", "ECDHE-ECDSA-AES128-SHA",
                           "ECDHE-ECDSA-AES256-SHA384", "DHE-RSA-AES128-GCM-SHA256"}) {
    EXPECT_EQ(negotiate(weak, TLS1_2_VERSION), "") << weak;
  }
  EXPECT_EQ(
      negotiate("ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES128-GCM-SHA256", TLS1_2_VERSION),
      "ECDHE-ECDSA-AES128-GCM-SHA256");
  EXPECT_EQ(negotiate(nullptr, TLS1_3_VERSION).rfind("TLS_", 0), 0u);
  EXPECT_EQ(negotiate(nullptr, TLS1_1_VERSION), "");
}

}  // namespace
}  // namespace orvane_test
