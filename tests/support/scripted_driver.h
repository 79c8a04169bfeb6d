// An in-process driver for tests, installed through the binding's driver
// seam. It records every call and request and plays back replies that the
// test scripts, split into chunks the test chooses. Text conversions are the
// real driver's. Any entry point can be made to fail.
//
// One scripted_driver at a time: constructing it installs it, destroying it
// restores the loaded driver.
#pragma once

#include <torqa/torqa.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace torqa::test {

/// One request as the driver received it.
struct request {
  std::string code;          ///< two-character request code
  std::string reserved;      ///< the 14 leading bytes
  std::string payload;       ///< everything after them
  unsigned announced = 0;    ///< payload length given to DrvBeginMessage
};

/// One chunk of a scripted reply.
struct chunk {
  std::string bytes;
  bool final = false;
};

class scripted_driver {
 public:
  scripted_driver();
  ~scripted_driver();
  scripted_driver(const scripted_driver&) = delete;
  scripted_driver& operator=(const scripted_driver&) = delete;

  /// Queues a reply for the next request not yet answered: `bytes` split at
  /// the given sizes (the rest is the last, final chunk; no sizes: one chunk).
  void reply(const std::string& bytes, const std::vector<std::size_t>& sizes = {});
  /// Queues a reply given chunk by chunk, exactly as the driver serves it.
  void reply_chunks(std::vector<chunk> chunks) { replies_.push_back(std::move(chunks)); }
  /// A reply served, without copying, to every request that finds no queued
  /// reply (for loops that measure steady-state requests).
  void repeat(const std::string& bytes, const std::vector<std::size_t>& sizes = {});

  /// False: calls, statement calls and requests are not recorded, so that
  /// serving a request allocates nothing in the driver itself.
  bool record = true;
  /// Called when a request has been sent, before its reply is read.
  std::function<void()> on_send;

  /// Makes entry point `name` return `code` from its `after`-th call on
  /// (counting from 0 from now), `times` times (-1: for ever).
  void fail(const std::string& name, int code, int after = 0, int times = -1) {
    failures_[name] = {code, after, times};
  }

  /// Every entry point called, in order ("SQLAllocEnv", "DrvConnect", ...).
  std::vector<std::string> calls;
  /// How many times an entry point was called.
  int count(const std::string& name) const;
  /// Requests sent, in order.
  std::vector<request> requests;
  /// Number of replies queued but not yet served.
  std::size_t pending_replies() const { return replies_.size(); }
  /// The six texts DrvConnect received, as UTF-8: three parts, user, password.
  std::vector<std::string> connect_args;
  /// Number of DrvReadChunk calls.
  int chunk_reads = 0;
  /// Texts given to SQLPrepare, as UTF-8.
  std::vector<std::string> prepared;

  // ---- The standard ODBC statement functions ----
  // Every statement describes and serves one scripted result:
  // SQLNumResultCols and SQLDescribeCol describe `columns`, SQLNumParams and
  // SQLDescribeParam describe `params`; SQLExecute starts `rows` over,
  // SQLFetch moves to the next row (SQL_NO_DATA after the last) and
  // SQLGetData serves its cells. Each statement handle keeps its own
  // parameter bindings, which SQLExecute reads as a driver would.

  /// A result column, as SQLDescribeCol reports it.
  struct sql_column {
    std::u16string name;
    SQLSMALLINT type = SQL_VARCHAR;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = SQL_NULLABLE;
  };
  /// A parameter, as SQLDescribeParam reports it.
  struct sql_param {
    SQLSMALLINT type = SQL_INTEGER;
    SQLULEN size = 10;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = SQL_NULLABLE;
  };
  /// A cell that SQLGetData serves, or a parameter value SQLExecute read.
  /// A cell is served as its bytes whatever C type is asked for: a
  /// fixed-size type in one call, text and binary in pieces that fill the
  /// caller's buffer, each returning SQL_SUCCESS with the bytes still to
  /// come as the indicator (SQL_NO_TOTAL instead, while more than a buffer
  /// remains, when `no_total`); the call after the last piece returns
  /// SQL_NO_DATA. An empty value is one piece of 0 bytes.
  struct sql_value {
    std::string bytes;
    bool null = false;
    bool no_total = false;
  };
  using sql_row = std::vector<sql_value>;
  /// One statement call and the arguments that apply to it.
  struct sql_call {
    std::string fn;  ///< "SQLBindParameter", "SQLGetData", ...
    SQLHSTMT stmt = nullptr;
    SQLUSMALLINT number = 0;  ///< column or parameter number; SQLFreeStmt's option
    SQLSMALLINT io = 0;       ///< SQLBindParameter's input/output type
    SQLSMALLINT c_type = 0;
    SQLSMALLINT sql_type = 0;
    SQLULEN size = 0;  ///< SQLBindParameter's column size
    SQLPOINTER buffer = nullptr;
    SQLLEN buffer_len = 0;
    SQLLEN* ind = nullptr;
    SQLLEN ind_value = 0;  ///< *ind when SQLBindParameter was called
  };
  /// The input parameter values one SQLExecute read, by parameter number.
  struct sql_execution {
    SQLHSTMT stmt = nullptr;
    std::map<int, sql_value> params{};
  };

  std::vector<sql_column> columns;
  std::vector<sql_param> params;
  std::vector<sql_row> rows;
  /// What SQLExecute writes through a statement's bound output parameter 1
  /// (the query-information reply), cut to the bound buffer; the indicator
  /// gets its whole length.
  std::string query_info;
  /// Statement calls in order, while `record`.
  std::vector<sql_call> sql_calls;
  /// Successful SQLExecute calls, while `record`.
  std::vector<sql_execution> executions;
  /// The calls of `fn` among sql_calls.
  std::vector<sql_call> sql_calls_of(const std::string& fn) const;

 private:
  friend struct entry_points;  // the driver table's functions
  struct failure {
    int code, after, times;
  };
  static std::vector<chunk> split(const std::string& bytes, const std::vector<std::size_t>& sizes);

  std::map<std::string, failure, std::less<>> failures_;
  std::deque<std::vector<chunk>> replies_;
  std::vector<chunk> current_;   // the queued reply being read
  std::vector<chunk> standing_;  // see repeat()
  const std::vector<chunk>* serving_ = &current_;
  std::size_t chunk_index_ = 0;         // next chunk header to serve
  const std::string* chunk_ = nullptr;  // data of the current chunk
  std::size_t chunk_pos_ = 0;           // bytes of it already read
  std::string pending_code_;
  unsigned pending_announced_ = 0;

  std::deque<std::map<SQLUSMALLINT, sql_call>> statements_;  // parameter bindings; handles are their addresses
  std::size_t fetched_ = 0;                                  // rows fetched since SQLExecute
  SQLUSMALLINT cell_col_ = 0;                                // column SQLGetData is serving
  std::size_t cell_pos_ = 0;                                 // bytes of it served
  bool cell_done_ = false;                                   // all of it served
};

// Building reply bytes.

/// Encodes values with a t_ostrstream: elems([](t_ostream& o){ o << 1; }).
std::string elems(const std::function<void(t_ostream&)>& write, bool uni_srv = false);
/// One type-1 element holding `data`.
std::string bytes_elem(const std::string& data);
/// An error record's bytes (the nested list: code, message, optional info).
std::string err_record(int code, const std::string& msg, const std::string& info = "");
/// A common reply head: result, error record, second error field, server
/// output, then `cache_section` raw (empty: none).
std::string common_reply(const std::string& result = "", const std::string& err = "",
                         const std::string& err_text = "", const std::string& output = "",
                         const std::string& cache_section = "");
/// A start-up ("B0") reply.
std::string startup_reply(bool ok = true, bool uni_srv = false, const char* srv_name = "TORQA");
/// Client 16-bit text from UTF-16 literal text.
std::vector<unsigned short> u16(const char16_t* s);
/// Bytes as "0A 0B ..." for readable failure messages.
std::string hex(const std::string& bytes);

}  // namespace torqa::test
