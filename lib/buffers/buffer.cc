#include "buffers/buffer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace kt {

buffer::~buffer() {
  release();
}

buffer::buffer(buffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      length_(std::exchange(o.length_, 0)) {}

buffer& buffer::operator=(buffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    length_ = std::exchange(o.length_, 0);
  }
  return *this;
}

bool buffer::make_room(uint32_t need) {
  const uint64_t wanted = static_cast<uint64_t>(length_) + need;
  if (wanted < size_) return true;
  const uint64_t new_size = static_cast<uint64_t>(need) + 2ull * size_ + 1;
  if (new_size > std::numeric_limits<uint32_t>::max()) {
    std::fprintf(stderr, "%s:%s realloc():%s\n", "./buffers/buffer", "buffer_make_room",
                 std::strerror(ENOMEM));
    return false;
  }
  void* grown = std::realloc(data_, new_size);  // NOLINT: growth rule is defined by size
  if (grown == nullptr) {
    std::fprintf(stderr, "%s:%s realloc():%s\n", "./buffers/buffer", "buffer_make_room",
                 std::strerror(errno));
    return false;
  }
  data_ = static_cast<char*>(grown);
  size_ = static_cast<uint32_t>(new_size);
  return true;
}

bool buffer::append(const void* bytes, uint32_t count) {
  if (!make_room(count)) return false;
  if (count > 0) std::memcpy(data_ + length_, bytes, count);
  length_ += count;
  data_[length_] = '\0';
  return true;
}

bool buffer::vprintf(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int needed = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0) return false;
  if (!make_room(static_cast<uint32_t>(needed) + 1)) return false;
  std::vsnprintf(data_ + length_, size_ - length_, format, args);
  length_ += static_cast<uint32_t>(needed);
  return true;
}

bool buffer::printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = vprintf(format, args);
  va_end(args);
  return ok;
}

int buffer::remove(uint32_t count) {
  if (data_ == nullptr) return -2;
  if (count >= length_) {
    length_ = 0;
  } else {
    std::memmove(data_, data_ + count, length_ - count);
    length_ -= count;
  }
  data_[length_] = '\0';
  return 0;
}

void buffer::clear() {
  length_ = 0;
  if (data_ != nullptr) data_[0] = '\0';
}

void buffer::release() {
  std::free(data_);  // NOLINT: pairs with the realloc above
  data_ = nullptr;
  size_ = 0;
  length_ = 0;
}

}  // namespace kt
