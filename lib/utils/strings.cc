#include "utils/strings.h"

#include <limits>
#include <new>

#include "utils/logger.h"

namespace kt {

std::string strreplace(std::string_view text, std::string_view pattern,
                       std::string_view replacement, bool* replaced) {
  const size_t at = pattern.empty() ? std::string_view::npos : text.find(pattern);
  if (replaced != nullptr) *replaced = at != std::string_view::npos;
  if (at == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size() - pattern.size() + replacement.size());
  out.append(text.substr(0, at));
  out.append(replacement);
  out.append(text.substr(at + pattern.size()));
  return out;
}

int split::assign(std::string_view text, char delimiter) {
  count = 0;
  fields.clear();
  text = text.substr(0, text.find('\0'));
  try {
    size_t start = 0;
    while (true) {
      const size_t at = text.find(delimiter, start);
      const size_t len = at == std::string_view::npos ? std::string_view::npos : at - start;
      fields.emplace_back(text.substr(start, len));
      if (at == std::string_view::npos) break;
      start = at + 1;
    }
  } catch (const std::bad_alloc&) {
    fields.clear();
    KT_LOG_WARN("%s(): %s", "split", "malloc()");
    return -1;
  }
  if (fields.size() > std::numeric_limits<uint32_t>::max()) {
    fields.clear();
    KT_LOG_WARN("%s(): %s", "split", "too many fields");
    return -1;
  }
  count = static_cast<uint32_t>(fields.size());
  return 0;
}

}  // namespace kt
