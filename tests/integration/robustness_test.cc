// Robustness of the real orvaned against broken and hostile clients on loopback: random bytes on
// every port, truncated, oversized and lying requests, slow and silent clients, a thousand
// connections at once, clients that vanish mid-request, WebSocket garbage and the connection cap.
// After every case the server answers a valid command at once and its threads and descriptors
// return to their idle level. Every case is bounded in count and time; the random inputs come
// from a fixed seed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/loopback.h"
#include "support/orvaned.h"
#include "support/websocket_client.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;
using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr const char* kGetToken =
    "<orvane><getToken domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getToken></orvane>";
// The server's deadline for a TLS handshake plus one request, in seconds.
constexpr int kDeadlineSeconds = 30;

// Requests sent (connections carrying bytes, and WebSocket frames), by kind, in this process.
std::map<std::string, uint64_t>& sent() {
  static std::map<std::string, uint64_t> counts;
  return counts;
}
uint64_t sent_total() {
  uint64_t total = 0;
  for (const auto& [kind, n] : sent()) total += n;
  return total;
}
void note_sent(const std::string& kind, uint64_t n = 1) {
  sent()[kind] += n;
}

int64_t elapsed_ms(steady::time_point since) {
  return std::chrono::duration_cast<milliseconds>(steady::now() - since).count();
}

// --- The server process as the kernel sees it.

long proc_status_field(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

long thread_count(pid_t pid) {
  return proc_status_field(pid, "Threads");
}

long fd_count(pid_t pid) {
  std::error_code ec;
  long n = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end; !ec && it != end;
       it.increment(ec)) {
    ++n;
  }
  return ec ? -1 : n;
}

// The soft limit of open files of a process.
long long open_files_limit(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Max open files", 0) == 0) {
      std::istringstream fields(line.substr(14));
      std::string soft;
      fields >> soft;
      return soft == "unlimited" ? -1 : std::atoll(soft.c_str());
    }
  }
  return 0;
}

// Polls until check() holds or the time runs out; returns the last result.
bool wait_until(const std::function<bool()>& check, milliseconds limit) {
  const steady::time_point end = steady::now() + limit;
  for (;;) {
    if (check()) return true;
    if (steady::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(50));
  }
}

void raise_own_fd_limit(rlim_t wanted) {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur >= wanted) return;
  rl.rlim_cur = std::min(wanted, rl.rlim_max);
  setrlimit(RLIMIT_NOFILE, &rl);
}

// --- Plain sockets.

// A socket descriptor closed with the object.
class sock {
 public:
  sock() = default;
  explicit sock(int fd) : fd_(fd) {}
  ~sock() { reset(); }
  sock(sock&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  sock& operator=(sock&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes with a reset instead of an orderly end.
  void abort() {
    if (fd_ < 0) return;
    linger l{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    reset();
  }

 private:
  int fd_ = -1;
};

sock dial(uint16_t port) {
  return sock(orvane_test::loopback_connect(port, 10000, 0));
}

bool send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// What a peer did: the bytes it sent and whether it closed the connection.
struct peer_end {
  bool closed = false;
  std::string bytes;
};

// Reads until the server closes or the time runs out.
peer_end read_to_close(int fd, int timeout_ms) {
  peer_end r;
  const steady::time_point end = steady::now() + milliseconds(timeout_ms);
  for (;;) {
    const int64_t left = std::chrono::duration_cast<milliseconds>(end - steady::now()).count();
    if (left <= 0) return r;
    pollfd p{fd, POLLIN, 0};
    const int rc = ::poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return r;
    char chunk[8192];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      r.closed = true;
      return r;
    }
    r.bytes.append(chunk, static_cast<size_t>(n));
  }
}

// Whether the server has ended the connection (without waiting); what it sent is dropped.
bool peer_gone(int fd) {
  for (;;) {
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n == 0) return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
  }
}

// Sends bytes, ends the sending direction, and reads the server's answer until it closes.
peer_end plain_request(uint16_t port, std::string_view bytes, int timeout_ms = 10000) {
  sock s = dial(port);
  if (!s.valid()) return {};
  send_all(s.get(), bytes);
  ::shutdown(s.get(), SHUT_WR);
  return read_to_close(s.get(), timeout_ms);
}

// --- TLS whose records are made and taken in memory, so that a test decides when and how its
// bytes reach the socket.

SSL_CTX* client_ctx() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    return c;
  }();
  return ctx;
}

class tls_client {
 public:
  explicit tls_client(sock s) : sock_(std::move(s)) {
    ssl_ = SSL_new(client_ctx());
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
  }
  ~tls_client() {
    SSL_free(ssl_);
    ERR_clear_error();
  }
  tls_client(const tls_client&) = delete;
  tls_client& operator=(const tls_client&) = delete;

  int fd() const { return sock_.get(); }
  sock& socket() { return sock_; }

  // The client's first flight (its ClientHello), not sent.
  std::string hello() {
    SSL_do_handshake(ssl_);
    return drain();
  }

  // The whole handshake over the socket.
  bool handshake(int timeout_ms = 10000) {
    const steady::time_point end = steady::now() + milliseconds(timeout_ms);
    for (;;) {
      const int rc = SSL_do_handshake(ssl_);
      if (!send_all(fd(), drain())) return false;
      if (rc == 1) return true;
      if (SSL_get_error(ssl_, rc) != SSL_ERROR_WANT_READ) return false;
      if (receive(end) <= 0) return false;
    }
  }

  // Application data sealed into records, not sent.
  std::string seal(std::string_view plain) {
    if (!plain.empty()) SSL_write(ssl_, plain.data(), static_cast<int>(plain.size()));
    return drain();
  }
  bool write(std::string_view plain) { return send_all(fd(), seal(plain)); }

  // Decrypts what the server sends until it closes or the time runs out.
  peer_end read_to_close(int timeout_ms) {
    peer_end r;
    const steady::time_point end = steady::now() + milliseconds(timeout_ms);
    for (;;) {
      char chunk[8192];
      int n;
      while ((n = SSL_read(ssl_, chunk, sizeof chunk)) > 0) r.bytes.append(chunk, n);
      if (SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN) {
        r.closed = true;
        return r;
      }
      const int got = receive(end);
      if (got < 0) {
        r.closed = true;
        return r;
      }
      if (got == 0) return r;
    }
  }

 private:
  std::string drain() {
    std::string bytes;
    char chunk[16384];
    int n;
    while ((n = BIO_read(out_, chunk, sizeof chunk)) > 0) bytes.append(chunk, n);
    return bytes;
  }
  // Moves received bytes into the session: >0 bytes, 0 time out, -1 closed.
  int receive(steady::time_point end) {
    const int64_t left = std::chrono::duration_cast<milliseconds>(end - steady::now()).count();
    if (left <= 0) return 0;
    pollfd p{fd(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return 0;
    char chunk[16384];
    const ssize_t n = ::recv(fd(), chunk, sizeof chunk, 0);
    if (n <= 0) return -1;
    BIO_write(in_, chunk, static_cast<int>(n));
    return static_cast<int>(n);
  }

  sock sock_;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;   // owned by ssl_
  BIO* out_ = nullptr;  // owned by ssl_
};

// Sends bytes over TLS, ends the sending direction, and reads the answer until the server closes.
peer_end tls_request(uint16_t port, std::string_view bytes, int timeout_ms = 10000) {
  tls_client t(dial(port));
  if (!t.socket().valid() || !t.handshake()) return {};
  t.write(bytes);
  ::shutdown(t.fd(), SHUT_WR);
  return t.read_to_close(timeout_ms);
}

std::string post_request(const std::string& document) {
  return "POST / HTTP/1.0\r\nHost: localhost\r\nContent-Length: " +
         std::to_string(document.size()) + "\r\n\r\n" + document;
}

int status_of(const peer_end& r) {
  return parse_http(r.bytes).status;
}

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

// --- The fixture: a server per test, its idle level, and the checks after the test.

class RobustnessTest : public ::testing::Test {
 protected:
  // Called before the server starts.
  virtual void configure() {}

  void SetUp() override {
    raise_own_fd_limit(4096);
    configure();
    ASSERT_TRUE(server.start()) << server.log();
    ASSERT_FALSE(server.token().empty());
    // The idle level: threads and descriptors once the server has been still for a second.
    long last_threads = -1;
    long last_fds = -1;
    int still = 0;
    for (int i = 0; i < 200 && still < 10; ++i) {
      std::this_thread::sleep_for(milliseconds(100));
      const long t = thread_count(server.pid());
      const long f = fd_count(server.pid());
      still = t == last_threads && f == last_fds ? still + 1 : 0;
      last_threads = t;
      last_fds = f;
    }
    idle_threads = last_threads;
    idle_fds = last_fds;
    ASSERT_GT(idle_threads, 0);
    sent_before = sent_total();
  }

  void TearDown() override {
    if (!server.running()) return;
    // A valid command is answered at once.
    const steady::time_point t0 = steady::now();
    const http_answer a = server.post(kGetToken);
    const int64_t answer_ms = elapsed_ms(t0);
    EXPECT_EQ(orvaned_process::code(a), 0) << a.raw;
    EXPECT_LT(answer_ms, 5000);
    note_sent("valid command");
    // Threads and descriptors return to their idle level.
    long threads = 0;
    long fds = 0;
    const bool idle = wait_until(
        [&] {
          threads = thread_count(server.pid());
          fds = fd_count(server.pid());
          return threads <= idle_threads && fds <= idle_fds;
        },
        seconds(60));
    EXPECT_TRUE(idle) << "threads " << threads << " (idle " << idle_threads << "), fds " << fds
                      << " (idle " << idle_fds << ")";
    std::printf(
        "[ robustness ] requests sent: %llu (this process: %llu); server threads idle %ld, peak "
        "%ld, after %ld; fds idle %ld, peak %ld, after %ld; valid command answered in %lld ms\n",
        static_cast<unsigned long long>(sent_total() - sent_before),
        static_cast<unsigned long long>(sent_total()), idle_threads, peak_threads, threads,
        idle_fds, peak_fds, fds, static_cast<long long>(answer_ms));
    for (const auto& [kind, n] : sent()) {
      std::printf("[ robustness ]   %-28s %llu\n", kind.c_str(),
                  static_cast<unsigned long long>(n));
    }
    std::fflush(stdout);
    // And it shuts down cleanly (sanitizer builds also report what they found here).
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_EQ(server.log().find("Sanitizer"), std::string::npos) << server.log();
    EXPECT_EQ(server.log().find("runtime error"), std::string::npos) << server.log();
  }

  // Notes the server's current threads and descriptors in the peaks; returns the descriptors.
  long sample() {
    peak_threads = std::max(peak_threads, thread_count(server.pid()));
    const long f = fd_count(server.pid());
    peak_fds = std::max(peak_fds, f);
    return f;
  }

  // A valid command answered at once while the test goes on.
  void expect_valid_command_at_once() {
    const steady::time_point t0 = steady::now();
    const http_answer a = server.post(kGetToken);
    note_sent("valid command");
    EXPECT_EQ(orvaned_process::code(a), 0) << a.raw;
    EXPECT_LT(elapsed_ms(t0), 5000);
  }

  orvaned_process server;
  long idle_threads = 0;
  long idle_fds = 0;
  long peak_threads = 0;
  long peak_fds = 0;
  uint64_t sent_before = 0;
};

TEST_F(RobustnessTest, RandomBytesOnEveryPort) {
  std::mt19937 rng(11);
  // Random bytes alone, and after a start that passes each parser's first check.
  const std::vector<std::string> starts = {
      "",
      "GET / HTTP/1.0\r\n",
      "POST / HTTP/1.0\r\nContent-Length: 100\r\n\r\n",
      std::string("\x16\x03\x01\x02\x00", 5),
      std::string("\x16\x03\x03\x00\x8f\x01\x00\x00\x8b\x03\x03", 11),
      "<m><t debug=\"1\">",
  };
  const std::pair<const char*, uint16_t> ports[] = {
      {"random bytes http", server.http_port},
      {"random bytes https", server.https_port},
      {"random bytes monitor", server.monitor_port},
  };
  for (const auto& [kind, port] : ports) {
    for (int i = 0; i < 60; ++i) {
      const size_t length = 1 + rng() % (i % 10 == 0 ? 200000 : 4096);
      const std::string bytes = starts[i % starts.size()] + random_bytes(rng, length);
      sock s = dial(port);
      ASSERT_TRUE(s.valid()) << kind << " " << i;
      send_all(s.get(), bytes);
      note_sent(kind);
      if (i % 3 == 2) {
        s.abort();
        continue;
      }
      ::shutdown(s.get(), SHUT_WR);
      const peer_end r = read_to_close(s.get(), 10000);
      EXPECT_TRUE(r.closed) << kind << " " << i;
      // Whatever was answered is not a success.
      if (!r.bytes.empty()) {
        EXPECT_NE(status_of(r), 200) << kind << " " << i;
      }
    }
    sample();
  }

  // Random request bodies and mangled command documents over TLS reach the XML parser.
  const std::string valid =
      "<orvane><userSearch domain=\"ORVANE\" token=\"x\"><s>^a.*$</s></userSearch>"
      "<getToken domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getToken></orvane>";
  for (int i = 0; i < 60; ++i) {
    std::string body;
    if (i % 2 == 0) {
      body = random_bytes(rng, 1 + rng() % 3000);
    } else {
      body = valid;
      for (int flips = 1 + static_cast<int>(rng() % 8); flips > 0; --flips) {
        body[rng() % body.size()] = static_cast<char>(rng() & 0xff);
      }
    }
    const peer_end r = tls_request(server.https_port, post_request(body));
    note_sent("random command body https");
    EXPECT_TRUE(r.closed) << i;
    EXPECT_EQ(status_of(r), 200) << i;
  }
  sample();
}

TEST_F(RobustnessTest, TruncatedOversizedAndLyingRequests) {
  const std::string post = post_request(kGetToken);
  const size_t head = post.find("\r\n\r\n") + 4;
  // Truncated anywhere: no answer, and the connection ends when the client stops sending.
  for (size_t cut = 0; cut < post.size(); cut += (cut + 3 >= head && cut <= head + 3) ? 1 : 7) {
    const peer_end r = tls_request(server.https_port, post.substr(0, cut));
    note_sent("truncated https");
    EXPECT_TRUE(r.closed) << cut;
    EXPECT_EQ(r.bytes, "") << cut;
  }
  const std::string get = "GET /getXmlVersion HTTP/1.0\r\nHost: localhost\r\n\r\n";
  for (size_t cut = 0; cut < get.size(); cut += 3) {
    const peer_end r = plain_request(server.http_port, get.substr(0, cut));
    note_sent("truncated http");
    EXPECT_TRUE(r.closed) << cut;
    EXPECT_EQ(r.bytes, "") << cut;
  }
  // The whole requests are answered.
  EXPECT_EQ(orvaned_process::code(parse_http(tls_request(server.https_port, post).bytes)), 0);
  EXPECT_EQ(status_of(plain_request(server.http_port, get)), 200);
  note_sent("truncated https");
  note_sent("truncated http");

  // Oversized heads are refused; many small headers within the bound are fine.
  const std::string long_header =
      "GET / HTTP/1.0\r\nX-Long: " + std::string(70 * 1024, 'a') + "\r\n\r\n";
  std::string many_headers = "GET /getXmlVersion HTTP/1.0\r\n";
  for (int i = 0; i < 3000; ++i) many_headers += "X-" + std::to_string(i) + ": v\r\n";
  many_headers += "\r\n";
  for (bool tls : {false, true}) {
    const uint16_t port = tls ? server.https_port : server.http_port;
    auto send = [&](const std::string& bytes) {
      note_sent(tls ? "oversized https" : "oversized http");
      return tls ? tls_request(port, bytes) : plain_request(port, bytes);
    };
    peer_end r = send(long_header);
    EXPECT_TRUE(r.closed);
    // The server may reset the connection before its 400 is read: no answer is fine, 200 not.
    if (!r.bytes.empty()) {
      EXPECT_EQ(status_of(r), 400);
    }
    r = send(many_headers);
    EXPECT_EQ(status_of(r), 200);
    r = send(std::string(200 * 1024, '\n'));
    EXPECT_TRUE(r.closed);
    r = send("GET /" + std::string(100 * 1024, 'x') + " HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(r.closed);
    if (!r.bytes.empty()) {
      EXPECT_EQ(status_of(r), 400);
    }
  }

  // A body over the size limit (4 MiB + 1,500 bytes) is cut off without an answer, whether or
  // not the length is announced.
  const std::string big(4 * 1048576 + 4096, 'a');
  for (const std::string& request :
       {"POST / HTTP/1.0\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big,
        "POST / HTTP/1.0\r\nContent-Length: 2000\r\n\r\n" + big}) {
    const peer_end r = tls_request(server.https_port, request, 20000);
    note_sent("oversized https");
    EXPECT_TRUE(r.closed);
    if (!r.bytes.empty()) {
      EXPECT_EQ(status_of(r), 400);
    }
  }

  // Content-Length that lies or does not parse.
  const std::string doc = kGetToken;
  const struct {
    std::string value;
    std::string body;
    int status;  // 0: no answer
  } lies[] = {
      {std::to_string(doc.size() + 100), doc, 0},   // more announced than sent
      {"4294967295", doc, 0},                       // the most a length can say
      {"104857600", doc, 0},                        // more than the size limit
      {std::to_string(doc.size() - 10), doc, 400},  // less announced than sent
      {"abc", doc, 400},
      {"-1", doc, 400},
      {"", doc, 400},
      {"0x10", doc, 400},
      {"4294967296", doc, 400},
      {"18446744073709551617", doc, 400},
      {"99999999999999999999999999999999", doc, 400},
      {std::to_string(doc.size()) + "\r\nContent-Length: 5", doc, 400},  // conflicting
      {std::to_string(doc.size()) + "\r\nContent-Length: " + std::to_string(doc.size()), doc,
       200},  // repeated, agreeing
  };
  for (const auto& lie : lies) {
    const std::string request =
        "POST / HTTP/1.0\r\nContent-Length: " + lie.value + "\r\n\r\n" + lie.body;
    const peer_end r = tls_request(server.https_port, request);
    note_sent("content-length lies https");
    EXPECT_TRUE(r.closed) << lie.value;
    if (lie.status == 0) {
      EXPECT_EQ(r.bytes, "") << lie.value;
    } else {
      EXPECT_EQ(status_of(r), lie.status) << lie.value << ": " << r.bytes.substr(0, 200);
    }
    const peer_end p = plain_request(server.http_port, request);
    note_sent("content-length lies http");
    EXPECT_TRUE(p.closed) << lie.value;
    if (lie.status == 400) {
      EXPECT_EQ(status_of(p), 400) << lie.value;
    }
  }

  // Bodies that are hard on the XML parser are answered.
  std::string nested;
  for (int i = 0; i < 200000; ++i) nested += "<a>";
  const std::string bodies[] = {
      nested,
      "<orvane>" + nested + "</orvane>",
      "<orvane><getToken domain=\"ORVANE\"><u>" + std::string(1 << 20, 'u') +
          "</u><p>x</p></getToken></orvane>",
      "<" + std::string(4096, 'n') + "/>",
      std::string("<orvane>\0<getToken/></orvane>", 29),
      "<orvane>" + std::string(100000, '&') + "</orvane>",
  };
  for (const std::string& body : bodies) {
    const peer_end r = tls_request(server.https_port, post_request(body), 20000);
    note_sent("hard xml https");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(status_of(r), 200);
  }
  sample();
}

TEST_F(RobustnessTest, SlowAndSilentClientsAreDroppedAtTheDeadline) {
  // Each case is dropped by the server at the deadline; the slow ones send one byte a second.
  struct slow_case {
    std::string kind;
    std::unique_ptr<tls_client> tls;  // the connection (a TLS client also for plain sockets)
    std::string drip;                 // bytes sent one a second
    size_t dripped = 0;
    int64_t closed_ms = -1;
  };
  std::vector<slow_case> cases;
  auto add = [&](const std::string& kind, uint16_t port) -> slow_case& {
    slow_case& c = cases.emplace_back();
    c.kind = kind;
    c.tls = std::make_unique<tls_client>(dial(port));
    EXPECT_TRUE(c.tls->socket().valid()) << kind;
    note_sent(kind);
    return c;
  };
  const std::string slow_get =
      "GET /getXmlVersion HTTP/1.0\r\nHost: localhost\r\nX-Pad: " + std::string(200, 'p');
  const steady::time_point t0 = steady::now();

  add("slow http", server.http_port).drip = slow_get;
  {
    slow_case& c = add("slow tls handshake", server.https_port);
    c.drip = c.tls->hello();
  }
  {
    slow_case& c = add("slow tls request", server.https_port);
    ASSERT_TRUE(c.tls->handshake());
    c.drip = c.tls->seal(slow_get);  // one record, one byte a second
  }
  add("silent http", server.http_port);
  add("silent https", server.https_port);
  add("silent monitor", server.monitor_port);
  {
    slow_case& c = add("half tls handshake", server.https_port);
    const std::string hello = c.tls->hello();
    send_all(c.tls->fd(), hello.substr(0, hello.size() / 2));
  }
  {
    slow_case& c = add("silent after tls handshake", server.https_port);
    ASSERT_TRUE(c.tls->handshake());
  }
  {
    slow_case& c = add("partial monitor subscription", server.monitor_port);
    send_all(c.tls->fd(), "<m><t debug=\"1\"");
  }
  {
    slow_case& c = add("content-length lie http", server.http_port);
    send_all(c.tls->fd(), "GET / HTTP/1.0\r\nContent-Length: 100\r\n\r\n0123456789");
  }
  {
    slow_case& c = add("content-length lie https", server.https_port);
    ASSERT_TRUE(c.tls->handshake());
    c.tls->write("POST / HTTP/1.0\r\nContent-Length: 100\r\n\r\n<orvane>");
  }
  {
    // Whole one-byte records, one a second.
    slow_case& c = add("slow tls records", server.https_port);
    ASSERT_TRUE(c.tls->handshake());
    for (char b : slow_get) c.drip += c.tls->seal(std::string_view(&b, 1));
  }

  // A WebSocket channel that bound a token stays open while silent; one that bound none is
  // closed once its bind time is over.
  websocket_client ws_plain;
  websocket_client ws_tls;
  ASSERT_TRUE(ws_plain.open(server.http_port, false));
  ASSERT_TRUE(ws_tls.open(server.https_port, true));
  const std::string bound_token = server.token();
  ASSERT_EQ(ws_plain.auth(bound_token), 0);
  note_sent("silent websocket", 3);

  // Whole one-byte records of the slow TLS client arrive one record at a time.
  std::vector<size_t> record_ends;
  for (slow_case& c : cases) {
    if (c.kind != "slow tls records") continue;
    // Each record is 5 bytes of header plus its sealed payload; send one record per step.
    size_t at = 0;
    while (at + 5 <= c.drip.size()) {
      const size_t length =
          (static_cast<uint8_t>(c.drip[at + 3]) << 8) | static_cast<uint8_t>(c.drip[at + 4]);
      at += 5 + length;
      record_ends.push_back(at);
    }
  }

  int64_t last_command_ms = -1;
  for (int step = 0;; ++step) {
    const int64_t now = elapsed_ms(t0);
    bool open_left = false;
    for (slow_case& c : cases) {
      if (c.closed_ms >= 0) continue;
      if (peer_gone(c.tls->fd())) {
        c.closed_ms = now;
        continue;
      }
      open_left = true;
      size_t next = c.dripped + 1;
      if (c.kind == "slow tls records") {
        next = static_cast<size_t>(step) < record_ends.size() ? record_ends[step] : c.drip.size();
      }
      next = std::min(next, c.drip.size());
      if (next > c.dripped) {
        send_all(c.tls->fd(), std::string_view(c.drip).substr(c.dripped, next - c.dripped));
        c.dripped = next;
      }
    }
    sample();
    if (!open_left || now > (kDeadlineSeconds + 20) * 1000) break;
    // The server keeps serving others meanwhile.
    if (last_command_ms < 0 || now - last_command_ms >= 4000) {
      last_command_ms = now;
      expect_valid_command_at_once();
      EXPECT_EQ(server.get("/getXmlVersion", false).status, 200);
      note_sent("valid command");
    }
    std::this_thread::sleep_for(milliseconds(1000 - elapsed_ms(t0) % 1000));
  }

  for (const slow_case& c : cases) {
    EXPECT_GE(c.closed_ms, 0) << c.kind << " is still open after " << kDeadlineSeconds + 20 << " s";
    // Not dropped before its deadline (the slow ones were still sending within it).
    if (c.closed_ms >= 0) {
      EXPECT_GE(c.closed_ms, (kDeadlineSeconds - 2) * 1000) << c.kind;
    }
    std::printf("[ robustness ] %-28s dropped after %lld ms (%zu bytes sent)\n", c.kind.c_str(),
                static_cast<long long>(c.closed_ms), c.kind.find("slow") == 0 ? c.dripped : 0);
  }
  // The bound silent channel is still served; the unbound one was closed.
  EXPECT_EQ(ws_plain.auth(bound_token), 0);
  EXPECT_EQ(ws_tls.auth(server.token()), -1);
  note_sent("websocket frame", 2);
}

// The server starts with a low limit of open files, which it raises for its connections.
class RobustnessManyConnectionsTest : public RobustnessTest {
 protected:
  void configure() override {
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    saved_ = rl;
    if (rl.rlim_max > 1024) {
      rl.rlim_cur = 1024;
      setrlimit(RLIMIT_NOFILE, &rl);
    }
  }
  void SetUp() override {
    RobustnessTest::SetUp();
    setrlimit(RLIMIT_NOFILE, &saved_);
    raise_own_fd_limit(4096);
  }
  rlimit saved_{};
};

TEST_F(RobustnessManyConnectionsTest, ThousandConcurrentConnections) {
  rlimit own{};
  getrlimit(RLIMIT_NOFILE, &own);
  if (own.rlim_cur < 2200) GTEST_SKIP() << "needs descriptors for 1,000 connections";
  // The server raised its own limit to hold its connection caps (three ports of 1,024, and an
  // event descriptor per WebSocket channel), as far as the hard limit allows.
  const long long limit = open_files_limit(server.pid());
  if (own.rlim_max >= 8192) {
    EXPECT_GE(limit, 5 * 1024 + 256);
  }

  constexpr int kPlain = 500;
  constexpr int kTls = 500;
  const std::string get = "GET /getXmlVersion HTTP/1.0\r\nHost: localhost\r\n";
  std::vector<sock> plain;
  std::vector<std::unique_ptr<tls_client>> tls;
  for (int i = 0; i < kPlain; ++i) {
    sock s = dial(server.http_port);
    ASSERT_TRUE(s.valid()) << i;
    ASSERT_TRUE(send_all(s.get(), get)) << i;
    plain.push_back(std::move(s));
  }
  for (int i = 0; i < kTls; ++i) {
    auto t = std::make_unique<tls_client>(dial(server.https_port));
    ASSERT_TRUE(t->socket().valid()) << i;
    ASSERT_TRUE(t->handshake()) << i;
    ASSERT_TRUE(t->write(get)) << i;
    tls.push_back(std::move(t));
  }
  note_sent("concurrent http", kPlain);
  note_sent("concurrent https", kTls);
  // Every connection has its socket in the server at the same time.
  EXPECT_TRUE(wait_until([&] { return sample() >= idle_fds + kPlain + kTls; }, seconds(60)))
      << "fds " << fd_count(server.pid()) << ", idle " << idle_fds;
  sample();
  // Others are served meanwhile.
  expect_valid_command_at_once();

  // Every request completes and is answered.
  int answered = 0;
  for (sock& s : plain) {
    send_all(s.get(), "\r\n");
    const peer_end r = read_to_close(s.get(), 20000);
    answered += status_of(r) == 200 ? 1 : 0;
    s.reset();
  }
  for (auto& t : tls) {
    t->write("\r\n");
    const peer_end r = t->read_to_close(20000);
    answered += status_of(r) == 200 ? 1 : 0;
    t.reset();
  }
  EXPECT_EQ(answered, kPlain + kTls);
}

TEST_F(RobustnessTest, ClientsThatGoAwayMidRequest) {
  std::mt19937 rng(13);
  const std::string post = post_request(kGetToken);
  for (int i = 0; i < 100; ++i) {
    const bool reset = i % 2 == 1;
    auto gone = [&](sock& s) {
      if (reset) {
        s.abort();
      } else {
        s.reset();
      }
    };
    // Plain: part of a request, then gone.
    {
      sock s = dial(server.http_port);
      send_all(s.get(),
               std::string("GET /getXmlVersion HTTP/1.0\r\nHost: x\r\n").substr(0, rng() % 40));
      gone(s);
      note_sent("gone mid-request http");
    }
    // TLS: part of the handshake, then gone.
    {
      tls_client t(dial(server.https_port));
      const std::string hello = t.hello();
      send_all(t.fd(), hello.substr(0, rng() % hello.size()));
      gone(t.socket());
      note_sent("gone mid-handshake https");
    }
    // TLS: part of a request after the handshake, then gone.
    {
      tls_client t(dial(server.https_port));
      ASSERT_TRUE(t.handshake());
      const std::string records = t.seal(post);
      send_all(t.fd(), records.substr(0, rng() % records.size()));
      gone(t.socket());
      note_sent("gone mid-request https");
    }
    // Monitoring: part of a subscription, then gone.
    {
      sock s = dial(server.monitor_port);
      send_all(s.get(), std::string("<m><t debug=\"1\"/></m>").substr(0, rng() % 20));
      gone(s);
      note_sent("gone mid-subscription monitor");
    }
    // A subscriber that goes away while exchanges are mirrored to it.
    if (i % 10 == 0) {
      sock s = dial(server.monitor_port);
      send_all(s.get(), "<m><t debug=\"1\"/></m>");
      note_sent("gone subscriber monitor");
      expect_valid_command_at_once();
      gone(s);
    }
    // WebSocket: part of a frame, then gone.
    {
      websocket_client ws;
      ASSERT_TRUE(ws.open(i % 4 < 2 ? server.http_port : server.https_port, i % 4 >= 2));
      const std::string frame = websocket_client::frame("<m><auth token=\"x\"/></m>");
      ws.send_raw(frame.substr(0, rng() % frame.size()));
      note_sent("gone mid-frame websocket");
    }
    if (i % 20 == 0) sample();
  }
  // Every one of those connections ends without waiting for the deadline.
  EXPECT_TRUE(wait_until([&] { return thread_count(server.pid()) <= idle_threads; }, seconds(20)))
      << "threads " << thread_count(server.pid()) << ", idle " << idle_threads;
}

TEST_F(RobustnessTest, WebSocketGarbage) {
  std::mt19937 rng(17);
  auto raw_frame = [](uint8_t first, bool masked, uint64_t length, std::string_view payload) {
    std::string f;
    f.push_back(static_cast<char>(first));
    const char mask_bit = masked ? static_cast<char>(0x80) : 0;
    if (length <= 125) {
      f.push_back(static_cast<char>(mask_bit | static_cast<char>(length)));
    } else if (length <= 0xffff) {
      f.push_back(static_cast<char>(mask_bit | 126));
      f.push_back(static_cast<char>(length >> 8));
      f.push_back(static_cast<char>(length));
    } else {
      f.push_back(static_cast<char>(mask_bit | 127));
      for (int shift = 56; shift >= 0; shift -= 8) f.push_back(static_cast<char>(length >> shift));
    }
    if (masked) f.append("\0\0\0\0", 4);  // a zero key leaves the payload as it is
    f.append(payload);
    return f;
  };
  const std::string auth = "<m><auth token=\"nope\"/></m>";
  struct garbage {
    const char* name;
    std::string bytes;
    bool answered;  // an answer frame comes back; otherwise the server ends the connection
  };
  const std::vector<garbage> cases = {
      {"random bytes", random_bytes(rng, 3000), false},
      {"random bytes after a frame start", std::string("\x81\xff", 2) + random_bytes(rng, 100),
       false},
      {"oversized 16-bit length", raw_frame(0x81, true, 1501, std::string(1501, 'a')), false},
      {"oversized 64-bit length", raw_frame(0x81, true, 70000, ""), false},
      {"length with the top bit", raw_frame(0x81, true, 1ull << 63, ""), false},
      {"largest length", raw_frame(0x81, true, ~0ull, ""), false},
      {"close frame", websocket_client::frame("", 0x8), false},
      {"close frame with a huge length", raw_frame(0x88, true, 1ull << 62, ""), false},
      {"ping that is not XML", websocket_client::frame("ping", 0x9), false},
      {"text that is not XML", websocket_client::frame(random_bytes(rng, 1000)), false},
      {"empty text frame", websocket_client::frame(""), false},
      {"binary frame with a message", websocket_client::frame(auth, 0x2), true},
      {"unfinished fragment with a message", raw_frame(0x01, true, auth.size(), auth), true},
      {"unmasked message", raw_frame(0x81, false, auth.size(), auth), true},
      {"message at the size limit",
       websocket_client::frame("<m><auth token=\"" + std::string(1500 - 23, 't') + "\"/></m>"),
       true},
      {"message over the size limit",
       websocket_client::frame("<m><auth token=\"" + std::string(1501 - 23, 't') + "\"/></m>"),
       false},
      {"message without auth", websocket_client::frame("<m><other/></m>"), true},
  };
  for (bool tls : {false, true}) {
    for (const garbage& g : cases) {
      websocket_client ws;
      ASSERT_TRUE(ws.open(tls ? server.https_port : server.http_port, tls)) << g.name;
      ws.send_raw(g.bytes);
      note_sent(tls ? "websocket garbage tls" : "websocket garbage plain");
      std::string payload;
      const ws_read got = ws.read_frame(&payload, 10000);
      if (g.answered) {
        EXPECT_EQ(got, ws_read::frame) << g.name << (tls ? " (tls)" : "");
        EXPECT_NE(ws_result_code(payload), 0) << g.name;
      } else {
        EXPECT_EQ(got, ws_read::closed) << g.name << (tls ? " (tls)" : "");
      }
    }
    // Garbage after a token was bound, and many messages in one write.
    websocket_client ws;
    ASSERT_TRUE(ws.open(tls ? server.https_port : server.http_port, tls));
    EXPECT_EQ(ws.auth(server.token()), 0);
    note_sent("websocket frame");
    std::string burst;
    for (int i = 0; i < 200; ++i) burst += websocket_client::frame(auth);
    ASSERT_TRUE(ws.send_raw(burst));
    note_sent("websocket frame", 200);
    for (int i = 0; i < 200; ++i) {
      std::string payload;
      ASSERT_EQ(ws.read_frame(&payload, 10000), ws_read::frame) << i;
      EXPECT_EQ(ws_result_code(payload), 257) << i;
    }
    ws.send_raw(random_bytes(rng, 500));
    note_sent("websocket garbage bound");
    std::string payload;
    EXPECT_EQ(ws.read_frame(&payload, 10000), ws_read::closed);
    sample();
  }
}

// The connection cap, lowered through the environment.
class RobustnessCapTest : public RobustnessTest {
 protected:
  static constexpr int kCap = 8;
  void configure() override {
    server.extra_env.push_back("ORVANE_MAX_CONNECTIONS=" + std::to_string(kCap));
  }
};

TEST_F(RobustnessCapTest, ConnectionsBeyondTheCapWaitAndAreServedLater) {
  const std::string get = "GET /getXmlVersion HTTP/1.0\r\nHost: localhost\r\n\r\n";
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    const uint16_t port = tls ? server.https_port : server.http_port;
    // The cap's worth of connections that do not finish their request.
    std::vector<std::unique_ptr<tls_client>> held;
    for (int i = 0; i < kCap; ++i) {
      held.push_back(std::make_unique<tls_client>(dial(port)));
      ASSERT_TRUE(held.back()->socket().valid());
      if (tls) {
        ASSERT_TRUE(held.back()->handshake());
      }
    }
    note_sent(tls ? "cap https" : "cap http", kCap);
    ASSERT_TRUE(wait_until([&] { return sample() >= idle_fds + kCap; }, seconds(20)));
    // More connections are taken by the kernel's backlog but not by the server.
    std::vector<sock> waiting;
    for (int i = 0; i < 3; ++i) {
      sock s = dial(port);
      ASSERT_TRUE(s.valid());
      if (!tls) send_all(s.get(), get);
      waiting.push_back(std::move(s));
    }
    note_sent(tls ? "cap https" : "cap http", 3);
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_EQ(sample(), idle_fds + kCap);
    for (sock& s : waiting) {
      pollfd p{s.get(), POLLIN, 0};
      EXPECT_EQ(::poll(&p, 1, 0), 0) << "a connection beyond the cap was served";
    }
    // The other port is not affected.
    if (tls) {
      EXPECT_EQ(server.get("/getXmlVersion", false).status, 200);
    } else {
      expect_valid_command_at_once();
    }
    note_sent("valid command");

    // As the held connections leave, the waiting ones are served, one slot each.
    held[0].reset();
    held[1].reset();
    for (sock& s : waiting) {
      if (tls) {
        // The waiting TLS client handshakes once it is accepted.
        tls_client t(std::move(s));
        if (&s == &waiting[2]) held[2].reset();
        ASSERT_TRUE(t.handshake(20000));
        ASSERT_TRUE(t.write(get));
        EXPECT_EQ(status_of(t.read_to_close(20000)), 200);
      } else {
        if (&s == &waiting[2]) held[2].reset();
        EXPECT_EQ(status_of(read_to_close(s.get(), 20000)), 200);
      }
    }
    held.clear();
    ASSERT_TRUE(
        wait_until([&] { return thread_count(server.pid()) <= idle_threads; }, seconds(20)));
  }

  // The monitoring port has the same cap.
  std::vector<sock> held;
  for (int i = 0; i < kCap; ++i) held.push_back(dial(server.monitor_port));
  note_sent("cap monitor", kCap);
  ASSERT_TRUE(wait_until([&] { return sample() >= idle_fds + kCap; }, seconds(20)));
  sock late = dial(server.monitor_port);
  ASSERT_TRUE(late.valid());
  send_all(late.get(), "<m><t debug=\"1\"/></m>");
  note_sent("cap monitor");
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_EQ(sample(), idle_fds + kCap);
  held.clear();
  // Once accepted, the late subscriber receives the exchanges.
  ASSERT_TRUE(
      wait_until([&] { return thread_count(server.pid()) == idle_threads + 1; }, seconds(20)));
  expect_valid_command_at_once();
  pollfd p{late.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 10000), 1);
}

TEST(RobustnessConfig, InvalidMaxConnectionsStopsStartup) {
  for (const char* value : {"0", "abc", "-5", "99999999999", ""}) {
    orvaned_process server;
    server.extra_env.push_back(std::string("ORVANE_MAX_CONNECTIONS=") + value);
    const steady::time_point t0 = steady::now();
    EXPECT_FALSE(server.start()) << value;
    // A server that exits for another reason than a taken port is not started again.
    EXPECT_LT(elapsed_ms(t0), 20000) << value;
    EXPECT_NE(server.log().find("ORVANE_MAX_CONNECTIONS"), std::string::npos) << server.log();
  }
}

// The test harness: a port taken between a stop and a start.
TEST(OrvanedHarness, StartPicksOtherPortsWhenOneIsTaken) {
  orvaned_process server;
  ASSERT_TRUE(server.start()) << server.log();
  ASSERT_EQ(server.stop(), 0);
  // Another process listens on the HTTPS port meanwhile.
  const uint16_t taken = server.https_port;
  sock blocker(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(taken);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(blocker.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(blocker.get(), 1), 0);

  ASSERT_TRUE(server.start()) << server.log();
  EXPECT_NE(server.https_port, taken);
  EXPECT_NE(server.log().find("Address already in use"), std::string::npos);
  EXPECT_EQ(orvaned_process::code(server.post(kGetToken)), 0);
  EXPECT_EQ(server.get("/getXmlVersion", false).status, 200);
}

TEST(OrvanedHarness, AChosenPortThatIsTakenIsAFailure) {
  sock blocker(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(blocker.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(blocker.get(), 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(blocker.get(), reinterpret_cast<sockaddr*>(&a), &len);

  orvaned_process server;
  server.extra_env.push_back("ORVANE_HTTP_PORT=" + std::to_string(ntohs(a.sin_port)));
  EXPECT_FALSE(server.start());
  EXPECT_NE(server.log().find("bind("), std::string::npos);
}

TEST(OrvanedHarness, PortsAreDistinctAndOutsideTheEphemeralRange) {
  std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
  unsigned low = 0;
  unsigned high = 0;
  in >> low >> high;
  for (int i = 0; i < 20; ++i) {
    orvaned_process server;
    EXPECT_NE(server.http_port, server.https_port);
    EXPECT_NE(server.http_port, server.monitor_port);
    EXPECT_NE(server.https_port, server.monitor_port);
    if (low > 1024 + 3) {
      for (uint16_t port : {server.http_port, server.https_port, server.monitor_port}) {
        EXPECT_TRUE(port < low || port > high) << port;
      }
    }
  }
}

}  // namespace
}  // namespace orvane_test
