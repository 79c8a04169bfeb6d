// Namespaces and connections.
//
// A namespace is a directory holding schema.tq (the schema) and objects.db
// (SQLite, WAL mode: the class tables, settings and users). A process keeps
// one namespace object per directory while connections use it; they share
// its schema, its lock table and its row versions. Each connection has its
// own SQLite connection.
//
// A namespace directory has one owner: the process that opened it holds an
// exclusive lock on its file "owner" (which names the process) until it
// lets the namespace go. Another process cannot open it meanwhile, so the
// lock table and the open objects of the owner are the only ones. A daemon
// owner serves the namespace to other processes of the machine on the Unix
// socket "socket" in the directory.
#pragma once

#include "server/errors.h"
#include "server/schema/schema.h"
#include "server/storage/storage.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace torqa::server {

/// What one method call or SQL statement step may spend: wall-clock time
/// and memory. Kept in the namespace's settings (time_limit_ms,
/// memory_limit).
struct run_limits {
  std::int64_t time_ms = 10000;
  std::int64_t memory = 256 << 20;
};

/// The options of a connection string's second part, "key=value;..." .
struct connect_options {
  std::size_t chunk = 32768;  ///< chunk=N: largest reply chunk, 1..32768
  bool unicode = false;       ///< unicode=1: a new namespace uses 16-bit text
  bool fasthash = false;      ///< fasthash=1: a new namespace hashes passwords with minimum work
  std::string schema_file{};  ///< schema=FILE: the schema copied into a new namespace
  run_limits limits{};        ///< timelimit=MS, memlimit=BYTES: a new namespace's limits
};

/// Parses the options; false with a reason for an unknown key or bad value.
bool parse_options(std::string_view text, connect_options& out, std::string& why);

/// The file in a namespace directory where a daemon owning it listens.
inline constexpr const char* socket_file = "socket";

/// A namespace that another process owns (code err_storage, the message
/// naming the process); `dir` is the namespace's directory.
struct owned_elsewhere : server_error {
  std::string dir;
  owned_elsewhere(std::string m, std::string d) : server_error(err_storage, std::move(m)), dir(std::move(d)) {}
};

/// Object locks of one namespace, held by sessions (any distinct pointer).
/// Sessions on different threads share it: a conflicting request may wait
/// for the holders to release.
class lock_table {
 public:
  using key = std::pair<std::string, std::int64_t>;  ///< (table, row id)
  /// Longest wait, in seconds; longer timeouts wait this long.
  static constexpr std::int64_t max_timeout = 86400;
  /// Takes a shared (exclusive = false) or exclusive lock, waiting up to
  /// `timeout` seconds (0 or less: not at all) for conflicting holders to
  /// release theirs. 0 when granted, otherwise the detail code of the
  /// conflict (5803, 5804).
  int acquire(const key& k, const void* holder, bool exclusive, std::int64_t timeout = 0);
  /// Drops every lock `holder` has on `k` and wakes the waiters.
  void release(const key& k, const void* holder);
  /// Ends every wait, now and later, as if it had timed out (a server
  /// stopping).
  void stop_waiting();

 private:
  struct entry {
    const void* exclusive = nullptr;
    std::multiset<const void*> shared;
  };
  /// Whether another holder than `holder` keeps `k` from being locked so.
  bool conflicts(const key& k, const void* holder, bool exclusive) const;

  std::mutex mutex_;
  std::condition_variable released_;
  std::map<key, entry> locks_;
  bool stopped_ = false;
};

/// While one lives, the lock waits of its thread also end, as if timed out,
/// once `cancelled` answers true (asked a few times a second while waiting):
/// a daemon's thread stops waiting for a client that has gone.
class lock_wait_cancel {
 public:
  explicit lock_wait_cancel(std::function<bool()> cancelled);
  lock_wait_cancel(const lock_wait_cancel&) = delete;
  lock_wait_cancel& operator=(const lock_wait_cancel&) = delete;
  ~lock_wait_cancel();

 private:
  std::function<bool()> cancelled_;
  const std::function<bool()>* outer_;
};

/// Delays of login attempts per user name after failed ones: each failure
/// doubles the wait before the next attempt for that name (from 100 ms to
/// at most 3.2 s); a success clears it. Unknown names are held back alike.
class login_throttle {
 public:
  using clock = std::chrono::steady_clock;
  static constexpr auto first_delay = std::chrono::milliseconds(100);
  static constexpr auto max_delay = std::chrono::milliseconds(3200);
  static constexpr std::size_t max_names = 4096;

  /// When the next attempt for `user` may be checked.
  clock::time_point not_before(const std::string& user);
  void failed(const std::string& user, clock::time_point now);
  void succeeded(const std::string& user);

 private:
  struct entry {
    int failures = 0;
    clock::time_point not_before;
  };
  std::mutex mutex_;
  std::map<std::string, entry> names_;
};

class name_space {
 public:
  /// The namespace in directory `dir`, opened (or created with `options`)
  /// on first use. Throws server_error on failure.
  static std::shared_ptr<name_space> open(const std::string& dir, const connect_options& options);

  const std::string& dir() const { return dir_; }
  const schema& get_schema() const { return *schema_; }
  bool unicode() const { return unicode_; }
  lock_table& locks() { return locks_; }
  row_versions& versions() { return versions_; }
  const run_limits& limits() const { return limits_; }
  /// Holds back a login attempt for `user` after recent failures.
  login_throttle& throttle() { return throttle_; }
  std::string db_path() const { return dir_ + "/objects.db"; }

  explicit name_space(std::string dir) : dir_(std::move(dir)) {}
  name_space(const name_space&) = delete;
  name_space& operator=(const name_space&) = delete;
  ~name_space();

 private:
  /// Takes the directory's owner lock and removes a socket left by an
  /// earlier owner; throws owned_elsewhere when another process holds it.
  void take_ownership();

  std::string dir_;
  int owner_fd_ = -1;
  std::shared_ptr<const schema> schema_;
  bool unicode_ = false;
  run_limits limits_;
  login_throttle throttle_;
  lock_table locks_;
  row_versions versions_;
};

/// Name and password of the user a new namespace gets, its administrator.
inline constexpr const char* initial_user = "torqa";
inline constexpr const char* initial_password = "torqa";

/// One client connection: a namespace, its user and an SQLite connection.
/// Used from one thread at a time.
class connection {
 public:
  /// Opens the namespace at `dir` and checks the user, making the user's
  /// login keys for the daemon when the namespace has none yet. Throws
  /// server_error (err_storage for a namespace that cannot be opened,
  /// owned_elsewhere for one another process owns, err_login for a refused
  /// user).
  connection(const std::string& dir, const connect_options& options, const std::string& user,
             const std::string& password);
  /// For a user whose login was checked elsewhere (the daemon's exchange).
  struct checked_login {};
  connection(const std::string& dir, const connect_options& options, const std::string& user, checked_login);

  name_space& ns() { return *ns_; }
  const schema& get_schema() const { return ns_->get_schema(); }
  storage& store() { return store_; }
  std::size_t chunk_size() const { return chunk_; }
  const std::string& user() const { return user_; }

  /// Whether the administrative user is connected.
  bool admin() const { return user_ == initial_user; }

  /// Transaction nesting level of this connection (0: none).
  int tx_level = 0;
  /// Set while client SQL is prepared or run: the connection's authorizer
  /// holds it to the client's rules (server statements are not held).
  bool client_sql = false;

 private:
  std::shared_ptr<name_space> ns_;
  storage store_;
  std::size_t chunk_;
  std::string user_;
};

}  // namespace torqa::server
