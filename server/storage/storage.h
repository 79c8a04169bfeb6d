// One SQLite connection to a namespace's objects.db: the class tables, the
// rows of objects, collections and streams, settings and users.
//
// Tables besides the class tables: torqa_settings(key, value),
// torqa_users(name, hash), and for streams torqa_streams(id, owner_table,
// owner, size, length, chunk) and torqa_stream_chunks(stream, n, data).
// Failures throw server_error(err_storage, ...).
//
// Streams: content of at most `stream_inline` bytes is kept in the class
// column itself (text or blob, as SQL writes it); longer content is cut into
// pieces of `stream_chunk` bytes, rows of torqa_stream_chunks under a stream
// id, and the class column holds the stream's marker: the 8 bytes
// "\0stream:" followed by the id in decimal, as a blob. A stream id is never
// reused and its content never changes: a save writes a new stream and drops
// the old one in the same transaction, so a failed save leaves the old
// content in place.
#pragma once

#include "server/schema/schema.h"
#include "server/wire/values.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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
  /// Binders of parameter `i` (from 1); throw when SQLite refuses.
  statement& bind(int i, std::int64_t v);
  statement& bind_text(int i, std::string_view utf8);
  statement& bind_blob(int i, std::string_view bytes);
  statement& bind(int i, const datum& d, data_type t);

 private:
  sqlite3_stmt* st_;
  storage& owner_;
};

/// A stream stored in chunks; id 0 for none.
struct stored_stream {
  std::int64_t id = 0;
  std::int64_t size = 0;    ///< bytes
  std::int64_t length = 0;  ///< UTF-8 characters (bytes of a binary stream)
  std::int64_t chunk = 0;   ///< bytes per chunk (the last may be shorter)
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
  /// Makes (again) the keys a login through the daemon checks a user's
  /// password with, from a fresh salt; set_user makes them too.
  void set_login_keys(const std::string& name, const std::string& password);
  /// The setting holding a user's login keys for the daemon's exchange
  /// (server/auth/scram.h), which set_user makes beside the hash.
  static std::string scram_key(const std::string& user) { return "scram:" + user; }
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

  /// Sizes of stream storage (see above); tests make them small.
  void set_stream_sizes(std::size_t chunk, std::size_t inline_max);
  std::size_t stream_chunk() const { return stream_chunk_; }
  /// A stream property's stored content: a chunked stream is returned;
  /// content kept in the column is handed to `sink` in pieces (and an
  /// empty stored_stream returned).
  stored_stream load_stream(const class_def& c, const property& p, std::int64_t row,
                            const std::function<void(std::string_view)>& sink);
  /// Chunk `n` (from 0) of a chunked stream; empty when it is missing.
  std::string stream_chunk(std::int64_t id, std::int64_t n);
  /// Writes a stream property's content of `size` bytes (`length`
  /// characters), asked for in order from `piece(offset, bytes)`, and drops
  /// the content it replaces. Returns the new chunked stream (id 0 when the
  /// content went into the column). Run inside a transaction.
  stored_stream save_stream(const class_def& c, const property& p, std::int64_t row, std::int64_t size,
                            std::int64_t length, const std::function<std::string(std::int64_t, std::size_t)>& piece);
  /// The whole content of a chunked stream, for SQL; throws err_too_long
  /// past SQLite's longest value.
  std::string stream_content(std::int64_t id);
  /// The stream id a column value stands for; 0 when it is not a marker.
  static std::int64_t stream_marker(std::string_view bytes);

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
  std::set<std::string, std::less<>> deleted_from_;  // tables with rows deleted since the last after_statement
  bool own_deletes_ = false;  // deletes now running drop their rows' streams themselves
  struct own_deletes {
    explicit own_deletes(storage& s) : s_(s), was_(s.own_deletes_) { s.own_deletes_ = true; }
    ~own_deletes() { s_.own_deletes_ = was_; }
    own_deletes(const own_deletes&) = delete;
    own_deletes& operator=(const own_deletes&) = delete;
    storage& s_;
    bool was_;
  };
  std::size_t stream_chunk_ = 256 * 1024;
  std::size_t stream_inline_ = 8 * 1024;

  /// Drops the chunked streams whose ids a statement answers.
  void drop_streams(statement& ids);
  /// Drops the chunked streams of `table` whose owner row is gone.
  void drop_orphan_streams(const std::string& table);
  stored_stream stream_head(std::int64_t id);
};

/// SQL text of an identifier, double-quoted.
std::string quoted(const std::string& name);

}  // namespace torqa::server
