// Test support: running the real programs as child processes.
#ifndef ORVANE_TESTS_SUPPORT_PROCESS_H_
#define ORVANE_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace orvane_test {

struct run_result {
  int status = -1;  // exit status, or -1 when the program did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs argv[0] with the given arguments and extra environment entries ("NAME=value", each
// replacing an inherited entry of that name), waits for it and captures both output streams.
run_result run_program(const std::vector<std::string>& argv,
                       const std::vector<std::string>& env = {});

// Path of a program in the build tree, e.g. build_path("orvaned").
std::string build_path(const std::string& name);

// A temporary directory removed with everything in it when the object goes.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace orvane_test

#endif  // ORVANE_TESTS_SUPPORT_PROCESS_H_
