// The standard ODBC functions: handles for environments, connections and
// statements, and SQL statements over the connection's namespace database.
//
// How this driver differs from common ODBC habits on a connection opened by
// DrvConnect, as the binding relies on (connections opened by SQLConnect or
// SQLDriverConnect follow ODBC 3 instead: see odbc3.cpp): SQLPrepare takes 16-bit text (UTF-16 units, the length in characters or
// SQL_NTS); SQLDescribeCol writes the column name as 16-bit units into a
// buffer whose length counts units (a name that fills the buffer gets no
// terminating zero; one that does not fit is cut, not inside a surrogate
// pair, with SQL_SUCCESS_WITH_INFO); SQLGetData delivers character and
// binary data in pieces as sql_data.cpp describes.
//
// Handles are checked against the registry of live handles (handles.h): a
// freed or foreign pointer is SQL_INVALID_HANDLE. Environments, connections
// and statements keep one diagnostic record, read with SQLGetDiagRec: each call
// clears it, and a call that fails (SQL_ERROR) or warns
// (SQL_SUCCESS_WITH_INFO) leaves its SQLSTATE and message there.
//
// Statements: plain SQL over the class tables, "{ call <procedure>(?, ...) }"
// for class queries and the query information call (server/sql/sql.h).
// Parameters are bound by SQLBindParameter and read at SQLExecute; input
// parameters of the C types SQL_C_CHAR, SQL_C_WCHAR, SQL_C_BINARY,
// SQL_C_SLONG (SQL_C_LONG), SQL_C_SBIGINT, SQL_C_DOUBLE and the date, time
// and timestamp structures, with SQL_NULL_DATA for null and SQL_NTS for
// terminated text; the query information call writes its reply into its
// binary output parameter 1. SQLExecute runs the statement (a statement
// without rows is complete on return); SQLFetch answers SQL_SUCCESS for
// each row and SQL_NO_DATA after the last; executing again closes the
// previous result first. SQLFreeStmt with SQL_CLOSE closes the result and
// keeps the preparation and the bindings; SQL_RESET_PARAMS drops the
// bindings; SQL_UNBIND does nothing (columns are not bound); SQL_DROP frees
// the statement.
#include "odbc3.h"
#include "sql_data.h"

#include "server/wire/wire.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>

using namespace torqa;
using namespace torqa::driver;

TORQA_DRV_EXPORT SQLRETURN SQLAllocEnv(SQLHENV* out) {
  if (out == nullptr) return SQL_ERROR;
  *out = new env;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLAllocConnect(SQLHENV h, SQLHDBC* out) {
  if (out != nullptr) *out = SQL_NULL_HDBC;
  env* e = as_env(h);
  if (e == nullptr || out == nullptr) return SQL_INVALID_HANDLE;
  auto* d = new dbc;
  d->owner = e;
  e->connections.insert(d);
  *out = d;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLFreeConnect(SQLHDBC h) {
  dbc* d = as_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  d->owner->connections.erase(d);
  delete d;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLFreeEnv(SQLHENV h) {
  env* e = as_env(h);
  if (e == nullptr) return SQL_INVALID_HANDLE;
  e->diag.clear();
  if (!e->connections.empty()) return e->diag.set(SQL_ERROR, "HY010", "free the environment's connections first");
  delete e;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLAllocStmt(SQLHDBC h, SQLHSTMT* out) {
  if (out != nullptr) *out = SQL_NULL_HSTMT;
  dbc* d = as_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  d->diag.clear();
  if (out == nullptr) return d->diag.set(SQL_ERROR, "HY009", "no place for the statement handle");
  if (!d->sql) return d->diag.set(SQL_ERROR, "08003", "the connection is not open");
  auto* s = new stmt;
  s->owner = d;
  d->statements.insert(s);
  *out = s;
  return SQL_SUCCESS;
}

namespace {

/// Runs `f`; a failure that escapes it (server_error, bad_alloc) is
/// SQL_ERROR with a diagnostic (`state` for a server error, 08S01 for a
/// daemon connection that failed): nothing is thrown across the C
/// interface. A warning without a diagnostic of its own
/// gets 01S07 (a fraction dropped).
template <class F>
SQLRETURN guarded(diagnostic& d, const char* state, F&& f) {
  try {
    const SQLRETURN rc = f();
    if (rc == SQL_SUCCESS_WITH_INFO && d.state.empty()) d.set(rc, "01S07", "fractional part dropped");
    return rc;
  } catch (const link_failure& e) {
    return d.set(SQL_ERROR, "08S01", e.msg, e.code);
  } catch (const server::server_error& e) {
    return d.set(SQL_ERROR, state, e.msg, e.code);
  } catch (const std::bad_alloc&) {
    return d.set(SQL_ERROR, "HY001", "out of memory");
  } catch (...) {
    return d.set(SQL_ERROR, "HY000", "unexpected failure");
  }
}

/// The statement of a handle with its diagnostic cleared, or null.
stmt* begin_call(SQLHSTMT h) {
  stmt* s = as_stmt(h);
  if (s != nullptr) s->diag.clear();
  return s;
}

/// Stores a count of columns or parameters in `*count`.
SQLRETURN answer_count(stmt& s, SQLSMALLINT* count, std::size_t n) {
  if (count == nullptr) return s.diag.set(SQL_ERROR, "HY009", "no place for the count");
  *count = static_cast<SQLSMALLINT>(std::min<std::size_t>(n, SHRT_MAX));
  return SQL_SUCCESS;
}

/// SQL_ERROR for a statement that has no preparation.
SQLRETURN not_prepared(stmt& s) { return s.diag.set(SQL_ERROR, "HY010", "the statement is not prepared"); }

/// Ends the statement's current result, if any.
void close_result(stmt& s) {
  if (s.sql) s.sql->close();
  s.executed = false;
  s.piece.column = 0;
  s.pending.active = false;
}

SQLRETURN worst(SQLRETURN a, SQLRETURN b) { return a == SQL_SUCCESS ? b : a; }

/// The query information call: class and query names in parameters 2 and
/// 3, the reply into output parameter 1.
SQLRETURN query_info(stmt& s) {
  const auto& b = s.bindings;
  const auto out = b.find(1), cls = b.find(2), query = b.find(3);
  if (out == b.end() || cls == b.end() || query == b.end() || out->second.io == SQL_PARAM_INPUT ||
      cls->second.io == SQL_PARAM_OUTPUT || query->second.io == SQL_PARAM_OUTPUT)
    return s.diag.set(SQL_ERROR, "07002", "bind output parameter 1 and input parameters 2 and 3");
  std::string cls_name, query_name;
  if (input_text(cls->second, cls_name) != SQL_SUCCESS || input_text(query->second, query_name) != SQL_SUCCESS)
    return s.diag.set(SQL_ERROR, "22018", "the class and query names are character data");
  const SQLRETURN rc = write_output(out->second, s.sql->query_info(cls_name, query_name));
  if (rc == SQL_ERROR) return s.diag.set(rc, "HY090", "parameter 1 takes the reply as binary data");
  if (rc == SQL_SUCCESS_WITH_INFO) s.diag.set(rc, "01004", "the reply was cut to parameter 1's buffer");
  return rc;
}

}  // namespace

SQLRETURN torqa::driver::prepare(stmt& s, std::string utf8) {
  return guarded(s.diag, "42000", [&]() -> SQLRETURN {
    close_result(s);
    s.sql.reset();
    s.prepared = false;
    s.text = std::move(utf8);
    s.sql = s.owner->sql->prepare(s.text);
    s.prepared = true;
    return SQL_SUCCESS;
  });
}

TORQA_DRV_EXPORT SQLRETURN SQLPrepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER length) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  std::string utf8;
  // The binding gives 16-bit text, `length` counting characters.
  const SQLRETURN rc = s->owner->standard ? text_arg(s->diag, text, length, utf8)
                                          : text_arg(s->diag, reinterpret_cast<SQLWCHAR*>(text), length, utf8);
  return rc == SQL_SUCCESS ? prepare(*s, std::move(utf8)) : rc;
}

TORQA_DRV_EXPORT SQLRETURN SQLFreeStmt(SQLHSTMT h, SQLUSMALLINT option) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  switch (option) {
    case SQL_DROP:
      s->owner->statements.erase(s);
      delete s;
      return SQL_SUCCESS;
    case SQL_CLOSE:
      close_result(*s);
      return SQL_SUCCESS;
    case SQL_UNBIND:
      return SQL_SUCCESS;
    case SQL_RESET_PARAMS:
      s->bindings.clear();
      return SQL_SUCCESS;
    default:
      return s->diag.set(SQL_ERROR, "HY092", "unknown option " + std::to_string(option));
  }
}

TORQA_DRV_EXPORT SQLRETURN SQLNumResultCols(SQLHSTMT h, SQLSMALLINT* count) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (!s->sql) return not_prepared(*s);
  return answer_count(*s, count, s->sql->columns().size());
}

SQLRETURN torqa::driver::describe_column(stmt& s, SQLUSMALLINT column, name_form form, SQLPOINTER name,
                                         SQLSMALLINT capacity, SQLSMALLINT* name_length, SQLSMALLINT* type,
                                         SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  if (!s.sql) return not_prepared(s);
  if (column < 1 || column > s.sql->columns().size())
    return s.diag.set(SQL_ERROR, "07009", "no column " + std::to_string(column));
  if (capacity < 0) return s.diag.set(SQL_ERROR, "HY090", "negative buffer length");
  return guarded(s.diag, "HY000", [&]() -> SQLRETURN {
    const server::sql_column& c = s.sql->columns()[column - 1];
    if (type != nullptr) *type = sql_type_of(c.kind, s.sql->unicode());
    if (size != nullptr) *size = column_size_of(c.kind);
    if (digits != nullptr) *digits = 0;
    if (nullable != nullptr) *nullable = static_cast<SQLSMALLINT>(c.nullable);
    if (form != name_form::binding)
      return put_name(&s.diag, c.name, form == name_form::wide, true, name, capacity, name_length);
    const std::string units = server::utf8_to_utf16le(c.name);
    const std::size_t n = units.size() / 2;
    std::size_t copy = std::min(n, static_cast<std::size_t>(capacity));
    // A surrogate pair is not cut in two.
    if (copy > 0 && copy < n) {
      const auto last = static_cast<unsigned>(static_cast<unsigned char>(units[2 * copy - 1]));
      if (last >= 0xD8 && last <= 0xDB) --copy;
    }
    auto* out = static_cast<char*>(name);
    if (out != nullptr) {
      std::memcpy(out, units.data(), 2 * copy);
      if (copy < static_cast<std::size_t>(capacity)) std::memset(out + 2 * copy, 0, 2);
    }
    if (name_length != nullptr) *name_length = static_cast<SQLSMALLINT>(std::min<std::size_t>(n, SHRT_MAX));
    if (out != nullptr && copy < n) return s.diag.set(SQL_SUCCESS_WITH_INFO, "01004", "the column name was cut");
    return SQL_SUCCESS;
  });
}

TORQA_DRV_EXPORT SQLRETURN SQLDescribeCol(SQLHSTMT h, SQLUSMALLINT column, SQLCHAR* name, SQLSMALLINT capacity,
                                          SQLSMALLINT* name_length, SQLSMALLINT* type, SQLULEN* size,
                                          SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  // The binding takes the name as 16-bit units into `capacity` units.
  const name_form form = s->owner->standard ? name_form::narrow : name_form::binding;
  return describe_column(*s, column, form, name, capacity, name_length, type, size, digits, nullable);
}

TORQA_DRV_EXPORT SQLRETURN SQLNumParams(SQLHSTMT h, SQLSMALLINT* count) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (!s->sql) return not_prepared(*s);
  return answer_count(*s, count, s->sql->params().size());
}

TORQA_DRV_EXPORT SQLRETURN SQLDescribeParam(SQLHSTMT h, SQLUSMALLINT param, SQLSMALLINT* type, SQLULEN* size,
                                            SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (!s->sql) return not_prepared(*s);
  if (param < 1 || param > s->sql->params().size())
    return s->diag.set(SQL_ERROR, "07009", "no parameter " + std::to_string(param));
  // A parameter whose type the statement does not tell is described as text.
  const std::optional<server::sql_kind> k = s->sql->params()[param - 1];
  const bool reply = s->sql->kind() == statement_source::form::query_info && param == 1;
  if (type != nullptr) *type = k ? sql_type_of(*k, s->sql->unicode()) : SQL_VARCHAR;
  if (size != nullptr) *size = reply ? 32768 : column_size_of(k.value_or(server::sql_kind::text));
  if (digits != nullptr) *digits = 0;
  if (nullable != nullptr) *nullable = SQL_NULLABLE;
  return SQL_SUCCESS;
}

// A value is bound as its C type gives it (numbers as numbers, dates and
// times as their stored text); SQLite converts it to the type of the column
// it meets, so the SQL type is only checked.
TORQA_DRV_EXPORT SQLRETURN SQLBindParameter(SQLHSTMT h, SQLUSMALLINT param, SQLSMALLINT io, SQLSMALLINT c_type,
                                            SQLSMALLINT sql_type, SQLULEN, SQLSMALLINT, SQLPOINTER data,
                                            SQLLEN capacity, SQLLEN* ind) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (param < 1) return s->diag.set(SQL_ERROR, "07009", "parameters are numbered from 1");
  if (io != SQL_PARAM_INPUT && io != SQL_PARAM_OUTPUT && io != SQL_PARAM_INPUT_OUTPUT)
    return s->diag.set(SQL_ERROR, "HY105", "bad parameter direction");
  if (!known_c_type(c_type)) return s->diag.set(SQL_ERROR, "HY003", "unsupported C type " + std::to_string(c_type));
  if (!known_sql_type(sql_type))
    return s->diag.set(SQL_ERROR, "HY004", "unsupported SQL type " + std::to_string(sql_type));
  if (capacity < 0) return s->diag.set(SQL_ERROR, "HY090", "negative buffer length");
  if (data == nullptr && ind == nullptr) return s->diag.set(SQL_ERROR, "HY009", "neither a buffer nor an indicator");
  return guarded(s->diag, "HY000", [&]() -> SQLRETURN {
    s->bindings[param] = stmt::binding{io, c_type, data, capacity, ind};
    return SQL_SUCCESS;
  });
}

SQLRETURN torqa::driver::execute(stmt& s) {
  if (!s.sql) return not_prepared(s);
  statement_source& sql = *s.sql;
  stmt::data_at_exec& pending = s.pending;
  // The binding's connections take every value from its buffers.
  if (!pending.active && s.owner->standard && sql.kind() != statement_source::form::query_info) {
    pending.params.clear();
    for (const auto& [i, b] : s.bindings)
      if (i <= sql.params().size() && b.io != SQL_PARAM_OUTPUT && at_exec(b)) pending.params.push_back(i);
    if (!pending.params.empty()) {
      // SQLParamData and SQLPutData supply these values; the last SQLParamData runs the statement.
      close_result(s);
      pending.active = true;
      pending.asked = 0;
      pending.values.clear();
      return SQL_NEED_DATA;
    }
  }
  const bool supplied = pending.active;
  pending.active = false;
  return guarded(s.diag, "HY000", [&]() -> SQLRETURN {
    close_result(s);
    if (sql.kind() == statement_source::form::query_info) return query_info(s);
    SQLRETURN rc = SQL_SUCCESS;
    for (std::size_t i = 1; i <= sql.params().size(); ++i) {
      const auto b = s.bindings.find(static_cast<SQLUSMALLINT>(i));
      const std::string which = "parameter " + std::to_string(i);
      if (b == s.bindings.end() || b->second.io == SQL_PARAM_OUTPUT)
        return s.diag.set(SQL_ERROR, "07002", which + " is not bound as input");
      const bool put = supplied && pending.values.count(b->first) != 0;
      rc = worst(rc, put ? bind_supplied(sql, static_cast<int>(i), b->second.c_type, pending.values[b->first])
                         : bind_input(sql, static_cast<int>(i), b->second));
      if (rc == SQL_ERROR) {
        sql.close();
        return s.diag.set(rc, "22018", which + ": its value cannot be read as its C type");
      }
    }
    pending.values.clear();
    begin_work(*s.owner);
    sql.execute();
    s.executed = true;
    return rc;
  });
}

TORQA_DRV_EXPORT SQLRETURN SQLExecute(SQLHSTMT h) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  return execute(*s);
}

TORQA_DRV_EXPORT SQLRETURN SQLFetch(SQLHSTMT h) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (!s->sql || !s->executed) return s->diag.set(SQL_ERROR, "HY010", "the statement is not executed");
  if (s->sql->columns().empty()) return s->diag.set(SQL_ERROR, "24000", "the statement returns no rows");
  return guarded(s->diag, "HY000", [&]() -> SQLRETURN {
    s->piece.column = 0;
    return s->sql->fetch() ? SQL_SUCCESS : SQL_NO_DATA;
  });
}

TORQA_DRV_EXPORT SQLRETURN SQLGetData(SQLHSTMT h, SQLUSMALLINT column, SQLSMALLINT c_type, SQLPOINTER buf,
                                      SQLLEN capacity, SQLLEN* ind) {
  stmt* s = begin_call(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (!s->sql || !s->sql->on_row()) return s->diag.set(SQL_ERROR, "HY010", "the statement is not on a row");
  return guarded(s->diag, "HY000", [&]() -> SQLRETURN { return get_data(*s, column, c_type, buf, capacity, ind); });
}
