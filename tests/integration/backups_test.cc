// The backup commands against the real orvaned over HTTPS: backup, change, restore and restart;
// a restore cut short by a crash, also of a damaged archive; names that a shell would interpret;
// domains kept apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

class BackupsOverHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }

  long post(const std::string& command, const std::string& body, const std::string& attrs = "",
            const std::string& tok = "", const std::string& dom = "ORVANE") {
    const http_answer a = server.post("<orvane><" + command + " domain=\"" + dom + "\" token=\"" +
                                      (tok.empty() ? admin : tok) + "\"" + attrs + ">" + body +
                                      "</" + command + "></orvane>");
    doc = kt::xmldoc();
    EXPECT_EQ(doc.parse(a.body), 0) << a.body;
    return orvaned_process::code(a);
  }
  const kt::xmldoc_node* answer(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  std::string inserted_id() const {
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? id->value() : std::string();
  }
  std::string create(const std::string& name, const std::string& tok = "",
                     const std::string& dom = "ORVANE") {
    return post("backupCreate", name, "", tok, dom) == 0 ? inserted_id() : std::string();
  }
  long by_id(const char* command, const std::string& id, const std::string& tok = "",
             const std::string& dom = "ORVANE") {
    return post(command, "", " id=\"" + id + "\"", tok, dom);
  }
  std::vector<std::string> names(const std::string& tok = "", const std::string& dom = "ORVANE") {
    std::vector<std::string> out;
    EXPECT_EQ(post("backupSearch", "", "", tok, dom), 0);
    if (const kt::xmldoc_node* b = answer("backups")) {
      for (const auto& e : b->children()) out.push_back(e->value());
    }
    return out;
  }
  bool user_exists(const std::string& name) {
    EXPECT_EQ(post("userSearch", "<s>^" + name + "$</s>"), 0);
    const kt::xmldoc_node* users = answer("users");
    return users != nullptr && users->child_count() == 1;
  }
  // Sets (or reads) the restoring flag of a record of the backups file directly.
  bool write_flag(const std::string& id, bool set) {
    std::fstream f(server.current() + "/backups", std::ios::in | std::ios::out | std::ios::binary);
    char rec[160];
    const uint64_t want = std::stoull(id);
    for (std::streamoff off = 0; f.read(rec, sizeof rec); off += sizeof rec) {
      uint64_t key = 0;
      for (int i = 7; i >= 0; --i) key = key << 8 | static_cast<uint8_t>(rec[i]);
      if (key != want) continue;
      if (set) rec[28] = static_cast<char>(rec[28] | 1);
      f.seekp(off);
      f.write(rec, sizeof rec);
      return true;
    }
    return false;
  }
  int read_flags(const std::string& id) {
    std::ifstream f(server.current() + "/backups", std::ios::binary);
    char rec[160];
    const uint64_t want = std::stoull(id);
    while (f.read(rec, sizeof rec)) {
      uint64_t key = 0;
      for (int i = 7; i >= 0; --i) key = key << 8 | static_cast<uint8_t>(rec[i]);
      if (key == want) return static_cast<uint8_t>(rec[28]);
    }
    return -1;
  }

  orvaned_process server;
  std::string admin;
  kt::xmldoc doc;
};

TEST_F(BackupsOverHttpsTest, BackupChangeRestoreAndRestart) {
  ASSERT_EQ(post("userInsert", "<u uname=\"keeper\"><p>Passw0rd</p></u>"), 0);
  const std::string name = "nightly \"full\" 'copy'; $(touch pwned) `touch pwned` -rf";
  const std::string id = create(name);
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(names(), std::vector<std::string>{name});

  ASSERT_EQ(post("userInsert", "<u uname=\"newcomer\"><p>Passw0rd</p></u>"), 0);
  ASSERT_EQ(post("userRemove", "<u uname=\"keeper\"/>"), 0);
  ASSERT_EQ(by_id("backupRestore", id), 0);
  EXPECT_EQ(post("backupSearch", ""), 0x101);  // the domain's tokens are gone
  admin = server.token();
  ASSERT_FALSE(admin.empty());
  EXPECT_TRUE(user_exists("keeper"));
  EXPECT_FALSE(user_exists("newcomer"));
  EXPECT_FALSE(server.token("keeper", "Passw0rd").empty());

  ASSERT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  EXPECT_TRUE(user_exists("keeper"));
  EXPECT_FALSE(user_exists("newcomer"));
  EXPECT_EQ(names(), std::vector<std::string>{name});
  EXPECT_EQ(read_flags(id), 0);

  // Nothing a shell would have run did run.
  EXPECT_FALSE(fs::exists(server.root() + "/pwned"));
  EXPECT_FALSE(fs::exists(server.current() + "/pwned"));
  EXPECT_FALSE(fs::exists(server.current() + "/backup/pwned"));
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_EQ(post("backupCreate", "$(touch /tmp/x)"), 0x15);

  for (const char* bad : {".", "..", "a/b"}) EXPECT_EQ(post("backupCreate", bad), 0x15) << bad;
  EXPECT_EQ(post("backupCreate", ""), 0x10);
  EXPECT_EQ(by_id("backupRestore", "12345"), 0x16);
  EXPECT_EQ(by_id("backupDestroy", "12345"), 0x16);

  // Rights.
  ASSERT_EQ(post("userInsert", "<u uname=\"plain\"><p>Passw0rd</p></u>"), 0);
  const std::string plain = server.token("plain", "Passw0rd");
  ASSERT_FALSE(plain.empty());
  EXPECT_EQ(post("backupCreate", "mine", "", plain), 0x102);
  EXPECT_EQ(by_id("backupRestore", id, plain), 0x102);
  EXPECT_EQ(by_id("backupDestroy", id, plain), 0x102);
  EXPECT_EQ(post("backupSearch", "", "", plain), 0x102);

  EXPECT_EQ(by_id("backupDestroy", id), 0);
  EXPECT_TRUE(names().empty());
  EXPECT_EQ(by_id("backupDestroy", id), 0x16);
}

TEST_F(BackupsOverHttpsTest, RestoreCutShortByACrashFinishesAtTheNextStart) {
  const std::string id = create("before-crash");
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(post("userInsert", "<u uname=\"afterwards\"><p>Passw0rd</p></u>"), 0);
  ASSERT_TRUE(write_flag(id, true));
  server.kill_hard();

  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  ASSERT_FALSE(admin.empty());
  EXPECT_FALSE(user_exists("afterwards"));
  EXPECT_EQ(read_flags(id), 0);
  EXPECT_EQ(names(), std::vector<std::string>{"before-crash"});

  // Cut short again, and this time the archive is damaged: the restore fails, and the domain
  // keeps the state it had, loaded from its own directory, with no flag left behind.
  ASSERT_EQ(post("userInsert", "<u uname=\"meanwhile\"><p>Passw0rd</p></u>"), 0);
  ASSERT_TRUE(write_flag(id, true));
  server.kill_hard();
  std::vector<std::string> archives;
  for (const auto& e : fs::directory_iterator(server.current() + "/backup")) {
    if (e.path().string().ends_with(".tar.gz")) archives.push_back(e.path().string());
  }
  ASSERT_EQ(archives.size(), 1u);
  std::ofstream(archives[0], std::ios::binary | std::ios::trunc) << "not an archive";

  ASSERT_TRUE(server.start()) << server.log();
  EXPECT_NE(server.log().find("failed to restore backup " + id), std::string::npos);
  admin = server.token();
  ASSERT_FALSE(admin.empty());
  EXPECT_TRUE(user_exists("meanwhile"));
  EXPECT_EQ(read_flags(id), 0);
  // The next start has nothing left to restore.
  ASSERT_EQ(server.stop(), 0);
  ASSERT_TRUE(server.start()) << server.log();
  admin = server.token();
  EXPECT_TRUE(user_exists("meanwhile"));
}

TEST_F(BackupsOverHttpsTest, DomainsSeeOnlyTheirOwnBackups) {
  ASSERT_EQ(post("domainSearch", "<s>^ORVANE$</s>"), 0);
  std::string root_id;
  if (const kt::xmldoc_node* list = answer("domains")) {
    for (const auto& d : list->children()) {
      if (d->attr_get_value("name") == "ORVANE") root_id = d->attr_get_value("id");
    }
  }
  ASSERT_FALSE(root_id.empty());
  ASSERT_EQ(
      post("domainInsert", "<d name=\"Tenant\" parentId=\"" + root_id + "\"/><p>Secr3tPw</p>"), 0);
  const std::string tenant = server.token("Administrator", "Secr3tPw", "Tenant");
  ASSERT_FALSE(tenant.empty());
  const std::string theirs = create("theirs", tenant, "Tenant");
  ASSERT_FALSE(theirs.empty());
  const std::string ours = create("ours");
  ASSERT_FALSE(ours.empty());

  EXPECT_EQ(names(), std::vector<std::string>{"ours"});
  EXPECT_EQ(names(tenant, "Tenant"), std::vector<std::string>{"theirs"});
  EXPECT_EQ(by_id("backupRestore", theirs), 0x16);
  EXPECT_EQ(by_id("backupDestroy", theirs), 0x16);
  EXPECT_EQ(by_id("backupRestore", ours, tenant, "Tenant"), 0x16);
  EXPECT_EQ(by_id("backupRestore", theirs, tenant, "Tenant"), 0);

  // The backup directory turned into a file: no archive can be made and nothing is recorded.
  fs::rename(server.current() + "/backup", server.root() + "/backup.away");
  std::ofstream(server.current() + "/backup") << "x";
  EXPECT_EQ(post("backupCreate", "blocked"), 0x13);
  EXPECT_EQ(names(), std::vector<std::string>{"ours"});
}

}  // namespace
}  // namespace orvane_test
