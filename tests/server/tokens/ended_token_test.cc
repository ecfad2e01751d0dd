// A token that a command holding the domain ends (userRemove, domainRemove, backupRestore)
// while another request that already resolved it waits for the domain lock: that request must
// not act with it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "client.h"
#include "errors.h"
#include "objects/attributes/attribute.h"
#include "objects/domains/domain.h"
#include "objects/tokens/token.h"
#include "objects/tokens/tokens.h"
#include "objects/users/user.h"
#include "processor.h"
#include "support/server_fixture.h"

namespace orvane_test {
namespace {

class EndedTokenTest : public server_fixture {
 protected:
  // Runs the request on its own thread while this thread holds the domain's lock for writing;
  // once the request holds its token, end_token() runs (as a command holding the domain would),
  // then the lock is released. Returns the request's code.
  template <class End>
  uint32_t run_while_domain_held(const std::string& request, const std::string& key,
                                 End end_token) {
    kt::ref_ptr<orvane::token> t = g().tokens.get_rw(key);
    EXPECT_TRUE(t);
    if (!t) return 0;
    kt::ref_ptr<orvane::domain> d = domain_named("ORVANE");
    std::unique_lock held(d->lock);
    uint32_t code = 0xFFFFFFFF;
    std::thread waiting([&] {
      orvane::client c(g());
      c.peer_text = "127.0.0.1";
      EXPECT_EQ(kt::ipv4_parse_addr(std::string_view("127.0.0.1"), c.peer), 0);
      c.response = kt::xmldoc::create_def("orvane");
      ASSERT_EQ(c.request.parse(request), 0);
      orvane::client_process(c);
      for (const auto& child : c.response.root()->children()) {
        if (child->name() == "res") code = std::stoul(std::string(child->attr_get_value("code")));
      }
    });
    // The table, this function and the waiting request hold the token.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (t->ref_count() < 3 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(t->ref_count(), 3u);
    end_token(*t);
    held.unlock();
    waiting.join();
    return code;
  }
};

TEST_F(EndedTokenTest, ATokenEndedWhileItsRequestWaitsNoLongerActs) {
  const uint64_t id = add_user("leaver", "Passw0rd1");
  const std::string key = token("leaver", "Passw0rd1");
  const std::string target = " targettype=\"3\" target=\"" + std::to_string(id) + "\"";
  const auto end = [&](orvane::token& t) { orvane::token_remove_by_user(g(), *t.usr); };

  // A command that needs the token is refused; none of its change is made.
  EXPECT_EQ(
      run_while_domain_held("<orvane><attrInsert domain=\"ORVANE\" token=\"" + key + "\"" + target +
                                "><a name=\"late\" type=\"4\">x</a></attrInsert>" + "</orvane>",
                            key, end),
      orvane::E_TOKEN_NOT_FOUND);
  kt::ref_ptr<orvane::user> u = domain_named("ORVANE")->users_by_id.get_rw(id);
  ASSERT_TRUE(u);
  EXPECT_FALSE(u->attributes.get_rw("late"));

  // A command for which the token is optional runs without it.
  const std::string again = token("leaver", "Passw0rd1");
  EXPECT_EQ(
      run_while_domain_held(
          "<orvane><isValidToken domain=\"ORVANE\" token=\"" + again + "\"/></orvane>", again, end),
      orvane::E_TOKEN_NOT_FOUND);

  // A token that stays live acts as ever.
  const std::string live = admin_token();
  EXPECT_EQ(run_while_domain_held(
                "<orvane><isValidToken domain=\"ORVANE\" token=\"" + live + "\"/></orvane>", live,
                [](orvane::token&) {}),
            orvane::E_OK);
}

}  // namespace
}  // namespace orvane_test
