#include "server/sql/sql.h"

#include "server/errors.h"
#include "server/core/session.h"
#include "server/auth/users.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <chrono>
#include <climits>
#include <map>
#include <optional>

namespace torqa::server {

namespace {

constexpr std::string_view query_info_procedure = "%Library.CPPStoredProc_getQueryInfo";
constexpr std::string_view schema_procedure = "%Torqa.Schema";

bool contains(const std::string& upper, const char* part) { return upper.find(part) != std::string::npos; }

std::string upper(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return r;
}

/// At most 200 bytes of a name for a message, not cutting a UTF-8 sequence.
std::string clip(std::string_view s) {
  if (s.size() <= 200) return std::string(s);
  std::size_t n = 200;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return std::string(s.substr(0, n)) + "...";
}

sql_kind kind_of(data_type t) {
  switch (t) {
    case data_type::integer:
    case data_type::boolean:
    case data_type::object:
      return sql_kind::integer;
    case data_type::double_:
      return sql_kind::double_;
    case data_type::binary:
    case data_type::list:
      return sql_kind::binary;
    case data_type::date:
      return sql_kind::date;
    case data_type::time:
      return sql_kind::time;
    case data_type::timestamp:
      return sql_kind::timestamp;
    default:
      return sql_kind::text;
  }
}

// ---- The call escape ----

struct call_escape {
  bool returns = false;  ///< "{ ? = call ... }"
  std::string name;
  int args = 0;
};

[[noreturn]] void malformed_call(const char* what) {
  throw server_error(err_malformed, std::string("malformed call escape: expected ") + what);
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

/// "{ [? =] call name[(?, ...)] }"; empty for text that is no escape.
std::optional<call_escape> parse_call(std::string_view t) {
  std::size_t i = 0;
  const auto skip = [&] {
    while (i < t.size() && blank(t[i])) ++i;
  };
  const auto at = [&](char c) { return i < t.size() && t[i] == c; };
  skip();
  if (!at('{')) return std::nullopt;
  ++i;
  skip();
  call_escape c;
  if (at('?')) {
    ++i;
    skip();
    if (!at('=')) malformed_call("'=' after '?'");
    ++i;
    skip();
    c.returns = true;
  }
  if (t.size() - i < 5 || !same_name(t.substr(i, 4), "call") || !blank(t[i + 4])) malformed_call("'call'");
  i += 4;
  skip();
  const std::size_t start = i;
  while (i < t.size() && (std::isalnum(static_cast<unsigned char>(t[i])) || t[i] == '_' || t[i] == '%' || t[i] == '.'))
    ++i;
  if (i == start) malformed_call("a procedure name");
  c.name = std::string(t.substr(start, i - start));
  skip();
  if (at('(')) {
    ++i;
    skip();
    if (!at(')')) {
      for (;;) {
        if (!at('?')) malformed_call("'?' for each argument");
        ++i;
        ++c.args;
        skip();
        if (at(')')) break;
        if (!at(',')) malformed_call("',' or ')'");
        ++i;
        skip();
      }
    }
    ++i;
    skip();
  }
  if (!at('}')) malformed_call("'}'");
  ++i;
  skip();
  if (i != t.size()) malformed_call("nothing after '}'");
  return c;
}

// ---- Parameter kinds of plain SQL ----

struct token {
  enum kind_t { word, quoted, literal, param, op, punct } kind;
  std::string_view text;
};

bool word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

/// The tokens of `s`; `plain` is false when a parameter is numbered or
/// named (its number then cannot be told from its position).
std::vector<token> tokenize(std::string_view s, bool& plain) {
  std::vector<token> out;
  plain = true;
  std::size_t i = 0;
  const auto quoted_to = [&](char close) {
    std::size_t j = i + 1;
    for (; j < s.size(); ++j) {
      if (s[j] != close) continue;
      if (j + 1 < s.size() && s[j + 1] == close && close != ']') {
        ++j;
        continue;
      }
      break;
    }
    return j;
  };
  while (i < s.size()) {
    const char c = s[i];
    if (blank(c)) {
      ++i;
    } else if (s.compare(i, 2, "--") == 0) {
      const std::size_t e = s.find('\n', i);
      i = e == std::string_view::npos ? s.size() : e;
    } else if (s.compare(i, 2, "/*") == 0) {
      const std::size_t e = s.find("*/", i + 2);
      i = e == std::string_view::npos ? s.size() : e + 2;
    } else if (c == '\'' || c == '"' || c == '[' || c == '`') {
      const std::size_t j = quoted_to(c == '[' ? ']' : c);
      const std::size_t end = std::min(j, s.size());
      out.push_back({c == '\'' ? token::literal : token::quoted, s.substr(i + 1, end - i - 1)});
      i = std::min(j + 1, s.size());
    } else if (c == '?' || c == ':' || c == '@' || (c == '$' && i + 1 < s.size() && !blank(s[i + 1]))) {
      std::size_t j = i + 1;
      while (j < s.size() && word_char(s[j])) ++j;
      if (j > i + 1 || c != '?') plain = false;
      out.push_back({token::param, s.substr(i, j - i)});
      i = j;
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      std::size_t j = i + 1;
      while (j < s.size() && (word_char(s[j]) || s[j] == '.')) ++j;
      out.push_back({token::literal, s.substr(i, j - i)});
      i = j;
    } else if (word_char(c)) {
      std::size_t j = i + 1;
      while (j < s.size() && word_char(s[j])) ++j;
      out.push_back({token::word, s.substr(i, j - i)});
      i = j;
    } else if (c == '(' || c == ')' || c == ',' || c == '.' || c == ';') {
      out.push_back({token::punct, s.substr(i, 1)});
      ++i;
    } else {
      std::size_t n = 1;
      if (i + 1 < s.size()) {
        const std::string_view two = s.substr(i, 2);
        if (two == "==" || two == "<>" || two == "!=" || two == "<=" || two == ">=" || two == "||") n = 2;
      }
      out.push_back({token::op, s.substr(i, n)});
      i += n;
    }
  }
  return out;
}

class param_inference {
 public:
  param_inference(sqlite3* db, std::string_view sql) : db_(db) {
    toks_ = tokenize(sql, plain_);
    for (const token& t : toks_)
      if (is_name(t) && table_exists(std::string(t.text))) tables_.push_back(std::string(t.text));
  }

  std::vector<std::optional<sql_kind>> kinds(int count) {
    std::vector<std::optional<sql_kind>> out(static_cast<std::size_t>(count));
    if (!plain_) return out;
    const std::map<std::size_t, std::pair<std::string, std::string>> inserted = insert_targets();
    int k = 0;
    for (std::size_t p = 0; p < toks_.size() && k < count; ++p) {
      if (toks_[p].kind != token::param) continue;
      const auto it = inserted.find(p);
      out[static_cast<std::size_t>(k++)] =
          it != inserted.end() ? column_kind(it->second.first, it->second.second) : compared_kind(p);
    }
    return out;
  }

 private:
  static bool is_name(const token& t) { return t.kind == token::word || t.kind == token::quoted; }

  bool is_word(std::ptrdiff_t i, std::string_view w) const {
    return i >= 0 && static_cast<std::size_t>(i) < toks_.size() && toks_[i].kind == token::word &&
           same_name(toks_[i].text, w);
  }
  bool is_punct(std::ptrdiff_t i, char c) const {
    return i >= 0 && static_cast<std::size_t>(i) < toks_.size() && toks_[i].kind == token::punct &&
           toks_[i].text[0] == c;
  }
  bool is_comparison(std::ptrdiff_t i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= toks_.size()) return false;
    const token& t = toks_[i];
    if (t.kind == token::op)
      return t.text == "=" || t.text == "==" || t.text == "<>" || t.text == "!=" || t.text == "<" ||
             t.text == "<=" || t.text == ">" || t.text == ">=";
    return is_word(i, "LIKE") || is_word(i, "GLOB") || is_word(i, "IS");
  }

  bool table_exists(const std::string& name) const {
    return sqlite3_table_column_metadata(db_, nullptr, name.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr) == SQLITE_OK;
  }

  std::optional<sql_kind> column_kind(const std::string& table, const std::string& column) const {
    const char* decl = nullptr;
    if (sqlite3_table_column_metadata(db_, nullptr, table.c_str(), column.c_str(), &decl, nullptr, nullptr, nullptr,
                                      nullptr) != SQLITE_OK ||
        decl == nullptr)
      return std::nullopt;
    bool known = false;
    const sql_kind k = decltype_kind(decl, known);
    return known ? std::optional(k) : std::nullopt;
  }

  /// The kind of the column reference whose last token is at `end`
  /// ("col" or "qualifier.col").
  std::optional<sql_kind> reference_ending(std::ptrdiff_t end) const {
    if (end < 0 || !is_name(toks_[end])) return std::nullopt;
    const std::string column(toks_[end].text);
    if (is_punct(end - 1, '.') && end >= 2 && is_name(toks_[end - 2])) {
      const std::string qualifier(toks_[end - 2].text);
      if (table_exists(qualifier)) return column_kind(qualifier, column);
    }
    for (const std::string& t : tables_)
      if (auto k = column_kind(t, column)) return k;
    return std::nullopt;
  }

  /// The column reference that begins at `start`.
  std::optional<sql_kind> reference_starting(std::size_t start) const {
    if (start >= toks_.size() || !is_name(toks_[start])) return std::nullopt;
    const bool qualified = is_punct(static_cast<std::ptrdiff_t>(start) + 1, '.') && start + 2 < toks_.size() &&
                           is_name(toks_[start + 2]);
    return reference_ending(static_cast<std::ptrdiff_t>(qualified ? start + 2 : start));
  }

  /// A parameter at `p` in "col op ?", "? op col", "col [NOT] BETWEEN ? AND
  /// ?" or "col [NOT] IN (..., ?, ...)".
  std::optional<sql_kind> compared_kind(std::size_t p) const {
    auto j = static_cast<std::ptrdiff_t>(p) - 1;
    const auto skip_not = [&] {
      if (is_word(j, "NOT")) --j;
    };
    skip_not();
    if (is_comparison(j)) {
      --j;
      skip_not();
      return reference_ending(j);
    }
    j = static_cast<std::ptrdiff_t>(p) - 1;
    if (is_word(j, "AND") && j >= 2 && is_word(j - 2, "BETWEEN")) j -= 2;
    if (is_word(j, "BETWEEN")) {
      --j;
      skip_not();
      return reference_ending(j);
    }
    j = static_cast<std::ptrdiff_t>(p) - 1;
    while (j >= 0 && (is_punct(j, ',') || toks_[j].kind == token::param || toks_[j].kind == token::literal)) --j;
    if (is_punct(j, '(') && is_word(j - 1, "IN")) {
      j -= 2;
      skip_not();
      return reference_ending(j);
    }
    if (is_comparison(static_cast<std::ptrdiff_t>(p) + 1)) return reference_starting(p + 2);
    return std::nullopt;
  }

  /// Parameters that are whole items of "INSERT ... INTO table (columns)
  /// VALUES (items), ...": token index -> (table, column).
  std::map<std::size_t, std::pair<std::string, std::string>> insert_targets() const {
    std::map<std::size_t, std::pair<std::string, std::string>> out;
    std::size_t i = 0;
    while (i < toks_.size() && !is_word(static_cast<std::ptrdiff_t>(i), "INTO")) ++i;
    if (i + 2 >= toks_.size() || !is_name(toks_[i + 1])) return out;
    std::size_t at = i + 1;
    if (is_punct(static_cast<std::ptrdiff_t>(at) + 1, '.') && at + 2 < toks_.size()) at += 2;  // schema.table
    const std::string table(toks_[at].text);
    std::size_t j = at + 1;
    std::vector<std::string> columns;
    if (!is_punct(static_cast<std::ptrdiff_t>(j), '(')) return out;
    for (++j; j < toks_.size() && is_name(toks_[j]); j += 2) {
      columns.emplace_back(toks_[j].text);
      if (!is_punct(static_cast<std::ptrdiff_t>(j) + 1, ',')) {
        ++j;
        break;
      }
    }
    if (!is_punct(static_cast<std::ptrdiff_t>(j), ')') || !is_word(static_cast<std::ptrdiff_t>(j) + 1, "VALUES"))
      return out;
    j += 2;
    // Tuples of single-token items.
    while (is_punct(static_cast<std::ptrdiff_t>(j), '(')) {
      std::size_t n = 0;
      for (++j; j < toks_.size(); j += 2, ++n) {
        const bool last = is_punct(static_cast<std::ptrdiff_t>(j) + 1, ')');
        if (!last && !is_punct(static_cast<std::ptrdiff_t>(j) + 1, ',')) return out;  // an expression
        if (toks_[j].kind == token::param && n < columns.size()) out[j] = {table, columns[n]};
        if (last) break;
      }
      if (!is_punct(static_cast<std::ptrdiff_t>(j) + 1, ')')) break;
      j += 2;
      if (!is_punct(static_cast<std::ptrdiff_t>(j), ',')) break;
      ++j;
    }
    return out;
  }

  sqlite3* db_;
  std::vector<token> toks_;
  bool plain_ = true;
  std::vector<std::string> tables_;
};

}  // namespace

sql_kind decltype_kind(std::string_view decl, bool& known) {
  known = !decl.empty();
  const std::string u = upper(decl);
  static const std::map<std::string, sql_kind, std::less<>> exact = {
      {"VARCHAR", sql_kind::text},           {"LONGVARCHAR", sql_kind::long_text}, {"INTEGER", sql_kind::integer},
      {"BOOLEAN", sql_kind::integer},        {"DOUBLE", sql_kind::double_},        {"VARBINARY", sql_kind::binary},
      {"LONGVARBINARY", sql_kind::long_binary}, {"DATE", sql_kind::date},          {"TIME", sql_kind::time},
      {"TIMESTAMP", sql_kind::timestamp},    {"DATETIME", sql_kind::timestamp}};
  if (const auto it = exact.find(u); it != exact.end()) return it->second;
  // SQLite's affinity rules, in their order.
  if (contains(u, "INT")) return sql_kind::integer;
  if (contains(u, "CHAR") || contains(u, "CLOB") || contains(u, "TEXT")) return sql_kind::text;
  if (contains(u, "BLOB") || contains(u, "BINARY")) return sql_kind::binary;
  if (contains(u, "REAL") || contains(u, "FLOA") || contains(u, "DOUB") || contains(u, "NUM") || contains(u, "DEC"))
    return sql_kind::double_;
  if (contains(u, "BOOL")) return sql_kind::integer;
  known = false;
  return sql_kind::text;
}

std::vector<std::optional<sql_kind>> infer_param_kinds(sqlite3* db, std::string_view sql, int count) {
  return param_inference(db, sql).kinds(count);
}

sql_statement::sql_statement(connection& c, std::string_view text) : conn_(c) {
  const std::optional<call_escape> call = parse_call(text);
  if (!call) {
    prepare_sql(std::string(text));
    params_ = infer_param_kinds(conn_.store().db(), text, sqlite3_bind_parameter_count(st_.get()));
    return;
  }
  if (call->returns) {
    if (!same_name(call->name, query_info_procedure) || call->args != 2)
      throw server_error(err_malformed, "the only procedure with a result is " + std::string(query_info_procedure) +
                                            "(?, ?)");
    form_ = form::query_info;
    params_ = {sql_kind::binary, sql_kind::text, sql_kind::text};
    return;
  }
  if (same_name(call->name, schema_procedure)) {
    if (call->args != 0) throw server_error(err_malformed, std::string(schema_procedure) + " takes no parameters");
    prepare_sql("SELECT ?1 AS \"schema\"");
    form_ = form::call;
    schema_call_ = true;
    columns_ = {{"schema", sql_kind::long_text, 0}};
    return;
  }
  if (const int n = user_procedure_params(call->name); n >= 0) {
    if (call->args != n)
      throw server_error(err_malformed, "procedure " + call->name + " takes " + std::to_string(n) + " parameters");
    form_ = form::user;
    procedure_ = call->name;
    sqlite3_stmt* st = nullptr;
    // The statement holds the parameters; its one column answers the user
    // name once the call succeeded.
    const std::string holder = n == 1 ? "SELECT ?1 AS \"user\"" : "SELECT ?1 AS \"user\", ?2";
    if (sqlite3_prepare_v2(conn_.store().db(), holder.c_str(), -1, &st, nullptr) != SQLITE_OK)
      throw server_error(err_storage, sqlite3_errmsg(conn_.store().db()));
    st_.reset(st);
    params_.assign(static_cast<std::size_t>(n), sql_kind::text);
    columns_.push_back({"user", sql_kind::text, 0});
    return;
  }
  const query* q = conn_.get_schema().find_procedure(call->name);
  if (q == nullptr) throw server_error(err_malformed, "no stored procedure " + clip(call->name));
  if (static_cast<std::size_t>(call->args) != q->params.size())
    throw server_error(err_malformed, "procedure " + q->sql_name + " takes " + std::to_string(q->params.size()) +
                                          " parameters, not " + std::to_string(call->args));
  prepare_sql(q->sql);
  if (sqlite3_bind_parameter_count(st_.get()) != call->args)
    throw server_error(err_malformed, "the statement of procedure " + q->sql_name + " does not take " +
                                          std::to_string(call->args) + " parameters");
  form_ = form::call;
  for (const argument& a : q->params) params_.push_back(kind_of(a.type.type));
}

sql_statement::~sql_statement() = default;

void sql_statement::finalizer::operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }

namespace {

bool is_class_table(const schema& sch, const char* name) {
  const std::vector<std::string> tables = client_tables(sch);
  return name != nullptr && std::any_of(tables.begin(), tables.end(),
                                        [&](const std::string& t) { return sqlite3_stricmp(name, t.c_str()) == 0; });
}

bool one_of(const char* name, std::initializer_list<const char*> names) {
  return name != nullptr &&
         std::any_of(names.begin(), names.end(), [&](const char* n) { return sqlite3_stricmp(name, n) == 0; });
}

bool main_db(const char* db) { return db == nullptr || sqlite3_stricmp(db, "main") == 0; }

// The authorizer of every connection. Client SQL may read and write the
// classes' tables and call functions without effects outside the
// statement, nothing else: no schema change of any kind (so no trigger or
// view of a client can exist for the server's own statements to run), no
// writing PRAGMA, no VACUUM, no other database files, no extensions.
// Statements of the server itself are not held to these rules.
int client_sql_guard(void* user, int action, const char* a, const char* b, const char* db, const char*) {
  const connection& c = *static_cast<const connection*>(user);
  if (!c.client_sql) return SQLITE_OK;
  switch (action) {
    case SQLITE_SELECT:
    case SQLITE_RECURSIVE:
      return SQLITE_OK;
    case SQLITE_READ:
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
      return main_db(db) && is_class_table(c.get_schema(), a) ? SQLITE_OK : SQLITE_DENY;
    case SQLITE_FUNCTION:
      return one_of(b, {"load_extension", "fts3_tokenizer"}) ? SQLITE_DENY : SQLITE_OK;
    case SQLITE_PRAGMA:
      // Reads only: a table's columns, or a value asked without setting it.
      if (!main_db(db)) return SQLITE_DENY;
      if (one_of(a, {"table_info", "table_xinfo"})) return is_class_table(c.get_schema(), b) ? SQLITE_OK : SQLITE_DENY;
      return b == nullptr && one_of(a, {"encoding", "user_version", "data_version", "page_size", "page_count"})
                 ? SQLITE_OK
                 : SQLITE_DENY;
    default:
      return SQLITE_DENY;
  }
}

}  // namespace

// Holds the connection to the client's rules while client SQL is prepared
// or stepped, and stops a step that runs past the namespace's time limit
// or makes SQLite's memory grow past its memory limit.
class sql_statement::client_scope {
 public:
  explicit client_scope(connection& c)
      : c_(c),
        db_(c.store().db()),
        baseline_(sqlite3_memory_used()),
        length_(sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, -1)) {
    c_.client_sql = true;
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, static_cast<int>(std::min<std::int64_t>(c.ns().limits().memory, length_)));
    sqlite3_progress_handler(db_, 1000, &client_scope::progress, this);
  }
  client_scope(const client_scope&) = delete;
  client_scope& operator=(const client_scope&) = delete;
  ~client_scope() {
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, length_);
    c_.client_sql = false;
  }

  /// The error of a failed prepare or step: a limit that stopped it, or
  /// what SQLite says; an object transaction SQLite rolled back with it
  /// is over.
  server_error failure() {
    const run_limits& l = c_.ns().limits();
    std::string msg = stopped_ == 't'   ? "the statement ran longer than " + std::to_string(l.time_ms) + " ms"
                      : stopped_ == 'm' ? "the statement used more than " + std::to_string(l.memory) + " bytes"
                                        : std::string(sqlite3_errmsg(db_));
    if (c_.tx_level > 0 && sqlite3_get_autocommit(db_) != 0) {
      c_.tx_level = 0;
      msg += " (the open transaction was rolled back)";
    }
    return server_error(err_storage, msg);
  }

 private:
  static int progress(void* self) {
    auto& s = *static_cast<client_scope*>(self);
    // The clock starts at the first call, a thousand instructions in: most
    // steps (one row each) end before, and reading the clock for each would
    // cost a fetch several percent.
    const auto now = std::chrono::steady_clock::now();
    if (s.deadline_ == std::chrono::steady_clock::time_point{})
      s.deadline_ = now + std::chrono::milliseconds(s.c_.ns().limits().time_ms);
    if (now > s.deadline_)
      s.stopped_ = 't';
    else if (sqlite3_memory_used() - s.baseline_ > s.c_.ns().limits().memory)
      s.stopped_ = 'm';
    return s.stopped_ != 0;
  }

  connection& c_;
  sqlite3* db_;
  std::chrono::steady_clock::time_point deadline_{};  // set by the first progress call
  sqlite3_int64 baseline_;
  int length_;
  char stopped_ = 0;  // 't' time, 'm' memory
};

void sql_statement::prepare_sql(const std::string& sql) {
  if (sql.size() >= INT_MAX) throw server_error(err_storage, "statement too long");
  sqlite3* db = conn_.store().db();
  // Installed for good: a statement that SQLite compiles again while it
  // runs is checked again.
  sqlite3_set_authorizer(db, client_sql_guard, &conn_);
  client_scope scope(conn_);
  const char* tail = nullptr;
  sqlite3_stmt* st = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()) + 1, &st, &tail);
  st_.reset(st);
  if (rc != SQLITE_OK) throw scope.failure();
  if (st_ == nullptr) throw server_error(err_storage, "no SQL statement");
  // Only blanks, comments and ';' may follow the statement.
  while (tail != nullptr && *tail != '\0') {
    sqlite3_stmt* more = nullptr;
    const char* next = nullptr;
    const int more_rc = sqlite3_prepare_v2(db, tail, -1, &more, &next);
    sqlite3_finalize(more);
    if (more_rc != SQLITE_OK || more != nullptr) throw server_error(err_storage, "one SQL statement at a time");
    tail = next;
  }
  describe_columns();
}

void sql_statement::describe_columns() {
  sqlite3* db = conn_.store().db();
  const int n = sqlite3_column_count(st_.get());
  std::vector<int> unknown;
  for (int i = 0; i < n; ++i) {
    sql_column c;
    const char* name = sqlite3_column_name(st_.get(), i);
    c.name = name != nullptr ? name : "";
    const char* decl = sqlite3_column_decltype(st_.get(), i);
    bool known = false;
    c.kind = decltype_kind(decl != nullptr ? decl : "", known);
    if (!known) unknown.push_back(i);
    const char* table = sqlite3_column_table_name(st_.get(), i);
    const char* origin = sqlite3_column_origin_name(st_.get(), i);
    int not_null = 0, key = 0;
    if (table != nullptr && origin != nullptr &&
        sqlite3_table_column_metadata(db, sqlite3_column_database_name(st_.get(), i), table, origin, nullptr, nullptr,
                                      &not_null, &key, nullptr) == SQLITE_OK) {
      // An INTEGER PRIMARY KEY is the row id, never null.
      const bool row_id = key != 0 && decl != nullptr && same_name(decl, "INTEGER");
      c.nullable = not_null != 0 || row_id ? 0 : 1;
    }
    columns_.push_back(std::move(c));
  }
  // Expression columns: the type of the first row's value.
  if (unknown.empty() || !sqlite3_stmt_readonly(st_.get())) return;
  if (sqlite3_step(st_.get()) == SQLITE_ROW) {
    for (const int i : unknown) {
      switch (sqlite3_column_type(st_.get(), i)) {
        case SQLITE_INTEGER:
          columns_[i].kind = sql_kind::integer;
          break;
        case SQLITE_FLOAT:
          columns_[i].kind = sql_kind::double_;
          break;
        case SQLITE_BLOB:
          columns_[i].kind = sql_kind::binary;
          break;
        default:
          break;
      }
    }
  }
  sqlite3_reset(st_.get());
}

void sql_statement::check(int rc) const {
  if (rc != SQLITE_OK) throw server_error(err_storage, sqlite3_errmsg(conn_.store().db()));
}

void sql_statement::close() {
  if (st_ == nullptr) return;
  sqlite3_reset(st_.get());
  sqlite3_clear_bindings(st_.get());
  state_ = state::idle;
  conn_.store().after_statement();
}

void sql_statement::bind_null(int i) { check(sqlite3_bind_null(st_.get(), i)); }
void sql_statement::bind_int(int i, std::int64_t v) { check(sqlite3_bind_int64(st_.get(), i, v)); }
void sql_statement::bind_double(int i, double v) { check(sqlite3_bind_double(st_.get(), i, v)); }

void sql_statement::bind_text(int i, std::string_view utf8) {
  check(sqlite3_bind_text64(st_.get(), i, utf8.data(), utf8.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}

void sql_statement::bind_blob(int i, std::string_view bytes) {
  check(sqlite3_bind_blob64(st_.get(), i, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
}

void sql_statement::bind(int i, const sql_value& v) {
  switch (v.type) {
    case sql_value::null:
      return bind_null(i);
    case sql_value::integer:
      return bind_int(i, v.i);
    case sql_value::real:
      return bind_double(i, v.d);
    case sql_value::text:
      return bind_text(i, v.bytes);
    case sql_value::blob:
      return bind_blob(i, v.bytes);
  }
}

void sql_statement::execute() {
  if (st_ == nullptr) throw server_error(err_argument, "the query information call is answered by query_info");
  if (state_ != state::idle) sqlite3_reset(st_.get());
  if (schema_call_) {
    std::ifstream in(conn_.ns().dir() + "/schema.tq", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) throw server_error(err_storage, "cannot read the namespace's schema");
    bind_text(1, text);
  }
  if (form_ == form::user) {
    run_user_call();
    return;
  }
  sqlite3* db = conn_.store().db();
  const sqlite3_int64 before = sqlite3_total_changes64(db);
  std::optional<server_error> failed;
  const int rc = client_step(failed);
  changes_ = sqlite3_total_changes64(db) - before;
  if (rc == SQLITE_ROW) {
    state_ = state::first_row;
    return;
  }
  if (failed) sqlite3_reset(st_.get());
  state_ = failed ? state::idle : state::done;
  conn_.store().after_statement();
  if (failed) throw *failed;
}

int sql_statement::client_step(std::optional<server_error>& failed) {
  // The scope ends with the step: what the server does after it (its own
  // statements) is not held to the client's rules.
  client_scope scope(conn_);
  const int rc = sqlite3_step(st_.get());
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) failed = scope.failure();
  return rc;
}

void sql_statement::run_user_call() {
  std::vector<std::string> args;
  if (sqlite3_step(st_.get()) == SQLITE_ROW)
    for (int i = 0; i < sqlite3_column_count(st_.get()); ++i) {
      const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(st_.get(), i));
      args.emplace_back(t != nullptr ? t : "");
    }
  sqlite3_reset(st_.get());
  manage_user(conn_, procedure_, args);
  state_ = sqlite3_step(st_.get()) == SQLITE_ROW ? state::first_row : state::done;
}

bool sql_statement::fetch() {
  switch (state_) {
    case state::first_row:
      state_ = state::on_row;
      return true;
    case state::on_row: {
      std::optional<server_error> failed;
      if (client_step(failed) == SQLITE_ROW) return true;
      state_ = state::done;
      conn_.store().after_statement();
      if (failed) throw *failed;
      return false;
    }
    default:
      return false;
  }
}

sql_value sql_statement::value(int i) const {
  sql_value v;
  if (state_ != state::on_row || i < 0 || i >= static_cast<int>(columns_.size())) return v;
  // One column call, then the value's own accessors: the connection is
  // opened without a mutex, so the column's value may be read directly.
  sqlite3_value* c = sqlite3_column_value(st_.get(), i);
  switch (sqlite3_value_type(c)) {
    case SQLITE_INTEGER:
      v.type = sql_value::integer;
      v.i = sqlite3_value_int64(c);
      break;
    case SQLITE_FLOAT:
      v.type = sql_value::real;
      v.d = sqlite3_value_double(c);
      break;
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      // The bytes are asked for after the text or blob, as SQLite requires.
      const bool text = sqlite3_value_type(c) == SQLITE_TEXT;
      v.type = text ? sql_value::text : sql_value::blob;
      const void* p = text ? static_cast<const void*>(sqlite3_value_text(c)) : sqlite3_value_blob(c);
      const int n = sqlite3_value_bytes(c);
      if (p != nullptr) v.bytes = std::string_view(static_cast<const char*>(p), static_cast<std::size_t>(n));
      if (!text) stream_value(i, v);
      break;
    }
    default:
      break;
  }
  return v;
}

void sql_statement::stream_value(int i, sql_value& v) const {
  const sql_kind kind = columns_[static_cast<std::size_t>(i)].kind;
  if (kind != sql_kind::long_text && kind != sql_kind::long_binary) return;
  const std::int64_t id = storage::stream_marker(v.bytes);
  if (id == 0) return;
  // A stream kept in chunks reads as its content; a stream's content never
  // changes under its id, so the last one read is kept for the next pieces.
  auto& [held_id, content] = streams_[i];
  if (held_id != id) {
    content = conn_.store().stream_content(id);
    held_id = id;
  }
  v.type = kind == sql_kind::long_text ? sql_value::text : sql_value::blob;
  v.bytes = content;
}

std::string sql_statement::query_info(std::string_view cls, std::string_view query_name) const {
  writer w;
  const class_def* c = conn_.get_schema().find_class(cls);
  if (c == nullptr) {
    w.bytes(session::status_bytes(err_unknown_class, "class " + clip(cls) + " does not exist"));
    return w.str();
  }
  const query* q = c->find_query(query_name);
  if (q == nullptr) {
    w.bytes(session::status_bytes(err_unknown_property, "class " + c->name + " has no query " + clip(query_name)));
    return w.str();
  }
  w.null().text(q->sql_name, unicode()).integer(static_cast<std::int64_t>(q->params.size()));
  return w.str();
}

std::vector<std::string> client_tables(const schema& s) {
  std::vector<std::string> out;
  for (const auto& c : s.classes()) {
    if (!c->is_persistent()) continue;
    out.push_back(c->table);
    for (const property& p : c->props)
      if (p.kind == prop_kind::collection) out.push_back(p.table);
  }
  return out;
}

std::vector<table_column> table_columns(connection& c, const std::string& table) {
  std::vector<table_column> out;
  statement info = c.store().prepare("SELECT name, type, \"notnull\" OR pk FROM pragma_table_info(?)");
  sqlite3_bind_text(info.get(), 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (info.step()) {
    const auto text = [&](int i) {
      const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), i));
      return std::string(t != nullptr ? t : "");
    };
    out.push_back({text(0), text(1), sqlite3_column_int(info.get(), 2) != 0});
  }
  return out;
}

}  // namespace torqa::server
