#include "health.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <vector>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/netclients/netclient.h"
#include "objects/tasks/tasks.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "processor.h"
#include "scheduler/sched_singlethread.h"
#include "support/server_fixture.h"

namespace orvane_test {
namespace {

using orvane::E_ACCESS_VIOLATION;
using orvane::E_OK;

class HealthTest : public server_fixture {
 protected:
  uint32_t health(const std::string& token, const std::string& attrs = "",
                  const std::string& domain = "ORVANE") {
    return run("<orvane><getHealth domain=\"" + domain + "\" token=\"" + token + "\"" + attrs +
               "/></orvane>");
  }

  // Adds a domain under the parent with domainInsert as the root Administrator.
  uint64_t add_domain(const std::string& name, uint64_t parent_id) {
    const std::string t = admin_token();
    const uint32_t code =
        run("<orvane><domainInsert domain=\"ORVANE\" token=\"" + t + "\"><d name=\"" + name +
            "\" parentId=\"" + std::to_string(parent_id) +
            "\"/><p>Tenant123</p></domainInsert></orvane>");
    EXPECT_EQ(code, 0u) << response_text();
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }

  // name -> r of the children of a health section ("domains" or "netclients").
  std::map<std::string, std::string> counters(const char* section) {
    std::map<std::string, std::string> out;
    const kt::xmldoc_node* h = answer("health");
    const kt::xmldoc_node* s = h != nullptr ? h->get(section) : nullptr;
    if (s == nullptr) return out;
    for (const auto& child : s->children()) {
      std::string key = child->value();
      if (child->attr_get("d") != nullptr) key += "@" + std::string(child->attr_get_value("d"));
      out[key] = std::string(child->attr_get_value("r"));
    }
    return out;
  }

  std::string text_of(const char* name) {
    const kt::xmldoc_node* h = answer("health");
    const kt::xmldoc_node* n = h != nullptr ? h->get(name) : nullptr;
    return n != nullptr ? n->value() : std::string("<none>");
  }

  kt::ref_ptr<orvane::netclient> localhost_of(const std::string& domain) {
    return domain_named(domain)->netclients_by_name.get_rw(std::string("localhost"));
  }
};

TEST_F(HealthTest, AnswerHasEverySectionInOrder) {
  ASSERT_EQ(health(admin_token()), E_OK) << response_text();
  const kt::xmldoc_node* h = answer("health");
  ASSERT_NE(h, nullptr);
  std::vector<std::string> names;
  for (const auto& child : h->children()) names.push_back(child->name());
  EXPECT_EQ(names, (std::vector<std::string>{"netclients", "domains", "uptime", "requests",
                                             "memory", "disk", "cpu"}));
  const kt::xmldoc_node* memory = h->get("memory");
  EXPECT_GT(std::stoull(std::string(memory->attr_get_value("total"))), 0u);
  EXPECT_GT(std::stoull(std::string(memory->attr_get_value("process"))), 0u);
  EXPECT_GT(std::stoull(std::string(h->get("disk")->attr_get_value("total"))), 0u);
  EXPECT_LT(std::stoull(text_of("uptime")), 60u);
}

TEST_F(HealthTest, RootSeesEveryDomainOthersOnlyTheirOwn) {
  const uint64_t root_id = g().root_domain->id;
  ASSERT_NE(add_domain("Tenant", root_id), 0u);
  ASSERT_NE(add_domain("Other", root_id), 0u);

  ASSERT_EQ(health(admin_token()), E_OK) << response_text();
  std::map<std::string, std::string> domains = counters("domains");
  EXPECT_EQ(domains.size(), 3u);
  EXPECT_TRUE(domains.count("ORVANE") && domains.count("Tenant") && domains.count("Other"));
  std::map<std::string, std::string> clients = counters("netclients");
  EXPECT_TRUE(clients.count("localhost@ORVANE") && clients.count("localhost@Tenant") &&
              clients.count("localhost@Other"))
      << response_text();
  uint64_t sum = 0;
  for (const auto& [name, r] : domains) sum += std::stoull(r);
  EXPECT_EQ(text_of("requests"), std::to_string(sum));

  const std::string tenant = token("Administrator", "Tenant123", "Tenant");
  ASSERT_EQ(health(tenant, "", "Tenant"), E_OK) << response_text();
  domains = counters("domains");
  ASSERT_EQ(domains.size(), 1u) << response_text();
  EXPECT_EQ(domains.begin()->first, "Tenant");
  EXPECT_EQ(text_of("requests"), domains.begin()->second);
  clients = counters("netclients");
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients.begin()->first, "localhost@Tenant");
}

TEST_F(HealthTest, ResetWithEmptyValueZeroesAndCountsAgainFromZero) {
  const std::string t = admin_token();
  localhost_of("ORVANE")->requests = 7;
  ASSERT_EQ(health(t), E_OK);
  EXPECT_EQ(counters("netclients")["localhost@ORVANE"], "7");
  EXPECT_NE(counters("domains")["ORVANE"], "0");

  ASSERT_EQ(health(t, " reset=\"\""), E_OK) << response_text();
  EXPECT_EQ(counters("netclients")["localhost@ORVANE"], "0");
  EXPECT_EQ(counters("domains")["ORVANE"], "0");
  EXPECT_EQ(text_of("requests"), "0");
  EXPECT_EQ(localhost_of("ORVANE")->requests.load(), 0u);
  EXPECT_EQ(domain_named("ORVANE")->requests.load(), 0u);

  // The next query counts itself only.
  ASSERT_EQ(health(t), E_OK);
  EXPECT_EQ(counters("domains")["ORVANE"], "1");
  EXPECT_EQ(text_of("requests"), "1");
}

TEST_F(HealthTest, RightsAreCheckedBeforeAnythingIsReset) {
  add_user("plain");
  EXPECT_EQ(health(token("plain", "Passw0rd")), E_ACCESS_VIOLATION);
  EXPECT_EQ(answer("health"), nullptr);

  // A subdomain's administrator may read its own domain but not reset: that needs WRITE on the
  // root domain's ORVANE resource.
  ASSERT_NE(add_domain("Tenant", g().root_domain->id), 0u);
  const std::string tenant = token("Administrator", "Tenant123", "Tenant");
  ASSERT_EQ(health(tenant, "", "Tenant"), E_OK);
  const uint64_t before = domain_named("Tenant")->requests.load();
  ASSERT_GT(before, 0u);
  EXPECT_EQ(health(tenant, " reset=\"1\"", "Tenant"), E_ACCESS_VIOLATION);
  EXPECT_EQ(domain_named("Tenant")->requests.load(), before + 1);
  EXPECT_GT(domain_named("ORVANE")->requests.load(), 0u);
}

TEST_F(HealthTest, CpuHistoryHasSixtySamplesNewestFirst) {
  g().cpuidx = 0;
  for (auto& busy : g().cpu_busy) busy = 0.0f;
  ASSERT_EQ(health(admin_token()), E_OK);
  const kt::xmldoc_node* cpu = answer("health")->get("cpu");
  ASSERT_NE(cpu, nullptr);
  ASSERT_EQ(cpu->child_count(), 60u);
  EXPECT_EQ(cpu->children().front()->attr_get_value("n"), "59");
  EXPECT_EQ(cpu->children().back()->attr_get_value("n"), "0");
  std::set<std::string> slots;
  for (const auto& i : cpu->children()) {
    EXPECT_EQ(i->name(), "i");
    EXPECT_EQ(i->value(), "0.00");
    slots.insert(std::string(i->attr_get_value("n")));
  }
  EXPECT_EQ(slots.size(), 60u);
  if (cpu->attr_get("cores") != nullptr) {
    EXPECT_GT(std::stoul(std::string(cpu->attr_get_value("cores"))), 0u);
  }

  g().cpuidx = 5;
  g().cpu_busy[4] = 12.5f;
  g().cpu_busy[3] = 99.999f;
  g().cpu_busy[5] = 42.0f;  // the oldest sample
  ASSERT_EQ(health(admin_token()), E_OK);
  cpu = answer("health")->get("cpu");
  ASSERT_EQ(cpu->child_count(), 60u);
  EXPECT_EQ(cpu->children()[0]->attr_get_value("n"), "4");
  EXPECT_EQ(cpu->children()[0]->value(), "12.50");
  EXPECT_EQ(cpu->children()[1]->attr_get_value("n"), "3");
  EXPECT_EQ(cpu->children()[1]->value(), "100.00");
  EXPECT_EQ(cpu->children()[5]->attr_get_value("n"), "59");
  EXPECT_EQ(cpu->children()[59]->attr_get_value("n"), "5");
  EXPECT_EQ(cpu->children()[59]->value(), "42.00");
}

TEST(HealthProbes, CpuInfoParsing) {
  std::string model;
  const std::string text =
      "processor\t: 0\nmodel name\t: Old CPU\nflags\t: fpu\n\n"
      "processor\t: 1\nmodel name\t: Fast \"X\" CPU @ 3.00GHz\r\n"
      "processors are not counted twice\nmodel name without colon\n";
  EXPECT_EQ(orvane::_cpuinfo_parse(text, &model), 3u);  // every line starting "processor"
  EXPECT_EQ(model, "Fast  X  CPU @ 3.00GHz");

  std::string long_model;
  orvane::_cpuinfo_parse("model name: " + std::string(1000, 'm') + "\n", &long_model);
  EXPECT_EQ(long_model.size(), 255u);

  std::string none = "unchanged";
  EXPECT_EQ(orvane::_cpuinfo_parse("", &none), 0u);
  EXPECT_EQ(none, "unchanged");
}

TEST(HealthProbes, ProcessFigures) {
  EXPECT_GT(orvane::getVmValue(), 0);
  uint64_t total = 1;
  uint64_t free = 1;
  EXPECT_EQ(orvane::getdiskstat("/", &total, &free), 0);
  EXPECT_GE(total, free);
  EXPECT_GT(total, 0u);
  EXPECT_EQ(orvane::getdiskstat("/no/such/file/system", &total, &free), -1);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(free, 0u);
  uint32_t count = 0;
  std::string model;
  if (orvane::getcpucount(&count, &model) == 0) {
    EXPECT_GT(count, 0u);
    uint32_t again = 0;
    std::string model_again;
    EXPECT_EQ(orvane::getcpucount(&again, &model_again), 0);
    EXPECT_EQ(again, count);
    EXPECT_EQ(model_again, model);
  }
}

TEST_F(HealthTest, ErrorCodesListTheTableInOrder) {
  ASSERT_EQ(
      run("<orvane><getErrorCodes domain=\"ORVANE\" token=\"" + admin_token() + "\"/></orvane>"),
      E_OK);
  const kt::xmldoc_node* errors = answer("errors");
  ASSERT_NE(errors, nullptr);
  size_t rows = 0;
  while (orvane::errors[rows].msg != nullptr) ++rows;
  ASSERT_EQ(errors->child_count(), rows);
  ASSERT_GT(rows, 50u);
  for (size_t i = 0; i < rows; ++i) {
    const kt::xmldoc_node& e = *errors->children()[i];
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", orvane::errors[i].code);
    EXPECT_EQ(e.name(), "e");
    EXPECT_EQ(e.attr_get_value("c"), code);
    EXPECT_EQ(e.value(), orvane::errors[i].msg);
  }
  EXPECT_EQ(errors->children()[0]->attr_get_value("c"), "0x00000000");
  EXPECT_EQ(errors->children()[0]->value(), "no error.");
  bool found = false;
  for (const auto& e : errors->children()) {
    if (e->attr_get_value("c") == "0x00000102") found = e->value() == "access violation.";
  }
  EXPECT_TRUE(found);
}

TEST_F(HealthTest, AuditApiListsTheAuditedCommandsInTableOrder) {
  ASSERT_EQ(
      run("<orvane><getAuditApi domain=\"ORVANE\" token=\"" + admin_token() + "\"/></orvane>"),
      E_OK);
  const kt::xmldoc_node* api = answer("auditapi");
  ASSERT_NE(api, nullptr);
  std::vector<std::string> names;
  for (const auto& a : api->children()) {
    EXPECT_EQ(a->name(), "a");
    names.push_back(a->value());
  }
  const std::vector<std::string> expected = {
      "domainInsert",    "domainEdit",       "domainRemove",   "attrInsert",
      "attrEdit",        "attrRemove",       "userInsert",     "userEdit",
      "userRemove",      "userChangePwd",    "groupInsert",    "groupEdit",
      "groupRemove",     "netClientInsert",  "netClientEdit",  "netClientRemove",
      "netClientGetPfx", "nssProfileInsert", "nssProfileEdit", "nssProfileRemove",
      "nssProfileUser",  "nssProfileGroup",  "resourceInsert", "resourceEdit",
      "resourceRemove",  "authenticate",     "getToken",       "getIdentity",
      "releaseToken",    "backupCreate",     "backupRestore",  "backupDestroy",
      "clearAuditLog"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(names.size(), 33u);
}

// Change notifications reach the WebSocket clients of the changed domain and of its ancestors.
class ChangeAudienceTest : public HealthTest {
 protected:
  // A WebSocket connection whose thread is the test: notifications wait in its outbox.
  struct fake_ws {
    std::unique_ptr<orvane::client> c;
  };

  void TearDown() override {
    for (fake_ws& f : clients_) g().clients.remove(f.c.get());
    clients_.clear();
    HealthTest::TearDown();
  }

  // A WebSocket client bound with a token of a user of the domain (its Administrator unless
  // told), listed as the server lists its connections.
  size_t bind_client(uint64_t domain_id, const std::string& uname = "Administrator") {
    fake_ws& f = clients_.emplace_back();
    // The connection's socket stands in as a descriptor that nobody reads.
    f.c = std::make_unique<orvane::client>(g(), ::eventfd(0, EFD_CLOEXEC), nullptr);
    f.c->start_channel(nullptr);
    f.c->flags = orvane::CLIENT_ALIVE | orvane::CLIENT_WEBSOCKET | orvane::CLIENT_WS_BOUND;
    f.c->ws_domain_id = domain_id;
    const kt::ref_ptr<orvane::domain> d = g().domains_by_id.get_rw(domain_id);
    EXPECT_TRUE(d);
    auto t = kt::make_ref<orvane::token>();
    t->id = ++token_ids_;
    t->dom = d;
    t->usr = d->users_by_name.get_rw(uname);
    EXPECT_TRUE(t->usr) << uname;
    f.c->bind_token(t);
    f.c->ws_token_id = t->id;
    g().clients.add(f.c.get());
    return clients_.size() - 1;
  }

  // Waits until the scheduler has run everything queued so far.
  void drain() {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> f = done->get_future();
    g().scheduler->schedule(kt::sched_task::make([done] {
      done->set_value();
      return 0;
    }));
    ASSERT_EQ(f.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  }

  // The payloads of the frames a client received so far.
  std::vector<std::string> received(size_t i) {
    const std::string bytes = clients_[i].c->take_outbox();
    std::vector<std::string> frames;
    size_t at = 0;
    while (bytes.size() - at >= 2) {
      EXPECT_EQ(static_cast<uint8_t>(bytes[at]), 0x81);
      size_t length = static_cast<uint8_t>(bytes[at + 1]);
      size_t header = 2;
      if (length == 126) {
        length = (static_cast<uint8_t>(bytes[at + 2]) << 8) | static_cast<uint8_t>(bytes[at + 3]);
        header = 4;
      }
      frames.push_back(bytes.substr(at + header, length));
      at += header + length;
    }
    EXPECT_EQ(at, bytes.size());
    return frames;
  }

  std::vector<fake_ws> clients_;
  uint64_t token_ids_ = 1000;
};

TEST_F(ChangeAudienceTest, ChangeReachesTheDomainAndItsAncestorsOnly) {
  const uint64_t root = g().root_domain->id;
  const uint64_t a = add_domain("A", root);
  const uint64_t a1 = add_domain("A1", a);
  const uint64_t b = add_domain("B", root);
  ASSERT_TRUE(a != 0 && a1 != 0 && b != 0);
  drain();  // the domain inserts notified nobody yet bound

  const size_t at_root = bind_client(root);
  const size_t at_a = bind_client(a);
  const size_t at_a1 = bind_client(a1);
  const size_t at_b = bind_client(b);

  orvane::task_notify_clients_change(g(), a1, 5, 100, "user", orvane::CHANGE_INSERT);
  drain();
  const std::string doc = orvane::task_change_document(a1, 5, 100, "user", orvane::CHANGE_INSERT);
  EXPECT_EQ(received(at_root), std::vector<std::string>{doc});
  EXPECT_EQ(received(at_a), std::vector<std::string>{doc});
  EXPECT_EQ(received(at_a1), std::vector<std::string>{doc});
  EXPECT_TRUE(received(at_b).empty());

  orvane::task_notify_clients_change(g(), a, 5, 101, "group", orvane::CHANGE_EDIT);
  drain();
  EXPECT_EQ(received(at_root).size(), 1u);
  EXPECT_EQ(received(at_a).size(), 1u);
  EXPECT_TRUE(received(at_a1).empty());
  EXPECT_TRUE(received(at_b).empty());

  orvane::task_notify_clients_change(g(), root, 5, 102, "domain", orvane::CHANGE_REMOVE);
  drain();
  EXPECT_EQ(received(at_root).size(), 1u);
  EXPECT_TRUE(received(at_a).empty());

  // A domain that is gone concerns the root domain's clients only.
  orvane::task_notify_clients_change(g(), 999999, 5, 103, "user", orvane::CHANGE_REMOVE);
  drain();
  EXPECT_EQ(received(at_root).size(), 1u);
  EXPECT_TRUE(received(at_a).empty());
  EXPECT_TRUE(received(at_a1).empty());
  EXPECT_TRUE(received(at_b).empty());

  // A user of the domain without READ on the kind's system resource sees none of its changes.
  ASSERT_EQ(
      run("<orvane><userInsert domain=\"A1\" token=\"" + token("Administrator", "Tenant123", "A1") +
          "\"><u uname=\"plain\"><p>Passw0rd</p></u></userInsert></orvane>"),
      E_OK);
  drain();
  received(at_root);
  received(at_a);
  received(at_a1);
  const size_t plain = bind_client(a1, "plain");
  orvane::task_notify_clients_change(g(), a1, 5, 104, "user", orvane::CHANGE_EDIT);
  drain();
  EXPECT_TRUE(received(plain).empty());
  EXPECT_EQ(received(at_a1).size(), 1u);
}

TEST_F(ChangeAudienceTest, UnboundAndFailingClientsAreSkipped) {
  const uint64_t root = g().root_domain->id;
  const size_t unbound = bind_client(root);
  clients_[unbound].c->flags = orvane::CLIENT_ALIVE | orvane::CLIENT_WEBSOCKET;
  const size_t broken = bind_client(root);  // its connection is going away
  clients_[broken].c->stop_channel();
  const size_t bound = bind_client(root);

  orvane::task_notify_clients_change(g(), root, 1, 2, "resource", orvane::CHANGE_INSERT);
  drain();
  EXPECT_TRUE(received(unbound).empty());
  EXPECT_EQ(clients_[broken].c->flags.load() & orvane::CLIENT_ALIVE, 0);
  const std::vector<std::string> frames = received(bound);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_NE(frames[0].find("objType=\"resource\" changeType=\"insert\""), std::string::npos);

  // A channel ends with its token (released, expired, its user or domain gone), no other.
  const size_t other = bind_client(root);
  orvane::task_end_channels(g(), {clients_[bound].c->ws_token_id.load()});
  EXPECT_EQ(clients_[bound].c->flags.load() & orvane::CLIENT_ALIVE, 0);
  EXPECT_NE(clients_[other].c->flags.load() & orvane::CLIENT_ALIVE, 0);
}

TEST(ChangeDocument, Format) {
  EXPECT_EQ(orvane::task_change_document(1, 2, 3, "nssprofile", orvane::CHANGE_EDIT),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?><orvane><change domain=\"1\" user=\"2\" "
            "objId=\"3\" objType=\"nssprofile\" changeType=\"edit\" /></orvane>");
}

}  // namespace
}  // namespace orvane_test
