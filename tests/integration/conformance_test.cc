// Behaviour that other programs rely on, against the real orvaned: releaseToken without a
// domain, and the WebSocket upgrade of a stock client (Node's built-in WebSocket, whose header
// names are lower case) on both ports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "support/process.h"
#include "support/websocket_client.h"

namespace orvane_test {
namespace {

TEST(ConformanceTest, ReleaseTokenWithoutDomainEndsTheToken) {
  orvaned_process server;
  ASSERT_TRUE(server.start()) << server.log();
  const std::string t = server.token();
  ASSERT_FALSE(t.empty());
  websocket_client ws;
  ASSERT_TRUE(ws.open(server.http_port, false));
  ASSERT_EQ(ws.auth(t), 0);

  // Naming a domain that does not exist is still refused, and the token lives on.
  EXPECT_EQ(orvaned_process::code(server.post("<orvane><releaseToken domain=\"NOPE\" token=\"" + t +
                                              "\"/></orvane>")),
            0x102);
  EXPECT_EQ(orvaned_process::code(server.post("<orvane><isValidToken domain=\"ORVANE\" token=\"" +
                                              t + "\"/></orvane>")),
            0);

  // Without a domain the token's own is meant: the token ends and its channel closes.
  EXPECT_EQ(
      orvaned_process::code(server.post("<orvane><releaseToken token=\"" + t + "\"/></orvane>")),
      0);
  EXPECT_EQ(orvaned_process::code(server.post("<orvane><isValidToken domain=\"ORVANE\" token=\"" +
                                              t + "\"/></orvane>")),
            0x101);
  std::string payload;
  EXPECT_EQ(ws.read_frame(&payload, 10000), ws_read::closed);
}

// The node program on PATH and the flag it needs for a global WebSocket; false when there is
// none that has one.
bool find_node(std::string* program, std::vector<std::string>* flags) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    for (const char* name : {"node", "nodejs"}) {
      const std::string candidate = dirs.substr(start, end - start) + "/" + name;
      if (::access(candidate.c_str(), X_OK) != 0) continue;
      for (const std::vector<std::string>& f :
           {std::vector<std::string>{}, std::vector<std::string>{"--experimental-websocket"}}) {
        std::vector<std::string> argv{candidate};
        argv.insert(argv.end(), f.begin(), f.end());
        argv.insert(argv.end(), {"-e", "process.exit(typeof WebSocket === 'function' ? 0 : 3)"});
        if (run_program(argv).status == 0) {
          *program = candidate;
          *flags = f;
          return true;
        }
      }
    }
    start = end + 1;
  }
  return false;
}

TEST(ConformanceTest, StockWebSocketClientOnBothPorts) {
  std::string node;
  std::vector<std::string> flags;
  if (!find_node(&node, &flags)) {
    GTEST_SKIP() << "no node with a built-in WebSocket (Node 20.10 or later; "
                    "scripts/install-deps.sh installs nodejs)";
  }
  orvaned_process server;
  ASSERT_TRUE(server.start()) << server.log();
  const std::string t = server.token();
  ASSERT_FALSE(t.empty());

  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "wss" : "ws");
    const std::string url = std::string(tls ? "wss" : "ws") + "://127.0.0.1:" +
                            std::to_string(tls ? server.https_port : server.http_port) + "/";
    std::vector<std::string> argv{node};
    argv.insert(argv.end(), flags.begin(), flags.end());
    argv.push_back(std::string(ORVANE_SOURCE_DIR) + "/tests/integration/stock_websocket_client.js");
    const run_result r = run_program(
        argv, {"ORVANE_WS_URL=" + url, "ORVANE_HTTPS_PORT=" + std::to_string(server.https_port),
               "ORVANE_TOKEN=" + t, std::string("ORVANE_USER=") + (tls ? "wss" : "ws"),
               "NODE_EXTRA_CA_CERTS=" + server.root() + "/certs/orvane-ca.pem"});
    EXPECT_EQ(r.status, 0) << r.out << r.err << server.log();
    EXPECT_NE(r.out.find("objType=\"user\""), std::string::npos) << r.out;
  }
}

}  // namespace
}  // namespace orvane_test
