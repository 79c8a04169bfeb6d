// One SQLite connection to a namespace's objects.db: the class tables, the
// rows of objects, collections and streams, settings and users.
//
// Tables besides the class tables: torqa_settings(key, value) and
// torqa_users(name, hash). Failures throw server_error(err_storage, ...).
#pragma once

#include "schema.h"
#include "values.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace torqa::server {

/// Change counters of the rows of one namespace's tables, shared by its
/// connections, so that objects held in memory notice rows changed by any
/// connection (SQL, other sessions). Rows are hashed onto a fixed number of
/// counters: rows that share one only cost each other a needless reload.
class row_versions {
 public:
  static constexpr std::size_t slots = 4096;
  static std::size_t slot_of(std::string_view table, std::int64_t row);

  /// Grows with every bump: while it stays the same, no version changed.
  std::uint64_t epoch() const { return epoch_.load(std::memory_order_acquire); }
  std::uint64_t version(std::size_t slot) const { return versions_[slot].load(std::memory_order_acquire); }
  /// Gives the rows of these slots a new version.
  void bump(const std::set<std::size_t>& changed);

 private:
  std::mutex mutex_;  // orders the bumps
  std::array<std::atomic<std::uint64_t>, slots> versions_{};
  std::atomic<std::uint64_t> epoch_{0};
};

class storage;

/// A statement taken from the connection's cache, reset when it goes.
class statement {
 public:
  statement(sqlite3_stmt* st, storage& owner) : st_(st), owner_(owner) {}
  statement(const statement&) = delete;
  statement& operator=(const statement&) = delete;
  ~statement();
  sqlite3_stmt* get() const { return st_; }
  /// Steps once: true for a row, false when done; throws on failure.
  bool step();

 private:
  sqlite3_stmt* st_;
  storage& owner_;
};

class storage {
 public:
  /// Opens or creates the database file in WAL mode; throws on failure.
  explicit storage(const std::string& path);
  storage(const storage&) = delete;
  storage& operator=(const storage&) = delete;
  ~storage();

  sqlite3* db() const { return db_; }
  /// Reports the rows this connection changes to `v` (see after_statement).
  void track(row_versions& v);
  /// Publishes the rows changed by the statements run since the last call:
  /// their versions change now, and once more when the transaction holding
  /// them ends, so that other connections reload after the commit. Called
  /// once a statement has finished.
  void after_statement();
  /// Runs statements that return no rows.
  void exec(const std::string& sql);
  /// A prepared statement for `sql`, kept for reuse by this connection.
  statement prepare(const std::string& sql);

  /// Creates the settings, users and class tables that are missing, and
  /// the columns a class table lacks.
  void ensure_tables(const schema& s);

  std::optional<std::string> setting(const std::string& key);
  void set_setting(const std::string& key, const std::string& value);

  /// Adds or replaces a user; the password is stored as a libsodium
  /// Argon2id hash (`fast`: the minimum work limits, for test namespaces).
  void set_user(const std::string& name, const std::string& password, bool fast);
  /// Whether the user exists and the password matches its hash.
  bool check_user(const std::string& name, const std::string& password);

  // Object rows. `values` has one entry per property of the class; the
  // columns of stored properties (data, references as row ids) are read or
  // written, the others left alone.
  bool load_row(const class_def& c, std::int64_t row, std::vector<datum>& values);
  std::int64_t insert_row(const class_def& c);
  /// Writes the stored columns (only those `only` marks, when given); a
  /// row that is gone (a save rolled back) is inserted again with the same
  /// id and every column.
  void update_row(const class_def& c, std::int64_t row, const std::vector<datum>& values,
                  const std::vector<bool>* only = nullptr);
  bool delete_row(const class_def& c, std::int64_t row);
  bool row_exists(const class_def& c, std::int64_t row);

  std::string load_stream(const class_def& c, const property& p, std::int64_t row);
  void save_stream(const class_def& c, const property& p, std::int64_t row, const std::string& data);

  /// A collection's (key, element) pairs in key order; list keys are
  /// positions 1..n, array keys texts. Elements of objects are row ids.
  std::vector<std::pair<datum, datum>> load_collection(const property& p, std::int64_t owner);
  void save_collection(const property& p, std::int64_t owner, const std::vector<std::pair<datum, datum>>& items);

 private:
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> cache_;
  row_versions* versions_ = nullptr;
  std::set<std::size_t> fresh_;           // rows changed since the last after_statement
  std::set<std::size_t> in_transaction_;  // rows changed by the open transaction
};

/// SQL text of an identifier, double-quoted.
std::string quoted(const std::string& name);

}  // namespace torqa::server
