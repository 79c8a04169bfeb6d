// One SQLite connection to a namespace's objects.db: the class tables, the
// rows of objects, collections and streams, settings and users.
//
// Tables besides the class tables: torqa_settings(key, value) and
// torqa_users(name, hash). Failures throw server_error(err_storage, ...).
#pragma once

#include "schema.h"
#include "values.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace torqa::server {

/// A statement taken from the connection's cache, reset when it goes.
class statement {
 public:
  explicit statement(sqlite3_stmt* st) : st_(st) {}
  statement(const statement&) = delete;
  statement& operator=(const statement&) = delete;
  ~statement();
  sqlite3_stmt* get() const { return st_; }
  /// Steps once: true for a row, false when done; throws on failure.
  bool step();

 private:
  sqlite3_stmt* st_;
};

class storage {
 public:
  /// Opens or creates the database file in WAL mode; throws on failure.
  explicit storage(const std::string& path);
  storage(const storage&) = delete;
  storage& operator=(const storage&) = delete;
  ~storage();

  sqlite3* db() const { return db_; }
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
  /// Writes every stored column; a row that is gone (a save rolled back)
  /// is inserted again with the same id.
  void update_row(const class_def& c, std::int64_t row, const std::vector<datum>& values);
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
};

/// SQL text of an identifier, double-quoted.
std::string quoted(const std::string& name);

}  // namespace torqa::server
