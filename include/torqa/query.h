// SQL queries on a session's connection, through the driver's standard ODBC
// interface.
//
// abs_d_query holds one ODBC statement: it prepares SQL text or a class
// query (a query defined in a server class and run through its stored
// procedure), gives the parameters typed values, executes and fetches rows.
// d_seq_query reads the columns of the current row in order.
//
// Calling order: prepare; then for each run set_par for every parameter,
// execute, fetch and get_data until fetch is false, close. A new prepare
// may follow close. prepare, set_par and execute throw no driver failure:
// they show as fetch returning false or as null column values, and
// failed()/last_err() tell whether the last prepare, execute or fetch failed
// and the driver's reason (an extension). The library's own refusals (a
// parameter or column number out of range, a value too long) are thrown as
// Db_err -1000 before anything changes.
//
// Threads: a query belongs to the thread of its Database (one thread at a
// time): class queries use the session's query-information statement,
// result buffer and reply stream. Column data is read through a piece
// buffer of the calling thread, so queries of separate sessions may run on
// separate threads.
#pragma once

#include <torqa/datetime.h>
#include <torqa/errors.h>
#include <torqa/export.h>
#include <torqa/types.h>

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <memory>
#include <vector>

class Database;

/// How get_data(d_string*, str_conv_t) delivers text.
enum str_conv_t {
  str_mb = 0,    ///< 8-bit text (kind 0), read as SQL_C_CHAR
  str_uni = 1,   ///< client 16-bit text (kind 2), read as SQL_C_WCHAR
  str_auto = 2,  ///< 16-bit for SQL_WCHAR, SQL_WVARCHAR and SQL_WLONGVARCHAR columns, else 8-bit
};

/// Base of SQL queries: one ODBC statement on a session's connection.
class TORQA_API abs_d_query {
 public:
  /// A result column as the driver described it at prepare.
  struct column {
    unsigned short name[256];  ///< 16-bit text; the first min(name_len, 256) units are the name
    SQLSMALLINT name_len;      ///< the name's length in characters, as the driver reported it
    SQLSMALLINT sql_type;      ///< ODBC SQL type code
    SQLULEN size;              ///< column size
    SQLSMALLINT digits;        ///< decimal digits
    SQLSMALLINT nullable;      ///< SQL_NO_NULLS, SQL_NULLABLE or SQL_NULLABLE_UNKNOWN
  };

  /// Values of up to this many bytes are held inside the parameter entry.
  static constexpr std::size_t inline_capacity = 100;

  /// A parameter of the prepared statement and the value it holds. The
  /// driver keeps the addresses of the data buffer and of `len` from one
  /// binding to the next, so entries never move while the statement is
  /// prepared.
  struct param {
    param() = default;
    param(const param&) = delete;
    param& operator=(const param&) = delete;

    SQLSMALLINT sql_type = 0;          ///< as described at prepare
    SQLSMALLINT c_type = SQL_C_SLONG;  ///< C type of the value now held
    SQLULEN size = 0;                  ///< column size, as described
    SQLSMALLINT digits = 0;            ///< decimal digits, as described
    SQLSMALLINT nullable = 0;          ///< as described
    bool needs_binding = true;         ///< must be bound before the next execute
    SQLLEN len = 4;                    ///< the value's byte length, or SQL_NULL_DATA
    std::unique_ptr<char[]> heap;      ///< buffer of values too long for the inline one
    std::size_t heap_capacity = 0;     ///< its size in bytes
    alignas(double) char inline_buf[inline_capacity];

    /// Whether `c_type` is a variable-length type (text or binary).
    bool var_length() const { return c_type == SQL_C_CHAR || c_type == SQL_C_WCHAR || c_type == SQL_C_BINARY; }
    /// The buffer given to the driver for the value now held: the heap
    /// buffer for a variable-length value once there is one, else the
    /// inline buffer.
    char* data() { return var_length() && heap ? heap.get() : inline_buf; }
    /// That buffer's size in bytes.
    std::size_t data_capacity() const { return var_length() && heap ? heap_capacity : inline_capacity; }
  };

  abs_d_query(const abs_d_query&) = delete;
  abs_d_query& operator=(const abs_d_query&) = delete;

  /// Prepares SQL `text` of `length` 16-bit characters (SQL_NTS: up to a
  /// zero unit) and describes its columns and parameters. The parameter
  /// entries start over: every parameter is to be set before execute.
  void prepare(const unsigned short* text, int length);
  /// Prepares query `query` of server class `cls` (zero-terminated): asks
  /// the server for its stored procedure through the session's
  /// query-information statement, then prepare_call. A failure the server
  /// reports is thrown as Db_err with the server's code and message; the
  /// query keeps its previous preparation. The session's reply stream is
  /// left over the query-information reply.
  void prepare(const unsigned short* cls, const unsigned short* query);
  /// Prepares "{ call <proc>(?, ?, ...) }" with `n` parameter markers
  /// ("{ call <proc>() }" for none). n outside 0..32767: Db_err -1000.
  void prepare_call(const d_string& proc, int n);

  /// Runs the prepared statement with the parameter values set.
  void execute();
  /// Moves to the next row: true only when the driver returns SQL_SUCCESS;
  /// anything else (SQL_SUCCESS_WITH_INFO included) ends the rows.
  bool fetch();
  /// Closes the open result; the statement stays prepared. True on success.
  bool close();

  /// Whether the last prepare, execute or fetch failed: the driver refused
  /// the statement, its run, or ended the rows for another reason than
  /// their end.
  bool failed() const { return last_failure.is_error(); }
  /// That failure (code 0 when there is none): code is the driver's native
  /// code (the server's error code), or the driver's result when it gave
  /// none; msg the driver's message; diag its whole diagnostic. A driver
  /// without SQLGetDiagRec gives the failed call and its result instead.
  const Db_err& last_err() const { return last_failure; }

  // Parameter values; `i` is the parameter number, 1 to param_count(), any
  // other number throws Db_err -1000. The value is copied into the entry:
  // up to inline_capacity bytes inside it, longer ones into a heap buffer
  // that grows to twice the size needed and then takes every text or
  // binary value of the parameter. A parameter is bound again only when its
  // C type or its buffer changes. Null values (and set_par(i)) send
  // SQL_NULL_DATA, keeping the C type and the buffer.
  void set_par(int i, int v);
  void set_par(int i, double v);
  /// `n` bytes of 8-bit text (SQL_C_CHAR), no terminator added.
  void set_par(int i, const char* s, unsigned short n);
  /// `n` characters of 16-bit text (SQL_C_WCHAR), 2 x n bytes.
  void set_par(int i, const unsigned short* s, unsigned short n);
  void set_par(int i, const d_int& v);
  void set_par(int i, const d_double& v);
  void set_par(int i, const d_time& v);
  void set_par(int i, const d_date& v);
  void set_par(int i, const d_timestamp& v);
  /// SQL_C_BINARY; more than 65535 bytes: Db_err -1000.
  void set_par(int i, const d_binary& v);
  /// Kind 0 as SQL_C_CHAR, kinds 1 and 2 as SQL_C_WCHAR (the bytes as
  /// held), any other kind as SQL_C_BINARY; more than 65535 bytes: Db_err
  /// -1000.
  void set_par(int i, const d_string& v);
  /// Sends null: SQL_NULL_DATA with the parameter's current C type. A
  /// parameter not yet bound since prepare is bound here with that type.
  void set_par(int i);

  /// Columns of the prepared statement, numbered 1 to column_count().
  int column_count() const { return cols.empty() ? 0 : static_cast<int>(cols.size()) - 1; }
  /// Column `i`'s description; Db_err -1000 when there is no column `i`.
  const column& column_info(int i) const;
  /// Parameters of the prepared statement, numbered 1 to param_count().
  int param_count() const { return npars; }
  /// Parameter `i`'s entry; Db_err -1000 when there is no parameter `i`.
  const param& param_info(int i) const;

 protected:
  abs_d_query() = default;
  ~abs_d_query();

  /// Attaches the query to `db` and allocates its statement on db's
  /// connection. Called once, before anything else.
  void set_conn(Database* db);
  /// Drops the statement and detaches the query; again: nothing.
  void release_conn();

  param& par(int i);

  SQLHSTMT statement = nullptr;
  Database* database = nullptr;
  /// Indexed by column number; entry 0 is never filled.
  std::vector<column> cols;
  std::unique_ptr<param[]> pars;
  int npars = 0;
  /// The column d_seq_query's next get_data reads; prepare, execute and
  /// fetch set it back to 1.
  int next_col = 1;

 private:
  void store(int i, SQLSMALLINT c_type, const void* data, std::size_t n, bool fixed_size);
  void store_null(int i);
  void bind(int i, param& e);
  void describe(const unsigned short* text, int length);
  /// Keeps the failure of statement call `fn`, unless one is kept already.
  void note(SQLRETURN rc, const char* fn);

  Db_err last_failure;  // the failure of the last prepare, execute or fetch
};

/// A query whose columns are read in order, one get_data per column.
///
/// Each get_data reads the next column of the current row and moves on
/// (also when the column is null); reading past the last column throws
/// Db_err -1000 without moving. Fixed-size values become null when the
/// column is null or the driver fails to deliver them. Text and binary
/// columns are read whole, in pieces of up to 32768 bytes, while the driver
/// answers SQL_SUCCESS; a piece whose length it cannot tell (SQL_NO_TOTAL)
/// is a full one. A failure at the first piece makes the value null, a
/// later one keeps the pieces read.
class TORQA_API d_seq_query : public abs_d_query {
 public:
  /// Attaches the query to `db`; `db` must outlive it.
  explicit d_seq_query(Database& db);
  /// Drops the statement.
  ~d_seq_query();

  void get_data(d_int* v);
  void get_data(d_double* v);
  /// Sets hours, minutes and seconds; the other record members are kept.
  void get_data(d_time* v);
  /// Sets year, month and day; the other record members are kept.
  void get_data(d_date* v);
  /// Sets the date and the time of day; the fraction is not kept, the
  /// other record members are.
  void get_data(d_timestamp* v);
  void get_data(d_binary* v);
  /// The text, of the kind `conv` asks for.
  void get_data(d_string* v, str_conv_t conv);

 private:
  bool read_fixed(SQLSMALLINT c_type, void* buf, SQLLEN size);
  void read_pieces(SQLSMALLINT c_type, d_binary& v);
};

// Conversions between the calendar values and the ODBC structures, member
// by member (month 1-12 in the structures, 0-11 in the records; years
// counted from 1900 in the records). The null flag is not looked at by
// to_odbc; from_odbc makes the value non-null and keeps the members the
// structure does not carry.
TORQA_API DATE_STRUCT to_odbc(const d_date& d);
TORQA_API TIME_STRUCT to_odbc(const d_time& t);
/// The fraction is 0.
TORQA_API TIMESTAMP_STRUCT to_odbc(const d_timestamp& t);
TORQA_API void from_odbc(const DATE_STRUCT& s, d_date& d);
TORQA_API void from_odbc(const TIME_STRUCT& s, d_time& t);
/// The fraction is not kept.
TORQA_API void from_odbc(const TIMESTAMP_STRUCT& s, d_timestamp& t);
