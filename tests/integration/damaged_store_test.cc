// Start-up on damaged stored state, against the real orvaned: a lost audit log lock file, a
// record torn off at the end of a day file, a record damaged inside one, and a root domain that
// can't be loaded. The database is never initialised again over existing records, and the audit
// log answers every entry or an error, never a part of them as the whole.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

class DamagedStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }

  long post(const std::string& command, const std::string& body, const std::string& attrs = "",
            const std::string& dom = "ORVANE") {
    const http_answer a =
        server.post("<orvane><" + command + " domain=\"" + dom + "\" token=\"" + admin + "\"" +
                    attrs + ">" + body + "</" + command + "></orvane>");
    doc = kt::xmldoc();
    EXPECT_EQ(doc.parse(a.body), 0) << a.body;
    return orvaned_process::code(a);
  }
  std::string inserted_id() const {
    const kt::xmldoc_node* id = doc.root() != nullptr ? doc.root()->get("insertedId") : nullptr;
    return id != nullptr ? id->value() : std::string();
  }
  bool user_exists(const std::string& name) {
    EXPECT_EQ(post("userSearch", "<s>^" + name + "$</s>"), 0);
    const kt::xmldoc_node* users = doc.root() != nullptr ? doc.root()->get("users") : nullptr;
    return users != nullptr && users->child_count() == 1;
  }
  // getAuditLog of the userInsert entries since the test began: the code, and the infos in *out.
  long user_inserts(std::vector<std::string>* out) {
    out->clear();
    const std::string range = " from=\"" + std::to_string(begin) + "\" to=\"" +
                              std::to_string(time(nullptr) + 5) + "\" api=\"userInsert\"";
    const long rc = post("getAuditLog", "", range);
    if (rc != 0) return rc;
    for (const auto& e : doc.root()->get("auditlog")->children()) {
      const std::string* info = e->get_value("i");
      out->push_back(info != nullptr ? info->substr(0, info->find(" (")) : "");
    }
    return rc;
  }
  // Waits until the writer thread has written the entries expected (it works behind the
  // answers).
  std::vector<std::string> user_inserts_when(size_t count) {
    std::vector<std::string> got;
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (user_inserts(&got) != 0 || got.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return got;
  }
  std::string root_logs() {
    EXPECT_EQ(post("domainSearch", "<s opt=\"1\">^ORVANE$</s>"), 0);
    const kt::xmldoc_node* list = doc.root()->get("domains");
    if (list == nullptr || list->child_count() != 1) return "";
    root_id = list->first_child()->attr_get_value("id");
    return server.current() + "/" + root_id + "/auditlogs";
  }
  // The day files of an audit log directory.
  static std::set<std::string> day_files(const std::string& logs) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(logs + "/data")) out.insert(e.path().string());
    return out;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void append(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
  }

  const time_t begin = time(nullptr) - 2;
  orvaned_process server;
  std::string admin;
  std::string root_id;
  kt::xmldoc doc;
};

TEST_F(DamagedStoreTest, StartUpRepairsWhatItCanAndNeverCoversTheDatabase) {
  const std::string logs = root_logs();
  ASSERT_FALSE(logs.empty());
  ASSERT_EQ(post("userInsert", "<u uname=\"keeper\"><p>Passw0rd</p></u>"), 0);
  ASSERT_EQ(
      post("domainInsert", "<d name=\"Tenant\" parentId=\"" + root_id + "\"/><p>Tenant0pw</p>"), 0);
  const std::string tenant_logs = server.current() + "/" + inserted_id() + "/auditlogs";
  ASSERT_EQ(user_inserts_when(1), std::vector<std::string>{"user keeper"});
  ASSERT_EQ(server.stop(), 0);

  // Both lock files lost, and three stray bytes of a torn record behind the last entry.
  fs::remove(logs + "/.lock");
  fs::remove(tenant_logs + "/.lock");
  const std::set<std::string> days = day_files(logs);
  ASSERT_FALSE(days.empty());
  const std::string last_day = *days.rbegin();
  const std::string whole = read(last_day);
  const std::string stray("\x31\x00\x05", 3);
  append(last_day, stray);

  // The same database comes back: the root's user, the tenant and its Administrator.
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  ASSERT_FALSE(admin.empty());
  EXPECT_TRUE(user_exists("keeper"));
  EXPECT_FALSE(server.token("Administrator", "Tenant0pw", "Tenant").empty());
  EXPECT_TRUE(fs::is_regular_file(logs + "/.lock"));
  EXPECT_TRUE(fs::is_regular_file(tenant_logs + "/.lock"));
  // The stray bytes are gone; what the server wrote since follows the last whole entry.
  const std::string now_there = read(last_day);
  EXPECT_EQ(now_there.substr(0, whole.size()), whole);
  EXPECT_NE(now_there.substr(whole.size(), stray.size()), stray);

  // Entries written after the cut are read with those before it.
  ASSERT_EQ(post("userInsert", "<u uname=\"second\"><p>Passw0rd</p></u>"), 0);
  EXPECT_EQ(user_inserts_when(2), (std::vector<std::string>{"user keeper", "user second"}));

  // A record damaged inside a day file is no torn tail: it stays, and reading the log past it
  // is an error, not the entries before it.
  ASSERT_EQ(server.stop(), 0);
  const std::string first_day = *day_files(logs).begin();
  {
    std::fstream f(first_day, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.write("\x7f\x7f\x7f\x7f\x7f\x7f\x7f", 7);
  }
  const std::string damaged = read(first_day);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  std::vector<std::string> got;
  EXPECT_EQ(user_inserts(&got), 0x13);
  EXPECT_EQ(read(first_day).substr(0, damaged.size()), damaged);

  // The root can't be loaded: start-up stops with an error instead of making a new root.
  ASSERT_EQ(server.stop(), 0);
  const uintmax_t domains_size = fs::file_size(server.current() + "/domains");
  fs::rename(logs, logs + ".away");
  std::ofstream(logs) << "not a directory";
  EXPECT_FALSE(server.start());
  EXPECT_NE(server.start_exit_status(), 0);
  EXPECT_NE(server.log().find("root domain"), std::string::npos) << server.log();
  const std::string log = server.log();
  const size_t initialised = log.find("-- initialize database --");
  EXPECT_NE(initialised, std::string::npos);  // at the first start only
  EXPECT_EQ(log.find("-- initialize database --", initialised + 1), std::string::npos);
  EXPECT_EQ(fs::file_size(server.current() + "/domains"), domains_size);

  // Put back, the database is the one it was.
  fs::remove(logs);
  fs::rename(logs + ".away", logs);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  EXPECT_TRUE(user_exists("keeper"));
  EXPECT_FALSE(server.token("Administrator", "Tenant0pw", "Tenant").empty());
}

}  // namespace
}  // namespace orvane_test
