// What the standard ODBC 3 entry points share with the binding's: text
// arguments and results in the caller's form, and the steps of a
// statement's life.
//
// Text results follow ODBC 3: written terminated by a zero unit, cut (not
// inside a character) to the buffer, with the whole length reported and
// SQL_SUCCESS_WITH_INFO when cut. 8-bit text is UTF-8, 16-bit text UTF-16.
#pragma once

#include "handles.h"

#include <optional>
#include <string>
#include <string_view>

namespace torqa::driver {

/// An input text argument as UTF-8: 8-bit text as it is, 16-bit text
/// converted; `length` counts bytes or 16-bit units, or is SQL_NTS. HY009
/// for a null pointer, HY090 for a bad length.
SQLRETURN text_arg(diagnostic& d, const SQLCHAR* text, SQLINTEGER length, std::string& utf8);
SQLRETURN text_arg(diagnostic& d, const SQLWCHAR* text, SQLINTEGER length, std::string& utf8);

/// Writes `utf8` into a buffer of `capacity` bytes, as UTF-8 or (`wide`)
/// UTF-16, terminated. `*total` (when given) gets the whole length in
/// bytes. A null buffer only measures. SQL_SUCCESS_WITH_INFO when cut.
SQLRETURN put_text(std::string_view utf8, bool wide, SQLPOINTER buf, SQLLEN capacity, SQLLEN* total);

/// put_text for a result whose buffer length and reported length are
/// SQLSMALLINT counts: of bytes, or of 16-bit units when `wide` and
/// `in_units` (as SQLDescribeColW and SQLGetDiagRecW count). Records 01004
/// on `d` (when given) when cut.
SQLRETURN put_name(diagnostic* d, std::string_view utf8, bool wide, bool in_units, SQLPOINTER buf,
                   SQLSMALLINT capacity, SQLSMALLINT* length);

/// Prepares UTF-8 statement text on the statement, closing what it held.
SQLRETURN prepare(stmt& s, std::string utf8);
/// Runs the prepared statement with its bound parameters.
SQLRETURN execute(stmt& s);
/// Prepares and runs UTF-8 text.
SQLRETURN exec_direct(stmt& s, std::string utf8);

/// How SQLDescribeCol writes a name: the binding's 16-bit form (no
/// terminator when the name fills the buffer), or standard 8-bit or 16-bit
/// text.
enum class name_form { binding, narrow, wide };
SQLRETURN describe_column(stmt& s, SQLUSMALLINT column, name_form form, SQLPOINTER name, SQLSMALLINT capacity,
                          SQLSMALLINT* name_length, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                          SQLSMALLINT* nullable);

/// Opens the server connection of `d` to the connection string's parts
/// (UTF-8). 0, or the server's error code with the diagnostic set.
int open_server(dbc& d, const std::string& host, const std::string& options, const std::string& path,
                const std::string& user, const std::string& password);

/// Starts the transaction a connection in manual-commit mode works in,
/// when none is open.
void begin_work(dbc& d);

}  // namespace torqa::driver
