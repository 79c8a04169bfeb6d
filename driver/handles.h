// The driver's handles. An environment owns its connections; a connection
// owns its server connection (after DrvConnect), its statements and its
// message channels, and frees what is left of them when it is freed.
//
// Connection string parts given to DrvConnect: host "local" (the embedded
// server), the options "key=value;..." (chunk=N the largest reply chunk,
// 1..32768, default 32768; unicode=1 a new namespace uses 16-bit text;
// fasthash=1 a new namespace hashes passwords with minimum work;
// schema=FILE the schema copied into a new namespace) and the namespace's
// directory. See server/README.md.
#pragma once

#include <torqa/driver_abi.h>

#include "server/channel.h"
#include "server/namespace.h"
#include "server/sql.h"

#include <sql.h>
#include <sqlext.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#define TORQA_DRV_EXPORT extern "C" __attribute__((visibility("default")))

namespace torqa::driver {

/// Tags that tell a live handle of each kind.
enum handle_tag : unsigned { env_tag = 0x544F4501, dbc_tag = 0x544F4502, stmt_tag = 0x544F4503, channel_tag = 0x544F4504 };

struct dbc;

struct env {
  unsigned tag = env_tag;
  std::set<dbc*> connections;
};

struct stmt {
  unsigned tag = stmt_tag;
  dbc* owner = nullptr;
  std::u16string text;  ///< the prepared statement's text
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

  std::unique_ptr<server::sql_statement> sql;  ///< the preparation; null when not prepared
  std::map<SQLUSMALLINT, binding> bindings;   ///< by parameter number
  bool executed = false;                       ///< executed and not closed since
  piece_state piece;
};

struct channel {
  unsigned tag = channel_tag;
  dbc* owner = nullptr;
  server::channel server;
  channel(dbc* d, server::connection& c, std::size_t chunk) : owner(d), server(c, chunk) {}
};

struct dbc {
  unsigned tag = dbc_tag;
  env* owner = nullptr;
  std::unique_ptr<server::connection> conn;  ///< null until DrvConnect succeeds
  std::set<stmt*> statements;
  std::set<channel*> channels;
  ~dbc();
};

/// The handle of the kind, or null for a null or foreign pointer.
env* as_env(void* h);
dbc* as_dbc(void* h);
stmt* as_stmt(void* h);
channel* as_channel(void* h);

}  // namespace torqa::driver
