// netClientInsert, netClientEdit, netClientRemove, netClientSearch and netClientGetPfx through
// the dispatcher, and the net-client-only settings.
#include "objects/netclients/netclient_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/netclients/netclient.h"
#include "objects/netclients/netclient_records.h"
#include "objects/permissions/permission.h"
#include "support/server_fixture.h"
#include "sutils/openssl_ca.h"
#include "utils/base64.h"
#include "utils/files.h"
#include "utils/ipv4.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

// One "netc" element of a search answer.
struct listed {
  std::string id;
  std::string name;
  std::vector<std::string> addresses;  // "v4:..." / "v6:..." in answer order
};

class NetClientCommandsTest : public orvane_test::server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    admin = admin_token();
    d = domain_named("ORVANE");
    ASSERT_TRUE(d);
  }
  void TearDown() override {
    d.reset();
    server_fixture::TearDown();
  }
  void restart_all() {
    d.reset();
    restart();
    admin = admin_token();
    d = domain_named("ORVANE");
  }

  uint32_t command(const std::string& name, const std::string& body, const std::string& tok = "",
                   const std::string& domain = "ORVANE", const std::string& attrs = "") {
    return run("<orvane><" + name + " domain='" + domain + "' token='" +
               (tok.empty() ? admin : tok) + "'" + attrs + ">" + body + "</" + name + "></orvane>");
  }
  static std::string addresses(const std::vector<std::string>& v4,
                               const std::vector<std::string>& v6 = {}) {
    std::string out;
    for (const auto& a : v4) out += "<v4>" + a + "</v4>";
    for (const auto& a : v6) out += "<v6>" + a + "</v6>";
    return out;
  }
  uint32_t insert(const std::string& name, const std::string& addrs = "", uint64_t* id = nullptr,
                  const std::string& tok = "") {
    const uint32_t rc =
        command("netClientInsert", "<netc name='" + name + "'>" + addrs + "</netc>", tok);
    if (rc == 0 && id != nullptr) *id = std::stoull(answer("insertedId")->value());
    return rc;
  }
  uint32_t edit(uint64_t id, const std::string& attrs, const std::string& addrs = "",
                const std::string& tok = "") {
    return command("netClientEdit",
                   "<netc id='" + std::to_string(id) + "' " + attrs + ">" + addrs + "</netc>", tok);
  }
  uint32_t remove(uint64_t id, const std::string& tok = "") {
    return command("netClientRemove", "<netc id='" + std::to_string(id) + "'/>", tok);
  }
  uint32_t get_pfx(uint64_t id, const std::string& tok = "") {
    return command("netClientGetPfx", "<netc id='" + std::to_string(id) + "'/>", tok);
  }
  std::vector<listed> search(const std::string& s, uint32_t* code = nullptr,
                             const std::string& tok = "") {
    const uint32_t rc = command("netClientSearch", s, tok);
    if (code != nullptr) *code = rc;
    std::vector<listed> out;
    const kt::xmldoc_node* list = answer("netclients");
    if (rc != 0 || list == nullptr) return out;
    for (const auto& n : list->children()) {
      listed l{std::string(n->attr_get_value("id")), std::string(n->attr_get_value("name")), {}};
      for (const auto& a : n->children()) l.addresses.push_back(a->name() + ":" + a->value());
      out.push_back(l);
    }
    return out;
  }
  uint64_t localhost_id() { return d->netclients_by_name.get_rw("localhost")->id; }
  bool indexed(const char* text) {
    kt::ipv4_address a{};
    EXPECT_EQ(kt::ipv4_parse_addr(std::string_view(text), a), 0);
    const uint64_t key = netclient_addr_key(a);
    const auto present = [key](kt::hashtable<uint64_t, kt::ipv4_address>& index) {
      std::shared_lock lock(index.rwlock());
      return index.find_nl(key) != nullptr;
    };
    const bool global = present(g().netclients);
    const bool local = present(d->netclient_index);
    EXPECT_EQ(global, local) << text;
    return global && local;
  }
  std::string records_file() { return path_domain_file(d->id, "authorityclients"); }
  // Replaces the record file by a directory, so that every store operation fails.
  void block_store() {
    ASSERT_EQ(std::rename(records_file().c_str(), (records_file() + ".saved").c_str()), 0);
    ASSERT_EQ(::mkdir(records_file().c_str(), 0755), 0);
  }
  void unblock_store() {
    ASSERT_EQ(::rmdir(records_file().c_str()), 0);
    ASSERT_EQ(std::rename((records_file() + ".saved").c_str(), records_file().c_str()), 0);
  }
  // Gives a user the flags on OrvaneNetClients (Administrators keep theirs).
  void grant(uint64_t user_id, uint32_t flags) {
    const auto perm = [](uint32_t type, uint64_t member, uint32_t f) {
      return "<p id='0' memberType='" + std::to_string(type) + "' memberId='" +
             std::to_string(member) + "' flags='" + std::to_string(f) + "'/>";
    };
    const std::string r = "<r id='" + std::to_string(d->sys_res[SYS_RES_NETCLIENTS]) +
                          "' name='OrvaneNetClients' type='0' parentId='" +
                          std::to_string(d->sys_res[SYS_RES_ORVANE]) + "'><permissions>" +
                          perm(1, d->administrators->id, 7) + perm(0, user_id, flags) +
                          "</permissions></r>";
    ASSERT_EQ(command("resourceEdit", r), 0u) << response_text();
  }

  // "<api> <code> <info>" of every audit entry of a net-client command, in order.
  std::vector<std::string> audits() {
    std::vector<std::string> out;
    if (!d->log) return out;
    auditlog_backup_flush(*d->log, [] { return 0; });
    std::unique_ptr<auditlog> log = auditlog_open(path_auditlog_dir(d->id), true);
    if (!log) return out;
    const time_t now = time(nullptr);
    auditlog_read_begin(*log, now - 86400, now + 86400);
    std::unique_ptr<auditlog_entry> e;
    while (auditlog_read_entry(*log, &e) > 0) {
      if (e->api().rfind("netClient", 0) != 0) continue;
      out.push_back(std::string(e->api()) + " " + std::to_string(e->response_code()) + " " +
                    std::string(e->info()));
    }
    return out;
  }

  std::string admin;
  kt::ref_ptr<domain> d;
};

TEST_F(NetClientCommandsTest, AuditsEveryCommandOnANetClient) {
  uint64_t id = 0;
  ASSERT_EQ(insert("edge", "", &id), 0u);
  const std::string sid = std::to_string(id);
  const std::string lid = std::to_string(localhost_id());
  EXPECT_EQ(insert("edge"), E_NETCLIENT_EXISTS);  // no net client came of it
  EXPECT_EQ(edit(id, "name='edge2'"), 0u);
  EXPECT_EQ(edit(localhost_id(), ""), E_NETCLIENT_READ_ONLY);
  EXPECT_EQ(get_pfx(id), 0u);
  EXPECT_EQ(remove(localhost_id()), E_NETCLIENT_SYSTEM);
  EXPECT_EQ(remove(id), 0u);
  search("<s/>");  // a search is not audited
  const std::vector<std::string> expected{
      "netClientInsert 0 netclient edge (" + sid + ") added / ",
      "netClientEdit 0 netclient edge2 (" + sid + ") edited / ",
      "netClientEdit 2306 netclient localhost (" + lid + ") edited / ",
      "netClientGetPfx 0 netclient edge2 (" + sid + ") getPfx / ",
      "netClientRemove 2305 netclient localhost (" + lid + ") removed / ",
      "netClientRemove 0 netclient edge2 (" + sid + ") removed / ",
  };
  EXPECT_EQ(audits(), expected);
}

TEST_F(NetClientCommandsTest, InsertListsAddressesAndIssuesCertificate) {
  uint64_t id = 0;
  ASSERT_EQ(insert("edge", addresses({"10.1.0.0/16", "192.168.1.7"}, {"fe80::1"}), &id), 0u)
      << response_text();
  kt::ref_ptr<netclient> nc = d->netclients_by_id.get_rw(id);
  ASSERT_TRUE(nc);
  EXPECT_EQ(d->netclients_by_name.get_rw("edge"), nc);
  EXPECT_EQ(nc->flags, 0);
  EXPECT_EQ(nc->dom.get(), d.get());
  EXPECT_TRUE(indexed("10.1.0.0/16"));
  EXPECT_TRUE(indexed("192.168.1.7"));
  EXPECT_TRUE(fs::exists(g().ca->pfx_path(d->id, id)));
  EXPECT_TRUE(fs::exists(g().ca->public_path(d->id, id)));

  // IPv4 first, each list in document order, also after a restart.
  const std::vector<std::string> expected{"v4:10.1.0.0/16", "v4:192.168.1.7", "v6:fe80::1"};
  auto found = search("<s>^EDGE$</s>");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, std::to_string(id));
  EXPECT_EQ(found[0].addresses, expected);
  restart_all();
  found = search("<s>^edge$</s>");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].addresses, expected);
  EXPECT_TRUE(indexed("10.1.0.0/16"));

  EXPECT_EQ(search("<s opt='1'>^EDGE$</s>").size(), 0u);  // bit 1: match case
  EXPECT_EQ(search("<s></s>").size(), 2u);                // with localhost
  uint32_t code = 0;
  search("<s>(</s>", &code);
  EXPECT_EQ(code, E_INVALID_REGEX);
  search("", &code);
  EXPECT_EQ(code, E_INVALID_REQUEST);
}

TEST_F(NetClientCommandsTest, RefusedInsertChangesNothing) {
  EXPECT_EQ(command("netClientInsert", ""), E_INVALID_REQUEST);
  EXPECT_EQ(insert(""), E_INVALID_REQUEST);
  EXPECT_EQ(command("netClientInsert", "<netc/>"), E_INVALID_REQUEST);
  EXPECT_EQ(insert("bad name"), E_NAME_INVALID);
  EXPECT_EQ(insert(std::string(128, 'n')), E_NAME_TOO_LONG);  // the record keeps 127
  EXPECT_EQ(insert("localhost"), E_NETCLIENT_EXISTS);
  EXPECT_EQ(message(), "netclient with this name already exists.");
  EXPECT_EQ(insert("long", addresses({"10.0.0.1"}, {"2001:" + std::string(123, 'f')})),
            E_VALUE_INVALID);
  EXPECT_EQ(d->netclients_by_id.count(), 1u);

  // A store that refuses: no table entry, no index entry, no certificate.
  block_store();
  EXPECT_NE(insert("edge", addresses({"10.9.9.9"})), 0u);
  unblock_store();
  EXPECT_FALSE(d->netclients_by_name.get_rw("edge"));
  EXPECT_FALSE(indexed("10.9.9.9"));
  EXPECT_EQ(d->netclients_by_id.count(), 1u);

  // 127 bytes fit a slot and come back whole.
  const std::string longest = "2001:" + std::string(122, 'f');
  uint64_t id = 0;
  ASSERT_EQ(insert("long", addresses({}, {longest}), &id), 0u);
  restart_all();
  EXPECT_EQ(d->netclients_by_id.get_rw(id)->v6_addresses(), std::vector<std::string>{longest});
}

TEST_F(NetClientCommandsTest, EditReplacesNameAndAddresses) {
  uint64_t id = 0;
  uint64_t other = 0;
  ASSERT_EQ(insert("edge", addresses({"10.1.0.0/16"}, {"::1"}), &id), 0u);
  ASSERT_EQ(insert("core", "", &other), 0u);

  // Only a new name: the addresses stay, the old name is free again.
  ASSERT_EQ(edit(id, "name='edge2'"), 0u) << response_text();
  kt::ref_ptr<netclient> nc = d->netclients_by_id.get_rw(id);
  EXPECT_EQ(nc->get_name(), "edge2");
  EXPECT_EQ(nc->v4_addresses(), std::vector<std::string>{"10.1.0.0/16"});
  EXPECT_EQ(nc->v6_addresses(), std::vector<std::string>{"::1"});
  EXPECT_TRUE(indexed("10.1.0.0/16"));
  EXPECT_FALSE(d->netclients_by_name.get_rw("edge"));
  // An empty address child empties the lists.
  ASSERT_EQ(edit(id, "", "<v4/>"), 0u) << response_text();
  EXPECT_TRUE(nc->v4_addresses().empty());
  EXPECT_TRUE(nc->v6_addresses().empty());
  EXPECT_FALSE(indexed("10.1.0.0/16"));
  EXPECT_EQ(d->netclients_by_name.get_rw("edge2"), nc);
  ASSERT_EQ(edit(id, "", addresses({"172.16.0.0/12"})), 0u);  // keeps its name
  EXPECT_EQ(nc->get_name(), "edge2");
  EXPECT_TRUE(indexed("172.16.0.0/12"));
  EXPECT_EQ(edit(id, "name='edge2'", addresses({"172.16.0.0/12"})), 0u);  // its own name

  EXPECT_EQ(edit(id, "name='core'"), E_NETCLIENT_EXISTS);
  EXPECT_EQ(edit(id, "name='a b'"), E_NAME_INVALID);
  EXPECT_EQ(edit(id, "name=''"), E_NAME_INVALID);
  EXPECT_EQ(edit(id, "", addresses({std::string(128, '1')})), E_VALUE_INVALID);
  EXPECT_EQ(edit(id + 1000, ""), E_NETCLIENT_NOT_FOUND);
  EXPECT_EQ(message(), "network client not found.");
  EXPECT_EQ(command("netClientEdit", "<netc/>"), E_INVALID_REQUEST);
  EXPECT_EQ(command("netClientEdit", "<netc id=''/>"), E_INVALID_REQUEST);
  EXPECT_EQ(command("netClientEdit", "<netc id='x1'/>"), E_INVALID_REQUEST);
  EXPECT_EQ(command("netClientEdit", ""), E_INVALID_REQUEST);
  EXPECT_EQ(edit(localhost_id(), "name='lh'"), E_NETCLIENT_READ_ONLY);
  EXPECT_EQ(message(), "netclient is marked as read-only and cannot be modified.");
  EXPECT_EQ(d->netclients_by_id.get_rw(localhost_id())->v4_addresses(),
            std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(nc->get_name(), "edge2");
  EXPECT_EQ(nc->v4_addresses(), std::vector<std::string>{"172.16.0.0/12"});

  // A store that refuses the edit: memory and the indexes stay as they were.
  block_store();
  EXPECT_NE(edit(id, "name='edge3'", addresses({"10.2.0.0/16"})), 0u);
  unblock_store();
  EXPECT_EQ(nc->get_name(), "edge2");
  EXPECT_EQ(nc->v4_addresses(), std::vector<std::string>{"172.16.0.0/12"});
  EXPECT_TRUE(indexed("172.16.0.0/12"));
  EXPECT_FALSE(indexed("10.2.0.0/16"));
  EXPECT_FALSE(d->netclients_by_name.get_rw("edge3"));

  restart_all();
  nc = d->netclients_by_id.get_rw(id);
  EXPECT_EQ(nc->get_name(), "edge2");
  EXPECT_EQ(nc->v4_addresses(), std::vector<std::string>{"172.16.0.0/12"});
}

TEST_F(NetClientCommandsTest, MoreAddressesThanTheRecordKeepsAreRefused) {
  const std::vector<std::string> five{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5"};
  std::vector<std::string> six = five;
  six.push_back("10.0.0.6");
  const std::vector<std::string> five_v6{"fe80::1", "fe80::2", "fe80::3", "fe80::4", "fe80::5"};
  std::vector<std::string> six_v6 = five_v6;
  six_v6.push_back("fe80::6");
  EXPECT_EQ(insert("many", addresses(six, {"fe80::1"})), E_VALUE_INVALID);
  EXPECT_EQ(insert("many", addresses(five, six_v6)), E_VALUE_INVALID);
  EXPECT_FALSE(d->netclients_by_name.get_rw("many"));
  EXPECT_FALSE(indexed("10.0.0.1"));

  uint64_t id = 0;
  ASSERT_EQ(insert("many", addresses(five, five_v6), &id), 0u);
  EXPECT_EQ(edit(id, "", addresses(six)), E_VALUE_INVALID);
  EXPECT_EQ(edit(id, "",
                 addresses({}, {"fe80::1", "fe80::2", "fe80::3", "fe80::4", "fe80::5", "fe80::6",
                                "fe80::7", "fe80::8", "fe80::9", "fe80::a", "fe80::b"})),
            E_VALUE_INVALID);
  EXPECT_FALSE(indexed("10.0.0.6"));
  restart_all();
  kt::ref_ptr<netclient> nc = d->netclients_by_id.get_rw(id);
  EXPECT_EQ(nc->v4_addresses(), five);
  EXPECT_EQ(nc->v6_addresses(), five_v6);
  EXPECT_TRUE(indexed("10.0.0.5"));
}

TEST_F(NetClientCommandsTest, RemoveDeletesRecordCertificateAndAttributes) {
  uint64_t id = 0;
  ASSERT_EQ(insert("edge", addresses({"10.3.0.0/16"}), &id), 0u);
  const std::string attributes = path_domain_file(d->id, "attributes");
  const auto before = fs::file_size(attributes);
  ASSERT_EQ(command("attrInsert", "<a name='site' type='4'>lab</a>", "", "ORVANE",
                    " targettype='4' target='" + std::to_string(id) + "'"),
            0u)
      << response_text();
  ASSERT_GT(fs::file_size(attributes), before);

  EXPECT_EQ(remove(localhost_id()), E_NETCLIENT_SYSTEM);
  EXPECT_EQ(message(), "system netclient is immune for deletion.");
  EXPECT_EQ(remove(id + 1000), E_NETCLIENT_NOT_FOUND);
  EXPECT_EQ(command("netClientRemove", "<netc id=''/>"), E_INVALID_REQUEST);
  EXPECT_EQ(command("netClientRemove", ""), E_INVALID_REQUEST);

  // A store that refuses: everything stays.
  block_store();
  EXPECT_NE(remove(id), 0u);
  unblock_store();
  EXPECT_TRUE(d->netclients_by_id.get_rw(id));
  EXPECT_TRUE(fs::exists(g().ca->pfx_path(d->id, id)));
  EXPECT_TRUE(indexed("10.3.0.0/16"));

  ASSERT_EQ(remove(id), 0u) << response_text();
  EXPECT_FALSE(d->netclients_by_id.get_rw(id));
  EXPECT_FALSE(d->netclients_by_name.get_rw("edge"));
  EXPECT_FALSE(indexed("10.3.0.0/16"));
  EXPECT_FALSE(fs::exists(g().ca->pfx_path(d->id, id)));
  EXPECT_FALSE(fs::exists(g().ca->public_path(d->id, id)));
  EXPECT_FALSE(fs::exists(g().ca->private_path(d->id, id)));
  EXPECT_EQ(fs::file_size(attributes), before);
  EXPECT_EQ(remove(id), E_NETCLIENT_NOT_FOUND);
  restart_all();
  EXPECT_FALSE(d->netclients_by_id.get_rw(id));
  EXPECT_TRUE(d->netclients_by_name.get_rw("localhost"));
}

TEST_F(NetClientCommandsTest, GetPfxAnswersTheBundle) {
  uint64_t id = 0;
  ASSERT_EQ(insert("edge", "", &id), 0u);
  ASSERT_EQ(get_pfx(id), 0u) << response_text();
  const kt::xmldoc_node* netc = answer("netc");
  ASSERT_NE(netc, nullptr);
  EXPECT_EQ(netc->attr_get_value("id"), std::to_string(id));
  EXPECT_EQ(netc->attr_get_value("name"), "edge");
  ASSERT_NE(netc->get("pfx"), nullptr);
  std::string decoded;
  ASSERT_EQ(kt::base64decode_(netc->get("pfx")->value(), decoded), 0);
  std::string file;
  ASSERT_EQ(kt::read_file(g().ca->pfx_path(d->id, id).c_str(), file), 0);
  EXPECT_EQ(decoded, file);

  EXPECT_EQ(command("netClientGetPfx", "<netc id='00" + std::to_string(id) + "'/>"), 0u);
  EXPECT_EQ(answer("netc")->attr_get_value("id"), "00" + std::to_string(id));  // as sent
  EXPECT_EQ(get_pfx(id + 1000), E_NETCLIENT_NOT_FOUND);
  EXPECT_EQ(command("netClientGetPfx", "<netc/>"), E_INVALID_REQUEST);
  EXPECT_EQ(command("netClientGetPfx", ""), E_INVALID_REQUEST);
  ASSERT_EQ(std::remove(g().ca->pfx_path(d->id, id).c_str()), 0);
  EXPECT_EQ(get_pfx(id), E_VALUE_INVALID);
  EXPECT_EQ(message(), "value is not valid.");
}

TEST_F(NetClientCommandsTest, RightsOnOrvaneNetClients) {
  const uint64_t uid = add_user("operator");
  const std::string tok = token("operator", "Passw0rd");
  uint64_t id = 0;
  ASSERT_EQ(insert("edge", "", &id), 0u);
  uint32_t code = 0;
  const auto all_refused = [&](uint32_t expected_search) {
    EXPECT_EQ(insert("mine", "", nullptr, tok), E_ACCESS_VIOLATION);
    EXPECT_EQ(edit(id, "name='x'", "", tok), E_ACCESS_VIOLATION);
    EXPECT_EQ(remove(id, tok), E_ACCESS_VIOLATION);
    EXPECT_EQ(get_pfx(id, tok), E_ACCESS_VIOLATION);
    EXPECT_EQ(answer("netc"), nullptr);
    search("<s/>", &code, tok);
    EXPECT_EQ(code, expected_search);
  };
  all_refused(E_ACCESS_VIOLATION);
  grant(uid, PERM_READ);
  all_refused(E_OK);
  grant(uid, PERM_WRITE);
  EXPECT_EQ(get_pfx(id, tok), 0u);
  EXPECT_EQ(edit(id, "name='x'", "", tok), 0u);
  search("<s/>", &code, tok);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  EXPECT_EQ(remove(id, tok), 0u);
  EXPECT_EQ(d->netclients_by_id.count(), 1u);
}

TEST_F(NetClientCommandsTest, ManagementOnlyForNetClients) {
  uint64_t id = 0;
  ASSERT_EQ(insert("lan", addresses({"10.0.0.0/8"}), &id), 0u);
  ASSERT_EQ(command("attrEdit", "<a name='managementApiNcOnly'>1</a>", "", "ORVANE",
                    " targettype='0' target='" + std::to_string(d->id) + "'"),
            0u)
      << response_text();
  ASSERT_EQ(d->nc_only.load() & API_MANAGEMENT, API_MANAGEMENT);
  uint32_t code = 0;
  search("<s/>", &code);
  EXPECT_EQ(code, 0u);  // 127.0.0.1
  peer = "10.0.0.5";
  search("<s/>", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  // The net client's certificate from an address of its list.
  cert_domain_id = d->id;
  cert_netclient_id = id;
  search("<s/>", &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(d->netclients_by_id.get_rw(id)->requests.load(), 1u);
  peer = "192.168.0.5";
  search("<s/>", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  peer = "10.0.0.5";
  cert_domain_id = 0;  // only one of the two identifiers
  search("<s/>", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  cert_domain_id = d->id + 1;  // a certificate of another domain
  search("<s/>", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  cert_domain_id = d->id;
  cert_netclient_id = id + 1000;  // an unknown net client
  search("<s/>", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);

  // An edit takes effect for the next command at once.
  cert_domain_id = 0;
  cert_netclient_id = 0;
  peer = "127.0.0.1";
  ASSERT_EQ(edit(id, "", addresses({"192.168.0.0/24"})), 0u);
  cert_domain_id = d->id;
  cert_netclient_id = id;
  peer = "10.0.0.5";
  search("<s/>", &code);
  EXPECT_EQ(code, E_ACCESS_VIOLATION);
  peer = "192.168.0.5";
  search("<s/>", &code);
  EXPECT_EQ(code, 0u);
  // Other API classes stay open.
  peer = "10.0.0.5";
  cert_domain_id = 0;
  cert_netclient_id = 0;
  EXPECT_EQ(run("<orvane><getToken domain='ORVANE'><u>Administrator</u><p>tolbrine</p></getToken>"
                "</orvane>"),
            0u)
      << response_text();
}

}  // namespace
}  // namespace orvane
