// orvanectl against the real server: every command family through create, list, change and
// remove, in table, JSON (parsed back) and failure form; the stored session; token renewal;
// watch; a client certificate; --help on every level.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/orvaned.h"
#include "support/process.h"

namespace orvane_test {
namespace {

class CtlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write(home_.path() + "/admin", "Adm1nSecret\n");
    write(home_.path() + "/pw", "Passw0rd\n");
    srv_.extra_env.push_back("ORVANE_ADMIN_PASSWORD_FILE=" + home_.path() + "/admin");
    ASSERT_TRUE(srv_.start()) << srv_.log();
  }

  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }

  // Runs orvanectl with HOME in the test's folder, the server as an option (unless the
  // command names one) and the CA in the environment (through env, which replaces variables
  // the test program inherited).
  std::vector<std::string> ctl_argv(std::vector<std::string> args) {
    std::vector<std::string> head = {"/usr/bin/env"};
    for (const char* name : {"XDG_CONFIG_HOME", "ORVANE_CONFIG_DIR", "ORVANE_DOMAIN", "ORVANE_USER",
                             "ORVANE_CERT", "ORVANE_SERVER"}) {
      head.insert(head.end(), {"-u", name});
    }
    head.insert(head.end(),
                {"HOME=" + home_.path(), "ORVANE_CA=" + srv_.root() + "/certs/orvane-ca.pem",
                 build_path("orvanectl")});
    if (std::find(args.begin(), args.end(), "--server") == args.end()) {
      args.insert(args.begin(),
                  {"--server", "https://127.0.0.1:" + std::to_string(srv_.https_port)});
    }
    args.insert(args.begin(), head.begin(), head.end());
    return args;
  }
  run_result ctl(const std::vector<std::string>& args) { return run_program(ctl_argv(args)); }
  std::string read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Waits (bounded) until the file holds the text count times.
  bool wait_for(const std::string& path, const std::string& text, int count) {
    for (int i = 0; i < 400; ++i) {
      const std::string content = read(path);
      int seen = 0;
      for (size_t at = content.find(text); at != std::string::npos;
           at = content.find(text, at + 1)) {
        ++seen;
      }
      if (seen >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // Runs it and expects success.
  std::string ok(const std::vector<std::string>& args) {
    const run_result r = ctl(args);
    EXPECT_EQ(r.status, 0) << args[0] << " " << (args.size() > 1 ? args[1] : "") << ": " << r.err
                           << r.out;
    return r.out;
  }
  // The values of one key of a JSON array of objects, read back by Python's JSON parser.
  std::vector<std::string> json_values(const std::string& json, const std::string& key) {
    write(home_.path() + "/out.json", json);
    const run_result r = run_program(
        {"/usr/bin/python3", "-c",
         "import json,sys; d=json.load(open(sys.argv[1])); "
         "d = d if isinstance(d, list) else [d]; print('\\n'.join(o[sys.argv[2]] for o in d))",
         home_.path() + "/out.json", key});
    EXPECT_EQ(r.status, 0) << r.err << json;
    std::vector<std::string> values;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) values.push_back(line);
    return values;
  }
  static bool has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  }
  static bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  temp_dir home_;
  orvaned_process srv_;
};

TEST_F(CtlTest, EveryFamilyCreatesListsChangesAndRemoves) {
  // The first Administrator password came from ORVANE_ADMIN_PASSWORD_FILE.
  run_result r = ctl({"login", "--password-file", home_.path() + "/pw"});
  EXPECT_EQ(r.status, 5) << r.err;  // 0x104: invalid credentials
  EXPECT_TRUE(contains(r.err, "invalid credentials.")) << r.err;
  ok({"login", "--password-file", home_.path() + "/admin"});
  struct stat st {};
  ASSERT_EQ(::stat((home_.path() + "/.config/orvane/session").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((home_.path() + "/.config/orvane").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(contains(ok({"whoami"}), "Administrator"));

  // Groups and users, with membership lists written back whole.
  ok({"group", "add", "staff"});
  ok({"group", "add", "devs", "--member-of", "staff"});
  const std::string pw = home_.path() + "/pw";
  ok({"user", "add", "alice", "--password-file", pw, "--group", "devs", "--must-change"});
  ok({"user", "add", "bob", "--password-file", pw});
  ok({"group", "members", "add", "staff", "bob"});
  const std::string users = ok({"user", "list"});
  EXPECT_TRUE(contains(users, "NAME")) << users;
  EXPECT_TRUE(contains(users, "must-change")) << users;
  const std::string json = ok({"--json", "user", "list"});
  EXPECT_TRUE(has(json_values(json, "name"), "alice")) << json;
  EXPECT_TRUE(has(json_values(json, "groups"), "staff")) << json;
  ok({"user", "edit", "alice", "--rename", "alice2", "--locked"});
  EXPECT_TRUE(
      has(json_values(ok({"--json", "user", "show", "alice2"}), "flags"), "must-change,locked"));
  EXPECT_TRUE(has(json_values(ok({"--json", "group", "show", "staff"}), "users"), "bob"));
  ok({"group", "members", "remove", "staff", "bob"});
  EXPECT_TRUE(
      has(json_values(ok({"--json", "group", "members", "list", "staff"}), "name"), "devs"));
  ok({"group", "edit", "devs", "--rename", "developers", "--no-parents"});
  EXPECT_TRUE(contains(ok({"group", "list"}), "developers"));
  r = ctl({"user", "add", "weak", "--password-file", home_.path() + "/admin", "--flags", "1"});
  EXPECT_EQ(r.status, 9) << r.err;  // 0x509: no system flag for new users
  r = ctl({"user", "show", "nobody"});
  EXPECT_EQ(r.status, 5);
  EXPECT_TRUE(contains(r.err, "user not found.")) << r.err;
  r = ctl({"--json", "user", "rm", "Administrator"});
  EXPECT_EQ(r.status, 6);  // 0x202: removing one's own account
  EXPECT_EQ(json_values(r.out, "code"), std::vector<std::string>{"514"}) << r.out;
  r = ctl({"--xml", "group", "rm", "Administrators"});
  EXPECT_EQ(r.status, 10);  // 0x606: system group
  EXPECT_TRUE(contains(r.out, "<res code=\"1542\"")) << r.out;

  // Resources and permissions: each grant rewrites the resource's whole permission list.
  ok({"resource", "add", "app"});
  ok({"resource", "add", "app-db", "--parent", "app", "--type", "3"});
  ok({"perm", "grant", "app", "--group", "staff", "rw"});
  ok({"perm", "grant", "app", "--user", "bob", "x"});
  std::string perms = ok({"--json", "perm", "list", "app"});
  EXPECT_TRUE(has(json_values(perms, "rights"), "rw-")) << perms;
  EXPECT_TRUE(has(json_values(perms, "member"), "bob")) << perms;
  ok({"perm", "revoke", "app", "--user", "bob"});
  EXPECT_FALSE(has(json_values(ok({"--json", "perm", "list", "app"}), "member"), "bob"));
  EXPECT_TRUE(
      has(json_values(ok({"--json", "perm", "check", "/ORVANE/*"}), "resource"), "OrvaneUsers"));
  ok({"resource", "edit", "app-db", "--rename", "appdb"});
  EXPECT_TRUE(has(json_values(ok({"--json", "resource", "list"}), "parent"), "app"));
  r = ctl({"resource", "edit", "ORVANE", "--rename", "X"});
  EXPECT_EQ(r.status, 8) << r.err;  // 0x404: system resource
  ok({"resource", "rm", "app"});
  EXPECT_FALSE(contains(ok({"resource", "list"}), "appdb"));

  // Attributes, and a domain setting whose value the server checks.
  ok({"attr", "add", "color", "blue", "--on", "user:bob"});
  EXPECT_TRUE(
      has(json_values(ok({"--json", "attr", "list", "--on", "user:bob"}), "value"), "blue"));
  r = ctl({"attr", "set", "expireTokenSec", "30"});
  EXPECT_EQ(r.status, 4) << r.err;  // 0x18: value is not valid
  ok({"attr", "set", "expireTokenSec", "3600"});
  EXPECT_TRUE(has(json_values(ok({"--json", "attr", "get", "/=expireTokenSec"}), "value"), "3600"));
  ok({"attr", "rm", "color", "--on", "user:bob"});

  // Domains.
  ok({"domain", "add", "sub1", "--password-file", pw});
  ok({"domain", "edit", "sub1", "--rename", "sub2"});
  EXPECT_TRUE(has(json_values(ok({"--json", "domain", "show", "sub2"}), "name"), "sub2"));
  EXPECT_TRUE(has(json_values(ok({"--json", "domain", "list"}), "name"), "sub2"));
  r = ctl({"domain", "rm", "ORVANE"});
  EXPECT_EQ(r.status, 7) << r.err;  // 0x301: the root domain

  // Net clients and their certificate: presented with --cert, it binds the connection to its
  // own domain, so the same command in another domain is refused.
  const std::string pfx = home_.path() + "/box.pfx";
  ok({"netclient", "add", "box", "--addr", "127.0.0.0/8", "--pfx", pfx});
  ASSERT_EQ(::stat(pfx.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(has(json_values(ok({"--json", "netclient", "list"}), "addresses"), "127.0.0.0/8"));
  EXPECT_TRUE(contains(ok({"--cert", pfx, "user", "list"}), "bob"));
  EXPECT_TRUE(contains(ok({"--domain", "sub2", "attr", "get", "/"}), "ssoWebPortal"));
  r = ctl({"--cert", pfx, "--domain", "sub2", "attr", "get", "/"});
  EXPECT_EQ(r.status, 5) << r.err;  // 0x102: access violation
  ok({"netclient", "edit", "box", "--rename", "box2"});
  EXPECT_TRUE(has(json_values(ok({"--json", "netclient", "list"}), "addresses"), "127.0.0.0/8"));
  ok({"netclient", "edit", "box2", "--no-addr"});
  EXPECT_FALSE(has(json_values(ok({"--json", "netclient", "list"}), "addresses"), "127.0.0.0/8"));
  r = ctl({"netclient", "rm", "localhost"});
  EXPECT_EQ(r.status, 13) << r.err;  // 0x901: system net client
  ok({"netclient", "rm", "box2"});
  ok({"domain", "rm", "sub2"});
  EXPECT_FALSE(has(json_values(ok({"--json", "domain", "list"}), "name"), "sub2"));

  // NSS profiles.
  ok({"nss", "add", "unix", "--descr", "Unix hosts"});
  ok({"nss", "user", "add", "unix", "bob", "--uid", "1001", "--home", "/home/bob", "--shell",
      "/bin/sh"});
  ok({"nss", "group", "add", "unix", "staff", "--gid", "100"});
  ok({"nss", "edit", "unix", "--descr", "All hosts"});
  const std::string profile = ok({"--json", "nss", "show", "unix"});
  EXPECT_TRUE(has(json_values(profile, "users"), "bob(uid=1001,home=/home/bob,shell=/bin/sh)"))
      << profile;
  EXPECT_TRUE(has(json_values(profile, "description"), "All hosts")) << profile;
  EXPECT_TRUE(has(json_values(ok({"--json", "nss", "list"}), "users"), "1"));
  ok({"nss", "rm", "unix"});

  // Audit log, backups, health, raw.
  const std::string audit =
      ok({"--json", "audit", "list", "--since", "-1h", "--api", "userInsert"});
  EXPECT_TRUE(has(json_values(audit, "user"), "Administrator")) << audit;
  EXPECT_EQ(json_values(audit, "api").size(), 2u) << audit;
  EXPECT_TRUE(contains(ok({"audit", "export", "--since", "-1h"}), "\"groupInsert\""));
  const std::string backup_id =
      json_values(ok({"--json", "backup", "create", "nightly"}), "id").at(0);
  EXPECT_TRUE(has(json_values(ok({"--json", "backup", "list"}), "id"), backup_id));
  // A restore ends the domain's tokens: the next command renews the stored one by itself.
  ok({"backup", "restore", backup_id});
  EXPECT_TRUE(contains(ok({"user", "list"}), "bob"));
  ok({"backup", "rm", backup_id});
  r = ctl({"backup", "rm", backup_id});
  EXPECT_EQ(r.status, 4) << r.err;  // 0x16: object not found
  EXPECT_TRUE(contains(ok({"health"}), "uptime_seconds"));
  write(home_.path() + "/doc.xml", "<orvane><getErrorCodes/></orvane>");
  EXPECT_TRUE(contains(ok({"raw", home_.path() + "/doc.xml"}), "0x00000101"));
  EXPECT_TRUE(contains(ok({"--xml", "user", "list"}), "<users>"));

  // A released token is renewed with the stored identity on the next command.
  write(home_.path() + "/release.xml", "<orvane><releaseToken/></orvane>");
  ok({"raw", home_.path() + "/release.xml"});
  EXPECT_TRUE(contains(ok({"user", "list"}), "bob"));

  // Logout ends the token: commands are then refused for it.
  ok({"logout"});
  r = ctl({"user", "list"});
  EXPECT_EQ(r.status, 5);
  EXPECT_TRUE(contains(r.err, "token not found.")) << r.err;
  r = ctl({"--server", "https://127.0.0.1:1", "health"});
  EXPECT_EQ(r.status, 3);
}

// watch prints each change as it arrives; when its token ends (released here) the server closes
// the channel, and watch renews the token with the stored identity and binds again.
TEST_F(CtlTest, WatchPrintsChangesAndBindsAgainWhenItsTokenEnds) {
  ok({"login", "--password-file", home_.path() + "/admin"});
  const std::string out = home_.path() + "/watch.out";
  const std::string err = home_.path() + "/watch.err";
  std::string command = "exec";
  for (const std::string& a : ctl_argv({"watch", "--count", "2"})) command += " " + a;
  command += " >" + out + " 2>" + err;
  run_result watched;
  std::thread watcher([&] { watched = run_program({"/bin/sh", "-c", command}); });

  ASSERT_TRUE(wait_for(err, "watching ORVANE", 1)) << read(err);
  const std::string first = json_values(ok({"--json", "group", "add", "first"}), "id").at(0);
  write(home_.path() + "/release.xml", "<orvane><releaseToken/></orvane>");
  ok({"raw", home_.path() + "/release.xml"});
  ASSERT_TRUE(wait_for(err, "watching ORVANE", 2)) << read(err);
  const std::string second = json_values(ok({"--json", "group", "add", "second"}), "id").at(0);
  watcher.join();

  EXPECT_EQ(watched.status, 0) << read(err);
  const std::string printed = read(out);
  EXPECT_TRUE(contains(printed, "TYPE")) << printed;
  std::istringstream lines(printed);
  std::vector<std::string> objects;
  for (std::string line; std::getline(lines, line);) {
    if (!contains(line, " group ")) continue;
    EXPECT_TRUE(contains(line, "insert")) << line;
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string x; words >> x;) w.push_back(x);
    objects.push_back(w.at(w.size() - 2));
  }
  EXPECT_EQ(objects, (std::vector<std::string>{first, second})) << printed;
}

TEST_F(CtlTest, HelpOnEveryLevelAndVersions) {
  for (const char* program : {"orvaned", "orvane-dbupdate", "orvanectl"}) {
    run_result r = run_program({build_path(program), "--version"});
    EXPECT_EQ(r.status, 0) << program;
    EXPECT_EQ(r.out, std::string(program) + " 1.0.0\n");
    r = run_program({build_path(program), "--help"});
    EXPECT_EQ(r.status, 0) << program;
    EXPECT_TRUE(contains(r.out, "usage: " + std::string(program))) << r.out;
  }
  const std::string top = ok({"--help"});
  EXPECT_TRUE(contains(top, "Exit status")) << top;
  // Every command listed, and every verb each lists, answers --help.
  std::istringstream commands(
      top.substr(top.find("Commands:"), top.find("Global") - top.find("Commands:")));
  int verbs = 0;
  for (std::string line; std::getline(commands, line);) {
    std::istringstream words(line);
    std::string name;
    if (line.rfind("  ", 0) != 0 || !(words >> name)) continue;
    const std::string family = ok({name, "--help"});
    EXPECT_TRUE(contains(family, "usage: orvanectl " + name)) << family;
    std::istringstream lines(family);
    for (std::string v; std::getline(lines, v);) {
      const std::string prefix = "  orvanectl " + name + " ";
      if (v.rfind(prefix, 0) != 0) continue;
      std::istringstream rest(v.substr(prefix.size()));
      std::vector<std::string> args = {name};
      for (std::string w; rest >> w && w[0] >= 'a' && w[0] <= 'z';) args.push_back(w);
      args.push_back("--help");
      EXPECT_TRUE(contains(ok(args), "usage: orvanectl " + name)) << v;
      ++verbs;
    }
  }
  EXPECT_GT(verbs, 40);
  EXPECT_EQ(ctl({"user", "frobnicate"}).status, 2);
  EXPECT_EQ(ctl({"user", "add"}).status, 2);
  EXPECT_EQ(ctl({"nonsense"}).status, 2);
}

}  // namespace
}  // namespace orvane_test
