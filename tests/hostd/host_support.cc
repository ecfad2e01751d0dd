#include "hostd/host_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostproto/sock_client.h"
#include "utils/base64.h"

extern char** environ;

namespace orvane_test {

namespace {

void write(const std::string& path, const std::string& text, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ::chmod(path.c_str(), mode);
}

}  // namespace

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

long provisioned_server::cmd(const std::string& name, const std::string& inner,
                             const std::string& attrs) {
  const http_answer a = server.post("<orvane><" + name + " domain=\"ORVANE\" token=\"" + admin +
                                    "\"" + attrs + ">" + inner + "</" + name + "></orvane>");
  doc = kt::xmldoc();
  doc.parse(a.body);
  return orvaned_process::code(a);
}

std::string provisioned_server::inserted_id() const {
  const kt::xmldoc_node* id = doc.root() != nullptr ? doc.root()->get("insertedId") : nullptr;
  return id != nullptr ? id->value() : "";
}

std::string provisioned_server::add_user(const std::string& name, const std::string& memberof) {
  std::string inner = "<u uname=\"" + name + "\"><p>Passw0rd" + name + "</p>";
  if (!memberof.empty()) inner += "<memberof><g id=\"" + memberof + "\"/></memberof>";
  if (cmd("userInsert", inner + "</u>") != 0) return "";
  return inserted_id();
}

long provisioned_server::set_members(const std::vector<std::pair<std::string, int>>& users) {
  std::string inner = "<nssp id=\"" + profile_id + "\">";
  for (const auto& [id, uid] : users) {
    inner += "<u id=\"" + id + "\" uid=\"" + std::to_string(uid) +
             "\" shell=\"/bin/bash\" home=\"/home/u" + std::to_string(uid) + "\"/>";
  }
  inner += "<g id=\"" + devs_id + "\" gid=\"3000\"/></nssp>";
  return cmd("nssProfileEdit", inner);
}

bool provisioned_server::start(const std::string& bundle_path, std::string* why) {
  if (!server.start()) {
    *why = "orvaned: " + server.log();
    return false;
  }
  admin = server.token();
  // The net client of the host, and its bundle.
  if (cmd("netClientInsert", "<netc name=\"host1\"><v4>127.0.0.1</v4></netc>") != 0) {
    *why = "netClientInsert";
    return false;
  }
  const std::string nc = inserted_id();
  std::string bundle;
  if (cmd("netClientGetPfx", "<netc id=\"" + nc + "\"/>") != 0 ||
      kt::base64decode_(doc.root()->get("netc")->get("pfx")->value(), bundle) != 0) {
    *why = "netClientGetPfx";
    return false;
  }
  write(bundle_path, bundle, 0600);

  // The service account, in a group that may read users, groups and NSS profiles.
  if (cmd("groupInsert", "<g name=\"hostreaders\"/>") != 0) {
    *why = "groupInsert";
    return false;
  }
  const std::string readers = inserted_id();
  if (add_user("svc-host", readers).empty()) {
    *why = "service account";
    return false;
  }
  for (const char* res : {"OrvaneUsers", "OrvaneGroups", "OrvaneNSSProfiles"}) {
    if (cmd("resourceSearch", std::string("<s>^") + res + "$</s>") != 0) {
      *why = "resourceSearch";
      return false;
    }
    const kt::xmldoc_node* r = doc.root()->get("resources")->get("r");
    std::string inner = "<r id=\"" + std::string(r->attr_get_value("id")) + "\" name=\"" + res +
                        "\" type=\"" + std::string(r->attr_get_value("type")) + "\" parentId=\"" +
                        std::string(r->attr_get_value("parentId")) + "\"><permissions>";
    if (const kt::xmldoc_node* perms = r->get("permissions"); perms != nullptr) {
      for (const auto& p : perms->children()) {
        inner += "<p id=\"" + std::string(p->attr_get_value("id")) + "\" memberType=\"" +
                 std::string(p->attr_get_value("memberType")) + "\" memberId=\"" +
                 std::string(p->attr_get_value("memberId")) + "\" flags=\"" +
                 std::string(p->attr_get_value("flags")) + "\"/>";
      }
    }
    inner +=
        "<p id=\"0\" memberType=\"1\" memberId=\"" + readers + "\" flags=\"1\"/></permissions></r>";
    if (cmd("resourceEdit", inner) != 0) {
      *why = std::string("resourceEdit ") + res;
      return false;
    }
  }

  // The profile.
  if (cmd("groupInsert", "<g name=\"devs\"/>") != 0) {
    *why = "groupInsert devs";
    return false;
  }
  devs_id = inserted_id();
  alice_id = add_user("alice", devs_id);
  bob_id = add_user("bob");
  if (cmd("nssProfileInsert", "<nssp name=\"hosts\" descr=\"the hosts\"/>") != 0) {
    *why = "nssProfileInsert";
    return false;
  }
  profile_id = inserted_id();
  if (set_members({{alice_id, 2001}, {bob_id, 2002}}) != 0) {
    *why = "nssProfileEdit";
    return false;
  }
  return true;
}

void hostd_process::configure(const orvaned_process& server, const std::string& bundle) {
  write(dir_ + "/svc.pass", "Passw0rdsvc-host\n", 0600);
  conf_text_ =
      "# test host\n"
      "server = 127.0.0.1\n"
      "port = " +
      std::to_string(server.https_port) +
      "\n"
      "domain = ORVANE\n"
      "profile = hosts\n"
      "bundle = " +
      bundle + "\nca = " + server.root() +
      "/certs/orvane-ca.pem\n"
      "user = svc-host\n"
      "password_file = " +
      dir_ + "/svc.pass\ntimeout = 5\n";
  write(conf(), conf_text_, 0644);
}

void hostd_process::configure_extra(const std::string& line) {
  write(conf(), conf_text_ + line + "\n", 0644);
}

void hostd_process::reload() const {
  if (pid_ > 0) ::kill(pid_, SIGHUP);
}

std::vector<std::string> hostd_process::env() const {
  return {"LD_LIBRARY_PATH=" + build_path(""), "ORVANE_NSS_CACHE=" + nss_cache(),
          "ORVANE_HOSTD_SOCKET=" + socket(), "ORVANE_HOSTD_CACHE=" + cache()};
}

bool hostd_process::start() {
  // The daemon's paths are ours, whatever the test program's environment says.
  std::vector<std::string> env_strings = env();
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "ORVANE_HOSTD_", 13) != 0 && std::strncmp(*e, "ORVANE_NSS_", 11) != 0) {
      env_strings.emplace_back(*e);
    }
  }
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = build_path("orvane-hostd");
  std::string flag = "--no-syslog";
  std::string option = "-c";
  std::string path = conf();
  char* argv[] = {program.data(), flag.data(), option.data(), path.data(), nullptr};
  const std::string log_path = dir_ + "/hostd.log";
  pid_ = ::fork();
  if (pid_ == 0) {
    const int fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::execve(argv[0], argv, envp.data());
    ::_exit(127);
  }
  return wait_until([this] { return ask("status") == 0; }, 20000);
}

int hostd_process::stop() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int hostd_process::ask(const std::string& request, std::string* body) const {
  orvane_host::hostd_answer a;
  if (orvane_host::hostd_ask(socket().c_str(), request.data(), request.size(), &a, 30000) != 0) {
    return -1;
  }
  if (body != nullptr) *body = a.body;
  return a.code;
}

run_result hostd_process::getent(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"/usr/bin/getent", "-s", "orvane"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, env());
}

void host_fixture::SetUp() {
  std::string why;
  ASSERT_TRUE(site.start(bundle(), &why)) << why;
  hostd.configure(site.server, bundle());
  ASSERT_TRUE(hostd.start()) << hostd.log();
  ASSERT_TRUE(wait_until([this] { return online(); }, 20000)) << hostd.log();
}

bool host_fixture::online() const {
  std::string body;
  return hostd.ask("status", &body) == 0 && body.find("online=1") != std::string::npos;
}

std::string host_fixture::passwd(const std::string& key) const {
  const run_result r = hostd.getent({"passwd", key});
  return r.status == 0 ? r.out : "exit " + std::to_string(r.status) + ": " + r.err;
}

bool host_fixture::has_passwd(const std::string& key) const {
  return hostd.getent({"passwd", key}).status == 0;
}

std::string hostd_process::log() const {
  std::ifstream in(dir_ + "/hostd.log");
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace orvane_test
