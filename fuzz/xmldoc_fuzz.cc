// Parses arbitrary bytes, writes whatever tree came out, and checks that the text reads back
// and reaches a fixed point after one more write.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "buffers/buffer.h"
#include "xmldoc/xmldoc.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "xmldoc_fuzz: %s\n", what);
    std::abort();
  }
}

std::string save(const kt::xmldoc& doc) {
  kt::buffer out;
  if (doc.root() != nullptr) check(doc.save(doc.root(), out) == 0, "save failed");
  return std::string(out.view());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  kt::xmldoc doc;
  const int rc = doc.parse(input);
  const std::string zero_terminated(input);
  kt::xmldoc doc_z;
  check(doc_z.parse(zero_terminated.c_str()) == rc, "result differs for zero-terminated copy");

  const std::string first = save(doc);
  check(save(doc_z) == first, "trees differ for zero-terminated copy");
  if (doc.root() == nullptr) return 0;

  // The partial tree of a failed parse must read back as well.
  kt::xmldoc second;
  check(second.parse(first) == 0, "saved text does not parse");
  const std::string second_text = save(second);
  kt::xmldoc third;
  check(third.parse(second_text) == 0, "saved text does not parse a second time");
  check(save(third) == second_text, "saved text is not a fixed point");
  return 0;
}
