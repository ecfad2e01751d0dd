#include "support/server_fixture.h"

#include <stdlib.h>

#include <filesystem>
#include <mutex>

#include "config.h"
#include "errors.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "processor.h"
#include "sutils/openssl_ca.h"

namespace orvane_test {

namespace fs = std::filesystem;

void install_test_ca(const std::string& root) {
  static temp_dir* shared = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    shared = new temp_dir();  // lives for the whole test program
    auto ca = kt::openssl_ca_create(shared->path() + "/ca", 2048);
    ASSERT_TRUE(ca != nullptr);
  });
  fs::create_directories(root + "/current");
  fs::copy(shared->path() + "/ca", root + "/current/ca",
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

void server_fixture::SetUp() {
  ASSERT_FALSE(root_.path().empty());
  setenv("ORVANE_ROOT", root_.path().c_str(), 1);
  setenv("ORVANE_MACHINE_ID_FILE", (root_.path() + "/this").c_str(), 1);
  ASSERT_EQ(orvane::config_load(nullptr), 0);
  install_test_ca(root_.path());
  start();
}

void server_fixture::TearDown() {
  stop();
  unsetenv("ORVANE_ROOT");
  unsetenv("ORVANE_MACHINE_ID_FILE");
  orvane::config_load(nullptr);
}

void server_fixture::start() {
  std::string error;
  ASSERT_EQ(orvane::globals::open(&g_, &error, 2048), 0) << error;
}

void server_fixture::stop() {
  last_.reset();
  g_.reset();
}

void server_fixture::restart() {
  stop();
  start();
}

uint32_t server_fixture::run(const std::string& document) {
  last_ = std::make_unique<orvane::client>(*g_);
  orvane::client& c = *last_;
  c.peer_text = peer;
  EXPECT_EQ(kt::ipv4_parse_addr(std::string_view(peer), c.peer), 0);
  c.cert_domain_id = cert_domain_id;
  c.cert_netclient_id = cert_netclient_id;
  c.response = kt::xmldoc::create_def("orvane");
  if (c.request.parse(document) != 0 || c.request.root() == nullptr) {
    ADD_FAILURE() << "request does not parse: " << document;
    return orvane::E_INVALID_REQUEST;
  }
  orvane::client_process(c);
  const kt::xmldoc_node* res = nullptr;
  for (const auto& child : c.response.root()->children()) {
    if (child->name() == "res") res = child.get();
  }
  if (res == nullptr) return 0xFFFFFFFF;
  return static_cast<uint32_t>(std::stoul(std::string(res->attr_get_value("code"))));
}

const kt::xmldoc_node* server_fixture::response_root() const {
  return last_ ? last_->response.root() : nullptr;
}

const kt::xmldoc_node* server_fixture::answer(const char* name) const {
  const kt::xmldoc_node* root = response_root();
  return root != nullptr ? root->get(name) : nullptr;
}

std::string server_fixture::response_text() const {
  if (!last_) return {};
  kt::buffer out;
  last_->response.save(last_->response.root(), out);
  return out.data();
}

std::string server_fixture::message() const {
  const kt::xmldoc_node* res = answer("res");
  return res != nullptr ? std::string(res->attr_get_value("msg")) : std::string();
}

std::string server_fixture::token(const std::string& user, const std::string& password,
                                  const std::string& domain) {
  const uint32_t code = run("<orvane><getToken domain=\"" + domain + "\"><u>" + user + "</u><p>" +
                            password + "</p></getToken></orvane>");
  EXPECT_EQ(code, 0u) << response_text();
  const kt::xmldoc_node* t = answer("token");
  if (t == nullptr) {
    ADD_FAILURE() << "no token for " << user << ": " << response_text();
    return {};
  }
  return t->value();
}

uint64_t server_fixture::add_user(const std::string& name, const std::string& password,
                                  const std::string& extra) {
  const std::string t = admin_token();
  const uint32_t code =
      run("<orvane><userInsert domain=\"ORVANE\" token=\"" + t + "\"><u uname=\"" + name + "\"" +
          extra + "><p>" + password + "</p></u></userInsert></orvane>");
  EXPECT_EQ(code, 0u) << response_text();
  const kt::xmldoc_node* id = answer("insertedId");
  return id != nullptr ? std::stoull(id->value()) : 0;
}

kt::ref_ptr<orvane::domain> server_fixture::domain_named(const std::string& name) {
  return g_->domains_by_name.get_rw(name);
}

}  // namespace orvane_test
