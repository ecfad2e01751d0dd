// The daemon's Unix socket: one epoll thread reads requests and answers lookups from memory;
// password and account checks, which may wait for the server, run on worker threads (a bounded
// number at once).
#ifndef ORVANE_HOSTD_SOCK_SERVER_H_
#define ORVANE_HOSTD_SOCK_SERVER_H_

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "threadpool/thread_pool.h"

namespace orvane_hostd {

struct config;
class checks;
class state;

class sock_server {
 public:
  sock_server(const config& c, state& s, checks& k) : c_(c), s_(s), k_(k) {}
  ~sock_server() { stop(); }
  sock_server(const sock_server&) = delete;
  sock_server& operator=(const sock_server&) = delete;

  // Binds the socket (world-connectable; its directory is made when missing) and starts the
  // thread. 0, or -1 with *error.
  int start(std::string* error);
  void stop();

 private:
  struct conn {
    int fd = -1;
    uid_t uid = 0;
    std::string in;
    std::string out;
    size_t sent = 0;
    int64_t deadline_ms = 0;
    uint32_t watched = 0;  // the epoll events registered for it (0: not registered)
  };

  void run();
  void accept_all();
  // Reads what is there; false when the connection is to end.
  bool on_readable(conn& c);
  bool on_writable(conn& c);
  // Registers the connection for what it waits for next.
  void watch(conn& c, uint32_t events);
  // Handles a complete request: answers it, or hands it to a worker (then returns false: the
  // connection is no longer the loop's).
  bool handle(conn& c, std::string_view request);
  void drop(int fd);
  void expire();

  const config& c_;
  state& s_;
  checks& k_;
  int listen_fd_ = -1;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<int> busy_workers_{0};
  std::unordered_map<int, conn> conns_;
  std::unique_ptr<kt::thread_pool> workers_;
  std::thread thread_;
};

}  // namespace orvane_hostd

#endif  // ORVANE_HOSTD_SOCK_SERVER_H_
