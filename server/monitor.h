// The monitoring channel: a subscriber on the monitoring port receives a copy of every command
// exchange made over HTTPS, as length-prefixed "ktas" documents.
#ifndef ORVANE_MONITOR_H_
#define ORVANE_MONITOR_H_

#include <atomic>
#include <string>
#include <string_view>

#include "buffers/net_buffer.h"
#include "connection_registry.h"
#include "utils/refobj.h"

namespace kt {
class connection_slots;
}

namespace orvane {

struct globals;

// Subscription types.
constexpr int MONITOR_TYPE_NONE = 0;
constexpr int MONITOR_TYPE_DEBUG = 2;

// Seconds a monitoring connection has to send its subscription document.
constexpr int MONITOR_SUBSCRIBE_TIMEOUT = 30;

struct monitor_client : registry_links<monitor_client> {
  globals* g = nullptr;
  int fd = -1;
  std::atomic<int> type{MONITOR_TYPE_NONE};  // set once it subscribed
  // Pending messages; producers are the workers answering HTTPS requests, the consumer is this
  // connection's thread. Bounded, so a subscriber that stops reading cannot grow it without limit.
  kt::net_buffer send{true, 16u << 20};
  std::atomic<bool> alive{true};
  // The listener's connection slot, handed back when the connection ends.
  kt::ref_ptr<kt::connection_slots> slot;
};

// The monitoring connection's thread: reads the subscription document (within
// MONITOR_SUBSCRIBE_TIMEOUT), then sends what is queued until the connection fails or the
// subscriber goes away. Takes ownership of the record.
void monitor_routine(monitor_client* m);

// Starts monitor_routine for an accepted socket; slot is the listener's slot counter, handed a
// slot back when the connection ends. Returns 0, or -1 when the thread cannot start (the listener
// then closes the socket and takes the slot back).
int monitor_accept(globals& g, int fd, kt::ref_ptr<kt::connection_slots> slot);

// The text of an exchange as the monitoring port shows it: the text inside the elements that carry
// secrets ("p" and "o" passwords, "identity" blobs, "pfx" bundles, at any depth) is replaced by
// "********"; every other byte is kept. Works on any text, well-formed or not.
std::string monitor_redact(std::string_view xml);

// Queues one exchange to every subscriber of the type, its secrets redacted.
void monitoring_notify(globals& g, int type, std::string_view domain, std::string_view peer,
                       std::string_view api, std::string_view request, std::string_view response);

// Closes every monitoring connection (shutdown).
void monitoring_close_all(globals& g);

}  // namespace orvane

#endif  // ORVANE_MONITOR_H_
