// Connections through the driver: connect with a split connection string,
// the query-information statement, the message channel and disconnect.
#include <torqa/connection.h>
#include <torqa/conversions.h>
#include <torqa/errors.h>
#include <torqa/types.h>

#include "transport/driver.h"

#include <algorithm>
#include <vector>

using torqa::detail::driver;

namespace {

// Longest text, in 16-bit units, taken from each argument of connect.
constexpr unsigned short max_connect_units = sizeof conv_buf / 2;

// The statement that returns a class query's stored procedure and
// parameter count, prepared once per connection.
constexpr char16_t query_info_text[] = u"{ ? = call %Library.CPPStoredProc_getQueryInfo( ?, ? ) }";

using units = std::vector<unsigned short>;

// The 16-bit form of `s`, converted through conv_buf.
units to_units(const d_string& s) {
  auto* buf = reinterpret_cast<unsigned short*>(conv_buf);
  const unsigned short n = s.to_uni(buf, max_connect_units);
  return units(buf, buf + n);
}

torqa_drv_str drv_str(const unsigned short* p, std::size_t n) { return {p, static_cast<unsigned>(n)}; }

// The three parts of "X[Y]sZ", s being any one separator character (a
// surrogate pair is one character). False when there is no '[', no ']'
// after it, or no separator after the ']'.
bool split(const units& s, torqa_drv_str parts[3]) {
  const unsigned short* p = s.data();
  const std::size_t n = s.size();
  const std::size_t open = std::find(p, p + n, u'[') - p;
  if (open == n) return false;
  const std::size_t close = std::find(p + open + 1, p + n, u']') - p;
  if (close + 1 >= n) return false;
  const bool pair = close + 2 < n && (p[close + 1] & 0xFC00) == 0xD800 && (p[close + 2] & 0xFC00) == 0xDC00;
  const std::size_t z = close + (pair ? 3 : 2);
  parts[0] = drv_str(p, open);
  parts[1] = drv_str(p + open + 1, close - open - 1);
  parts[2] = drv_str(p + z, n - z);
  return true;
}

}  // namespace

// ---- Conn_t ----

void Conn_t::disconnect() { active = false; }

Conn_t::~Conn_t() = default;

void Conn_t::acquire() {
  if (!active) throw Db_err(-1000, "Connection is not active");
  if (busy) throw Db_err(-1000, "Connection is busy");
  busy = true;
}

// ---- tcp_conn ----

tcp_conn::tcp_conn() : Conn_t(false, false) {}

tcp_conn::tcp_conn(void* env, void* dbc) : Conn_t(true, false), henv(env), hdbc(dbc) {
  // A statement that cannot be allocated or prepared shows when a class
  // query uses it.
  const auto& drv = driver();
  if (drv.SQLAllocStmt(hdbc, &hstmt) != 0) {
    hstmt = nullptr;
    return;
  }
  auto* text = reinterpret_cast<SQLCHAR*>(const_cast<char16_t*>(query_info_text));
  drv.SQLPrepare(hstmt, text, SQL_NTS);
}

tcp_conn::~tcp_conn() {
  if (active) disconnect();
}

void tcp_conn::disconnect() {
  const auto& drv = driver();
  if (hstmt != nullptr) drv.SQLFreeStmt(hstmt, SQL_DROP);
  drv.SQLFreeConnect(hdbc);
  drv.SQLFreeEnv(henv);
  Conn_t::disconnect();
}

int tcp_conn::open_channel(void** channel) { return driver().DrvOpenChannel(hdbc, channel); }

int tcp_conn::close_channel(void* channel) { return driver().DrvCloseChannel(channel); }

Handle<Conn_t> tcp_conn::connect(const d_string& connection_string, const d_string& user, const d_string& password,
                                 Db_err* err) {
  const auto refused = [err](int code, const std::string& msg, Db_diag why = {}) {
    if (err != nullptr) {
      err->code = code;
      err->msg = msg;
      err->diag = std::move(why);
    }
    return Handle<Conn_t>(new tcp_conn());
  };
  try {
    const units text = to_units(connection_string);
    const units user16 = to_units(user);
    const units password16 = to_units(password);
    if (err != nullptr) err->clear();

    const auto& drv = driver();
    SQLHENV env = nullptr;
    if (const SQLRETURN rc = drv.SQLAllocEnv(&env); rc != 0) return refused(rc, "could't connect");
    SQLHDBC dbc = nullptr;
    if (const SQLRETURN rc = drv.SQLAllocConnect(env, &dbc); rc != 0) {
      drv.SQLFreeEnv(env);
      return refused(rc, "could't connect");
    }
    // A failed connect keeps no driver handle.
    const auto release = [&] {
      drv.SQLFreeConnect(dbc);
      drv.SQLFreeEnv(env);
    };
    torqa_drv_str parts[3];
    if (!split(text, parts)) {
      release();
      return refused(-1000, "invalid connection string");
    }
    const torqa_drv_str u = drv_str(user16.data(), user16.size());
    const torqa_drv_str p = drv_str(password16.data(), password16.size());
    if (const short rc = drv.DrvConnect(dbc, &parts[0], &parts[1], &parts[2], &u, &p); rc != 0) {
      // The driver says why on the connection handle, which goes next.
      Db_diag why = torqa::detail::diagnostic(SQL_HANDLE_DBC, dbc);
      release();
      return refused(rc, "couldn't connect", std::move(why));
    }
    return Handle<Conn_t>(new tcp_conn(env, dbc));
  } catch (const Db_err& e) {  // the driver cannot be loaded
    return refused(e.code, e.msg);
  }
}
