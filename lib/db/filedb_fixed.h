// Fixed-record file store: one file per table, records of one size back to back, no header,
// no index. The key is the first key_size bytes of each record; the first matching record wins.
//
// filedb_fixed is only a descriptor (path, record size, key type and size); it holds no
// resources. Every operation takes an fd argument:
//   fd <= 0  the operation opens the file (read-write, created with the create mode when
//            missing), takes flock (LOCK_EX to write, LOCK_SH to read), and unlocks and closes it
//            before returning;
//   fd > 0   it works on the caller's open file, which the caller has locked. The file is
//            accessed with pread/pwrite, so the caller's file position is never moved. The fd
//            must be seekable and must not be opened with O_APPEND.
//
// Results shared by the operations:
//    0  success;  1  key not present (find, edit, edit_offset, remove);
//   -1  the file can't be opened, memory runs out, a read or a write fails;
//   -2  the lock can't be taken; insert also: the key is already present;
//   -3  the caller's fd can't be positioned, or the end of the file can't be found;
//   -4  a damaged file: its length is not a multiple of the record size.
// Messages go to the logger at level 4.
//
// A damaged file is never repaired. Walks (find, list) use every whole record before the
// partial tail and then report -4; operations that would write near the tail (insert,
// append_offset, remove) refuse a damaged file with -4, so nothing new lands behind a partial
// record. A failed append is cut back off, so it leaves no partial record either.
//
// An indexed descriptor (set_indexed) keeps the offsets of a large file's records in memory
// (db/filedb_index.h) and reads only the record it needs; its results and the bytes it writes
// are those of the scan. Meant for the files a server owns and writes itself.
//
// Crash safety: edits overwrite one record in place with a single write. A removal writes the
// last record over the removed one and then truncates; a crash between the two leaves the moved
// record twice in the file. Both copies are identical and lookups take the first, so such a file
// reads as before apart from list() calling back twice for that record, and removing that
// record later drops the stale copy at the end of the file too.
#ifndef KT_DB_FILEDB_FIXED_H_
#define KT_DB_FILEDB_FIXED_H_

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

namespace kt {

class filedb_fixed {
 public:
  // Longest accepted path, in bytes.
  static constexpr size_t kMaxPath = 511;

  // Callback of list(): a non-zero result stops the walk and is returned by list(). record is
  // aligned for any type and valid only during the call.
  using list_fn = std::function<int(const uint8_t* record, uint32_t size)>;
  // Callback of list_offset(): also gets the fd in use and the record's byte offset.
  using list_offset_fn =
      std::function<int(int fd, uint64_t offset, const uint8_t* record, uint32_t size)>;

  // Key types 1, 2: 1 byte; 3, 4: 2 bytes; 5, 6: 4 bytes; 7, 8: 8 bytes; 9, 18: key_size bytes.
  // Returns 0, or -1 after logging "invalid key_type: %d" for any other type. Also -1 for an
  // empty or too long path, a record size of 0, or a key size of 0 or beyond the record.
  int init(std::string path, uint32_t record_size, uint32_t key_type, uint32_t key_size = 0,
           mode_t create_mode = 0644);

  // Opens the file read-write (created when missing) without locking it. Returns the fd, or -1
  // after logging "open(): <error>".
  int fdopen() const;
  void fdclose(int fd) const;

  // Copies the first record with the key to record_out (when not null). 0 found, 1 not found.
  int find(int fd, const void* key, void* record_out) const;
  // Appends the record unless the key is present (-2, nothing written). 0 when appended.
  int insert(int fd, const void* key, const void* record) const;
  // Appends the record without a lookup; the record's byte offset goes to *offset_out when
  // given. key is not used.
  int append_offset(int fd, uint64_t* offset_out, const void* key, const void* record) const;
  // Overwrites the first record with the key. 0, or 1 when the key is not present. scratch is
  // accepted for compatibility and not needed.
  int edit(int fd, const void* key, const void* record, void* scratch = nullptr) const;
  // Overwrites the record at the byte offset, which must be the start of a whole record in
  // the file (-4 otherwise). When key is given, the record found there must carry it (1
  // otherwise): an offset gone stale after a removal never overwrites another record. scratch,
  // when given, is a record-size work area receiving the old record.
  int edit_offset(int fd, uint64_t offset, const void* key, const void* record,
                  void* scratch = nullptr) const;
  // Removes the first record with the key, moving the last record into its place. 0, or 1
  // when the key is not present.
  int remove(int fd, const void* key) const;
  // Calls cb for every record in file order. 0 at the clean end, cb's non-zero result when it
  // stops the walk, -4 after the last whole record of a damaged file. Records are read ahead
  // in blocks: a callback may rewrite its own record but should not change others.
  int list(int fd, const list_fn& cb) const;
  int list_offset(int fd, const list_offset_fn& cb) const;

  // Lets operations on this path use the process-wide offset index.
  void set_indexed(bool on) { indexed_ = on; }
  bool indexed() const { return indexed_; }

  const std::string& path() const { return path_; }
  uint32_t record_size() const { return record_size_; }
  uint32_t key_type() const { return key_type_; }
  uint32_t key_size() const { return key_size_; }
  mode_t create_mode() const { return create_mode_; }

 private:
  using scan_fn = std::function<int(uint64_t offset, const uint8_t* record)>;
  class index_use;

  int scan(int fd, const scan_fn& fn, uint64_t* end_out) const;
  int locate(int fd, const void* key, void* record_out, uint64_t* offset_out,
             uint64_t* end_out) const;
  int append_at(int fd, uint64_t end, const void* record) const;
  int whole_length(int fd, uint64_t* length_out) const;

  std::string path_;
  uint32_t record_size_ = 0;
  uint32_t key_type_ = 0;
  uint32_t key_size_ = 0;
  mode_t create_mode_ = 0644;
  bool indexed_ = false;
};

}  // namespace kt

#endif  // KT_DB_FILEDB_FIXED_H_
