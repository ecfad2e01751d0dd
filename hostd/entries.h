// The profile's entries as the daemon holds them: passwd entries (with the crypt hash for offline
// password checks) and group entries, indexed for the socket's lookups; read from the server's
// answers, and saved to / loaded from the daemon's own cache file.
#ifndef ORVANE_HOSTD_ENTRIES_H_
#define ORVANE_HOSTD_ENTRIES_H_

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace kt {
class xmldoc_node;
}

namespace orvane_hostd {

struct pw_entry {
  std::string name;
  uint32_t uid = 0;
  std::string home;
  std::string shell;
  std::string crypt;     // the SHA-512 crypt string of the password
  uint32_t changed = 0;  // password changed, days since the Epoch
  uint32_t valid = 0;    // days the password stays valid (99998: never expires)
  uint32_t flags = 0;
};

struct gr_entry {
  std::string name;
  uint32_t gid = 0;
  std::vector<std::string> members;
};

struct snapshot {
  uint64_t fetched = 0;  // seconds since the Epoch
  std::vector<pw_entry> users;
  std::vector<gr_entry> groups;
  // First entry of each name / number (later duplicates are left out of the indexes).
  std::unordered_map<std::string, size_t> user_by_name;
  std::unordered_map<uint32_t, size_t> user_by_uid;
  std::unordered_map<std::string, size_t> group_by_name;
  std::unordered_map<uint32_t, size_t> group_by_gid;

  const pw_entry* user(const std::string& name) const;
  const pw_entry* user(uint32_t uid) const;
  const gr_entry* group(const std::string& name) const;
  const gr_entry* group(uint32_t gid) const;
  // Builds the four indexes.
  void index();
};

// The "pwentries" and "grentries" answers into *out (indexed; fetched left to the caller).
// Entries that a passwd or group file could not hold (an empty name, a ':' or a control
// character in a field, a number that does not parse) are left out. Returns how many were.
size_t entries_from_answers(const kt::xmldoc_node& pwentries, const kt::xmldoc_node& grentries,
                            snapshot* out);

// The daemon's cache file: an XML document with the fetch time and both answers.
std::string entries_save(const snapshot& s);
// 0, or -1 when the text is not such a document (*out untouched).
int entries_load(const std::string& text, snapshot* out);

// Whether the entry's password has expired on the given day (days since the Epoch).
bool password_expired(const pw_entry& e, uint32_t today);

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_ENTRIES_H_
