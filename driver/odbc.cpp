// The standard ODBC functions: handles for environments, connections and
// statements. Statements are recorded when prepared; executing them is not
// available yet, and those functions fail with SQL_ERROR.
#include "handles.h"

#include <sqlext.h>

namespace torqa::driver {

namespace {

template <class T>
T* tagged(void* h, unsigned tag) {
  auto* p = static_cast<T*>(h);
  return p != nullptr && p->tag == tag ? p : nullptr;
}

}  // namespace

env* as_env(void* h) { return tagged<env>(h, env_tag); }
dbc* as_dbc(void* h) { return tagged<dbc>(h, dbc_tag); }
stmt* as_stmt(void* h) { return tagged<stmt>(h, stmt_tag); }
channel* as_channel(void* h) { return tagged<channel>(h, channel_tag); }

dbc::~dbc() {
  for (channel* c : channels) delete c;
  for (stmt* s : statements) delete s;
  tag = 0;
}

}  // namespace torqa::driver

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
  if (!e->connections.empty()) return SQL_ERROR;  // free the connections first
  e->tag = 0;
  delete e;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLAllocStmt(SQLHDBC h, SQLHSTMT* out) {
  if (out != nullptr) *out = SQL_NULL_HSTMT;
  dbc* d = as_dbc(h);
  if (d == nullptr || out == nullptr) return SQL_INVALID_HANDLE;
  if (!d->conn) return SQL_ERROR;
  auto* s = new stmt;
  s->owner = d;
  d->statements.insert(s);
  *out = s;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLPrepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER length) {
  stmt* s = as_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (text == nullptr || (length < 0 && length != SQL_NTS)) return SQL_ERROR;
  // The text is 16-bit: `length` counts characters.
  const auto* units = reinterpret_cast<const char16_t*>(text);
  s->text = length == SQL_NTS ? std::u16string(units) : std::u16string(units, static_cast<std::size_t>(length));
  s->prepared = true;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLFreeStmt(SQLHSTMT h, SQLUSMALLINT option) {
  stmt* s = as_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (option == SQL_DROP) {
    s->owner->statements.erase(s);
    s->tag = 0;
    delete s;
  }
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLExecute(SQLHSTMT) { return SQL_ERROR; }
TORQA_DRV_EXPORT SQLRETURN SQLFetch(SQLHSTMT) { return SQL_ERROR; }
TORQA_DRV_EXPORT SQLRETURN SQLNumResultCols(SQLHSTMT, SQLSMALLINT*) { return SQL_ERROR; }
TORQA_DRV_EXPORT SQLRETURN SQLDescribeCol(SQLHSTMT, SQLUSMALLINT, SQLCHAR*, SQLSMALLINT, SQLSMALLINT*, SQLSMALLINT*,
                                          SQLULEN*, SQLSMALLINT*, SQLSMALLINT*) {
  return SQL_ERROR;
}
TORQA_DRV_EXPORT SQLRETURN SQLNumParams(SQLHSTMT, SQLSMALLINT*) { return SQL_ERROR; }
TORQA_DRV_EXPORT SQLRETURN SQLDescribeParam(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT*, SQLULEN*, SQLSMALLINT*,
                                            SQLSMALLINT*) {
  return SQL_ERROR;
}
TORQA_DRV_EXPORT SQLRETURN SQLBindParameter(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLSMALLINT, SQLULEN,
                                            SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*) {
  return SQL_ERROR;
}
TORQA_DRV_EXPORT SQLRETURN SQLGetData(SQLHSTMT, SQLUSMALLINT, SQLSMALLINT, SQLPOINTER, SQLLEN, SQLLEN*) {
  return SQL_ERROR;
}
