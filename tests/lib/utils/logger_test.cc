#include "utils/logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <string>

namespace kt {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// Logs to standard error only, restoring the process-wide flags afterwards.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = {logger_to_stderr, logger_to_stdout, logger_to_syslog};
    logger_to_stderr = true;
    logger_to_stdout = false;
    logger_to_syslog = false;
  }
  void TearDown() override {
    logger_to_stderr = saved_[0];
    logger_to_stdout = saved_[1];
    logger_to_syslog = saved_[2];
  }

  static std::string Log(int level, const char* message) {
    CaptureStderr();
    logger_log(level, "/src/lib/utils/some_module.cc", "some_function", "%s", message);
    return GetCapturedStderr();
  }

  std::array<bool, 3> saved_{};
};

TEST_F(LoggerTest, LevelTags) {
  const std::string pid = std::to_string(getpid());
  EXPECT_THAT(Log(3, "boom"), ::testing::MatchesRegex("ERR:some_module.cc:some_function: p:" + pid +
                                                      ", t:[0-9]+ : boom\n"));
  EXPECT_THAT(Log(4, "w"), ::testing::StartsWith("WARN:some_module.cc:some_function: p:"));
  EXPECT_THAT(Log(6, "i"), ::testing::StartsWith("INFO:some_module.cc:some_function: p:"));
  EXPECT_THAT(Log(7, "d"), ::testing::StartsWith("some_module.cc:some_function: p:"));
  EXPECT_THAT(Log(5, "n"), ::testing::StartsWith("some_module.cc:some_function: p:"));
}

TEST_F(LoggerTest, MacrosUseThisFile) {
  CaptureStderr();
  KT_LOG_WARN("value %d", 42);
  EXPECT_THAT(
      GetCapturedStderr(),
      ::testing::MatchesRegex("WARN:logger_test.cc:TestBody: p:[0-9]+, t:[0-9]+ : value 42\n"));
}

TEST_F(LoggerTest, NothingWrittenWhenAllOutputsOff) {
  logger_to_stderr = false;
  EXPECT_EQ(Log(3, "silent"), "");
}

TEST_F(LoggerTest, LongMessageIsTruncated) {
  const std::string long_message(5000, 'm');
  const std::string line = Log(6, long_message.c_str());
  const size_t sep = line.find(" : ");
  ASSERT_NE(sep, std::string::npos);
  EXPECT_EQ(line.size() - sep - 3, 1499u + 1);  // 1,499 bytes and the newline
}

}  // namespace
}  // namespace kt
