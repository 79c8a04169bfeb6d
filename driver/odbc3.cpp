// The entry points a driver manager needs beside the binding's: handles of
// ODBC 3, connecting by data source or connection string, information,
// diagnostics, attributes, transactions, and the 16-bit forms of the text
// functions.
//
// Connecting: SQLConnect names a data source whose "Connect" key holds the
// connection string X[Y]:Z (host, options, namespace) and whose UID and PWD
// keys give a user and password the call leaves empty. SQLDriverConnect
// takes "key=value;..." with the keys DSN, Connect, UID and PWD (a value in
// braces may hold ';'); a key it lacks is taken from the DSN's entry.
// Nothing is ever prompted for.
//
// Transactions: with autocommit on (the default) each statement is durable
// on return; with it off, the first statement opens a transaction that
// SQLEndTran commits or rolls back (and turning autocommit on commits).
// SQLDisconnect refuses to end an open transaction (25000).
#include "odbc3.h"

#include "sql_data.h"

#include <odbcinst.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>

using namespace torqa;
using namespace torqa::driver;

namespace {

// ---- Connecting ----

/// The attributes of a connection string, keys in lower case.
std::map<std::string, std::string> attributes(std::string_view s) {
  std::map<std::string, std::string> out;
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t eq = s.find('=', i);
    if (eq == std::string_view::npos) break;
    std::string key = server::lower(s.substr(i, eq - i));
    key.erase(0, key.find_first_not_of(' '));
    key.erase(key.find_last_not_of(' ') + 1);
    std::string value;
    i = eq + 1;
    if (i < s.size() && s[i] == '{') {
      // Braces: "}}" stands for '}'.
      for (++i; i < s.size(); ++i) {
        if (s[i] == '}') {
          if (i + 1 < s.size() && s[i + 1] == '}') {
            value += '}';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        value += s[i];
      }
      i = std::min(s.find(';', i), s.size());
    } else {
      const std::size_t end = std::min(s.find(';', i), s.size());
      value = std::string(s.substr(i, end - i));
      i = end;
    }
    if (i < s.size()) ++i;
    out.emplace(std::move(key), std::move(value));
  }
  return out;
}

/// A key of a data source's entry in the ODBC ini files; empty when absent.
std::string dsn_key(const std::string& dsn, const char* key) {
  char buf[4096];
  const int n = SQLGetPrivateProfileString(dsn.c_str(), key, "", buf, sizeof buf, "odbc.ini");
  return n > 0 ? std::string(buf, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buf - 1)) : std::string();
}

/// Opens a standard connection to the connection string `target` (X[Y]:Z).
SQLRETURN connect_to(dbc& d, const std::string& dsn, const std::string& target, const std::string& user,
                     const std::string& password) {
  if (d.sql) return d.diag.set(SQL_ERROR, "08002", "the connection is already open");
  if (target.empty())
    return d.diag.set(SQL_ERROR, dsn.empty() ? "08001" : "IM002",
                      dsn.empty() ? "no Connect key: the connection string X[Y]:Z is needed"
                                  : "data source " + dsn + " has no Connect key");
  const std::size_t open = target.find('['), close = target.find(']', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos || close + 1 >= target.size() ||
      target[close + 1] != ':')
    return d.diag.set(SQL_ERROR, "08001", "the connection string " + target + " is not of the form X[Y]:Z");
  if (open_server(d, target.substr(0, open), target.substr(open + 1, close - open - 1), target.substr(close + 2),
                  user, password) != 0)
    return SQL_ERROR;
  d.standard = true;
  d.dsn = dsn;
  return SQL_SUCCESS;
}

SQLRETURN connect_dsn(dbc& d, const std::string& dsn, std::string user, std::string password) {
  if (user.empty()) user = dsn_key(dsn, "UID");
  if (password.empty()) password = dsn_key(dsn, "PWD");
  return connect_to(d, dsn, dsn_key(dsn, "Connect"), user, password);
}

SQLRETURN driver_connect(dbc& d, const std::string& in, std::string& completed) {
  auto a = attributes(in);
  const std::string dsn = a["dsn"];
  if (!dsn.empty())
    for (const char* key : {"Connect", "UID", "PWD"})
      if (std::string& v = a[server::lower(key)]; v.empty()) v = dsn_key(dsn, key);
  completed = in;
  return connect_to(d, dsn, a["connect"], a["uid"], a["pwd"]);
}

dbc* begin_dbc(SQLHDBC h) {
  dbc* d = as_dbc(h);
  if (d != nullptr) d->diag.clear();
  return d;
}

stmt* begin_stmt(SQLHSTMT h) {
  stmt* s = as_stmt(h);
  if (s != nullptr) s->diag.clear();
  return s;
}

/// Answers a numeric attribute: its value into `value`, its size into
/// `length` (either may be null).
template <class T>
SQLRETURN put_attribute(SQLPOINTER value, SQLINTEGER* length, T v) {
  if (value != nullptr) std::memcpy(value, &v, sizeof v);
  if (length != nullptr) *length = sizeof v;
  return SQL_SUCCESS;
}

// ---- Transactions ----

/// Whether the connection's SQL is in a transaction. A daemon connection
/// that failed is not: the daemon rolled back what it had open.
bool in_transaction(dbc& d) {
  try {
    return d.sql && d.sql->transaction() != transaction_state::none;
  } catch (const server::server_error&) {
    return false;
  }
}

SQLRETURN end_transaction(dbc& d, SQLSMALLINT completion) {
  if (completion != SQL_COMMIT && completion != SQL_ROLLBACK)
    return d.diag.set(SQL_ERROR, "HY012", "completion is SQL_COMMIT or SQL_ROLLBACK");
  if (!d.sql) return d.diag.set(SQL_ERROR, "08003", "the connection is not open");
  try {
    // Object transactions of the binding's sessions are theirs to end.
    if (d.sql->transaction() != transaction_state::sql) return SQL_SUCCESS;
    // Open results end with the transaction.
    for (stmt* s : d.statements) {
      if (s->sql) s->sql->close();
      s->executed = false;
      s->piece.column = 0;
    }
    d.sql->end(completion == SQL_COMMIT);
    return SQL_SUCCESS;
  } catch (const link_failure& e) {
    return d.diag.set(SQL_ERROR, "08S01", e.msg, e.code);
  } catch (const server::server_error& e) {
    return d.diag.set(SQL_ERROR, completion == SQL_COMMIT ? "40001" : "HY000", e.msg, e.code);
  }
}

// ---- Information ----

enum class info_kind { text, u16, u32 };
struct info_entry {
  SQLUSMALLINT type;
  info_kind kind;
  const char* text;
  SQLUINTEGER number;
};

constexpr info_entry text_info(SQLUSMALLINT t, const char* s) { return {t, info_kind::text, s, 0}; }
constexpr info_entry u16_info(SQLUSMALLINT t, SQLUINTEGER n) { return {t, info_kind::u16, nullptr, n}; }
constexpr info_entry u32_info(SQLUSMALLINT t, SQLUINTEGER n) { return {t, info_kind::u32, nullptr, n}; }

constexpr info_entry fixed_info[] = {
    text_info(SQL_DRIVER_VER, "01.00.0000"),
    text_info(SQL_DRIVER_ODBC_VER, "03.00"),
    text_info(SQL_ODBC_VER, "03.00"),
    text_info(SQL_DBMS_NAME, "Torqa"),
    text_info(SQL_DBMS_VER, "01.00.0000"),
    text_info(SQL_IDENTIFIER_QUOTE_CHAR, "\""),
    text_info(SQL_SEARCH_PATTERN_ESCAPE, "\\"),
    text_info(SQL_CATALOG_NAME_SEPARATOR, "."),
    text_info(SQL_CATALOG_TERM, ""),
    text_info(SQL_SCHEMA_TERM, ""),
    text_info(SQL_TABLE_TERM, "table"),
    text_info(SQL_PROCEDURE_TERM, "procedure"),
    text_info(SQL_CATALOG_NAME, "N"),
    text_info(SQL_DATA_SOURCE_READ_ONLY, "N"),
    text_info(SQL_ACCESSIBLE_TABLES, "Y"),
    text_info(SQL_ACCESSIBLE_PROCEDURES, "Y"),
    text_info(SQL_COLUMN_ALIAS, "Y"),
    text_info(SQL_EXPRESSIONS_IN_ORDERBY, "Y"),
    text_info(SQL_LIKE_ESCAPE_CLAUSE, "Y"),
    text_info(SQL_MULT_RESULT_SETS, "N"),
    text_info(SQL_MULTIPLE_ACTIVE_TXN, "Y"),
    text_info(SQL_NEED_LONG_DATA_LEN, "N"),
    text_info(SQL_ORDER_BY_COLUMNS_IN_SELECT, "N"),
    text_info(SQL_OUTER_JOINS, "Y"),
    text_info(SQL_PROCEDURES, "Y"),
    text_info(SQL_ROW_UPDATES, "N"),
    text_info(SQL_INTEGRITY, "N"),
    text_info(SQL_DESCRIBE_PARAMETER, "Y"),
    text_info(SQL_MAX_ROW_SIZE_INCLUDES_LONG, "Y"),
    text_info(SQL_SPECIAL_CHARACTERS, ""),
    text_info(SQL_KEYWORDS, ""),
    text_info(SQL_COLLATION_SEQ, "UTF-8"),
    u16_info(SQL_MAX_DRIVER_CONNECTIONS, 0),
    u16_info(SQL_MAX_CONCURRENT_ACTIVITIES, 0),
    u16_info(SQL_TXN_CAPABLE, SQL_TC_ALL),
    u16_info(SQL_CURSOR_COMMIT_BEHAVIOR, SQL_CB_CLOSE),
    u16_info(SQL_CURSOR_ROLLBACK_BEHAVIOR, SQL_CB_CLOSE),
    u16_info(SQL_IDENTIFIER_CASE, SQL_IC_MIXED),
    u16_info(SQL_QUOTED_IDENTIFIER_CASE, SQL_IC_MIXED),
    u16_info(SQL_MAX_COLUMN_NAME_LEN, 255),
    u16_info(SQL_MAX_TABLE_NAME_LEN, 255),
    u16_info(SQL_MAX_IDENTIFIER_LEN, 255),
    u16_info(SQL_MAX_SCHEMA_NAME_LEN, 0),
    u16_info(SQL_MAX_CATALOG_NAME_LEN, 0),
    u16_info(SQL_MAX_CURSOR_NAME_LEN, 0),
    u16_info(SQL_MAX_PROCEDURE_NAME_LEN, 255),
    u16_info(SQL_MAX_COLUMNS_IN_SELECT, 0),
    u16_info(SQL_MAX_COLUMNS_IN_TABLE, 0),
    u16_info(SQL_MAX_COLUMNS_IN_ORDER_BY, 0),
    u16_info(SQL_MAX_COLUMNS_IN_GROUP_BY, 0),
    u16_info(SQL_MAX_COLUMNS_IN_INDEX, 0),
    u16_info(SQL_MAX_TABLES_IN_SELECT, 0),
    u16_info(SQL_MAX_USER_NAME_LEN, 0),
    u16_info(SQL_NULL_COLLATION, SQL_NC_LOW),
    u16_info(SQL_CONCAT_NULL_BEHAVIOR, SQL_CB_NULL),
    u16_info(SQL_NON_NULLABLE_COLUMNS, SQL_NNC_NON_NULL),
    u16_info(SQL_CORRELATION_NAME, SQL_CN_ANY),
    u16_info(SQL_FILE_USAGE, SQL_FILE_NOT_SUPPORTED),
    u16_info(SQL_GROUP_BY, SQL_GB_GROUP_BY_CONTAINS_SELECT),
    u16_info(SQL_ACTIVE_ENVIRONMENTS, 0),
    u32_info(SQL_DEFAULT_TXN_ISOLATION, SQL_TXN_SERIALIZABLE),
    u32_info(SQL_GETDATA_EXTENSIONS, SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER),
    u32_info(SQL_SCROLL_OPTIONS, SQL_SO_FORWARD_ONLY),
    u32_info(SQL_CURSOR_SENSITIVITY, SQL_INSENSITIVE),
    u32_info(SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES1, SQL_CA1_NEXT),
    u32_info(SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES2, SQL_CA2_READ_ONLY_CONCURRENCY),
    u32_info(SQL_STATIC_CURSOR_ATTRIBUTES1, 0),
    u32_info(SQL_STATIC_CURSOR_ATTRIBUTES2, 0),
    u32_info(SQL_DYNAMIC_CURSOR_ATTRIBUTES1, 0),
    u32_info(SQL_DYNAMIC_CURSOR_ATTRIBUTES2, 0),
    u32_info(SQL_KEYSET_CURSOR_ATTRIBUTES1, 0),
    u32_info(SQL_KEYSET_CURSOR_ATTRIBUTES2, 0),
    u32_info(SQL_POS_OPERATIONS, 0),
    u32_info(SQL_STATIC_SENSITIVITY, 0),
    u32_info(SQL_LOCK_TYPES, 0),
    u32_info(SQL_BOOKMARK_PERSISTENCE, 0),
    u32_info(SQL_ODBC_INTERFACE_CONFORMANCE, SQL_OIC_CORE),
    u32_info(SQL_SQL_CONFORMANCE, SQL_SC_SQL92_ENTRY),
    u32_info(SQL_ASYNC_MODE, SQL_AM_NONE),
    u32_info(SQL_MAX_ASYNC_CONCURRENT_STATEMENTS, 0),
    u32_info(SQL_BATCH_SUPPORT, 0),
    u32_info(SQL_BATCH_ROW_COUNT, 0),
    u32_info(SQL_PARAM_ARRAY_ROW_COUNTS, SQL_PARC_NO_BATCH),
    u32_info(SQL_PARAM_ARRAY_SELECTS, SQL_PAS_NO_SELECT),
    u32_info(SQL_MAX_STATEMENT_LEN, 0),
    u32_info(SQL_MAX_ROW_SIZE, 0),
    u32_info(SQL_MAX_CHAR_LITERAL_LEN, 0),
    u32_info(SQL_MAX_BINARY_LITERAL_LEN, 0),
    u32_info(SQL_MAX_INDEX_SIZE, 0),
    u32_info(SQL_CATALOG_USAGE, 0),
    u32_info(SQL_SCHEMA_USAGE, 0),
    u32_info(SQL_OJ_CAPABILITIES, SQL_OJ_LEFT | SQL_OJ_NOT_ORDERED | SQL_OJ_INNER | SQL_OJ_ALL_COMPARISON_OPS),
    u32_info(SQL_AGGREGATE_FUNCTIONS, SQL_AF_ALL | SQL_AF_AVG | SQL_AF_COUNT | SQL_AF_DISTINCT | SQL_AF_MAX |
                                          SQL_AF_MIN | SQL_AF_SUM),
    u32_info(SQL_STRING_FUNCTIONS, 0),
    u32_info(SQL_NUMERIC_FUNCTIONS, 0),
    u32_info(SQL_TIMEDATE_FUNCTIONS, 0),
    u32_info(SQL_SYSTEM_FUNCTIONS, 0),
    u32_info(SQL_CONVERT_FUNCTIONS, 0),
    u32_info(SQL_DATETIME_LITERALS, 0),
    u32_info(SQL_TXN_ISOLATION_OPTION, SQL_TXN_SERIALIZABLE),
    u32_info(SQL_SQL92_PREDICATES, 0),
    u32_info(SQL_SQL92_RELATIONAL_JOIN_OPERATORS, 0),
    u32_info(SQL_SQL92_VALUE_EXPRESSIONS, 0),
    u32_info(SQL_SUBQUERIES, SQL_SQ_CORRELATED_SUBQUERIES | SQL_SQ_COMPARISON | SQL_SQ_EXISTS | SQL_SQ_IN),
    u32_info(SQL_UNION, SQL_U_UNION | SQL_U_UNION_ALL),
    u32_info(SQL_ALTER_TABLE, 0),
    u32_info(SQL_INSERT_STATEMENT, SQL_IS_INSERT_LITERALS | SQL_IS_INSERT_SEARCHED),
};

SQLRETURN get_info(dbc& d, SQLUSMALLINT type, bool wide, SQLPOINTER value, SQLSMALLINT capacity,
                   SQLSMALLINT* length) {
  std::string text;
  switch (type) {
    case SQL_DRIVER_NAME:
      text = "libTorqaODBC.so";
      break;
    case SQL_DATA_SOURCE_NAME:
      text = d.dsn;
      break;
    case SQL_SERVER_NAME:
      text = d.sql ? d.sql->server_name() : "";
      break;
    case SQL_DATABASE_NAME:
      text = d.sql ? d.sql->database_name() : "";
      break;
    case SQL_USER_NAME:
      text = d.sql ? d.sql->user() : "";
      break;
    default: {
      const auto* e = std::find_if(std::begin(fixed_info), std::end(fixed_info),
                                   [type](const info_entry& i) { return i.type == type; });
      if (e == std::end(fixed_info))
        return d.diag.set(SQL_ERROR, "HY096", "unknown information type " + std::to_string(type));
      if (e->kind == info_kind::text) {
        text = e->text;
        break;
      }
      if (value == nullptr) return SQL_SUCCESS;
      if (e->kind == info_kind::u16) {
        const auto n = static_cast<SQLUSMALLINT>(e->number);
        std::memcpy(value, &n, sizeof n);
        if (length != nullptr) *length = sizeof n;
      } else {
        std::memcpy(value, &e->number, sizeof e->number);
        if (length != nullptr) *length = sizeof e->number;
      }
      return SQL_SUCCESS;
    }
  }
  return put_name(&d.diag, text, wide, false, value, capacity, length);
}

// ---- Diagnostics ----

/// The diagnostic of a handle, or null for an invalid handle.
diagnostic* diag_of(SQLSMALLINT type, SQLHANDLE h) {
  switch (type) {
    case SQL_HANDLE_ENV:
      return as_env(h) != nullptr ? &as_env(h)->diag : nullptr;
    case SQL_HANDLE_DBC:
      return as_dbc(h) != nullptr ? &as_dbc(h)->diag : nullptr;
    case SQL_HANDLE_STMT:
      return as_stmt(h) != nullptr ? &as_stmt(h)->diag : nullptr;
    default:
      return nullptr;
  }
}

SQLRETURN diag_rec(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record, bool wide, SQLPOINTER state,
                   SQLINTEGER* native, SQLPOINTER text, SQLSMALLINT capacity, SQLSMALLINT* length) {
  const diagnostic* d = diag_of(type, h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  if (record < 1 || capacity < 0) return SQL_ERROR;
  if (record > 1 || d->state.empty()) return SQL_NO_DATA;
  if (state != nullptr) put_text(d->state, wide, state, wide ? 12 : 6, nullptr);
  if (native != nullptr) *native = d->native;
  return put_name(nullptr, d->message, wide, true, text, capacity, length);
}

SQLRETURN diag_field(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record, SQLSMALLINT field, bool wide,
                     SQLPOINTER info, SQLSMALLINT capacity, SQLSMALLINT* length) {
  const diagnostic* d = diag_of(type, h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  const auto integer = [&](auto v) {
    if (info != nullptr) std::memcpy(info, &v, sizeof v);
    return SQL_SUCCESS;
  };
  const SQLINTEGER count = d->state.empty() ? 0 : 1;
  switch (field) {  // fields of the header
    case SQL_DIAG_NUMBER:
      return integer(count);
    case SQL_DIAG_RETURNCODE:
      return integer(static_cast<SQLRETURN>(count == 0                       ? SQL_SUCCESS
                                             : d->state.compare(0, 2, "01") == 0 ? SQL_SUCCESS_WITH_INFO
                                                                                 : SQL_ERROR));
    case SQL_DIAG_ROW_COUNT:
    case SQL_DIAG_CURSOR_ROW_COUNT: {
      if (type != SQL_HANDLE_STMT) return SQL_ERROR;
      const stmt* s = as_stmt(h);
      return integer(static_cast<SQLLEN>(s->sql && s->sql->columns().empty() ? s->sql->changes() : -1));
    }
    case SQL_DIAG_DYNAMIC_FUNCTION:
      return put_name(nullptr, "", wide, false, info, capacity, length);
    case SQL_DIAG_DYNAMIC_FUNCTION_CODE:
      return integer(static_cast<SQLINTEGER>(SQL_DIAG_UNKNOWN_STATEMENT));
    default:
      break;
  }
  if (record < 1) return SQL_ERROR;
  if (record > count) return SQL_NO_DATA;
  const bool odbc_class = d->state.compare(0, 2, "IM") == 0;
  const bool odbc_subclass = odbc_class || d->state[2] == 'S' || d->state.compare(0, 2, "HY") == 0;
  switch (field) {
    case SQL_DIAG_SQLSTATE:
      return put_name(nullptr, d->state, wide, false, info, capacity, length);
    case SQL_DIAG_NATIVE:
      return integer(static_cast<SQLINTEGER>(d->native));
    case SQL_DIAG_MESSAGE_TEXT:
      return put_name(nullptr, d->message, wide, false, info, capacity, length);
    case SQL_DIAG_CLASS_ORIGIN:
      return put_name(nullptr, odbc_class ? "ODBC 3.0" : "ISO 9075", wide, false, info, capacity, length);
    case SQL_DIAG_SUBCLASS_ORIGIN:
      return put_name(nullptr, odbc_subclass ? "ODBC 3.0" : "ISO 9075", wide, false, info, capacity, length);
    case SQL_DIAG_CONNECTION_NAME:
    case SQL_DIAG_SERVER_NAME:
      return put_name(nullptr, "", wide, false, info, capacity, length);
    case SQL_DIAG_COLUMN_NUMBER:
      return integer(static_cast<SQLINTEGER>(SQL_COLUMN_NUMBER_UNKNOWN));
    case SQL_DIAG_ROW_NUMBER:
      return integer(static_cast<SQLLEN>(SQL_ROW_NUMBER_UNKNOWN));
    default:
      return SQL_ERROR;
  }
}

// ---- Column attributes ----

/// The characters a value of the type takes when shown as text.
SQLLEN display_size(SQLSMALLINT t, SQLULEN size) {
  switch (t) {
    case SQL_INTEGER:
      return 11;  // with a sign
    case SQL_DOUBLE:
      return 24;
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return size > LONG_MAX / 2 ? static_cast<SQLLEN>(size) : static_cast<SQLLEN>(2 * size);
    default:
      return static_cast<SQLLEN>(size);
  }
}

SQLRETURN col_attribute(stmt& s, SQLUSMALLINT column, SQLUSMALLINT field, bool wide, SQLPOINTER text,
                        SQLSMALLINT capacity, SQLSMALLINT* length, SQLLEN* number) {
  if (!s.sql) return s.diag.set(SQL_ERROR, "HY010", "the statement is not prepared");
  const auto numeric = [&](SQLLEN v) {
    if (number != nullptr) *number = v;
    return SQL_SUCCESS;
  };
  if (field == SQL_DESC_COUNT) return numeric(static_cast<SQLLEN>(s.sql->columns().size()));
  if (column < 1 || column > s.sql->columns().size())
    return s.diag.set(SQL_ERROR, "07009", "no column " + std::to_string(column));
  const server::sql_column& c = s.sql->columns()[column - 1];
  const SQLSMALLINT type = sql_type_of(c.kind, s.sql->unicode());
  const type_facts f = facts_of(type);
  const SQLULEN size = column_size_of(c.kind);
  const auto str = [&](std::string_view v) { return put_name(&s.diag, v, wide, false, text, capacity, length); };
  switch (field) {
    case SQL_DESC_NAME:
    case SQL_DESC_LABEL:
    case SQL_DESC_BASE_COLUMN_NAME:
    case SQL_COLUMN_NAME:
      return str(c.name);
    case SQL_DESC_TABLE_NAME:
    case SQL_DESC_BASE_TABLE_NAME:
    case SQL_DESC_SCHEMA_NAME:
    case SQL_DESC_CATALOG_NAME:
      return str("");
    case SQL_DESC_LITERAL_PREFIX:
      return str(f.text ? "'" : f.binary ? "X'" : "");
    case SQL_DESC_LITERAL_SUFFIX:
      return str(f.text || f.binary ? "'" : "");
    case SQL_DESC_TYPE_NAME:
    case SQL_DESC_LOCAL_TYPE_NAME:
      return str(f.name);
    case SQL_DESC_TYPE:
      return numeric(f.verbose);
    case SQL_DESC_CONCISE_TYPE:
      return numeric(type);
    case SQL_DESC_LENGTH:
    case SQL_DESC_PRECISION:
    case SQL_COLUMN_LENGTH:
    case SQL_COLUMN_PRECISION:
      return numeric(static_cast<SQLLEN>(size));
    case SQL_DESC_OCTET_LENGTH:
      return numeric(f.octets ? static_cast<SQLLEN>(f.octets) : static_cast<SQLLEN>(size));
    case SQL_DESC_DISPLAY_SIZE:
      return numeric(display_size(type, size));
    case SQL_DESC_UNSIGNED:
      return numeric(f.numeric ? SQL_FALSE : SQL_TRUE);
    case SQL_DESC_SCALE:
    case SQL_COLUMN_SCALE:
    case SQL_DESC_AUTO_UNIQUE_VALUE:
    case SQL_DESC_FIXED_PREC_SCALE:
      return numeric(0);
    case SQL_DESC_NULLABLE:
    case SQL_COLUMN_NULLABLE:
      return numeric(c.nullable);
    case SQL_DESC_CASE_SENSITIVE:
      return numeric(f.text ? SQL_TRUE : SQL_FALSE);
    case SQL_DESC_SEARCHABLE:
      return numeric(f.text ? SQL_SEARCHABLE : SQL_PRED_BASIC);
    case SQL_DESC_UPDATABLE:
      return numeric(SQL_ATTR_READWRITE_UNKNOWN);
    case SQL_DESC_UNNAMED:
      return numeric(c.name.empty() ? SQL_UNNAMED : SQL_NAMED);
    case SQL_DESC_NUM_PREC_RADIX:
      return numeric(f.radix);
    default:
      return s.diag.set(SQL_ERROR, "HY091", "unknown column attribute " + std::to_string(field));
  }
}

}  // namespace

void torqa::driver::begin_work(dbc& d) {
  if (d.standard && !d.autocommit && !in_transaction(d)) d.sql->begin();
}

SQLRETURN torqa::driver::exec_direct(stmt& s, std::string utf8) {
  const SQLRETURN rc = prepare(s, std::move(utf8));
  return SQL_SUCCEEDED(rc) ? execute(s) : rc;
}

// ---- Handles ----

TORQA_DRV_EXPORT SQLRETURN SQLAllocHandle(SQLSMALLINT type, SQLHANDLE parent, SQLHANDLE* out) {
  switch (type) {
    case SQL_HANDLE_ENV:
      return SQLAllocEnv(out);
    case SQL_HANDLE_DBC:
      return SQLAllocConnect(parent, out);
    case SQL_HANDLE_STMT:
      return SQLAllocStmt(parent, out);
    default: {
      if (out != nullptr) *out = nullptr;
      diagnostic* d = diag_of(SQL_HANDLE_DBC, parent);
      if (d == nullptr) return SQL_INVALID_HANDLE;
      return d->set(SQL_ERROR, "HYC00", "descriptors are not supported");
    }
  }
}

TORQA_DRV_EXPORT SQLRETURN SQLFreeHandle(SQLSMALLINT type, SQLHANDLE h) {
  switch (type) {
    case SQL_HANDLE_ENV:
      return SQLFreeEnv(h);
    case SQL_HANDLE_DBC:
      return SQLFreeConnect(h);
    case SQL_HANDLE_STMT:
      return SQLFreeStmt(h, SQL_DROP);
    default:
      return SQL_INVALID_HANDLE;
  }
}

TORQA_DRV_EXPORT SQLRETURN SQLSetEnvAttr(SQLHENV h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) {
  env* e = as_env(h);
  if (e == nullptr) return SQL_INVALID_HANDLE;
  e->diag.clear();
  const auto v = static_cast<SQLINTEGER>(reinterpret_cast<SQLLEN>(value));
  switch (attribute) {
    case SQL_ATTR_ODBC_VERSION:
      if (v != SQL_OV_ODBC2 && v != SQL_OV_ODBC3) return e->diag.set(SQL_ERROR, "HY024", "unknown ODBC version");
      e->odbc_version = v;
      return SQL_SUCCESS;
    case SQL_ATTR_OUTPUT_NTS:
      return v == SQL_TRUE ? SQL_SUCCESS : e->diag.set(SQL_ERROR, "HYC00", "text is always terminated");
    case SQL_ATTR_CONNECTION_POOLING:
    case SQL_ATTR_CP_MATCH:
      return SQL_SUCCESS;  // pooling is the driver manager's
    default:
      return e->diag.set(SQL_ERROR, "HY092", "unknown environment attribute " + std::to_string(attribute));
  }
}

TORQA_DRV_EXPORT SQLRETURN SQLGetEnvAttr(SQLHENV h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER,
                                         SQLINTEGER* length) {
  env* e = as_env(h);
  if (e == nullptr) return SQL_INVALID_HANDLE;
  e->diag.clear();
  SQLINTEGER v = 0;
  switch (attribute) {
    case SQL_ATTR_ODBC_VERSION:
      v = e->odbc_version;
      break;
    case SQL_ATTR_OUTPUT_NTS:
      v = SQL_TRUE;
      break;
    case SQL_ATTR_CONNECTION_POOLING:
    case SQL_ATTR_CP_MATCH:
      break;
    default:
      return e->diag.set(SQL_ERROR, "HY092", "unknown environment attribute " + std::to_string(attribute));
  }
  return put_attribute(value, length, v);
}

// ---- Connections ----

namespace {

template <class Char>
SQLRETURN connect_with(SQLHDBC h, const Char* dsn, SQLSMALLINT dsn_length, const Char* user,
                       SQLSMALLINT user_length, const Char* password, SQLSMALLINT password_length) {
  dbc* d = begin_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  std::string n, u, p;
  if (SQLRETURN rc = text_arg(d->diag, dsn, dsn_length, n); rc != SQL_SUCCESS) return rc;
  if (user != nullptr && text_arg(d->diag, user, user_length, u) != SQL_SUCCESS) return SQL_ERROR;
  if (password != nullptr && text_arg(d->diag, password, password_length, p) != SQL_SUCCESS) return SQL_ERROR;
  return connect_dsn(*d, n, u, p);
}

template <class Char>
SQLRETURN driver_connect_with(SQLHDBC h, const Char* in, SQLSMALLINT in_length, Char* out, SQLSMALLINT capacity,
                              SQLSMALLINT* out_length) {
  dbc* d = begin_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  std::string text, completed;
  if (SQLRETURN rc = text_arg(d->diag, in, in_length, text); rc != SQL_SUCCESS) return rc;
  const SQLRETURN rc = driver_connect(*d, text, completed);
  if (!SQL_SUCCEEDED(rc)) return rc;
  return put_name(&d->diag, completed, std::is_same_v<Char, SQLWCHAR>, true, out, capacity, out_length);
}

}  // namespace

TORQA_DRV_EXPORT SQLRETURN SQLConnect(SQLHDBC h, SQLCHAR* dsn, SQLSMALLINT dsn_length, SQLCHAR* user,
                                      SQLSMALLINT user_length, SQLCHAR* password, SQLSMALLINT password_length) {
  return connect_with(h, dsn, dsn_length, user, user_length, password, password_length);
}

TORQA_DRV_EXPORT SQLRETURN SQLConnectW(SQLHDBC h, SQLWCHAR* dsn, SQLSMALLINT dsn_length, SQLWCHAR* user,
                                       SQLSMALLINT user_length, SQLWCHAR* password, SQLSMALLINT password_length) {
  return connect_with(h, dsn, dsn_length, user, user_length, password, password_length);
}

TORQA_DRV_EXPORT SQLRETURN SQLDriverConnect(SQLHDBC h, SQLHWND, SQLCHAR* in, SQLSMALLINT in_length, SQLCHAR* out,
                                            SQLSMALLINT capacity, SQLSMALLINT* out_length, SQLUSMALLINT) {
  return driver_connect_with(h, in, in_length, out, capacity, out_length);
}

TORQA_DRV_EXPORT SQLRETURN SQLDriverConnectW(SQLHDBC h, SQLHWND, SQLWCHAR* in, SQLSMALLINT in_length, SQLWCHAR* out,
                                             SQLSMALLINT capacity, SQLSMALLINT* out_length, SQLUSMALLINT) {
  return driver_connect_with(h, in, in_length, out, capacity, out_length);
}

TORQA_DRV_EXPORT SQLRETURN SQLDisconnect(SQLHDBC h) {
  dbc* d = begin_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  if (!d->sql) return d->diag.set(SQL_ERROR, "08003", "the connection is not open");
  if (d->standard && in_transaction(*d))
    return d->diag.set(SQL_ERROR, "25000", "a transaction is open: commit or roll it back first");
  for (stmt* s : d->statements) delete s;
  d->statements.clear();
  for (driver::channel* c : d->channels) delete c;
  d->channels.clear();
  d->sql.reset();
  d->conn.reset();
  d->remote.reset();
  d->standard = false;
  d->dsn.clear();
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLGetInfo(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT capacity,
                                      SQLSMALLINT* length) {
  dbc* d = begin_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  return get_info(*d, type, false, value, capacity, length);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetInfoW(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT capacity,
                                       SQLSMALLINT* length) {
  dbc* d = begin_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  return get_info(*d, type, true, value, capacity, length);
}

namespace {

SQLRETURN set_connect_attr(SQLHDBC h, SQLINTEGER attribute, SQLPOINTER value) {
  dbc* d = begin_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  const auto v = reinterpret_cast<SQLULEN>(value);
  switch (attribute) {
    case SQL_ATTR_AUTOCOMMIT: {
      if (v != SQL_AUTOCOMMIT_ON && v != SQL_AUTOCOMMIT_OFF)
        return d->diag.set(SQL_ERROR, "HY024", "autocommit is SQL_AUTOCOMMIT_ON or SQL_AUTOCOMMIT_OFF");
      // Turning it on commits the open transaction.
      if (v == SQL_AUTOCOMMIT_ON && !d->autocommit && d->sql) {
        if (const SQLRETURN rc = end_transaction(*d, SQL_COMMIT); rc != SQL_SUCCESS) return rc;
      }
      d->autocommit = v == SQL_AUTOCOMMIT_ON;
      return SQL_SUCCESS;
    }
    case SQL_ATTR_LOGIN_TIMEOUT:
    case SQL_ATTR_CONNECTION_TIMEOUT:
    case SQL_ATTR_ACCESS_MODE:
      return SQL_SUCCESS;  // the embedded server neither waits nor restricts
    case SQL_ATTR_TXN_ISOLATION:
      return v == SQL_TXN_SERIALIZABLE ? SQL_SUCCESS
                                        : d->diag.set(SQL_SUCCESS_WITH_INFO, "01S02", "transactions are serializable");
    default:
      return d->diag.set(SQL_ERROR, "HY092", "unknown connection attribute " + std::to_string(attribute));
  }
}

SQLRETURN get_connect_attr(SQLHDBC h, SQLINTEGER attribute, bool wide, SQLPOINTER value, SQLINTEGER capacity,
                           SQLINTEGER* length) {
  dbc* d = begin_dbc(h);
  if (d == nullptr) return SQL_INVALID_HANDLE;
  SQLUINTEGER v = 0;
  switch (attribute) {
    case SQL_ATTR_AUTOCOMMIT:
      v = d->autocommit ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
      break;
    case SQL_ATTR_CONNECTION_DEAD:
      v = d->sql ? SQL_CD_FALSE : SQL_CD_TRUE;
      break;
    case SQL_ATTR_TXN_ISOLATION:
      v = SQL_TXN_SERIALIZABLE;
      break;
    case SQL_ATTR_ACCESS_MODE:
      v = SQL_MODE_READ_WRITE;
      break;
    case SQL_ATTR_LOGIN_TIMEOUT:
    case SQL_ATTR_CONNECTION_TIMEOUT:
      break;
    case SQL_ATTR_CURRENT_CATALOG: {
      SQLLEN total = 0;
      const SQLRETURN rc = put_text("", wide, value, capacity, &total);
      if (length != nullptr) *length = static_cast<SQLINTEGER>(total);
      return rc;
    }
    default:
      return d->diag.set(SQL_ERROR, "HY092", "unknown connection attribute " + std::to_string(attribute));
  }
  return put_attribute(value, length, v);
}

}  // namespace

TORQA_DRV_EXPORT SQLRETURN SQLSetConnectAttr(SQLHDBC h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) {
  return set_connect_attr(h, attribute, value);
}

TORQA_DRV_EXPORT SQLRETURN SQLSetConnectAttrW(SQLHDBC h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) {
  return set_connect_attr(h, attribute, value);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetConnectAttr(SQLHDBC h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER capacity,
                                             SQLINTEGER* length) {
  return get_connect_attr(h, attribute, false, value, capacity, length);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetConnectAttrW(SQLHDBC h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER capacity,
                                              SQLINTEGER* length) {
  return get_connect_attr(h, attribute, true, value, capacity, length);
}

TORQA_DRV_EXPORT SQLRETURN SQLEndTran(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT completion) {
  if (type == SQL_HANDLE_DBC) {
    dbc* d = begin_dbc(h);
    return d == nullptr ? SQL_INVALID_HANDLE : end_transaction(*d, completion);
  }
  env* e = type == SQL_HANDLE_ENV ? as_env(h) : nullptr;
  if (e == nullptr) return SQL_INVALID_HANDLE;
  e->diag.clear();
  SQLRETURN rc = SQL_SUCCESS;
  for (dbc* d : e->connections) {
    d->diag.clear();
    if (d->sql && end_transaction(*d, completion) != SQL_SUCCESS) rc = SQL_ERROR;
  }
  return rc == SQL_SUCCESS ? rc : e->diag.set(rc, "25S03", "a transaction of the environment failed to end");
}

// ---- Diagnostics ----

TORQA_DRV_EXPORT SQLRETURN SQLGetDiagRec(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record, SQLCHAR* state,
                                         SQLINTEGER* native, SQLCHAR* text, SQLSMALLINT capacity,
                                         SQLSMALLINT* length) {
  return diag_rec(type, h, record, false, state, native, text, capacity, length);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetDiagRecW(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record, SQLWCHAR* state,
                                          SQLINTEGER* native, SQLWCHAR* text, SQLSMALLINT capacity,
                                          SQLSMALLINT* length) {
  return diag_rec(type, h, record, true, state, native, text, capacity, length);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetDiagField(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record, SQLSMALLINT field,
                                           SQLPOINTER info, SQLSMALLINT capacity, SQLSMALLINT* length) {
  return diag_field(type, h, record, field, false, info, capacity, length);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetDiagFieldW(SQLSMALLINT type, SQLHANDLE h, SQLSMALLINT record, SQLSMALLINT field,
                                            SQLPOINTER info, SQLSMALLINT capacity, SQLSMALLINT* length) {
  return diag_field(type, h, record, field, true, info, capacity, length);
}

// ---- Statements ----

namespace {

/// Runs `step` (prepare or exec_direct) on a statement's text argument.
template <class Char>
SQLRETURN with_text(SQLHSTMT h, const Char* text, SQLINTEGER length, SQLRETURN (*step)(stmt&, std::string)) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  std::string utf8;
  const SQLRETURN rc = text_arg(s->diag, text, length, utf8);
  return rc == SQL_SUCCESS ? step(*s, std::move(utf8)) : rc;
}

}  // namespace

TORQA_DRV_EXPORT SQLRETURN SQLPrepareW(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER length) {
  return with_text(h, text, length, prepare);
}

TORQA_DRV_EXPORT SQLRETURN SQLExecDirect(SQLHSTMT h, SQLCHAR* text, SQLINTEGER length) {
  return with_text(h, text, length, exec_direct);
}

TORQA_DRV_EXPORT SQLRETURN SQLExecDirectW(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER length) {
  return with_text(h, text, length, exec_direct);
}

TORQA_DRV_EXPORT SQLRETURN SQLParamData(SQLHSTMT h, SQLPOINTER* token) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  stmt::data_at_exec& p = s->pending;
  if (!p.active) return s->diag.set(SQL_ERROR, "HY010", "no parameter is waiting for data");
  if (p.asked == p.params.size()) return execute(*s);
  // The token of a parameter is its buffer pointer, as it was bound.
  if (token != nullptr) *token = s->bindings[p.params[p.asked]].data;
  p.values[p.params[p.asked++]] = std::string();
  return SQL_NEED_DATA;
}

TORQA_DRV_EXPORT SQLRETURN SQLPutData(SQLHSTMT h, SQLPOINTER data, SQLLEN length) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  stmt::data_at_exec& p = s->pending;
  if (!p.active || p.asked == 0) return s->diag.set(SQL_ERROR, "HY010", "SQLParamData names the parameter first");
  std::optional<std::string>& v = p.values[p.params[p.asked - 1]];
  if (length == SQL_NULL_DATA) {
    v.reset();
    return SQL_SUCCESS;
  }
  const SQLSMALLINT c_type = s->bindings[p.params[p.asked - 1]].c_type;
  if (length == SQL_NTS && c_type == SQL_C_CHAR && data != nullptr) {
    length = static_cast<SQLLEN>(std::strlen(static_cast<const char*>(data)));
  } else if (length == SQL_NTS && c_type == SQL_C_WCHAR && data != nullptr) {
    const auto* u = static_cast<const SQLWCHAR*>(data);
    std::size_t n = 0;
    while (u[n] != 0) ++n;
    length = static_cast<SQLLEN>(2 * n);
  }
  if (length < 0 || (data == nullptr && length > 0)) return s->diag.set(SQL_ERROR, "HY090", "bad data length");
  if (!v) return s->diag.set(SQL_ERROR, "HY020", "the value was given as null");
  // No longer value than SQLite holds.
  constexpr std::size_t longest = 1000000000;
  if (static_cast<std::size_t>(length) > longest - v->size())
    return s->diag.set(SQL_ERROR, "22001", "the value is longer than 1000000000 bytes");
  try {
    v->append(static_cast<const char*>(data), static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return s->diag.set(SQL_ERROR, "HY001", "out of memory");
  }
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLDescribeColW(SQLHSTMT h, SQLUSMALLINT column, SQLWCHAR* name, SQLSMALLINT capacity,
                                           SQLSMALLINT* name_length, SQLSMALLINT* type, SQLULEN* size,
                                           SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  return describe_column(*s, column, name_form::wide, name, capacity, name_length, type, size, digits, nullable);
}

TORQA_DRV_EXPORT SQLRETURN SQLColAttribute(SQLHSTMT h, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER text,
                                           SQLSMALLINT capacity, SQLSMALLINT* length, SQLLEN* number) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  return col_attribute(*s, column, field, false, text, capacity, length, number);
}

TORQA_DRV_EXPORT SQLRETURN SQLColAttributeW(SQLHSTMT h, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER text,
                                            SQLSMALLINT capacity, SQLSMALLINT* length, SQLLEN* number) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  return col_attribute(*s, column, field, true, text, capacity, length, number);
}

TORQA_DRV_EXPORT SQLRETURN SQLRowCount(SQLHSTMT h, SQLLEN* count) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (!s->sql || !s->executed) return s->diag.set(SQL_ERROR, "HY010", "the statement is not executed");
  if (count == nullptr) return s->diag.set(SQL_ERROR, "HY009", "no place for the count");
  *count = s->sql->columns().empty() ? static_cast<SQLLEN>(s->sql->changes()) : -1;
  return SQL_SUCCESS;
}

TORQA_DRV_EXPORT SQLRETURN SQLCloseCursor(SQLHSTMT h) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (!s->executed || !s->sql || s->sql->columns().empty())
    return s->diag.set(SQL_ERROR, "24000", "no cursor is open");
  return SQLFreeStmt(h, SQL_CLOSE);
}

// One statement gives one result.
TORQA_DRV_EXPORT SQLRETURN SQLMoreResults(SQLHSTMT h) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  return SQL_NO_DATA;
}

namespace {

SQLRETURN set_stmt_attr(SQLHSTMT h, SQLINTEGER attribute, SQLPOINTER value) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  const auto v = reinterpret_cast<SQLULEN>(value);
  const auto only = [&](SQLULEN supported, const char* what) {
    return v == supported ? SQL_SUCCESS : s->diag.set(SQL_SUCCESS_WITH_INFO, "01S02", what);
  };
  switch (attribute) {
    case SQL_ATTR_QUERY_TIMEOUT:
      return only(0, "statements are not timed out here");
    case SQL_ATTR_CURSOR_TYPE:
      return only(SQL_CURSOR_FORWARD_ONLY, "cursors are forward only");
    case SQL_ATTR_CONCURRENCY:
      return only(SQL_CONCUR_READ_ONLY, "cursors are read only");
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ATTR_PARAMSET_SIZE:
      return only(1, "one row or parameter set at a time");
    case SQL_ATTR_MAX_ROWS:
    case SQL_ATTR_MAX_LENGTH:
      return only(0, "results are not limited");
    case SQL_ATTR_NOSCAN:
      return SQL_SUCCESS;  // escapes other than the call escape are not scanned
    case SQL_ATTR_RETRIEVE_DATA:
      return only(SQL_RD_ON, "data is always retrieved");
    default:
      return s->diag.set(SQL_ERROR, "HY092", "unknown statement attribute " + std::to_string(attribute));
  }
}

SQLRETURN get_stmt_attr(SQLHSTMT h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER* length) {
  stmt* s = begin_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  SQLULEN v = 0;
  switch (attribute) {
    case SQL_ATTR_CURSOR_TYPE:
      v = SQL_CURSOR_FORWARD_ONLY;
      break;
    case SQL_ATTR_CONCURRENCY:
      v = SQL_CONCUR_READ_ONLY;
      break;
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ATTR_PARAMSET_SIZE:
      v = 1;
      break;
    case SQL_ATTR_QUERY_TIMEOUT:
    case SQL_ATTR_MAX_ROWS:
    case SQL_ATTR_MAX_LENGTH:
    case SQL_ATTR_NOSCAN:
      break;
    case SQL_ATTR_RETRIEVE_DATA:
      v = SQL_RD_ON;
      break;
    default:
      return s->diag.set(SQL_ERROR, "HY092", "unknown statement attribute " + std::to_string(attribute));
  }
  return put_attribute(value, length, v);
}

}  // namespace

// Statement attributes are numbers: the 8-bit and 16-bit forms are one.
TORQA_DRV_EXPORT SQLRETURN SQLSetStmtAttr(SQLHSTMT h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) {
  return set_stmt_attr(h, attribute, value);
}

TORQA_DRV_EXPORT SQLRETURN SQLSetStmtAttrW(SQLHSTMT h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER) {
  return set_stmt_attr(h, attribute, value);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetStmtAttr(SQLHSTMT h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER,
                                          SQLINTEGER* length) {
  return get_stmt_attr(h, attribute, value, length);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetStmtAttrW(SQLHSTMT h, SQLINTEGER attribute, SQLPOINTER value, SQLINTEGER,
                                           SQLINTEGER* length) {
  return get_stmt_attr(h, attribute, value, length);
}
