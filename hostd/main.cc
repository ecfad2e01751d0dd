// orvane-hostd: serves an Orvane NSS profile's users and groups to a client host (the
// name-service and PAM modules) from memory and from caches that survive the server's absence,
// kept current through the server's change notifications.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "hostd/checks.h"
#include "hostd/config.h"
#include "hostd/remote.h"
#include "hostd/sock_server.h"
#include "hostd/state.h"
#include "hostd/sync.h"
#include "hostd/tls.h"
#include "utils/files.h"
#include "utils/logger.h"

namespace {

using namespace orvane_hostd;

constexpr char kVersion[] = "1.0.0";

void usage(FILE* out) {
  std::fprintf(out,
               "usage: orvane-hostd [options]\n"
               "  -c, --config PATH     configuration file (default %s, or $ORVANE_HOSTD_CONF)\n"
               "      --socket PATH     socket of the modules (or $ORVANE_HOSTD_SOCKET)\n"
               "      --cache PATH      the daemon's own cache (or $ORVANE_HOSTD_CACHE)\n"
               "      --nss-cache PATH  the published cache (or $ORVANE_NSS_CACHE)\n"
               "      --no-syslog       log to standard error only\n"
               "  -h, --help            this text\n"
               "  -V, --version         the version\n"
               "Signals: SIGTERM or SIGINT end the daemon; SIGHUP reloads the configuration.\n",
               kDefaultConfig);
}

// Everything that a configuration makes; rebuilt on SIGHUP.
struct services {
  config cfg;
  std::unique_ptr<tls_context> tls;
  std::unique_ptr<remote> r;
  std::unique_ptr<checks> k;
  std::unique_ptr<sock_server> server;
  std::unique_ptr<syncer> sync;

  void stop() {
    if (sync) sync->stop();
    if (server) server->stop();
  }
};

// Loads the configuration and makes the TLS context. 0, or -1 with *error.
int prepare(const overrides& o, services* out, std::string* error) {
  if (config_load(o, &out->cfg, error) != 0) return -1;
  if (tls_context_create(out->cfg, &out->tls, error) != 0) return -1;
  return 0;
}

void make_parent(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) kt::path_create(path.substr(0, slash).c_str(), 0755);
}

int start(services& sv, state& st, std::string* error) {
  make_parent(sv.cfg.cache);
  make_parent(sv.cfg.nss_cache);
  st.set_config(&sv.cfg);
  if (!st.current()) st.load_cache();
  sv.r = std::make_unique<remote>(sv.cfg, *sv.tls);
  sv.k = std::make_unique<checks>(sv.cfg, *sv.r, st);
  sv.server = std::make_unique<sock_server>(sv.cfg, st, *sv.k);
  if (sv.server->start(error) != 0) return -1;
  sv.sync = std::make_unique<syncer>(sv.cfg, *sv.r, st);
  if (sv.sync->start() != 0) {
    *error = "can't start the sync thread";
    return -1;
  }
  KT_LOG_INFO("orvane-hostd %s: server %s:%u, domain %s, profile %s, socket %s", kVersion,
              sv.cfg.server.c_str(), sv.cfg.port, sv.cfg.domain.c_str(), sv.cfg.profile.c_str(),
              sv.cfg.socket.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  overrides o;
  bool syslog = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    }
    if (arg == "-V" || arg == "--version") {
      std::printf("orvane-hostd %s\n", kVersion);
      return 0;
    }
    bool ok = true;
    if (arg == "-c" || arg == "--config") {
      ok = value(&o.config);
    } else if (arg == "--socket") {
      ok = value(&o.socket);
    } else if (arg == "--cache") {
      ok = value(&o.cache);
    } else if (arg == "--nss-cache") {
      ok = value(&o.nss_cache);
    } else if (arg == "--no-syslog") {
      syslog = false;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "orvane-hostd: bad option '%s' (try --help)\n", arg.c_str());
      return 2;
    }
  }

  kt::logger_to_stderr = true;
  kt::logger_to_syslog = syslog;
  kt::logger_syslog_name = "orvane-hostd";

  // Signals are taken by the main thread only; every thread inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  auto sv = std::make_unique<services>();
  std::string error;
  if (prepare(o, sv.get(), &error) != 0) {
    KT_LOG_ERR("%s", error.c_str());
    return 1;
  }
  state st(&sv->cfg);
  if (start(*sv, st, &error) != 0) {
    KT_LOG_ERR("%s", error.c_str());
    sv->stop();
    return 1;
  }

  for (;;) {
    int sig = 0;
    if (sigwait(&signals, &sig) != 0) continue;
    if (sig == SIGINT || sig == SIGTERM) break;
    if (sig != SIGHUP) continue;
    KT_LOG_INFO("SIGHUP: reloading %s", config_path(o).c_str());
    auto next = std::make_unique<services>();
    if (prepare(o, next.get(), &error) != 0) {
      KT_LOG_ERR("reload refused, keeping the running configuration: %s", error.c_str());
      continue;
    }
    sv->stop();
    sv = std::move(next);
    if (start(*sv, st, &error) != 0) {
      KT_LOG_ERR("%s", error.c_str());
      sv->stop();
      return 1;
    }
  }
  sv->stop();
  KT_LOG_INFO("exiting");
  return 0;
}
