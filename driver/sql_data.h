// Values between the caller's ODBC buffers and SQL statements: parameter
// values read at SQLExecute, the query information call's output, column
// data for SQLGetData, and the ODBC types that describe columns.
#pragma once

#include "handles.h"

#include <optional>
#include <string>

namespace torqa::driver {

/// The ODBC SQL type of a kind of value (16-bit text types in a 16-bit
/// namespace).
SQLSMALLINT sql_type_of(server::sql_kind k, bool unicode);
/// The column size reported for a kind of value.
SQLULEN column_size_of(server::sql_kind k);

/// What catalog results and column attributes tell of an ODBC SQL type.
struct type_facts {
  const char* name;        ///< the type's name, as class tables declare it
  SQLSMALLINT verbose;     ///< SQL_DATETIME for dates and times, else the type
  SQLSMALLINT subcode;     ///< the datetime subcode, or 0
  SQLSMALLINT radix;       ///< 10 or 2 for numbers, else 0
  long long octets;        ///< the size of a fixed-size value in bytes, 0 for character and binary data
  bool numeric, text, binary;
};
type_facts facts_of(SQLSMALLINT sql_type);

/// Whether parameters and columns can be exchanged as this C type.
bool known_c_type(SQLSMALLINT c_type);
/// Whether this is an SQL type a parameter can be bound as.
bool known_sql_type(SQLSMALLINT sql_type);

/// Reads input parameter `i`'s value from its buffers and binds it to the
/// statement. SQL_SUCCESS_WITH_INFO when a timestamp's fraction was dropped.
SQLRETURN bind_input(statement_source& sql, int i, const stmt::binding& b);
/// Whether a parameter's value is supplied by SQLPutData at execution.
bool at_exec(const stmt::binding& b);
/// Binds a value supplied by SQLPutData as its C type gives it: character
/// data (SQL_C_CHAR, SQL_C_WCHAR) or binary data; empty is null.
SQLRETURN bind_supplied(statement_source& sql, int i, SQLSMALLINT c_type, const std::optional<std::string>& v);
/// The text of a character input parameter (SQL_C_CHAR or SQL_C_WCHAR) as
/// UTF-8; a null value is empty.
SQLRETURN input_text(const stmt::binding& b, std::string& utf8);
/// Writes `bytes` into a binary output parameter, as much as its buffer
/// holds; its indicator gets the whole length. SQL_SUCCESS_WITH_INFO when
/// cut.
SQLRETURN write_output(const stmt::binding& b, std::string_view bytes);

/// SQLGetData on the statement's current row: fixed-size types once,
/// character and binary data in pieces (see odbc.cpp).
SQLRETURN get_data(stmt& s, SQLUSMALLINT column, SQLSMALLINT c_type, SQLPOINTER buf, SQLLEN capacity, SQLLEN* ind);

}  // namespace torqa::driver
