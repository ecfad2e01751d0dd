#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "errors.h"
#include "globals.h"
#include "objects/auditlogs/auditlog.h"
#include "objects/auditlogs/auditlog_commands.h"
#include "objects/command.h"
#include "objects/domains/domain.h"
#include "objects/permissions/permission.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "processor.h"
#include "support/process.h"
#include "utils/base64.h"

namespace orvane {
namespace {

constexpr uint64_t kOrvaneResource = 4242;

class AuditlogCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    d_ = kt::make_ref<domain>();
    d_->id = 7;
    d_->sys_res[SYS_RES_ORVANE] = kOrvaneResource;
    d_->log = auditlog_open(tmp_.path() + "/7/auditlogs", false);
    ASSERT_NE(d_->log, nullptr);
    admin_ = kt::make_ref<user>();
    admin_->uname = "admin";
    t_ = kt::make_ref<token>();
    t_->usr = admin_;
    t_->dom = d_;
    grant(PERM_READ | PERM_WRITE);
    ASSERT_EQ(kt::ipv4_parse_addr("10.1.2.3", from_.peer), 0);
    now_ = static_cast<uint32_t>(time(nullptr));
  }

  void grant(uint32_t flags) {
    auto p = kt::make_ref<permission>();
    p->target_id = kOrvaneResource;
    p->member_type = 0;
    p->flags = flags;
    admin_->permissions.insert_rw(kOrvaneResource, p);
  }

  // Writes an entry straight to the log (not through the queue).
  void add(uint32_t ts, const char* api, const char* addr, const char* uname, uint32_t rc,
           uint32_t ac, const char* info) {
    kt::ipv4_address a;
    if (addr != nullptr) {
      ASSERT_EQ(kt::ipv4_parse_addr(addr, a), 0);
    }
    auto e = auditlog_create_entry_v4(ts, rc, addr != nullptr ? &a : nullptr, api, uname, ac, info);
    ASSERT_EQ(auditlog_write_entry(*d_->log, *e), 0);
  }

  // Runs a command document against the handler; returns its result code.
  uint32_t run(const std::string& xml, processor_handler handler) {
    doc_ = kt::xmldoc();
    EXPECT_EQ(doc_.parse(xml), 0);
    answer_slot slot;
    command cmd(g_, from_, d_.get(), t_.get(), *doc_.root(), slot);
    const uint32_t rc = handler(cmd);
    answer_ = std::move(slot.element);
    return rc;
  }
  uint32_t get(const std::string& attrs, const std::string& children = "") {
    return run("<getAuditLog " + attrs + ">" + children + "</getAuditLog>", processor_get_auditlog);
  }
  std::string range() const {
    return "from=\"" + std::to_string(now_ - 10) + "\" to=\"" + std::to_string(now_ + 10) + "\"";
  }
  // The "i" texts of the answer's entries.
  std::vector<std::string> infos() const {
    std::vector<std::string> out;
    if (!answer_) return out;
    for (const auto& e : answer_->children()) {
      const std::string* i = e->get_value("i");
      out.push_back(i != nullptr ? *i : "-");
    }
    return out;
  }
  std::string csv() const {
    if (!answer_ || answer_->get_value("file") == nullptr) return "?";
    std::string out;
    EXPECT_EQ(kt::base64decode_(*answer_->get_value("file"), out), 0);
    return out;
  }

  void add_sample() {
    add(now_, "userInsert", "10.1.2.3", "admin", 0, 5, "user x (5) added / t1");
    add(now_, "groupInsert", "192.168.1.1", "bob", 0x602, 0, "group g (6) added / ");
    add(now_, "getToken", nullptr, nullptr, 0, 0, nullptr);
  }

  orvane_test::temp_dir tmp_;
  globals g_;
  caller from_;
  kt::ref_ptr<domain> d_;
  kt::ref_ptr<user> admin_;
  kt::ref_ptr<token> t_;
  kt::xmldoc doc_;
  std::unique_ptr<kt::xmldoc_node> answer_;
  uint32_t now_ = 0;
};

using v = std::vector<std::string>;

TEST_F(AuditlogCommandsTest, RequiredAttributes) {
  add_sample();
  EXPECT_EQ(get(range()), E_INVALID_REQUEST);
  EXPECT_EQ(get("from=\"1\" api=\"\""), E_INVALID_REQUEST);
  EXPECT_EQ(get("to=\"1\" api=\"\""), E_INVALID_REQUEST);
  EXPECT_EQ(get(range() + " api=\"\""), E_OK);
  ASSERT_NE(answer_, nullptr);
  EXPECT_EQ(answer_->name(), "auditlog");
  EXPECT_EQ(answer_->child_count(), 3u);
}

TEST_F(AuditlogCommandsTest, ElementFormat) {
  add_sample();
  ASSERT_EQ(get(range() + " api=\"\""), E_OK);
  ASSERT_EQ(answer_->child_count(), 3u);
  const kt::xmldoc_node& first = *answer_->children()[0];
  EXPECT_EQ(first.name(), "e");
  std::vector<std::string> names;
  for (const auto& a : first.attrs()) names.push_back(a.name);
  EXPECT_EQ(names, (v{"ts", "api", "resCode", "auditCode", "remoteAddr4"}));
  EXPECT_EQ(first.attr_get_value("ts"), std::to_string(now_));
  EXPECT_EQ(first.attr_get_value("api"), "userInsert");
  EXPECT_EQ(first.attr_get_value("auditCode"), "5");
  EXPECT_EQ(first.attr_get_value("remoteAddr4"), "10.1.2.3");
  EXPECT_EQ(*first.get_value("u"), "admin");
  EXPECT_EQ(*first.get_value("i"), "user x (5) added / t1");
  EXPECT_EQ(answer_->children()[1]->attr_get_value("resCode"), std::to_string(0x602));

  const kt::xmldoc_node& bare = *answer_->children()[2];
  EXPECT_EQ(bare.attr_get("remoteAddr4"), nullptr);
  EXPECT_EQ(bare.get("u"), nullptr);
  EXPECT_EQ(bare.get("i"), nullptr);
}

TEST_F(AuditlogCommandsTest, TimeRangeAndApi) {
  add(now_ - 100, "userInsert", nullptr, "admin", 0, 0, "early");
  add(now_, "userInsert", nullptr, "admin", 0, 0, "in");
  add(now_, "userEdit", nullptr, "admin", 0, 0, "other api");
  add(now_ + 100, "userInsert", nullptr, "admin", 0, 0, "late");
  // Both bounds inclusive.
  ASSERT_EQ(get("from=\"" + std::to_string(now_) + "\" to=\"" + std::to_string(now_) +
                "\" api=\"userInsert\""),
            E_OK);
  EXPECT_EQ(infos(), (v{"in"}));
  ASSERT_EQ(get("from=\"" + std::to_string(now_ - 100) + "\" to=\"" + std::to_string(now_ + 100) +
                "\" api=\"\""),
            E_OK);
  EXPECT_EQ(infos(), (v{"early", "in", "other api", "late"}));
  // Case-sensitive API match.
  ASSERT_EQ(get(range() + " api=\"userinsert\""), E_OK);
  EXPECT_EQ(infos(), v{});
  // from > to: nothing.
  ASSERT_EQ(
      get("from=\"" + std::to_string(now_ + 1) + "\" to=\"" + std::to_string(now_) + "\" api=\"\""),
      E_OK);
  EXPECT_EQ(answer_->child_count(), 0u);
}

TEST_F(AuditlogCommandsTest, Filters) {
  add_sample();
  const std::string all = range() + " api=\"\"";
  ASSERT_EQ(get(all, "<username>ADM</username>"), E_OK);
  EXPECT_EQ(infos(), (v{"user x (5) added / t1", "-"}));
  ASSERT_EQ(get(all, "<auditInfo>GROUP G</auditInfo>"), E_OK);
  EXPECT_EQ(infos(), (v{"group g (6) added / ", "-"}));
  ASSERT_EQ(get(all, "<responseCode>1538</responseCode>"), E_OK);
  EXPECT_EQ(infos(), (v{"group g (6) added / "}));
  ASSERT_EQ(get(all, "<auditCode>5</auditCode>"), E_OK);
  EXPECT_EQ(infos(), (v{"user x (5) added / t1"}));
  ASSERT_EQ(get(all, "<auditCode>4294967301</auditCode>"), E_OK);
  EXPECT_EQ(infos(), v{});
  // Empty filter values don't filter.
  ASSERT_EQ(get(all, "<username></username><responseCode/>"), E_OK);
  EXPECT_EQ(answer_->child_count(), 3u);
  // All filters must pass.
  ASSERT_EQ(get(all, "<username>bob</username><auditCode>5</auditCode>"), E_OK);
  EXPECT_EQ(infos(), v{});
}

TEST_F(AuditlogCommandsTest, RemoteAddressFilter) {
  add_sample();
  const std::string all = range() + " api=\"\"";
  ASSERT_EQ(get(all, "<remoteAddr>10.0.0.0/8</remoteAddr>"), E_OK);
  EXPECT_EQ(infos(), (v{"user x (5) added / t1", "-"}));
  ASSERT_EQ(get(all, "<remoteAddr>192.168.1.1</remoteAddr>"), E_OK);
  EXPECT_EQ(infos(), (v{"group g (6) added / ", "-"}));
  ASSERT_EQ(get(all, "<remoteAddr>10.0.0.0/255.0.0.0</remoteAddr>"), E_OK);
  EXPECT_EQ(infos(), (v{"user x (5) added / t1", "-"}));
  ASSERT_EQ(get(all, "<remoteAddr>10.0.0.0/33</remoteAddr>"), E_OK);
  EXPECT_EQ(infos(), (v{"-"}));
  ASSERT_EQ(get(all, "<remoteAddr>nonsense</remoteAddr>"), E_OK);
  EXPECT_EQ(infos(), (v{"-"}));
}

TEST_F(AuditlogCommandsTest, CsvExport) {
  const std::string header =
      "Timestamp,API,\"Remote Address\",Username,\"Response Code\",\"Audit Code\",\"Audit "
      "Info\"\r\n";
  ASSERT_EQ(get(range() + " api=\"\" export=\"1\""), E_OK);
  EXPECT_EQ(answer_->child_count(), 1u);
  EXPECT_EQ(csv(), header);

  add_sample();
  ASSERT_EQ(get(range() + " api=\"\" export=\"\""), E_OK);
  const time_t ts = now_;
  struct tm tm {};
  localtime_r(&ts, &tm);
  char stamp[96];
  std::snprintf(stamp, sizeof stamp, "\"%04d-%02d-%02d %02d:%02d:%02d\"", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  const std::string s = stamp;
  EXPECT_EQ(csv(), header + s +
                       ",\"userInsert\",10.1.2.3,\"admin\",0,5,\"user x (5) added / t1\"\r\n" + s +
                       ",\"groupInsert\",192.168.1.1,\"bob\",1538,0,\"group g (6) added / \"\r\n" +
                       s + ",\"getToken\",,,0,0,\r\n");
}

TEST_F(AuditlogCommandsTest, RightsAreChecked) {
  add_sample();
  admin_->permissions.remove_rw(kOrvaneResource);
  grant(PERM_WRITE);
  EXPECT_EQ(get(range() + " api=\"\""), E_ACCESS_VIOLATION);
  EXPECT_EQ(answer_, nullptr);
  admin_->permissions.remove_rw(kOrvaneResource);
  grant(PERM_READ);
  EXPECT_EQ(get(range() + " api=\"\""), E_OK);
  EXPECT_EQ(run("<clearAuditLog/>", processor_clear_auditlog), E_ACCESS_VIOLATION);
  EXPECT_EQ(get(range() + " api=\"\""), E_OK);
  EXPECT_EQ(answer_->child_count(), 3u);

  t_->usr = nullptr;
  EXPECT_EQ(get(range() + " api=\"\""), E_ACCESS_VIOLATION);
}

TEST_F(AuditlogCommandsTest, UnopenableLogIsAGenericError) {
  add_sample();
  std::filesystem::remove(d_->log->dir + "/.lock");
  EXPECT_EQ(get(range() + " api=\"\""), E_GENERIC);
  EXPECT_EQ(answer_, nullptr);
}

TEST_F(AuditlogCommandsTest, ClearLeavesOneEntry) {
  add(now_, "userInsert", nullptr, "admin", 0, 0, "old");
  const std::string data = d_->log->dir + "/data";
  ASSERT_FALSE(std::filesystem::is_empty(data));
  ASSERT_EQ(run("<clearAuditLog><audit code=\"3\">spring cleaning</audit></clearAuditLog>",
                processor_clear_auditlog),
            E_OK);
  d_->log.reset();  // writes the queued entry
  d_->log = auditlog_open(tmp_.path() + "/7/auditlogs", false);
  ASSERT_NE(d_->log, nullptr);
  EXPECT_GE(d_->log->header.created, now_);
  EXPECT_EQ(d_->log->header.entries, 1u);

  ASSERT_EQ(get(range() + " api=\"\""), E_OK);
  ASSERT_EQ(answer_->child_count(), 1u);
  const kt::xmldoc_node& e = *answer_->children()[0];
  EXPECT_EQ(e.attr_get_value("api"), "clearAuditLog");
  EXPECT_EQ(e.attr_get_value("resCode"), "0");
  EXPECT_EQ(e.attr_get_value("auditCode"), "3");
  EXPECT_EQ(e.attr_get_value("remoteAddr4"), "10.1.2.3");
  EXPECT_EQ(*e.get_value("u"), "admin");
  EXPECT_EQ(*e.get_value("i"), "audit log cleared. / spring cleaning");

  ASSERT_EQ(run("<clearAuditLog/>", processor_clear_auditlog), E_OK);
  d_->log.reset();
  d_->log = auditlog_open(tmp_.path() + "/7/auditlogs", false);
  ASSERT_EQ(get(range() + " api=\"\""), E_OK);
  EXPECT_EQ(infos(), (v{"audit log cleared. / "}));
}

TEST_F(AuditlogCommandsTest, AuditCommandHelper) {
  doc_ = kt::xmldoc();
  ASSERT_EQ(doc_.parse("<userInsert><audit code=\"12\">ticket</audit></userInsert>"), 0);
  answer_slot slot;
  const command cmd(g_, from_, d_.get(), t_.get(), *doc_.root(), slot);
  cmd.audit(E_USER_EXISTS, "user %s (%lu) added / %s", "x", 5ul, cmd.audit_text());
  const command anonymous(g_, from_, d_.get(), nullptr, *doc_.root(), slot);
  anonymous.audit(0, "no token / %s", anonymous.audit_text());
  anonymous.audit_as("someone", 0, "%s", anonymous.audit_text());
  d_->log.reset();
  d_->log = auditlog_open(tmp_.path() + "/7/auditlogs", false);

  ASSERT_EQ(get(range() + " api=\"userInsert\""), E_OK);
  ASSERT_EQ(answer_->child_count(), 3u);
  const kt::xmldoc_node& e = *answer_->children()[0];
  EXPECT_EQ(e.attr_get_value("resCode"), std::to_string(E_USER_EXISTS));
  EXPECT_EQ(e.attr_get_value("auditCode"), "12");
  EXPECT_EQ(e.attr_get_value("remoteAddr4"), "10.1.2.3");
  EXPECT_EQ(*e.get_value("u"), "admin");
  EXPECT_EQ(*e.get_value("i"), "user x (5) added / ticket");
  EXPECT_EQ(answer_->children()[1]->get("u"), nullptr);
  EXPECT_EQ(*answer_->children()[1]->get_value("i"), "no token / ticket");
  EXPECT_EQ(*answer_->children()[2]->get_value("u"), "someone");
  EXPECT_EQ(*answer_->children()[2]->get_value("i"), "ticket");

  // A domain without a log is left alone.
  auto bare = kt::make_ref<domain>();
  command(g_, from_, bare.get(), t_.get(), *doc_.root(), slot).audit(0, "x");
}

}  // namespace
}  // namespace orvane
