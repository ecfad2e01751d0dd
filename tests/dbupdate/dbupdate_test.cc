#include <gtest/gtest.h>

#include <filesystem>

#include "support/process.h"

namespace orvane_test {
namespace {

TEST(DbUpdate, PrintsDefaultPathsWhateverItsArguments) {
  const std::string expected = "update database from:/data/orvane/current to:/data/orvane/1.0.0\n";
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"--force", "x", "-v"}}) {
    std::vector<std::string> argv = {"/usr/bin/env", "-u", "ORVANE_ROOT",
                                     build_path("orvane-dbupdate")};
    argv.insert(argv.end(), args.begin(), args.end());
    const run_result r = run_program(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
  }
}

TEST(DbUpdate, FollowsTheRootOverrideAndTouchesNothing) {
  temp_dir dir;
  const run_result r =
      run_program({build_path("orvane-dbupdate")}, {"ORVANE_ROOT=" + dir.path() + "/"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "update database from:" + dir.path() + "/current to:" + dir.path() + "/1.0.0\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/current"));
}

TEST(DbUpdate, RefusesAnEmptyRoot) {
  const run_result r = run_program({build_path("orvane-dbupdate")}, {"ORVANE_ROOT="});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("ORVANE_ROOT"), std::string::npos);
}

}  // namespace
}  // namespace orvane_test
