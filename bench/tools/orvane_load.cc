// orvane-load: a closed-loop HTTP/1.0 load generator.
//
// Each thread repeats, until the duration has passed: connect, complete a TLS 1.2 handshake (no
// verification; a fresh one each time, or with --resume resuming the thread's session by its
// ticket) unless --plain, send one request (a POST
// with Content-Length, or a GET), read until the server closes, close. A request succeeds when
// a whole answer with a 2xx status arrived (its body as long as a Content-Length header says)
// and, with --expect, the answer contains the given text. Latency is taken from the start of
// connect to the end of the answer.
//
// Only requests that end after the warm-up and before the end of the run are counted;
// requests/s is successful requests per second of the measured window.
//
// The tool speaks nothing but HTTP/1.0, so that the same run can be made against any server.
// The one convenience for the command protocol: --token-doc TEXT is POSTed once at start and
// the text between "<token ...>" and "</token>" of its answer replaces every "{TOKEN}" of the
// request body.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// Answers beyond this size are cut off and counted as errors.
constexpr size_t kMaxAnswer = 16 * 1024 * 1024;
constexpr size_t kMaxThreads = 4096;
constexpr size_t kMaxIdle = 60000;

struct options {
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  bool tls = true;
  unsigned threads = 1;
  double duration = 5.0;
  double warmup = 0.0;
  int timeout_ms = 10000;
  std::string method;  // "POST" or "GET"
  std::string target = "/";
  std::string body;
  std::string expect;
  std::string token_doc;
  unsigned idle = 0;
  bool json = false;
  bool resume = false;
};

void usage(FILE* out) {
  std::fprintf(out,
               "usage: orvane-load --port N [--host ADDR] [--tls|--plain] [--threads T]\n"
               "                   [--duration S] [--warmup S] [--timeout MS]\n"
               "                   (--body FILE | --doc TEXT | --get PATH) [--path PATH]\n"
               "                   [--expect TEXT] [--token-doc TEXT] [--idle N] [--json]\n"
               "                   [--resume]\n"
               "  --host      IPv4 address or host name (default 127.0.0.1)\n"
               "  --tls       TLS 1.2, a full handshake per request (default); --plain: TCP\n"
               "  --resume    TLS: each thread resumes its session (ticket) after the first\n"
               "  --threads   concurrent clients (default 1)\n"
               "  --duration  measured seconds (default 5); --warmup: seconds before (default 0)\n"
               "  --timeout   per-request connect/read/write timeout in ms (default 10000)\n"
               "  --body      POST the contents of FILE; --doc: POST TEXT; --get: GET PATH\n"
               "  --path      target of the POST (default /)\n"
               "  --expect    answers not containing TEXT count as errors\n"
               "  --token-doc POSTed once at start; its <token> text replaces {TOKEN} in the body\n"
               "  --idle      hold N more connections open, sending nothing, during the run\n"
               "  --json      print the result as one JSON object\n");
}

bool parse_number(const char* text, double min, double max, double* out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !(v >= min && v <= max)) {
    std::fprintf(stderr, "orvane-load: invalid number: %s\n", text);
    return false;
  }
  *out = v;
  return true;
}

bool parse_integer(const char* text, double min, double max, double* out) {
  if (!parse_number(text, min, max, out)) return false;
  if (*out != static_cast<double>(static_cast<uint64_t>(*out))) {
    std::fprintf(stderr, "orvane-load: not a whole number: %s\n", text);
    return false;
  }
  return true;
}

// Returns 0, 1 after printing the help, or 2 on a usage error (message printed).
int parse_options(int argc, char** argv, options* o) {
  int sources = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a(argv[i]);
    auto value = [&](const char** out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "orvane-load: %s needs a value\n", argv[i]);
        return false;
      }
      *out = argv[++i];
      return true;
    };
    const char* v = nullptr;
    double n = 0;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 1;
    } else if (a == "--tls") {
      o->tls = true;
    } else if (a == "--plain") {
      o->tls = false;
    } else if (a == "--json") {
      o->json = true;
    } else if (a == "--resume") {
      o->resume = true;
    } else if (a == "--host") {
      if (!value(&v)) return 2;
      o->host = v;
    } else if (a == "--port") {
      if (!value(&v) || !parse_integer(v, 1, 65535, &n)) return 2;
      o->port = static_cast<uint16_t>(n);
    } else if (a == "--threads") {
      if (!value(&v) || !parse_integer(v, 1, kMaxThreads, &n)) return 2;
      o->threads = static_cast<unsigned>(n);
    } else if (a == "--duration") {
      if (!value(&v) || !parse_number(v, 0.001, 86400, &o->duration)) return 2;
    } else if (a == "--warmup") {
      if (!value(&v) || !parse_number(v, 0, 86400, &o->warmup)) return 2;
    } else if (a == "--timeout") {
      if (!value(&v) || !parse_integer(v, 1, 3600000, &n)) return 2;
      o->timeout_ms = static_cast<int>(n);
    } else if (a == "--body") {
      if (!value(&v)) return 2;
      std::ifstream in(v, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "orvane-load: cannot read %s\n", v);
        return 2;
      }
      std::ostringstream s;
      s << in.rdbuf();
      o->body = s.str();
      o->method = "POST";
      ++sources;
    } else if (a == "--doc") {
      if (!value(&v)) return 2;
      o->body = v;
      o->method = "POST";
      ++sources;
    } else if (a == "--get") {
      if (!value(&v)) return 2;
      o->target = v;
      o->method = "GET";
      ++sources;
    } else if (a == "--path") {
      if (!value(&v)) return 2;
      o->target = v;
    } else if (a == "--expect") {
      if (!value(&v)) return 2;
      o->expect = v;
    } else if (a == "--idle") {
      if (!value(&v) || !parse_integer(v, 0, kMaxIdle, &n)) return 2;
      o->idle = static_cast<unsigned>(n);
    } else if (a == "--token-doc") {
      if (!value(&v)) return 2;
      o->token_doc = v;
    } else {
      std::fprintf(stderr, "orvane-load: unknown or malformed argument: %s\n", argv[i]);
      return 2;
    }
  }
  if (o->port == 0) {
    std::fprintf(stderr, "orvane-load: --port is required\n");
    return 2;
  }
  if (sources != 1) {
    std::fprintf(stderr, "orvane-load: give exactly one of --body, --doc, --get\n");
    return 2;
  }
  if (o->target.empty() || o->target.find_first_of("\r\n ") != std::string::npos) {
    std::fprintf(stderr, "orvane-load: invalid request target\n");
    return 2;
  }
  return 0;
}

// Why a request failed; counted per kind.
enum failure : int {
  FAIL_NONE = 0,
  FAIL_CONNECT,
  FAIL_HANDSHAKE,
  FAIL_WRITE,
  FAIL_READ,    // timeout or reset before a whole answer
  FAIL_ANSWER,  // no status line, cut body or answer too long
  FAIL_STATUS,  // a status outside 2xx
  FAIL_EXPECT,  // the --expect text is missing
  FAIL_KINDS
};
constexpr const char* kFailureNames[FAIL_KINDS] = {"",     "connect", "handshake", "write",
                                                   "read", "answer",  "status",    "expect"};

struct ssl_ctx_deleter {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct ssl_deleter {
  void operator()(SSL* s) const { SSL_free(s); }
};
using ssl_ctx_ptr = std::unique_ptr<SSL_CTX, ssl_ctx_deleter>;
using ssl_ptr = std::unique_ptr<SSL, ssl_deleter>;

class socket_fd {
 public:
  explicit socket_fd(int fd) : fd_(fd) {}
  socket_fd(socket_fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  ~socket_fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  socket_fd(const socket_fd&) = delete;
  socket_fd& operator=(const socket_fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A client TLS context: TLS 1.2 only, no verification, no session cache. Without tickets every
// connection makes a full handshake; with them (resume) a requester keeps its last session.
ssl_ctx_ptr make_tls_context(bool resume) {
  ssl_ctx_ptr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return ctx;
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | (resume ? 0 : SSL_OP_NO_TICKET));
  return ctx;
}

using ssl_session_ptr = std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)>;

// The parts of an answer the run checks.
struct answer {
  int status = 0;
  bool whole = false;  // status line, headers and (when announced) the whole body
  std::string_view body;
};

answer parse_answer(std::string_view raw) {
  answer a;
  const size_t head_end = raw.find("\r\n\r\n");
  if (head_end == std::string_view::npos) return a;
  if (raw.size() < 12 || raw.substr(0, 7) != "HTTP/1." || raw[8] != ' ') return a;
  for (size_t i = 9; i < 12; ++i) {
    if (raw[i] < '0' || raw[i] > '9') return a;
    a.status = a.status * 10 + (raw[i] - '0');
  }
  a.body = raw.substr(head_end + 4);
  a.whole = true;
  // Content-Length, when present, must match what arrived.
  size_t pos = raw.find("\r\n");
  while (pos != std::string_view::npos && pos < head_end) {
    const size_t line_start = pos + 2;
    const size_t line_end = raw.find("\r\n", line_start);
    const std::string_view line = raw.substr(line_start, line_end - line_start);
    constexpr std::string_view kName = "content-length:";
    if (line.size() > kName.size()) {
      bool match = true;
      for (size_t i = 0; i < kName.size() && match; ++i) {
        match = static_cast<char>(std::tolower(static_cast<unsigned char>(line[i]))) == kName[i];
      }
      if (match) {
        const std::string value(line.substr(kName.size()));
        char* end = nullptr;
        const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
        a.whole = end != value.c_str() && n == a.body.size();
      }
    }
    pos = line_end;
  }
  return a;
}

// Resolves the host once (IPv4).
std::optional<sockaddr_in> resolve(const std::string& host, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) == 1) return sa;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) return {};
  sa.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  freeaddrinfo(res);
  return sa;
}

// One thread's connections; with --resume it keeps the session of its last exchange.
class requester {
 public:
  requester(const options& o, const sockaddr_in& addr, SSL_CTX* tls)
      : o_(o), addr_(addr), tls_(tls) {}

  // Handshakes that resumed a session.
  uint64_t resumed() const { return resumed_; }

  // One exchange; the answer goes to *raw. Returns FAIL_NONE or the failure.
  failure exchange(const std::string& request, std::string* raw) {
    raw->clear();
    socket_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return FAIL_CONNECT;
    timeval tv{o_.timeout_ms / 1000, (o_.timeout_ms % 1000) * 1000};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_) != 0) {
      return FAIL_CONNECT;
    }
    if (tls_ == nullptr) return plain_exchange(fd.get(), request, raw);
    ssl_ptr ssl(SSL_new(tls_));
    if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1) return FAIL_HANDSHAKE;
    if (session_) SSL_set_session(ssl.get(), session_.get());
    const failure f = tls_exchange(ssl.get(), request, raw);
    if (o_.resume && f == FAIL_NONE) {
      if (SSL_session_reused(ssl.get()) == 1) ++resumed_;
      session_.reset(SSL_get1_session(ssl.get()));
      // Freeing a connection that was not shut down would make its session unusable.
      SSL_set_shutdown(ssl.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    }
    ERR_clear_error();
    return f;
  }

 private:
  static failure plain_exchange(int fd, const std::string& request, std::string* raw) {
    size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return FAIL_WRITE;
      sent += static_cast<size_t>(n);
    }
    char chunk[16384];
    for (;;) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) return FAIL_NONE;
      if (n < 0) return raw->empty() ? FAIL_READ : FAIL_NONE;  // a reset after the answer
      if (raw->size() + static_cast<size_t>(n) > kMaxAnswer) return FAIL_ANSWER;
      raw->append(chunk, static_cast<size_t>(n));
    }
  }

  static failure tls_exchange(SSL* ssl, const std::string& request, std::string* raw) {
    if (SSL_connect(ssl) != 1) return FAIL_HANDSHAKE;
    size_t sent = 0;
    while (sent < request.size()) {
      const size_t left = std::min<size_t>(request.size() - sent, 1 << 30);
      const int n = SSL_write(ssl, request.data() + sent, static_cast<int>(left));
      if (n <= 0) return FAIL_WRITE;
      sent += static_cast<size_t>(n);
    }
    char chunk[16384];
    for (;;) {
      const int n = SSL_read(ssl, chunk, sizeof chunk);
      if (n > 0) {
        if (raw->size() + static_cast<size_t>(n) > kMaxAnswer) return FAIL_ANSWER;
        raw->append(chunk, static_cast<size_t>(n));
        continue;
      }
      const int err = SSL_get_error(ssl, n);
      if (err == SSL_ERROR_ZERO_RETURN) return FAIL_NONE;
      // A close without close_notify, or a reset after the answer: judged by what arrived.
      return raw->empty() ? FAIL_READ : FAIL_NONE;
    }
  }

  const options& o_;
  sockaddr_in addr_;
  SSL_CTX* tls_;
  ssl_session_ptr session_{nullptr, SSL_SESSION_free};
  uint64_t resumed_ = 0;
};

std::string build_request(const options& o, const std::string& body) {
  std::string r = o.method + " " + o.target + " HTTP/1.0\r\nHost: " + o.host + "\r\n";
  if (o.method == "POST") {
    r += "Content-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  r += "\r\n";
  if (o.method == "POST") r += body;
  return r;
}

// Judges one answer.
failure judge(const std::string& raw, const std::string& expect) {
  const answer a = parse_answer(raw);
  if (!a.whole) return FAIL_ANSWER;
  if (a.status < 200 || a.status > 299) return FAIL_STATUS;
  if (!expect.empty() && raw.find(expect) == std::string::npos) return FAIL_EXPECT;
  return FAIL_NONE;
}

// Fetches the token with the token document; empty on failure.
std::string fetch_token(const options& o, requester& req) {
  options post = o;
  post.method = "POST";
  post.target = o.method == "POST" ? o.target : "/";
  std::string raw;
  if (req.exchange(build_request(post, o.token_doc), &raw) != FAIL_NONE) return {};
  const answer a = parse_answer(raw);
  if (!a.whole || a.status != 200) return {};
  const size_t open = a.body.find("<token");
  if (open == std::string_view::npos) return {};
  const size_t start = a.body.find('>', open);
  if (start == std::string_view::npos || a.body[start - 1] == '/') return {};
  const size_t end = a.body.find("</token>", start);
  if (end == std::string_view::npos) return {};
  return std::string(a.body.substr(start + 1, end - start - 1));
}

struct thread_result {
  uint64_t ok = 0;
  uint64_t failures[FAIL_KINDS] = {};
  std::vector<float> latency_ms;  // successful requests only
};

struct run_clock {
  clock_type::time_point measure_from;
  clock_type::time_point end;
};

void worker(requester& req, const std::string& request, const std::string& expect,
            const run_clock& rc, thread_result* out) {
  std::string raw;
  raw.reserve(4096);
  for (;;) {
    const auto start = clock_type::now();
    if (start >= rc.end) break;
    failure f = req.exchange(request, &raw);
    if (f == FAIL_NONE) f = judge(raw, expect);
    // Refused connections come back at once: don't spin on them.
    if (f == FAIL_CONNECT) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const auto done = clock_type::now();
    if (done < rc.measure_from || done > rc.end) continue;
    if (f == FAIL_NONE) {
      ++out->ok;
      out->latency_ms.push_back(std::chrono::duration<float, std::milli>(done - start).count());
    } else {
      ++out->failures[f];
    }
  }
}

// Nearest rank on sorted values.
double percentile(const std::vector<float>& sorted, double q) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(q * static_cast<double>(sorted.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (const int rc = parse_options(argc, argv, &o); rc != 0) {
    if (rc == 2) usage(stderr);
    return rc == 1 ? 0 : 2;
  }
  signal(SIGPIPE, SIG_IGN);

  const std::optional<sockaddr_in> addr = resolve(o.host, o.port);
  if (!addr) {
    std::fprintf(stderr, "orvane-load: cannot resolve %s\n", o.host.c_str());
    return 1;
  }
  // One TLS context per thread (and one for the token): contexts shared between threads
  // contend on their locks inside OpenSSL.
  std::vector<ssl_ctx_ptr> contexts(o.threads + 1);
  std::vector<requester> requesters;
  requesters.reserve(contexts.size());
  for (auto& ctx : contexts) {
    if (o.tls) {
      ctx = make_tls_context(o.resume);
      if (!ctx) {
        std::fprintf(stderr, "orvane-load: cannot create the TLS context\n");
        return 1;
      }
    }
    requesters.emplace_back(o, *addr, ctx.get());
  }
  requester& req = requesters.back();

  std::string body = o.body;
  if (!o.token_doc.empty()) {
    const std::string token = fetch_token(o, req);
    if (token.empty()) {
      std::fprintf(stderr, "orvane-load: no token in the answer to --token-doc\n");
      return 1;
    }
    for (size_t p = body.find("{TOKEN}"); p != std::string::npos;
         p = body.find("{TOKEN}", p + token.size())) {
      body.replace(p, 7, token);
    }
  }
  const std::string request = build_request(o, body);

  // Idle connections: opened before the run, closed after it.
  if (o.idle > 0) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
      lim.rlim_cur = lim.rlim_max;
      ::setrlimit(RLIMIT_NOFILE, &lim);
    }
  }
  std::vector<socket_fd> idle;
  idle.reserve(o.idle);
  for (unsigned i = 0; i < o.idle; ++i) {
    socket_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0 ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
      std::fprintf(stderr, "orvane-load: idle connection %u: %s\n", i, std::strerror(errno));
      return 1;
    }
    idle.push_back(std::move(fd));
  }

  std::vector<thread_result> results(o.threads);
  run_clock rc;
  const auto begin = clock_type::now();
  rc.measure_from = begin + std::chrono::duration_cast<clock_type::duration>(
                                std::chrono::duration<double>(o.warmup));
  rc.end = rc.measure_from + std::chrono::duration_cast<clock_type::duration>(
                                 std::chrono::duration<double>(o.duration));
  {
    std::vector<std::jthread> threads;
    threads.reserve(o.threads);
    for (unsigned i = 0; i < o.threads; ++i) {
      threads.emplace_back(worker, std::ref(requesters[i]), std::cref(request), std::cref(o.expect),
                           std::cref(rc), &results[i]);
    }
  }

  uint64_t ok = 0;
  uint64_t failures[FAIL_KINDS] = {};
  std::vector<float> all;
  for (auto& r : results) {
    ok += r.ok;
    for (int k = 0; k < FAIL_KINDS; ++k) failures[k] += r.failures[k];
    all.insert(all.end(), r.latency_ms.begin(), r.latency_ms.end());
  }
  uint64_t errors = 0;
  for (int k = 1; k < FAIL_KINDS; ++k) errors += failures[k];
  uint64_t resumed = 0;
  for (unsigned i = 0; i < o.threads; ++i) resumed += requesters[i].resumed();
  std::sort(all.begin(), all.end());
  const double rps = static_cast<double>(ok) / o.duration;
  const double p50 = percentile(all, 0.50);
  const double p90 = percentile(all, 0.90);
  const double p99 = percentile(all, 0.99);
  const double max = all.empty() ? 0 : all.back();

  if (o.json) {
    std::printf(
        "{\"requests\":%lu,\"errors\":%lu,\"rps\":%.1f,\"p50_ms\":%.3f,\"p90_ms\":%.3f,"
        "\"p99_ms\":%.3f,\"max_ms\":%.3f,\"threads\":%u,\"idle\":%u,\"duration_s\":%.3f,"
        "\"tls\":%s,\"resumed\":%lu",
        static_cast<unsigned long>(ok + errors), static_cast<unsigned long>(errors), rps, p50, p90,
        p99, max, o.threads, o.idle, o.duration, o.tls ? "true" : "false",
        static_cast<unsigned long>(resumed));
    std::printf(",\"error_kinds\":{");
    bool first = true;
    for (int k = 1; k < FAIL_KINDS; ++k) {
      if (failures[k] == 0) continue;
      std::printf("%s\"%s\":%lu", first ? "" : ",", kFailureNames[k],
                  static_cast<unsigned long>(failures[k]));
      first = false;
    }
    std::printf("}}\n");
  } else {
    std::printf(
        "requests %lu errors %lu rps %.1f p50 %.3f ms p90 %.3f ms p99 %.3f ms max %.3f ms "
        "(threads %u, %.1f s, %s)\n",
        static_cast<unsigned long>(ok + errors), static_cast<unsigned long>(errors), rps, p50, p90,
        p99, max, o.threads, o.duration, o.tls ? "tls" : "plain");
    if (errors > 0) {
      std::fprintf(stderr, "errors:");
      for (int k = 1; k < FAIL_KINDS; ++k) {
        if (failures[k] != 0) {
          std::fprintf(stderr, " %s %lu", kFailureNames[k],
                       static_cast<unsigned long>(failures[k]));
        }
      }
      std::fprintf(stderr, "\n");
    }
  }
  return ok > 0 ? 0 : 1;
}
