// SQL statements over a connection's SQLite database, for the driver's ODBC
// functions.
//
// A statement is prepared from UTF-8 text of one of three forms:
// - plain SQL over the class tables (one statement);
// - the call escape "{ call <procedure>(?, ...) }", which runs the class
//   query whose stored procedure is <procedure> ("<table>_<query>") with
//   one '?' per declared parameter;
// - "{ ? = call %Library.CPPStoredProc_getQueryInfo(?, ?) }", the query
//   information call: given a class name and a query name it answers, as
//   list elements, a status (empty for success, else an error status), the
//   query's stored procedure name (text in the namespace's form) and its
//   parameter count. An unknown class is -1003, a class without that query
//   -1004.
//
// Columns and parameters are described by the kind of value they hold: a
// column by its declared type (the class tables' VARCHAR, INTEGER, DOUBLE,
// BOOLEAN, VARBINARY, DATE, TIME, TIMESTAMP, LONGVARCHAR, LONGVARBINARY, and
// SQLite's affinity rules for other names), an expression column by the
// type of its value in the first row (a read-only statement is stepped once
// at preparation with its parameters null; text when that tells nothing). A
// parameter of a class query has its declared type; a parameter of plain
// SQL the type of the column it is compared with, assigned to or inserted
// into, where the text shows one; otherwise none.
//
// - the user management calls "{ call %Torqa.AddUser(?, ?) }",
//   "{ call %Torqa.SetPassword(?, ?) }" and "{ call %Torqa.RemoveUser(?) }"
//   (users.h), run by execute with the bound parameters as text.
// - "{ call %Torqa.Schema() }": one row, one long text column "schema", the
//   namespace's schema as schema.tq holds it (so that a client of a daemon
//   can read what an embedded one reads from the directory).
//
// Client SQL may only read and write the classes' tables and call
// functions (see the authorizer in sql.cpp); each step of it is stopped
// past the namespace's time limit or memory limit.
//
// Failures throw server_error (err_malformed for a malformed call escape or
// an unknown procedure, err_storage for what SQLite refuses).
#pragma once

#include "server/errors.h"
#include "server/core/namespace.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace torqa::server {

/// The kind of value a column or parameter holds.
enum class sql_kind { integer, double_, text, long_text, binary, long_binary, date, time, timestamp };

/// The kind of a declared column type; `known` is false for an empty
/// declaration.
sql_kind decltype_kind(std::string_view decl, bool& known);

struct sql_column {
  std::string name;  ///< UTF-8
  sql_kind kind = sql_kind::text;
  int nullable = 2;  ///< 0 never null, 1 may be null, 2 not known
};

/// One value of the current row. `bytes` views memory of the statement,
/// valid until the next fetch, close or execute.
struct sql_value {
  enum type_t { null, integer, real, text, blob } type = null;
  std::int64_t i = 0;
  double d = 0;
  std::string_view bytes;
};

class sql_statement {
 public:
  enum class form { plain, call, query_info, user };

  /// Prepares `text` on `c`'s database.
  sql_statement(connection& c, std::string_view text);
  sql_statement(const sql_statement&) = delete;
  sql_statement& operator=(const sql_statement&) = delete;
  ~sql_statement();

  form kind() const { return form_; }
  bool unicode() const { return conn_.ns().unicode(); }
  const std::vector<sql_column>& columns() const { return columns_; }
  /// One kind per parameter, empty where the statement does not tell;
  /// parameter i is params()[i - 1].
  const std::vector<std::optional<sql_kind>>& params() const { return params_; }

  // A run (plain SQL and calls): close, bind every parameter (1-based),
  // execute, then fetch the rows.
  /// Ends the run: the statement stays prepared, its parameters unbound.
  void close();
  void bind_null(int i);
  void bind_int(int i, std::int64_t v);
  void bind_double(int i, double v);
  void bind_text(int i, std::string_view utf8);
  void bind_blob(int i, std::string_view bytes);
  /// Binds `v` by its type (one of the above).
  void bind(int i, const sql_value& v);
  /// Runs the statement: one that returns no rows is complete on return;
  /// the first row of one that does is held for fetch.
  void execute();
  /// Moves to the next row; false after the last (and from then on).
  bool fetch();
  /// Whether fetch has put the statement on a row.
  bool on_row() const { return state_ == state::on_row; }
  /// Column `i` (0-based) of the current row.
  sql_value value(int i) const;
  /// Rows the last execute inserted, updated or deleted.
  std::int64_t changes() const { return changes_; }

  /// The query information call's reply for class `cls`'s query
  /// `query_name`.
  std::string query_info(std::string_view cls, std::string_view query_name) const;

 private:
  enum class state { idle, first_row, on_row, done };
  class client_scope;

  struct finalizer {
    void operator()(sqlite3_stmt* st) const;
  };

  void prepare_sql(const std::string& sql);
  void describe_columns();
  void check(int rc) const;
  void run_user_call();
  /// Steps client SQL under the client's rules; a failure's error goes to
  /// `failed`.
  int client_step(std::optional<server_error>& failed);
  /// Replaces a stream column's marker by the stream's content.
  void stream_value(int i, sql_value& v) const;

  connection& conn_;
  form form_ = form::plain;
  std::unique_ptr<sqlite3_stmt, finalizer> st_;
  std::vector<sql_column> columns_;
  std::vector<std::optional<sql_kind>> params_;
  state state_ = state::idle;
  std::string procedure_;  ///< form::user: the procedure called
  bool schema_call_ = false;  ///< the schema call: execute binds the schema text
  std::int64_t changes_ = 0;
  mutable std::map<int, std::pair<std::int64_t, std::string>> streams_;  // by column: stream id, content
};

/// A column of a table as the database declares it.
struct table_column {
  std::string name;  ///< UTF-8
  std::string type;  ///< the declared type
  bool not_null = false;
};

/// The tables client SQL works on, in schema order: each persistent
/// class's table followed by the tables of its collection properties.
std::vector<std::string> client_tables(const schema& s);
/// The columns of table `table` in `c`'s database, in their order.
std::vector<table_column> table_columns(connection& c, const std::string& table);

/// Kinds of the parameters of plain SQL `sql` over `db` (`count` of them),
/// from the columns they are compared with, assigned to or inserted into.
std::vector<std::optional<sql_kind>> infer_param_kinds(sqlite3* db, std::string_view sql, int count);

}  // namespace torqa::server
