// What a crash leaves in the record files, and how loading repairs it: the copy left by an
// interrupted removal, a partial record, and the records of a change spanning several files
// that stopped half-way (owners are removed first and written last, so the leftovers are
// records whose owner is gone).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "config.h"
#include "db/filedb_fixed.h"
#include "db/filedb_index.h"
#include "objects/domains/domain.h"
#include "objects/groups/group.h"
#include "objects/permissions/permission.h"
#include "objects/record.h"
#include "objects/record_repair.h"
#include "objects/resources/resource.h"
#include "objects/users/user.h"
#include "support/process.h"
#include "support/server_fixture.h"
#include "utils/uid.h"

namespace orvane {
namespace {

namespace fs = std::filesystem;

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

uint64_t key_of(const std::string& rec) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(rec[i]);
  return v;
}

std::vector<std::string> records_of(const std::string& path, uint32_t size) {
  const std::string bytes = read_bytes(path);
  std::vector<std::string> out;
  for (size_t off = 0; off + size <= bytes.size(); off += size)
    out.push_back(bytes.substr(off, size));
  return out;
}

std::string join(const std::vector<std::string>& recs) {
  std::string out;
  for (const auto& r : recs) out += r;
  return out;
}

std::vector<uint64_t> keys_of(const std::string& path, uint32_t size) {
  std::vector<uint64_t> out;
  for (const auto& r : records_of(path, size)) out.push_back(key_of(r));
  return out;
}

std::string make_record(uint32_t size, uint64_t id, uint8_t fill) {
  record rec(size);
  rec.put_u64(0, id);
  for (uint32_t i = 8; i < size; ++i) rec.put_u8(i, fill);
  return std::string(reinterpret_cast<const char*>(rec.data()), size);
}

// --- record_load_repair on a plain file ---

class RecordRepairTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kSize = 20;
  void SetUp() override {
    path_ = dir_.path() + "/things";
    db_ = record_file(path_, kSize, 0600);
  }
  // Walks the file, keeping what keep keeps; returns the keys seen, in order.
  std::vector<uint64_t> load(const std::function<bool(uint64_t)>& keep = nullptr) {
    std::vector<uint64_t> seen;
    EXPECT_EQ(record_load_repair(db_,
                                 [&](const record& rec) {
                                   seen.push_back(rec.get_u64(0));
                                   return keep ? keep(rec.get_u64(0)) : true;
                                 }),
              0);
    return seen;
  }
  orvane_test::temp_dir dir_;
  std::string path_;
  kt::filedb_fixed db_;
};

TEST_F(RecordRepairTest, CopyLeftByAnInterruptedRemovalIsDropped) {
  // [a b c] with b removed: c was written over b, the truncation never came.
  const std::string a = make_record(kSize, 1, 'a'), c = make_record(kSize, 3, 'c');
  write_bytes(path_, a + c + c);
  ::chmod(path_.c_str(), 0600);
  EXPECT_EQ(load(), (std::vector<uint64_t>{1, 3}));
  EXPECT_EQ(read_bytes(path_), a + c);
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(fs::exists(path_ + ".repair"));

  // Without the repair, an edit changes only the first copy and a later removal moves the
  // stale one in front: the edit would be lost.
  const std::string c2 = make_record(kSize, 3, 'C');
  ASSERT_EQ(db_.edit(0, c2.data(), c2.data()), 0);
  ASSERT_EQ(record_db_remove(db_, 1), 0);
  EXPECT_EQ(read_bytes(path_), c2);
}

TEST_F(RecordRepairTest, LaterCopiesOfAKeyGoEvenWhenTheyDiffer) {
  // Lookups only ever reach the first record of a key.
  const std::string a = make_record(kSize, 1, 'a'), b = make_record(kSize, 2, 'b');
  write_bytes(path_, a + b + make_record(kSize, 1, 'x') + make_record(kSize, 2, 'y'));
  EXPECT_EQ(load(), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(read_bytes(path_), a + b);
}

TEST_F(RecordRepairTest, PartialRecordAtTheEndIsCutOff) {
  const std::string a = make_record(kSize, 1, 'a'), b = make_record(kSize, 2, 'b');
  write_bytes(path_, a + b + make_record(kSize, 3, 'c').substr(0, 7));
  EXPECT_EQ(load(), (std::vector<uint64_t>{1, 2}));
  EXPECT_EQ(read_bytes(path_), a + b);
  // The file takes new records again.
  const std::string c = make_record(kSize, 3, 'c');
  EXPECT_EQ(db_.insert(0, c.data(), c.data()), 0);
  EXPECT_EQ(read_bytes(path_), a + b + c);
}

TEST_F(RecordRepairTest, DroppedRecordsGoAndTheOrderStays) {
  std::string bytes;
  for (uint64_t id = 1; id <= 5000; ++id) bytes += make_record(kSize, id, 'r');  // several blocks
  write_bytes(path_, bytes);
  EXPECT_EQ(load([](uint64_t id) { return id % 3 != 0; }).size(), 5000u);
  const std::vector<uint64_t> keys = keys_of(path_, kSize);
  ASSERT_EQ(keys.size(), 5000u - 5000u / 3);
  for (size_t i = 1; i < keys.size(); ++i) EXPECT_LT(keys[i - 1], keys[i]);
  for (uint64_t id : keys) EXPECT_NE(id % 3, 0u);
}

TEST_F(RecordRepairTest, SoundFileIsNotRewritten) {
  write_bytes(path_, make_record(kSize, 1, 'a') + make_record(kSize, 2, 'b'));
  struct stat before, after;
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  EXPECT_EQ(load().size(), 2u);
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(RecordRepairTest, MissingFileIsEmptyAndNotCreated) {
  EXPECT_TRUE(load().empty());
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(RecordRepairTest, KeysReadAreNotHandedOutAgain) {
  // Slightly ahead of the identifiers handed out so far (the counter is shared by the process).
  const uint64_t ahead = kt::uid_time_seq() + 5;
  write_bytes(path_, make_record(kSize, ahead, 'a') + make_record(kSize, ahead, 'a'));
  load();
  EXPECT_GT(kt::uid_time_seq(), ahead);
}

TEST_F(RecordRepairTest, UnreadableFileIsLeftAlone) {
  fs::create_directory(path_);  // open() fails
  EXPECT_NE(record_load_repair(db_, [](const record&) { return true; }), 0);
  EXPECT_TRUE(fs::is_directory(path_));
}

// --- loading a domain after a crash, through the server ---

class CrashRepairTest : public orvane_test::server_fixture {
 protected:
  void SetUp() override {
    server_fixture::SetUp();
    admin_ = admin_token();
    domain_id_ = domain_named("ORVANE")->id;
  }

  std::string file(const std::string& name) const {
    return path_domain_file(domain_id_, name.c_str());
  }
  std::string member_file(const char* kind, uint64_t group) const {
    return file(std::string("group_") + kind + "_" + std::to_string(group));
  }

  uint32_t cmd(const std::string& name, const std::string& body) {
    return run("<orvane><" + name + " domain='ORVANE' token='" + admin_ + "'>" + body + "</" +
               name + "></orvane>");
  }
  uint64_t inserted(const std::string& name, const std::string& body) {
    EXPECT_EQ(cmd(name, body), 0u) << name << " " << body;
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }
  uint64_t group(const std::string& name, const std::string& children = "") {
    return inserted("groupInsert", "<g name='" + name + "'>" + children + "</g>");
  }
  // A user in one group.
  uint64_t member(const std::string& name, uint64_t group) {
    return inserted("userInsert",
                    "<u uname='" + name + "'><p>Passw0rd</p>" + memberof(group) + "</u>");
  }
  static std::string memberof(uint64_t group) {
    return "<memberof><g id='" + std::to_string(group) + "'/></memberof>";
  }
  static std::string grant(uint32_t type, uint64_t member) {
    return "<permissions><p id='0' memberType='" + std::to_string(type) + "' memberId='" +
           std::to_string(member) + "' flags='3'/></permissions>";
  }
  uint64_t resource(const std::string& name, uint64_t parent, const std::string& children = "") {
    return inserted("resourceInsert", "<r name='" + name + "' type='3' parentId='" +
                                          std::to_string(parent) + "'>" + children + "</r>");
  }

  // Takes the records of an identifier out of a file, as the first step of a removal does.
  void drop_from(const std::string& path, uint32_t size, uint64_t id) {
    std::vector<std::string> kept;
    for (auto& r : records_of(path, size)) {
      if (key_of(r) != id) kept.push_back(std::move(r));
    }
    write_bytes(path, join(kept));
  }

  // Stops the server (as a crash would, the files stay as they are), lets edit change the files
  // and starts again.
  void crash_and_restart(const std::function<void()>& edit, bool login = true) {
    stop();
    edit();
    kt::filedb_index::forget_all();
    start();
    if (login) admin_ = admin_token();
  }

  kt::ref_ptr<domain> dom() { return domain_named("ORVANE"); }

  std::string admin_;
  uint64_t domain_id_ = 0;
};

TEST_F(CrashRepairTest, InterruptedRemovalDoesNotBringBackAnOldRecord) {
  const uint64_t a = add_user("alpha"), b = add_user("bravo"), c = add_user("charlie");
  crash_and_restart([&] {
    // bravo's removal stopped after charlie (the last record) was written over it.
    std::vector<std::string> recs = records_of(file("users"), USER_RECORD_SIZE);
    ASSERT_EQ(key_of(recs.back()), c);
    for (auto& r : recs) {
      if (key_of(r) == b) r = recs.back();
    }
    write_bytes(file("users"), join(recs));
  });
  const std::vector<uint64_t> keys = keys_of(file("users"), USER_RECORD_SIZE);
  EXPECT_EQ(std::count(keys.begin(), keys.end(), c), 1);
  EXPECT_FALSE(dom()->users_by_id.get_rw(b));

  // An edit of charlie and a removal before it survive the next restart.
  ASSERT_EQ(cmd("userEdit", "<u id='" + std::to_string(c) + "' uname='carl'/>"), 0u);
  ASSERT_EQ(cmd("userRemove", "<u id='" + std::to_string(a) + "'/>"), 0u);
  restart();
  kt::ref_ptr<user> carl = dom()->users_by_id.get_rw(c);
  ASSERT_TRUE(carl);
  EXPECT_EQ(carl->uname, "carl");
  EXPECT_FALSE(dom()->users_by_id.get_rw(a));
  EXPECT_FALSE(dom()->users_by_name.get_rw("charlie"));
}

TEST_F(CrashRepairTest, PartialRecordAtTheEndIsCutAndInsertsWorkAgain) {
  const uint64_t a = add_user("alpha");
  crash_and_restart([&] {
    std::ofstream(file("users"), std::ios::binary | std::ios::app) << std::string(100, 'x');
    std::ofstream(file("groups"), std::ios::binary | std::ios::app) << std::string(30, 'x');
  });
  EXPECT_EQ(fs::file_size(file("users")) % USER_RECORD_SIZE, 0u);
  EXPECT_EQ(fs::file_size(file("groups")) % GROUP_RECORD_SIZE, 0u);
  const uint64_t b = add_user("bravo");
  const uint64_t g = group("team");
  ASSERT_NE(b, 0u);
  ASSERT_NE(g, 0u);
  restart();
  EXPECT_TRUE(dom()->users_by_id.get_rw(a));
  EXPECT_TRUE(dom()->users_by_id.get_rw(b));
  EXPECT_TRUE(dom()->groups_by_id.get_rw(g));
}

TEST_F(CrashRepairTest, UserRemovalCutShortLeavesNoMembershipOrPermission) {
  const uint64_t g = group("team");
  const uint64_t u = member("alpha", g);
  const uint64_t r = resource("app", 0, grant(MEMBER_USER, u));
  ASSERT_EQ(records_of(member_file("users", g), GROUP_MEMBER_RECORD_SIZE).size(), 1u);

  // The user's record went first; the crash came before the member and permission records.
  crash_and_restart([&] { drop_from(file("users"), USER_RECORD_SIZE, u); });
  EXPECT_FALSE(dom()->users_by_id.get_rw(u));
  EXPECT_TRUE(records_of(member_file("users", g), GROUP_MEMBER_RECORD_SIZE).empty());
  for (const auto& p : records_of(file("permissions"), PERMISSION_RECORD_SIZE)) {
    EXPECT_NE(
        record(reinterpret_cast<const uint8_t*>(p.data()), PERMISSION_RECORD_SIZE).get_u64(24), u);
  }
  EXPECT_EQ(dom()->resources_by_id.get_rw(r)->permissions.count(), 0u);
  EXPECT_EQ(dom()->groups_by_id.get_rw(g)->member_users.count(), 0u);
}

TEST_F(CrashRepairTest, GroupRemovalCutShortLeavesNoTrace) {
  const uint64_t parent = group("parent");
  const uint64_t g = group("child", memberof(parent));
  const uint64_t below = group("below", memberof(g));
  const uint64_t u = member("alpha", g);
  const uint64_t r = resource("app", 0, grant(MEMBER_GROUP, g));
  ASSERT_TRUE(fs::exists(member_file("users", g)));
  ASSERT_TRUE(fs::exists(member_file("groups", g)));

  crash_and_restart([&] { drop_from(file("groups"), GROUP_RECORD_SIZE, g); });
  EXPECT_FALSE(dom()->groups_by_id.get_rw(g));
  EXPECT_FALSE(fs::exists(member_file("users", g)));
  EXPECT_FALSE(fs::exists(member_file("groups", g)));
  EXPECT_TRUE(records_of(member_file("groups", parent), GROUP_MEMBER_RECORD_SIZE).empty());
  EXPECT_EQ(dom()->resources_by_id.get_rw(r)->permissions.count(), 0u);
  EXPECT_EQ(dom()->users_by_id.get_rw(u)->groups.count(), 0u);
  EXPECT_EQ(dom()->groups_by_id.get_rw(below)->member_of.count(), 0u);
  EXPECT_EQ(dom()->groups_by_id.get_rw(parent)->member_groups.count(), 0u);

  // A group made afterwards starts empty.
  const uint64_t fresh = group("fresh");
  EXPECT_EQ(dom()->groups_by_id.get_rw(fresh)->member_users.count(), 0u);
}

TEST_F(CrashRepairTest, ResourceRemovalCutShortTakesTheSubtreeAndItsPermissions) {
  const uint64_t u = add_user("alpha");
  const uint64_t top = resource("top", 0, grant(MEMBER_USER, u));
  const uint64_t mid = resource("mid", top, grant(MEMBER_USER, u));
  const uint64_t leaf = resource("leaf", mid, grant(MEMBER_USER, u));
  const uint64_t other = resource("other", 0, grant(MEMBER_USER, u));
  const size_t before = records_of(file("permissions"), PERMISSION_RECORD_SIZE).size();

  crash_and_restart([&] { drop_from(file("resources"), RESOURCE_RECORD_SIZE, top); });
  for (uint64_t id : {top, mid, leaf}) {
    EXPECT_FALSE(dom()->resources_by_id.get_rw(id)) << id;
    for (uint64_t key : keys_of(file("resources"), RESOURCE_RECORD_SIZE)) EXPECT_NE(key, id);
  }
  EXPECT_EQ(records_of(file("permissions"), PERMISSION_RECORD_SIZE).size(), before - 3);
  EXPECT_TRUE(dom()->resources_by_id.get_rw(other));
  EXPECT_EQ(dom()->users_by_id.get_rw(u)->permissions.count(), 1u);
}

TEST_F(CrashRepairTest, RecordsWrittenAheadOfAnOwnerThatNeverCameAreDropped) {
  const uint64_t g = group("team");
  const uint64_t u = add_user("alpha");
  const uint64_t r = resource("app", 0);
  const uint64_t never = kt::uid_time_seq();  // the insertion the crash cut short
  crash_and_restart([&] {
    record member(GROUP_MEMBER_RECORD_SIZE);
    member.put_u64(0, never);
    member.put_u32(8, MEMBER_USER);
    std::ofstream(member_file("users", g), std::ios::binary | std::ios::app)
        .write(reinterpret_cast<const char*>(member.data()), member.size());
    std::ofstream(member_file("groups", g), std::ios::binary | std::ios::app)
        .write(reinterpret_cast<const char*>(member.data()), member.size());  // as a group too
    record perm(PERMISSION_RECORD_SIZE);
    perm.put_u64(0, kt::uid_time_seq());
    perm.put_u32(8, PERMISSION_TARGET_RESOURCE);
    perm.put_u64(12, never);  // a resource that was never written
    perm.put_u32(20, MEMBER_USER);
    perm.put_u64(24, u);
    perm.put_u16(32, 3);
    std::ofstream(file("permissions"), std::ios::binary | std::ios::app)
        .write(reinterpret_cast<const char*>(perm.data()), perm.size());
    // An orphan member file: its group's insertion never completed either.
    std::ofstream(member_file("users", never), std::ios::binary)
        .write(reinterpret_cast<const char*>(member.data()), member.size());
  });
  EXPECT_TRUE(records_of(member_file("users", g), GROUP_MEMBER_RECORD_SIZE).empty());
  EXPECT_TRUE(records_of(member_file("groups", g), GROUP_MEMBER_RECORD_SIZE).empty());
  EXPECT_TRUE(records_of(file("permissions"), PERMISSION_RECORD_SIZE).size() > 0);
  for (const auto& p : records_of(file("permissions"), PERMISSION_RECORD_SIZE)) {
    EXPECT_NE(
        record(reinterpret_cast<const uint8_t*>(p.data()), PERMISSION_RECORD_SIZE).get_u64(12),
        never);
  }
  EXPECT_FALSE(fs::exists(member_file("users", never)));
  EXPECT_TRUE(dom()->resources_by_id.get_rw(r));
}

TEST_F(CrashRepairTest, UnreadableOwnerFileCostsNoRecords) {
  const uint64_t g = group("team");
  const uint64_t u = member("alpha", g);
  const uint64_t r = resource("app", 0, grant(MEMBER_USER, u));
  const size_t perms = records_of(file("permissions"), PERMISSION_RECORD_SIZE).size();
  crash_and_restart(
      [&] {
        fs::rename(file("users"), file("users.aside"));
        fs::create_directory(file("users"));  // the users file can't be opened
      },
      false);
  EXPECT_EQ(records_of(member_file("users", g), GROUP_MEMBER_RECORD_SIZE).size(), 1u);
  EXPECT_EQ(records_of(file("permissions"), PERMISSION_RECORD_SIZE).size(), perms);

  crash_and_restart([&] {
    fs::remove(file("users"));
    fs::rename(file("users.aside"), file("users"));
  });
  kt::ref_ptr<user> alpha = dom()->users_by_id.get_rw(u);
  ASSERT_TRUE(alpha);
  EXPECT_TRUE(alpha->groups.get_rw(g));
  EXPECT_TRUE(alpha->permissions.get_rw(r));
}

TEST_F(CrashRepairTest, InsertRefusedByTheStoreLeavesNoMemberOrPermissionRecord) {
  const uint64_t g = group("team");
  const uint64_t u = add_user("alpha");
  const size_t perms = records_of(file("permissions"), PERMISSION_RECORD_SIZE).size();

  // The owner's record is written last; when the store refuses it, the records written ahead
  // of it are taken back.
  fs::rename(file("users"), file("users.aside"));
  fs::create_directory(file("users"));
  kt::filedb_index::forget_all();
  EXPECT_NE(cmd("userInsert", "<u uname='bravo'><p>Passw0rd</p>" + memberof(g) + "</u>"), 0u);
  EXPECT_TRUE(records_of(member_file("users", g), GROUP_MEMBER_RECORD_SIZE).empty());
  EXPECT_EQ(dom()->groups_by_id.get_rw(g)->member_users.count(), 0u);
  fs::remove(file("users"));
  fs::rename(file("users.aside"), file("users"));

  fs::rename(file("resources"), file("resources.aside"));
  fs::create_directory(file("resources"));
  kt::filedb_index::forget_all();
  EXPECT_NE(cmd("resourceInsert",
                "<r name='app' type='3' parentId='0'>" + grant(MEMBER_USER, u) + "</r>"),
            0u);
  EXPECT_EQ(records_of(file("permissions"), PERMISSION_RECORD_SIZE).size(), perms);
  EXPECT_EQ(dom()->users_by_id.get_rw(u)->permissions.count(), 0u);
  fs::remove(file("resources"));
  fs::rename(file("resources.aside"), file("resources"));

  const uint64_t parent = group("parent");
  fs::rename(file("groups"), file("groups.aside"));
  fs::create_directory(file("groups"));
  kt::filedb_index::forget_all();
  EXPECT_NE(cmd("groupInsert", "<g name='child'>" + memberof(parent) + "</g>"), 0u);
  EXPECT_TRUE(records_of(member_file("groups", parent), GROUP_MEMBER_RECORD_SIZE).empty());
  EXPECT_EQ(dom()->groups_by_id.get_rw(parent)->member_groups.count(), 0u);
  fs::remove(file("groups"));
  fs::rename(file("groups.aside"), file("groups"));
  kt::filedb_index::forget_all();

  restart();
  EXPECT_FALSE(dom()->users_by_name.get_rw("bravo"));
  EXPECT_FALSE(dom()->resources_by_name.get_rw("app"));
  EXPECT_FALSE(dom()->groups_by_name.get_rw("child"));
}

}  // namespace
}  // namespace orvane
