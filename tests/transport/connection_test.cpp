// Connecting from a connection string, and sharing the connection.
#include "support/driver_env.h"
#include "support/scripted_driver.h"
#include "support/thrown.h"

#include <torqa/connection.h>
#include <torqa/errors.h>
#include <torqa/session.h>
#include <torqa/types.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using torqa::test::driver_env;
using torqa::test::scripted_driver;
using torqa::test::thrown;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

using strings = std::vector<std::string>;

TEST(connection, splits_the_connection_string_into_three_parts) {
  const struct {
    const char* text;
    strings parts;
  } cases[] = {
      {"X[Y]:Z", {"X", "Y", "Z"}},           {"X[Y]-Z", {"X", "Y", "Z"}}, {"X[Y]:", {"X", "Y", ""}},
      {"[Y]:Z", {"", "Y", "Z"}},             {"X[]:Z", {"X", "", "Z"}},   {"h[1]:a[b]c", {"h", "1", "a[b]c"}},
      {"host[1972]:/data/ns", {"host", "1972", "/data/ns"}},
  };
  for (const auto& c : cases) {
    scripted_driver drv;
    Db_err err(42, "stale");  // so that a missing write shows
    Handle<Conn_t> h = tcp_conn::connect(c.text, "user", "pässword", &err);
    EXPECT_TRUE(err.code == 0 && err.msg.empty()) << c.text;
    EXPECT_TRUE(h->is_active() && !h->is_busy());
    strings expected = c.parts;
    expected.insert(expected.end(), {"user", "pässword"});
    EXPECT_EQ(drv.connect_args, expected) << c.text;
  }
  // A separator outside the 16-bit range is one character of two units.
  scripted_driver drv;
  Handle<Conn_t> h = tcp_conn::connect(d_string(u"X[Y]\U0001F600Z"), "user", "pw", nullptr);
  EXPECT_EQ(drv.connect_args, (strings{"X", "Y", "Z", "user", "pw"}));
}

TEST(connection, connect_prepares_the_query_information_statement_and_the_last_handle_disconnects) {
  scripted_driver drv;
  {
    Handle<Conn_t> h = tcp_conn::connect("local[0]:ns", "", "", nullptr);
    EXPECT_THAT(drv.calls, ElementsAre("SQLAllocEnv", "SQLAllocConnect", "DrvConnect", "SQLAllocStmt", "SQLPrepare"));
    EXPECT_THAT(drv.prepared, ElementsAre("{ ? = call %Library.CPPStoredProc_getQueryInfo( ?, ? ) }"));
    auto* tcp = dynamic_cast<tcp_conn*>(h.get());
    ASSERT_NE(tcp, nullptr);
    EXPECT_TRUE(tcp->get_hdbc() != nullptr && tcp->get_hstmt() != nullptr);

    void* channel = nullptr;
    EXPECT_EQ(h->open_channel(&channel), 0);
    EXPECT_NE(channel, nullptr);
    drv.fail("DrvCloseChannel", -4);
    EXPECT_EQ(h->close_channel(channel), -4);

    drv.calls.clear();
    Handle<Conn_t> copy = h;
    {
      Handle<Conn_t> third(copy);
      EXPECT_EQ(h.use_count(), 3);
    }
    EXPECT_TRUE(drv.calls.empty());
  }
  EXPECT_THAT(drv.calls, ElementsAre("SQLFreeStmt", "SQLFreeConnect", "SQLFreeEnv"));
}

TEST(connection, refusals_fill_the_record_and_free_every_handle_once) {
  const struct {
    const char* text;
    const char* failing;  // entry point made to fail with -2, or null
    int code;
    const char* msg;
    int connects;   // calls of DrvConnect
    strings frees;  // handles freed, in order
  } cases[] = {
      {"abc", nullptr, -1000, "invalid connection string", 0, {"SQLFreeConnect", "SQLFreeEnv"}},
      {"X[Y", nullptr, -1000, "invalid connection string", 0, {"SQLFreeConnect", "SQLFreeEnv"}},
      {"X]Y[Z", nullptr, -1000, "invalid connection string", 0, {"SQLFreeConnect", "SQLFreeEnv"}},
      {"X[Y]", nullptr, -1000, "invalid connection string", 0, {"SQLFreeConnect", "SQLFreeEnv"}},
      {"X[Y]:Z", "SQLAllocEnv", -2, "could't connect", 0, {}},
      {"X[Y]:Z", "SQLAllocConnect", -2, "could't connect", 0, {"SQLFreeEnv"}},
      {"X[Y]:Z", "DrvConnect", -2, "couldn't connect", 1, {"SQLFreeConnect", "SQLFreeEnv"}},
  };
  for (const auto& c : cases) {
    for (bool with_record : {true, false}) {
      SCOPED_TRACE(std::string(c.text) + " " + (c.failing ? c.failing : ""));
      scripted_driver drv;
      if (c.failing) drv.fail(c.failing, -2);
      Db_err err(42, "stale");
      {
        Handle<Conn_t> h = tcp_conn::connect(c.text, "u", "p", with_record ? &err : nullptr);
        EXPECT_FALSE(h->is_active());
        Handle<Conn_t> copy = h;  // usable like any handle
        EXPECT_EQ(err.code, with_record ? c.code : 42);
        EXPECT_EQ(err.msg, with_record ? c.msg : "stale");
        EXPECT_EQ(drv.count("DrvConnect"), c.connects);
      }
      strings frees;
      for (const std::string& call : drv.calls)
        if (call.rfind("SQLFree", 0) == 0) frees.push_back(call);
      EXPECT_EQ(frees, c.frees);
    }
  }
}

TEST(connection, a_driver_that_cannot_be_loaded_is_reported_in_the_record) {
  driver_env env("/nonexistent/libTorqaODBC.so");
  Db_err err;
  Handle<Conn_t> h = tcp_conn::connect("X[Y]:Z", "u", "p", &err);
  EXPECT_FALSE(h->is_active());
  EXPECT_EQ(err.code, -1000);
  EXPECT_THAT(err.msg, HasSubstr("/nonexistent/libTorqaODBC.so"));
}

}  // namespace
