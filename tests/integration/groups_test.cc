// The group commands against the real orvaned over HTTPS: nesting rules, system groups,
// removal, rights, search, audit entries, change notifications and a restart.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

// A WebSocket client on the plain port: sends masked text frames, reads unmasked ones.
class ws_client {
 public:
  ~ws_client() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    const std::string hello =
        "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (!send_all(hello)) return false;
    while (in_.find("\r\n\r\n") == std::string::npos) {
      if (!fill(5000)) return false;
    }
    const size_t end = in_.find("\r\n\r\n") + 4;
    const bool switched = in_.rfind("HTTP/1.1 101", 0) == 0;
    in_.erase(0, end);
    return switched;
  }

  bool send_text(const std::string& payload) {
    if (payload.size() > 0xffff) return false;
    std::string frame = "\x81";
    if (payload.size() < 126) {
      frame += static_cast<char>(0x80 | payload.size());
    } else {
      frame += static_cast<char>(0x80 | 126);
      frame += static_cast<char>(payload.size() >> 8);
      frame += static_cast<char>(payload.size() & 0xff);
    }
    const char mask[4] = {0x11, 0x22, 0x33, 0x44};
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i)
      frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    return send_all(frame);
  }

  // The payload of the next frame, or "" when none comes within the time.
  std::string read_text(int timeout_ms) {
    for (;;) {
      if (in_.size() >= 2) {
        size_t len = static_cast<uint8_t>(in_[1]) & 0x7f;
        size_t head = 2;
        if (len == 126 && in_.size() >= 4) {
          len = (static_cast<uint8_t>(in_[2]) << 8) | static_cast<uint8_t>(in_[3]);
          head = 4;
        }
        if (len < 126 || head == 4) {
          if (in_.size() >= head + len) {
            std::string payload = in_.substr(head, len);
            in_.erase(0, head + len);
            return payload;
          }
        }
      }
      if (!fill(timeout_ms)) return {};
    }
  }

 private:
  bool send_all(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool fill(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return false;
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in_.append(buf, static_cast<size_t>(n));
    return true;
  }

  int fd_ = -1;
  std::string in_;
};

class GroupsOverHttps : public ::testing::Test {
 protected:
  void SetUp() override { start(); }

  void start() {
    ASSERT_TRUE(server.start()) << server.log();
    admin_ = server.token();
    ASSERT_FALSE(admin_.empty());
  }
  void restart() {
    ASSERT_EQ(server.stop(), 0);
    start();
  }

  // Runs a command on the root domain; keeps the parsed answer document.
  long cmd(const std::string& name, const std::string& body, const std::string& tok = "",
           const std::string& attrs = "") {
    const http_answer a = server.post("<orvane><" + name + " domain=\"ORVANE\" token=\"" +
                                      (tok.empty() ? admin_ : tok) + "\"" + attrs + ">" + body +
                                      "</" + name + "></orvane>");
    EXPECT_TRUE(a.ok) << name;
    doc_ = kt::xmldoc();
    EXPECT_EQ(doc_.parse(a.body), 0) << a.body;
    return orvaned_process::code(a);
  }
  const kt::xmldoc_node* answer(const char* name) const {
    return doc_.root() != nullptr ? doc_.root()->get(name) : nullptr;
  }
  uint64_t insert(const std::string& name, const std::string& children = "") {
    EXPECT_EQ(cmd("groupInsert", "<g name=\"" + name + "\">" + children + "</g>"), 0) << name;
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? std::stoull(id->value()) : 0;
  }
  long edit(uint64_t id, const std::string& children, const std::string& attrs = "") {
    return cmd("groupEdit",
               "<g id=\"" + std::to_string(id) + "\"" + attrs + ">" + children + "</g>");
  }
  static std::string memberof(std::initializer_list<uint64_t> ids) {
    std::string out = "<memberof>";
    for (uint64_t id : ids) out += "<g id=\"" + std::to_string(id) + "\"/>";
    return out + "</memberof>";
  }

  // groupSearch: group name -> sorted names of its direct parents.
  std::map<std::string, std::vector<std::string>> search(const std::string& s = "<s/>") {
    std::map<std::string, std::vector<std::string>> out;
    EXPECT_EQ(cmd("groupSearch", s), 0);
    const kt::xmldoc_node* groups = answer("groups");
    if (groups == nullptr) return out;
    for (const auto& g : groups->children()) {
      std::vector<std::string>& parents = out[std::string(g->attr_get_value("name"))];
      if (const kt::xmldoc_node* mo = g->get("memberof"); mo != nullptr) {
        for (const auto& p : mo->children()) parents.emplace_back(p->attr_get_value("name"));
      }
      std::sort(parents.begin(), parents.end());
    }
    return out;
  }
  uint64_t group_id(const std::string& name) {
    EXPECT_EQ(cmd("groupSearch", "<s opt=\"1\">^" + name + "$</s>"), 0);
    const kt::xmldoc_node* groups = answer("groups");
    if (groups == nullptr || groups->first_child() == nullptr) return 0;
    return std::stoull(std::string(groups->first_child()->attr_get_value("id")));
  }

  // The root domain's directory: the one holding a "groups" file.
  std::string domain_dir() const {
    for (const auto& e : fs::directory_iterator(server.current())) {
      if (e.is_directory() && fs::exists(e.path() / "groups")) return e.path().string();
    }
    return {};
  }

  orvaned_process server;
  std::string admin_;
  kt::xmldoc doc_;
};

using parents = std::vector<std::string>;

TEST_F(GroupsOverHttps, NestingRulesSystemGroupsAndRights) {
  const uint64_t a = insert("A");
  const uint64_t b = insert("B");
  const uint64_t c = insert("C");
  const uint64_t admins = group_id("Administrators");
  const uint64_t all = group_id("AllUsers");
  ASSERT_NE(admins, 0u);
  ASSERT_NE(all, 0u);

  // Loops.
  EXPECT_EQ(edit(a, memberof({b})), 0);
  EXPECT_EQ(edit(b, memberof({a})), 0x603);
  EXPECT_EQ(edit(b, memberof({c})), 0);
  EXPECT_EQ(edit(c, memberof({a})), 0x603);
  EXPECT_EQ(edit(a, memberof({a})), 0x604);
  // The first unknown child decides.
  EXPECT_EQ(edit(c, memberof({4711, b})), 0x605);
  // AllUsers.
  EXPECT_EQ(edit(all, memberof({c})), 0x607);
  EXPECT_EQ(edit(c, memberof({all})), 0x608);
  EXPECT_EQ(cmd("userInsert", "<u uname=\"u1\"><p>Passw0rd</p>" + memberof({all}) + "</u>"), 0x608);
  // System groups.
  EXPECT_EQ(edit(admins, "", " name=\"Admins\""), 0x606);
  EXPECT_EQ(edit(all, "", " name=\"Everyone\""), 0x606);
  EXPECT_EQ(cmd("groupRemove", "<g name=\"Administrators\"/>"), 0x606);
  EXPECT_EQ(cmd("groupRemove", "<g name=\"AllUsers\"/>"), 0x606);
  EXPECT_EQ(edit(admins, memberof({c})), 0);

  auto groups = search();
  EXPECT_EQ(groups.size(), 5u);
  EXPECT_EQ(groups["A"], parents{"B"});
  EXPECT_EQ(groups["B"], parents{"C"});
  EXPECT_EQ(groups["C"], parents{});
  EXPECT_EQ(groups["Administrators"], parents{"C"});
  EXPECT_EQ(groups["AllUsers"], parents{});

  // Empty memberof removes all parents; none keeps them.
  EXPECT_EQ(edit(admins, "<memberof/>"), 0);
  EXPECT_EQ(edit(a, "", " name=\"A1\""), 0);
  groups = search();
  EXPECT_EQ(groups["Administrators"], parents{});
  EXPECT_EQ(groups["A1"], parents{"B"});

  // Search: anchored, case folding unless opt bit 0x1.
  insert("Bravo");
  EXPECT_EQ(search("<s>^b</s>").size(), 2u);
  EXPECT_EQ(search("<s opt=\"1\">^b</s>").size(), 0u);
  EXPECT_EQ(search("<s opt=\"1\">^B</s>").size(), 2u);
  EXPECT_EQ(cmd("groupSearch", "<s>[</s>"), 0x12);

  // A user without WRITE on OrvaneGroups.
  ASSERT_EQ(cmd("userInsert", "<u uname=\"plain\"><p>Passw0rd</p></u>"), 0);
  const std::string plain = server.token("plain", "Passw0rd");
  ASSERT_FALSE(plain.empty());
  EXPECT_EQ(cmd("groupInsert", "<g name=\"X\"/>", plain), 0x102);
  EXPECT_EQ(cmd("groupEdit", "<g name=\"C\">" + memberof({b}) + "</g>", plain), 0x102);
  EXPECT_EQ(cmd("groupRemove", "<g name=\"C\"/>", plain), 0x102);
  EXPECT_EQ(cmd("groupSearch", "<s/>", plain), 0x102);
  // Put into Administrators, the same user may.
  ASSERT_EQ(cmd("userEdit", "<u uname=\"plain\">" + memberof({admins}) + "</u>"), 0);
  EXPECT_EQ(cmd("groupInsert", "<g name=\"X\"/>", plain), 0);
}

TEST_F(GroupsOverHttps, RemovalTakesMembershipsAndFilesAndSurvivesRestart) {
  const uint64_t top = insert("top");
  const uint64_t keep = insert("keep");
  const uint64_t mid = insert("mid", memberof({top}));
  const uint64_t child = insert("child", memberof({mid, keep}));
  ASSERT_EQ(
      cmd("userInsert", "<u uname=\"alice\"><p>Passw0rd</p>" + memberof({mid, keep}) + "</u>"), 0);
  const std::string dir = domain_dir();
  ASSERT_FALSE(dir.empty());
  const std::string users_file = dir + "/group_users_" + std::to_string(mid);
  const std::string groups_file = dir + "/group_groups_" + std::to_string(mid);
  const std::string top_file = dir + "/group_groups_" + std::to_string(top);
  EXPECT_EQ(fs::file_size(users_file), 12u);
  EXPECT_EQ(fs::file_size(groups_file), 12u);
  EXPECT_EQ(fs::file_size(top_file), 12u);

  EXPECT_EQ(cmd("groupRemove", "<g id=\"" + std::to_string(mid) + "\"/>"), 0);
  EXPECT_FALSE(fs::exists(users_file));
  EXPECT_FALSE(fs::exists(groups_file));
  EXPECT_EQ(fs::file_size(top_file), 0u);
  auto groups = search();
  EXPECT_EQ(groups.count("mid"), 0u);
  EXPECT_EQ(groups["child"], parents{"keep"});
  EXPECT_EQ(groups["top"], parents{});
  ASSERT_EQ(cmd("userSearch", "<s>^alice$</s>"), 0);
  const kt::xmldoc_node* alice = answer("users")->first_child();
  ASSERT_NE(alice, nullptr);
  ASSERT_NE(alice->get("memberof"), nullptr);
  EXPECT_EQ(alice->get("memberof")->child_count(), 1u);
  EXPECT_EQ(alice->get("memberof")->first_child()->attr_get_value("name"), "keep");
  EXPECT_EQ(cmd("groupRemove", "<g name=\"mid\"/>"), 0x601);

  restart();
  groups = search();
  EXPECT_EQ(groups.size(), 5u);  // top, keep, child and the two system groups
  EXPECT_EQ(groups.count("mid"), 0u);
  EXPECT_EQ(groups["child"], parents{"keep"});
  EXPECT_EQ(groups["top"], parents{});
  EXPECT_EQ(group_id("child"), child);
  EXPECT_EQ(group_id("keep"), keep);
  ASSERT_EQ(cmd("userSearch", "<s>^alice$</s>"), 0);
  EXPECT_EQ(answer("users")->first_child()->get("memberof")->child_count(), 1u);
  EXPECT_FALSE(fs::exists(users_file));
  EXPECT_FALSE(fs::exists(groups_file));
}

TEST_F(GroupsOverHttps, ChangesAreNotifiedAndAudited) {
  ws_client ws;
  ASSERT_TRUE(ws.open(server.http_port));
  ASSERT_TRUE(ws.send_text("<orvane><auth token=\"" + admin_ + "\"/></orvane>"));
  const std::string bound = ws.read_text(5000);
  ASSERT_NE(bound.find("code=\"0\""), std::string::npos) << bound;

  const time_t from = time(nullptr) - 5;
  const uint64_t id = insert("dev");
  ASSERT_EQ(cmd("groupEdit", "<g id=\"" + std::to_string(id) +
                                 "\" name=\"dev2\"/>"
                                 "<audit>renamed</audit>"),
            0);
  ASSERT_EQ(cmd("groupRemove", "<g name=\"dev2\"/><audit>done</audit>"), 0);
  EXPECT_EQ(cmd("groupRemove", "<g name=\"dev2\"/>"), 0x601);  // neither told nor audited

  std::vector<std::string> changes;
  while (changes.size() < 3) {
    const std::string text = ws.read_text(5000);
    if (text.empty()) break;
    if (text.find("objType=\"group\"") != std::string::npos) changes.push_back(text);
  }
  ASSERT_EQ(changes.size(), 3u);
  const std::string sid = "objId=\"" + std::to_string(id) + "\"";
  const char* kinds[] = {"changeType=\"insert\"", "changeType=\"edit\"", "changeType=\"remove\""};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NE(changes[i].find(sid), std::string::npos) << changes[i];
    EXPECT_NE(changes[i].find(kinds[i]), std::string::npos) << changes[i];
  }
  EXPECT_EQ(ws.read_text(300), "");

  // The audit writer runs on its own thread: wait for the three entries.
  std::vector<std::string> infos;
  for (int attempt = 0; attempt < 50 && infos.size() < 3; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    infos.clear();
    const std::string range = " from=\"" + std::to_string(from) + "\" to=\"" +
                              std::to_string(time(nullptr) + 5) + "\" api=\"\"";
    ASSERT_EQ(cmd("getAuditLog", "", "", range), 0);
    for (const auto& e : answer("auditlog")->children()) {
      if (e->attr_get_value("api").substr(0, 5) != "group") continue;
      EXPECT_EQ(e->attr_get_value("resCode"), "0");
      const std::string* info = e->get_value("i");
      infos.push_back(std::string(e->attr_get_value("api")) + ": " + (info ? *info : ""));
    }
  }
  const std::string n = std::to_string(id);
  EXPECT_EQ(infos, (std::vector<std::string>{
                       "groupInsert: group dev (" + n + ") added / ",
                       "groupEdit: group dev2 (" + n + ") edited / renamed",
                       "groupRemove: group dev2 (" + n + ") removed / done",
                   }));
}

}  // namespace
}  // namespace orvane_test
