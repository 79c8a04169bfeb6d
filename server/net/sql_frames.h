// The bodies of the SQL frames: statements prepared on the daemon, run
// with typed parameters, and their rows fetched in batches. The layouts are
// in server/PROTOCOL.md. Readers take hostile bytes: they answer false (or
// step::malformed) for anything that does not hold its fields, and views
// they give point into the body they read.
#pragma once

#include "frame.h"

#include "server/sql/sql.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::net {

/// Statements a connection may hold prepared on the daemon.
inline constexpr std::uint32_t max_statements = 256;
/// A run's first batch ends after batch_first_rows rows, each next one after
/// twice as many as the last, up to batch_rows; any batch ends after the
/// row that takes it to batch_bytes. A row longer than max_row_bytes is
/// refused: with that, a batch and the answer around it always fit a frame.
inline constexpr std::size_t batch_first_rows = 512;
inline constexpr std::size_t batch_rows = 65536;
inline constexpr std::size_t batch_bytes = 1u << 20;
inline constexpr std::size_t max_row_bytes = (15u << 20) - 4096;

/// A prepared statement as the daemon describes it.
struct sql_description {
  std::uint32_t statement = 0;
  server::sql_statement::form form = server::sql_statement::form::plain;
  bool unicode = false;
  std::vector<server::sql_column> columns;
  std::vector<std::optional<server::sql_kind>> params;  ///< empty: not told
};
std::string description_body(const sql_description& d);
bool read_description(std::string_view body, sql_description& d);

/// A value: its type (sql_value::type_t), then 8 bytes for an integer (two's
/// complement) or a real (its IEEE 754 bits), a str for text or a blob.
void put_value(std::string& out, const server::sql_value& v);
bool read_value(body_reader& r, server::sql_value& v);

/// An execute request: the statement and its parameters 1..n.
std::string execute_body(std::uint32_t statement, const std::vector<server::sql_value>& params);
bool read_execute(std::string_view body, std::uint32_t& statement, std::vector<server::sql_value>& params);

/// How a batch of rows ends.
enum class batch_end : std::uint8_t { more, done, failed };

/// Appends a batch to a body: a row count, how it ends, the rows, and for a
/// failure its code and message.
class batch_writer {
 public:
  explicit batch_writer(std::string& out);
  /// Where a row's values are put, one after the other; row_done() counts
  /// the row once they are.
  std::string& body() { return out_; }
  void row_done() { ++rows_; }
  std::size_t rows() const { return rows_; }
  /// The batch's bytes so far.
  std::size_t size() const { return out_.size() - start_; }
  /// Ends the batch; `code` and `msg` are the failure's.
  void finish(batch_end end, int code = 0, std::string_view msg = {});

 private:
  std::string& out_;
  std::size_t start_;
  std::uint32_t rows_ = 0;
};

/// Reads a batch row by row.
class batch_reader {
 public:
  /// Starts on a batch of rows of `columns` values, setting `end`; false
  /// when its head is malformed or its count cannot be right.
  bool start(std::string_view batch, std::size_t columns);
  enum class step { row, end, malformed };
  /// The next row into `row` (resized to the column count), or the end
  /// (then `code` and `message` for a failure).
  step next(std::vector<server::sql_value>& row);

  batch_end end = batch_end::done;
  int code = 0;
  std::string_view message;

 private:
  body_reader r_{{}};
  std::uint32_t left_ = 0;
  std::size_t columns_ = 0;
};

/// Transaction requests, and the state the daemon answers after one.
enum class transaction_op : std::uint8_t { state, begin, commit, rollback };
enum class transaction_answer : std::uint8_t { none, sql, objects };

/// A table of the catalog: its name and (when asked for) its columns.
struct sql_table {
  std::string name;
  std::vector<server::table_column> columns;
};
std::string tables_body(const std::vector<sql_table>& tables);
bool read_tables(std::string_view body, std::vector<sql_table>& tables);

}  // namespace torqa::net
