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

#include <sql.h>

#include <memory>
#include <set>
#include <string>

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
