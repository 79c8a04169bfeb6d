// A session on a connection over the scripted driver, for the query tests.
#pragma once

#include "support/scripted_driver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace torqa::test {

struct query_session {
  explicit query_session(bool uni_srv = false) {
    drv.reply(startup_reply(true, uni_srv));
    db.emplace(conn, false);
    drv.calls.clear();
    drv.sql_calls.clear();
  }
  ~query_session() {
    drv.reply(bytes_elem("") + bytes_elem(""));
    db.reset();
  }
  /// The statement calls of `fn` since the last clear().
  std::vector<scripted_driver::sql_call> calls(const char* fn) const { return drv.sql_calls_of(fn); }
  void clear() {
    drv.calls.clear();
    drv.sql_calls.clear();
    drv.executions.clear();
  }

  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:test", "u", "p", nullptr);
  std::optional<Database> db;
};

/// Bytes from hex text: "0A 0B" gives "\x0A\x0B".
inline std::string unhex(const char* text) {
  std::string out;
  unsigned v = 0;
  int digits = 0;
  for (const char* p = text; *p != 0; ++p) {
    const char c = *p;
    if (c == ' ') continue;
    v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    if (++digits == 2) {
      out.push_back(static_cast<char>(v));
      v = 0;
      digits = 0;
    }
  }
  return out;
}

/// Expects `call` to throw Db_err with `code` and `msg`.
template <class F>
void expect_db_err(F call, int code, const std::string& msg) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, code);
    EXPECT_EQ(e.msg, msg);
  }
}

}  // namespace torqa::test
