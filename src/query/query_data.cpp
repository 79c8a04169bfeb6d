// Query data: typed parameter values with their buffers and bindings, and
// typed column data, long values read in pieces.
#include <torqa/errors.h>
#include <torqa/query.h>

#include "transport/driver.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

using torqa::detail::driver;

namespace {

// Longest variable-length parameter value, in bytes.
constexpr std::size_t max_value_bytes = 0xFFFF;

// Column data is read through a buffer of this size, one per thread,
// allocated at the thread's first read.
constexpr SQLLEN piece_size = 32768;
char* piece_buf() {
  thread_local const std::unique_ptr<char[]> buffer(new char[piece_size]);
  return buffer.get();
}

// The bytes a successful SQLGetData put into the piece buffer. The driver adds no
// terminating NUL to character pieces, so a piece whose length it cannot
// tell (SQL_NO_TOTAL) is a full buffer of data.
std::size_t piece_length(SQLLEN ind) { return static_cast<std::size_t>(ind >= 0 ? std::min(ind, piece_size) : piece_size); }

void check_length(std::size_t n) {
  if (n > max_value_bytes) throw Db_err(-1000, "value too long for one parameter");
}

SQLSMALLINT c_type_of_kind(int kind) {
  switch (kind) {
    case 0:
      return SQL_C_CHAR;
    case 1:
    case 2:
      return SQL_C_WCHAR;
    default:
      return SQL_C_BINARY;
  }
}

bool is_wide(SQLSMALLINT sql_type) {
  return sql_type == SQL_WCHAR || sql_type == SQL_WVARCHAR || sql_type == SQL_WLONGVARCHAR;
}

}  // namespace

// ---- Parameters ----

void abs_d_query::bind(int i, param& e) {
  driver().SQLBindParameter(statement, static_cast<SQLUSMALLINT>(i), SQL_PARAM_INPUT, e.c_type, e.sql_type, e.size,
                            e.digits, e.data(), static_cast<SQLLEN>(e.data_capacity()), &e.len);
  e.needs_binding = false;
}

void abs_d_query::store_null(int i) {
  param& e = par(i);
  e.len = SQL_NULL_DATA;
  if (e.needs_binding) bind(i, e);
}

void abs_d_query::store(int i, SQLSMALLINT c_type, const void* data, std::size_t n, bool fixed_size) {
  param& e = par(i);
  bool bound = e.c_type == c_type;
  e.c_type = c_type;
  char* dst = e.inline_buf;
  // Once an entry has a heap buffer, every variable-length value goes there;
  // it grows to twice the size needed so that similar values fit.
  if (!fixed_size && (e.heap || n > inline_capacity)) {
    if (e.heap_capacity < n) {
      e.heap.reset(new char[2 * n]);
      e.heap_capacity = 2 * n;
      bound = false;
    }
    dst = e.heap.get();
  }
  if (n != 0) std::memcpy(dst, data, n);
  e.len = static_cast<SQLLEN>(n);
  if (!bound || e.needs_binding) bind(i, e);
}

void abs_d_query::set_par(int i, int v) { set_par(i, d_int(v)); }

void abs_d_query::set_par(int i, double v) { set_par(i, d_double(v)); }

void abs_d_query::set_par(int i, const char* s, unsigned short n) { store(i, SQL_C_CHAR, s, n, false); }

void abs_d_query::set_par(int i, const unsigned short* s, unsigned short n) {
  store(i, SQL_C_WCHAR, s, 2 * std::size_t{n}, false);
}

void abs_d_query::set_par(int i, const d_int& v) {
  if (v.is_null()) return store_null(i);
  const SQLINTEGER x = v.value();
  store(i, SQL_C_SLONG, &x, sizeof x, true);
}

void abs_d_query::set_par(int i, const d_double& v) {
  if (v.is_null()) return store_null(i);
  const SQLDOUBLE x = v.value();
  store(i, SQL_C_DOUBLE, &x, sizeof x, true);
}

void abs_d_query::set_par(int i, const d_time& v) {
  if (v.is_null()) return store_null(i);
  const TIME_STRUCT s = to_odbc(v);
  store(i, SQL_C_TIME, &s, sizeof s, true);
}

void abs_d_query::set_par(int i, const d_date& v) {
  if (v.is_null()) return store_null(i);
  const DATE_STRUCT s = to_odbc(v);
  store(i, SQL_C_DATE, &s, sizeof s, true);
}

void abs_d_query::set_par(int i, const d_timestamp& v) {
  if (v.is_null()) return store_null(i);
  const TIMESTAMP_STRUCT s = to_odbc(v);
  store(i, SQL_C_TIMESTAMP, &s, sizeof s, true);
}

void abs_d_query::set_par(int i, const d_binary& v) {
  if (v.is_null()) return store_null(i);
  check_length(v.size());
  store(i, SQL_C_BINARY, v.data(), v.size(), false);
}

void abs_d_query::set_par(int i, const d_string& v) {
  if (v.is_null()) return store_null(i);
  check_length(v.size());
  store(i, c_type_of_kind(v.kind()), v.data(), v.size(), false);
}

void abs_d_query::set_par(int i) { store_null(i); }

// ---- Columns ----

bool d_seq_query::read_fixed(SQLSMALLINT c_type, void* buf, SQLLEN size) {
  column_info(next_col);  // refuses a column past the last
  SQLLEN ind = SQL_NULL_DATA;
  const SQLRETURN rc =
      driver().SQLGetData(statement, static_cast<SQLUSMALLINT>(next_col++), c_type, buf, size, &ind);
  return SQL_SUCCEEDED(rc) && ind != SQL_NULL_DATA;
}

void d_seq_query::read_pieces(SQLSMALLINT c_type, d_binary& v) {
  const auto& drv = driver();
  const auto col = static_cast<SQLUSMALLINT>(next_col++);
  char* const piece = piece_buf();
  SQLLEN ind = SQL_NULL_DATA;
  // Another piece follows while the driver answers SQL_SUCCESS with data.
  const auto next_piece = [&] {
    ind = SQL_NULL_DATA;
    return drv.SQLGetData(statement, col, c_type, piece, piece_size, &ind) == SQL_SUCCESS &&
           ind != SQL_NULL_DATA;
  };
  if (!next_piece()) return v.set_null();
  v.assign(piece, piece_length(ind));
  if (!next_piece()) return;
  // A value longer than one piece.
  std::string whole = v.bytes();
  do {
    whole.append(piece, piece_length(ind));
  } while (next_piece());
  v.assign(whole.data(), whole.size());
}

void d_seq_query::get_data(d_int* v) {
  SQLINTEGER x = 0;
  if (read_fixed(SQL_C_SLONG, &x, sizeof x))
    v->set(x);
  else
    v->set_null();
}

void d_seq_query::get_data(d_double* v) {
  SQLDOUBLE x = 0;
  if (read_fixed(SQL_C_DOUBLE, &x, sizeof x))
    v->set(x);
  else
    v->set_null();
}

void d_seq_query::get_data(d_time* v) {
  TIME_STRUCT s{};
  if (read_fixed(SQL_C_TIME, &s, sizeof s))
    from_odbc(s, *v);
  else
    v->set_null();
}

void d_seq_query::get_data(d_date* v) {
  DATE_STRUCT s{};
  if (read_fixed(SQL_C_DATE, &s, sizeof s))
    from_odbc(s, *v);
  else
    v->set_null();
}

void d_seq_query::get_data(d_timestamp* v) {
  TIMESTAMP_STRUCT s{};
  if (read_fixed(SQL_C_TIMESTAMP, &s, sizeof s))
    from_odbc(s, *v);
  else
    v->set_null();
}

void d_seq_query::get_data(d_binary* v) {
  column_info(next_col);
  read_pieces(SQL_C_BINARY, *v);
}

void d_seq_query::get_data(d_string* v, str_conv_t conv) {
  const column& c = column_info(next_col);
  const int kind = conv == str_uni || (conv == str_auto && is_wide(c.sql_type)) ? 2 : 0;
  if (v->kind() != kind) {
    static const unsigned short no_text = 0;
    if (kind == 2)
      v->assign(&no_text, 0);
    else
      *v = d_string();
  }
  read_pieces(kind == 2 ? SQL_C_WCHAR : SQL_C_CHAR, *v);
}
