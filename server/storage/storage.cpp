#include "server/storage/storage.h"

#include "server/errors.h"
#include "server/auth/scram.h"

#include <sodium.h>
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <set>

namespace torqa::server {

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
  throw server_error(err_storage, what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

// A stream column's marker prefix (see storage.h).
constexpr std::string_view marker_prefix{"\0stream:", 8};

// A stream column's type, and for one row its value when it may be a
// marker (a short blob) or is a number (as text); the value is not loaded
// otherwise.
std::string marker_query(const class_def& c, const property& p) {
  const std::string col = quoted(p.column);
  return "SELECT typeof(" + col + "), CASE WHEN typeof(" + col + ") = 'blob' AND length(" + col + ") <= 32 THEN " +
         col + " WHEN typeof(" + col + ") IN ('integer', 'real') THEN CAST(" + col + " AS TEXT) END FROM " +
         quoted(c.table) + " WHERE \"ID\" = ?";
}

std::string_view column_bytes(sqlite3_stmt* st, int i) {
  const auto* data = static_cast<const char*>(sqlite3_column_blob(st, i));
  return data ? std::string_view(data, static_cast<std::size_t>(sqlite3_column_bytes(st, i))) : std::string_view();
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

namespace {

statement& checked(statement& st, int rc) {
  if (rc != SQLITE_OK) fail(sqlite3_db_handle(st.get()), "cannot bind a value");
  return st;
}

}  // namespace

statement& statement::bind(int i, std::int64_t v) { return checked(*this, sqlite3_bind_int64(st_, i, v)); }

statement& statement::bind_text(int i, std::string_view utf8) {
  return checked(*this, sqlite3_bind_text64(st_, i, utf8.data(), utf8.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}

statement& statement::bind_blob(int i, std::string_view bytes) {
  return checked(*this, sqlite3_bind_blob64(st_, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
}

statement& statement::bind(int i, const datum& d, data_type t) { return checked(*this, bind_datum(st_, i, d, t)); }

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
      [](void* self, int op, const char*, const char* table, sqlite3_int64 row) {
        auto& st = *static_cast<storage*>(self);
        st.fresh_.insert(row_versions::slot_of(table, row));
        if (op == SQLITE_DELETE && !st.own_deletes_ &&
            st.deleted_from_.find(std::string_view(table)) == st.deleted_from_.end())
          st.deleted_from_.emplace(table);
      },
      this);
}

void storage::after_statement() {
  if (!deleted_from_.empty() && !own_deletes_) {
    // Rows deleted by SQL take their chunked streams along. This runs
    // after a statement, where nothing can be reported: a stream left
    // behind is only unreachable, and swept again when the namespace opens.
    const auto tables = std::move(deleted_from_);
    deleted_from_.clear();
    try {
      for (const auto& t : tables) drop_orphan_streams(t);
    } catch (const server_error&) {
    }
  }
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
      "CREATE TABLE IF NOT EXISTS torqa_users(name TEXT PRIMARY KEY, hash TEXT NOT NULL);"
      "CREATE TABLE IF NOT EXISTS torqa_streams(id INTEGER PRIMARY KEY AUTOINCREMENT, owner_table TEXT NOT NULL,"
      " owner INTEGER NOT NULL, size INTEGER NOT NULL, length INTEGER NOT NULL, chunk INTEGER NOT NULL);"
      "CREATE INDEX IF NOT EXISTS torqa_streams_owner ON torqa_streams(owner_table, owner);"
      "CREATE TABLE IF NOT EXISTS torqa_stream_chunks(stream INTEGER NOT NULL, n INTEGER NOT NULL,"
      " data BLOB NOT NULL, PRIMARY KEY(stream, n));");
  for (const auto& c : s.classes()) {
    if (!c->is_persistent()) continue;
    exec("CREATE TABLE IF NOT EXISTS " + quoted(c->table) + "(\"ID\" INTEGER PRIMARY KEY)");
    std::set<std::string> have;
    {
      statement info = prepare("SELECT lower(name) FROM pragma_table_info(?)");
      info.bind_text(1, c->table);
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
    if (std::any_of(c->props.begin(), c->props.end(), [](const property& p) { return p.kind == prop_kind::stream; }))
      drop_orphan_streams(c->table);
  }
}

std::optional<std::string> storage::setting(const std::string& key) {
  statement st = prepare("SELECT value FROM torqa_settings WHERE key = ?");
  st.bind_text(1, key);
  if (!st.step()) return std::nullopt;
  const auto* v = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
  return std::string(v ? v : "");
}

void storage::set_setting(const std::string& key, const std::string& value) {
  statement st = prepare("INSERT OR REPLACE INTO torqa_settings(key, value) VALUES(?, ?)");
  st.bind_text(1, key).bind_text(2, value);
  st.step();
}

void storage::set_user(const std::string& name, const std::string& password, bool fast) {
  char hash[crypto_pwhash_STRBYTES];
  const auto ops = fast ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  const auto mem = fast ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (sodium_init() < 0 || crypto_pwhash_str(hash, password.data(), password.size(), ops, mem) != 0)
    throw server_error(err_storage, "cannot hash the password");
  statement st = prepare("INSERT OR REPLACE INTO torqa_users(name, hash) VALUES(?, ?)");
  st.bind_text(1, name).bind_text(2, hash);
  st.step();
  set_login_keys(name, password);
}

void storage::set_login_keys(const std::string& name, const std::string& password) {
  unsigned char salt[16];
  randombytes_buf(salt, sizeof salt);
  const std::string_view salt_bytes(reinterpret_cast<const char*>(salt), sizeof salt);
  set_setting(scram_key(name), scram::encode(scram::derive(password, salt_bytes, scram::default_iterations)));
}

bool storage::check_user(const std::string& name, const std::string& password) {
  statement st = prepare("SELECT hash FROM torqa_users WHERE name = ?");
  st.bind_text(1, name);
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
  st.bind(1, row);
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

void storage::update_row(const class_def& c, std::int64_t row, const std::vector<datum>& values,
                         const std::vector<bool>* only) {
  const auto set = [&](std::size_t k) { return only == nullptr || (k < only->size() && (*only)[k]); };
  std::string cols, marks, sets;
  for (std::size_t k = 0; k < c.props.size(); ++k) {
    const property& p = c.props[k];
    if (!p.stored_in_row()) continue;
    cols += ", " + quoted(p.column);
    marks += ", ?";
    if (set(k)) sets += (sets.empty() ? "" : ", ") + quoted(p.column) + " = ?";
  }
  const auto bind = [&](statement& st, int first, bool all) {
    int i = first;
    for (std::size_t k = 0; k < c.props.size(); ++k)
      if (c.props[k].stored_in_row() && (all || set(k))) st.bind(i++, values[k], c.props[k].type.type);
    return i;
  };
  if (!sets.empty()) {
    statement st = prepare("UPDATE " + quoted(c.table) + " SET " + sets + " WHERE \"ID\" = ?");
    st.bind(bind(st, 1, false), row);
    st.step();
    if (sqlite3_changes(db_) > 0) return;
  } else if (row_exists(c, row)) {
    return;
  }
  statement st = prepare("INSERT INTO " + quoted(c.table) + "(\"ID\"" + cols + ") VALUES(?" + marks + ")");
  st.bind(1, row);
  bind(st, 2, true);
  st.step();
}

bool storage::delete_row(const class_def& c, std::int64_t row) {
  const own_deletes quiet(*this);  // the row's streams are dropped here, not looked for
  {
    statement st = prepare("SELECT id FROM torqa_streams WHERE owner_table = ? AND owner = ?");
    drop_streams(st.bind_text(1, c.table).bind(2, row));
  }
  {
    statement st = prepare("DELETE FROM " + quoted(c.table) + " WHERE \"ID\" = ?");
    st.bind(1, row).step();
  }
  const bool found = sqlite3_changes(db_) > 0;
  for (const auto& p : c.props) {
    if (p.kind != prop_kind::collection) continue;
    statement st = prepare("DELETE FROM " + quoted(p.table) + " WHERE owner = ?");
    st.bind(1, row).step();
  }
  return found;
}

bool storage::row_exists(const class_def& c, std::int64_t row) {
  statement st = prepare("SELECT 1 FROM " + quoted(c.table) + " WHERE \"ID\" = ?");
  return st.bind(1, row).step();
}

void storage::set_stream_sizes(std::size_t chunk, std::size_t inline_max) {
  stream_chunk_ = std::max<std::size_t>(chunk, 1);
  stream_inline_ = inline_max;
}

std::int64_t storage::stream_marker(std::string_view bytes) {
  if (bytes.size() <= marker_prefix.size() || bytes.size() > marker_prefix.size() + 19 ||
      bytes.substr(0, marker_prefix.size()) != marker_prefix)
    return 0;
  const std::string_view digits = bytes.substr(marker_prefix.size());
  std::int64_t id = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  return r.ec == std::errc{} && r.ptr == digits.data() + digits.size() && id > 0 ? id : 0;
}

stored_stream storage::stream_head(std::int64_t id) {
  statement st = prepare("SELECT size, length, chunk FROM torqa_streams WHERE id = ?");
  if (!st.bind(1, id).step()) return {};
  const stored_stream s{id, sqlite3_column_int64(st.get(), 0), sqlite3_column_int64(st.get(), 1),
                        sqlite3_column_int64(st.get(), 2)};
  return s.size >= 0 && s.length >= 0 && s.chunk > 0 ? s : stored_stream{};
}

stored_stream storage::load_stream(const class_def& c, const property& p, std::int64_t row,
                                   const std::function<void(std::string_view)>& sink) {
  {
    // The type first: a long value is not loaded to learn what it is.
    statement st = prepare(marker_query(c, p));
    if (!st.bind(1, row).step()) return {};
    const std::string_view type = column_bytes(st.get(), 0);
    if (type == "null") return {};
    if (type != "text" && type != "blob") {  // a number written by SQL reads as its text
      sink(column_bytes(st.get(), 1));
      return {};
    }
    if (const std::int64_t id = stream_marker(column_bytes(st.get(), 1))) return stream_head(id);
  }
  // Content kept in the column, read a piece at a time.
  sqlite3_blob* raw = nullptr;
  const int rc = sqlite3_blob_open(db_, "main", c.table.c_str(), p.column.c_str(), row, 0, &raw);
  const std::unique_ptr<sqlite3_blob, int (*)(sqlite3_blob*)> handle(raw, sqlite3_blob_close);
  if (rc != SQLITE_OK) fail(db_, "cannot read stream " + p.name);
  // SQLite values are shorter than 2^31 bytes, so the size fits its int.
  const int total = sqlite3_blob_bytes(raw);
  std::string piece;
  for (int at = 0; at < total;) {
    const int n = std::min(total - at, static_cast<int>(std::min<std::size_t>(stream_chunk_, 1 << 20)));
    piece.resize(static_cast<std::size_t>(n));
    if (sqlite3_blob_read(raw, piece.data(), n, at) != SQLITE_OK) fail(db_, "cannot read stream " + p.name);
    sink(piece);
    at += n;
  }
  return {};
}

std::string storage::stream_chunk(std::int64_t id, std::int64_t n) {
  statement st = prepare("SELECT data FROM torqa_stream_chunks WHERE stream = ? AND n = ?");
  if (!st.bind(1, id).bind(2, n).step()) return {};
  return std::string(column_bytes(st.get(), 0));
}

stored_stream storage::save_stream(const class_def& c, const property& p, std::int64_t row, std::int64_t size,
                                   std::int64_t length,
                                   const std::function<std::string(std::int64_t, std::size_t)>& piece) {
  std::int64_t old = 0;
  {
    statement st = prepare(marker_query(c, p));
    if (!st.bind(1, row).step()) throw server_error(err_storage, "cannot save stream " + p.name + ": the row is gone");
    old = stream_marker(column_bytes(st.get(), 1));
  }
  statement set = prepare("UPDATE " + quoted(c.table) + " SET " + quoted(p.column) + " = ? WHERE \"ID\" = ?");
  stored_stream made;
  std::string content;
  if (static_cast<std::uint64_t>(size) <= stream_inline_) content = piece(0, static_cast<std::size_t>(size));
  if (static_cast<std::uint64_t>(size) <= stream_inline_ && stream_marker(content) == 0) {
    if (content.empty())
      set.bind(1, datum{}, data_type::string);
    else if (p.is_binary)
      set.bind_blob(1, content);
    else
      set.bind_text(1, content);
  } else {
    const auto chunk = static_cast<std::int64_t>(stream_chunk_);
    {
      statement head = prepare(
          "INSERT INTO torqa_streams(owner_table, owner, size, length, chunk) VALUES(?, ?, ?, ?, ?)");
      head.bind_text(1, c.table).bind(2, row).bind(3, size).bind(4, length).bind(5, chunk).step();
    }
    made = {sqlite3_last_insert_rowid(db_), size, length, chunk};
    for (std::int64_t at = 0, n = 0; at < size; at += chunk, ++n) {
      const auto want = static_cast<std::size_t>(std::min(chunk, size - at));
      const std::string bytes = piece(at, want);
      if (bytes.size() != want) throw server_error(err_storage, "cannot save stream " + p.name + ": its data is short");
      statement put = prepare("INSERT INTO torqa_stream_chunks(stream, n, data) VALUES(?, ?, ?)");
      put.bind(1, made.id).bind(2, n).bind_blob(3, bytes).step();
    }
    set.bind_blob(1, std::string(marker_prefix) + std::to_string(made.id));
  }
  set.bind(2, row).step();
  if (sqlite3_changes(db_) == 0) throw server_error(err_storage, "cannot save stream " + p.name + ": the row is gone");
  if (old != 0) {
    statement ids = prepare("SELECT ?");
    drop_streams(ids.bind(1, old));
  }
  return made;
}

std::string storage::stream_content(std::int64_t id) {
  const stored_stream s = stream_head(id);
  if (s.size > sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, -1))
    throw server_error(err_too_long, "a stream of " + std::to_string(s.size) + " bytes is too long for SQL");
  std::string all;
  for (std::int64_t n = 0; static_cast<std::int64_t>(all.size()) < s.size; ++n) {
    const std::string piece = stream_chunk(id, n);
    if (piece.empty()) break;  // a stream cut short by hand ends where its chunks do
    all += piece;
  }
  return all;
}

void storage::drop_orphan_streams(const std::string& table) {
  statement st = prepare("SELECT s.id FROM torqa_streams s WHERE s.owner_table = ? AND NOT EXISTS (SELECT 1 FROM " +
                         quoted(table) + " t WHERE t.\"ID\" = s.owner)");
  drop_streams(st.bind_text(1, table));
}

void storage::drop_streams(statement& ids) {
  const own_deletes quiet(*this);
  std::vector<std::int64_t> found;
  while (ids.step()) found.push_back(sqlite3_column_int64(ids.get(), 0));
  for (const std::int64_t id : found) {
    prepare("DELETE FROM torqa_stream_chunks WHERE stream = ?").bind(1, id).step();
    prepare("DELETE FROM torqa_streams WHERE id = ?").bind(1, id).step();
  }
}

std::vector<std::pair<datum, datum>> storage::load_collection(const property& p, std::int64_t owner) {
  statement st = prepare("SELECT key, element FROM " + quoted(p.table) + " WHERE owner = ? ORDER BY key");
  st.bind(1, owner);
  std::vector<std::pair<datum, datum>> items;
  const data_type key_type = p.is_array ? data_type::string : data_type::integer;
  while (st.step()) items.emplace_back(column_datum(st.get(), 0, key_type), column_datum(st.get(), 1, p.type.type));
  return items;
}

void storage::save_collection(const property& p, std::int64_t owner,
                              const std::vector<std::pair<datum, datum>>& items) {
  {
    statement st = prepare("DELETE FROM " + quoted(p.table) + " WHERE owner = ?");
    st.bind(1, owner).step();
  }
  const data_type key_type = p.is_array ? data_type::string : data_type::integer;
  for (const auto& [key, elem] : items) {
    statement st = prepare("INSERT INTO " + quoted(p.table) + "(owner, key, element) VALUES(?, ?, ?)");
    st.bind(1, owner).bind(2, key, key_type).bind(3, elem, p.type.type).step();
  }
}

}  // namespace torqa::server
