// A listening IPv4 TCP socket and the thread that accepts its connections.
//
// The accept thread blocks every signal (threads started from the callback inherit that mask)
// and hands each accepted socket to the callback, which owns it from then on and must return
// quickly. When the callback returns -1 the listener closes the socket itself.
//
// Stopping: close() may be called from any thread (it is async-signal-safe); it shuts the
// listening socket down, which makes the blocked accept fail and the thread end. wait() joins the
// thread and then closes the listening socket (so the descriptor number cannot be reused while
// close() might still use it; call close() before wait(), not concurrently with its end). The
// destructor does both, so a listener can simply be dropped.
//
// Transient accept failures (an aborted connection, an interrupted call, running out of
// descriptors or memory) do not end the thread; it backs off briefly on resource errors.
//
// Without an accept thread (options::accept_thread false) the listening socket is non-blocking and
// the owner accepts through accept_one(), e.g. from network loops watching fd().
//
// Connection cap: with max_connections > 0 (or a slot counter given in the options) the accept
// thread takes a slot before each accept and waits while none is free, leaving new connections
// in the listen backlog. The owner of an accepted connection hands its slot back with
// release_slot() (or through slots(), which stays valid after the listener is gone). A callback
// that needs the counter gets it through the options, since it may run before
// socket_listener_open() has returned.
#ifndef KT_NETWORK_SOCKET_LISTENER_H_
#define KT_NETWORK_SOCKET_LISTENER_H_

#include <netinet/in.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "utils/pthread_utils.h"
#include "utils/refobj.h"

namespace kt {

inline constexpr int kSocketListenerBacklog = 100;
// Longest bind address text.
inline constexpr size_t kSocketListenerMaxBind = 127;

// Free connection slots of a capped listener. Shared, so a connection may outlive its listener.
class connection_slots : public ref_object {
 public:
  explicit connection_slots(unsigned max);
  ~connection_slots() override;

  // Takes a slot, waiting while none is free. False when woken by wake() or the stop flag.
  bool acquire(const std::atomic<bool>& running);
  // Takes a slot if one is free, without waiting.
  bool try_acquire();
  // True when a slot is free now.
  bool available();
  // Hands a slot back.
  void release();
  // Wakes a waiting acquire (async-signal-safe).
  void wake();
  unsigned max() const { return max_; }

 private:
  sem_t sem_;
  const unsigned max_;
};

class socket_listener {
 public:
  // Called on the accept thread with the accepted socket and the peer address. Returns 0, or -1
  // when it could not take the connection (the listener then closes the socket).
  using callback = std::function<int(int fd, const sockaddr_in& peer)>;

  struct options {
    int backlog = kSocketListenerBacklog;
    unsigned max_connections = 0;     // 0: no cap
    ref_ptr<connection_slots> slots;  // the cap's counter; made from max_connections when null
    // false: the owner calls accept_one(), from an event loop: the listening socket and the
    // accepted ones are non-blocking.
    bool accept_thread = true;
  };

  // accept_one() results besides 1 (one connection accepted and handed to the callback).
  static constexpr int kNoneWaiting = 0;  // no connection is waiting
  static constexpr int kNoSlot = -2;      // the cap is reached: nothing was accepted
  static constexpr int kEnded = -1;       // closed, or failed for good
  static constexpr int kBackOff = -3;     // out of descriptors or memory: try again a bit later

  // Without an accept thread: takes a slot (if capped) and accepts one waiting connection without
  // blocking. Any thread.
  int accept_one();
  // The listening socket (-1 once closed).
  int fd() const { return fd_.load(std::memory_order_acquire); }

  ~socket_listener();
  socket_listener(const socket_listener&) = delete;
  socket_listener& operator=(const socket_listener&) = delete;

  // socket_listener_close: stops accepting. Any thread, any number of times; async-signal-safe.
  void close();
  // socket_listener_wait: waits for the accept thread to end. Any number of times.
  void wait();

  // Hands back the slot of one accepted connection (capped listeners only; no-op otherwise).
  void release_slot();
  // The slot counter, or null when the listener has no cap.
  ref_ptr<connection_slots> slots() const { return slots_; }

  bool running() const { return running_.load(std::memory_order_acquire); }
  const std::string& bind_text() const { return bind_; }
  uint16_t port() const { return port_; }

 private:
  friend std::unique_ptr<socket_listener> socket_listener_open(std::string_view bind_text,
                                                               uint16_t port, callback cb,
                                                               const options& opts);
  socket_listener(int fd, std::string bind_text, uint16_t port, callback cb,
                  ref_ptr<connection_slots> slots);
  static void* routine(void* arg);
  void accept_loop();
  // Accepts one connection and hands it to the callback, the slot (if capped) already taken; the
  // slot goes back when nothing was accepted. Returns what accept_one() returns.
  int accept_holding_slot();

  std::atomic<int> fd_;
  const std::string bind_;
  const uint16_t port_;
  const callback cb_;
  ref_ptr<connection_slots> slots_;
  int accept_flags_ = SOCK_CLOEXEC;  // SOCK_NONBLOCK too without an accept thread
  std::atomic<bool> running_{true};
  pthread_t thread_{};
  bool joinable_ = false;  // guarded by join_lock_
  mutex join_lock_;
};

// Opens a listener on bind_text ("" = all addresses) and port and starts its accept thread.
// Null on failure, after printing "socket_listener_open: <call>(<address>:<port>): <error>".
std::unique_ptr<socket_listener> socket_listener_open(std::string_view bind_text, uint16_t port,
                                                      socket_listener::callback cb,
                                                      const socket_listener::options& opts);
inline std::unique_ptr<socket_listener> socket_listener_open(std::string_view bind_text,
                                                             uint16_t port,
                                                             socket_listener::callback cb) {
  return socket_listener_open(bind_text, port, std::move(cb), socket_listener::options{});
}

// Free-function spellings of the member calls.
inline void socket_listener_close(socket_listener& l) {
  l.close();
}
inline void socket_listener_wait(socket_listener& l) {
  l.wait();
}

}  // namespace kt

#endif  // KT_NETWORK_SOCKET_LISTENER_H_
