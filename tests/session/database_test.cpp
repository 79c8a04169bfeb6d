#include "support/session_fixture.h"

#include <torqa/session.h>

#include <gtest/gtest.h>

#include <string>

using namespace torqa::test;

namespace {

TEST(database, startup_and_closing_exchanges) {
  session s;
  for (const bool use_cache : {false, true}) {
    for (const bool uni : {false, true}) {
      SCOPED_TRACE(std::string("cache ") + (use_cache ? "on" : "off") + ", uni " + (uni ? "on" : "off"));
      s.end();
      s.start(use_cache, startup_reply(true, uni, "SRV") + "more");  // the rest is skipped
      EXPECT_EQ(s.sent(), "B0 13 01 " + hex("2.080000000000000") + (use_cache ? " 03 04 01" : " 03 04 00") +
                              " 03 04 00 03 04 00");
      EXPECT_TRUE(s.db->get_in().at_end());
      EXPECT_TRUE(s.db->is_uni_srv() == uni && s.db->get_out().is_uni_srv() == uni);
      const db_name& srv = s.db->get_srv_name();
      EXPECT_EQ(std::u16string(srv.c_str(), srv.c_str() + srv.length()), u"SRV");
      s.end();
      // With a cache, its flush (three empty groups) comes first.
      EXPECT_EQ(s.sent(), use_cache ? "B1 03 04 00 03 04 00 03 04 00 03 04 01 03 04 01" : "B1 03 04 00 03 04 01");
      EXPECT_EQ(s.drv.count("DrvCloseChannel"), s.drv.count("DrvOpenChannel"));
      EXPECT_FALSE(s.conn->is_busy());
    }
  }
  EXPECT_EQ(s.drv.count("DrvOpenChannel"), 5);  // one per session
}

TEST(database, one_session_per_connection_and_a_failed_start_frees_it) {
  session s;
  EXPECT_EQ(thrown([&] { Database second(s.conn, false); }), "-1000 Connection is busy");
  EXPECT_TRUE(s.conn->is_busy());
  s.drv.reply(common_reply());
  s.db->start_transaction();  // the first session still works
  EXPECT_EQ(s.sent(), "BB 03 04 01");
  s.end();

  try {
    s.start(false, startup_reply(false));
    ADD_FAILURE() << "the session started";
  } catch (const char* text) {
    EXPECT_STREQ(text, "the server does not support the client");
  }
  EXPECT_FALSE(s.conn->is_busy());
  EXPECT_EQ(s.drv.count("DrvCloseChannel"), 2);
  // The start-up reply never comes: a transport error, and the same teardown.
  EXPECT_EQ(thrown([&] { Database db(s.conn, true); }), "-1 assertion failed in t_itcpbuf::reset()");
  EXPECT_FALSE(s.conn->is_busy());
  EXPECT_EQ(s.drv.count("DrvCloseChannel"), 3);
  s.start();
  EXPECT_TRUE(s.conn->is_busy());
}

TEST(database, destructor_prints_closing_errors_and_never_throws) {
  const std::string clear = bytes_elem("") + bytes_elem("");
  const std::string underflow = "Error: code = -1, msg = assertion failed in t_itcpbuf::underflow()\n";
  const struct {
    std::string reply;
    const char* failing;  // a driver entry point failing once
    std::string printed;
  } cases[] = {
      {bytes_elem(err_record(-3, "x")) + bytes_elem(err_record(-4, "y")), "",
       "Error: code = -3, msg = x\nError: code = -4, msg = y\n"},
      {bytes_elem("") + bytes_elem(err_record(-4, "y")), "", "Error: code = -4, msg = y\n"},
      {clear, "", ""},
      {bytes_elem(err_record(-3, "x")), "", "Error: code = -3, msg = x\n" + underflow},  // the reply ends early
      {clear, "DrvNextChunk", "Error: code = -1, msg = assertion failed in t_itcpbuf::reset()\n"},
      {clear, "DrvReadChunk", underflow},
  };
  session s;
  s.end();
  for (const auto& c : cases) {
    s.start(true);
    s.drv.reply(c.reply);
    if (*c.failing != '\0') s.drv.fail(c.failing, -5, 0, 1);
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(s.db.reset());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed);
    EXPECT_FALSE(s.conn->is_busy());
    EXPECT_EQ(s.drv.count("DrvCloseChannel"), s.drv.count("DrvOpenChannel"));
  }
}

TEST(database, transactions_throw_reply_head_errors_as_their_classes) {
  session s;
  Database& db = *s.db;
  s.drv.reply(common_reply("", err_record(-9, "server text", elems([](t_ostream& o) { o << 5803; }))));
  EXPECT_EQ(thrown([&] { db.commit(); }), "-9 couldn't aquire exclusive lock (open 5803)");
  EXPECT_EQ(s.sent(), "BB 03 04 02");
  s.drv.reply(common_reply("", err_record(-7, "not closed", elems([](t_ostream& o) { o << 3 << -4; }))));
  EXPECT_EQ(thrown([&] { db.rollback(); }), "-7 not closed (close 3 -4)");
  EXPECT_EQ(s.sent(), "BB 03 04 03");

  // The second error field holds its own record (one string element).
  s.drv.reply(common_reply("", "", bytes_elem(err_record(-12, "later"))));
  EXPECT_EQ(thrown([&] { db.start_transaction(); }), "-12 later");
  s.drv.reply(common_reply("", "", bytes_elem(err_record(0, ""))));
  EXPECT_EQ(thrown([&] { db.start_transaction(); }), "nothing thrown");
  EXPECT_EQ(db.get_err().code, 0);

  // A 16-bit result element.
  s.drv.reply(elems([](t_ostream& o) { o.put_str(1, "a\0", 2); }) + bytes_elem("") + bytes_elem("") + bytes_elem(""));
  EXPECT_EQ(thrown([&] { db.commit(); }), "-1 assertion failed in Database::get_common()");

  // The session still works after each of them.
  s.drv.reply(common_reply("", "", "", "server says hi"));
  db.commit();
  std::string said;
  std::getline(db.get_output().get_istream(), said);
  EXPECT_EQ(said, "server says hi");
}

}  // namespace
