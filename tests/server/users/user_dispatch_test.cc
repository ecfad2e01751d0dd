// The user and authentication commands through the real dispatcher and command table.
#include <gtest/gtest.h>

#include <string>

#include "errors.h"
#include "globals.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "objects/users/user.h"
#include "support/server_fixture.h"

namespace orvane {
namespace {

class UserDispatchTest : public orvane_test::server_fixture {};

TEST_F(UserDispatchTest, InsertLoginSearchRelease) {
  const uint64_t id = add_user("dispatch", "Passw0rd", " flags='2'");
  ASSERT_NE(id, 0u);
  const std::string t = token("dispatch", "Passw0rd");
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(run("<orvane><getTokenInfo domain='ORVANE' token='" + t + "'/></orvane>"), 0u);
  const kt::xmldoc_node* info = answer("token");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->get("user")->attr_get_value("id"), std::to_string(id));

  const std::string a = admin_token();
  EXPECT_EQ(run("<orvane><userSearch domain='ORVANE' token='" + a +
                "'><s>^dispatch$</s></userSearch></orvane>"),
            0u);
  ASSERT_NE(answer("users"), nullptr);
  EXPECT_EQ(answer("users")->child_count(), 1u);
  EXPECT_EQ(message(), "no error.");

  // releaseToken naming an unknown domain is refused; naming none, it ends the token in the
  // token's own domain.
  EXPECT_EQ(run("<orvane><releaseToken domain='NOPE' token='" + t + "'/></orvane>"), 0x102u);
  EXPECT_EQ(run("<orvane><releaseToken token='" + t + "'/></orvane>"), 0u);
  EXPECT_EQ(run("<orvane><isValidToken domain='ORVANE' token='" + t + "'/></orvane>"), 0x101u);
}

TEST_F(UserDispatchTest, GetIdentityAppendsTokenAndIdentity) {
  add_user("ident");
  EXPECT_EQ(run("<orvane><getIdentity domain='ORVANE'><u>ident</u><p>Passw0rd</p></getIdentity>"
                "</orvane>"),
            0u);
  ASSERT_NE(answer("token"), nullptr);
  ASSERT_NE(answer("identity"), nullptr);
  const std::string blob = answer("identity")->value();
  EXPECT_EQ(run("<orvane><authenticate domain='ORVANE'><identity>" + blob +
                "</identity></authenticate></orvane>"),
            0u);
  // Negative results of the identity check reach the client as unknown codes.
  EXPECT_EQ(run("<orvane><authenticate domain='ORVANE'><identity>#</identity></authenticate>"
                "</orvane>"),
            0xFFFFFFFFu);
  EXPECT_EQ(message(), "unknown error code:ffffffff");
}

TEST_F(UserDispatchTest, ChangedUsersSurviveRestart) {
  const uint64_t id = add_user("persist", "Passw0rd", " flags='4'");
  EXPECT_EQ(run("<orvane><userChangePwd domain='ORVANE'><u uname='persist'><p>Newpass1</p>"
                "<o>Passw0rd</o></u></userChangePwd></orvane>"),
            0u);
  restart();
  kt::ref_ptr<domain> d = domain_named("ORVANE");
  ASSERT_TRUE(d);
  kt::ref_ptr<user> u = d->users_by_id.get_rw(id);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->flags, 0u);
  EXPECT_FALSE(token("persist", "Newpass1").empty());
}

}  // namespace
}  // namespace orvane
