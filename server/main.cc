// orvaned: the Orvane server daemon. Its only options are --help and --version, which print and
// exit (other arguments are ignored); paths and ports come from the configuration module (with
// their environment overrides).
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "client.h"
#include "config.h"
#include "globals.h"
#include "health.h"
#include "metrics.h"
#include "monitor.h"
#include "network/net_thread_pool.h"
#include "network/socket_listener.h"
#include "objects/tokens/tokens.h"
#include "objects/users/auth.h"
#include "scheduler/sched_singlethread.h"
#include "secure_server.h"
#include "threadpool/thread_pool.h"
#include "utils/logger.h"

namespace {

using orvane::globals;

struct listeners {
  std::unique_ptr<kt::socket_listener> sl;   // plain HTTP
  std::unique_ptr<kt::socket_listener> slm;  // monitoring
  std::unique_ptr<kt::socket_listener> sls;  // HTTPS
  std::unique_ptr<kt::socket_listener> slx;  // metrics (none when its port is 0)
};

// Ends the main loop and stops accepting connections.
void term(globals& g, listeners& l) {
  g.running.store(0);
  if (l.sl) kt::socket_listener_close(*l.sl);
  if (l.slm) kt::socket_listener_close(*l.slm);
  if (l.sls) kt::socket_listener_close(*l.sls);
  if (l.slx) kt::socket_listener_close(*l.slx);
}

// The options of a listener whose connections are capped (the configured count per port; more
// wait in the listen backlog). The counter is made here so that the accept callback holds it
// from the first connection on.
kt::socket_listener::options capped() {
  kt::socket_listener::options opts;
  opts.slots = kt::make_ref<kt::connection_slots>(orvane::config_get().max_connections);
  return opts;
}

// The client ports have no accept thread: the network loops accept their connections.
std::unique_ptr<kt::socket_listener> open_client_listener(globals& g, uint16_t port,
                                                          SSL_CTX* tls_ctx) {
  kt::socket_listener::options opts = capped();
  opts.accept_thread = false;
  return kt::socket_listener_open(
      "", port,
      [&g, tls_ctx, slots = opts.slots](int fd, const sockaddr_in& peer) {
        return orvane::client_accept(g, fd, peer, tls_ctx, slots);
      },
      opts);
}

// The metrics port: its accept thread answers each scrape itself (scrapes are rare and small).
std::unique_ptr<kt::socket_listener> open_metrics_listener(globals& g, const std::string& bind,
                                                           uint16_t port) {
  return kt::socket_listener_open(
      bind, port, [&g](int fd, const sockaddr_in&) { return orvane::metrics_accept(g, fd); },
      kt::socket_listener::options{});
}

std::unique_ptr<kt::socket_listener> open_monitor_listener(globals& g, const std::string& bind,
                                                           uint16_t port) {
  const kt::socket_listener::options opts = capped();
  return kt::socket_listener_open(
      bind, port,
      [&g, slots = opts.slots](int fd, const sockaddr_in&) {
        return orvane::monitor_accept(g, fd, slots);
      },
      opts);
}

// Raises the soft limit of open files so that the capped connections of the three ports and the
// WebSocket channels fit, as far as the hard limit allows.
void raise_open_files_limit(unsigned max_connections, unsigned max_channels) {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  const rlim_t wanted =
      static_cast<rlim_t>(max_connections) * 3 + static_cast<rlim_t>(max_channels) + 256;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < wanted) {
    const rlim_t soft = rl.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, rl.rlim_max);
    if (soft > rl.rlim_cur) {
      rl.rlim_cur = soft;
      setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (soft < wanted) {
      KT_LOG_WARN(
          "open files limited to %llu; %u connections per port and %u channels may need "
          "%llu",
          static_cast<unsigned long long>(soft), max_connections, max_channels,
          static_cast<unsigned long long>(wanted));
    }
  }
}

void schedule_periodic(globals& g) {
  if (!g.scheduler) return;
  globals* gp = &g;
  g.scheduler->schedule(
      kt::sched_task::make([gp] { return orvane::tokens_cleaner_cbk_sched(*gp); }));
  g.scheduler->schedule(kt::sched_task::make([gp] { return orvane::getcpuinfo(*gp); }));
  g.scheduler->schedule(
      kt::sched_task::make([gp] { return orvane::login_throttle_sweep_sched(*gp); }));
}

// Waits (bounded) for the connection and monitoring threads to end.
void wait_for_connections(globals& g) {
  orvane::clients_close_all(g);
  orvane::monitoring_close_all(g);
  for (int i = 0; i < 500 && g.open_connections.load() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (i % 50 == 49) {
      orvane::clients_close_all(g);
      orvane::monitoring_close_all(g);
    }
  }
}

constexpr const char kUsage[] =
    "usage: orvaned [--help | --version]\n"
    "Runs the Orvane server in the foreground until SIGINT or SIGTERM, which write every domain\n"
    "back before it exits. Paths and ports come from the environment:\n"
    "  ORVANE_ROOT                 data root (default /data/orvane)\n"
    "  ORVANE_MACHINE_ID_FILE      machine identity file (default /etc/this)\n"
    "  ORVANE_HTTP_PORT            plain HTTP port (default 80)\n"
    "  ORVANE_HTTPS_PORT           HTTPS port (default 443)\n"
    "  ORVANE_MONITOR_PORT         monitoring port (default 82)\n"
    "  ORVANE_MONITOR_BIND         monitoring address (default 127.0.0.1)\n"
    "  ORVANE_MAX_CONNECTIONS      connections served at once per port (default 1024)\n"
    "  ORVANE_MAX_CHANNELS         WebSocket channels open at once (default 16384)\n"
    "  ORVANE_METRICS_PORT         metrics port, GET /metrics (default 9482; 0: none)\n"
    "  ORVANE_METRICS_BIND         metrics address (default 127.0.0.1)\n"
    "  ORVANE_ADMIN_PASSWORD_FILE  first Administrator password of a new database\n"
    "See orvaned(8).\n";

// --help and --version, given alone, print and end the program (status 0); other arguments are
// ignored. Returns -1 when the server is to start.
int handle_arguments(int argc, char** argv) {
  if (argc != 2) return -1;
  const std::string arg = argv[1];
  if (arg == "--help" || arg == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (arg == "--version") {
    std::printf("orvaned %s\n", ORVANE_VERSION);
    return 0;
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (const int rc = handle_arguments(argc, argv); rc >= 0) return rc;
  kt::logger_to_stderr = true;
  kt::logger_to_syslog = true;
  kt::logger_syslog_name = "orvane";

  std::string error;
  if (orvane::config_load(&error) != 0) {
    KT_LOG_ERR("%s", error.c_str());
    return 1;
  }
  const orvane::config& cfg = orvane::config_get();
  raise_open_files_limit(cfg.max_connections, cfg.max_channels);

  // Signals are taken synchronously by the main loop; every thread inherits the blocked mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<globals> g;
  const int rc = globals::open(&g, &error);
  if (rc != 0) {
    KT_LOG_ERR("%s", error.c_str());
    return rc == -2 ? -2 : 1;
  }

  // Network loops and answering workers, one of each per processor to start with.
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  const unsigned per_cpu = cpus > 0 ? static_cast<unsigned>(std::min(cpus, 64L)) : 1;
  g->net_loops = kt::net_thread_pool::open(per_cpu, orvane::CLIENT_REQUEST_TIMEOUT * 1000);
  if (!g->net_loops) return -1;
  g->workers = std::make_unique<kt::thread_pool>(kt::thread_pool::options{per_cpu, 1000});
  g->channel_slots = kt::make_ref<kt::connection_slots>(cfg.max_channels);

  listeners l;
  l.sl = open_client_listener(*g, cfg.http_port, nullptr);
  if (!l.sl) return -1;
  l.slm = open_monitor_listener(*g, cfg.monitor_bind, cfg.monitor_port);
  if (!l.slm) return -1;
  if (cfg.metrics_port != 0) {
    l.slx = open_metrics_listener(*g, cfg.metrics_bind, cfg.metrics_port);
    if (!l.slx) return -1;
  }

  kt::ssl_ctx_ptr ctx = orvane::init_ctx(*g, orvane::path_certs_key(), orvane::path_certs_ca(),
                                         orvane::path_certs_chain());
  if (ctx) {
    l.sls = open_client_listener(*g, cfg.https_port, ctx.get());
    if (!l.sls) return -1;
  } else {
    KT_LOG_ERR("SSL server disabled. (no certificates loaded in %s)",
               orvane::path_certs_dir().c_str());
  }
  if (g->net_loops->watch(*l.sl) != 0 || (l.sls && g->net_loops->watch(*l.sls) != 0)) return -1;
  KT_LOG_INFO("orvaned listening: http %u, monitor %s:%u, https %u, metrics %s:%u", cfg.http_port,
              cfg.monitor_bind.c_str(), cfg.monitor_port, ctx ? cfg.https_port : 0,
              cfg.metrics_bind.c_str(), cfg.metrics_port);

  while ((g->running.load() & orvane::GLOBALS_RUNNING) != 0) {
    schedule_periodic(*g);
    const timespec period{5, 0};
    const int sig = sigtimedwait(&stop_signals, nullptr, &period);
    if (sig == SIGINT || sig == SIGTERM) term(*g, l);
  }

  if (l.slm) kt::socket_listener_wait(*l.slm);
  if (l.slx) kt::socket_listener_wait(*l.slx);
  wait_for_connections(*g);
  g->net_loops->stop();
  g->workers->stop();
  // The client ports' sockets close only once no loop watches them.
  if (l.sl) kt::socket_listener_wait(*l.sl);
  if (l.sls) kt::socket_listener_wait(*l.sls);
  // Commands still running on workers schedule change notifications: the scheduler
  // goes only after them.
  g->scheduler.reset();
  if (ctx) orvane::done_ctx(std::move(ctx));
  KT_LOG_INFO("exiting...");
  g.reset();
  std::fflush(stdout);
  std::fflush(stderr);
  return 0;
}
