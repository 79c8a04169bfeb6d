// Query lifecycle: the statement on the session's connection, preparation of
// SQL text and of class queries, execution, fetching and closing.
#include <torqa/errors.h>
#include <torqa/query.h>
#include <torqa/session.h>

#include "transport/driver.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using torqa::detail::driver;

namespace {

// SQLNumParams counts parameters in a SQLSMALLINT.
constexpr int max_params = 32767;

// Size of the session's result buffer, the target of the
// query-information statement.
constexpr SQLLEN result_capacity = 32768;

SQLCHAR* sql_text(const unsigned short* text) {
  return reinterpret_cast<SQLCHAR*>(const_cast<unsigned short*>(text));
}

SQLPOINTER sql_ptr(const void* p) { return const_cast<void*>(p); }

std::size_t units(const unsigned short* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

void append(std::vector<unsigned short>& text, const char16_t* s) {
  for (; *s != 0; ++s) text.push_back(static_cast<unsigned short>(*s));
}

// Whether a driver call went through (a warning, or no rows to act on,
// included).
bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA; }

// The failure of driver call `fn` on statement `h`, which returned `rc`,
// with the driver's diagnostic when it has one.
Db_err failure_of(SQLRETURN rc, const char* fn, SQLHSTMT h) {
  Db_diag d = torqa::detail::diagnostic(SQL_HANDLE_STMT, h);
  Db_err e(d.native != 0 ? d.native : rc,
           d.text.empty() ? std::string(fn) + " failed with result " + std::to_string(rc) : d.text);
  e.diag = std::move(d);
  return e;
}

[[noreturn]] void out_of_range(const char* what, int i, int count) {
  throw Db_err(-1000, "no " + std::string(what) + " " + std::to_string(i) + " in the prepared statement (it has " +
                          std::to_string(count) + ")");
}

}  // namespace

abs_d_query::~abs_d_query() = default;

void abs_d_query::set_conn(Database* db) {
  database = db;
  if (driver().SQLAllocStmt(db->get_hdbc(), &statement) != SQL_SUCCESS) statement = nullptr;
}

void abs_d_query::release_conn() {
  if (statement != nullptr) driver().SQLFreeStmt(statement, SQL_DROP);
  statement = nullptr;
  database = nullptr;
}

void abs_d_query::note(SQLRETURN rc, const char* fn) {
  // The first failure says most: the calls after a failed SQLPrepare fail
  // only because of it.
  if (!succeeded(rc) && !last_failure.is_error()) last_failure = failure_of(rc, fn, statement);
}

void abs_d_query::prepare(const unsigned short* text, int length) {
  last_failure = Db_err();
  describe(text, length);
}

void abs_d_query::describe(const unsigned short* text, int length) {
  const auto& drv = driver();
  // The driver must not keep the buffers of the entries freed below.
  if (npars > 0) drv.SQLFreeStmt(statement, SQL_RESET_PARAMS);
  note(drv.SQLPrepare(statement, sql_text(text), length), "SQLPrepare");
  next_col = 1;

  SQLSMALLINT n = 0;
  note(drv.SQLNumResultCols(statement, &n), "SQLNumResultCols");
  cols.assign(n > 0 ? n + 1 : 1, column{});
  for (std::size_t i = 1; i < cols.size(); ++i) {
    column& c = cols[i];
    note(drv.SQLDescribeCol(statement, static_cast<SQLUSMALLINT>(i), reinterpret_cast<SQLCHAR*>(c.name), 256,
                            &c.name_len, &c.sql_type, &c.size, &c.digits, &c.nullable),
         "SQLDescribeCol");
  }

  SQLSMALLINT m = 0;
  note(drv.SQLNumParams(statement, &m), "SQLNumParams");
  npars = 0;
  pars = std::make_unique<param[]>(m > 0 ? m : 0);
  npars = m > 0 ? m : 0;
  for (int j = 0; j < npars; ++j) {
    param& e = pars[j];
    note(drv.SQLDescribeParam(statement, static_cast<SQLUSMALLINT>(j + 1), &e.sql_type, &e.size, &e.digits,
                              &e.nullable),
         "SQLDescribeParam");
  }
}

void abs_d_query::prepare(const unsigned short* cls, const unsigned short* query) {
  if (database == nullptr) throw Db_err(-1000, "query is not attached to a session");
  const auto& drv = driver();
  SQLHSTMT info = database->get_hstmt();
  char* result = database->get_result_buf();
  const SQLSMALLINT text_type = database->is_uni_srv() ? SQL_WCHAR : SQL_CHAR;
  SQLLEN reply_len = 0;
  SQLLEN cls_len = static_cast<SQLLEN>(2 * units(cls));
  SQLLEN query_len = static_cast<SQLLEN>(2 * units(query));
  drv.SQLBindParameter(info, 1, SQL_PARAM_OUTPUT, SQL_C_BINARY, SQL_BINARY, result_capacity, 0, result,
                       result_capacity, &reply_len);
  drv.SQLBindParameter(info, 2, SQL_PARAM_INPUT, SQL_C_WCHAR, text_type, cls_len, 0, sql_ptr(cls), cls_len, &cls_len);
  drv.SQLBindParameter(info, 3, SQL_PARAM_INPUT, SQL_C_WCHAR, text_type, query_len, 0, sql_ptr(query), query_len,
                       &query_len);
  // A failed run of the query-information statement explains the failed
  // preparation that follows it better than that preparation can.
  const SQLRETURN info_rc = drv.SQLExecute(info);
  Db_err info_failure;
  if (!succeeded(info_rc)) info_failure = failure_of(info_rc, "SQLExecute", info);

  // The reply: status, stored procedure name, parameter count.
  const SQLLEN n = reply_len < 0 ? 0 : std::min(reply_len, result_capacity);
  t_istrstream& reply = database->get_reply();
  reply.reset(result, static_cast<int>(n));
  reply.use_list_fmt();
  d_status status;
  status.get(reply, database);
  if (status.get_code() != 0) throw Db_err(status.get_code(), status.get_msg().mb_str());
  d_string proc;
  proc.get(reply, database);
  d_int count;
  count.get(reply, database);
  prepare_call(proc, count.value());
  if (info_failure.is_error()) last_failure = std::move(info_failure);
}

void abs_d_query::prepare_call(const d_string& proc, int n) {
  if (n < 0 || n > max_params) throw Db_err(-1000, "parameter count out of range: " + std::to_string(n));
  d_string name = proc;
  name.to_uni();
  std::vector<unsigned short> text;
  text.reserve(16 + name.size() / 2 + 3 * static_cast<std::size_t>(n));
  append(text, u"{ call ");
  const std::size_t at = text.size();
  text.resize(at + name.size() / 2);
  std::memcpy(text.data() + at, name.data(), 2 * (name.size() / 2));
  append(text, u"(");
  for (int i = 0; i < n; ++i) append(text, i == 0 ? u"?" : u", ?");
  append(text, u") }");
  prepare(text.data(), static_cast<int>(text.size()));
}

void abs_d_query::execute() {
  last_failure = Db_err();
  note(driver().SQLExecute(statement), "SQLExecute");
  next_col = 1;
}

bool abs_d_query::fetch() {
  next_col = 1;
  if (last_failure.is_error()) last_failure = Db_err();
  const SQLRETURN rc = driver().SQLFetch(statement);
  // Rows ended by a warning are rows lost: a failure too.
  if (rc != SQL_SUCCESS && rc != SQL_NO_DATA) last_failure = failure_of(rc, "SQLFetch", statement);
  return rc == SQL_SUCCESS;
}

bool abs_d_query::close() { return driver().SQLFreeStmt(statement, SQL_CLOSE) == SQL_SUCCESS; }

const abs_d_query::column& abs_d_query::column_info(int i) const {
  if (i < 1 || i > column_count()) out_of_range("column", i, column_count());
  return cols[static_cast<std::size_t>(i)];
}

const abs_d_query::param& abs_d_query::param_info(int i) const {
  if (i < 1 || i > npars) out_of_range("parameter", i, npars);
  return pars[static_cast<std::size_t>(i - 1)];
}

abs_d_query::param& abs_d_query::par(int i) { return const_cast<param&>(param_info(i)); }

// ---- d_seq_query ----

d_seq_query::d_seq_query(Database& db) { set_conn(&db); }

d_seq_query::~d_seq_query() { release_conn(); }
