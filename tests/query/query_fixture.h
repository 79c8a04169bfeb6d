// Statement calls in a short form that one assertion can compare.
#pragma once

#include "support/session_fixture.h"
#include "support/value_bytes.h"

#include <string>
#include <vector>

namespace torqa::test {

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

/// The statement calls recorded (of `fn` only, when given), in short.
inline std::vector<std::string> briefs(const scripted_driver& d, const std::string& fn = "") {
  std::vector<std::string> out;
  for (const auto& c : d.sql_calls)
    if (fn.empty() || c.fn == fn) out.push_back(brief(c));
  return out;
}

/// Prepares SQL text.
inline void prepare(abs_d_query& q, const char16_t* text) {
  const auto units = u16(text);
  q.prepare(units.data(), static_cast<int>(units.size() - 1));
}

}  // namespace torqa::test
