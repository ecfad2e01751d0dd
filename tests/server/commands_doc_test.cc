// docs/commands.md holds a section for every command of the command table, each with its
// rights, result codes and an example request of that command.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "processor.h"

namespace orvane {
namespace {

TEST(CommandsReference, EveryCommandOfTheTableHasASection) {
  std::ifstream in(std::string(ORVANE_SOURCE_DIR) + "/docs/commands.md");
  ASSERT_TRUE(in) << "docs/commands.md is missing";
  std::stringstream text;
  text << in.rdbuf();
  const std::string doc = text.str();
  size_t commands = 0;
  for (const processor_function* f = processor_functions; f->name != nullptr; ++f, ++commands) {
    const std::string name = f->name;
    const size_t start = doc.find("\n### `" + name + "`\n");
    if (start == std::string::npos) {
      ADD_FAILURE() << name << " has no section in docs/commands.md";
      continue;
    }
    const size_t end = doc.find("\n#", start + 1);
    const std::string section = doc.substr(start, end == std::string::npos ? end : end - start);
    EXPECT_NE(section.find("- Rights:"), std::string::npos) << name;
    EXPECT_NE(section.find("- Result codes:"), std::string::npos) << name;
    EXPECT_NE(section.find("<orvane><" + name + " "), std::string::npos)
        << name << ": no example request";
  }
  EXPECT_EQ(commands, 56u);
}

}  // namespace
}  // namespace orvane
