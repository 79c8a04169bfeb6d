// Where a connection's SQL runs: the ODBC functions reach the SQL engine
// only through these, so that a statement behaves the same whether the
// engine is embedded in this process (local_sql) or a daemon's across a
// connection (remote_sql, whose protocol is in server/PROTOCOL.md).
//
// Failures throw server_error, with the engine's code and message: the
// ODBC functions turn them into diagnostics alike for both.
#pragma once

#include "server/sql/sql.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::net {
class remote_connection;
}

namespace torqa::driver {

/// The connection to a daemon failed: ODBC's communication link failure
/// (08S01). The connection stays failed.
struct link_failure : server::server_error {
  using server::server_error::server_error;
};

/// A prepared statement (as server::sql_statement describes one): its
/// description, kept here for the ODBC functions to read at no cost, its
/// runs and the values of its current row.
class statement_source {
 public:
  using form = server::sql_statement::form;

  virtual ~statement_source() = default;
  form kind() const { return form_; }
  bool unicode() const { return unicode_; }
  const std::vector<server::sql_column>& columns() const { return columns_; }
  /// One kind per parameter, empty where the statement does not tell.
  const std::vector<std::optional<server::sql_kind>>& params() const { return params_; }

  /// Ends the run; the statement stays prepared, its parameters unbound.
  virtual void close() = 0;
  /// Binds parameter `i` (1-based) to `v`, whose bytes are copied or used
  /// before this returns.
  virtual void bind(int i, const server::sql_value& v) = 0;
  /// Runs the statement with its bound parameters.
  virtual void execute() = 0;
  /// Moves to the next row; false after the last.
  virtual bool fetch() = 0;
  virtual bool on_row() const = 0;
  /// Column `i` (0-based) of the current row; its bytes stay valid until
  /// the next fetch, close or execute.
  virtual server::sql_value value(int i) const = 0;
  /// Rows the last execute inserted, updated or deleted.
  virtual std::int64_t changes() const = 0;
  /// The query information call's reply.
  virtual std::string query_info(std::string_view cls, std::string_view query_name) = 0;

 protected:
  statement_source(form f, bool unicode, std::vector<server::sql_column> columns,
                   std::vector<std::optional<server::sql_kind>> params)
      : form_(f), unicode_(unicode), columns_(std::move(columns)), params_(std::move(params)) {}

 private:
  form form_;
  bool unicode_;
  std::vector<server::sql_column> columns_;
  std::vector<std::optional<server::sql_kind>> params_;
};

/// A table client SQL works on, and its columns when they were asked for.
struct catalog_table {
  std::string name;
  std::vector<server::table_column> columns;
};

/// Whether a connection's database is in a transaction, and whose.
enum class transaction_state : std::uint8_t {
  none,
  sql,      ///< begun by client SQL or begin(): SQLEndTran ends it
  objects,  ///< an object transaction of one of the connection's sessions
};

/// A connection's SQL side.
class sql_source {
 public:
  virtual ~sql_source() = default;
  virtual std::unique_ptr<statement_source> prepare(std::string_view utf8) = 0;

  virtual transaction_state transaction() = 0;
  /// Starts a transaction.
  virtual void begin() = 0;
  /// Commits or rolls back the transaction client SQL works in.
  virtual void end(bool commit) = 0;

  /// The tables of the catalog functions, in schema order.
  virtual std::vector<catalog_table> catalog(bool with_columns) = 0;
  /// Whether the namespace uses 16-bit text.
  virtual bool unicode() = 0;
  /// For SQLGetInfo: where the server is, the namespace, the user.
  virtual std::string server_name() const = 0;
  virtual std::string database_name() const = 0;
  virtual std::string user() const = 0;
};

/// The embedded server's connection `c`.
std::unique_ptr<sql_source> local_sql(server::connection& c);
/// A daemon's connection `c`, to namespace `name` on `host` as `user`.
std::unique_ptr<sql_source> remote_sql(net::remote_connection& c, std::string host, std::string name, std::string user);

}  // namespace torqa::driver
