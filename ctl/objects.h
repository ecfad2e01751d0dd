// What the object commands share: searches by exact name, the lists of a search answer, the
// reading of attributes, and the words for flags, rights and times.
#ifndef ORVANE_CTL_OBJECTS_H_
#define ORVANE_CTL_OBJECTS_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "context.h"

namespace ctl {

// The kinds of objects found by name: search command, its answer's list and item elements and
// the attribute holding the name, and the result code of "not found".
struct object_kind {
  const char* what;       // "user", for messages
  const char* search;     // "userSearch"
  const char* list;       // "users"
  const char* item;       // "u"
  const char* name_attr;  // "uname"
  long not_found;         // 0x108
  const char* not_found_msg;
};

extern const object_kind kUsers, kGroups, kResources, kNetclients, kProfiles, kDomains;

// A pattern matching exactly that name.
std::string exact_pattern(std::string_view name);

// Runs the kind's search with pattern (empty: everything).
answer search(context& c, const object_kind& k, const std::string& pattern, bool match_case);
// The items of a search answer.
std::vector<const kt::xmldoc_node*> items(const answer& a, const object_kind& k);

// The object of that exact name: a.ok() and item set, or a failed answer (a missing object is
// reported with the kind's "not found" code and message).
struct found {
  answer a;
  const kt::xmldoc_node* item = nullptr;
};
found find(context& c, const object_kind& k, const std::string& name);

// Names of a whole kind by identifier, for showing members and parents.
struct name_index {
  std::vector<std::pair<std::string, std::string>> entries;  // id, name
  std::string name_of(std::string_view id) const;            // the id itself when unknown
  std::string id_of(std::string_view name) const;            // "" when unknown
};
bool load_index(context& c, const object_kind& k, name_index* out, answer* failed);

// An attribute's value ("" when absent).
std::string attr(const kt::xmldoc_node* n, std::string_view name);
std::string join(const std::vector<std::string>& parts, const char* separator = ",");

// User flags as words ("locked,must-change") and back.
std::string user_flag_words(uint32_t flags);
// Rights 0x1 READ, 0x2 WRITE, 0x4 EXEC as "rwx" and back (from "rwx", "read,write" or 0-7);
// -1 for a text that is neither.
std::string rights_text(uint32_t flags);
int parse_rights(const std::string& text);
// Seconds since the epoch as local "YYYY-MM-DD HH:MM:SS".
std::string time_text(std::string_view seconds);
// "now", seconds since the epoch, "-30m" / "-12h" / "-7d" / "-45s" before now, "YYYY-MM-DD" or
// "YYYY-MM-DD HH:MM[:SS]" (or with a T) in local time. False for anything else.
bool parse_time(const std::string& text, uint64_t* seconds);
// A decimal number; false for anything else.
bool parse_number(const std::string& text, uint64_t* value);

// The failed answer for an object that does not exist.
answer missing(const object_kind& k, const std::string& name);

}  // namespace ctl

#endif  // ORVANE_CTL_OBJECTS_H_
