// Many clients at once against the real orvaned: sixteen threads on one domain inserting,
// editing and removing users, groups and resources, searching, authenticating, asking for
// rights, changing memberships, attributes and NSS members, with a WebSocket subscriber counting
// the change notifications; backupRestore racing with readers; and the server-wide readers
// (health, domain search, another domain's settings, monitoring, notifications up the tree)
// while the domain tree and a domain's settings, users, audit log and backups change.
// Afterwards the domains hold exactly what the clients were told, in memory and after a restart.
// `make test-tsan` runs these (CTest label "concurrency") against a ThreadSanitizer build.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/orvaned.h"
#include "support/websocket_client.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

constexpr int kClients = 16;
constexpr int kRounds = 16;  // iterations of each client's mix

// One answer: its code and its parsed document.
struct reply {
  long code = -1;
  std::string body;
  kt::xmldoc doc;
  const kt::xmldoc_node* answer(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  std::string text(const char* name) const {
    const kt::xmldoc_node* n = answer(name);
    return n != nullptr ? n->value() : std::string();
  }
};

// The failures and the notified changes of one client thread, merged by the test thread.
struct client_log {
  std::vector<std::string> errors;
  std::multiset<std::string> changes;  // "objType:changeType:objId"

  void expect(const reply& r, long want, const std::string& what) {
    if (r.code != want) {
      errors.push_back(what + ": code " + std::to_string(r.code) + ", want " +
                       std::to_string(want) + ": " + r.body.substr(0, 300));
    }
  }
  void fail(const std::string& what) { errors.push_back(what); }
};

// "id:name" of every child of an answer element, with its sorted "memberof" group ids or its
// permissions ("member/flags") after a colon; a set, since reloaded tables list in file order.
std::set<std::string> entries(const reply& r, const char* element) {
  std::set<std::string> out;
  const kt::xmldoc_node* list = r.answer(element);
  if (list == nullptr) return out;
  for (const auto& e : list->children()) {
    std::string name(e->attr_get_value("name"));
    if (name.empty()) name = e->attr_get_value("uname");
    std::vector<std::string> links;
    for (const char* child : {"memberof", "permissions"}) {
      if (const kt::xmldoc_node* l = e->get(child); l != nullptr) {
        for (const auto& x : l->children()) {
          links.push_back(std::string(x->attr_get_value(x->name() == "p" ? "memberId" : "id")) +
                          (x->name() == "p" ? "/" + std::string(x->attr_get_value("flags")) : ""));
        }
      }
    }
    std::sort(links.begin(), links.end());
    std::string line = std::string(e->attr_get_value("id")) + ":" + name + ":";
    for (const std::string& l : links) line += l + ",";
    out.insert(line);
  }
  return out;
}

// The names of the entries.
std::set<std::string> names(const std::set<std::string>& listed) {
  std::set<std::string> out;
  for (const std::string& e : listed) {
    const size_t a = e.find(':');
    out.insert(e.substr(a + 1, e.find(':', a + 1) - a - 1));
  }
  return out;
}

class ConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    root_admin = server.token();
    ASSERT_FALSE(root_admin.empty());
  }
  void TearDown() override {
    if (server.running()) {
      EXPECT_EQ(server.stop(), 0) << sanitizer_report();
    }
    EXPECT_EQ(server.log().find("ThreadSanitizer"), std::string::npos) << sanitizer_report();
  }
  std::string sanitizer_report() const {
    const std::string log = server.log();
    const size_t at = log.find("WARNING: ThreadSanitizer");
    return at == std::string::npos ? std::string() : log.substr(at, 6000);
  }

  // Thread-safe: one connection per call.
  reply call(const std::string& command, const std::string& attrs, const std::string& body,
             const std::string& token, const std::string& domain) {
    const std::string token_attr = token.empty() ? "" : " token=\"" + token + "\"";
    const http_answer a =
        server.post("<orvane><" + command + " domain=\"" + domain + "\"" + token_attr + attrs +
                    ">" + body + "</" + command + "></orvane>");
    reply r;
    r.body = a.body;
    if (a.ok && r.doc.parse(a.body) == 0) r.code = orvaned_process::code(a);
    return r;
  }
  // A command that must succeed during the set-up; returns its insertedId.
  std::string must(const std::string& command, const std::string& attrs, const std::string& body,
                   const std::string& token, const std::string& domain) {
    const reply r = call(command, attrs, body, token, domain);
    EXPECT_EQ(r.code, 0) << command << ": " << r.body;
    return r.text("insertedId");
  }
  std::string add_domain(const std::string& name, const std::string& password) {
    const reply r = call("domainSearch", "", "<s opt=\"1\">^ORVANE$</s>", root_admin, "ORVANE");
    const std::string root_id(r.answer("domains")->first_child()->attr_get_value("id"));
    return must("domainInsert", "",
                "<d name=\"" + name + "\" parentId=\"" + root_id + "\"/><p>" + password + "</p>",
                root_admin, "ORVANE");
  }

  orvaned_process server;
  std::string root_admin;
};

// The fixed objects of the busy domain that the clients share.
struct busy_domain {
  std::string admin;
  std::string reader_id;
  std::vector<std::string> groups;      // g0..g3
  std::map<int, std::string> own_user;  // a user for each client that needs one
  std::string profile;
};

TEST_F(ConcurrencyTest, SixteenClientsOnOneDomain) {
  const std::string D = "busy";
  add_domain(D, "Busy0Passw0rd");
  busy_domain b;
  b.admin = server.token("Administrator", "Busy0Passw0rd", D);
  ASSERT_FALSE(b.admin.empty());
  for (int k = 0; k < 4; ++k) {
    b.groups.push_back(
        must("groupInsert", "", "<g name=\"g" + std::to_string(k) + "\"/>", b.admin, D));
  }
  b.reader_id = must("userInsert", "", "<u uname=\"reader\"><p>Passw0rd1</p></u>", b.admin, D);
  must("resourceInsert", "",
       "<r name=\"Shared\" type=\"1\" parentId=\"0\"><permissions><p id=\"0\" memberType=\"0\" "
       "memberId=\"" +
           b.reader_id + "\" flags=\"5\"/></permissions></r>",
       b.admin, D);
  std::string by_group;
  const int group_flags[4] = {1, 2, 4, 6};
  for (int k = 0; k < 4; ++k) {
    by_group += "<p id=\"0\" memberType=\"1\" memberId=\"" + b.groups[k] + "\" flags=\"" +
                std::to_string(group_flags[k]) + "\"/>";
  }
  must("resourceInsert", "",
       "<r name=\"ByGroup\" type=\"1\" parentId=\"0\"><permissions>" + by_group +
           "</permissions></r>",
       b.admin, D);
  b.profile = must("nssProfileInsert", "", "<nssp name=\"unix\" descr=\"shared\"/>", b.admin, D);
  for (int i = 0; i < kClients; ++i) {
    if (i % 8 == 6 || i % 8 == 7) {
      b.own_user[i] =
          must("userInsert", "", "<u uname=\"own" + std::to_string(i) + "\"><p>Passw0rd1</p></u>",
               b.admin, D);
    }
  }
  ASSERT_FALSE(HasFailure());

  // The subscriber: every change notification of the domain, until told to stop.
  websocket_client ws;
  ASSERT_TRUE(ws.open(server.https_port, true));
  ASSERT_EQ(ws.auth(b.admin), 0);
  std::mutex notified_lock;
  std::multiset<std::string> notified;
  std::atomic<bool> stop{false};
  std::thread subscriber([&] {
    while (!stop.load()) {
      std::string payload;
      const ws_read got = ws.read_frame(&payload, 200);
      if (got == ws_read::closed) return;
      if (got != ws_read::frame) continue;
      kt::xmldoc doc;
      const kt::xmldoc_node* c =
          doc.parse(payload) == 0 && doc.root() != nullptr ? doc.root()->get("change") : nullptr;
      if (c == nullptr) continue;
      std::lock_guard lock(notified_lock);
      notified.insert(std::string(c->attr_get_value("objType")) + ":" +
                      std::string(c->attr_get_value("changeType")) + ":" +
                      std::string(c->attr_get_value("objId")));
    }
  });

  // What survives, as the clients were told.
  std::mutex expected_lock;
  std::set<std::string> users{"Administrator", "reader"};
  for (const auto& [i, id] : b.own_user) users.insert("own" + std::to_string(i));
  std::set<std::string> groups{"Administrators", "AllUsers", "g0", "g1", "g2", "g3"};
  std::set<std::string> resources{
      "ORVANE",           "OrvaneUsers", "OrvaneGroups", "OrvaneResources", "OrvaneNSSProfiles",
      "OrvaneNetClients", "Shared",      "ByGroup"};
  std::set<std::string> reader_attrs;
  std::map<std::string, std::set<std::string>> memberships;  // user id -> group ids

  const auto user_client = [&](int i, client_log& log) {
    std::string prev;
    for (int n = 0; n < kRounds; ++n) {
      std::string name = "u" + std::to_string(i) + "_" + std::to_string(n);
      reply r = call("userInsert", "",
                     "<u uname=\"" + name + "\"><p>Passw0rd1</p><memberof><g id=\"" +
                         b.groups[n % 4] + "\"/></memberof></u>",
                     b.admin, D);
      log.expect(r, 0, "userInsert " + name);
      const std::string id = r.text("insertedId");
      if (r.code != 0) continue;
      log.changes.insert("user:insert:" + id);
      if (n % 2 == 0) {
        r = call("userEdit", "",
                 "<u id=\"" + id + "\" uname=\"" + name + "r\"><p>Passw0rd2</p><memberof><g id=\"" +
                     b.groups[(n + 1) % 4] + "\"/></memberof></u>",
                 b.admin, D);
        log.expect(r, 0, "userEdit " + name);
        if (r.code == 0) {
          log.changes.insert("user:edit:" + id);
          name += "r";
        }
      }
      if (n % 3 == 0) {
        r = call("userRemove", "", "<u id=\"" + id + "\"/>", b.admin, D);
        log.expect(r, 0, "userRemove " + name);
        if (r.code == 0) log.changes.insert("user:remove:" + id);
        continue;
      }
      std::lock_guard lock(expected_lock);
      users.insert(name);
    }
  };

  const auto group_client = [&](int i, client_log& log) {
    std::string parent;  // a surviving group of this client
    for (int n = 0; n < kRounds; ++n) {
      std::string name = "grp" + std::to_string(i) + "_" + std::to_string(n);
      reply r = call("groupInsert", "", "<g name=\"" + name + "\"/>", b.admin, D);
      log.expect(r, 0, "groupInsert " + name);
      const std::string id = r.text("insertedId");
      if (r.code != 0) continue;
      log.changes.insert("group:insert:" + id);
      if (n % 2 == 1 && !parent.empty()) {
        r = call("groupEdit", "",
                 "<g id=\"" + id + "\" name=\"" + name + "r\"><memberof><g id=\"" + parent +
                     "\"/></memberof></g>",
                 b.admin, D);
        log.expect(r, 0, "groupEdit " + name);
        if (r.code == 0) {
          log.changes.insert("group:edit:" + id);
          name += "r";
        }
      }
      if (n % 3 == 2) {
        r = call("groupRemove", "", "<g id=\"" + id + "\"/>", b.admin, D);
        log.expect(r, 0, "groupRemove " + name);
        if (r.code == 0) log.changes.insert("group:remove:" + id);
        continue;
      }
      parent = id;
      std::lock_guard lock(expected_lock);
      groups.insert(name);
    }
  };

  const auto resource_client = [&](int i, client_log& log) {
    for (int n = 0; n < kRounds; ++n) {
      const std::string name = "res" + std::to_string(i) + "_" + std::to_string(n);
      reply r = call("resourceInsert", "",
                     "<r name=\"" + name +
                         "\" type=\"1\" parentId=\"0\"><permissions><p id=\"0\" memberType=\"1\" "
                         "memberId=\"" +
                         b.groups[n % 4] + "\" flags=\"" + std::to_string(n % 7 + 1) +
                         "\"/></permissions></r>",
                     b.admin, D);
      log.expect(r, 0, "resourceInsert " + name);
      const std::string id = r.text("insertedId");
      if (r.code != 0) continue;
      log.changes.insert("resource:insert:" + id);
      if (n % 2 == 0) {
        r = call("resourceEdit", "",
                 "<r id=\"" + id + "\" name=\"" + name +
                     "\" type=\"2\" parentId=\"0\"><permissions><p id=\"0\" memberType=\"0\" "
                     "memberId=\"" +
                     b.reader_id + "\" flags=\"3\"/></permissions></r>",
                 b.admin, D);
        log.expect(r, 0, "resourceEdit " + name);
        if (r.code == 0) log.changes.insert("resource:edit:" + id);
      }
      if (n % 3 == 0) {
        r = call("resourceRemove", "", "<r id=\"" + id + "\"/>", b.admin, D);
        log.expect(r, 0, "resourceRemove " + name);
        if (r.code == 0) log.changes.insert("resource:remove:" + id);
        continue;
      }
      std::lock_guard lock(expected_lock);
      resources.insert(name);
    }
  };

  const auto search_client = [&](int, client_log& log) {
    for (int n = 0; n < kRounds; ++n) {
      for (const auto& [command, element] :
           std::vector<std::pair<std::string, const char*>>{{"userSearch", "users"},
                                                            {"groupSearch", "groups"},
                                                            {"resourceSearch", "resources"},
                                                            {"nssProfileSearch", "nssprofiles"},
                                                            {"netClientSearch", "netclients"},
                                                            {"domainSearch", "domains"}}) {
        const reply r = call(command, "", "<s/>", b.admin, D);
        log.expect(r, 0, command);
        if (r.code == 0 && r.answer(element) == nullptr) log.fail(command + ": no " + element);
        if (command == "userSearch") {
          const std::set<std::string> listed = names(entries(r, "users"));
          for (const char* fixed : {"Administrator", "reader", "own6", "own7"}) {
            if (listed.count(fixed) == 0) log.fail(std::string("userSearch lost ") + fixed);
          }
        }
      }
      log.expect(call("attrSearch", " targettype=\"0\" target=\"" + D + "\"", "<s/>", "", D), 0,
                 "attrSearch");
      log.expect(call("getHealth", "", "", b.admin, D), 0, "getHealth");
    }
  };

  const auto auth_client = [&](int, client_log& log) {
    for (int n = 0; n < kRounds; ++n) {
      reply r = call("getToken", "", "<u>reader</u><p>Passw0rd1</p>", "", D);
      log.expect(r, 0, "getToken");
      const std::string t = r.text("token");
      log.expect(call("isValidToken", "", "", t, D), 0, "isValidToken");
      r = call("getTokenInfo", "", "", t, D);
      log.expect(r, 0, "getTokenInfo");
      if (r.code == 0 && r.body.find("uname=\"reader\"") == std::string::npos) {
        log.fail("getTokenInfo: " + r.body);
      }
      log.expect(call("authenticate", "", "<u>reader</u><p>Passw0rd1</p>", "", D), 0,
                 "authenticate");
      log.expect(call("authenticate", "", "<u>reader</u><p>wrong</p>", "", D), 0x104,
                 "authenticate (wrong password)");
      r = call("getIdentity", "", "<u>reader</u><p>Passw0rd1</p>", "", D);
      log.expect(r, 0, "getIdentity");
      const std::string identity = r.text("identity");
      r = call("getToken", "", "<identity>" + identity + "</identity>", "", D);
      log.expect(r, 0, "getToken by identity");
      log.expect(call("releaseToken", "", "", r.text("token"), D), 0, "releaseToken");
      log.expect(call("releaseToken", "", "", t, D), 0, "releaseToken");
      log.expect(call("isValidToken", "", "", t, D), 0x101, "isValidToken after release");
    }
  };

  const auto rights_client = [&](int, client_log& log) {
    const std::string t =
        call("getToken", "", "<u>reader</u><p>Passw0rd1</p>", "", D).text("token");
    for (int n = 0; n < kRounds; ++n) {
      reply r = call("getPermissions", "", "<path>/Shared</path>", t, D);
      log.expect(r, 0, "getPermissions");
      const kt::xmldoc_node* p = r.answer("permissions");
      if (r.code == 0 &&
          (p == nullptr || p->first_child() == nullptr || p->first_child()->value() != "5")) {
        log.fail("getPermissions /Shared: " + r.body);
      }
      r = call("getUserPermissions", " user=\"reader\"", "<path>/ORVANE/*</path>", b.admin, D);
      log.expect(r, 0, "getUserPermissions");
      log.expect(call("getAttributes", "", "<path>@</path>", t, D), 0, "getAttributes @");
      log.expect(call("getAttributes", "", "<path>/=ssoWebPortal</path>", "", D), 0,
                 "getAttributes /=ssoWebPortal");
      log.expect(call("attrSearch", " targettype=\"3\" target=\"" + b.reader_id + "\"", "<s/>",
                      b.admin, D),
                 0, "attrSearch reader");
    }
  };

  // Memberships of the client's own user, each checked at once through the rights it gives.
  const auto membership_client = [&](int i, client_log& log) {
    const std::string& m = b.own_user.at(i);
    const std::vector<std::vector<int>> sets{{0}, {1, 2}, {3}, {}, {2, 0}};
    std::set<std::string> last;
    for (int n = 0; n < kRounds; ++n) {
      const std::vector<int>& set = sets[static_cast<size_t>(n) % sets.size()];
      std::string list;
      last.clear();
      for (int k : set) {
        list += "<g id=\"" + b.groups[k] + "\"/>";
        last.insert(b.groups[k]);
      }
      reply r = call("userEdit", "", "<u id=\"" + m + "\"><memberof>" + list + "</memberof></u>",
                     b.admin, D);
      log.expect(r, 0, "userEdit memberof");
      if (r.code == 0) log.changes.insert("user:edit:" + m);
      // The user's groups' entries together give the rights, whatever their order.
      int flags = 0;
      for (int k : set) flags |= group_flags[k];
      const std::string want = std::to_string(flags);
      r = call("getUserPermissions", " user=\"" + m + "\"", "<path>/ByGroup</path>", b.admin, D);
      log.expect(r, 0, "getUserPermissions");
      const kt::xmldoc_node* p = r.answer("permissions");
      const std::string got =
          p != nullptr && p->first_child() != nullptr ? p->first_child()->value() : "?";
      if (got != want) log.fail("rights of own" + std::to_string(i) + " " + got + ", want " + want);
    }
    std::lock_guard lock(expected_lock);
    memberships[m] = last;
  };

  // Attributes of the shared user "reader" and NSS members of the shared profile.
  const auto attribute_client = [&](int i, client_log& log) {
    const std::string target = " targettype=\"3\" target=\"" + b.reader_id + "\"";
    const std::string& own = b.own_user.at(i);
    for (int n = 0; n < kRounds; ++n) {
      const std::string name = "k" + std::to_string(i) + "_" + std::to_string(n);
      log.expect(
          call("attrInsert", target, "<a name=\"" + name + "\" type=\"4\">v1</a>", b.admin, D), 0,
          "attrInsert " + name);
      log.expect(call("attrEdit", target, "<a name=\"" + name + "\">v2</a>", b.admin, D), 0,
                 "attrEdit " + name);
      if (n % 2 == 1) {
        log.expect(call("attrRemove", target, "<a name=\"" + name + "\"/>", b.admin, D), 0,
                   "attrRemove " + name);
      } else {
        std::lock_guard lock(expected_lock);
        reader_attrs.insert(name);
      }
      const std::string uid = std::to_string(6000 + i * 100 + n);
      log.expect(call("nssProfileUser", " cmd=\"add\" idup=\"" + b.profile + "\"",
                      "<u u=\"" + own + "\" uid=\"" + uid + "\" s=\"/bin/sh\" h=\"/home/x\"/>",
                      b.admin, D),
                 0, "nssProfileUser add");
      reply r = call("pamGetPWName", " profile=\"unix\" uname=\"own" + std::to_string(i) + "\"", "",
                     "", D);
      log.expect(r, 0, "pamGetPWName");
      if (r.code == 0 && r.body.find("uid=\"" + uid + "\"") == std::string::npos) {
        log.fail("pamGetPWName: " + r.body);
      }
      log.expect(call("pamGetPWEntries", " profile=\"unix\"", "", "", D), 0, "pamGetPWEntries");
      log.expect(call("nssProfileUser", " cmd=\"del\" idup=\"" + b.profile + "\"",
                      "<u u=\"" + own + "\"/>", b.admin, D),
                 0, "nssProfileUser del");
    }
  };

  const std::vector<std::function<void(int, client_log&)>> kinds{
      user_client, group_client,  resource_client,   search_client,
      auth_client, rights_client, membership_client, attribute_client};
  std::vector<client_log> logs(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] { kinds[static_cast<size_t>(i) % kinds.size()](i, logs[i]); });
  }
  for (std::thread& t : clients) t.join();
  std::multiset<std::string> changes;
  for (const client_log& log : logs) {
    for (const std::string& e : log.errors) ADD_FAILURE() << e;
    changes.insert(log.changes.begin(), log.changes.end());
  }

  // Every notification arrived once, and no other: notifications go out in order, so once the
  // marker's has come, all earlier ones have.
  const std::string marker =
      "group:insert:" + must("groupInsert", "", "<g name=\"marker\"/>", b.admin, D);
  for (int i = 0; i < 600; ++i) {
    {
      std::lock_guard lock(notified_lock);
      if (notified.count(marker) > 0) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  stop = true;
  subscriber.join();
  ASSERT_EQ(notified.count(marker), 1u);
  notified.erase(marker);
  EXPECT_EQ(notified.size(), changes.size());
  EXPECT_TRUE(notified == changes);
  groups.insert("marker");

  // The domain holds what the clients were told; the record files say the same after a restart.
  const auto state = [&] {
    std::map<std::string, std::set<std::string>> out;
    for (const auto& [command, element] : std::vector<std::pair<std::string, const char*>>{
             {"userSearch", "users"}, {"groupSearch", "groups"}, {"resourceSearch", "resources"}}) {
      const reply r = call(command, "", "<s/>", b.admin, D);
      EXPECT_EQ(r.code, 0) << r.body;
      out[command] = entries(r, element);
    }
    const reply r = call("attrSearch", " targettype=\"3\" target=\"" + b.reader_id + "\"",
                         "<s>^k</s>", b.admin, D);
    EXPECT_EQ(r.code, 0) << r.body;
    out["reader attributes"] = names(entries(r, "attributes"));
    const reply p = call("nssProfileSearch", "", "<s/>", b.admin, D);
    EXPECT_EQ(p.code, 0) << p.body;
    out["profiles"].insert(p.body.substr(p.body.find("<nssprofiles")));
    return out;
  };
  const std::map<std::string, std::set<std::string>> before = state();
  EXPECT_EQ(names(before.at("userSearch")), users);
  EXPECT_EQ(names(before.at("groupSearch")), groups);
  EXPECT_EQ(names(before.at("resourceSearch")), resources);
  EXPECT_EQ(before.at("reader attributes"), reader_attrs);
  for (const auto& [user_id, wanted] : memberships) {
    std::set<std::string> found;
    for (const std::string& e : before.at("userSearch")) {
      if (e.rfind(user_id + ":", 0) != 0) continue;
      const std::string links = e.substr(e.rfind(':') + 1);
      for (size_t at = 0; at < links.size();) {
        const size_t comma = links.find(',', at);
        found.insert(links.substr(at, comma - at));
        at = comma + 1;
      }
    }
    EXPECT_EQ(found, wanted) << "memberships of " << user_id;
  }
  // The profile's members were all taken out again.
  EXPECT_EQ(before.at("profiles").begin()->find("<u "), std::string::npos);

  ws.close();
  ASSERT_EQ(server.stop(), 0) << sanitizer_report();
  ASSERT_TRUE(server.start()) << server.log();
  b.admin = server.token("Administrator", "Busy0Passw0rd", D);
  EXPECT_EQ(state(), before);
}

// backupRestore takes the domain's lock for writing: readers racing with it see the domain
// before or after the restore, never in between, and the other domains are not held up.
TEST_F(ConcurrencyTest, RestoreRacesWithReaders) {
  const std::string D = "vault";
  add_domain(D, "Vault0Passw0rd");
  std::string admin = server.token("Administrator", "Vault0Passw0rd", D);
  ASSERT_FALSE(admin.empty());
  // The readers' administrator token: a restore ends every token of the domain.
  std::mutex shared_lock;
  std::string shared_admin = admin;
  const auto reader_admin = [&] {
    std::lock_guard lock(shared_lock);
    return shared_admin;
  };
  std::set<std::string> kept{"Administrator"};
  std::string first_user;
  for (int k = 0; k < 8; ++k) {
    const std::string id =
        must("userInsert", "", "<u uname=\"keep" + std::to_string(k) + "\"><p>Passw0rd1</p></u>",
             admin, D);
    if (k == 0) first_user = id;
    kept.insert("keep" + std::to_string(k));
  }
  must("resourceInsert", "",
       "<r name=\"Vaulted\" type=\"1\" parentId=\"0\"><permissions><p id=\"0\" memberType=\"0\" "
       "memberId=\"" +
           first_user + "\" flags=\"3\"/></permissions></r>",
       admin, D);
  const std::string backup = must("backupCreate", "", "snapshot", admin, D);
  ASSERT_FALSE(backup.empty());

  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::vector<client_log> logs(6);
  std::vector<std::thread> readers;
  for (int i = 0; i < 6; ++i) {
    readers.emplace_back([&, i] {
      client_log& log = logs[static_cast<size_t>(i)];
      std::string t = server.token("keep0", "Passw0rd1", D);
      while (!stop.load()) {
        reply r;
        switch (i % 3) {
          case 0: {  // the listing never lacks a user of the backup
            r = call("userSearch", "", "<s/>", reader_admin(), D);
            if (r.code == 0x101) break;  // the restore ended the administrator's tokens
            log.expect(r, 0, "userSearch");
            const std::set<std::string> listed = names(entries(r, "users"));
            for (const std::string& k : kept) {
              if (r.code == 0 && listed.count(k) == 0) log.fail("userSearch lacks " + k);
            }
            break;
          }
          case 1:  // a user of the backup always logs in and keeps its rights
            log.expect(call("authenticate", "", "<u>keep3</u><p>Passw0rd1</p>", "", D), 0,
                       "authenticate keep3");
            r = call("getPermissions", "", "<path>/Vaulted</path>", t, D);
            if (r.code == 0x101) {
              t = server.token("keep0", "Passw0rd1", D);
              break;
            }
            log.expect(r, 0, "getPermissions");
            if (r.code == 0 && r.body.find(">3</p>") == std::string::npos) {
              log.fail("getPermissions /Vaulted: " + r.body);
            }
            break;
          default:  // another domain is served meanwhile
            log.expect(call("userSearch", "", "<s/>", root_admin, "ORVANE"), 0, "root userSearch");
            log.expect(call("attrSearch", " targettype=\"0\" target=\"" + D + "\"", "<s/>", "", D),
                       0, "attrSearch of the domain by name");
            break;
        }
        ++reads;
      }
    });
  }

  // Changes after the backup, each taken back by a restore.
  for (int round = 0; round < 6; ++round) {
    const std::string name = "late" + std::to_string(round);
    must("userInsert", "", "<u uname=\"" + name + "\"><p>Passw0rd1</p></u>", admin, D);
    must("groupInsert", "", "<g name=\"" + name + "\"/>", admin, D);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const reply r = call("backupRestore", " id=\"" + backup + "\"", "", admin, D);
    EXPECT_EQ(r.code, 0) << r.body;
    admin = server.token("Administrator", "Vault0Passw0rd", D);  // the restore ended the tokens
    EXPECT_FALSE(admin.empty());
    std::lock_guard lock(shared_lock);
    shared_admin = admin;
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  for (const client_log& log : logs) {
    for (const std::string& e : log.errors) ADD_FAILURE() << e;
  }
  EXPECT_GT(reads.load(), 0);

  const auto users = [&] {
    const reply r = call("userSearch", "", "<s/>", admin, D);
    EXPECT_EQ(r.code, 0) << r.body;
    return entries(r, "users");
  };
  const std::set<std::string> after = users();
  EXPECT_EQ(names(after), kept);
  ASSERT_EQ(server.stop(), 0) << sanitizer_report();
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token("Administrator", "Vault0Passw0rd", D);
  EXPECT_EQ(users(), after);
}

// A monitoring subscriber that drains the copies of the HTTPS exchanges on its own thread.
class monitor_drain {
 public:
  explicit monitor_drain(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    const std::string subscribe = "<m><t debug=\"1\"/></m>";
    ::send(fd_, subscribe.data(), subscribe.size(), MSG_NOSIGNAL);
    thread_ = std::thread([this] {
      char chunk[4096];
      while (!stop_.load()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        bytes_ += static_cast<size_t>(n);
      }
    });
  }
  ~monitor_drain() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  monitor_drain(const monitor_drain&) = delete;
  monitor_drain& operator=(const monitor_drain&) = delete;
  size_t bytes() const { return bytes_.load(); }

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> bytes_{0};
  std::thread thread_;
};

// The readers that span domains (getHealth, domainSearch, attrSearch of a domain by its name,
// the monitoring copies, notifications sent up the tree) while the tree, a domain's settings,
// its users, its audit log and its backups change.
TEST_F(ConcurrencyTest, TreeWideReadersDuringChanges) {
  const std::string left = add_domain("left", "Left0Passw0rd");
  const std::string right = add_domain("right", "Right0Passw0rd");
  ASSERT_FALSE(left.empty() || right.empty());
  const reply root = call("domainSearch", "", "<s opt=\"1\">^ORVANE$</s>", root_admin, "ORVANE");
  const std::string root_id(root.answer("domains")->first_child()->attr_get_value("id"));
  const std::string left_admin = server.token("Administrator", "Left0Passw0rd", "left");
  const std::string right_admin = server.token("Administrator", "Right0Passw0rd", "right");
  ASSERT_FALSE(left_admin.empty() || right_admin.empty());

  monitor_drain monitor(server.monitor_port);
  websocket_client at_root;
  websocket_client at_right;
  ASSERT_TRUE(at_root.open(server.https_port, true));
  ASSERT_TRUE(at_right.open(server.http_port, false));
  ASSERT_EQ(at_root.auth(root_admin), 0);
  ASSERT_EQ(at_right.auth(right_admin), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0};
  const auto drain = [&](websocket_client& ws) {
    while (!stop.load()) {
      std::string payload;
      if (ws.read_frame(&payload, 100) == ws_read::frame) ++frames;
    }
  };
  std::thread root_frames([&] { drain(at_root); });
  std::thread right_frames([&] { drain(at_right); });

  constexpr int kSteps = 12;
  std::vector<client_log> logs(7);
  std::set<std::string> left_users{"Administrator"};
  std::vector<std::thread> threads;
  // The root's administrator reads every domain's counters and names, and resets them.
  threads.emplace_back([&, &log = logs[0]] {
    for (int n = 0; n < kSteps * 2; ++n) {
      log.expect(call("getHealth", n % 4 == 3 ? " reset=\"\"" : "", "", root_admin, "ORVANE"), 0,
                 "getHealth");
      log.expect(call("domainSearch", "", "<s/>", root_admin, "ORVANE"), 0, "domainSearch");
    }
  });
  // The root's administrator renames "right" and moves it between the root and "left".
  threads.emplace_back([&, &log = logs[1]] {
    for (int n = 0; n < kSteps; ++n) {
      const std::string name = n % 2 == 0 ? "right2" : "right";
      const std::string parent = n % 3 == 0 ? left : root_id;
      log.expect(call("domainEdit", "",
                      "<d id=\"" + right + "\" name=\"" + name + "\" parentId=\"" + parent + "\"/>",
                      root_admin, "ORVANE"),
                 0, "domainEdit right");
    }
    log.expect(call("domainEdit", "",
                    "<d id=\"" + right + "\" name=\"right\" parentId=\"" + root_id + "\"/>",
                    root_admin, "ORVANE"),
               0, "domainEdit right back");
  });
  // Anyone reads "left"'s settings by its name, while they change.
  threads.emplace_back([&, &log = logs[2]] {
    for (int n = 0; n < kSteps * 3; ++n) {
      log.expect(call("attrSearch", " targettype=\"0\" target=\"left\"", "<s/>", "", "left"), 0,
                 "attrSearch left");
      log.expect(call("getAttributes", "", "<path>/=expireTokenSec</path>", "", left), 0,
                 "getAttributes left");
    }
  });
  // "left"'s administrator changes its settings.
  threads.emplace_back([&, &log = logs[3]] {
    const std::string target = " targettype=\"0\" target=\"" + left + "\"";
    for (int n = 0; n < kSteps; ++n) {
      log.expect(
          call("attrEdit", target,
               "<a name=\"expireTokenSec\">" + std::to_string(1800 + n) + "</a>", left_admin, left),
          0, "attrEdit expireTokenSec");
      log.expect(call("attrEdit", target,
                      "<a name=\"authenticationApiNcOnly\">" + std::to_string(n % 2) + "</a>",
                      left_admin, left),
                 0, "attrEdit authenticationApiNcOnly");
      log.expect(
          call("attrInsert", target,
               "<a name=\"motd\" type=\"4\">day " + std::to_string(n) + "</a>", left_admin, left),
          0, "attrInsert motd");
      log.expect(call("attrRemove", target, "<a name=\"motd\"/>", left_admin, left), 0,
                 "attrRemove motd");
    }
  });
  // "left"'s users change, its audit log is read and cleared while its writer appends.
  threads.emplace_back([&, &log = logs[4]] {
    for (int n = 0; n < kSteps; ++n) {
      const std::string name = "l" + std::to_string(n);
      const reply r = call("userInsert", "", "<u uname=\"" + name + "\"><p>Passw0rd1</p></u>",
                           left_admin, left);
      log.expect(r, 0, "userInsert " + name);
      if (n % 3 == 0) {
        log.expect(
            call("userRemove", "", "<u id=\"" + r.text("insertedId") + "\"/>", left_admin, left), 0,
            "userRemove " + name);
      } else {
        left_users.insert(name);
      }
      log.expect(
          call("getAuditLog", " from=\"0\" to=\"4294967295\" api=\"\"", "", left_admin, left), 0,
          "getAuditLog");
      if (n % 4 == 3)
        log.expect(call("clearAuditLog", "", "", left_admin, left), 0, "clearAuditLog");
    }
  });
  // "left" is backed up while it changes.
  threads.emplace_back([&, &log = logs[5]] {
    for (int n = 0; n < 3; ++n) {
      log.expect(call("backupCreate", "", "b" + std::to_string(n), left_admin, left), 0,
                 "backupCreate");
      log.expect(call("backupSearch", "", "", left_admin, left), 0, "backupSearch");
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  // Tokens of "right" come and go while it moves.
  threads.emplace_back([&, &log = logs[6]] {
    for (int n = 0; n < kSteps; ++n) {
      const reply r = call("getToken", "", "<u>Administrator</u><p>Right0Passw0rd</p>", "", right);
      log.expect(r, 0, "getToken right");
      log.expect(call("groupInsert", "", "<g name=\"r" + std::to_string(n) + "\"/>",
                      r.text("token"), right),
                 0, "groupInsert right");
      log.expect(call("releaseToken", "", "", r.text("token"), right), 0, "releaseToken right");
    }
  });
  for (std::thread& t : threads) t.join();
  stop = true;
  root_frames.join();
  right_frames.join();
  for (const client_log& log : logs) {
    for (const std::string& e : log.errors) ADD_FAILURE() << e;
  }
  EXPECT_GT(frames.load(), 0);
  EXPECT_GT(monitor.bytes(), 0u);

  const auto tree = [&] {
    const reply r = call("domainSearch", "", "<s/>", root_admin, "ORVANE");
    EXPECT_EQ(r.code, 0) << r.body;
    std::set<std::string> out;
    for (const auto& d : r.answer("domains")->children()) {
      out.insert(std::string(d->attr_get_value("name")) + "<" +
                 std::string(d->attr_get_value("parentId")));
    }
    return out;
  };
  const auto users_of_left = [&](const std::string& token) {
    return names(entries(call("userSearch", "", "<s/>", token, left), "users"));
  };
  const std::set<std::string> before = tree();
  EXPECT_EQ(before, (std::set<std::string>{"ORVANE<0", "left<" + root_id, "right<" + root_id}));
  EXPECT_EQ(users_of_left(left_admin), left_users);
  ASSERT_EQ(server.stop(), 0) << sanitizer_report();
  ASSERT_TRUE(server.start()) << server.log();
  root_admin = server.token();
  EXPECT_EQ(tree(), before);
  EXPECT_EQ(users_of_left(server.token("Administrator", "Left0Passw0rd", "left")), left_users);
}

}  // namespace
}  // namespace orvane_test
