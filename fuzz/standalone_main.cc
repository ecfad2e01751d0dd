// Runs a fuzz target's LLVMFuzzerTestOneInput once on every file of the directories (or on the
// files) named on the command line, so that the corpus and the saved crashes replay in the
// normal build without libFuzzer. A missing directory counts as empty. The targets' own output
// on standard output is discarded; a failed check aborts the process.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// The regular files of a directory in name order, or the path itself when it is a file.
std::vector<std::string> inputs_of(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      const std::string file = path + "/" + e->d_name;
      if (e->d_name[0] != '.' && ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        files.push_back(file);
      }
    }
    ::closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;
  size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    for (const std::string& file : inputs_of(argv[i])) {
      std::ifstream in(file, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "%s: can't be read\n", file.c_str());
        return 1;
      }
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
      std::fprintf(stderr, "running %s (%zu bytes)\n", file.c_str(), bytes.size());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++count;
    }
  }
  std::fprintf(stderr, "%zu inputs ran\n", count);
  return 0;
}
