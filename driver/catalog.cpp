// Catalog functions: the class and collection tables (never the server's
// own tables), their columns, and the SQL types the driver describes
// values with.
//
// A catalog result is run as a SELECT of literal rows on the connection,
// so that it is described, fetched and read like any other result. Names
// are matched as search patterns ('%' any run, '_' one character, '\'
// escapes), ignoring ASCII letter case as SQL names do; a null pattern
// matches everything. Tables have no catalog or schema: their names are
// empty.
#include "odbc3.h"
#include "sql_data.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

using namespace torqa;
using namespace torqa::driver;

namespace {

using row = std::vector<std::string>;  // SQL literals

std::string literal(std::string_view text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? "''" : std::string(1, c);
  return out + "'";
}

std::string literal(long long n) { return std::to_string(n); }

const std::string null = "NULL";

/// A SELECT answering `rows` under the column names.
std::string select_of(const std::vector<const char*>& names, const std::vector<row>& rows) {
  std::string sql = "SELECT ";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) sql += ", ";
    sql += (rows.empty() ? std::string("NULL") : "column" + std::to_string(i + 1)) + " AS \"" + names[i] + '"';
  }
  if (rows.empty()) return sql + " WHERE 0";
  sql += " FROM (VALUES ";
  for (std::size_t r = 0; r < rows.size(); ++r) {
    sql += r > 0 ? ", (" : "(";
    for (std::size_t i = 0; i < rows[r].size(); ++i) sql += (i > 0 ? ", " : "") + rows[r][i];
    sql += ')';
  }
  return sql + ")";
}

char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

/// Whether `name` matches the search pattern `p`.
bool matches(const std::optional<std::string>& pattern, std::string_view name) {
  if (!pattern) return true;
  const std::string& p = *pattern;
  std::size_t i = 0, n = 0;
  std::size_t star = std::string::npos, resume = 0;  // the last '%' and where its match may grow
  while (n < name.size()) {
    if (i < p.size() && p[i] == '%') {
      star = ++i;
      resume = n;
      continue;
    }
    if (i < p.size()) {
      const bool escaped = p[i] == '\\' && i + 1 < p.size();
      const char want = escaped ? p[i + 1] : p[i];
      if ((!escaped && want == '_') || fold(want) == fold(name[n])) {
        i += escaped ? 2 : 1;
        ++n;
        continue;
      }
    }
    if (star == std::string::npos) return false;
    i = star;
    n = ++resume;
  }
  while (i < p.size() && p[i] == '%') ++i;
  return i == p.size();
}

/// An optional name argument: null is no pattern.
template <class Char>
SQLRETURN pattern_arg(diagnostic& d, const Char* text, SQLSMALLINT length, std::optional<std::string>& out) {
  if (text == nullptr) return SQL_SUCCESS;
  std::string s;
  const SQLRETURN rc = text_arg(d, text, length, s);
  out = std::move(s);
  return rc;
}

/// Whether a SQLTables type list ("TABLE", "'TABLE','VIEW'") names tables.
bool lists_tables(const std::optional<std::string>& types) {
  if (!types || types->empty()) return true;
  std::string_view t = *types;
  while (!t.empty()) {
    const std::size_t comma = std::min(t.find(','), t.size());
    std::string_view one = t.substr(0, comma);
    while (!one.empty() && (one.front() == ' ' || one.front() == '\'')) one.remove_prefix(1);
    while (!one.empty() && (one.back() == ' ' || one.back() == '\'')) one.remove_suffix(1);
    if (server::same_name(one, "TABLE") || one == "%") return true;
    t.remove_prefix(std::min(comma + 1, t.size()));
  }
  return false;
}

SQLRETURN run(stmt& s, const std::vector<const char*>& names, const std::vector<row>& rows) {
  return exec_direct(s, select_of(names, rows));
}

template <class Char>
SQLRETURN tables(SQLHSTMT h, const Char* cat, SQLSMALLINT cat_len, const Char* schem, SQLSMALLINT schem_len,
                 const Char* table, SQLSMALLINT table_len, const Char* type, SQLSMALLINT type_len) {
  stmt* s = as_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  s->diag.clear();
  std::optional<std::string> c, sc, t, ty;
  for (const SQLRETURN rc : {pattern_arg(s->diag, cat, cat_len, c), pattern_arg(s->diag, schem, schem_len, sc),
                             pattern_arg(s->diag, table, table_len, t), pattern_arg(s->diag, type, type_len, ty)})
    if (rc != SQL_SUCCESS) return rc;
  static const std::vector<const char*> names = {"TABLE_CAT", "TABLE_SCHEM", "TABLE_NAME", "TABLE_TYPE", "REMARKS"};
  std::vector<row> rows;
  const auto empty = [](const std::optional<std::string>& v) { return v && v->empty(); };
  if (ty && *ty == "%" && empty(c) && empty(sc) && empty(t)) {
    // The list of table types.
    rows.push_back({null, null, null, literal("TABLE"), null});
  } else if (matches(c, "") && matches(sc, "") && lists_tables(ty)) {
    try {
      for (const catalog_table& table : s->owner->sql->catalog(false))
        if (matches(t, table.name)) rows.push_back({null, null, literal(table.name), literal("TABLE"), null});
    } catch (const server::server_error& e) {
      return s->diag.set(SQL_ERROR, "HY000", e.msg, e.code);
    }
  }
  return run(*s, names, rows);
}

template <class Char>
SQLRETURN columns(SQLHSTMT h, const Char* cat, SQLSMALLINT cat_len, const Char* schem, SQLSMALLINT schem_len,
                  const Char* table, SQLSMALLINT table_len, const Char* column, SQLSMALLINT column_len) {
  stmt* s = as_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  s->diag.clear();
  std::optional<std::string> c, sc, t, col;
  for (const SQLRETURN rc : {pattern_arg(s->diag, cat, cat_len, c), pattern_arg(s->diag, schem, schem_len, sc),
                             pattern_arg(s->diag, table, table_len, t), pattern_arg(s->diag, column, column_len, col)})
    if (rc != SQL_SUCCESS) return rc;
  static const std::vector<const char*> names = {
      "TABLE_CAT",     "TABLE_SCHEM",      "TABLE_NAME",        "COLUMN_NAME",      "DATA_TYPE", "TYPE_NAME",
      "COLUMN_SIZE",   "BUFFER_LENGTH",    "DECIMAL_DIGITS",    "NUM_PREC_RADIX",   "NULLABLE",  "REMARKS",
      "COLUMN_DEF",    "SQL_DATA_TYPE",    "SQL_DATETIME_SUB",  "CHAR_OCTET_LENGTH", "ORDINAL_POSITION",
      "IS_NULLABLE"};
  std::vector<row> rows;
  try {
    if (matches(c, "") && matches(sc, "")) {
      sql_source& sql = *s->owner->sql;
      const bool unicode = sql.unicode();
      for (const catalog_table& table : sql.catalog(true)) {
        const std::string& name = table.name;
        if (!matches(t, name)) continue;
        long long position = 0;
        for (const server::table_column& tc : table.columns) {
          ++position;
          if (!matches(col, tc.name)) continue;
          bool known = false;
          const server::sql_kind kind = server::decltype_kind(tc.type, known);
          const SQLSMALLINT type = sql_type_of(kind, unicode);
          const type_facts f = facts_of(type);
          const auto size = static_cast<long long>(column_size_of(kind));
          rows.push_back({null, null, literal(name), literal(tc.name), literal(type), literal(f.name), literal(size),
                          literal(f.octets ? f.octets : size), f.numeric ? literal(0LL) : null,
                          f.radix ? literal(f.radix) : null, literal(tc.not_null ? SQL_NO_NULLS : SQL_NULLABLE),
                          null, null, literal(f.verbose), f.subcode ? literal(f.subcode) : null,
                          f.octets ? null : literal(size), literal(position), literal(tc.not_null ? "NO" : "YES")});
        }
      }
    }
  } catch (const server::server_error& e) {
    return s->diag.set(SQL_ERROR, "HY000", e.msg, e.code);
  }
  return run(*s, names, rows);
}

SQLRETURN type_info(SQLHSTMT h, SQLSMALLINT wanted) {
  stmt* s = as_stmt(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  s->diag.clear();
  static const std::vector<const char*> names = {
      "TYPE_NAME",       "DATA_TYPE",       "COLUMN_SIZE",    "LITERAL_PREFIX",   "LITERAL_SUFFIX",
      "CREATE_PARAMS",   "NULLABLE",        "CASE_SENSITIVE", "SEARCHABLE",       "UNSIGNED_ATTRIBUTE",
      "FIXED_PREC_SCALE", "AUTO_UNIQUE_VALUE", "LOCAL_TYPE_NAME", "MINIMUM_SCALE",  "MAXIMUM_SCALE",
      "SQL_DATA_TYPE",   "SQL_DATETIME_SUB", "NUM_PREC_RADIX", "INTERVAL_PRECISION"};
  using server::sql_kind;
  bool unicode = false;
  try {
    unicode = s->owner->sql->unicode();
  } catch (const server::server_error& e) {
    return s->diag.set(SQL_ERROR, "HY000", e.msg, e.code);
  }
  std::vector<std::pair<SQLSMALLINT, sql_kind>> types;
  for (const sql_kind k : {sql_kind::integer, sql_kind::double_, sql_kind::text, sql_kind::long_text, sql_kind::binary,
                           sql_kind::long_binary, sql_kind::date, sql_kind::time, sql_kind::timestamp})
    if (wanted == SQL_ALL_TYPES || wanted == sql_type_of(k, unicode)) types.emplace_back(sql_type_of(k, unicode), k);
  std::sort(types.begin(), types.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<row> rows;
  for (const auto& [type, kind] : types) {
    const type_facts f = facts_of(type);
    const std::string quote = f.text ? "'" : f.binary ? "X'" : "";
    rows.push_back({literal(f.name), literal(type), literal(static_cast<long long>(column_size_of(kind))),
                    quote.empty() ? null : literal(quote), quote.empty() ? null : literal("'"), null,
                    literal(SQL_NULLABLE), literal(f.text ? SQL_TRUE : SQL_FALSE),
                    literal(f.text ? SQL_SEARCHABLE : SQL_PRED_BASIC), f.numeric ? literal(SQL_FALSE) : null,
                    literal(SQL_FALSE), f.numeric ? literal(SQL_FALSE) : null, literal(f.name),
                    f.numeric ? literal(0LL) : null, f.numeric ? literal(0LL) : null, literal(f.verbose),
                    f.subcode ? literal(f.subcode) : null, f.radix ? literal(f.radix) : null, null});
  }
  return run(*s, names, rows);
}

}  // namespace

TORQA_DRV_EXPORT SQLRETURN SQLTables(SQLHSTMT h, SQLCHAR* cat, SQLSMALLINT cat_len, SQLCHAR* schem,
                                     SQLSMALLINT schem_len, SQLCHAR* table, SQLSMALLINT table_len, SQLCHAR* type,
                                     SQLSMALLINT type_len) {
  return tables(h, cat, cat_len, schem, schem_len, table, table_len, type, type_len);
}

TORQA_DRV_EXPORT SQLRETURN SQLTablesW(SQLHSTMT h, SQLWCHAR* cat, SQLSMALLINT cat_len, SQLWCHAR* schem,
                                      SQLSMALLINT schem_len, SQLWCHAR* table, SQLSMALLINT table_len, SQLWCHAR* type,
                                      SQLSMALLINT type_len) {
  return tables(h, cat, cat_len, schem, schem_len, table, table_len, type, type_len);
}

TORQA_DRV_EXPORT SQLRETURN SQLColumns(SQLHSTMT h, SQLCHAR* cat, SQLSMALLINT cat_len, SQLCHAR* schem,
                                      SQLSMALLINT schem_len, SQLCHAR* table, SQLSMALLINT table_len, SQLCHAR* column,
                                      SQLSMALLINT column_len) {
  return columns(h, cat, cat_len, schem, schem_len, table, table_len, column, column_len);
}

TORQA_DRV_EXPORT SQLRETURN SQLColumnsW(SQLHSTMT h, SQLWCHAR* cat, SQLSMALLINT cat_len, SQLWCHAR* schem,
                                       SQLSMALLINT schem_len, SQLWCHAR* table, SQLSMALLINT table_len,
                                       SQLWCHAR* column, SQLSMALLINT column_len) {
  return columns(h, cat, cat_len, schem, schem_len, table, table_len, column, column_len);
}

TORQA_DRV_EXPORT SQLRETURN SQLGetTypeInfo(SQLHSTMT h, SQLSMALLINT type) { return type_info(h, type); }
TORQA_DRV_EXPORT SQLRETURN SQLGetTypeInfoW(SQLHSTMT h, SQLSMALLINT type) { return type_info(h, type); }
