// The private entry points: connect (to the embedded server, to a daemon
// over TCP, or through the daemon owning a local namespace), message
// channels, requests and chunked replies.
#include "odbc3.h"

#include "server/errors.h"
#include "server/wire/wire.h"

#include <charconv>
#include <limits>
#include <string>

using namespace torqa;
using namespace torqa::driver;

namespace {

std::string utf8(const torqa_drv_str* s) {
  if (s == nullptr || s->data == nullptr) return {};
  return server::utf16le_to_utf8(std::string_view(reinterpret_cast<const char*>(s->data), s->length * 2u));
}

// A server error code as a driver result (never 0).
short result_code(int code) {
  if (code == 0) return -1;
  if (code < std::numeric_limits<short>::min()) return std::numeric_limits<short>::min();
  return code > std::numeric_limits<short>::max() ? std::numeric_limits<short>::max() : static_cast<short>(code);
}

}  // namespace

int torqa::driver::open_server(dbc& d, const std::string& host, const std::string& options, const std::string& path,
                               const std::string& user, const std::string& password) {
  const auto refused = [&](int code, std::string msg) {
    d.diag.set(SQL_ERROR, code == server::err_login ? "28000" : "08001", std::move(msg), code);
    return code == 0 ? -1 : code;
  };
  if (d.conn || d.remote) {
    d.diag.set(SQL_ERROR, "08002", "the connection is already open");
    return -1;
  }
  if (!server::same_name(host, "local")) {
    unsigned port = 0;
    const auto r = std::from_chars(options.data(), options.data() + options.size(), port);
    if (r.ec != std::errc{} || r.ptr != options.data() + options.size() || port == 0 || port > 65535)
      return refused(server::err_options, "bad port '" + options + "' for host " + host);
    try {
      d.remote = std::make_unique<net::remote_connection>(host, options, path, user, password);
    } catch (const net::remote_error& e) {
      return refused(e.code, e.msg);
    }
    d.sql = remote_sql(*d.remote, host, path, user);
    return 0;
  }
  server::connect_options opts;
  std::string why;
  if (!server::parse_options(options, opts, why)) return refused(server::err_options, why);
  try {
    d.conn = std::make_unique<server::connection>(path, opts, user, password);
    d.sql = local_sql(*d.conn);
  } catch (const server::owned_elsewhere& e) {
    // A daemon owning the namespace serves it on its socket there; another
    // owner (an application's embedded server) serves no one else.
    std::string why;
    net::socket_fd s = net::connect_unix(e.dir, server::socket_file, why);
    if (s.get() < 0) return refused(e.code, e.msg);
    try {
      d.remote = std::make_unique<net::remote_connection>(std::move(s), "", user, password, opts.chunk);
    } catch (const net::remote_error& r) {
      return refused(r.code, r.msg);
    }
    d.sql = remote_sql(*d.remote, "local", path, user);
  } catch (const server::server_error& e) {
    return refused(e.code, e.msg);
  } catch (const std::exception& e) {
    return refused(server::err_storage, e.what());
  }
  return 0;
}

TORQA_DRV_EXPORT short DrvConnect(SQLHDBC h, const torqa_drv_str* host, const torqa_drv_str* options,
                                  const torqa_drv_str* path, const torqa_drv_str* user, const torqa_drv_str* password) {
  dbc* d = as_dbc(h);
  if (d == nullptr) return -1;
  d->diag.clear();
  // A refused connect leaves a diagnostic for SQLGetDiagRec.
  const int rc = open_server(*d, utf8(host), utf8(options), utf8(path), utf8(user), utf8(password));
  return rc == 0 ? 0 : result_code(rc);
}

TORQA_DRV_EXPORT short DrvOpenChannel(SQLHDBC h, void** out) {
  if (out != nullptr) *out = nullptr;
  dbc* d = as_dbc(h);
  if (d == nullptr || (!d->conn && !d->remote) || out == nullptr) return -1;
  auto* c = new driver::channel;
  c->owner = d;
  try {
    if (d->remote)
      c->remote.emplace(*d->remote, d->remote->open_channel());
    else
      c->local.emplace(*d->conn, d->conn->chunk_size());
  } catch (const net::remote_error&) {
    delete c;
    return -1;
  }
  d->channels.insert(c);
  *out = c;
  return 0;
}

TORQA_DRV_EXPORT short DrvCloseChannel(void* h) {
  driver::channel* c = as_channel(h);
  if (c == nullptr) return -1;
  c->owner->channels.erase(c);
  delete c;
  return 0;
}

TORQA_DRV_EXPORT short DrvBeginMessage(void* h, const char* code, unsigned int) {
  driver::channel* c = as_channel(h);
  if (c == nullptr || code == nullptr) return -1;
  c->begin(std::string_view(code, code[0] == '\0' ? 0 : 2));
  return 0;
}

TORQA_DRV_EXPORT short DrvSendMessage(void* h, const char* message, unsigned int length) {
  driver::channel* c = as_channel(h);
  if (c == nullptr) return -1;
  try {
    return c->send(message, length) ? 0 : -1;
  } catch (const std::exception&) {
    return -1;
  }
}

TORQA_DRV_EXPORT short DrvNextChunk(void* h, unsigned int* length, unsigned char* is_final) {
  driver::channel* c = as_channel(h);
  if (c == nullptr || length == nullptr || is_final == nullptr) return -1;
  unsigned n = 0;
  bool final = false;
  if (!c->next_chunk(n, final)) return -1;
  *length = n;
  *is_final = final ? 1 : 0;
  return 0;
}

TORQA_DRV_EXPORT short DrvReadChunk(void* h, unsigned int length, char* destination) {
  driver::channel* c = as_channel(h);
  if (c == nullptr || length > 32768) return -1;
  return c->read(length, destination) ? 0 : -1;
}
