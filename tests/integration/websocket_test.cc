// The WebSocket channel against the real orvaned: binding a token, change notifications and
// their tenant isolation, framing across reads, closing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/orvaned.h"
#include "support/websocket_client.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

// The attributes of a change document's "change" element; empty when it is not one.
std::map<std::string, std::string> change_of(const std::string& document) {
  std::map<std::string, std::string> out;
  kt::xmldoc doc;
  if (doc.parse(document) != 0 || doc.root() == nullptr) return out;
  const kt::xmldoc_node* change = doc.root()->get("change");
  if (change == nullptr) return out;
  for (const auto& a : change->attrs()) out[a.name] = a.value;
  return out;
}

class WebSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start()) << server.log(); }

  // Runs one command; returns its code and keeps the answer body.
  long cmd(const std::string& name, const std::string& body, const std::string& token,
           const std::string& domain = "ORVANE") {
    last = server.post("<orvane><" + name + " domain=\"" + domain + "\" token=\"" + token + "\">" +
                       body + "</" + name + "></orvane>");
    return orvaned_process::code(last);
  }
  // The text of an answer element of the last command.
  std::string answer_text(const char* element) {
    kt::xmldoc doc;
    if (doc.parse(last.body) != 0 || doc.root() == nullptr) return {};
    const kt::xmldoc_node* n = doc.root()->get(element);
    return n != nullptr ? n->value() : std::string();
  }
  std::string root_domain_id(const std::string& token) {
    if (cmd("domainSearch", "<s>^ORVANE$</s>", token) != 0) return {};
    kt::xmldoc doc;
    if (doc.parse(last.body) != 0 || doc.root() == nullptr) return {};
    const kt::xmldoc_node* domains = doc.root()->get("domains");
    const kt::xmldoc_node* d = domains != nullptr ? domains->get("d") : nullptr;
    return d != nullptr ? std::string(d->attr_get_value("id")) : std::string();
  }
  std::string add_domain(const std::string& name, const std::string& parent,
                         const std::string& token) {
    if (cmd("domainInsert",
            "<d name=\"" + name + "\" parentId=\"" + parent + "\"/><p>Tenant123</p>", token) != 0) {
      return {};
    }
    return answer_text("insertedId");
  }

  // Reads the next frame and returns it as a change; fails the test on a timeout.
  std::map<std::string, std::string> next_change(websocket_client& ws) {
    std::string payload;
    EXPECT_EQ(ws.read_frame(&payload, 5000), ws_read::frame);
    std::map<std::string, std::string> change = change_of(payload);
    EXPECT_FALSE(change.empty()) << payload;
    return change;
  }

  orvaned_process server;
  http_answer last;
};

TEST_F(WebSocketTest, AuthIsAnsweredOnBothPorts) {
  const std::string t = server.token();
  ASSERT_FALSE(t.empty());
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS port" : "plain port");
    websocket_client ws;
    ASSERT_TRUE(ws.open(tls ? server.https_port : server.http_port, tls)) << ws.handshake_answer();
    EXPECT_NE(ws.handshake_answer().find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="),
              std::string::npos)
        << ws.handshake_answer();

    std::string answer;
    ASSERT_TRUE(ws.send_text("<m><other/></m>"));
    ASSERT_EQ(ws.read_frame(&answer, 5000), ws_read::frame);
    EXPECT_EQ(ws_result_code(answer), 16) << answer;
    EXPECT_NE(answer.find("<orvane><res code=\"16\" msg=\"invalid request.\""), std::string::npos)
        << answer;

    ASSERT_TRUE(ws.send_text("<m><auth token=\"no-such-token\"/></m>"));
    ASSERT_EQ(ws.read_frame(&answer, 5000), ws_read::frame);
    EXPECT_EQ(ws_result_code(answer), 257);
    EXPECT_NE(answer.find("msg=\"token not found.\""), std::string::npos) << answer;
    EXPECT_EQ(ws.auth(""), 257);

    ASSERT_TRUE(ws.send_text("<m><auth token=\"" + t + "\"/></m>"));
    ASSERT_EQ(ws.read_frame(&answer, 5000), ws_read::frame);
    EXPECT_EQ(ws_result_code(answer), 0);
    EXPECT_NE(answer.find("msg=\"no error.\""), std::string::npos) << answer;

    // An unknown token later leaves the bound one in place: notifications still arrive.
    EXPECT_EQ(ws.auth("still-no-token"), 257);
    ASSERT_EQ(
        cmd("userInsert",
            std::string("<u uname=\"") + (tls ? "tls" : "plain") + "\"><p>Passw0rd</p></u>", t),
        0);
    EXPECT_EQ(next_change(ws)["objType"], "user");
  }
}

TEST_F(WebSocketTest, ChangesOfEveryKindReachBoundClients) {
  const std::string t = server.token();
  websocket_client plain;
  websocket_client tls;
  ASSERT_TRUE(plain.open(server.http_port, false));
  ASSERT_TRUE(tls.open(server.https_port, true));
  ASSERT_EQ(plain.auth(t), 0);
  ASSERT_EQ(tls.auth(t), 0);
  const std::string root = root_domain_id(t);
  ASSERT_FALSE(root.empty()) << last.body;

  struct expected {
    std::string id, type, change;
  };
  std::vector<expected> changes;
  ASSERT_EQ(cmd("userInsert", "<u uname=\"alice\"><p>Passw0rd</p></u>", t), 0) << last.body;
  const std::string alice = answer_text("insertedId");
  changes.push_back({alice, "user", "insert"});
  ASSERT_EQ(cmd("userEdit", "<u id=\"" + alice + "\"><p>Passw0rd2</p></u>", t), 0) << last.body;
  changes.push_back({alice, "user", "edit"});
  ASSERT_EQ(cmd("groupInsert", "<g name=\"Staff\"/>", t), 0) << last.body;
  changes.push_back({answer_text("insertedId"), "group", "insert"});
  ASSERT_EQ(cmd("resourceInsert", "<r name=\"App\" type=\"3\" parentId=\"0\"/>", t), 0)
      << last.body;
  changes.push_back({answer_text("insertedId"), "resource", "insert"});
  ASSERT_EQ(cmd("nssProfileInsert", "<nssp name=\"Linux\" descr=\"d\"/>", t), 0) << last.body;
  changes.push_back({answer_text("insertedId"), "nssprofile", "insert"});
  ASSERT_EQ(cmd("netClientInsert", "<netc name=\"edge\"><v4>10.0.0.1</v4></netc>", t), 0)
      << last.body;
  changes.push_back({answer_text("insertedId"), "netclient", "insert"});
  ASSERT_EQ(cmd("userRemove", "<u id=\"" + alice + "\"/>", t), 0) << last.body;
  changes.push_back({alice, "user", "remove"});
  const std::string tenant = add_domain("Tenant", root, t);
  ASSERT_FALSE(tenant.empty()) << last.body;
  changes.push_back({tenant, "domain", "insert"});

  for (websocket_client* ws : {&plain, &tls}) {
    for (const expected& e : changes) {
      SCOPED_TRACE(e.type + " " + e.change);
      std::map<std::string, std::string> change = next_change(*ws);
      EXPECT_EQ(change["objId"], e.id);
      EXPECT_EQ(change["objType"], e.type);
      EXPECT_EQ(change["changeType"], e.change);
      EXPECT_EQ(change["domain"], root);
      EXPECT_NE(change["user"], "0");
    }
  }
}

TEST_F(WebSocketTest, TenantsDoNotSeeEachOthersChanges) {
  const std::string t = server.token();
  const std::string root = root_domain_id(t);
  ASSERT_FALSE(root.empty());
  const std::string a = add_domain("TenantA", root, t);
  const std::string b = add_domain("TenantB", root, t);
  ASSERT_FALSE(a.empty() || b.empty()) << last.body;
  const std::string ta = server.token("Administrator", "Tenant123", "TenantA");
  const std::string tb = server.token("Administrator", "Tenant123", "TenantB");
  ASSERT_FALSE(ta.empty() || tb.empty());

  websocket_client at_root;
  websocket_client at_a;
  websocket_client at_b;
  ASSERT_TRUE(at_root.open(server.http_port, false));
  ASSERT_TRUE(at_a.open(server.https_port, true));
  ASSERT_TRUE(at_b.open(server.http_port, false));
  ASSERT_EQ(at_root.auth(t), 0);
  ASSERT_EQ(at_a.auth(ta), 0);
  ASSERT_EQ(at_b.auth(tb), 0);

  // Notifications are sent in order, so the first frame a client gets shows what it missed.
  ASSERT_EQ(cmd("userInsert", "<u uname=\"rootuser\"><p>Passw0rd</p></u>", t), 0);
  ASSERT_EQ(cmd("userInsert", "<u uname=\"auser\"><p>Passw0rd</p></u>", ta, "TenantA"), 0)
      << last.body;
  const std::string auser = answer_text("insertedId");
  ASSERT_EQ(cmd("groupInsert", "<g name=\"BGroup\"/>", tb, "TenantB"), 0) << last.body;
  const std::string bgroup = answer_text("insertedId");

  std::map<std::string, std::string> change = next_change(at_root);
  EXPECT_EQ(change["domain"], root);
  change = next_change(at_root);  // the root domain's clients see the subdomains' changes
  EXPECT_EQ(change["domain"], a);
  EXPECT_EQ(change["objId"], auser);
  change = next_change(at_root);
  EXPECT_EQ(change["domain"], b);

  change = next_change(at_a);
  EXPECT_EQ(change["domain"], a);
  EXPECT_EQ(change["objId"], auser);
  change = next_change(at_b);
  EXPECT_EQ(change["domain"], b);
  EXPECT_EQ(change["objId"], bgroup);
  std::string payload;
  EXPECT_EQ(at_a.read_frame(&payload, 300), ws_read::timeout) << payload;
  EXPECT_EQ(at_b.read_frame(&payload, 300), ws_read::timeout) << payload;
}

TEST_F(WebSocketTest, CloseFrameOrUnparsablePayloadEndsTheConnection) {
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS port" : "plain port");
    const uint16_t port = tls ? server.https_port : server.http_port;
    std::string payload;
    websocket_client ws;
    ASSERT_TRUE(ws.open(port, tls));
    ASSERT_TRUE(ws.send_close());
    EXPECT_EQ(ws.read_frame(&payload, 5000), ws_read::closed);

    ASSERT_TRUE(ws.open(port, tls));
    ASSERT_TRUE(ws.send_text("<not xml"));
    EXPECT_EQ(ws.read_frame(&payload, 5000), ws_read::closed);

    // An oversized frame is refused as soon as its length is known.
    ASSERT_TRUE(ws.open(port, tls));
    ASSERT_TRUE(ws.send_raw(websocket_client::frame(std::string(1501, 'x')).substr(0, 8)));
    EXPECT_EQ(ws.read_frame(&payload, 5000), ws_read::closed);
  }
}

TEST_F(WebSocketTest, FramesSplitOrJoinedAcrossWritesAreAnswered) {
  const std::string t = server.token();
  const std::string auth = websocket_client::frame("<m><auth token=\"" + t + "\"/></m>");
  const std::string other = websocket_client::frame("<m><x/></m>");
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS port" : "plain port");
    websocket_client ws;
    ASSERT_TRUE(ws.open(tls ? server.https_port : server.http_port, tls));
    std::string answer;
    // Split inside the header, then inside the payload.
    for (const size_t cut : {size_t{1}, size_t{5}, auth.size() - 3}) {
      ASSERT_TRUE(ws.send_raw(auth.substr(0, cut)));
      EXPECT_EQ(ws.read_frame(&answer, 300), ws_read::timeout) << cut;
      ASSERT_TRUE(ws.send_raw(auth.substr(cut)));
      ASSERT_EQ(ws.read_frame(&answer, 5000), ws_read::frame) << cut;
      EXPECT_EQ(ws_result_code(answer), 0) << cut;
    }
    // Two messages in one write: both are answered, in order.
    ASSERT_TRUE(ws.send_raw(other + auth));
    ASSERT_EQ(ws.read_frame(&answer, 5000), ws_read::frame);
    EXPECT_EQ(ws_result_code(answer), 16);
    ASSERT_EQ(ws.read_frame(&answer, 5000), ws_read::frame);
    EXPECT_EQ(ws_result_code(answer), 0);
  }
}

TEST_F(WebSocketTest, AnswersAndNotificationsArriveIntact) {
  const std::string t = server.token();
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS port" : "plain port");
    websocket_client ws;
    ASSERT_TRUE(ws.open(tls ? server.https_port : server.http_port, tls));
    ASSERT_EQ(ws.auth(t), 0);

    constexpr int kInserts = 15;
    constexpr int kAuths = 40;
    std::atomic<int> inserted{0};
    std::thread writer([&] {
      for (int i = 0; i < kInserts; ++i) {
        const http_answer a =
            server.post("<orvane><userInsert domain=\"ORVANE\" token=\"" + t + "\"><u uname=\"u" +
                        std::to_string(tls) + "x" + std::to_string(i) +
                        "\"><p>Passw0rd</p></u></userInsert></orvane>");
        if (orvaned_process::code(a) == 0) ++inserted;
      }
    });
    const std::string auth = websocket_client::frame("<m><auth token=\"" + t + "\"/></m>");
    for (int i = 0; i < kAuths; ++i) {
      ASSERT_TRUE(ws.send_raw(auth));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    writer.join();
    ASSERT_EQ(inserted.load(), kInserts);

    int answers = 0;
    int changes = 0;
    std::string payload;
    while (answers < kAuths || changes < kInserts) {
      ASSERT_EQ(ws.read_frame(&payload, 5000), ws_read::frame)
          << answers << " answers, " << changes << " changes";
      if (!change_of(payload).empty()) {
        ++changes;
      } else {
        ASSERT_EQ(ws_result_code(payload), 0) << payload;
        ++answers;
      }
    }
    EXPECT_EQ(ws.read_frame(&payload, 300), ws_read::timeout);
  }
}

// Channels live on the network loops: 400 bound channels (half over TLS) add no thread to the
// server, and one change reaches each of them once.
TEST_F(WebSocketTest, ManyChannelsShareTheLoops) {
  const std::string t = server.token();
  const auto threads = [&] {
    return std::distance(
        std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid()) + "/task"),
        std::filesystem::directory_iterator());
  };
  const auto before = threads();
  std::vector<std::unique_ptr<websocket_client>> channels;
  for (int n = 0; n < 400; ++n) {
    const bool tls = n % 2 == 1;
    channels.push_back(std::make_unique<websocket_client>());
    ASSERT_TRUE(channels.back()->open(tls ? server.https_port : server.http_port, tls)) << n;
    ASSERT_EQ(channels.back()->auth(t), 0) << n;
  }
  EXPECT_LE(threads(), before + 2);  // a worker may have been added while answering
  ASSERT_EQ(cmd("userInsert", "<u uname=\"crowd\"><p>Passw0rd</p></u>", t), 0) << last.body;
  const std::string id = answer_text("insertedId");
  for (auto& ws : channels) {
    EXPECT_EQ(next_change(*ws)["objId"], id);
    std::string more;
    EXPECT_EQ(ws->read_frame(&more, 0), ws_read::timeout) << more;
  }
  // Closed by their peers, they end; a new one is served as before.
  channels.clear();
  websocket_client again;
  ASSERT_TRUE(again.open(server.http_port, false));
  EXPECT_EQ(again.auth(t), 0);
  EXPECT_EQ(cmd("userRemove", "<u id=\"" + id + "\"/>", t), 0);
  EXPECT_EQ(next_change(again)["changeType"], "remove");
}

}  // namespace
}  // namespace orvane_test
