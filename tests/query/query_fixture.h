// A session on a connection over the scripted driver, for the query tests.
#pragma once

#include "support/scripted_driver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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
  /// All statement calls since the last clear(), in short (see brief).
  std::vector<std::string> briefs() const;
  void clear() {
    drv.calls.clear();
    drv.sql_calls.clear();
    drv.executions.clear();
  }

  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:test", "u", "p", nullptr);
  std::optional<Database> db;
};

/// The name of an ODBC C type code ("CHAR", "SLONG", ...).
inline std::string c_type_name(SQLSMALLINT t) {
  switch (t) {
    case SQL_C_CHAR: return "CHAR";
    case SQL_C_WCHAR: return "WCHAR";
    case SQL_C_BINARY: return "BINARY";
    case SQL_C_SLONG: return "SLONG";
    case SQL_C_DOUBLE: return "DOUBLE";
    case SQL_C_DATE: return "DATE";
    case SQL_C_TIME: return "TIME";
    case SQL_C_TIMESTAMP: return "TIMESTAMP";
    default: return std::to_string(t);
  }
}

/// A statement call in short: "bind 2 CHAR sql=12 size=50 buf=100 ind=3"
/// (parameter, "out" for an output parameter, C type, SQL type, column
/// size, buffer length, indicator at the call), "get 3 WCHAR 32768"
/// (column, C type, buffer length), otherwise the function name and the
/// number it was given.
inline std::string brief(const scripted_driver::sql_call& c) {
  const std::string n = std::to_string(c.number);
  if (c.fn == "SQLBindParameter")
    return "bind " + n + (c.io == SQL_PARAM_INPUT ? "" : " out") + " " + c_type_name(c.c_type) +
           " sql=" + std::to_string(c.sql_type) + " size=" + std::to_string(c.size) +
           " buf=" + std::to_string(c.buffer_len) + " ind=" + std::to_string(c.ind_value);
  if (c.fn == "SQLGetData") return "get " + n + " " + c_type_name(c.c_type) + " " + std::to_string(c.buffer_len);
  return c.fn + " " + n;
}

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

inline std::vector<std::string> query_session::briefs() const {
  std::vector<std::string> out;
  for (const auto& c : drv.sql_calls) out.push_back(brief(c));
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
