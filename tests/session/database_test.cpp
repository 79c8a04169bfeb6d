#include "support/scripted_driver.h"

#include <torqa/session.h>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>

using namespace std::string_literals;
using torqa::test::bytes_elem;
using torqa::test::common_reply;
using torqa::test::elems;
using torqa::test::err_record;
using torqa::test::hex;
using torqa::test::scripted_driver;
using torqa::test::startup_reply;

namespace {

const std::string empty_cache_section = "\x03\x04\x00"s;  // no objects
const std::string two_clear_records = bytes_elem("") + bytes_elem("");

std::u16string text_of(const db_name& n) {
  return std::u16string(n.c_str(), n.c_str() + n.length());
}

// Captures what is written to std::cerr while it lives.
class cerr_capture {
 public:
  cerr_capture() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
  ~cerr_capture() { std::cerr.rdbuf(old_); }
  std::string text() const { return text_.str(); }

 private:
  std::ostringstream text_;
  std::streambuf* old_;
};

// A proxy that can be closed on demand.
struct test_proxy : Obj_t {
  test_proxy(Database* db, int oid) { init_openref(db, oid); }
  void shut() { close(); }
};

class session : public ::testing::Test {
 protected:
  std::unique_ptr<Database> start(bool use_cache = false, const std::string& startup = startup_reply()) {
    drv.reply(startup);
    return std::make_unique<Database>(conn, use_cache);
  }
  // Ends a session whose closing exchange the server answers without error.
  void end(std::unique_ptr<Database>& db) {
    drv.reply(two_clear_records);
    db.reset();
  }
  const torqa::test::request& last() const { return drv.requests.back(); }

  // The Db_err that `f` throws, as caught by a Db_err handler.
  template <class F>
  static Db_err thrown(F f) {
    try {
      f();
    } catch (const Db_err& e) {
      return e;
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
  }

  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:test", "u", "p", nullptr);
};

TEST_F(session, startup_and_closing_exchanges) {
  const std::string version = "\x13\x01" "2.080000000000000"s;
  for (bool use_cache : {false, true}) {
    for (bool uni : {false, true}) {
      SCOPED_TRACE(std::string("cache ") + (use_cache ? "on" : "off") + ", uni " + (uni ? "on" : "off"));
      drv.requests.clear();
      const int opened = drv.count("DrvOpenChannel");
      auto db = start(use_cache, startup_reply(true, uni, "SRV"));
      EXPECT_TRUE(conn->is_busy());
      EXPECT_EQ(drv.count("DrvOpenChannel"), opened + 1);
      ASSERT_EQ(drv.requests.size(), 1u);
      EXPECT_EQ(last().code, "B0");
      EXPECT_EQ(last().reserved, std::string(14, ' '));
      EXPECT_EQ(hex(last().payload), hex(version + (use_cache ? "\x03\x04\x01"s : "\x03\x04\x00"s) +
                                         "\x03\x04\x00\x03\x04\x00"s));
      EXPECT_EQ(last().announced, last().payload.size());
      EXPECT_EQ(db->is_uni_srv(), uni);
      EXPECT_EQ(db->get_out().is_uni_srv(), uni);
      EXPECT_EQ(text_of(db->get_srv_name()), u"SRV");
      EXPECT_EQ(db->get_cache() != nullptr, use_cache);
      EXPECT_EQ(db->get_hdbc(), dynamic_cast<tcp_conn&>(*conn).get_hdbc());
      EXPECT_EQ(db->get_hstmt(), dynamic_cast<tcp_conn&>(*conn).get_hstmt());

      end(db);
      EXPECT_EQ(last().code, "B1");
      // With a cache, its flush (three empty groups) comes first.
      EXPECT_EQ(hex(last().payload), use_cache ? "03 04 00 03 04 00 03 04 00 03 04 01 03 04 01" : "03 04 00 03 04 01");
      EXPECT_EQ(drv.count("DrvCloseChannel"), drv.count("DrvOpenChannel"));
      EXPECT_FALSE(conn->is_busy());
    }
  }
}

TEST_F(session, startup_reply_reads_the_same_whatever_its_chunking) {
  const std::string reply = startup_reply(true, true, "Name") + "trailing bytes the session skips";
  for (std::size_t at = 1; at < reply.size(); ++at) {
    SCOPED_TRACE(at);
    drv.reply(reply, {at});
    auto db = std::make_unique<Database>(conn, false);
    EXPECT_TRUE(db->is_uni_srv());
    EXPECT_EQ(text_of(db->get_srv_name()), u"Name");
    EXPECT_TRUE(db->get_in().at_end());
    end(db);
  }
}

TEST_F(session, a_refused_startup_throws_the_text_and_frees_the_connection) {
  try {
    start(false, startup_reply(false));
    ADD_FAILURE() << "the session started";
  } catch (const char* text) {
    EXPECT_STREQ(text, "the server does not support the client");
  }
  EXPECT_FALSE(conn->is_busy());
  EXPECT_EQ(drv.count("DrvCloseChannel"), 1);

  // The start-up reply never comes: a transport error, and the same teardown.
  EXPECT_EQ(thrown([&] { Database db(conn, true); }).msg, "assertion failed in t_itcpbuf::reset()");
  EXPECT_FALSE(conn->is_busy());
  EXPECT_EQ(drv.count("DrvCloseChannel"), 2);

  auto db = start();
  EXPECT_TRUE(conn->is_busy());
  end(db);
}

TEST_F(session, one_session_per_connection) {
  auto first = start();
  const Db_err busy = thrown([&] { Database second(conn, false); });
  EXPECT_EQ(busy.code, -1000);
  EXPECT_EQ(busy.msg, "Connection is busy");
  EXPECT_TRUE(conn->is_busy());  // still the first session's

  drv.reply(common_reply());
  first->start_transaction();
  EXPECT_EQ(last().code, "BB");

  end(first);
  auto third = start();
  end(third);
}

TEST_F(session, destructor_prints_closing_errors_and_never_throws) {
  struct {
    std::string reply;
    std::vector<std::size_t> chunks;
    const char* printed;
  } cases[] = {
      {bytes_elem(err_record(-3, "x")) + bytes_elem(err_record(-4, "y")), {3, 5},
       "Error: code = -3, msg = x\nError: code = -4, msg = y\n"},
      {bytes_elem("") + bytes_elem(err_record(-4, "y")), {}, "Error: code = -4, msg = y\n"},
      {two_clear_records, {}, ""},
      // The reply ends after its first record.
      {bytes_elem(err_record(-3, "x")), {}, "Error: code = -3, msg = x\n"
                                             "Error: code = -1, msg = assertion failed in t_itcpbuf::underflow()\n"},
  };
  for (const auto& c : cases) {
    auto db = start(true);
    drv.reply(c.reply, c.chunks);
    cerr_capture err;
    EXPECT_NO_THROW(db.reset());
    EXPECT_EQ(err.text(), c.printed);
    EXPECT_FALSE(conn->is_busy());
  }

  // A chunk header, or chunk data, that cannot be read.
  for (const char* failing : {"DrvNextChunk", "DrvReadChunk"}) {
    auto db = start(true);
    drv.reply(two_clear_records);
    drv.fail(failing, -5, 0, 1);
    cerr_capture err;
    EXPECT_NO_THROW(db.reset());
    EXPECT_EQ(err.text(), std::string("Error: code = -1, msg = assertion failed in t_itcpbuf::") +
                              (failing == std::string("DrvNextChunk") ? "reset()" : "underflow()") + "\n");
    EXPECT_FALSE(conn->is_busy());
    EXPECT_EQ(drv.count("DrvCloseChannel"), drv.count("DrvOpenChannel"));
  }
}

TEST_F(session, reply_head_errors_are_thrown_as_their_classes) {
  auto db = start();
  const std::string open_info = elems([](t_ostream& o) { o << 5803; });
  const std::string close_info = elems([](t_ostream& o) { o << 3 << -4; });

  drv.reply(common_reply("", err_record(-9, "server text", open_info)));
  try {
    db->commit();
    ADD_FAILURE() << "nothing thrown";
  } catch (const Err_open_obj& e) {
    EXPECT_EQ(e.code, -9);
    EXPECT_EQ(e.srv_code, 5803);
    EXPECT_EQ(e.msg, "couldn't aquire exclusive lock");
  }
  drv.reply(common_reply("", err_record(-9, "server text", open_info)));
  EXPECT_EQ(thrown([&] { db->commit(); }).code, -9);

  drv.reply(common_reply("", err_record(-7, "not closed", close_info)));
  try {
    db->rollback();
    ADD_FAILURE() << "nothing thrown";
  } catch (const Err_close_obj& e) {
    EXPECT_EQ(e.code, -7);
    EXPECT_EQ(e.msg, "not closed");
    EXPECT_EQ(e.detail1, 3);
    EXPECT_EQ(e.detail2, -4);
  }
  drv.reply(common_reply("", err_record(-7, "not closed", close_info)));
  EXPECT_EQ(thrown([&] { db->rollback(); }).code, -7);

  // The second error field holds its own record (one string element).
  drv.reply(common_reply("", "", bytes_elem(err_record(-12, "later"))));
  const Db_err later = thrown([&] { db->start_transaction(); });
  EXPECT_EQ(later.code, -12);
  EXPECT_EQ(later.msg, "later");
  drv.reply(common_reply("", "", bytes_elem(err_record(0, ""))));
  EXPECT_NO_THROW(db->start_transaction());
  EXPECT_EQ(db->get_err().code, 0);

  // A 16-bit result element.
  drv.reply(elems([](t_ostream& o) { o.put_str(1, "a\0", 2); }) + bytes_elem("") + bytes_elem("") + bytes_elem(""));
  const Db_err uni = thrown([&] { db->commit(); });
  EXPECT_EQ(uni.code, -1);
  EXPECT_EQ(uni.msg, "assertion failed in Database::get_common()");

  // The session still works after each of them.
  drv.reply(common_reply("", "", "", "server says hi"));
  db->commit();
  std::string said;
  std::getline(db->get_output().get_istream(), said);
  EXPECT_EQ(said, "server says hi");
  end(db);
}

TEST_F(session, transactions_send_their_flag) {
  auto db = start();
  const std::pair<void (Database::*)(), const char*> ops[] = {
      {&Database::start_transaction, "03 04 01"}, {&Database::commit, "03 04 02"}, {&Database::rollback, "03 04 03"}};
  for (const auto& [op, payload] : ops) {
    drv.reply(common_reply());
    (db.get()->*op)();
    EXPECT_EQ(last().code, "BB");
    EXPECT_EQ(hex(last().payload), payload);
  }
  end(db);
}

TEST_F(session, closing_an_object_sends_B6_without_a_cache) {
  auto db = start();
  auto proxy = std::make_unique<test_proxy>(db.get(), 7);
  drv.reply(bytes_elem(""));
  proxy.reset();
  EXPECT_EQ(last().code, "B6");
  EXPECT_EQ(hex(last().payload), "03 04 07");

  {
    test_proxy failing(db.get(), -300);
    drv.reply(bytes_elem(err_record(-7, "busy")));
    EXPECT_EQ(thrown([&] { failing.shut(); }).code, -7);
    EXPECT_EQ(last().code, "B6");
    EXPECT_EQ(hex(last().payload), "04 05 D4 FE");
  }
  end(db);
}

TEST_F(session, with_a_cache_closes_travel_ahead_of_the_next_request) {
  auto db = start(true);
  const std::size_t sent = drv.requests.size();
  { test_proxy proxy(db.get(), 7); }
  EXPECT_EQ(drv.requests.size(), sent);  // no "B6"

  drv.reply(common_reply("", "", "", "", empty_cache_section));
  db->commit();
  EXPECT_EQ(last().code, "BB");
  EXPECT_EQ(hex(last().payload), "03 04 00 03 04 00 03 04 01 03 04 07 03 04 02");
  end(db);
}

}  // namespace
