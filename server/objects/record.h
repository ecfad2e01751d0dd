// Record I/O shared by the object modules: packing fields into the fixed records of their files
// (little-endian, unaligned, zero-filled) and opening a domain's record file.
#ifndef ORVANE_OBJECTS_RECORD_H_
#define ORVANE_OBJECTS_RECORD_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "db/filedb_fixed.h"
#include "utils/uid.h"

namespace orvane {

// A zero-filled record being built or read.
class record {
 public:
  explicit record(uint32_t size) : bytes_(size, 0) {}
  record(const uint8_t* data, uint32_t size) : bytes_(data, data + size) {}

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }

  void put_u8(size_t off, uint8_t v) { put(off, &v, 1); }
  void put_u16(size_t off, uint16_t v) { put_le(off, v, 2); }
  void put_u32(size_t off, uint32_t v) { put_le(off, v, 4); }
  void put_u64(size_t off, uint64_t v) { put_le(off, v, 8); }
  void put_bytes(size_t off, const void* p, size_t n) { put(off, p, n); }
  // Writes text zero-terminated into a field of the given width (cut to width - 1 bytes).
  void put_str(size_t off, size_t width, std::string_view text) {
    const size_t n = text.size() < width ? text.size() : width - 1;
    put(off, text.data(), n);
    put_zero(off + n, width - n);
  }

  uint8_t get_u8(size_t off) const { return static_cast<uint8_t>(get_le(off, 1)); }
  uint16_t get_u16(size_t off) const { return static_cast<uint16_t>(get_le(off, 2)); }
  uint32_t get_u32(size_t off) const { return static_cast<uint32_t>(get_le(off, 4)); }
  uint64_t get_u64(size_t off) const { return get_le(off, 8); }
  // Reads a zero-terminated text field; a field without terminator yields all its bytes.
  std::string get_str(size_t off, size_t width) const {
    if (off >= bytes_.size()) return {};
    if (off + width > bytes_.size()) width = bytes_.size() - off;
    const char* p = reinterpret_cast<const char*>(bytes_.data() + off);
    return std::string(p, strnlen(p, width));
  }
  void get_bytes(size_t off, void* out, size_t n) const {
    if (off + n <= bytes_.size()) std::memcpy(out, bytes_.data() + off, n);
  }

 private:
  void put(size_t off, const void* p, size_t n) {
    if (off + n <= bytes_.size() && n > 0) std::memcpy(bytes_.data() + off, p, n);
  }
  void put_zero(size_t off, size_t n) {
    if (off + n <= bytes_.size() && n > 0) std::memset(bytes_.data() + off, 0, n);
  }
  void put_le(size_t off, uint64_t v, size_t n) {
    if (off + n > bytes_.size()) return;
    for (size_t i = 0; i < n; ++i) bytes_[off + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  uint64_t get_le(size_t off, size_t n) const {
    if (off + n > bytes_.size()) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(bytes_[off + i]) << (8 * i);
    return v;
  }

  std::vector<uint8_t> bytes_;
};

// The result code that a store result becomes where it reaches a command: 0 stays 0; every
// failure of the store (a refused write, a missing record, an unreadable file) is 0x13
// "generic error.", logged with the store's own result and what failed.
uint32_t record_result(int store_rc, const char* what);

// The key of every server record: its 64-bit identifier in the first 8 bytes.
constexpr uint32_t RECORD_KEY_ID = 7;

// The record functions of an object kind (its _db_add, _db_edit and _db_remove), for records keyed
// by their identifier. pack(id, rec) fills a zeroed record of the given size.
//
// Writes a new record under a fresh identifier; *id_out is set only when the store took it.
// Returns the store's result.
template <class Pack>
int record_db_insert(const kt::filedb_fixed& db, uint32_t size, Pack pack, uint64_t* id_out) {
  const uint64_t id = kt::uid_time_seq();
  record rec(size);
  pack(id, rec);
  if (const int rc = db.insert(0, rec.data(), rec.data()); rc != 0) return rc;
  *id_out = id;
  return 0;
}
// Rewrites the record of an identifier in place.
template <class Pack>
int record_db_rewrite(const kt::filedb_fixed& db, uint32_t size, uint64_t id, Pack pack) {
  record rec(size);
  pack(id, rec);
  return db.edit(0, rec.data(), rec.data());
}
// Removes the record of an identifier.
int record_db_remove(const kt::filedb_fixed& db, uint64_t id);

// Walks a record file keyed by identifier; every identifier read is noted as in use
// (kt::uid_observe), so that new identifiers never repeat one already stored.
int record_list(const kt::filedb_fixed& db, const kt::filedb_fixed::list_fn& cb);

// The result of a loader's walk: a damaged tail is logged and ignored (the whole records before it
// are loaded), any other failure is logged and returned.
int record_load_result(const kt::filedb_fixed& db, int rc);

// Descriptor of a record file keyed by identifier (key type 7), using the offset index.
kt::filedb_fixed record_file(const std::string& path, uint32_t record_size,
                             mode_t create_mode = 0644);
// Descriptor of the file <current>/<domain id>/<name>.
kt::filedb_fixed domain_record_file(uint64_t domain_id, const std::string& name,
                                    uint32_t record_size, mode_t create_mode = 0644);

}  // namespace orvane

#endif  // ORVANE_OBJECTS_RECORD_H_
