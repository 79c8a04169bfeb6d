#include "sql_data.h"

#include "server/wire/values.h"
#include "server/wire/wire.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>

namespace torqa::driver {

using server::sql_kind;
using server::sql_value;

namespace {

// ---- Parameters ----

/// A parameter's value as read from the caller's buffers.
struct input : sql_value {  // `bytes`: text (UTF-8) or blob
  std::string owned;       ///< text converted or formatted here
  bool truncated = false;  ///< a timestamp's fraction was dropped
};

/// Whether a fixed-size value of `size` bytes can be read from or written
/// to a buffer of `capacity` bytes (0: the caller did not say; ODBC then
/// takes the buffer to be of the type's size).
bool fits(SQLLEN capacity, std::size_t size) { return capacity == 0 || capacity >= static_cast<SQLLEN>(size); }

template <class T>
bool read_fixed(const stmt::binding& b, T& v) {
  if (!fits(b.capacity, sizeof v)) return false;
  std::memcpy(&v, b.data, sizeof v);
  return true;
}

/// An integer parameter of C type T.
template <class T>
bool read_integer(const stmt::binding& b, input& v) {
  T x = 0;
  if (!read_fixed(b, x)) return false;
  v.type = input::integer;
  v.i = x;
  return true;
}

bool valid_time(unsigned h, unsigned m, unsigned s) { return h < 24 && m < 60 && s < 60; }

bool date_text(SQLSMALLINT y, SQLUSMALLINT m, SQLUSMALLINT d, std::string& out) {
  std::int64_t n = 0;
  if (!server::day_number(y, m, d, n)) return false;
  out = server::format_date(n);
  return true;
}

bool time_text(SQLUSMALLINT h, SQLUSMALLINT m, SQLUSMALLINT s, std::string& out) {
  if (!valid_time(h, m, s)) return false;
  out = server::format_time(h * 3600 + m * 60 + s);
  return true;
}

/// Character and binary data: the byte count from the indicator (SQL_NTS:
/// up to a zero unit of `unit` bytes, within the buffer when its length is
/// given). False for a length the buffer cannot hold.
bool data_length(const stmt::binding& b, SQLLEN len, std::size_t unit, std::size_t& n) {
  if (len == SQL_NTS) {
    if (unit == 0) return false;  // binary data has no terminator
    const auto* p = static_cast<const unsigned char*>(b.data);
    const std::size_t limit = b.capacity > 0 ? static_cast<std::size_t>(b.capacity) / unit * unit
                                             : std::numeric_limits<std::size_t>::max() / unit * unit;
    n = 0;
    while (n < limit && (p[n] != 0 || (unit == 2 && p[n + 1] != 0))) n += unit;
    return true;
  }
  if (len < 0 || (b.capacity > 0 && len > b.capacity)) return false;
  n = static_cast<std::size_t>(len);
  return unit != 2 || n % 2 == 0;
}

/// Reads a parameter's value. False for what cannot be read.
bool read_input(const stmt::binding& b, input& v) {
  SQLLEN len = 0;
  if (b.ind != nullptr) {
    len = *b.ind;
    if (len == SQL_NULL_DATA) return true;
    // Data supplied at execution time and default values are not taken.
    if (len < 0 && len != SQL_NTS) return false;
  } else {
    len = b.c_type == SQL_C_BINARY ? b.capacity : SQL_NTS;
  }
  if (b.data == nullptr) return false;
  switch (b.c_type) {
    case SQL_C_SLONG:
    case SQL_C_LONG:
      return read_integer<SQLINTEGER>(b, v);
    case SQL_C_SBIGINT:
      return read_integer<SQLBIGINT>(b, v);
    case SQL_C_DOUBLE: {
      if (!read_fixed(b, v.d)) return false;
      v.type = input::real;
      return true;
    }
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: {
      DATE_STRUCT s{};
      if (!read_fixed(b, s) || !date_text(s.year, s.month, s.day, v.owned)) return false;
      break;
    }
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: {
      TIME_STRUCT s{};
      if (!read_fixed(b, s) || !time_text(s.hour, s.minute, s.second, v.owned)) return false;
      break;
    }
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: {
      TIMESTAMP_STRUCT s{};
      std::string t;
      if (!read_fixed(b, s) || !date_text(s.year, s.month, s.day, v.owned) || !time_text(s.hour, s.minute, s.second, t))
        return false;
      v.owned += ' ' + t;
      v.truncated = s.fraction != 0;  // the stored form has whole seconds
      break;
    }
    case SQL_C_CHAR: {
      std::size_t n = 0;
      if (!data_length(b, len, 1, n)) return false;
      v.type = input::text;
      v.bytes = std::string_view(static_cast<const char*>(b.data), n);
      return true;
    }
    case SQL_C_WCHAR: {
      std::size_t n = 0;
      if (!data_length(b, len, 2, n)) return false;
      v.owned = server::utf16le_to_utf8(std::string_view(static_cast<const char*>(b.data), n));
      break;
    }
    case SQL_C_BINARY: {
      std::size_t n = 0;
      if (!data_length(b, len, 0, n)) return false;
      v.type = input::blob;
      v.bytes = std::string_view(static_cast<const char*>(b.data), n);
      return true;
    }
    default:
      return false;
  }
  v.type = input::text;
  v.bytes = v.owned;
  return true;
}

// ---- Column data ----

/// A column value as text: numbers in decimal, bytes as hexadecimal digits.
std::string as_text(const sql_value& v) {
  char buf[32];
  if (v.type == sql_value::integer) return std::string(buf, std::to_chars(buf, buf + sizeof buf, v.i).ptr);
  if (v.type == sql_value::real) return std::string(buf, std::to_chars(buf, buf + sizeof buf, v.d).ptr);
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(2 * v.bytes.size());
  for (const char c : v.bytes) {
    out += digits[static_cast<unsigned char>(c) >> 4];
    out += digits[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

/// Text as a number: blanks around it, an optional sign, an integer or a
/// decimal number.
std::optional<sql_value> parse_number(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  sql_value v;
  const char* end = s.data() + s.size();
  if (auto r = std::from_chars(s.data(), end, v.i); r.ec == std::errc() && r.ptr == end) {
    v.type = sql_value::integer;
    return v;
  }
  if (auto r = std::from_chars(s.data(), end, v.d); r.ec == std::errc() && r.ptr == end) {
    v.type = sql_value::real;
    return v;
  }
  return std::nullopt;
}

/// The value as a number; empty for what is no number.
std::optional<sql_value> numeric(const sql_value& v) {
  if (v.type == sql_value::integer || v.type == sql_value::real) return v;
  if (v.type == sql_value::text) return parse_number(v.bytes);
  return std::nullopt;
}

/// A date and a time of day read from stored text or numbers.
struct moment {
  bool has_date = false, has_time = false;
  int year = 0, month = 0, day = 0;
  int seconds = 0;  ///< of the day
  SQLUINTEGER fraction = 0;  ///< nanoseconds
};

bool set_date(moment& m, std::int64_t day_number) {
  m.has_date = server::civil_date(day_number, m.year, m.month, m.day);
  return m.has_date;
}

/// "YYYY-MM-DD", "HH:MM:SS[.fff]" or "YYYY-MM-DD HH:MM:SS[.fff]" ('T'
/// also separates); integers in date and time columns are day numbers and
/// seconds.
bool read_moment(const sql_value& v, sql_kind kind, moment& m) {
  if (v.type == sql_value::integer) {
    if (kind == sql_kind::date) return set_date(m, v.i);
    if (kind != sql_kind::time || v.i < 0 || v.i >= 86400) return false;
    m.has_time = true;
    m.seconds = static_cast<int>(v.i);
    return true;
  }
  if (v.type != sql_value::text) return false;
  std::string_view s = v.bytes;
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s.size() >= 10 && s[4] == '-') {
    const auto n = server::parse_date(s.substr(0, 10));
    if (!n || !set_date(m, *n)) return false;
    s.remove_prefix(10);
    if (s.empty()) return true;
    if (s[0] != ' ' && s[0] != 'T') return false;
    s.remove_prefix(1);
  }
  if (s.size() < 8) return false;
  const auto t = server::parse_time(s.substr(0, 8));
  if (!t) return false;
  m.has_time = true;
  m.seconds = static_cast<int>(*t);
  s.remove_prefix(8);
  if (s.empty()) return true;
  if (s[0] != '.' || s.size() < 2) return false;
  SQLUINTEGER scale = 100000000;
  for (std::size_t i = 1; i < s.size(); ++i, scale /= 10) {
    if (s[i] < '0' || s[i] > '9') return false;
    m.fraction += static_cast<SQLUINTEGER>(s[i] - '0') * scale;
  }
  return true;
}

template <class T>
SQLRETURN put_fixed(const T& v, SQLPOINTER buf, SQLLEN capacity, SQLLEN* ind, SQLRETURN rc = SQL_SUCCESS) {
  if (buf == nullptr || !fits(capacity, sizeof v)) return SQL_ERROR;
  std::memcpy(buf, &v, sizeof v);
  if (ind != nullptr) *ind = static_cast<SQLLEN>(sizeof v);
  return rc;
}

template <class Int>
SQLRETURN put_integer(const sql_value& v, SQLPOINTER buf, SQLLEN capacity, SQLLEN* ind) {
  const auto n = numeric(v);
  if (!n) return SQL_ERROR;
  constexpr auto lo = std::numeric_limits<Int>::min();
  constexpr auto hi = std::numeric_limits<Int>::max();
  if (n->type == sql_value::integer) {
    if (n->i < lo || n->i > hi) return SQL_ERROR;  // out of range
    return put_fixed(static_cast<Int>(n->i), buf, capacity, ind);
  }
  const double t = std::trunc(n->d);
  if (!(t >= static_cast<double>(lo) && t < -static_cast<double>(lo))) return SQL_ERROR;
  // A dropped fraction is reported.
  return put_fixed(static_cast<Int>(t), buf, capacity, ind, t == n->d ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO);
}

SQLRETURN put_double(const sql_value& v, SQLPOINTER buf, SQLLEN capacity, SQLLEN* ind) {
  const auto n = numeric(v);
  if (!n) return SQL_ERROR;
  return put_fixed(n->type == sql_value::integer ? static_cast<double>(n->i) : n->d, buf, capacity, ind);
}

void today(moment& m) {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  m.year = t.tm_year + 1900;
  m.month = t.tm_mon + 1;
  m.day = t.tm_mday;
}

SQLRETURN put_moment(SQLSMALLINT c_type, const sql_value& v, sql_kind kind, SQLPOINTER buf, SQLLEN capacity,
                     SQLLEN* ind) {
  moment m;
  if (!read_moment(v, kind, m)) return SQL_ERROR;
  const auto hour = static_cast<SQLUSMALLINT>(m.seconds / 3600);
  const auto minute = static_cast<SQLUSMALLINT>(m.seconds / 60 % 60);
  const auto second = static_cast<SQLUSMALLINT>(m.seconds % 60);
  switch (c_type) {
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: {
      if (!m.has_date) return SQL_ERROR;
      const DATE_STRUCT s{static_cast<SQLSMALLINT>(m.year), static_cast<SQLUSMALLINT>(m.month),
                          static_cast<SQLUSMALLINT>(m.day)};
      return put_fixed(s, buf, capacity, ind, m.seconds == 0 && m.fraction == 0 ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO);
    }
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: {
      if (!m.has_time) return SQL_ERROR;
      const TIME_STRUCT s{hour, minute, second};
      return put_fixed(s, buf, capacity, ind, m.fraction == 0 ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO);
    }
    default: {
      if (!m.has_date) today(m);  // a time of day is taken as today's
      const TIMESTAMP_STRUCT s{static_cast<SQLSMALLINT>(m.year),
                               static_cast<SQLUSMALLINT>(m.month),
                               static_cast<SQLUSMALLINT>(m.day),
                               hour,
                               minute,
                               second,
                               m.fraction};
      return put_fixed(s, buf, capacity, ind);
    }
  }
}

/// The bytes SQLGetData delivers in pieces for a value: text in the form of
/// the C type, binary data as it is. False for a value that has no such
/// form (a number as binary data).
bool piece_source(const sql_value& v, SQLSMALLINT c_type, bool unicode, stmt::piece_state& p) {
  const bool text = v.type == sql_value::text;
  switch (c_type) {
    case SQL_C_CHAR:
      if (text) {
        p.data = v.bytes;
        return true;
      }
      p.converted = as_text(v);
      break;
    case SQL_C_WCHAR:
      p.converted = server::utf8_to_utf16le(text ? v.bytes : std::string_view(as_text(v)));
      break;
    default:  // SQL_C_BINARY
      if (v.type == sql_value::blob || (text && !unicode)) {
        p.data = v.bytes;
        return true;
      }
      if (!text) return false;
      p.converted = server::utf8_to_utf16le(v.bytes);  // 16-bit text columns as 16-bit bytes
      break;
  }
  p.data = p.converted;
  return true;
}

}  // namespace

SQLSMALLINT sql_type_of(sql_kind k, bool unicode) {
  switch (k) {
    case sql_kind::integer:
      return SQL_INTEGER;
    case sql_kind::double_:
      return SQL_DOUBLE;
    case sql_kind::text:
      return unicode ? SQL_WVARCHAR : SQL_VARCHAR;
    case sql_kind::long_text:
      return unicode ? SQL_WLONGVARCHAR : SQL_LONGVARCHAR;
    case sql_kind::binary:
      return SQL_VARBINARY;
    case sql_kind::long_binary:
      return SQL_LONGVARBINARY;
    case sql_kind::date:
      return SQL_TYPE_DATE;
    case sql_kind::time:
      return SQL_TYPE_TIME;
    case sql_kind::timestamp:
      return SQL_TYPE_TIMESTAMP;
  }
  return SQL_VARCHAR;
}

type_facts facts_of(SQLSMALLINT t) {
  switch (t) {
    case SQL_INTEGER:
      return {"INTEGER", t, 0, 10, 4, true, false, false};
    case SQL_DOUBLE:
      return {"DOUBLE", t, 0, 2, 8, true, false, false};
    case SQL_VARCHAR:
    case SQL_WVARCHAR:
      return {"VARCHAR", t, 0, 0, 0, false, true, false};
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
      return {"LONGVARCHAR", t, 0, 0, 0, false, true, false};
    case SQL_VARBINARY:
      return {"VARBINARY", t, 0, 0, 0, false, false, true};
    case SQL_LONGVARBINARY:
      return {"LONGVARBINARY", t, 0, 0, 0, false, false, true};
    case SQL_TYPE_DATE:
      return {"DATE", SQL_DATETIME, SQL_CODE_DATE, 0, sizeof(DATE_STRUCT), false, false, false};
    case SQL_TYPE_TIME:
      return {"TIME", SQL_DATETIME, SQL_CODE_TIME, 0, sizeof(TIME_STRUCT), false, false, false};
    default:
      return {"TIMESTAMP", SQL_DATETIME, SQL_CODE_TIMESTAMP, 0, sizeof(TIMESTAMP_STRUCT), false, false, false};
  }
}

SQLULEN column_size_of(sql_kind k) {
  switch (k) {
    case sql_kind::integer:
      return 10;
    case sql_kind::double_:
      return 15;
    case sql_kind::text:
    case sql_kind::binary:
      return 65535;  // one value's largest size
    case sql_kind::date:
      return 10;
    case sql_kind::time:
      return 8;
    case sql_kind::timestamp:
      return 19;
    default:
      return 2147483647;
  }
}

bool known_c_type(SQLSMALLINT c) {
  switch (c) {
    case SQL_C_CHAR:
    case SQL_C_WCHAR:
    case SQL_C_BINARY:
    case SQL_C_SLONG:
    case SQL_C_LONG:
    case SQL_C_SBIGINT:
    case SQL_C_DOUBLE:
    case SQL_C_DATE:
    case SQL_C_TIME:
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_DATE:
    case SQL_C_TYPE_TIME:
    case SQL_C_TYPE_TIMESTAMP:
      return true;
    default:
      return false;
  }
}

bool known_sql_type(SQLSMALLINT t) {
  switch (t) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
    case SQL_NUMERIC:
    case SQL_DECIMAL:
    case SQL_DATE:
    case SQL_TIME:
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME:
    case SQL_TYPE_TIMESTAMP:
      return true;
    default:
      return false;
  }
}

SQLRETURN bind_input(statement_source& sql, int i, const stmt::binding& b) {
  input v;
  if (!read_input(b, v)) return SQL_ERROR;
  sql.bind(i, v);
  return v.truncated ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

bool at_exec(const stmt::binding& b) {
  return b.ind != nullptr && (*b.ind == SQL_DATA_AT_EXEC || *b.ind <= SQL_LEN_DATA_AT_EXEC_OFFSET);
}

SQLRETURN bind_supplied(statement_source& sql, int i, SQLSMALLINT c_type, const std::optional<std::string>& v) {
  std::string utf8;
  sql_value value;
  if (v && c_type == SQL_C_CHAR) {
    value = {sql_value::text, 0, 0, *v};
  } else if (v && c_type == SQL_C_WCHAR) {
    if (v->size() % 2 != 0) return SQL_ERROR;
    utf8 = server::utf16le_to_utf8(*v);
    value = {sql_value::text, 0, 0, utf8};
  } else if (v && c_type == SQL_C_BINARY) {
    value = {sql_value::blob, 0, 0, *v};
  } else if (v) {
    return SQL_ERROR;
  }
  sql.bind(i, value);
  return SQL_SUCCESS;
}

SQLRETURN input_text(const stmt::binding& b, std::string& utf8) {
  input v;
  if ((b.c_type != SQL_C_CHAR && b.c_type != SQL_C_WCHAR) || !read_input(b, v)) return SQL_ERROR;
  utf8.assign(v.bytes);
  return SQL_SUCCESS;
}

SQLRETURN write_output(const stmt::binding& b, std::string_view bytes) {
  if (b.c_type != SQL_C_BINARY || b.data == nullptr || b.capacity <= 0) return SQL_ERROR;
  const std::size_t n = std::min(bytes.size(), static_cast<std::size_t>(b.capacity));
  std::memcpy(b.data, bytes.data(), n);
  if (b.ind != nullptr) *b.ind = static_cast<SQLLEN>(bytes.size());
  return n == bytes.size() ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
}

// Fixed-size types are delivered once; the next call for the column answers
// SQL_NO_DATA. Character and binary data come in pieces of at most the
// buffer's length (whole 16-bit units for SQL_C_WCHAR), and the call after
// the last piece answers SQL_NO_DATA. The indicator gives the bytes still to
// come from this piece on.
//
// On the binding's connections pieces have no terminating zero and each
// answers SQL_SUCCESS; a buffer too small for one unit gets nothing:
// SQL_SUCCESS_WITH_INFO with the length in the indicator. On standard
// connections character pieces end in a zero unit (the buffer holds one
// unit less of data), and a piece that leaves data to come answers
// SQL_SUCCESS_WITH_INFO with 01004.
SQLRETURN get_data(stmt& s, SQLUSMALLINT column, SQLSMALLINT c_type, SQLPOINTER buf, SQLLEN capacity, SQLLEN* ind) {
  const statement_source& sql = *s.sql;
  const auto& columns = sql.columns();
  if (column < 1 || column > columns.size())
    return s.diag.set(SQL_ERROR, "07009", "no column " + std::to_string(column));
  if (capacity < 0) return s.diag.set(SQL_ERROR, "HY090", "negative buffer length");
  if (!known_c_type(c_type)) return s.diag.set(SQL_ERROR, "HY003", "unsupported C type " + std::to_string(c_type));
  stmt::piece_state& p = s.piece;
  if (p.column != column || p.c_type != c_type) {
    p.column = column;
    p.c_type = c_type;
    p.done = false;
    p.data = {};
    p.offset = 0;
  }
  if (p.done) return SQL_NO_DATA;
  const sql_value v = sql.value(column - 1);
  if (v.type == sql_value::null) {
    if (ind == nullptr) return s.diag.set(SQL_ERROR, "22002", "a null value needs an indicator");
    *ind = SQL_NULL_DATA;
    p.done = true;
    return SQL_SUCCESS;
  }
  const sql_kind kind = columns[column - 1].kind;
  SQLRETURN rc = SQL_ERROR;
  switch (c_type) {
    case SQL_C_SLONG:
    case SQL_C_LONG:
      rc = put_integer<SQLINTEGER>(v, buf, capacity, ind);
      break;
    case SQL_C_SBIGINT:
      rc = put_integer<SQLBIGINT>(v, buf, capacity, ind);
      break;
    case SQL_C_DOUBLE:
      rc = put_double(v, buf, capacity, ind);
      break;
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE:
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME:
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP:
      rc = put_moment(c_type, v, kind, buf, capacity, ind);
      break;
    default: {
      if (p.offset == 0 && !piece_source(v, c_type, sql.unicode(), p))
        return s.diag.set(SQL_ERROR, "07006", "column " + std::to_string(column) + " is not binary data");
      const std::size_t unit = c_type == SQL_C_WCHAR ? 2 : 1;
      const bool terminated = s.owner->standard && c_type != SQL_C_BINARY;
      const std::size_t left = p.data.size() - p.offset;
      const std::size_t room = static_cast<std::size_t>(capacity) / unit * unit;
      const std::size_t n = std::min(left, terminated && room > 0 ? room - unit : room);
      if ((n > 0 || (terminated && room > 0)) && buf == nullptr) return s.diag.set(SQL_ERROR, "HY009", "no buffer");
      if (ind != nullptr) *ind = static_cast<SQLLEN>(left);
      if (n > 0) std::memcpy(buf, p.data.data() + p.offset, n);
      if (terminated && room > 0) std::memset(static_cast<char*>(buf) + n, 0, unit);
      p.offset += n;
      p.done = p.offset == p.data.size();
      if (n == 0 && left > 0) return s.diag.set(SQL_SUCCESS_WITH_INFO, "01004", "the buffer holds no whole character");
      if (!p.done && s.owner->standard) return s.diag.set(SQL_SUCCESS_WITH_INFO, "01004", "more data to come");
      return SQL_SUCCESS;
    }
  }
  if (SQL_SUCCEEDED(rc)) {
    p.done = true;
    return rc;
  }
  // A number that does not fit the integer type, or a value without that form.
  const bool integer = c_type == SQL_C_SLONG || c_type == SQL_C_LONG || c_type == SQL_C_SBIGINT;
  if (integer && numeric(v)) return s.diag.set(rc, "22003", "column " + std::to_string(column) + " is out of range");
  return s.diag.set(rc, "07006", "column " + std::to_string(column) + " cannot be delivered as C type " +
                                     std::to_string(c_type));
}

}  // namespace torqa::driver
