// orvane-channels: holds many WebSocket channels bound to one server at once and measures how
// long one change takes to reach them all. One thread and one epoll set drive every channel, so
// the load client stays lighter than the server.
//
//   orvane-channels --https-port P [--ws-port P | --tls] [--channels N] [--changes K]
//                   [--ca FILE] [--pid PID]
//
// Opens N channels (ws:// on --ws-port, or wss:// on the HTTPS port with --tls), binds each with
// one Administrator token, reads the server's threads and resident memory from /proc/PID, then
// inserts K users one after the other and times, for every channel, the arrival of each change.
// Prints one JSON object: channels, open_s, threads, rss_mb, p50_ms, p99_ms, max_ms, delivered,
// expected.
#include <sys/epoll.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "network/websocket.h"
#include "tls_client.h"
#include "utils/files.h"
#include "utils/numbers.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct options {
  uint16_t https_port = 0;
  uint16_t ws_port = 0;
  bool tls = false;
  unsigned channels = 10000;
  unsigned changes = 5;
  std::string ca;
  long pid = 0;
};

bool parse(int argc, char** argv, options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    uint64_t n = 0;
    auto number = [&](uint64_t max) {
      return value != nullptr && kt::decimal_parse(value, max, &n) && ++i > 0;
    };
    if (arg == "--tls") {
      o->tls = true;
    } else if (arg == "--https-port" && number(65535)) {
      o->https_port = static_cast<uint16_t>(n);
    } else if (arg == "--ws-port" && number(65535)) {
      o->ws_port = static_cast<uint16_t>(n);
    } else if (arg == "--channels" && number(1000000)) {
      o->channels = static_cast<unsigned>(n);
    } else if (arg == "--changes" && number(1000)) {
      o->changes = static_cast<unsigned>(n);
    } else if (arg == "--pid" && number(1u << 30)) {
      o->pid = static_cast<long>(n);
    } else if (arg == "--ca" && value != nullptr) {
      o->ca = value;
      ++i;
    } else {
      return false;
    }
  }
  return o->https_port != 0 && (o->tls || o->ws_port != 0) && o->channels > 0;
}

// The text of the first <name> element of a document, or "".
std::string element_text(const std::string& doc, const std::string& name) {
  const size_t open = doc.find("<" + name);
  if (open == std::string::npos) return "";
  const size_t start = doc.find('>', open);
  const size_t end = doc.find("</" + name + ">", start);
  if (start == std::string::npos || end == std::string::npos) return "";
  return doc.substr(start + 1, end - start - 1);
}

bool post(const ctl::url& u, const ctl::tls_options& tls, const std::string& body,
          std::string* answer) {
  ctl::http_reply reply;
  std::string error;
  if (!ctl::http_post(u, tls, body, &reply, &error)) {
    std::fprintf(stderr, "orvane-channels: %s\n", error.c_str());
    return false;
  }
  *answer = reply.body;
  return reply.status == 200 && answer->find("<res code=\"0\"") != std::string::npos;
}

long proc_threads(long pid) {
  std::error_code ec;
  long n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", ec), end;
       !ec && it != end; it.increment(ec)) {
    ++n;
  }
  return n;
}

double proc_rss_mb(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

struct channel {
  std::unique_ptr<ctl::connection> conn;
  std::string pending;  // bytes of frames not decoded yet
  unsigned seen = 0;    // change documents received
};

// Reads what a channel has and counts the change frames in it; false when it closed.
bool drain(channel& ch, double since_ms, double now_ms, std::vector<double>* latencies) {
  char chunk[4096];
  for (;;) {
    const long n = ch.conn->read_some(chunk, sizeof chunk, 0);
    if (n == -2) break;
    if (n <= 0) return false;
    ch.pending.append(chunk, static_cast<size_t>(n));
  }
  for (;;) {
    std::string payload;
    size_t used = 0;
    if (kt::websocket_wrap(ch.pending, payload, used) != 0) break;
    ch.pending.erase(0, used);
    if (payload.find("<change ") != std::string::npos) {
      ++ch.seen;
      latencies->push_back(now_ms - since_ms);
    }
  }
  return true;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t at = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
  return v[at];
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (!parse(argc, argv, &o)) {
    std::fputs(
        "usage: orvane-channels --https-port P [--ws-port P | --tls] [--channels N] "
        "[--changes K] [--ca FILE] [--pid PID]\n",
        stderr);
    return 2;
  }
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  ctl::url https{true, "127.0.0.1", o.https_port, "/"};
  ctl::url ws{o.tls, "127.0.0.1", o.tls ? o.https_port : o.ws_port, "/"};
  ctl::tls_options tls;
  tls.ca_file = o.ca;
  tls.timeout_ms = 10000;

  std::string answer;
  if (!post(https, tls,
            "<orvane><getToken domain=\"ORVANE\"><u>Administrator</u><p>tolbrine</p></getToken>"
            "</orvane>",
            &answer)) {
    std::fprintf(stderr, "orvane-channels: getToken failed: %s\n", answer.c_str());
    return 1;
  }
  const std::string token = element_text(answer, "token");
  const std::string auth =
      ctl::websocket_client_frame("<orvane><auth token=\"" + token + "\"/></orvane>");

  // Open and bind every channel, one after the other.
  const auto opened_at = clock_type::now();
  std::vector<channel> channels(o.channels);
  for (unsigned i = 0; i < o.channels; ++i) {
    std::string error;
    channel& ch = channels[i];
    ch.conn = ctl::connection::open(ws, tls, &error);
    if (!ch.conn || !ctl::websocket_upgrade(*ch.conn, ws, tls.timeout_ms, &ch.pending, &error) ||
        !ch.conn->write_all(auth)) {
      std::fprintf(stderr, "orvane-channels: channel %u: %s\n", i, error.c_str());
      return 1;
    }
    std::string payload;
    size_t used = 0;
    char chunk[4096];
    while (kt::websocket_wrap(ch.pending, payload, used) != 0) {
      const long n = ch.conn->read_some(chunk, sizeof chunk, tls.timeout_ms);
      if (n <= 0) {
        std::fprintf(stderr, "orvane-channels: channel %u: no answer to auth\n", i);
        return 1;
      }
      ch.pending.append(chunk, static_cast<size_t>(n));
    }
    ch.pending.erase(0, used);
    if (payload.find("code=\"0\"") == std::string::npos) {
      std::fprintf(stderr, "orvane-channels: channel %u: auth refused: %s\n", i, payload.c_str());
      return 1;
    }
  }
  const double open_s = std::chrono::duration<double>(clock_type::now() - opened_at).count();
  const long threads = o.pid != 0 ? proc_threads(o.pid) : 0;
  const double rss_mb = o.pid != 0 ? proc_rss_mb(o.pid) : 0;

  const kt::unique_fd epoll_fd(epoll_create1(EPOLL_CLOEXEC));
  const int ep = epoll_fd.get();
  std::unordered_map<int, channel*> by_fd;
  for (channel& ch : channels) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = ch.conn->fd();
    epoll_ctl(ep, EPOLL_CTL_ADD, ch.conn->fd(), &ev);
    by_fd[ch.conn->fd()] = &ch;
  }

  // Each change: insert a user, then wait until every channel has it (10 s at most).
  std::vector<double> latencies;
  std::vector<epoll_event> events(1024);
  const auto ms_since = [](clock_type::time_point t) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - t).count();
  };
  const std::string stamp = std::to_string(::time(nullptr));
  for (unsigned k = 1; k <= o.changes; ++k) {
    const auto t0 = clock_type::now();
    if (!post(https, tls,
              "<orvane><userInsert domain=\"ORVANE\" token=\"" + token + "\"><u uname=\"chb" +
                  stamp + "x" + std::to_string(k) + "\"><p>Passw0rd!</p></u></userInsert></orvane>",
              &answer)) {
      std::fprintf(stderr, "orvane-channels: userInsert failed: %s\n", answer.c_str());
      return 1;
    }
    size_t done = 0;
    for (const channel& ch : channels) done += ch.seen >= k ? 1 : 0;
    while (done < channels.size() && ms_since(t0) < 10000) {
      const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
      const double now = ms_since(t0);
      for (int i = 0; i < n; ++i) {
        channel& ch = *by_fd[events[i].data.fd];
        const bool had = ch.seen >= k;
        if (!drain(ch, 0, now, &latencies)) {
          epoll_ctl(ep, EPOLL_CTL_DEL, events[i].data.fd, nullptr);
          continue;
        }
        if (!had && ch.seen >= k) ++done;
      }
    }
  }
  unsigned delivered = 0;
  for (const channel& ch : channels) delivered += std::min(ch.seen, o.changes);
  std::printf(
      "{\"channels\":%u,\"tls\":%s,\"open_s\":%.2f,\"threads\":%ld,\"rss_mb\":%.1f,"
      "\"p50_ms\":%.1f,\"p99_ms\":%.1f,\"max_ms\":%.1f,\"delivered\":%u,\"expected\":%u}\n",
      o.channels, o.tls ? "true" : "false", open_s, threads, rss_mb, percentile(latencies, 0.5),
      percentile(latencies, 0.99), percentile(latencies, 1.0), delivered, o.channels * o.changes);
  return delivered == o.channels * o.changes ? 0 : 1;
}
