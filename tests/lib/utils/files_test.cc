#include "utils/files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace kt {
namespace {

using ::testing::HasSubstr;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kt_files_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
  }
  void TearDown() override {
    const std::string cmd = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }

  std::string P(const std::string& rel) const { return root_ + "/" + rel; }
  void Touch(const std::string& rel) const { ASSERT_EQ(write_file(P(rel).c_str(), "x"), 0); }
  bool IsDir(const std::string& path) const {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  std::string root_;
};

TEST_F(FilesTest, ExistenceChecks) {
  Touch("f");
  EXPECT_EQ(file_exists(P("f").c_str()), 0);
  EXPECT_EQ(file_exists(P("missing").c_str()), -1);
  EXPECT_EQ(path_exists(root_.c_str()), 0);
  EXPECT_EQ(path_exists(P("missing").c_str()), -1);
  EXPECT_EQ(path_exists(P("f/below").c_str()), 1);  // ENOTDIR: can't be examined
}

TEST_F(FilesTest, PathCreateMakesEachMissingDirectory) {
  CaptureStderr();
  ASSERT_EQ(path_create(P("a//b/c/").c_str()), 0);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(err, "mkdir: " + P("a") + "\nmkdir: " + P("a//b") + "\nmkdir: " + P("a//b/c") + "\n");
  EXPECT_TRUE(IsDir(P("a/b/c")));
  struct stat st;
  ASSERT_EQ(stat(P("a/b").c_str(), &st), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0775u & ~mask);

  CaptureStderr();
  EXPECT_EQ(path_create(P("a/b/c").c_str()), 0);
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(FilesTest, PathCreateModeAndRelativePath) {
  ASSERT_EQ(chdir(root_.c_str()), 0);
  CaptureStderr();
  EXPECT_EQ(path_create("rel/x", 0700), 0);
  EXPECT_EQ(GetCapturedStderr(), "mkdir: rel\nmkdir: rel/x\n");
  struct stat st;
  ASSERT_EQ(stat(P("rel/x").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(chdir("/"), 0);
}

TEST_F(FilesTest, PathCreateFailures) {
  Touch("file");
  EXPECT_EQ(path_create(P("file").c_str()), -1);
  EXPECT_EQ(path_create(P("file/sub").c_str()), -1);
  EXPECT_EQ(path_create(""), -1);
  EXPECT_EQ(path_create(nullptr), -1);
  std::string longest = root_ + "/";
  longest += std::string(kPathCreateMax - longest.size(), 'n');
  EXPECT_EQ(path_create((longest + "n").c_str()), -1);  // one byte too long: nothing made
  EXPECT_EQ(path_exists(P("n").c_str()), -1);
}

TEST_F(FilesTest, PathRemoveTree) {
  ASSERT_EQ(path_create(P("t/a/b").c_str()), 0);
  ASSERT_EQ(path_create(P("t/empty").c_str()), 0);
  Touch("t/f1");
  Touch("t/a/f2");
  Touch("t/a/b/f3");
  Touch("t/.hidden");
  EXPECT_EQ(path_remove(P("t").c_str()), 0);
  EXPECT_EQ(path_exists(P("t").c_str()), -1);

  Touch("single");
  EXPECT_EQ(path_remove(P("single").c_str()), 0);
  EXPECT_EQ(path_exists(P("single").c_str()), -1);
}

TEST_F(FilesTest, PathRemoveNeverFollowsLinks) {
  ASSERT_EQ(path_create(P("outside/keep").c_str()), 0);
  Touch("outside/keep/file");
  ASSERT_EQ(path_create(P("t").c_str()), 0);
  ASSERT_EQ(symlink(P("outside").c_str(), P("t/link").c_str()), 0);
  ASSERT_EQ(symlink(P("outside").c_str(), P("toplink").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", P("t/dangling").c_str()), 0);

  EXPECT_EQ(path_remove(P("t").c_str()), 0);
  EXPECT_EQ(path_remove((P("toplink") + "/").c_str()), 0);  // the link itself goes
  EXPECT_EQ(path_exists(P("toplink").c_str()), -1);
  EXPECT_EQ(file_exists(P("outside/keep/file").c_str()), 0);
}

TEST_F(FilesTest, PathRemoveErrors) {
  CaptureStderr();
  EXPECT_EQ(path_remove(P("missing").c_str()), -1);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("stat(" + P("missing") + "): "));

  CaptureStderr();
  EXPECT_EQ(path_remove((root_ + "/" + std::string(kPathRemoveMax, 'x')).c_str()), -1);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("File name too long"));

  // A tree whose entry paths outgrow the limit: refused with -4, nothing deleted past it.
  std::string deep = root_ + "/d";
  while (deep.size() < kPathRemoveMax - 200) deep += "/" + std::string(200, 'd');
  ASSERT_EQ(path_create(deep.c_str()), 0);
  const std::string leaf = deep + "/" + std::string(250, 'l');
  ASSERT_GT(leaf.size(), kPathRemoveMax);
  ASSERT_EQ(mkdir(leaf.c_str(), 0700), 0);
  CaptureStderr();
  EXPECT_EQ(path_remove(P("d").c_str()), -4);
  EXPECT_THAT(GetCapturedStderr(), HasSubstr("File name too long"));
  EXPECT_TRUE(IsDir(leaf));
}

TEST_F(FilesTest, ReadAndWriteFile) {
  const std::string path = P("data");
  std::string bytes("a\0b\nc", 5);
  ASSERT_EQ(write_file(path.c_str(), bytes, 0600, true), 0);
  std::string back;
  ASSERT_EQ(read_file(path.c_str(), back), 0);
  EXPECT_EQ(back, bytes);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  ASSERT_EQ(write_file(path.c_str(), "second"), 0);  // replaces
  ASSERT_EQ(read_file(path.c_str(), back), 0);
  EXPECT_EQ(back, "second");
  EXPECT_EQ(read_file(path.c_str(), back, 3), -2);
  EXPECT_EQ(read_file(P("missing").c_str(), back), -1);
  EXPECT_EQ(write_file(P("no/such/dir/f").c_str(), "x"), -1);

  ASSERT_EQ(write_file(P("empty").c_str(), ""), 0);
  ASSERT_EQ(read_file(P("empty").c_str(), back), 0);
  EXPECT_EQ(back, "");
}

}  // namespace
}  // namespace kt
