#include "monitor.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "globals.h"
#include "network/socket_listener.h"
#include "utils/base64.h"
#include "utils/clock.h"
#include "utils/logger.h"
#include "xmldoc/xmldoc.h"

namespace orvane {

namespace {

constexpr size_t kReadChunk = 2048;
constexpr size_t kMaxSubscription = 64 * 1024;
// How often an idle subscriber's connection is checked for the peer having gone.
constexpr std::chrono::milliseconds kPeerCheck{1000};

// Whether the subscriber has closed or reset its connection. Bytes it sends after its
// subscription are read and dropped.
bool peer_gone(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  char chunk[kReadChunk];
  const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n == 0) return true;
  return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

bool send_all(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Reads until the received text parses as a document; false when the peer goes first or the
// deadline passes.
bool read_subscription(monitor_client& m, kt::xmldoc& doc) {
  const int64_t deadline = kt::monotonic_ms() + MONITOR_SUBSCRIBE_TIMEOUT * 1000;
  std::string received;
  char chunk[kReadChunk];
  while (received.size() < kMaxSubscription) {
    const int64_t left = deadline - kt::monotonic_ms();
    if (left <= 0) return false;
    pollfd p{m.fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::recv(m.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    received.append(chunk, static_cast<size_t>(n));
    doc = kt::xmldoc();
    if (doc.parse(received) == 0 && doc.root() != nullptr) return true;
  }
  return false;
}

constexpr std::string_view kRedacted = "********";

bool secret_element(std::string_view name) {
  return name == "p" || name == "o" || name == "identity" || name == "pfx";
}

// The end of the tag that starts at xml[i] == '<' (the index after its '>', quoted '>' skipped),
// or npos when it does not end.
size_t tag_end(std::string_view xml, size_t i) {
  char quote = 0;
  for (size_t j = i + 1; j < xml.size(); ++j) {
    const char c = xml[j];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return j + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::string monitor_redact(std::string_view xml) {
  std::string out;
  out.reserve(xml.size());
  std::vector<bool> open;  // per open element: whether it holds a secret
  size_t secret = 0;       // open elements that hold one
  bool masked = false;     // "********" already stands for the current run of secret text
  size_t i = 0;
  // Text, and CDATA sections and comments, up to end: copied, or hidden inside a secret.
  const auto pass = [&](size_t end) {
    if (secret == 0) {
      out.append(xml.substr(i, end - i));
    } else if (!masked) {
      out += kRedacted;
      masked = true;
    }
    i = end;
  };
  while (i < xml.size()) {
    if (xml[i] != '<') {
      pass(std::min(xml.find('<', i), xml.size()));
      continue;
    }
    const std::string_view rest = xml.substr(i);
    if (rest.starts_with("<![CDATA[") || rest.starts_with("<!--")) {
      const std::string_view close = rest[2] == '[' ? "]]>" : "-->";
      pass(std::min(xml.find(close, i), xml.size() - close.size()) + close.size());
      continue;
    }
    masked = false;
    const bool closing = rest.size() > 1 && rest[1] == '/';
    const size_t name_start = i + (closing ? 2 : 1);
    size_t name_end = name_start;
    while (name_end < xml.size() && std::strchr(" \t\r\n/>", xml[name_end]) == nullptr) ++name_end;
    const std::string_view name = xml.substr(name_start, name_end - name_start);
    const size_t end = tag_end(xml, i);
    if (end == std::string_view::npos) {
      // An unterminated tag of a secret element may hold the secret itself.
      if (secret > 0 || secret_element(name)) {
        out.append(xml.substr(i, name_end - i));
        out += kRedacted;
      } else {
        out.append(rest);
      }
      break;
    }
    out.append(xml.substr(i, end - i));
    const bool empty = end >= 2 && xml[end - 2] == '/';
    if (closing) {
      if (!open.empty()) {
        if (open.back()) --secret;
        open.pop_back();
      }
    } else if (!empty && rest[1] != '?' && rest[1] != '!') {
      open.push_back(secret_element(name));
      if (open.back()) ++secret;
    }
    i = end;
  }
  return out;
}

void monitor_routine(monitor_client* raw) {
  std::unique_ptr<monitor_client> m(raw);
  globals& g = *m->g;
  // Listed from the start, so that shutdown reaches it; it mirrors nothing until it subscribed.
  g.monitoring.add(m.get());
  kt::xmldoc doc;
  bool subscribed = false;
  if (read_subscription(*m, doc)) {
    if (const kt::xmldoc_node* t = doc.root()->get("t"); t != nullptr) {
      if (t->attr_get("debug") != nullptr) {
        m->type.store(MONITOR_TYPE_DEBUG);
        g.monitor_subscribers.fetch_add(1);
      }
      kt::xmldoc_node_dump(doc.root());
      subscribed = true;
    }
  }
  while (subscribed && m->alive.load()) {
    const int rc = m->send.wait_for(kPeerCheck);
    if (rc < 0) break;
    if (rc > 0) {
      if (peer_gone(m->fd)) break;
      continue;
    }
    std::string pending;
    while (m->alive.load() && m->send.take(pending, kReadChunk) > 0) {
      if (!send_all(m->fd, pending.data(), pending.size())) m->alive.store(false);
      pending.clear();
    }
  }
  if (m->type.load() != MONITOR_TYPE_NONE) g.monitor_subscribers.fetch_sub(1);
  g.monitoring.remove(m.get());
  ::shutdown(m->fd, SHUT_RDWR);
  ::close(m->fd);
  if (m->slot) m->slot->release();
  m.reset();
  KT_LOG_WARN("monitor client exit");
  g.open_connections.fetch_sub(1);
}

int monitor_accept(globals& g, int fd, kt::ref_ptr<kt::connection_slots> slot) {
  auto m = std::make_unique<monitor_client>();
  m->g = &g;
  m->fd = fd;
  m->slot = std::move(slot);
  g.open_connections.fetch_add(1);
  try {
    std::thread(monitor_routine, m.get()).detach();
    m.release();
  } catch (const std::system_error&) {
    g.open_connections.fetch_sub(1);
    KT_LOG_ERR("Error creating monitor thread");
    return -1;  // the listener closes the socket and takes its slot back
  }
  return 0;
}

void monitoring_notify(globals& g, int type, std::string_view domain, std::string_view peer,
                       std::string_view api, std::string_view request, std::string_view response) {
  // Without a subscriber an exchange costs one atomic read: no lock, no copy.
  if (g.monitor_subscribers.load(std::memory_order_relaxed) == 0) return;
  const time_t now = ::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char when[80];
  std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  std::string text;
  g.monitoring.for_each([&](monitor_client& m) {
    if (m.type.load() != type) return;
    if (text.empty()) {
      kt::xmldoc doc = kt::xmldoc::create_def("ktas");
      kt::xmldoc_node* root = doc.root();
      root->add_child(kt::xmldoc_node::create("t"))->set_value(when);
      root->add_child(kt::xmldoc_node::create("d"))->set_value(domain);
      root->add_child(kt::xmldoc_node::create("ip"))->set_value(peer);
      root->add_child(kt::xmldoc_node::create("api"))->set_value(api);
      root->add_child(kt::xmldoc_node::create("req"))
          ->set_value(kt::base64encode_(monitor_redact(request)));
      root->add_child(kt::xmldoc_node::create("res"))
          ->set_value(kt::base64encode_(monitor_redact(response)));
      kt::buffer out;
      doc.save(doc.root(), out);
      text.assign(out.data(), out.length());
    }
    uint8_t length[4];
    const uint32_t n = static_cast<uint32_t>(text.size());
    length[0] = static_cast<uint8_t>(n >> 24);
    length[1] = static_cast<uint8_t>(n >> 16);
    length[2] = static_cast<uint8_t>(n >> 8);
    length[3] = static_cast<uint8_t>(n);
    m.send.add(length, sizeof length, text.data(), text.size());
  });
}

void monitoring_close_all(globals& g) {
  g.monitoring.for_each([](monitor_client& m) {
    m.alive.store(false);
    ::shutdown(m.fd, SHUT_RDWR);
    m.send.close();
  });
}

}  // namespace orvane
