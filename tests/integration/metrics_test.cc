// The metrics port of the real orvaned: its counters follow the traffic, both text formats are
// well formed (promtool checks the Prometheus one where it is installed), and port 0 turns it off.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "support/orvaned.h"
#include "support/process.h"
#include "support/websocket_client.h"

namespace orvane_test {
namespace {

std::string scrape(uint16_t port, bool openmetrics, const std::string& path = "/metrics") {
  std::string request = "GET " + path + " HTTP/1.0\r\n";
  if (openmetrics) request += "Accept: application/openmetrics-text; version=1.0.0\r\n";
  return tcp_exchange(port, request + "\r\n", 10000);
}

// Checks the exposition's shape and returns its samples ("name{labels}" -> value). Every sample
// belongs to a family declared by a TYPE line with a HELP, counters are named "_total", and
// histograms end with a +Inf bucket, a sum and a count.
std::map<std::string, double> samples_of(const std::string& text, bool openmetrics) {
  std::map<std::string, double> out;
  std::map<std::string, std::string> types;
  std::set<std::string> helped;
  std::istringstream in(text);
  std::string line;
  std::string last;
  while (std::getline(in, line)) {
    last = line;
    if (line.rfind("# TYPE ", 0) == 0) {
      std::istringstream f(line.substr(7));
      std::string name, type;
      f >> name >> type;
      EXPECT_EQ(types.count(name), 0u) << "declared twice: " << name;
      types[name] = type;
      continue;
    }
    if (line.rfind("# HELP ", 0) == 0) {
      helped.insert(line.substr(7, line.find(' ', 7) - 7));
      continue;
    }
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    if (space == std::string::npos) {
      ADD_FAILURE() << "not a sample: " << line;
      continue;
    }
    const std::string key = line.substr(0, space);
    const std::string name = key.substr(0, key.find('{'));
    out[key] = std::stod(line.substr(space + 1));
    // The family a sample belongs to: its name, or the name less a known suffix.
    std::string family;
    for (const char* suffix : {"", "_total", "_bucket", "_sum", "_count"}) {
      const std::string s = suffix;
      if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
        const std::string base = name.substr(0, name.size() - s.size());
        if (types.count(base) != 0) family = base;
        if (types.count(name) != 0) family = name;
      }
    }
    if (family.empty()) {
      ADD_FAILURE() << "no TYPE for " << line;
      continue;
    }
    EXPECT_EQ(helped.count(family), 1u) << "no HELP for " << family;
    if (types[family] == "counter") {
      EXPECT_EQ(name.substr(name.size() - 6), "_total") << line;
      EXPECT_EQ(family.size() > 6 && family.substr(family.size() - 6) == "_total", !openmetrics);
    }
  }
  if (openmetrics) {
    EXPECT_EQ(last, "# EOF");
  }
  for (const auto& [key, value] : out) {
    const size_t at = key.find("_count{");
    if (at == std::string::npos) continue;
    const std::string labels = key.substr(at + 7, key.size() - at - 8);
    const std::string family = key.substr(0, at);
    EXPECT_EQ(out[family + "_bucket{" + labels + ",le=\"+Inf\"}"], value) << key;
    EXPECT_EQ(out.count(family + "_sum{" + labels + "}"), 1u) << key;
  }
  return out;
}

TEST(MetricsTest, CountersFollowTheTrafficInBothFormats) {
  orvaned_process server;
  ASSERT_TRUE(server.start()) << server.log();
  const std::string admin = server.token();
  ASSERT_FALSE(admin.empty());
  EXPECT_EQ(server.token("Administrator", "wrong"), "");
  ASSERT_EQ(orvaned_process::code(
                server.post("<orvane><userInsert domain=\"ORVANE\" token=\"" + admin +
                            "\"><u uname=\"metered\"><p>Passw0rd</p></u></userInsert></orvane>")),
            0);
  ASSERT_EQ(orvaned_process::code(server.post("<orvane><isValidToken domain=\"ORVANE\" token=\"" +
                                              admin + "\"/></orvane>")),
            0);
  tcp_exchange(server.https_port, "this is no TLS hello\r\n\r\n", 5000);  // a failed handshake
  // A session begun and resumed.
  tls_resumption session;
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(orvaned_process::code(server.post(
                  "<orvane><getTokenInfo domain=\"ORVANE\" token=\"" + admin + "\"/></orvane>",
                  nullptr, &session)),
              0);
  }
  EXPECT_TRUE(session.reused);
  // An answer too large for the loop to send itself (a worker sends it): rights on 30 resources.
  std::vector<std::string> names;
  for (int i = 0; i < 30; ++i) {
    names.push_back("resource" + std::to_string(i) + "_" + std::string(80, 'x'));
    ASSERT_EQ(orvaned_process::code(server.post(
                  "<orvane><resourceInsert domain=\"ORVANE\" token=\"" + admin + "\"><r name=\"" +
                  names.back() + "\" type=\"1\" parentId=\"0\"/></resourceInsert></orvane>")),
              0);
  }
  const http_answer rights = server.post("<orvane><getPermissions domain=\"ORVANE\" token=\"" +
                                         admin + "\"><path>/*</path></getPermissions></orvane>");
  EXPECT_EQ(orvaned_process::code(rights), 0) << rights.body;
  EXPECT_GT(rights.body.size(), 2048u);
  for (const std::string& name : names) EXPECT_NE(rights.body.find(name), std::string::npos);
  websocket_client ws;
  ASSERT_TRUE(ws.open(server.http_port, false));
  ASSERT_EQ(ws.auth(admin), 0);

  const http_answer om = parse_http(scrape(server.metrics_port, true));
  ASSERT_TRUE(om.ok) << om.raw;
  EXPECT_EQ(om.header("Content-Type"),
            "application/openmetrics-text; version=1.0.0; charset=utf-8");
  std::map<std::string, double> v = samples_of(om.body, true);
  EXPECT_GE(v["orvane_requests_total{command=\"getToken\",code=\"0\"}"], 1);
  EXPECT_GE(v["orvane_requests_total{command=\"getToken\",code=\"260\"}"], 1);  // 0x104
  EXPECT_EQ(v["orvane_requests_total{command=\"userInsert\",code=\"0\"}"], 1);
  EXPECT_EQ(v["orvane_requests_total{command=\"isValidToken\",code=\"0\"}"], 1);
  EXPECT_GE(v["orvane_request_duration_seconds_count{command=\"getToken\"}"], 2);
  EXPECT_GT(v["orvane_request_duration_seconds_sum{command=\"userInsert\"}"], 0);
  EXPECT_GE(v["orvane_tls_handshakes_total"], 3);
  EXPECT_GE(v["orvane_tls_handshake_failures_total"], 1);
  EXPECT_EQ(v["orvane_tls_sessions_resumed_total"], 1);
  // getToken (twice), isValidToken, getTokenInfo (twice) and getPermissions, not the changes.
  EXPECT_EQ(v["orvane_requests_answered_on_loop_total"], 6);
  EXPECT_EQ(v["orvane_bound_channels"], 1);
  EXPECT_GE(v["orvane_live_tokens"], 1);
  EXPECT_EQ(v["orvane_objects{kind=\"user\"}"], 2);
  EXPECT_EQ(v["orvane_objects{kind=\"domain\"}"], 1);
  EXPECT_EQ(v["orvane_objects{kind=\"resource\"}"], 36);
  EXPECT_GT(v["process_resident_memory_bytes"], 1e6);
  EXPECT_GT(v["process_open_fds"], 3);
  EXPECT_EQ(v.count("orvane_audit_queue_depth"), 1u);
  EXPECT_EQ(v.count("orvane_backups"), 1u);

  // The Prometheus text format, checked by promtool where it is installed.
  const http_answer prom = parse_http(scrape(server.metrics_port, false));
  ASSERT_TRUE(prom.ok);
  EXPECT_EQ(prom.header("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  v = samples_of(prom.body, false);
  EXPECT_EQ(v["orvane_metrics_scrapes_total"], 2);
  const std::string file = server.root() + "/metrics.txt";
  std::ofstream(file) << prom.body;
  const run_result check = run_program({"/bin/sh", "-c",
                                        "command -v promtool >/dev/null || exit 77; "
                                        "promtool check metrics < '" +
                                            file + "'"});
  if (check.status == 77) {
    std::printf("[ metrics ] promtool is not installed: its check is skipped\n");
  } else {
    EXPECT_EQ(check.status, 0) << check.out << check.err;
  }
  EXPECT_EQ(scrape(server.metrics_port, false, "/other").rfind("HTTP/1.0 404", 0), 0u);

  // Port 0: no metrics port.
  const uint16_t port = server.metrics_port;
  ASSERT_EQ(server.stop(), 0);
  server.extra_env.push_back("ORVANE_METRICS_PORT=0");
  ASSERT_TRUE(server.start()) << server.log();
  EXPECT_EQ(scrape(port, false), "");
}

}  // namespace
}  // namespace orvane_test
