// Tenant isolation against the real orvaned. A tree of domains (the root, P under it, C1 and C2
// under P), each with its administrator and one object of every kind. For every command of the
// command table, the administrator of one domain, its token and its net client's certificate
// neither read nor change another domain's objects; the domain commands alone reach along the
// domain tree, and no further than it grants.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "processor.h"
#include "support/orvaned.h"
#include "support/websocket_client.h"
#include "sutils/openssl_ca.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

constexpr long kSkip = -2;  // the case does not exist for the command
constexpr long kTree = -3;  // 0x102 unless the caller's domain is an ancestor (DomainTree test)
constexpr long kForeignIdentity = 4294967290;  // -6: an identity blob of another domain

// What an answer may show of the other domain B.
constexpr int kOpen = 1;          // B answers without a token: domain settings, NSS entries
constexpr int kListsDomains = 2;  // other domains' names and identifiers (a read the tree grants)
constexpr int kOwnLog = 4;        // A's audit log: names A's failed logins tried, domains A created
constexpr int kRootLists = 8;     // the root domain's caller is shown every domain
constexpr int kListsBelow = 16;   // a caller is shown the domains below its own
constexpr int kOwnParent = 32;    // the caller's own domain is shown with its parent's identifier

// One command as the cases below send it. Placeholders in attrs and body: {key} is a value of the
// other domain (B), {own.key} one of the caller's domain (A).
struct row {
  const char* group;
  const char* command;
  const char* attrs;
  const char* body;
  long foreign_token;  // A's administrator token, addressed to B, with B's identifiers
  long foreign_ids;    // A's administrator token in A, with B's identifiers
  int answer = 0;      // kOpen, kListsDomains, kOwnLog, kRootLists
};

// clang-format off
const row kRows[] = {
    // The domain tree.
    {"domains", "domainInsert", "", "<d name=\"intruder\" parentId=\"{did}\"/><p>Intrud3rPw</p>",
     0x101, kTree},
    {"domains", "domainEdit", "", "<d id=\"{did}\" name=\"{dname}x\" parentId=\"{dparent}\"/>",
     0x101, kTree},
    {"domains", "domainRemove", "", "<d id=\"{did}\"/>", 0x101, kTree},
    {"domains", "domainRemove", "", "<d name=\"{dname}\"/>", 0x101, kTree},
    {"domains", "domainSearch", "", "<s/>", 0x101, 0, kListsBelow | kOwnParent},
    // Attributes: of objects of B by identifier, of B itself by identifier and by name.
    {"attributes", "attrInsert", " targettype=\"3\" target=\"{uid}\"",
     "<a name=\"planted\" type=\"4\">x</a>", 0x101, 0x108},
    {"attributes", "attrInsert", " targettype=\"0\" target=\"{did}\"",
     "<a name=\"planted\" type=\"4\">x</a>", 0x101, 0x103},
    {"attributes", "attrInsert", " targettype=\"0\" target=\"{dname}\"",
     "<a name=\"planted\" type=\"4\">x</a>", 0x101, 0x103},
    {"attributes", "attrEdit", " targettype=\"2\" target=\"{gid}\"",
     "<a name=\"desk\" type=\"4\">moved</a>", 0x101, 0x601},
    {"attributes", "attrEdit", " targettype=\"0\" target=\"{did}\"",
     "<a name=\"expireTokenSec\">60</a>", 0x101, 0x103},
    {"attributes", "attrEdit", " targettype=\"0\" target=\"{dname}\"",
     "<a name=\"managementApiNcOnly\">1</a>", 0x101, 0x103},
    {"attributes", "attrRemove", " targettype=\"1\" target=\"{rid}\"", "<a name=\"owner\"/>",
     0x101, 0x401},
    {"attributes", "attrRemove", " targettype=\"4\" target=\"{ncid}\"", "<a id=\"{ncattr}\"/>",
     0x101, 0x107},
    {"attributes", "attrSearch", " targettype=\"3\" target=\"{uid}\"", "<s/>", 0x102, 0x108},
    {"attributes", "attrSearch", " targettype=\"4\" target=\"{ncid}\"", "<s/>", 0x102, 0x107},
    // A domain's settings are public to callers addressed to it, never through another domain.
    {"attributes", "attrSearch", " targettype=\"0\" target=\"{dname}\"", "<s/>", 0, 0x102, kOpen},
    {"attributes", "attrSearch", " targettype=\"0\" target=\"{did}\"", "<s/>", 0, 0x102, kOpen},
    // Users.
    {"users", "userInsert", "",
     "<u uname=\"mallory\"><p>Passw0rd1</p><memberof><g id=\"{gid}\"/></memberof></u>", 0x101,
     0x605},
    {"users", "userEdit", "", "<u id=\"{uid}\" flags=\"8\"/>", 0x101, 0x108},
    {"users", "userEdit", "", "<u id=\"{own.uid}\"><memberof><g id=\"{gid}\"/></memberof></u>",
     0x101, 0x605},
    {"users", "userRemove", "", "<u id=\"{uid}\"/>", 0x101, 0x108},
    {"users", "userChangePwd", "", "<u id=\"{uid}\"><p>N3wPassw0rd</p></u>", 0x203, 0x108},
    {"users", "userChangePwd", "", "<u id=\"{admin_id}\"><p>N3wPassw0rd</p></u>", 0x203, 0x108},
    {"users", "userSearch", "", "<s/>", 0x101, 0},
    // Groups.
    {"groups", "groupInsert", "", "<g name=\"intruders\"><memberof><g id=\"{gid}\"/></memberof></g>",
     0x101, 0x605},
    {"groups", "groupEdit", "", "<g id=\"{gid}\" name=\"taken\"/>", 0x101, 0x601},
    {"groups", "groupEdit", "", "<g id=\"{own.gid}\"><memberof><g id=\"{gid}\"/></memberof></g>",
     0x101, 0x605},
    {"groups", "groupRemove", "", "<g id=\"{gid}\"/>", 0x101, 0x601},
    {"groups", "groupSearch", "", "<s/>", 0x101, 0},
    // Net clients.
    {"netclients", "netClientInsert", "", "<netc name=\"edge9\"><v4>10.9.9.9</v4></netc>", 0x101,
     kSkip},
    {"netclients", "netClientEdit", "", "<netc id=\"{ncid}\" name=\"taken\"/>", 0x101, 0x107},
    {"netclients", "netClientRemove", "", "<netc id=\"{ncid}\"/>", 0x101, 0x107},
    {"netclients", "netClientSearch", "", "<s/>", 0x101, 0},
    {"netclients", "netClientGetPfx", "", "<netc id=\"{ncid}\"/>", 0x101, 0x107},
    // NSS lookups: no token; from 127.0.0.1 without a certificate every domain answers.
    {"nss", "pamGetPWEntries", " profile=\"{pname}\"", "", 0, 0x105, kOpen},
    {"nss", "pamGetGREntries", " profile=\"{pname}\"", "", 0, 0x105, kOpen},
    {"nss", "pamGetPWUID", " profile=\"{pname}\" uid=\"1001\"", "", 0, 0x105, kOpen},
    {"nss", "pamGetPWName", " profile=\"{pname}\" uname=\"{uname}\"", "", 0, 0x105, kOpen},
    {"nss", "pamGetGRGID", " profile=\"{pname}\" gid=\"2001\"", "", 0, 0x105, kOpen},
    {"nss", "pamGetGRName", " profile=\"{pname}\" name=\"{gname}\"", "", 0, 0x105, kOpen},
    // NSS profiles.
    {"nss", "nssProfileInsert", "", "<nssp name=\"sneaky\" descr=\"x\"/>", 0x101, kSkip},
    {"nss", "nssProfileEdit", "", "<nssp id=\"{pid}\" name=\"taken\"/>", 0x101, 0x105},
    {"nss", "nssProfileEdit", "",
     "<nssp id=\"{own.pid}\"><u id=\"{uid}\" uid=\"1500\" shell=\"/bin/sh\" home=\"/h\"/></nssp>",
     0x101, 0x108},
    {"nss", "nssProfileEdit", "", "<nssp id=\"{own.pid}\"><g id=\"{gid}\" gid=\"2500\"/></nssp>",
     0x101, 0x601},
    {"nss", "nssProfileEdit", "", "<nssp id=\"{own.pid}\"><i id=\"{pid}\"/></nssp>", 0x101, 0x105},
    {"nss", "nssProfileRemove", "", "<nssp id=\"{pid}\"/>", 0x101, 0x105},
    {"nss", "nssProfileUser", " cmd=\"del\" idup=\"{pid}\"", "<u u=\"{uid}\"/>", 0x101, 0x105},
    {"nss", "nssProfileUser", " cmd=\"add\" idup=\"{own.pid}\"",
     "<u u=\"{uid}\" uid=\"1600\" s=\"/bin/sh\" h=\"/h\"/>", 0x101, 0x108},
    {"nss", "nssProfileGroup", " cmd=\"del\" idup=\"{pid}\"", "<g g=\"{gid}\"/>", 0x101, 0x105},
    {"nss", "nssProfileGroup", " cmd=\"add\" idup=\"{own.pid}\"", "<g g=\"{gid}\" gid=\"2600\"/>",
     0x101, 0x601},
    {"nss", "nssProfileSearch", "", "<s/>", 0x101, 0},
    // Resources and their permission lists.
    {"resources", "resourceInsert", "", "<r name=\"Hijack\" type=\"1\" parentId=\"{rid}\"/>", 0x101,
     0x402},
    {"resources", "resourceInsert", "",
     "<r name=\"Hijack\" type=\"1\" parentId=\"0\"><permissions>"
     "<p id=\"0\" memberType=\"0\" memberId=\"{uid}\" flags=\"7\"/></permissions></r>",
     0x101, 0x10},
    {"resources", "resourceEdit", "", "<r id=\"{rid}\" name=\"Stolen\" type=\"1\" parentId=\"0\"/>",
     0x101, 0x401},
    {"resources", "resourceEdit", "",
     "<r id=\"{own.rid}\" name=\"{own.rname}\" type=\"3\" parentId=\"0\"><permissions>"
     "<p id=\"0\" memberType=\"1\" memberId=\"{gid}\" flags=\"7\"/></permissions></r>",
     0x101, 0x10},
    {"resources", "resourceRemove", "", "<r id=\"{rid}\"/>", 0x101, 0x401},
    {"resources", "resourceSearch", "", "<s/>", 0x101, 0},
    // Authentication: credentials and identities count in their own domain only.
    {"authentication", "authenticate", "", "<u>Administrator</u><p>{own.apw}</p>", 0x104, kSkip},
    {"authentication", "authenticate", "", "<u>{uname}</u><p>Passw0rd1</p>", kSkip, 0x104},
    {"authentication", "getToken", "", "<u>Administrator</u><p>{own.apw}</p>", 0x104, kSkip},
    {"authentication", "getToken", "", "<u>{uname}</u><p>Passw0rd1</p>", kSkip, 0x104},
    {"authentication", "getIdentity", "", "<identity>{own.identity}</identity>", kForeignIdentity,
     kSkip},
    {"authentication", "getIdentity", "", "<identity>{identity}</identity>", kSkip,
     kForeignIdentity},
    {"authentication", "getTokenInfo", "", "", 0x101, kSkip},
    {"authentication", "isValidToken", "", "", 0x101, kSkip},
    {"authentication", "releaseToken", "", "", 0x101, kSkip},
    // Authorization.
    {"authorization", "getPermissions", " user=\"{uid}\"", "<path>/{rname}</path>", 0x101, 0x108},
    {"authorization", "getPermissions", "", "<path>/{rname}</path>", 0x101, 0x401},
    {"authorization", "getUserPermissions", " user=\"{uname}\"", "<path>/{rname}</path>", 0x101,
     0x108},
    {"authorization", "getAttributes", "", "<path>@{uname}</path>", 0x102, 0x108},
    {"authorization", "getAttributes", "", "<path>#{gname}</path>", 0x102, 0x601},
    {"authorization", "getAttributes", "", "<path>/{rname}/=owner</path>", 0x102, 0x401},
    {"authorization", "getAttributes", "", "<path>/</path>", 0, 0, kOpen},
    // Backups.
    {"backups", "backupCreate", "", "stolen", 0x101, kSkip},
    {"backups", "backupRestore", " id=\"{bid}\"", "", 0x101, 0x16},
    {"backups", "backupDestroy", " id=\"{bid}\"", "", 0x101, 0x16},
    {"backups", "backupSearch", "", "", 0x101, 0},
    // Health, diagnostics and the audit log.
    {"server", "getHealth", "", "", 0x101, 0, kRootLists},
    {"server", "getErrorCodes", "", "", 0x101, kSkip},
    {"server", "getAuditApi", "", "", 0x101, kSkip},
    {"server", "getAuditLog", " from=\"0\" to=\"4294967295\" api=\"\"", "", 0x101, 0,
     kOwnLog | kListsDomains},
    {"server", "clearAuditLog", "", "", 0x101, kSkip},
};
// clang-format on

// One domain of the test world and what it holds.
struct tenant {
  std::string tag;
  std::map<std::string, std::string> v;  // placeholder values
  std::string admin;                     // its Administrator's token
  client_identity cert;                  // a certificate of its net client "localhost"
  std::vector<std::string> ids;          // identifiers of its objects
  std::vector<std::string> names;        // names and values of its objects

  const std::string& operator[](const std::string& key) const { return v.at(key); }
};

class IsolationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    build(&root, "root", nullptr);
    build(&p, "P", &root);
    build(&c1, "C1", &p);
    build(&c2, "C2", &p);
  }

  // Posts one command; keeps the answer. token "-" sends none.
  long post(const std::string& command, const std::string& attrs, const std::string& body,
            const std::string& token, const std::string& domain = "ORVANE",
            const client_identity* identity = nullptr) {
    const std::string token_attr = token == "-" ? "" : " token=\"" + token + "\"";
    last = server.post("<orvane><" + command + " domain=\"" + domain + "\"" + token_attr + attrs +
                           ">" + body + "</" + command + "></orvane>",
                       identity);
    doc = kt::xmldoc();
    if (!last.ok || doc.parse(last.body) != 0) return -1;
    return orvaned_process::code(last);
  }
  const kt::xmldoc_node* answer(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  std::string inserted_id() const {
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? id->value() : std::string();
  }
  std::string first_attr(const char* element, const char* attr) const {
    const kt::xmldoc_node* e = answer(element);
    return e != nullptr && e->first_child() != nullptr
               ? std::string(e->first_child()->attr_get_value(attr))
               : std::string();
  }
  // Runs a command in t's domain as its Administrator; fails the test unless it succeeds.
  std::string in(tenant& t, const std::string& command, const std::string& attrs,
                 const std::string& body) {
    EXPECT_EQ(post(command, attrs, body, t.admin, t["dname"]), 0) << command << ": " << last.body;
    return inserted_id();
  }

  // Creates domain "tenant_<tag>" under parent (by parent's Administrator; the root domain
  // without a parent) and one object of every kind in it, named after the tag.
  void build(tenant* t, const std::string& tag, tenant* parent) {
    t->tag = tag;
    auto& v = t->v;
    if (parent == nullptr) {
      v["dname"] = "ORVANE";
      v["dparent"] = "0";
      v["apw"] = "tolbrine";
      ASSERT_EQ(post("domainSearch", "", "<s opt=\"1\">^ORVANE$</s>", server.token()), 0);
      v["did"] = first_attr("domains", "id");
    } else {
      v["dname"] = "tenant_" + tag;
      v["dparent"] = (*parent)["did"];
      v["apw"] = "Adm1nPw" + tag;
      v["did"] = in(*parent, "domainInsert", "",
                    "<d name=\"" + v["dname"] + "\" parentId=\"" + v["dparent"] + "\"/><p>" +
                        v["apw"] + "</p>");
    }
    ASSERT_FALSE(v["did"].empty());
    ASSERT_EQ(
        post("getIdentity", "", "<u>Administrator</u><p>" + v["apw"] + "</p>", "-", v["dname"]), 0);
    ASSERT_NE(answer("token"), nullptr);
    ASSERT_NE(answer("identity"), nullptr);
    t->admin = answer("token")->value();
    v["identity"] = answer("identity")->value();
    ASSERT_EQ(post("getTokenInfo", "", "", t->admin, v["dname"]), 0);
    v["admin_id"] = std::string(answer("token")->get("user")->attr_get_value("id"));

    v["gname"] = "staff_" + tag;
    v["gid"] = in(*t, "groupInsert", "", "<g name=\"" + v["gname"] + "\"/>");
    v["uname"] = "alice_" + tag;
    v["uid"] = in(*t, "userInsert", "",
                  "<u uname=\"" + v["uname"] + "\"><p>Passw0rd1</p><memberof><g id=\"" + v["gid"] +
                      "\"/></memberof></u>");
    v["rname"] = "App_" + tag;
    v["rid"] = in(*t, "resourceInsert", "",
                  "<r name=\"" + v["rname"] +
                      "\" type=\"3\" parentId=\"0\"><permissions><p id=\"0\" memberType=\"0\" "
                      "memberId=\"" +
                      v["uid"] + "\" flags=\"1\"/></permissions></r>");
    // The domain's own "localhost" net client: a new one would cost a 4096-bit key.
    ASSERT_EQ(post("netClientSearch", "", "<s>^localhost$</s>", t->admin, v["dname"]), 0);
    v["ncid"] = first_attr("netclients", "id");
    ASSERT_FALSE(v["ncid"].empty());
    v["pname"] = "unix_" + tag;
    v["pid"] = in(*t, "nssProfileInsert", "", "<nssp name=\"" + v["pname"] + "\" descr=\"d\"/>");
    in(*t, "nssProfileUser", " cmd=\"add\" idup=\"" + v["pid"] + "\"",
       "<u u=\"" + v["uid"] + "\" uid=\"1001\" s=\"/bin/sh\" h=\"/home/" + tag + "\"/>");
    in(*t, "nssProfileGroup", " cmd=\"add\" idup=\"" + v["pid"] + "\"",
       "<g g=\"" + v["gid"] + "\" gid=\"2001\"/>");
    v["uattr"] = in(*t, "attrInsert", " targettype=\"3\" target=\"" + v["uid"] + "\"",
                    "<a name=\"mail\" type=\"4\">mail-of-" + tag + "</a>");
    v["gattr"] = in(*t, "attrInsert", " targettype=\"2\" target=\"" + v["gid"] + "\"",
                    "<a name=\"desk\" type=\"4\">desk-of-" + tag + "</a>");
    v["rattr"] = in(*t, "attrInsert", " targettype=\"1\" target=\"" + v["rid"] + "\"",
                    "<a name=\"owner\" type=\"4\">owner-of-" + tag + "</a>");
    v["ncattr"] = in(*t, "attrInsert", " targettype=\"4\" target=\"" + v["ncid"] + "\"",
                     "<a name=\"rack\" type=\"4\">rack-of-" + tag + "</a>");
    in(*t, "attrInsert", " targettype=\"0\" target=\"" + v["did"] + "\"",
       "<a name=\"motd\" type=\"4\">public notice</a>");
    v["bid"] = in(*t, "backupCreate", "", "snap_" + tag);

    // A certificate of the server's authority for that net client (2048 bits, made here).
    auto ca = kt::openssl_ca_create(server.current() + "/ca", 2048);
    ASSERT_TRUE(ca != nullptr);
    ASSERT_EQ(ca->new_client(v["dname"], std::stoull(v["ncid"]), std::stoull(v["did"])), 0);
    const std::string stem = ca->directory() + "/" + v["did"] + "_" + v["ncid"];
    t->cert = client_identity{stem + "_public", stem + "_private"};
    t->ids = {v["uid"],   v["gid"],   v["rid"],   v["ncid"],   v["pid"],     v["bid"],
              v["uattr"], v["gattr"], v["rattr"], v["ncattr"], v["admin_id"]};
    t->names = {v["uname"],       v["gname"],       v["rname"],       v["pname"],
                v["apw"],         "mail-of-" + tag, "desk-of-" + tag, "owner-of-" + tag,
                "rack-of-" + tag, "snap_" + tag};
  }

  // A template with {key} taken from b and {own.key} from a.
  static std::string expand(std::string text, const tenant& a, const tenant& b) {
    for (size_t open = text.find('{'); open != std::string::npos; open = text.find('{', open)) {
      const size_t close = text.find('}', open);
      std::string key = text.substr(open + 1, close - open - 1);
      const bool own = key.rfind("own.", 0) == 0;
      const std::string& value = own ? a[key.substr(4)] : b[key];
      text.replace(open, close - open + 1, value);
      open += value.size();
    }
    return text;
  }

  // Every file under current/ but the audit logs (written by failed logins), with its bytes.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(server.current())) {
      const std::string path = e.path().string();
      if (!e.is_regular_file() || path.find("/auditlogs") != std::string::npos) continue;
      std::ifstream in(path, std::ios::binary);
      out[path.substr(server.current().size())] =
          std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return out;
  }

  // b's objects as b's own Administrator reads them.
  std::string state_of(const tenant& b) {
    std::string out;
    const auto read = [&](const std::string& command, const std::string& attrs,
                          const std::string& body, const std::string& token) {
      EXPECT_EQ(post(command, attrs, body, token, b["dname"]), 0) << command << " " << last.body;
      out += command + ": " + last.body + "\n";
    };
    for (const char* search :
         {"userSearch", "groupSearch", "resourceSearch", "netClientSearch", "nssProfileSearch"}) {
      read(search, "", "<s/>", b.admin);
    }
    read("backupSearch", "", "", b.admin);
    for (const auto& [type, target] :
         std::vector<std::pair<std::string, std::string>>{{"0", b["did"]},
                                                          {"1", b["rid"]},
                                                          {"2", b["gid"]},
                                                          {"3", b["uid"]},
                                                          {"4", b["ncid"]}}) {
      read("attrSearch", " targettype=\"" + type + "\" target=\"" + target + "\"", "<s/>", b.admin);
    }
    read("pamGetPWEntries", " profile=\"" + b["pname"] + "\"", "", "-");
    read("pamGetGREntries", " profile=\"" + b["pname"] + "\"", "", "-");
    read("getPermissions", " user=\"" + b["uid"] + "\"", "<path>/" + b["rname"] + "</path>",
         b.admin);
    return out;
  }

  // The three cases of every row for the caller's domain a and the other domain b.
  void check_rows(tenant& a, tenant& b, bool a_is_ancestor) {
    const bool b_is_root = &b == &root;
    const std::string before_state = state_of(b);
    const std::map<std::string, std::string> before_files = files();

    for (const row& r : kRows) {
      SCOPED_TRACE(std::string(r.group) + "/" + r.command + r.attrs + " " + r.body);
      const std::string attrs = expand(r.attrs, a, b);
      const std::string body = expand(r.body, a, b);

      // A's token addressed to B: by B's name with the token as attribute, by B's identifier
      // with the token as a child element.
      if (r.foreign_token != kSkip) {
        EXPECT_EQ(post(r.command, attrs, body, a.admin, b["dname"]), r.foreign_token) << last.body;
        expect_no_leak(r.answer, b, true);
        EXPECT_EQ(post(r.command, attrs, "<token>" + a.admin + "</token>" + body, "-", b["did"]),
                  r.foreign_token)
            << last.body;
        expect_no_leak(r.answer, b, true);
      }
      // A's token in A, with B's identifiers.
      long want = r.foreign_ids;
      if (want == kTree) {
        // Above B the domain commands are granted: the DomainTree test runs them.
        want = a_is_ancestor ? kSkip : 0x102;
        if (want != kSkip && b_is_root && std::string(r.command) == "domainRemove") want = 0x301;
      }
      if (want != kSkip) {
        EXPECT_EQ(post(r.command, attrs, body, a.admin, a["dname"]), want) << last.body;
        const bool sees_all = (r.answer & kRootLists) != 0 && &a == &root;
        const bool sees_below = (r.answer & kListsBelow) != 0 && a_is_ancestor;
        if ((r.answer & kOwnParent) != 0 && a["dparent"] == b["did"]) {
          // A's own entry names its parent: that much of B is A's own.
          const std::string link = "parentId=\"" + b["did"] + "\"";
          for (size_t at; (at = last.body.find(link)) != std::string::npos;)
            last.body.erase(at, link.size());
        }
        expect_no_leak(r.answer | (sees_all || sees_below ? kListsDomains : 0), b, false);
      }
      // A's certificate, B's own token: the connection belongs to A, whatever the token.
      const orvane::processor_function* f =
          orvane::processor_find(r.command, std::char_traits<char>::length(r.command));
      ASSERT_NE(f, nullptr);
      if ((f->flags & orvane::PROCESSOR_DOMAIN) != 0) {
        const std::string own_attrs = expand(r.attrs, b, b);
        const std::string own_body = expand(r.body, b, b);
        EXPECT_EQ(post(r.command, own_attrs, own_body, b.admin, b["dname"], &a.cert), 0x102)
            << last.body;
      }
      EXPECT_TRUE(files() == before_files) << "the record files changed";
    }

    EXPECT_EQ(state_of(b), before_state);
    for (const tenant* t : {&a, &b}) {
      EXPECT_EQ(post("isValidToken", "", "", t->admin, (*t)["dname"]), 0) << t->tag;
    }
    // A's certificate still serves A: the refusals above were about the domain.
    EXPECT_EQ(post("userSearch", "", "<s/>", a.admin, a["dname"], &a.cert), 0);
  }

  // The last answer holds nothing of b but what the row's answer flags allow. addressed_to_b:
  // the command was addressed to b, so b's open answers are b's own.
  void expect_no_leak(int allowed, const tenant& b, bool addressed_to_b) {
    if ((allowed & kOpen) != 0 && addressed_to_b) return;
    for (const std::string& id : b.ids) {
      EXPECT_EQ(last.body.find(id), std::string::npos) << id << " in " << last.body;
    }
    if ((allowed & kOwnLog) == 0) {
      for (const std::string& name : b.names) {
        EXPECT_EQ(last.body.find(name), std::string::npos) << name << " in " << last.body;
      }
    }
    if ((allowed & kListsDomains) == 0) {
      EXPECT_EQ(last.body.find(b["did"]), std::string::npos) << last.body;
      // Every domain has a resource named like the root domain.
      if (&b != &root) {
        EXPECT_EQ(last.body.find(b["dname"]), std::string::npos) << last.body;
      }
    }
  }

  orvaned_process server;
  http_answer last;
  kt::xmldoc doc;
  tenant root;
  tenant p;
  tenant c1;
  tenant c2;
};

TEST(IsolationTable, EveryCommandOfTheTableHasItsRows) {
  std::set<std::string> covered;
  for (const row& r : kRows) covered.insert(r.command);
  for (const orvane::processor_function* f = orvane::processor_functions; f->name != nullptr; ++f) {
    EXPECT_EQ(covered.count(f->name), 1u) << f->name;
  }
}

TEST_F(IsolationTest, SiblingsNeitherReadNorChangeEachOther) {
  check_rows(c1, c2, false);
  check_rows(c2, c1, false);
}

TEST_F(IsolationTest, ChildReachesNothingOfItsParent) {
  check_rows(c1, p, false);
  check_rows(p, root, false);
}

TEST_F(IsolationTest, ParentActsInChildOnlyThroughTheDomainCommands) {
  check_rows(p, c1, true);
  check_rows(root, c2, true);
}

// What the domain tree grants: the administrators of a domain manage the domains below it (and
// their own domain's name), never those above or beside it.
TEST_F(IsolationTest, DomainTreeGrantsGoNoFurther) {
  const auto domain_cmd = [&](const std::string& command, const std::string& body,
                              const tenant& caller) {
    return post(command, "", body, caller.admin, caller["dname"]);
  };
  const auto edit = [&](const tenant& caller, const tenant& target, const std::string& name,
                        const std::string& parent) {
    return domain_cmd(
        "domainEdit",
        "<d id=\"" + target["did"] + "\" name=\"" + name + "\" parentId=\"" + parent + "\"/>",
        caller);
  };
  const auto insert = [&](const tenant& caller, const std::string& name,
                          const std::string& parent) {
    return domain_cmd("domainInsert",
                      "<d name=\"" + name + "\" parentId=\"" + parent + "\"/><p>Sub0Passw0rd</p>",
                      caller);
  };
  const auto remove = [&](const tenant& caller, const std::string& id) {
    return domain_cmd("domainRemove", "<d id=\"" + id + "\"/>", caller);
  };

  // Q: a sibling of P.
  ASSERT_EQ(post("domainInsert", "",
                 "<d name=\"tenant_Q\" parentId=\"" + root["did"] + "\"/><p>QueuePassw0rd1</p>",
                 root.admin),
            0);
  const std::string q = inserted_id();
  const std::map<std::string, std::string> tree_before = files();

  // A child's administrator: its own subtree and its own name only.
  EXPECT_EQ(insert(c1, "below_p", p["did"]), 0x102);
  EXPECT_EQ(insert(c1, "below_c2", c2["did"]), 0x102);
  EXPECT_EQ(insert(c1, "below_root", root["did"]), 0x102);
  EXPECT_EQ(edit(c1, p, "taken_p", root["did"]), 0x102);
  EXPECT_EQ(edit(c1, c2, "taken_c2", p["did"]), 0x102);
  EXPECT_EQ(edit(c1, c1, c1["dname"], c2["did"]), 0x102);  // moving itself under a sibling
  EXPECT_EQ(edit(c1, c1, c1["dname"], root["did"]), 0x102);
  EXPECT_EQ(remove(c1, p["did"]), 0x102);
  EXPECT_EQ(remove(c1, c2["did"]), 0x102);
  EXPECT_EQ(remove(c1, c1["did"]), 0x308);
  EXPECT_EQ(remove(c1, root["did"]), 0x301);
  // The parent's administrator: nothing above or beside P.
  EXPECT_EQ(insert(p, "below_q", q), 0x102);
  EXPECT_EQ(remove(p, q), 0x102);
  EXPECT_EQ(edit(p, root, "ORVANE2", "0"), 0x102);
  EXPECT_EQ(edit(p, c1, c1["dname"], q), 0x102);  // not under a domain P does not manage
  EXPECT_EQ(post("isValidToken", "", "", c1.admin, c1["dname"]), 0);
  const std::map<std::string, std::string> after_refusals = files();
  for (const auto& [path, bytes] : tree_before) {
    const auto found = after_refusals.find(path);
    EXPECT_TRUE(found != after_refusals.end() && found->second == bytes) << path;
  }

  // Granted: P manages C1's subtree; C1 manages below itself and its own name.
  ASSERT_EQ(insert(c1, "grandchild", c1["did"]), 0);
  const std::string grandchild = inserted_id();
  EXPECT_EQ(edit(c1, c1, "tenant_C1_renamed", p["did"]), 0);
  EXPECT_EQ(edit(p, c1, c1["dname"], p["did"]), 0);
  EXPECT_EQ(edit(p, c1, c1["dname"], c2["did"]), 0);     // moved under its sibling by P
  EXPECT_EQ(edit(c2, c1, c1["dname"], c2["did"]), 0);    // now below C2: C2 manages it
  EXPECT_EQ(edit(c1, c2, "taken_c2", p["did"]), 0x102);  // still not upwards
  EXPECT_EQ(edit(p, c1, c1["dname"], p["did"]), 0);
  EXPECT_EQ(remove(c2, c1["did"]), 0x102);  // back beside C2
  EXPECT_EQ(remove(p, c1["did"]), 0x302);
  EXPECT_EQ(remove(p, grandchild), 0);
  // The root's administrator manages every domain.
  EXPECT_EQ(edit(root, c2, c2["dname"], root["did"]), 0);
  EXPECT_EQ(edit(root, c2, c2["dname"], p["did"]), 0);

  // P's token never acts inside C1, although P manages C1.
  EXPECT_EQ(
      post("userInsert", "", "<u uname=\"planted\"><p>Passw0rd1</p></u>", p.admin, c1["dname"]),
      0x101);
  EXPECT_EQ(post("userSearch", "", "<s/>", c1.admin, c1["dname"]), 0);
  EXPECT_EQ(last.body.find("planted"), std::string::npos);

  // A domain's administrator is shown its own domain and those below it; only P's own name is
  // in its health.
  EXPECT_EQ(post("domainSearch", "", "<s/>", c2.admin, c2["dname"]), 0);
  EXPECT_EQ(answer("domains")->child_count(), 1u);
  EXPECT_EQ(post("domainSearch", "", "<s/>", p.admin, p["dname"]), 0);
  EXPECT_EQ(answer("domains")->child_count(), 3u);
  EXPECT_EQ(post("domainSearch", "", "<s/>", root.admin), 0);
  EXPECT_EQ(answer("domains")->child_count(), 5u);
  EXPECT_EQ(post("getHealth", "", "", p.admin, p["dname"]), 0);
  ASSERT_NE(answer("health"), nullptr);
  ASSERT_NE(answer("health")->get("domains"), nullptr);
  EXPECT_EQ(answer("health")->get("domains")->child_count(), 1u);
  EXPECT_EQ(answer("health")->get("domains")->first_child()->value(), p["dname"]);
  EXPECT_EQ(answer("health")->get("netclients")->child_count(), 1u);  // localhost
  // Only the root's administrators clear the counters.
  EXPECT_EQ(post("getHealth", " reset=\"\"", "", p.admin, p["dname"]), 0x102);
  EXPECT_EQ(post("getHealth", "", "", root.admin), 0);
  const kt::xmldoc_node* requests = answer("health")->get("requests");
  ASSERT_NE(requests, nullptr);
  EXPECT_NE(requests->value(), "0");
  EXPECT_EQ(answer("health")->get("domains")->child_count(), 5u);
  EXPECT_EQ(post("getHealth", " reset=\"\"", "", root.admin), 0);
}

// Change notifications reach the clients of the changed domain and of its ancestors only.
TEST_F(IsolationTest, NotificationsReachTheDomainAndItsAncestors) {
  std::map<std::string, websocket_client> ws;
  for (tenant* t : {&root, &p, &c1, &c2}) {
    ASSERT_TRUE(ws[t->tag].open(server.https_port, true));
    ASSERT_EQ(ws[t->tag].auth(t->admin), 0);
  }
  // One change per domain, then a second in each child, so that every client's next frame shows
  // what it received in between.
  std::map<std::string, std::string> ids;
  for (tenant* t : {&c1, &c2, &p, &c1, &c2}) {
    const std::string name = "w" + std::to_string(ids.size()) + "_" + t->tag;
    ids[name] = in(*t, "groupInsert", "", "<g name=\"" + name + "\"/>");
  }
  const auto next = [&](const std::string& tag) {
    std::string payload;
    EXPECT_EQ(ws[tag].read_frame(&payload, 5000), ws_read::frame) << tag;
    const size_t at = payload.find("objId=\"");
    if (at == std::string::npos) return std::string();
    return payload.substr(at + 7, payload.find('"', at + 7) - at - 7);
  };
  const std::vector<std::string> order{"w0_C1", "w1_C2", "w2_P", "w3_C1", "w4_C2"};
  for (const char* tag : {"root", "P"}) {
    for (const std::string& name : order) EXPECT_EQ(next(tag), ids[name]) << tag << " " << name;
  }
  EXPECT_EQ(next("C1"), ids["w0_C1"]);
  EXPECT_EQ(next("C1"), ids["w3_C1"]);
  EXPECT_EQ(next("C2"), ids["w1_C2"]);
  EXPECT_EQ(next("C2"), ids["w4_C2"]);
}

}  // namespace
}  // namespace orvane_test
