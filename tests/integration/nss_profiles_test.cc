// NSS profiles against the real orvaned over HTTPS: passwd and group entries through included
// profiles, member files, rights, loops, removed accounts and a restart.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {
namespace {

namespace fs = std::filesystem;

class NssProfilesOverHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override { start(); }

  void start() {
    ASSERT_TRUE(server.start()) << server.log();
    admin = server.token();
    ASSERT_FALSE(admin.empty());
  }
  void restart() {
    ASSERT_EQ(server.stop(), 0);
    start();
  }

  // Posts one command of the ORVANE domain; returns the code and keeps the parsed answer.
  long post(const std::string& command, const std::string& attrs, const std::string& body = "",
            const std::string& tok = "") {
    const std::string token_attr =
        tok == "-" ? "" : " token=\"" + (tok.empty() ? admin : tok) + "\"";
    const http_answer a = server.post("<orvane><" + command + " domain=\"ORVANE\"" + token_attr +
                                      attrs + ">" + body + "</" + command + "></orvane>");
    doc = kt::xmldoc();
    EXPECT_EQ(doc.parse(a.body), 0) << a.body;
    return orvaned_process::code(a);
  }
  // A lookup: no token.
  long lookup(const std::string& command, const std::string& attrs) {
    return post(command, attrs, "", "-");
  }
  const kt::xmldoc_node* answer(const char* name) const {
    return doc.root() != nullptr ? doc.root()->get(name) : nullptr;
  }
  std::string inserted_id() const {
    const kt::xmldoc_node* id = answer("insertedId");
    return id != nullptr ? id->value() : std::string();
  }
  // One attribute of every child of an answer element.
  std::vector<std::string> column(const char* answer_name, const char* attr) const {
    std::vector<std::string> out;
    if (const kt::xmldoc_node* a = answer(answer_name); a != nullptr) {
      for (const auto& c : a->children()) out.emplace_back(c->attr_get_value(attr));
    }
    return out;
  }

  std::string add_user(const std::string& name, const std::string& extra = "") {
    EXPECT_EQ(post("userInsert", "", "<u uname=\"" + name + "\"" + extra + "><p>Passw0rd</p></u>"),
              0);
    return inserted_id();
  }
  std::string add_profile(const std::string& name) {
    EXPECT_EQ(post("nssProfileInsert", "", "<nssp name=\"" + name + "\" descr=\"d\"/>"), 0);
    return inserted_id();
  }
  long member(const std::string& verb, const std::string& profile, const std::string& u,
              const std::string& tok = "") {
    return post("nssProfileUser", " cmd=\"" + verb + "\" idup=\"" + profile + "\"",
                "<u " + u + "/>", tok);
  }
  static std::string u(const std::string& user, int uid, const std::string& home = "/home/x") {
    return "u=\"" + user + "\" uid=\"" + std::to_string(uid) + "\" s=\"/bin/sh\" h=\"" + home +
           "\"";
  }

  // The root domain's directory (the only domain).
  std::string domain_dir() const {
    for (const auto& e : fs::directory_iterator(server.current())) {
      if (e.is_directory() && fs::exists(e.path() / "users")) return e.path().string();
    }
    return "";
  }
  std::string read(const std::string& name) const {
    std::ifstream in(domain_dir() + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool exists(const std::string& name) const { return fs::exists(domain_dir() + "/" + name); }
  // (user id, uid, home) of each record of a member users file.
  std::vector<std::string> user_file(const std::string& profile) const {
    const std::string s = read("unixprofilee_users_" + profile);
    EXPECT_EQ(s.size() % 784, 0u);
    std::vector<std::string> out;
    for (size_t off = 0; off + 784 <= s.size(); off += 784) {
      uint64_t id = 0;
      uint32_t uid = 0;
      std::memcpy(&id, s.data() + off, 8);
      std::memcpy(&uid, s.data() + off + 8, 4);
      out.push_back(std::to_string(id) + ":" + std::to_string(uid) + ":" +
                    std::string(s.c_str() + off + 12));
    }
    return out;
  }

  orvaned_process server;
  std::string admin;
  kt::xmldoc doc;
};

TEST_F(NssProfilesOverHttpsTest, EntriesThroughIncludedProfilesRightsLoopsAndRestart) {
  const std::string alice = add_user("alice");
  const std::string bob = add_user("bob");
  const std::string locked = add_user("locked", " flags=\"8\"");
  // Inserted before any restart: a restarted server may reuse identifiers of the same second.
  const std::string carol = add_user("carol");
  ASSERT_EQ(post("groupInsert", "", "<g name=\"dev\"/>"), 0);
  const std::string dev = inserted_id();
  ASSERT_EQ(post("userEdit", "",
                 "<u id=\"" + bob + "\"><memberof><g id=\"" + dev + "\"/></memberof></u>"),
            0);
  const std::string base = add_profile("base");
  const std::string linux_id = add_profile("linux");

  // linux includes base; base can't include linux back, nor itself.
  ASSERT_EQ(
      post("nssProfileEdit", "", "<nssp id=\"" + linux_id + "\"><i id=\"" + base + "\"/></nssp>"),
      0);
  EXPECT_EQ(
      post("nssProfileEdit", "", "<nssp id=\"" + base + "\"><i id=\"" + linux_id + "\"/></nssp>"),
      0x702);
  EXPECT_EQ(post("nssProfileEdit", "", "<nssp id=\"" + base + "\"><i id=\"" + base + "\"/></nssp>"),
            0x702);

  ASSERT_EQ(member("add", linux_id, u(alice, 1001, "/home/alice")), 0);
  ASSERT_EQ(member("add", linux_id, u(locked, 1003)), 0);
  ASSERT_EQ(member("add", base, u(bob, 1002, "/home/bob")), 0);
  EXPECT_EQ(member("add", base, u(alice, 1002)), 0x18);  // uid taken
  // A member element without the account's identifier: -1.
  EXPECT_EQ(member("add", base, "uid=\"1005\" s=\"/bin/sh\" h=\"/\""), 0xFFFFFFFFL);
  EXPECT_EQ(post("nssProfileGroup", " cmd=\"add\" idup=\"" + base + "\"", "<g gid=\"501\"/>"),
            0xFFFFFFFFL);
  ASSERT_EQ(post("nssProfileGroup", " cmd=\"add\" idup=\"" + base + "\"",
                 "<g g=\"" + dev + "\" gid=\"500\"/>"),
            0);

  auto check_entries = [&] {
    // The locked user is left out; bob comes through the included profile.
    ASSERT_EQ(lookup("pamGetPWEntries", " profile=\"linux\""), 0);
    EXPECT_EQ(column("pwentries", "n"), (std::vector<std::string>{"alice", "bob"}));
    EXPECT_EQ(column("pwentries", "uid"), (std::vector<std::string>{"1001", "1002"}));
    EXPECT_EQ(column("pwentries", "h"), (std::vector<std::string>{"/home/alice", "/home/bob"}));
    ASSERT_EQ(lookup("pamGetGREntries", " profile=\"linux\""), 0);
    const kt::xmldoc_node* gr = answer("grentries");
    ASSERT_NE(gr, nullptr);
    ASSERT_EQ(gr->child_count(), 3u);
    const kt::xmldoc_node* own = gr->children()[0].get();
    EXPECT_EQ(own->attr_get_value("gid"), "1001");
    EXPECT_EQ(own->attr_get_value("n"), "alice");
    EXPECT_EQ(own->value(), "alice");
    EXPECT_EQ(gr->children()[2]->attr_get_value("n"), "dev");
    EXPECT_EQ(gr->children()[2]->value(), "bob");
    ASSERT_EQ(lookup("pamGetPWName", " profile=\"linux\" uname=\"bob\""), 0);
    EXPECT_EQ(column("pwentry", "uid"), std::vector<std::string>{"1002"});
    ASSERT_EQ(lookup("pamGetGRName", " profile=\"linux\" name=\"dev\""), 0);
    EXPECT_EQ(column("grentry", "gid"), std::vector<std::string>{"500"});
    // Neither a group nor a user: the bare failure, -1.
    EXPECT_EQ(lookup("pamGetGRGID", " profile=\"linux\" gid=\"4711\""), 0xFFFFFFFFL);
    ASSERT_NE(answer("res"), nullptr);
    EXPECT_EQ(answer("res")->attr_get_value("msg"), "unknown error code:ffffffff");
    EXPECT_EQ(answer("grentry"), nullptr);
    EXPECT_EQ(lookup("pamGetGRName", " profile=\"linux\" name=\"nobody\""), 0xFFFFFFFFL);
    EXPECT_EQ(lookup("pamGetPWUID", " profile=\"linux\" uid=\"4711\""), 0x108);
    EXPECT_EQ(lookup("pamGetPWName", " profile=\"linux\" uname=\"locked\""), 0x510);
    EXPECT_EQ(lookup("pamGetPWEntries", " profile=\"nope\""), 0x105);
  };
  check_entries();

  // Only holders of WRITE on OrvaneNSSProfiles manage profiles and their members.
  const std::string bob_token = server.token("bob", "Passw0rd");
  ASSERT_FALSE(bob_token.empty());
  EXPECT_EQ(member("add", linux_id, u(bob, 1010), bob_token), 0x102);
  EXPECT_EQ(post("nssProfileGroup", " cmd=\"del\" idup=\"" + base + "\"", "<g g=\"" + dev + "\"/>",
                 bob_token),
            0x102);
  EXPECT_EQ(post("nssProfileInsert", "", "<nssp name=\"mine\"/>", bob_token), 0x102);
  EXPECT_EQ(post("nssProfileRemove", "", "<nssp id=\"" + base + "\"/>", bob_token), 0x102);
  EXPECT_EQ(post("nssProfileSearch", "", "<s/>", bob_token), 0x102);
  ASSERT_EQ(post("nssProfileSearch", "", "<s>^lin</s>"), 0);
  EXPECT_EQ(column("nssprofiles", "name"), std::vector<std::string>{"linux"});

  restart();
  check_entries();

  // Edit and del leave exactly the remaining members in the file.
  ASSERT_EQ(member("add", linux_id, u(carol, 1004)), 0);
  ASSERT_EQ(member("edit", linux_id, u(alice, 2001, "/srv/alice")), 0);
  ASSERT_EQ(member("del", linux_id, "u=\"" + locked + "\""), 0);
  EXPECT_EQ(user_file(linux_id),
            (std::vector<std::string>{alice + ":2001:/srv/alice", carol + ":1004:/home/x"}));
  restart();
  ASSERT_EQ(lookup("pamGetPWUID", " profile=\"linux\" uid=\"2001\""), 0);
  EXPECT_EQ(column("pwentry", "h"), std::vector<std::string>{"/srv/alice"});
  EXPECT_EQ(lookup("pamGetPWUID", " profile=\"linux\" uid=\"1001\""), 0x108);
}

TEST_F(NssProfilesOverHttpsTest, RemovedAccountsAndProfilesLeaveNoTrace) {
  const std::string alice = add_user("alice");
  const std::string bob = add_user("bob");
  ASSERT_EQ(post("groupInsert", "", "<g name=\"dev\"/>"), 0);
  const std::string dev = inserted_id();
  const std::string a = add_profile("a");
  const std::string b = add_profile("b");
  ASSERT_EQ(post("nssProfileEdit", "", "<nssp id=\"" + a + "\"><i id=\"" + b + "\"/></nssp>"), 0);
  ASSERT_EQ(member("add", a, u(alice, 1001)), 0);
  ASSERT_EQ(member("add", a, u(bob, 1002)), 0);
  ASSERT_EQ(member("add", b, u(alice, 3001)), 0);
  ASSERT_EQ(post("nssProfileGroup", " cmd=\"add\" idup=\"" + b + "\"",
                 "<g g=\"" + dev + "\" gid=\"500\"/>"),
            0);

  ASSERT_EQ(post("userRemove", "", "<u id=\"" + alice + "\"/>"), 0);
  EXPECT_EQ(user_file(a), std::vector<std::string>{bob + ":1002:/home/x"});
  EXPECT_FALSE(exists("unixprofilee_users_" + b));
  ASSERT_EQ(post("groupRemove", "", "<g id=\"" + dev + "\"/>"), 0);
  EXPECT_FALSE(exists("unixprofilee_groups_" + b));
  ASSERT_EQ(lookup("pamGetGREntries", " profile=\"a\""), 0);
  EXPECT_EQ(column("grentries", "n"), std::vector<std::string>{"bob"});

  // Removing b takes it out of a's inclusions and deletes its files.
  ASSERT_EQ(post("nssProfileRemove", "", "<nssp id=\"" + b + "\"/>"), 0);
  EXPECT_FALSE(exists("unixprofile_memberof_" + a));
  EXPECT_EQ(lookup("pamGetPWEntries", " profile=\"b\""), 0x105);

  restart();
  ASSERT_EQ(lookup("pamGetPWEntries", " profile=\"a\""), 0);
  EXPECT_EQ(column("pwentries", "n"), std::vector<std::string>{"bob"});
  ASSERT_EQ(post("nssProfileSearch", "", "<s/>"), 0);
  EXPECT_EQ(column("nssprofiles", "name"), std::vector<std::string>{"a"});
  const kt::xmldoc_node* list = answer("nssprofiles");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->first_child()->get("i"), nullptr);
}

}  // namespace
}  // namespace orvane_test
