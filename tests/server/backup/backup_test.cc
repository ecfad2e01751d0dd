// backupCreate, backupRestore, backupDestroy and backupSearch through the dispatcher, and the
// restore that start-up resumes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config.h"
#include "errors.h"
#include "objects/backup/backup.h"
#include "objects/domains/domain.h"
#include "support/server_fixture.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

class BackupTest : public orvane_test::server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    admin = admin_token();
  }
  void TearDown() override {
    if (!saved_path.empty()) setenv("PATH", saved_path.c_str(), 1);
    server_fixture::TearDown();
  }

  uint32_t cmd(const std::string& name, const std::string& body, const std::string& attrs = "",
               const std::string& tok = "", const std::string& dom = "ORVANE") {
    return run("<orvane><" + name + " domain=\"" + dom + "\" token=\"" +
               (tok.empty() ? admin : tok) + "\"" + attrs + ">" + body + "</" + name +
               "></orvane>");
  }
  // backupCreate; returns the new identifier, or 0.
  uint64_t create(const std::string& name, const std::string& tok = "",
                  const std::string& dom = "ORVANE") {
    if (cmd("backupCreate", name, "", tok, dom) != 0) return 0;
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }
  uint32_t restore(uint64_t id, const std::string& tok = "", const std::string& dom = "ORVANE") {
    return cmd("backupRestore", "", " id=\"" + std::to_string(id) + "\"", tok, dom);
  }
  uint32_t destroy(uint64_t id, const std::string& tok = "", const std::string& dom = "ORVANE") {
    return cmd("backupDestroy", "", " id=\"" + std::to_string(id) + "\"", tok, dom);
  }
  // The names backupSearch answers, in order.
  std::vector<std::string> names(const std::string& tok = "", const std::string& dom = "ORVANE") {
    std::vector<std::string> out;
    EXPECT_EQ(cmd("backupSearch", "", "", tok, dom), 0u) << response_text();
    if (const kt::xmldoc_node* b = answer("backups")) {
      for (const auto& e : b->children()) out.push_back(e->value());
    }
    return out;
  }
  bool user_exists(const std::string& name) {
    cmd("userSearch", "<s>^" + name + "$</s>");
    const kt::xmldoc_node* users = answer("users");
    return users != nullptr && users->child_count() == 1;
  }
  // Whether the audit log shows an entry of the command with the text (the writer thread may
  // still hold it for a moment).
  bool audited(const std::string& api, const std::string& text) {
    for (int i = 0; i < 100; ++i) {
      if (cmd("getAuditLog", "", " api=\"" + api + "\" from=\"0\" to=\"4000000000\"") == 0 &&
          response_text().find(text) != std::string::npos) {
        return true;
      }
      ::usleep(20000);
    }
    return false;
  }
  // Everything in the backup directory, the restore stage included.
  std::vector<std::string> backup_dir_entries() {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(path_backup_dir(), ec)) {
      out.push_back(e.path().filename().string());
    }
    return out;
  }
  void set_restoring_flag(uint64_t id) {
    backup b;
    ASSERT_EQ(backup_db_find(id, &b), 0);
    b.flags |= BACKUP_FLAG_RESTORING;
    ASSERT_EQ(backup_db_edit(b), 0);
  }
  // Replaces PATH with a directory holding only a "tar" that fails.
  void failing_tar() {
    const std::string dir = root() + "/fakebin";
    fs::create_directories(dir);
    std::ofstream(dir + "/tar") << "#!/bin/sh\nexit 2\n";
    fs::permissions(dir + "/tar", fs::perms::owner_all);
    saved_path = getenv("PATH");
    setenv("PATH", dir.c_str(), 1);
  }

  std::string admin;
  std::string saved_path;
};

TEST_F(BackupTest, RestoreBringsBackTheOldStateAlsoAfterRestart) {
  add_user("keeper");
  const uint64_t id = create("nightly");
  ASSERT_NE(id, 0u) << response_text();

  backup b;
  ASSERT_EQ(backup_db_find(id, &b), 0);
  EXPECT_EQ(b.name, "nightly");
  EXPECT_EQ(b.domain_id, domain_named("ORVANE")->id);
  EXPECT_NE(b.user_id, 0u);
  EXPECT_EQ(b.flags, 0u);
  // Owner-only archive and list; no working directory left.
  struct stat st {};
  ASSERT_EQ(::stat(backup_archive_path(b).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(path_backups_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(backup_dir_entries(), std::vector<std::string>{backup_base_name(b) + ".tar.gz"});

  ASSERT_EQ(cmd("backupSearch", ""), 0u);
  const kt::xmldoc_node* list = answer("backups");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->child_count(), 1u);
  const kt::xmldoc_node* e = list->first_child();
  EXPECT_EQ(e->name(), "backup");
  EXPECT_EQ(e->attr_get_value("id"), std::to_string(id));
  EXPECT_EQ(e->attr_get_value("user"), std::to_string(b.user_id));
  EXPECT_EQ(e->attr_get_value("time"), std::to_string(b.created));
  EXPECT_EQ(e->value(), "nightly");

  EXPECT_TRUE(audited("backupCreate", "backup nightly (" + std::to_string(id) + ") added / "));

  add_user("newcomer");
  ASSERT_EQ(cmd("userRemove", "<u uname=\"keeper\"/>"), 0u);
  ASSERT_TRUE(user_exists("newcomer"));

  ASSERT_EQ(restore(id), 0u) << response_text();
  // Every token of the domain went with the old objects.
  EXPECT_EQ(cmd("backupSearch", ""), E_TOKEN_NOT_FOUND);
  admin = admin_token();
  EXPECT_TRUE(user_exists("keeper"));
  EXPECT_FALSE(user_exists("newcomer"));
  token("keeper", "Passw0rd");
  ASSERT_EQ(backup_db_find(id, &b), 0);
  EXPECT_EQ(b.flags, 0u);
  EXPECT_EQ(backup_dir_entries(), std::vector<std::string>{backup_base_name(b) + ".tar.gz"});
  // The restored audit log is open again and takes the restore's entry.
  EXPECT_TRUE(audited("backupRestore", "backup nightly (" + std::to_string(id) + ") restored / "));

  restart();
  admin = admin_token();
  EXPECT_TRUE(user_exists("keeper"));
  EXPECT_FALSE(user_exists("newcomer"));
  EXPECT_EQ(names(), std::vector<std::string>{"nightly"});
}

TEST_F(BackupTest, NamesAreStoredAndUsedLiterally) {
  const std::vector<std::string> odd = {"with blanks",
                                        "quote\"s and 'single'",
                                        "semi;colon; rm -rf ~",
                                        "$(touch pwned)",
                                        "`touch pwned`",
                                        "-rf",
                                        "host:file",
                                        "back\\nslash\\\\ *?[x]",
                                        "--checkpoint=1 --checkpoint-action=exec=touch pwned",
                                        std::string(BACKUP_NAME_MAX, 'n')};
  std::vector<uint64_t> ids;
  for (const std::string& name : odd) {
    const uint64_t id = create(name);
    ASSERT_NE(id, 0u) << name << ": " << response_text();
    ids.push_back(id);
  }
  EXPECT_EQ(cmd("backupCreate", "$(touch /tmp/x)"), E_NAME_INVALID);
  EXPECT_EQ(names(), odd);
  add_user("later");
  for (const uint64_t id : ids) {
    EXPECT_EQ(restore(id), 0u) << id;
    admin = admin_token();
  }
  EXPECT_FALSE(user_exists("later"));
  for (const uint64_t id : ids) EXPECT_EQ(destroy(id), 0u) << id;
  EXPECT_TRUE(names().empty());
  EXPECT_TRUE(backup_dir_entries().empty());
  EXPECT_FALSE(fs::exists("pwned"));
  EXPECT_FALSE(fs::exists(root() + "/pwned"));
  EXPECT_FALSE(fs::exists(path_current() + "/pwned"));
}

TEST_F(BackupTest, NamesThatAreNoPathComponentAreRefused) {
  EXPECT_EQ(validate_backup_name(""), E_NAME_INVALID);
  EXPECT_EQ(validate_backup_name(std::string("a\0b", 3)), E_NAME_INVALID);
  EXPECT_EQ(validate_backup_name(std::string(BACKUP_NAME_MAX + 1, 'n')), E_NAME_INVALID);
  EXPECT_EQ(validate_backup_name(std::string(BACKUP_NAME_MAX, 'n')), E_OK);
  EXPECT_EQ(validate_backup_name("..."), E_OK);
  backup b;
  EXPECT_EQ(backup_create(g(), *domain_named("ORVANE"), 1, "", &b), E_NAME_INVALID);

  for (const char* name : {".", "..", "a/b", "/", "../x"}) {
    EXPECT_EQ(cmd("backupCreate", name), E_NAME_INVALID) << name;
  }
  EXPECT_EQ(cmd("backupCreate", std::string(BACKUP_NAME_MAX + 1, 'n')), E_NAME_INVALID);
  // No text at all is a missing name.
  EXPECT_EQ(cmd("backupCreate", ""), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("backupRestore", ""), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("backupDestroy", ""), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("backupRestore", "", " id=\"12x\""), E_INVALID_REQUEST);
  EXPECT_EQ(cmd("backupDestroy", "", " id=\"-1\""), E_INVALID_REQUEST);
  EXPECT_TRUE(names().empty());
  EXPECT_TRUE(backup_dir_entries().empty());
}

TEST_F(BackupTest, UnknownAndForeignBackupsAreNotFound) {
  EXPECT_EQ(restore(12345), E_OBJECT_NOT_FOUND);
  EXPECT_EQ(destroy(12345), E_OBJECT_NOT_FOUND);

  const uint64_t root_id = domain_named("ORVANE")->id;
  ASSERT_EQ(cmd("domainInsert",
                "<d name=\"Sub\" parentId=\"" + std::to_string(root_id) + "\"/><p>Secr3tPw</p>"),
            0u)
      << response_text();
  const std::string sub_admin = token("Administrator", "Secr3tPw", "Sub");
  const uint64_t sub_backup = create("sub", sub_admin, "Sub");
  ASSERT_NE(sub_backup, 0u) << response_text();
  const uint64_t root_backup = create("root");
  ASSERT_NE(root_backup, 0u);

  EXPECT_EQ(names(), std::vector<std::string>{"root"});
  EXPECT_EQ(names(sub_admin, "Sub"), std::vector<std::string>{"sub"});
  EXPECT_EQ(restore(sub_backup), E_OBJECT_NOT_FOUND);
  EXPECT_EQ(destroy(sub_backup), E_OBJECT_NOT_FOUND);
  EXPECT_EQ(restore(root_backup, sub_admin, "Sub"), E_OBJECT_NOT_FOUND);
  EXPECT_EQ(destroy(root_backup, sub_admin, "Sub"), E_OBJECT_NOT_FOUND);

  // A restore in the subdomain leaves the root alone.
  add_user("rootuser");
  ASSERT_EQ(restore(sub_backup, sub_admin, "Sub"), 0u) << response_text();
  EXPECT_TRUE(user_exists("rootuser"));
  EXPECT_EQ(cmd("backupSearch", ""), 0u);  // root tokens are untouched

  EXPECT_EQ(destroy(root_backup), 0u);
  EXPECT_EQ(destroy(root_backup), E_OBJECT_NOT_FOUND);
  EXPECT_EQ(names(token("Administrator", "Secr3tPw", "Sub"), "Sub"),
            std::vector<std::string>{"sub"});
}

TEST_F(BackupTest, EveryCommandNeedsItsRightOnOrvane) {
  const uint64_t id = create("guarded");
  ASSERT_NE(id, 0u);
  add_user("plain");
  const std::string plain = token("plain", "Passw0rd");
  EXPECT_EQ(cmd("backupCreate", "mine", "", plain), E_ACCESS_VIOLATION);
  EXPECT_EQ(restore(id, plain), E_ACCESS_VIOLATION);
  EXPECT_EQ(destroy(id, plain), E_ACCESS_VIOLATION);
  EXPECT_EQ(cmd("backupSearch", "", "", plain), E_ACCESS_VIOLATION);
  EXPECT_EQ(names(), std::vector<std::string>{"guarded"});
}

TEST_F(BackupTest, FailedCreateLeavesNothing) {
  // The backup directory is a file.
  fs::create_directories(path_current());
  std::ofstream(path_backup_dir()) << "x";
  EXPECT_EQ(cmd("backupCreate", "blocked"), E_GENERIC);
  fs::remove(path_backup_dir());
  EXPECT_TRUE(names().empty());

  // tar fails.
  failing_tar();
  EXPECT_EQ(cmd("backupCreate", "tarfails"), E_GENERIC);
  EXPECT_TRUE(backup_dir_entries().empty());
  EXPECT_TRUE(names().empty());

  // tar can't be found.
  setenv("PATH", (root() + "/nowhere").c_str(), 1);
  EXPECT_EQ(cmd("backupCreate", "notar"), E_GENERIC);
  EXPECT_TRUE(backup_dir_entries().empty());
  EXPECT_TRUE(names().empty());
}

TEST_F(BackupTest, SameBaseNameNeverOverwritesAnArchive) {
  domain& d = *domain_named("ORVANE");
  backup first;
  ASSERT_EQ(backup_create(g(), d, 1, "twin", &first), E_OK);
  backup second;
  const uint32_t rc = backup_create(g(), d, 1, "twin", &second);
  if (rc == E_OK) {
    EXPECT_NE(second.created, first.created);
  } else {
    EXPECT_EQ(rc, E_GENERIC);
    EXPECT_EQ(names(), std::vector<std::string>{"twin"});
  }
  EXPECT_TRUE(fs::exists(backup_archive_path(first)));
}

TEST_F(BackupTest, FailedRestoreLeavesTheDomainAsItWas) {
  const uint64_t id = create("broken");
  ASSERT_NE(id, 0u);
  add_user("survivor");
  backup b;
  ASSERT_EQ(backup_db_find(id, &b), 0);

  // A damaged archive.
  std::ofstream(backup_archive_path(b), std::ios::trunc) << "not a tar file";
  EXPECT_EQ(restore(id), E_GENERIC);
  EXPECT_TRUE(user_exists("survivor"));
  ASSERT_EQ(backup_db_find(id, &b), 0);
  EXPECT_EQ(b.flags, 0u);

  // An archive without the domain's directory.
  const std::string staging = root() + "/staging";
  fs::create_directories(staging + "/" + backup_base_name(b) + "/999");
  fs::remove(backup_archive_path(b));
  const std::string tar = "tar -czf '" + backup_archive_path(b) + "' -C '" + staging + "' '" +
                          backup_base_name(b) + "'";
  ASSERT_EQ(system(tar.c_str()), 0);
  EXPECT_EQ(restore(id), E_GENERIC);
  EXPECT_TRUE(user_exists("survivor"));

  // A failing tar.
  failing_tar();
  EXPECT_EQ(restore(id), E_GENERIC);
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_TRUE(user_exists("survivor"));
  token("survivor", "Passw0rd");
  EXPECT_EQ(cmd("getAuditLog", "", " api=\"userInsert\" from=\"0\" to=\"4000000000\""), 0u);

  restart();
  admin = admin_token();
  EXPECT_TRUE(user_exists("survivor"));
}

TEST_F(BackupTest, InterruptedRestoreFinishesAtStart) {
  const uint64_t id = create("resume");
  ASSERT_NE(id, 0u);
  add_user("afterwards");
  set_restoring_flag(id);
  // A stage left by the interrupted restore goes at start-up.
  fs::create_directories(path_backup_dir() + "/.restore/abcdef/x");

  restart();
  admin = admin_token();
  EXPECT_FALSE(user_exists("afterwards"));
  backup b;
  ASSERT_EQ(backup_db_find(id, &b), 0);
  EXPECT_EQ(b.flags, 0u);
  EXPECT_EQ(domain_named("ORVANE")->flags.load() & DOMAIN_FLAG_RESTORING, 0u);
  EXPECT_FALSE(fs::exists(path_backup_dir() + "/.restore"));

  // The restore itself was interrupted after the old directory went.
  add_user("again");
  set_restoring_flag(id);
  const std::string dir = path_domain_dir(domain_named("ORVANE")->id);
  stop();
  fs::remove_all(dir);
  start();
  admin = admin_token();
  EXPECT_FALSE(user_exists("again"));
  EXPECT_TRUE(user_exists("Administrator"));
}

TEST_F(BackupTest, RestoreThatFailsAtStartKeepsTheDomainsOwnState) {
  const uint64_t id = create("lost");
  ASSERT_NE(id, 0u);
  add_user("since");
  backup b;
  ASSERT_EQ(backup_db_find(id, &b), 0);
  set_restoring_flag(id);
  fs::remove(backup_archive_path(b));
  restart();
  // The domain loads from its own directory and no flag is left for the next start.
  ASSERT_EQ(backup_db_find(id, &b), 0);
  EXPECT_EQ(b.flags, 0u);
  EXPECT_EQ(domain_named("ORVANE")->flags.load() & DOMAIN_FLAG_RESTORING, 0u);
  admin = admin_token();
  EXPECT_TRUE(user_exists("since"));
}

TEST_F(BackupTest, DirectoryLeftInAStageByACrashIsPutBack) {
  const uint64_t id = create("swap");
  ASSERT_NE(id, 0u);
  add_user("kept");
  // A crash between the two renames of a restore: the domain's directory is in the stage.
  const uint64_t domain_id = domain_named("ORVANE")->id;
  const std::string stage =
      path_backup_dir() + "/.restore/" + std::to_string(domain_id) + "-Ab3dE9";
  stop();
  fs::create_directories(stage);
  fs::rename(path_domain_dir(domain_id), stage + "/previous");
  start();
  admin = admin_token();
  EXPECT_TRUE(user_exists("kept"));
  EXPECT_FALSE(fs::exists(path_backup_dir() + "/.restore"));
}

}  // namespace
}  // namespace orvane
