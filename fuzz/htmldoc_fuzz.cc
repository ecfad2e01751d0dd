// Feeds a request in two pieces, split where the first two input bytes say, and checks that the
// outcome matches feeding it whole; then writes the parsed document back out. Parse errors are
// reported on standard error: run with -close_fd_mask=2.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "buffers/buffer.h"
#include "htmldoc/htmldoc.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "htmldoc_fuzz: %s\n", what);
    std::abort();
  }
}

bool same_lists(const kt::htmldoc_option_list& a, const kt::htmldoc_option_list& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].name != b[i].name || a[i].value != b[i].value) return false;
  }
  return true;
}

bool same_message(const kt::htmldoc& a, const kt::htmldoc& b) {
  return a.method() == b.method() && a.uri() == b.uri() && a.proto() == b.proto() &&
         a.host() == b.host() && same_lists(a.headers(), b.headers()) &&
         same_lists(a.get_params(), b.get_params()) && a.body() == b.body() &&
         a.header_complete() == b.header_complete() && a.body_complete() == b.body_complete();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t cut = (static_cast<size_t>(data[0]) << 8 | data[1]) % (input.size() + 1);

  kt::htmldoc whole;
  const int whole_rc = whole.wrap(input);
  check(whole_rc >= -1 && whole_rc <= 1, "result out of range");

  kt::htmldoc split;
  const int first_rc = split.wrap(input.substr(0, cut));
  const int split_rc = split.wrap(input.substr(cut));
  if (first_rc == 0) {
    // Bytes after a complete message are kept aside.
    check(split_rc == 0, "complete message changed its result");
  } else if (first_rc == -1) {
    check(split_rc == -1 && whole_rc == -1, "error not final");
  } else {
    check(split_rc == whole_rc, "result depends on the split");
    if (whole_rc == 0) check(same_message(whole, split), "message depends on the split");
  }
  if (whole_rc == 0) {
    check(whole.header_complete() && whole.body_complete(), "complete flags");
    check(whole.wrap(input) == 0, "more bytes changed a complete message");
  }

  kt::buffer out;
  check(whole.unwrap(out, true) == 0, "request form");
  check(split.unwrap(out, false) == 0, "response form");
  return 0;
}
