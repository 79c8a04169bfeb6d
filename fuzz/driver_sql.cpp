// SQL from a hostile client through the driver's statement functions:
// prepare, describe, bind parameters, execute, fetch and read every column
// in pieces.
//
// Input: a flags byte, the statement text up to the first NUL byte, then the
// bytes that choose each parameter's C type, indicator and value and each
// column read's C type and buffer size. Each iteration is a new connection
// on the same namespace.
//
// Buffers are exactly as long as the length given to the driver, so the
// sanitizers catch a write past them. Checked: a piece never exceeds its
// buffer, the length still to come shrinks by each piece's size, and the
// call after the last piece answers no data.
#include "check.h"
#include "namespace_fixture.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sqlext.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

const SQLSMALLINT c_types[] = {SQL_C_CHAR,      SQL_C_WCHAR,          SQL_C_BINARY,         SQL_C_SLONG,
                               SQL_C_SBIGINT,   SQL_C_DOUBLE,         SQL_C_TYPE_DATE,      SQL_C_TYPE_TIME,
                               SQL_C_TYPE_TIMESTAMP, SQL_C_DATE,      SQL_C_TIMESTAMP,      SQL_C_FLOAT};

// The size of a C type the driver writes whole; 0 for text and binary.
std::size_t fixed_size(SQLSMALLINT c) {
  switch (c) {
    case SQL_C_SLONG: return sizeof(SQLINTEGER);
    case SQL_C_SBIGINT: return sizeof(SQLBIGINT);
    case SQL_C_DOUBLE: return sizeof(double);
    case SQL_C_TYPE_DATE: case SQL_C_DATE: return sizeof(DATE_STRUCT);
    case SQL_C_TYPE_TIME: return sizeof(TIME_STRUCT);
    case SQL_C_TYPE_TIMESTAMP: case SQL_C_TIMESTAMP: return sizeof(TIMESTAMP_STRUCT);
    case SQL_C_FLOAT: return sizeof(float);
    default: return 0;
  }
}

// One parameter's buffer and indicator; they must live until SQLExecute.
struct param {
  std::vector<char> data;
  SQLLEN ind = 0;
};

void bind(SQLHSTMT st, SQLUSMALLINT n, FuzzedDataProvider& in, param& p) {
  const SQLSMALLINT c = in.PickValueInArray(c_types);
  const std::size_t fixed = fixed_size(c);
  p.data = in.ConsumeBytes<char>(fixed ? fixed : in.ConsumeIntegralInRange<std::size_t>(0, 300));
  if (fixed) p.data.resize(fixed);
  const SQLLEN length = static_cast<SQLLEN>(p.data.size());
  // Text with SQL_NTS needs its terminator inside the buffer.
  if (c == SQL_C_CHAR || c == SQL_C_WCHAR) p.data.insert(p.data.end(), 2, '\0');
  const SQLLEN inds[] = {length, SQL_NTS, SQL_NULL_DATA, 0, -7, length + 5};
  p.ind = in.PickValueInArray(inds);
  const SQLSMALLINT sql_types[] = {SQL_VARCHAR, SQL_INTEGER, SQL_DOUBLE, SQL_VARBINARY, SQL_WVARCHAR, SQL_TYPE_DATE};
  const bool no_ind = in.ConsumeBool();
  SQLBindParameter(st, n, SQL_PARAM_INPUT, c, in.PickValueInArray(sql_types), 0, 0, p.data.data(),
                   static_cast<SQLLEN>(p.data.size()), no_ind ? nullptr : &p.ind);
}

// Reads one column of the current row as C type c into buffers of `cap`
// bytes, piece by piece.
void read_column(SQLHSTMT st, SQLUSMALLINT col, SQLSMALLINT c, std::size_t cap) {
  const std::size_t fixed = fixed_size(c);
  std::vector<char> buf(fixed ? fixed : cap);
  const SQLLEN given = static_cast<SQLLEN>(fixed ? fixed : cap);
  SQLLEN left = -1;  // bytes still to come, once known
  for (int calls = 0; calls < 64; ++calls) {
    SQLLEN ind = 12345;
    const SQLRETURN rc = SQLGetData(st, col, c, buf.empty() ? nullptr : buf.data(), given, &ind);
    if (rc == SQL_NO_DATA) {
      fuzz::check(calls > 0 && (left == 0 || left == SQL_NULL_DATA || fixed), "no data before the value was read");
      return;
    }
    if (!SQL_SUCCEEDED(rc)) return;
    if (fixed) {
      fuzz::check(ind == SQL_NULL_DATA || ind == given, "a fixed-size value of another size");
      left = 0;
      continue;
    }
    if (ind == SQL_NULL_DATA) {
      left = SQL_NULL_DATA;
      continue;
    }
    if (rc == SQL_SUCCESS_WITH_INFO) return;  // the buffer holds no whole character
    if (ind == SQL_NO_TOTAL) {
      left = -1;
      continue;
    }
    fuzz::check(ind >= 0, "negative length");
    fuzz::check(left < 0 || ind == left, "the length to come does not follow the pieces");
    const std::size_t unit = c == SQL_C_WCHAR ? 2 : 1;
    const SQLLEN piece = std::min<SQLLEN>(ind, static_cast<SQLLEN>(cap / unit * unit));
    left = ind - piece;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t flags = data[0];
  const auto* text_begin = data + 1;
  const auto* text_end = static_cast<const std::uint8_t*>(std::memchr(text_begin, 0, size - 1));
  if (text_end == nullptr) text_end = data + size;
  FuzzedDataProvider in(text_end == data + size ? text_end : text_end + 1,
                        static_cast<std::size_t>(data + size - text_end) - (text_end == data + size ? 0 : 1));

  // The text as 16-bit units: each byte widened, or (flag 1) byte pairs as
  // units, which may be unpaired surrogates.
  std::u16string sql;
  if (flags & 1) {
    for (const auto* p = text_begin; p + 1 < text_end; p += 2) sql += static_cast<char16_t>(p[0] | (p[1] << 8));
  } else {
    for (const auto* p = text_begin; p < text_end; ++p) sql += static_cast<char16_t>(*p);
  }
  if (sql.find(u'\0') != std::u16string::npos) sql.resize(sql.find(u'\0'));

  SQLHDBC dbc = fuzz::sample_namespace::get().open(fuzz::environment());
  fuzz::check(dbc != nullptr, "connect failed");
  SQLHSTMT st = nullptr;
  fuzz::check(SQLAllocStmt(dbc, &st) == SQL_SUCCESS, "no statement");
  // Flag 2: the length in characters instead of a terminator.
  const SQLINTEGER length = (flags & 2) ? static_cast<SQLINTEGER>(sql.size()) : SQL_NTS;
  if (SQLPrepare(st, reinterpret_cast<SQLCHAR*>(sql.data()), length) == SQL_SUCCESS) {
    SQLSMALLINT nparams = 0, ncols = 0;
    SQLNumParams(st, &nparams);
    SQLNumResultCols(st, &ncols);
    // Names into buffers too small for them, and one past the last column.
    for (SQLUSMALLINT col = 1; col <= ncols + 1; ++col) {
      const SQLSMALLINT cap = static_cast<SQLSMALLINT>(in.ConsumeIntegralInRange<int>(0, 8));
      std::vector<SQLCHAR> name(2 * static_cast<std::size_t>(cap));
      SQLSMALLINT name_len = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN col_size = 0;
      SQLDescribeCol(st, col, name.empty() ? nullptr : name.data(), cap, &name_len, &type, &col_size, &digits,
                     &nullable);
    }
    std::vector<param> params(static_cast<std::size_t>(nparams) + 1);
    for (SQLUSMALLINT n = 1; n <= nparams + 1; ++n) {
      SQLSMALLINT type = 0, digits = 0, nullable = 0;
      SQLULEN psize = 0;
      SQLDescribeParam(st, n, &type, &psize, &digits, &nullable);
      if (n <= nparams || in.ConsumeBool()) bind(st, n, in, params[n - 1]);
    }
    for (int run = 0; run < 1 + (flags >> 6); ++run) {
      const SQLRETURN rc = SQLExecute(st);
      if (!SQL_SUCCEEDED(rc) || ncols == 0) continue;
      for (int row = 0; row < 20 && SQL_SUCCEEDED(SQLFetch(st)); ++row)
        for (SQLUSMALLINT col = 1; col <= ncols + 1; ++col)
          read_column(st, col, in.PickValueInArray(c_types), in.ConsumeIntegralInRange<std::size_t>(0, 40));
      SQLFreeStmt(st, SQL_CLOSE);
    }
  }
  SQLFreeStmt(st, SQL_DROP);
  SQLFreeConnect(dbc);
  return 0;
}
