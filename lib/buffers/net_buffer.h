// Signalling byte buffer: many producer threads append messages, one consumer thread sleeps in
// wait() and takes what has arrived.
//
// Every message is appended in one locked span, so messages never interleave. A message that
// can't be appended whole (memory, the optional length limit, or a closing buffer) is dropped
// whole. The owner must stop the consumer (close() wakes it with -1) before destroying the
// buffer; the destructor also closes and waits for a consumer still inside wait() to leave.
#ifndef KT_BUFFERS_NET_BUFFER_H_
#define KT_BUFFERS_NET_BUFFER_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "utils/pthread_utils.h"

namespace kt {

class net_buffer {
 public:
  static constexpr size_t kInitialSize = 2048;

  // net_buffer_init: a buffer with a 2,048-byte data area. Without signalling, post() does
  // nothing and wait() never blocks. max_length (0: none) bounds the pending bytes, so a stalled
  // consumer can't make the producers eat memory.
  explicit net_buffer(bool signalling = true, size_t max_length = 0);
  ~net_buffer();
  net_buffer(const net_buffer&) = delete;
  net_buffer& operator=(const net_buffer&) = delete;

  // Appends header and body as one message and posts. False when the message was dropped.
  bool add(const void* header, size_t header_len, const void* body, size_t body_len);
  bool add(std::string_view message) { return add(message.data(), message.size(), nullptr, 0); }

  // The two-call form of add(): begin_add takes the lock, appends the first piece and returns
  // with the lock held; end_add, on the same thread, appends the second piece, releases the
  // lock and posts. end_add returns false when the message was dropped.
  void begin_add(const void* bytes, size_t count) KT_ACQUIRE(lock_);
  bool end_add(const void* bytes, size_t count) KT_RELEASE(lock_);

  // Marks data posted and wakes the consumer (signalling buffers only).
  void post();

  // Blocks until data is posted or the buffer is closing and clears the posted mark. Returns 0
  // for data, -1 when closing (pending bytes can still be taken).
  int wait();
  // wait() for at most limit: 1 when it passed without data being posted.
  int wait_for(std::chrono::milliseconds limit);

  // Marks the buffer closing and wakes the consumer; later messages are dropped.
  void close();
  bool closing() const;
  // True while a consumer sleeps in wait().
  bool waiting() const;

  // Moves up to max pending bytes from the front to the end of out. Returns the count moved.
  size_t take(std::string& out, size_t max = SIZE_MAX);
  size_t length() const;

 private:
  bool append_locked(const void* bytes, size_t count);
  void post_locked();

  mutable mutex lock_;
  std::condition_variable_any cond_;
  std::string data_;  // guarded by lock_
  const bool signalling_;
  const size_t max_length_;
  bool closing_ = false;  // guarded by lock_
  bool posted_ = false;   // guarded by lock_
  int waiters_ = 0;       // consumers inside wait(); guarded by lock_
  size_t mark_ = 0;       // length before the message begin_add started
  bool dropped_ = false;  // the message begin_add started is being dropped
};

}  // namespace kt

#endif  // KT_BUFFERS_NET_BUFFER_H_
