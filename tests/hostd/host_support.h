// Test support for the client host's side: a real orvaned provisioned as an administrator would
// (a net client and its bundle, a service account with READ on users, groups and NSS profiles,
// users in an NSS profile), and a real orvane-hostd configured for it on temporary paths.
#ifndef ORVANE_TESTS_HOSTD_HOST_SUPPORT_H_
#define ORVANE_TESTS_HOSTD_HOST_SUPPORT_H_

#include <sys/types.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/orvaned.h"
#include "support/process.h"
#include "xmldoc/xmldoc.h"

namespace orvane_test {

// The server side, as the walk-through in docs/hosts.md sets it up.
class provisioned_server {
 public:
  // Starts the server and creates the net client "host1", the service account "svc-host" and
  // the profile "hosts" (alice 2001 and bob 2002, group devs 3000 holding alice). False on
  // failure (*why says what failed).
  bool start(const std::string& bundle_path, std::string* why);

  // One command of the ORVANE domain with the administrator's token; the result code, the
  // answer kept in doc.
  long cmd(const std::string& name, const std::string& inner, const std::string& attrs = "");
  std::string inserted_id() const;
  // Adds a user (password Passw0rd + name) and returns its identifier.
  std::string add_user(const std::string& name, const std::string& memberof = "");
  // Replaces the profile's members: (user id, uid) pairs and the devs group.
  long set_members(const std::vector<std::pair<std::string, int>>& users);

  orvaned_process server;
  std::string admin;
  kt::xmldoc doc;
  std::string profile_id, devs_id, alice_id, bob_id;
};

// orvane-hostd as a child process on a temporary directory.
class hostd_process {
 public:
  explicit hostd_process(const std::string& dir) : dir_(dir) {}
  ~hostd_process() { stop(); }

  // Writes hostd.conf (and the password file) for the server.
  void configure(const orvaned_process& server, const std::string& bundle);
  // Starts the daemon; false when it does not answer on its socket within 20 s.
  bool start();
  // SIGTERM and wait: the exit status (or -1).
  int stop();
  // SIGHUP: reload the configuration.
  void reload() const;
  // Rewrites the configuration with one more line (later lines win).
  void configure_extra(const std::string& line);

  // Asks the daemon's socket; the answer's code (or -1) and its lines in *body.
  int ask(const std::string& request, std::string* body = nullptr) const;
  // getent with the service "orvane" only, through the built module.
  run_result getent(const std::vector<std::string>& args) const;
  std::vector<std::string> env() const;

  std::string conf() const { return dir_ + "/hostd.conf"; }
  std::string socket() const { return dir_ + "/run/hostd.sock"; }
  std::string cache() const { return dir_ + "/lib/hostd.cache"; }
  std::string nss_cache() const { return dir_ + "/lib/nss.cache"; }
  std::string log() const;

 private:
  std::string dir_;
  std::string conf_text_;
  pid_t pid_ = -1;
};

// Waits (at most timeout_ms) until done() holds.
bool wait_until(const std::function<bool()>& done, int timeout_ms);

// A provisioned server and an orvane-hostd that has fetched its profile.
class host_fixture : public ::testing::Test {
 protected:
  void SetUp() override;

  std::string bundle() const { return dir.path() + "/host1.p12"; }
  // The daemon's status says it is in touch with the server.
  bool online() const;
  // getent passwd KEY: the line, or the exit status and error output.
  std::string passwd(const std::string& key) const;
  bool has_passwd(const std::string& key) const;

  temp_dir dir;
  provisioned_server site;
  hostd_process hostd{dir.path()};
};

}  // namespace orvane_test

#endif  // ORVANE_TESTS_HOSTD_HOST_SUPPORT_H_
