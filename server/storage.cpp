#include "storage.h"

#include "errors.h"

#include <sodium.h>
#include <sqlite3.h>

#include <set>

namespace torqa::server {

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw server_error(err_storage, what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

const char* element_sql_type(const property& p) {
  return p.type.type == data_type::object ? "INTEGER" : sql_type(p.type);
}

}  // namespace

std::string quoted(const std::string& name) {
  std::string q = "\"";
  for (const char c : name) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + '"';
}

std::size_t row_versions::slot_of(std::string_view table, std::int64_t row) {
  const std::size_t h = std::hash<std::string_view>{}(table) ^ (static_cast<std::size_t>(row) * 0x9E3779B97F4A7C15u);
  return (h ^ (h >> 29)) % slots;
}

void row_versions::bump(const std::set<std::size_t>& changed) {
  std::lock_guard<std::mutex> guard(mutex_);
  // The versions first: a reader that sees the new epoch sees them too.
  const std::uint64_t next = epoch_.load(std::memory_order_relaxed) + 1;
  for (const std::size_t slot : changed) versions_[slot].store(next, std::memory_order_relaxed);
  epoch_.store(next, std::memory_order_release);
}

statement::~statement() {
  if (st_ != nullptr) {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  owner_.after_statement();
}

bool statement::step() {
  const int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(sqlite3_db_handle(st_), "statement failed");
}

storage::storage(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw server_error(err_storage, "cannot open " + path + ": " + msg);
  }
  sqlite3_busy_timeout(db_, 2000);
  // Nothing in the database can make this connection run code or reach
  // memory: no triggers or views (the server uses none), no untrusted
  // functions from the schema, no tokenizer pointers, no schema writes.
  for (const int option : {SQLITE_DBCONFIG_DEFENSIVE, SQLITE_DBCONFIG_TRUSTED_SCHEMA, SQLITE_DBCONFIG_ENABLE_TRIGGER,
                           SQLITE_DBCONFIG_ENABLE_VIEW, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER,
                           SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION}) {
    const int on = option == SQLITE_DBCONFIG_DEFENSIVE ? 1 : 0;
    if (sqlite3_db_config(db_, option, on, nullptr) != SQLITE_OK) {
      sqlite3_close(db_);
      throw server_error(err_storage, "cannot secure " + path);
    }
  }
  exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;");
}

storage::~storage() {
  for (auto& [sql, st] : cache_) sqlite3_finalize(st);
  sqlite3_close(db_);
}

void storage::track(row_versions& v) {
  versions_ = &v;
  sqlite3_update_hook(
      db_,
      [](void* self, int, const char*, const char* table, sqlite3_int64 row) {
        static_cast<storage*>(self)->fresh_.insert(row_versions::slot_of(table, row));
      },
      this);
}

void storage::after_statement() {
  if (versions_ == nullptr || (fresh_.empty() && in_transaction_.empty())) return;
  if (sqlite3_get_autocommit(db_) != 0) {
    // The transaction ended (committed or rolled back): every row it changed.
    in_transaction_.merge(fresh_);
    versions_->bump(in_transaction_);
    in_transaction_.clear();
    fresh_.clear();
  } else if (!fresh_.empty()) {
    // Seen at once by this connection's own objects; others see the old
    // rows until the commit.
    versions_->bump(fresh_);
    in_transaction_.merge(fresh_);
    fresh_.clear();
  }
}

void storage::exec(const std::string& sql) {
  char* msg = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg);
  after_statement();
  if (rc != SQLITE_OK) {
    const std::string text = msg ? msg : "unknown failure";
    sqlite3_free(msg);
    throw server_error(err_storage, text);
  }
}

statement storage::prepare(const std::string& sql) {
  auto it = cache_.find(sql);
  if (it == cache_.end()) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) != SQLITE_OK)
      fail(db_, "cannot prepare");
    it = cache_.emplace(sql, st).first;
  }
  return statement(it->second, *this);
}

void storage::ensure_tables(const schema& s) {
  exec(
      "CREATE TABLE IF NOT EXISTS torqa_settings(key TEXT PRIMARY KEY, value TEXT);"
      "CREATE TABLE IF NOT EXISTS torqa_users(name TEXT PRIMARY KEY, hash TEXT NOT NULL);");
  for (const auto& c : s.classes()) {
    if (!c->is_persistent()) continue;
    exec("CREATE TABLE IF NOT EXISTS " + quoted(c->table) + "(\"ID\" INTEGER PRIMARY KEY)");
    std::set<std::string> have;
    {
      statement info = prepare("SELECT lower(name) FROM pragma_table_info(?)");
      sqlite3_bind_text(info.get(), 1, c->table.c_str(), -1, SQLITE_TRANSIENT);
      while (info.step()) have.insert(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0)));
    }
    for (const auto& p : c->props) {
      if (p.kind == prop_kind::collection) {
        exec("CREATE TABLE IF NOT EXISTS " + quoted(p.table) + "(owner INTEGER NOT NULL, key " +
             (p.is_array ? "VARCHAR" : "INTEGER") + " NOT NULL, element " + element_sql_type(p) +
             ", PRIMARY KEY(owner, key))");
        continue;
      }
      if (p.column.empty() || have.count(lower(p.column))) continue;
      const char* type = p.kind == prop_kind::stream ? (p.is_binary ? "LONGVARBINARY" : "LONGVARCHAR")
                                                      : element_sql_type(p);
      exec("ALTER TABLE " + quoted(c->table) + " ADD COLUMN " + quoted(p.column) + " " + type);
    }
  }
}

std::optional<std::string> storage::setting(const std::string& key) {
  statement st = prepare("SELECT value FROM torqa_settings WHERE key = ?");
  sqlite3_bind_text(st.get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
  if (!st.step()) return std::nullopt;
  const auto* v = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
  return std::string(v ? v : "");
}

void storage::set_setting(const std::string& key, const std::string& value) {
  statement st = prepare("INSERT OR REPLACE INTO torqa_settings(key, value) VALUES(?, ?)");
  sqlite3_bind_text(st.get(), 1, key.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st.get(), 2, value.c_str(), -1, SQLITE_TRANSIENT);
  st.step();
}

void storage::set_user(const std::string& name, const std::string& password, bool fast) {
  char hash[crypto_pwhash_STRBYTES];
  const auto ops = fast ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  const auto mem = fast ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (sodium_init() < 0 || crypto_pwhash_str(hash, password.data(), password.size(), ops, mem) != 0)
    throw server_error(err_storage, "cannot hash the password");
  statement st = prepare("INSERT OR REPLACE INTO torqa_users(name, hash) VALUES(?, ?)");
  sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st.get(), 2, hash, -1, SQLITE_TRANSIENT);
  st.step();
}

bool storage::check_user(const std::string& name, const std::string& password) {
  statement st = prepare("SELECT hash FROM torqa_users WHERE name = ?");
  sqlite3_bind_text(st.get(), 1, name.c_str(), -1, SQLITE_TRANSIENT);
  const auto text = [](sqlite3_stmt* row) {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
    return std::string(t != nullptr ? t : "");
  };
  const bool known = st.step();
  std::string hash = known ? text(st.get()) : "";
  if (!known) {
    // An unknown user costs what a wrong password does: the check runs on
    // another user's hash (same work limits) and fails whatever its result.
    statement any = prepare("SELECT hash FROM torqa_users LIMIT 1");
    if (any.step()) hash = text(any.get());
  }
  const bool match = !hash.empty() && sodium_init() >= 0 &&
                     crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  return known && match;
}

bool storage::load_row(const class_def& c, std::int64_t row, std::vector<datum>& values) {
  std::string sql = "SELECT \"ID\"";
  for (const auto& p : c.props)
    if (p.stored_in_row()) sql += ", " + quoted(p.column);
  statement st = prepare(sql + " FROM " + quoted(c.table) + " WHERE \"ID\" = ?");
  sqlite3_bind_int64(st.get(), 1, row);
  if (!st.step()) return false;
  values.assign(c.props.size(), datum{});
  int col = 1;
  for (std::size_t i = 0; i < c.props.size(); ++i) {
    const property& p = c.props[i];
    if (p.stored_in_row()) values[i] = column_datum(st.get(), col++, p.type.type);
  }
  return true;
}

std::int64_t storage::insert_row(const class_def& c) {
  statement st = prepare("INSERT INTO " + quoted(c.table) + " DEFAULT VALUES");
  st.step();
  return sqlite3_last_insert_rowid(db_);
}

void storage::update_row(const class_def& c, std::int64_t row, const std::vector<datum>& values) {
  std::string cols, marks, sets;
  for (const auto& p : c.props) {
    if (!p.stored_in_row()) continue;
    cols += ", " + quoted(p.column);
    marks += ", ?";
    sets += (sets.empty() ? "" : ", ") + quoted(p.column) + " = ?";
  }
  const auto bind_all = [&](statement& st, int first) {
    int i = first;
    for (std::size_t k = 0; k < c.props.size(); ++k)
      if (c.props[k].stored_in_row()) bind_datum(st.get(), i++, values[k], c.props[k].type.type);
    return i;
  };
  if (!sets.empty()) {
    statement st = prepare("UPDATE " + quoted(c.table) + " SET " + sets + " WHERE \"ID\" = ?");
    sqlite3_bind_int64(st.get(), bind_all(st, 1), row);
    st.step();
    if (sqlite3_changes(db_) > 0) return;
  } else if (row_exists(c, row)) {
    return;
  }
  statement st = prepare("INSERT INTO " + quoted(c.table) + "(\"ID\"" + cols + ") VALUES(?" + marks + ")");
  sqlite3_bind_int64(st.get(), 1, row);
  bind_all(st, 2);
  st.step();
}

bool storage::delete_row(const class_def& c, std::int64_t row) {
  {
    statement st = prepare("DELETE FROM " + quoted(c.table) + " WHERE \"ID\" = ?");
    sqlite3_bind_int64(st.get(), 1, row);
    st.step();
  }
  const bool found = sqlite3_changes(db_) > 0;
  for (const auto& p : c.props) {
    if (p.kind != prop_kind::collection) continue;
    statement st = prepare("DELETE FROM " + quoted(p.table) + " WHERE owner = ?");
    sqlite3_bind_int64(st.get(), 1, row);
    st.step();
  }
  return found;
}

bool storage::row_exists(const class_def& c, std::int64_t row) {
  statement st = prepare("SELECT 1 FROM " + quoted(c.table) + " WHERE \"ID\" = ?");
  sqlite3_bind_int64(st.get(), 1, row);
  return st.step();
}

std::string storage::load_stream(const class_def& c, const property& p, std::int64_t row) {
  statement st = prepare("SELECT " + quoted(p.column) + " FROM " + quoted(c.table) + " WHERE \"ID\" = ?");
  sqlite3_bind_int64(st.get(), 1, row);
  if (!st.step()) return {};
  const auto* data = static_cast<const char*>(sqlite3_column_blob(st.get(), 0));
  return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(st.get(), 0))) : std::string();
}

void storage::save_stream(const class_def& c, const property& p, std::int64_t row, const std::string& data) {
  statement st = prepare("UPDATE " + quoted(c.table) + " SET " + quoted(p.column) + " = ? WHERE \"ID\" = ?");
  if (data.empty())
    sqlite3_bind_null(st.get(), 1);
  else if (p.is_binary)
    sqlite3_bind_blob(st.get(), 1, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
  else
    sqlite3_bind_text(st.get(), 1, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
  sqlite3_bind_int64(st.get(), 2, row);
  st.step();
}

std::vector<std::pair<datum, datum>> storage::load_collection(const property& p, std::int64_t owner) {
  statement st = prepare("SELECT key, element FROM " + quoted(p.table) + " WHERE owner = ? ORDER BY key");
  sqlite3_bind_int64(st.get(), 1, owner);
  std::vector<std::pair<datum, datum>> items;
  const data_type key_type = p.is_array ? data_type::string : data_type::integer;
  while (st.step()) items.emplace_back(column_datum(st.get(), 0, key_type), column_datum(st.get(), 1, p.type.type));
  return items;
}

void storage::save_collection(const property& p, std::int64_t owner,
                              const std::vector<std::pair<datum, datum>>& items) {
  {
    statement st = prepare("DELETE FROM " + quoted(p.table) + " WHERE owner = ?");
    sqlite3_bind_int64(st.get(), 1, owner);
    st.step();
  }
  const data_type key_type = p.is_array ? data_type::string : data_type::integer;
  for (const auto& [key, elem] : items) {
    statement st = prepare("INSERT INTO " + quoted(p.table) + "(owner, key, element) VALUES(?, ?, ?)");
    sqlite3_bind_int64(st.get(), 1, owner);
    bind_datum(st.get(), 2, key, key_type);
    bind_datum(st.get(), 3, elem, p.type.type);
    st.step();
  }
}

}  // namespace torqa::server
