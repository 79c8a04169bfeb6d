// The login exchange: the published example exchange, and what a server
// or client must refuse.
#include "server/auth/scram.h"

#include "server/core/namespace.h"
#include "server/auth/users.h"
#include "server/test_util.h"

#include <gtest/gtest.h>

namespace torqa::server::scram {
namespace {

// The example exchange of RFC 7677 (user "user", password "pencil").
constexpr std::string_view client_first = "n,,n=user,r=rOprNGfwEbeRWgbNEkqO";
constexpr std::string_view server_first =
    "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
constexpr std::string_view client_final =
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
constexpr std::string_view server_final = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";

// What the server keeps for that user.
constexpr std::string_view kept_text =
    "SCRAM-SHA-256$4096:W22ZaJ0SNY7soEsUEjb6gQ==$WG5d8oPm3OtcPnkdi4Uo7BkeZkBFzpcXkuLmtbsT4qY=:"
    "wfPLwcE6nTWhTAmQ7tl2KeoiWGPlZqQxSrmfPwDl2dU=";

TEST(scram, the_published_example_exchange_on_both_sides) {
  client c("user", "pencil", "rOprNGfwEbeRWgbNEkqO");
  EXPECT_EQ(c.first(), client_first);
  std::string why;
  EXPECT_EQ(c.final(server_first, why).value_or(why), client_final);
  EXPECT_TRUE(c.verify(server_final));
  EXPECT_FALSE(c.verify("v=AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="));

  const auto kept = decode(kept_text);
  ASSERT_TRUE(kept);
  EXPECT_EQ(encode(derive("pencil", kept->salt, 4096)), kept_text);
  const server s(*kept, client_first, "%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0");
  EXPECT_EQ(s.first(), server_first);
  EXPECT_EQ(s.final(client_final).value_or("refused"), server_final);
}

// A whole exchange of "ann" with `password` against what the server keeps.
std::string login(const secret& on_server, const std::string& password) {
  client c("ann", password);
  const server s(on_server, c.first());
  std::string why;
  const auto answer = c.final(s.first(), why);
  if (!answer) return why;
  const auto done = s.final(*answer);
  return done && c.verify(*done) ? "in" : "refused";
}

TEST(scram, wrong_passwords_replays_and_unknown_users_are_refused_alike) {
  const secret kept = derive("right", "salt-salt-salt", 64);
  EXPECT_EQ(login(kept, "right"), "in");
  EXPECT_EQ(login(kept, "wrong"), "refused");
  // An unknown user gets a salt that stays the same between attempts and
  // the same iteration count, and is refused even with the password.
  const key mock{1, 2, 3};
  const secret ghost = server::unknown_user("bob", mock, 64);
  EXPECT_EQ(ghost.salt, server::unknown_user("bob", mock, 64).salt);
  EXPECT_NE(ghost.salt, server::unknown_user("bea", mock, 64).salt);
  EXPECT_EQ(login(ghost, "right"), "refused");

  // A recorded client-final does not log in against a fresh server nonce.
  client c("ann", "right");
  const server first_login(kept, c.first());
  std::string why;
  const std::string answer = c.final(first_login.first(), why).value();
  EXPECT_TRUE(first_login.final(answer));
  EXPECT_FALSE(server(kept, c.first()).final(answer));
}

TEST(scram, malformed_messages_are_refused) {
  std::string user, nonce;
  EXPECT_TRUE(server::parse_first("n,,n=a=2Cb=3Dc,r=xyz", user, nonce));
  EXPECT_EQ(user + " " + nonce, "a,b=c xyz");
  for (const char* bad : {"", "n,,", "p=tls,,n=a,r=x", "y,,n=a,r=x", "n,,n=a", "n,,r=x,n=a", "n,,n=,r=x",
                          "n,,n=a=2,r=x", "n,,n=a,r=", "n,,n=a,r=x y", "n,,n=a,r=x,e=1"})
    EXPECT_FALSE(server::parse_first(bad, user, nonce)) << bad;

  const server s(derive("pw", "salt", 2), "n,,n=a,r=abc", "def");
  for (const char* bad : {"", "c=biws,r=abcdef", "c=biws,r=abcdeX,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=",
                          "c=eSws,r=abcdef,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=", "c=biws,r=abcdef,p=!!",
                          "c=biws,r=abcdef,p=AAAA"})
    EXPECT_FALSE(s.final(bad)) << bad;

  // A server's challenge that does not extend the client's nonce, or asks
  // for too much work, is refused before any hashing.
  for (const char* bad : {"r=abc,s=c2FsdA==,i=4096", "r=xbcdef,s=c2FsdA==,i=4096", "r=abcdef,s=,i=4096",
                          "r=abcdef,s=c2FsdA==,i=0", "r=abcdef,s=c2FsdA==,i=4000000000", "r=abcdef,i=1,s=c2FsdA==",
                          "garbage"}) {
    client c("a", "pw", "abc");
    std::string why;
    EXPECT_FALSE(c.final(bad, why)) << bad;
    EXPECT_FALSE(why.empty());
  }
  for (const char* bad : {"", "SCRAM-SHA-256$", "SCRAM-SHA-256$0:c2FsdA==$AAAA:AAAA", "MD5$1:c2FsdA==$a:b"})
    EXPECT_FALSE(decode(bad)) << bad;
}

TEST(scram, a_users_keys_follow_its_password) {
  test::temp_dir dir;
  connection admin(dir.path(), {.fasthash = true}, initial_user, initial_password);
  storage& st = admin.store();
  const auto kept = [&] { return decode(st.setting(storage::scram_key("ann")).value_or("")); };
  st.set_user("ann", "first", true);
  ASSERT_TRUE(kept());
  EXPECT_EQ(login(*kept(), "first"), "in");
  st.set_user("ann", "second", true);
  EXPECT_EQ(login(*kept(), "first") + " " + login(*kept(), "second"), "refused in");
  manage_user(admin, "%Torqa.RemoveUser", {"ann"});
  EXPECT_FALSE(kept());
}

}  // namespace
}  // namespace torqa::server::scram
