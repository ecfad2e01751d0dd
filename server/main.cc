// orvaned: the Orvane server daemon. No command-line options are read; paths and ports come from
// the configuration module (with their environment overrides).
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "client.h"
#include "config.h"
#include "globals.h"
#include "health.h"
#include "monitor.h"
#include "network/socket_listener.h"
#include "objects/tokens/tokens.h"
#include "scheduler/sched_singlethread.h"
#include "secure_server.h"
#include "server.h"
#include "utils/logger.h"

namespace {

using orvane::globals;

// Connections served at once per port; more wait in the listen backlog.
constexpr unsigned kMaxConnections = 1024;

struct listeners {
  std::unique_ptr<kt::socket_listener> sl;   // plain HTTP
  std::unique_ptr<kt::socket_listener> slm;  // monitoring
  std::unique_ptr<kt::socket_listener> sls;  // HTTPS
};

// Ends the main loop and stops accepting connections.
void term(globals& g, listeners& l) {
  g.running.store(0);
  if (l.sl) kt::socket_listener_close(*l.sl);
  if (l.slm) kt::socket_listener_close(*l.slm);
  if (l.sls) kt::socket_listener_close(*l.sls);
}

std::unique_ptr<kt::socket_listener> open_client_listener(globals& g, uint16_t port,
                                                          SSL_CTX* tls_ctx) {
  kt::socket_listener::options opts;
  opts.max_connections = kMaxConnections;
  auto holder = std::make_shared<kt::socket_listener*>(nullptr);
  auto listener = kt::socket_listener_open(
      "", port,
      [&g, tls_ctx, holder](int fd, const sockaddr_in& peer) {
        kt::ref_ptr<kt::connection_slots> slot =
            *holder != nullptr ? (*holder)->slots() : kt::ref_ptr<kt::connection_slots>();
        return orvane::client_accept(g, fd, peer, tls_ctx, std::move(slot));
      },
      opts);
  if (listener) *holder = listener.get();
  return listener;
}

void schedule_periodic(globals& g) {
  if (!g.scheduler) return;
  globals* gp = &g;
  g.scheduler->schedule(
      kt::sched_task::make([gp] { return orvane::tokens_cleaner_cbk_sched(*gp); }));
  g.scheduler->schedule(kt::sched_task::make([gp] { return orvane::getcpuinfo(*gp); }));
}

// Waits (bounded) for the connection and monitoring threads to end.
void wait_for_connections(globals& g) {
  orvane::clients_close_all(g);
  orvane::monitoring_close_all(g);
  for (int i = 0; i < 500 && g.connection_threads.load() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (i % 50 == 49) {
      orvane::clients_close_all(g);
      orvane::monitoring_close_all(g);
    }
  }
}

}  // namespace

int main() {
  kt::logger_to_stderr = true;
  kt::logger_to_syslog = true;
  kt::logger_syslog_name = "orvane";

  std::string error;
  if (orvane::config_load(&error) != 0) {
    KT_LOG_ERR("%s", error.c_str());
    return 1;
  }
  const orvane::config& cfg = orvane::config_get();

  // Signals are taken synchronously by the main loop; every thread inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto g = std::make_unique<globals>();
  const int rc = orvane::server_context_init(*g, &error);
  if (rc != 0) {
    KT_LOG_ERR("%s", error.c_str());
    return rc == -2 ? -2 : 1;
  }

  listeners l;
  l.sl = open_client_listener(*g, cfg.http_port, nullptr);
  if (!l.sl) return -1;
  l.slm = kt::socket_listener_open(
      cfg.monitor_bind, cfg.monitor_port,
      [gp = g.get()](int fd, const sockaddr_in&) { return orvane::monitor_accept(*gp, fd); });
  if (!l.slm) return -1;

  kt::ssl_ctx_ptr ctx = orvane::init_ctx(*g, orvane::path_certs_key(), orvane::path_certs_ca(),
                                         orvane::path_certs_chain());
  if (ctx) {
    l.sls = open_client_listener(*g, cfg.https_port, ctx.get());
    if (!l.sls) return -1;
  } else {
    KT_LOG_ERR("SSL server disabled. (no certificates loaded in %s)",
               orvane::path_certs_dir().c_str());
  }
  KT_LOG_INFO("orvaned listening: http %u, monitor %s:%u, https %u", cfg.http_port,
              cfg.monitor_bind.c_str(), cfg.monitor_port, ctx ? cfg.https_port : 0);

  while ((g->running.load() & orvane::GLOBALS_RUNNING) != 0) {
    schedule_periodic(*g);
    const timespec period{5, 0};
    const int sig = sigtimedwait(&stop_signals, nullptr, &period);
    if (sig == SIGINT || sig == SIGTERM) term(*g, l);
  }

  g->scheduler.reset();
  if (l.sl) kt::socket_listener_wait(*l.sl);
  if (l.slm) kt::socket_listener_wait(*l.slm);
  if (l.sls) kt::socket_listener_wait(*l.sls);
  wait_for_connections(*g);
  if (ctx) orvane::done_ctx(std::move(ctx));
  KT_LOG_INFO("exiting...");
  orvane::server_context_free(*g);
  g.reset();
  std::fflush(stdout);
  std::fflush(stderr);
  return 0;
}
