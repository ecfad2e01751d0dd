#include "buffers/net_buffer.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace kt {

net_buffer::net_buffer(bool signalling, size_t max_length)
    : signalling_(signalling), max_length_(max_length) {
  try {
    data_.reserve(kInitialSize);
  } catch (const std::bad_alloc&) {
    // The first append will try again.
  }
}

net_buffer::~net_buffer() {
  std::unique_lock<mutex> guard(lock_);
  closing_ = true;
  cond_.notify_all();
  cond_.wait(guard, [this] { return waiters_ == 0; });
}

bool net_buffer::append_locked(const void* bytes, size_t count) {
  if (count == 0) return true;
  if (bytes == nullptr) return false;
  if (max_length_ != 0 && count > max_length_ - std::min(max_length_, data_.size())) return false;
  try {
    data_.append(static_cast<const char*>(bytes), count);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void net_buffer::post_locked() {
  if (!signalling_) return;
  posted_ = true;
  cond_.notify_all();
}

bool net_buffer::add(const void* header, size_t header_len, const void* body, size_t body_len) {
  std::lock_guard<mutex> guard(lock_);
  const size_t mark = data_.size();
  const bool ok = !closing_ && append_locked(header, header_len) && append_locked(body, body_len);
  if (ok) {
    post_locked();
  } else {
    data_.resize(mark);
  }
  return ok;
}

void net_buffer::begin_add(const void* bytes, size_t count) {
  lock_.lock();
  mark_ = data_.size();
  dropped_ = closing_ || !append_locked(bytes, count);
}

bool net_buffer::end_add(const void* bytes, size_t count) {
  const bool ok = !dropped_ && append_locked(bytes, count);
  if (ok) {
    post_locked();
  } else {
    data_.resize(mark_);
  }
  lock_.unlock();
  return ok;
}

void net_buffer::post() {
  std::lock_guard<mutex> guard(lock_);
  post_locked();
}

int net_buffer::wait() {
  std::unique_lock<mutex> guard(lock_);
  if (!signalling_) return closing_ ? -1 : 0;
  ++waiters_;
  cond_.wait(guard, [this] { return posted_ || closing_; });
  posted_ = false;
  --waiters_;
  if (closing_) {
    if (waiters_ == 0) cond_.notify_all();  // the destructor may be waiting for us
    return -1;
  }
  return 0;
}

void net_buffer::close() {
  std::lock_guard<mutex> guard(lock_);
  closing_ = true;
  cond_.notify_all();
}

bool net_buffer::closing() const {
  std::lock_guard<mutex> guard(lock_);
  return closing_;
}

int net_buffer::wait_for(std::chrono::milliseconds limit) {
  std::unique_lock<mutex> guard(lock_);
  if (!signalling_) return closing_ ? -1 : 0;
  ++waiters_;
  const bool woken = cond_.wait_for(guard, limit, [this] { return posted_ || closing_; });
  --waiters_;
  if (closing_) {
    posted_ = false;
    if (waiters_ == 0) cond_.notify_all();  // the destructor may be waiting for us
    return -1;
  }
  if (!woken) return 1;
  posted_ = false;
  return 0;
}

bool net_buffer::waiting() const {
  std::lock_guard<mutex> guard(lock_);
  return waiters_ > 0;
}

size_t net_buffer::take(std::string& out, size_t max) {
  std::lock_guard<mutex> guard(lock_);
  const size_t n = std::min(max, data_.size());
  if (n == 0) return 0;
  try {
    out.append(data_, 0, n);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  data_.erase(0, n);
  return n;
}

size_t net_buffer::length() const {
  std::lock_guard<mutex> guard(lock_);
  return data_.size();
}

}  // namespace kt
