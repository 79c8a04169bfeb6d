// The driver's handles. An environment owns its connections; a connection
// owns its server connection (after DrvConnect, SQLConnect or
// SQLDriverConnect), its statements and its message channels, and frees
// what is left of them when it is freed.
//
// A connection opened by DrvConnect keeps the binding's conventions (see
// odbc.cpp); one opened by SQLConnect or SQLDriverConnect, as a driver
// manager does, follows standard ODBC 3 (`dbc::standard`).
//
// Connection string parts given to DrvConnect: host "local" (the embedded
// server) or a daemon's host, with its port and the namespace's name; for
// "local" the options "key=value;..." (chunk=N the largest reply chunk,
// 1..32768, default 32768; unicode=1 a new namespace uses 16-bit text;
// fasthash=1 a new namespace hashes passwords with minimum work;
// schema=FILE the schema copied into a new namespace) and the namespace's
// directory. See server/README.md.
#pragma once

#include <torqa/driver_abi.h>

#include "server/core/channel.h"
#include "server/core/namespace.h"
#include "server/net/remote.h"
#include "server/sql/sql.h"
#include "source.h"

#include <sql.h>
#include <sqlext.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#define TORQA_DRV_EXPORT extern "C"  // exported through TorqaODBC.def
#else
#define TORQA_DRV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace torqa::driver {

/// The kinds of handles the driver hands out.
enum class handle_kind { env, dbc, stmt, channel };

/// Entry of a handle in the registry of live handles, for the handle's
/// lifetime: entry points look a pointer up there before they touch it, so
/// a freed or foreign pointer is refused without being read.
class live_handle {
 public:
  live_handle(const void* h, handle_kind k);
  live_handle(const live_handle&) = delete;
  live_handle& operator=(const live_handle&) = delete;
  ~live_handle();

 private:
  const void* h_;
};

/// Whether `h` is a live handle of kind `k` (never dereferences `h`).
bool is_live(const void* h, handle_kind k);

/// The diagnostic record of a connection or statement: set by the last call
/// that failed or warned, cleared by the next call. `state` is empty when
/// there is none.
struct diagnostic {
  std::string state;    ///< SQLSTATE, five characters
  std::string message;  ///< UTF-8
  int native = 0;       ///< the server's error code, or 0

  void clear() { state.clear(), message.clear(), native = 0; }
  /// Records a failure or warning and answers `rc`.
  SQLRETURN set(SQLRETURN rc, const char* sqlstate, std::string msg, int code = 0) {
    state = sqlstate, message = std::move(msg), native = code;
    return rc;
  }
};

struct dbc;

struct env {
  live_handle entry{this, handle_kind::env};
  diagnostic diag;
  std::set<dbc*> connections;
  SQLINTEGER odbc_version = SQL_OV_ODBC3;
};

struct stmt {
  live_handle entry{this, handle_kind::stmt};
  dbc* owner = nullptr;
  diagnostic diag;
  std::string text;  ///< the prepared statement's text, UTF-8
  bool prepared = false;

  /// A parameter as SQLBindParameter gave it: its buffers are read (input)
  /// or written (output) by SQLExecute.
  struct binding {
    SQLSMALLINT io = SQL_PARAM_INPUT;
    SQLSMALLINT c_type = 0;
    SQLPOINTER data = nullptr;
    SQLLEN capacity = 0;  ///< buffer length in bytes; 0: not given
    SQLLEN* ind = nullptr;
  };
  /// The column SQLGetData delivers in pieces, and how far it got.
  struct piece_state {
    int column = 0;  ///< 0: none
    SQLSMALLINT c_type = 0;
    bool done = false;       ///< everything delivered: the next call answers SQL_NO_DATA
    std::string converted;   ///< the value in the C type's form, when it differs from the stored bytes
    std::string_view data;   ///< the bytes to deliver (stored bytes or `converted`)
    std::size_t offset = 0;  ///< bytes delivered so far
  };

  /// Parameters bound with SQL_DATA_AT_EXEC (or SQL_LEN_DATA_AT_EXEC): while
  /// `active`, SQLParamData names them in turn (`asked` so far) and
  /// SQLPutData collects their values (empty: null).
  struct data_at_exec {
    bool active = false;
    std::vector<SQLUSMALLINT> params;
    std::size_t asked = 0;
    std::map<SQLUSMALLINT, std::optional<std::string>> values;
  };

  std::unique_ptr<statement_source> sql;      ///< the preparation; null when not prepared
  std::map<SQLUSMALLINT, binding> bindings;   ///< by parameter number
  bool executed = false;                       ///< executed and not closed since
  piece_state piece;
  data_at_exec pending;
};

/// A message channel: a session of the embedded server, or one of a
/// daemon's (`remote`).
struct channel {
  live_handle entry{this, handle_kind::channel};
  dbc* owner = nullptr;
  std::optional<server::channel> local;
  std::optional<net::remote_channel> remote;

  void begin(std::string_view code) { remote ? remote->begin(code) : local->begin(code); }
  bool send(const char* m, std::size_t n) { return remote ? remote->send(m, n) : local->send(m, n); }
  bool next_chunk(unsigned& n, bool& final) {
    return remote ? remote->next_chunk(n, final) : local->next_chunk(n, final);
  }
  bool read(std::size_t n, char* dest) { return remote ? remote->read(n, dest) : local->read(n, dest); }
};

struct dbc {
  live_handle entry{this, handle_kind::dbc};
  env* owner = nullptr;
  diagnostic diag;
  std::unique_ptr<server::connection> conn;  ///< the embedded server's connection, once connected
  /// A daemon's connection, once connected (`conn` stays null).
  std::unique_ptr<net::remote_connection> remote;
  /// SQL over `conn` or `remote`, once connected.
  std::unique_ptr<sql_source> sql;
  bool standard = false;   ///< opened by SQLConnect/SQLDriverConnect: ODBC 3 conventions
  bool autocommit = true;  ///< off: statements run in a transaction that SQLEndTran ends
  std::string dsn;         ///< the data source connected to, for SQLGetInfo
  std::set<stmt*> statements;
  std::set<channel*> channels;
  ~dbc();
};

/// The handle of the kind, or null for a null, freed or foreign pointer.
env* as_env(void* h);
dbc* as_dbc(void* h);
stmt* as_stmt(void* h);
channel* as_channel(void* h);

}  // namespace torqa::driver
