// In-memory index of a record file: the byte offset of the first record of every key, so that
// finds, inserts, edits and removals in a large file need no scan. The file format and every
// result stay those of a scan; the index only saves the reading.
//
// One index per path, shared in the process (filedb_index::of). An index describes one state of
// its file (device, inode, length, modification and change times). Whoever finds the file in
// another state (written by another process, replaced, truncated) rebuilds the index before
// using it; whoever writes the file through an index records the new state. Offsets taken from
// the index are checked against the key stored there before use, so an index that missed a
// change never points an operation at another record.
#ifndef KT_DB_FILEDB_INDEX_H_
#define KT_DB_FILEDB_INDEX_H_

#include <sys/stat.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "utils/pthread_utils.h"
#include "utils/refobj.h"

namespace kt {

class filedb_index : public ref_object {
 public:
  // Files shorter than this are scanned: reading them costs less than keeping an index.
  static constexpr uint64_t kMinBytes = 64 * 1024;
  // Indexes kept for paths not in use at the moment; beyond it they are dropped.
  static constexpr size_t kMaxIdle = 1024;

  // The index of a path (created empty and invalid when new).
  static ref_ptr<filedb_index> of(const std::string& path);
  // The index of a path when one exists, without creating it.
  static ref_ptr<filedb_index> existing(const std::string& path);
  // Drops every index that is not in use (tests; after a directory is replaced).
  static void forget_all();

  // Everything below is guarded by mutex.
  kt::mutex mutex;

  // True when the index describes the file state in `state`.
  bool valid = false;
  struct stat state {};

  // Key bytes -> offset of the first record carrying them.
  std::unordered_map<std::string, uint64_t> first;
  // Keys stored in more than one record (left by an interrupted removal or by appends without
  // lookup). Removing or moving such a key invalidates the index.
  std::unordered_set<std::string> repeated;

  // True when st is the state the index describes.
  bool matches(const struct stat& st) const;
  void invalidate();
  // Notes a record with key bytes k stored at offset (an append or a rebuild in file order).
  void add(std::string_view k, uint64_t offset);
};

}  // namespace kt

#endif  // KT_DB_FILEDB_INDEX_H_
