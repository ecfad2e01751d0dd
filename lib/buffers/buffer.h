// Growable byte buffer. The used bytes are always followed by a zero byte once anything has been
// written, so the contents can be read as text.
//
// Growth: when length + need reaches or passes the allocated size, the buffer is reallocated to
// need + 2 * size + 1 bytes.
#ifndef KT_BUFFERS_BUFFER_H_
#define KT_BUFFERS_BUFFER_H_

#include <cstdarg>
#include <cstdint>
#include <string_view>

namespace kt {

class buffer {
 public:
  buffer() = default;
  ~buffer();
  buffer(const buffer&) = delete;
  buffer& operator=(const buffer&) = delete;
  buffer(buffer&& o) noexcept;
  buffer& operator=(buffer&& o) noexcept;

  // Ensures room for need more bytes (and the terminator). False when memory runs out.
  bool make_room(uint32_t need);
  // Appends count bytes. False (nothing appended) when memory runs out or the length would
  // overflow 32 bits.
  bool append(const void* bytes, uint32_t count);
  bool append(std::string_view text) {
    return append(text.data(), static_cast<uint32_t>(text.size()));
  }
  // Formatted append; measures the text first, so it never writes past the allocation.
  bool printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool vprintf(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
  // Removes the first count bytes (count <= length). -2 when the buffer holds no data.
  int remove(uint32_t count);
  // Forgets the contents, keeping the allocation.
  void clear();
  // Frees the allocation.
  void release();

  const char* data() const { return data_ != nullptr ? data_ : ""; }
  char* mutable_data() { return data_; }
  uint32_t size() const { return size_; }
  uint32_t length() const { return length_; }
  bool empty() const { return length_ == 0; }
  std::string_view view() const { return {data(), length_}; }

 private:
  char* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t length_ = 0;
};

}  // namespace kt

#endif  // KT_BUFFERS_BUFFER_H_
