#include "processor.h"

#include <gtest/gtest.h>
#include <time.h>

#include "client.h"
#include "errors.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/netclients/netclient.h"
#include "objects/tokens/token.h"

namespace orvane {
namespace {

class ProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = add_domain(1, "ORVANE");
    other_ = add_domain(42, "Other");
    digits_ = add_domain(7, "7up");
    set_peer("127.0.0.1");
  }

  kt::ref_ptr<domain> add_domain(uint64_t id, const std::string& name) {
    auto d = kt::make_ref<domain>();
    d->id = id;
    d->set_name(name);
    d->g = &g_;
    d->expire_token_sec = 1800;
    g_.domains_by_name.insert_rw(name, d);
    g_.domains_by_id.insert_rw(id, d);
    return d;
  }

  kt::ref_ptr<token> add_token(const std::string& key, const kt::ref_ptr<domain>& d) {
    auto t = kt::make_ref<token>();
    t->key = key;
    t->dom = d;
    t->expire = 5;
    g_.tokens.insert_rw(key, t);
    return t;
  }

  void set_peer(const char* address) {
    c_.peer_text = address;
    ASSERT_EQ(kt::ipv4_parse_addr(std::string_view(address), c_.peer), 0);
  }

  // Runs a request document; returns the response text after the declaration.
  std::string run(const std::string& request) {
    c_.request = kt::xmldoc();
    c_.response = kt::xmldoc::create_def("orvane");
    EXPECT_EQ(c_.request.parse(request), 0) << request;
    client_process(c_);
    kt::buffer out;
    c_.response.save(c_.response.root(), out);
    return out.data();
  }

  static std::string res(uint32_t code) {
    return "<res code=\"" + std::to_string(code) + "\" msg=\"" + error2str(code) + "\"></res>";
  }

  globals g_;
  client c_{g_};
  kt::ref_ptr<domain> root_, other_, digits_;
};

TEST_F(ProcessorTest, IsValidTokenWithKnownAndUnknownToken) {
  add_token("T1", root_);
  EXPECT_NE(run("<orvane><isValidToken token='T1' domain='ORVANE'/></orvane>").find(res(0)),
            std::string::npos);
  EXPECT_NE(run("<orvane><isValidToken token='nope' domain='ORVANE'/></orvane>")
                .find("<res code=\"257\" msg=\"token not found.\">"),
            std::string::npos);
}

TEST_F(ProcessorTest, ResponseEndsWithOneResElement) {
  const std::string out = run("<orvane><isValidToken domain='ORVANE'/></orvane>");
  EXPECT_EQ(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<orvane>" + res(0x101) + "</orvane>");
}

TEST_F(ProcessorTest, WrongRootOrNoCommandsIsInvalidRequest) {
  add_token("T1", root_);
  EXPECT_NE(run("<other><isValidToken token='T1' domain='ORVANE'/></other>").find(res(0x10)),
            std::string::npos);
  EXPECT_NE(run("<orvane></orvane>").find(res(0x10)), std::string::npos);
  EXPECT_NE(run("<orvane/>").find(res(0x10)), std::string::npos);
}

TEST_F(ProcessorTest, DomainResolvesByIdentifierDigitsOrName) {
  add_token("T42", other_);
  add_token("T7", digits_);
  for (const char* domain : {"42", "42abc", "Other"}) {
    EXPECT_NE(
        run(std::string("<orvane><isValidToken token='T42' domain='") + domain + "'/></orvane>")
            .find(res(0)),
        std::string::npos)
        << domain;
  }
  // A name that begins with a digit is read as an identifier.
  EXPECT_NE(run("<orvane><isValidToken token='T7' domain='7up'/></orvane>").find(res(0)),
            std::string::npos);
  EXPECT_NE(run("<orvane><isValidToken token='T7' domain='70'/></orvane>").find(res(0x103)),
            std::string::npos);
  EXPECT_NE(run("<orvane><isValidToken token='T7' domain='nosuch'/></orvane>").find(res(0x103)),
            std::string::npos);
}

TEST_F(ProcessorTest, TokenAsChildElementAndAttributeWins) {
  add_token("T1", root_);
  EXPECT_NE(run("<orvane><isValidToken domain='ORVANE'><token>T1</token></isValidToken></orvane>")
                .find(res(0)),
            std::string::npos);
  EXPECT_NE(run("<orvane><isValidToken domain='ORVANE' token='bad'><token>T1</token>"
                "</isValidToken></orvane>")
                .find(res(0x101)),
            std::string::npos);
}

TEST_F(ProcessorTest, ReleaseTokenWithoutDomainActsInTheTokensDomain) {
  add_token("T1", root_);
  EXPECT_NE(run("<orvane><releaseToken domain='NOPE' token='T1'/></orvane>").find(res(0x102)),
            std::string::npos);
  EXPECT_NE(run("<orvane><releaseToken token='T1'/></orvane>").find(res(0)), std::string::npos);
  EXPECT_NE(run("<orvane><isValidToken domain='ORVANE' token='T1'/></orvane>").find(res(0x101)),
            std::string::npos);
}

TEST_F(ProcessorTest, LastMatchingCommandDecidesTheCode) {
  add_token("T1", root_);
  const std::string two =
      run("<orvane><isValidToken token='T1' domain='ORVANE'/>"
          "<isValidToken token='x' domain='ORVANE'/></orvane>");
  EXPECT_NE(two.find(res(0x101)), std::string::npos);
  EXPECT_EQ(two.find(res(0)), std::string::npos);
  // An unknown last element leaves the previous command's code.
  EXPECT_NE(run("<orvane><isValidToken token='T1' domain='ORVANE'/><bogus/></orvane>").find(res(0)),
            std::string::npos);
  EXPECT_NE(run("<orvane><bogus/></orvane>").find(res(0x10)), std::string::npos);
}

TEST_F(ProcessorTest, TokenActsOnlyInItsOwnDomain) {
  auto t = add_token("T1", root_);
  EXPECT_NE(run("<orvane><isValidToken token='T1' domain='Other'/></orvane>").find(res(0x101)),
            std::string::npos);
  EXPECT_EQ(t->expire.load(), 5u);  // not refreshed
}

TEST_F(ProcessorTest, ExpiryIsRefreshedFromTheDomainLifetime) {
  root_->expire_token_sec = 600;
  auto t = add_token("T1", root_);
  const uint32_t before = static_cast<uint32_t>(time(nullptr));
  run("<orvane><isValidToken token='T1' domain='ORVANE'/></orvane>");
  const uint32_t after = static_cast<uint32_t>(time(nullptr));
  EXPECT_GE(t->expire.load(), before + 600);
  EXPECT_LE(t->expire.load(), after + 600);
}

TEST_F(ProcessorTest, NetClientOnlyClassRefusesOtherAddresses) {
  add_token("T1", root_);
  root_->nc_only = API_AUTHENTICATION;
  const std::string doc = "<orvane><isValidToken token='T1' domain='ORVANE'/></orvane>";
  EXPECT_NE(run(doc).find(res(0)), std::string::npos);  // 127.0.0.1
  set_peer("10.0.0.5");
  EXPECT_NE(run(doc).find(res(0x102)), std::string::npos);
  // Other classes stay open.
  root_->nc_only = API_MANAGEMENT | API_NSS_PROFILES;
  EXPECT_NE(run(doc).find(res(0)), std::string::npos);
}

TEST_F(ProcessorTest, CertificateIdentityBindsDomainAndNetClient) {
  add_token("T1", root_);
  const std::string doc = "<orvane><isValidToken token='T1' domain='ORVANE'/></orvane>";
  c_.cert_domain_id = 5;
  EXPECT_NE(run(doc).find(res(0x102)), std::string::npos);

  c_.cert_domain_id = root_->id;
  c_.cert_netclient_id = 99;  // not a net client of the domain
  EXPECT_NE(run(doc).find(res(0x102)), std::string::npos);

  auto nc = kt::make_ref<netclient>();
  nc->id = 99;
  nc->set_addresses({"192.168.1.0/24"}, {});
  root_->netclients_by_id.insert_rw(99, nc);
  set_peer("192.168.2.7");
  EXPECT_NE(run(doc).find(res(0x102)), std::string::npos);
  set_peer("192.168.1.7");
  const uint64_t before = root_->requests.load();
  EXPECT_NE(run(doc).find(res(0)), std::string::npos);
  EXPECT_EQ(nc->requests.load(), 1u);
  EXPECT_EQ(root_->requests.load(), before + 1);
}

TEST_F(ProcessorTest, NetClientWithoutAddressesPassesFromAnywhere) {
  netclient nc;
  caller from;
  ASSERT_EQ(kt::ipv4_parse_addr(std::string_view("203.0.113.9"), from.peer), 0);
  EXPECT_EQ(netclient_verify_ip(nc, from), 0);
  nc.set_addresses({"not-an-address"}, {});
  EXPECT_EQ(netclient_verify_ip(nc, from), 1);
}

TEST(ProcessorTable, HasEveryCommandInOrderWithItsFlags) {
  size_t count = 0;
  for (const processor_function* f = processor_functions; f->name != nullptr; ++f) ++count;
  EXPECT_EQ(count, 56u);
  EXPECT_STREQ(processor_functions[0].name, "domainInsert");
  EXPECT_STREQ(processor_functions[55].name, "clearAuditLog");
  const processor_function* restore = processor_find("backupRestore", 13);
  ASSERT_NE(restore, nullptr);
  EXPECT_EQ(restore->flags, 0xf);
  const processor_function* release = processor_find("releaseToken", 12);
  ASSERT_NE(release, nullptr);
  EXPECT_EQ(release->flags, 0x9);
  EXPECT_EQ(release->api_class, API_AUTHENTICATION);
  EXPECT_EQ(processor_find("isvalidtoken", 12), nullptr);  // case-sensitive
  size_t audited = 0;
  for (const processor_function* f = processor_functions; f->name != nullptr; ++f) {
    if (f->flags & PROCESSOR_AUDIT) ++audited;
  }
  EXPECT_EQ(audited, 33u);
}

TEST(Errors, MessagesAndUnknownCodes) {
  EXPECT_EQ(error2str(0x310), "domain name is not valid.");
  EXPECT_EQ(error2str(0xdeadbeef), "unknown error code:deadbeef");
  EXPECT_EQ(error2str(static_cast<uint32_t>(-6)), "unknown error code:fffffffa");
  char small[8];
  error2str(0x101, small, sizeof small);
  EXPECT_STREQ(small, "token n");
}

}  // namespace
}  // namespace orvane
