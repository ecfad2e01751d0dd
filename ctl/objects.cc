#include "objects.h"
#include "utils/numbers.h"

#include <time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace ctl {

const object_kind kUsers{"user", "userSearch", "users", "u", "uname", 0x108, "user not found."};
const object_kind kGroups{"group", "groupSearch", "groups", "g", "name", 0x601, "group not found."};
const object_kind kResources{"resource", "resourceSearch",     "resources", "r", "name",
                             0x401,      "resource not found."};
const object_kind kNetclients{
    "net client", "netClientSearch",          "netclients", "netc", "name",
    0x107,        "network client not found."};
const object_kind kProfiles{"NSS profile", "nssProfileSearch",      "nssprofiles", "nssp", "name",
                            0x105,         "nss profile not found."};
const object_kind kDomains{"domain", "domainSearch", "domains",          "d",
                           "name",   0x103,          "domain not found."};

std::string exact_pattern(std::string_view name) {
  std::string out = "^";
  for (char ch : name) {
    if (std::strchr(".[]()*+?{}|^$\\", ch) != nullptr) out += '\\';
    out += ch;
  }
  return out + "$";
}

answer search(context& c, const object_kind& k, const std::string& pattern, bool match_case) {
  auto cmd = c.command(k.search);
  kt::xmldoc_node* s = cmd->add_child(kt::xmldoc_node::create("s"));
  s->set_value(pattern);
  s->attr_addval("opt", match_case ? "1" : "0");
  return c.call(std::move(cmd));
}

std::vector<const kt::xmldoc_node*> items(const answer& a, const object_kind& k) {
  std::vector<const kt::xmldoc_node*> out;
  const kt::xmldoc_node* list = a.find(k.list);
  if (list == nullptr) return out;
  for (const auto& child : list->children()) {
    if (child->name() == k.item) out.push_back(child.get());
  }
  return out;
}

answer missing(const object_kind& k, const std::string& name) {
  answer a;
  a.sent = true;
  a.code = k.not_found;
  a.msg = std::string(k.not_found_msg) + " (" + k.what + " " + name + ")";
  return a;
}

found find(context& c, const object_kind& k, const std::string& name) {
  found f;
  f.a = search(c, k, exact_pattern(name), true);
  if (!f.a.ok()) return f;
  for (const kt::xmldoc_node* n : items(f.a, k)) {
    if (attr(n, k.name_attr) == name) {
      f.item = n;
      return f;
    }
  }
  f.a = missing(k, name);
  return f;
}

std::string name_index::name_of(std::string_view id) const {
  for (const auto& [i, n] : entries) {
    if (i == id) return n;
  }
  return std::string(id);
}

std::string name_index::id_of(std::string_view name) const {
  for (const auto& [i, n] : entries) {
    if (n == name) return i;
  }
  return "";
}

bool load_index(context& c, const object_kind& k, name_index* out, answer* failed) {
  answer a = search(c, k, "", false);
  if (!a.ok()) {
    *failed = std::move(a);
    return false;
  }
  for (const kt::xmldoc_node* n : items(a, k)) {
    out->entries.emplace_back(attr(n, "id"), attr(n, k.name_attr));
  }
  return true;
}

std::string attr(const kt::xmldoc_node* n, std::string_view name) {
  return n != nullptr ? std::string(n->attr_get_value(name)) : std::string();
}

std::string join(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += separator;
    out += p;
  }
  return out;
}

std::string user_flag_words(uint32_t flags) {
  std::vector<std::string> words;
  if ((flags & 0x1) != 0) words.emplace_back("system");
  if ((flags & 0x2) != 0) words.emplace_back("never-expires");
  if ((flags & 0x4) != 0) words.emplace_back("must-change");
  if ((flags & 0x8) != 0) words.emplace_back("locked");
  return words.empty() ? "-" : join(words);
}

std::string rights_text(uint32_t flags) {
  std::string out = "---";
  if ((flags & 0x1) != 0) out[0] = 'r';
  if ((flags & 0x2) != 0) out[1] = 'w';
  if ((flags & 0x4) != 0) out[2] = 'x';
  return out;
}

int parse_rights(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '7') return text[0] - '0';
  int flags = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t comma = text.find(',', pos);
    const std::string word = text.substr(pos, comma == std::string::npos ? comma : comma - pos);
    pos = comma == std::string::npos ? text.size() : comma + 1;
    if (word == "read") {
      flags |= 1;
    } else if (word == "write") {
      flags |= 2;
    } else if (word == "exec") {
      flags |= 4;
    } else if (!word.empty() && word.find_first_not_of("rwx-") == std::string::npos) {
      for (char ch : word) flags |= ch == 'r' ? 1 : ch == 'w' ? 2 : ch == 'x' ? 4 : 0;
    } else {
      return -1;
    }
  }
  return text.empty() ? -1 : flags;
}

bool parse_number(const std::string& text, uint64_t* value) {
  return kt::decimal_parse(text, UINT64_MAX, value);
}

std::string time_text(std::string_view seconds) {
  uint64_t value = 0;
  if (!parse_number(std::string(seconds), &value)) return std::string(seconds);
  const time_t t = static_cast<time_t>(value);
  tm local{};
  char text[32];
  if (localtime_r(&t, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    return std::string(seconds);
  }
  return text;
}

bool parse_time(const std::string& text, uint64_t* seconds) {
  const uint64_t now = static_cast<uint64_t>(::time(nullptr));
  if (text == "now") {
    *seconds = now;
    return true;
  }
  if (parse_number(text, seconds)) return true;
  if (text.size() >= 3 && text[0] == '-') {
    uint64_t count = 0;
    if (!parse_number(text.substr(1, text.size() - 2), &count)) return false;
    const char unit = text.back();
    const uint64_t scale = unit == 's'   ? 1
                           : unit == 'm' ? 60
                           : unit == 'h' ? 3600
                           : unit == 'd' ? 86400
                                         : 0;
    if (scale == 0 || count > now / scale) return false;
    *seconds = now - count * scale;
    return true;
  }
  tm local{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &local.tm_year, &local.tm_mon, &local.tm_mday,
                  &consumed) != 3) {
    return false;
  }
  if (static_cast<size_t>(consumed) != text.size()) {
    const char sep = text[static_cast<size_t>(consumed)];
    int more = 0;
    if ((sep != ' ' && sep != 'T') || std::sscanf(text.c_str() + consumed + 1, "%2d:%2d%n",
                                                  &local.tm_hour, &local.tm_min, &more) != 2) {
      return false;
    }
    consumed += 1 + more;
    if (static_cast<size_t>(consumed) != text.size()) {
      int last = 0;
      if (std::sscanf(text.c_str() + consumed, ":%2d%n", &local.tm_sec, &last) != 1 ||
          static_cast<size_t>(consumed + last) != text.size()) {
        return false;
      }
    }
  }
  local.tm_year -= 1900;
  local.tm_mon -= 1;
  local.tm_isdst = -1;
  const time_t t = ::mktime(&local);
  if (t < 0) return false;
  *seconds = static_cast<uint64_t>(t);
  return true;
}

}  // namespace ctl
