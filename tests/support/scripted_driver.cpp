#include "support/scripted_driver.h"

#include "transport/driver.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace torqa::test {
namespace {

scripted_driver* g_current = nullptr;

// Fake handles: distinct non-null addresses.
char g_env, g_dbc, g_channel;

std::string utf8(const unsigned short* p, std::size_t n) {
  std::string out(n * 3 + 4, '\0');
  unsigned short w = DrvUniToMb(p, static_cast<unsigned short>(n), out.data(), static_cast<unsigned short>(out.size()));
  out.resize(w);
  return out;
}

// Bytes of the fixed-size C types, which SQLGetData serves in one call; 0
// for text and binary.
std::size_t fixed_size(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_SLONG: case SQL_C_LONG: return 4;
    case SQL_C_DOUBLE: return 8;
    case SQL_C_DATE: case SQL_C_TIME: return 6;
    case SQL_C_TIMESTAMP: return 16;
    default: return 0;
  }
}

std::size_t room(SQLLEN cap) { return cap > 0 ? static_cast<std::size_t>(cap) : 0; }

}  // namespace

// The driver table's functions, acting on the current scripted driver.
struct entry_points {
  using sql_call = scripted_driver::sql_call;
  static scripted_driver& d() { return *g_current; }

  // Records a call of `name`; answers the failure scripted for it, or 0.
  static short check(const char* name) {
    if (d().record) d().calls.emplace_back(name);
    auto it = d().failures_.find(name);
    if (it == d().failures_.end()) return 0;
    scripted_driver::failure& f = it->second;
    if (f.after > 0) {
      --f.after;
      return 0;
    }
    if (f.times == 0) return 0;
    if (f.times > 0) --f.times;
    return static_cast<short>(f.code);
  }
  // The same for a statement call, which is also recorded with its arguments.
  static short check(const sql_call& c) {
    if (d().record) d().sql_calls.push_back(c);
    return check(c.fn.c_str());
  }
  // The bindings of statement `h`, or nullptr.
  static std::map<SQLUSMALLINT, sql_call>* statement(SQLHSTMT h) {
    for (auto& s : d().statements_)
      if (&s == h) return &s;
    return nullptr;
  }

  static SQLRETURN alloc_env(SQLHENV* h) {
    short rc = check("SQLAllocEnv");
    *h = rc == 0 ? &g_env : nullptr;
    return rc;
  }
  static SQLRETURN alloc_connect(SQLHENV, SQLHDBC* h) {
    short rc = check("SQLAllocConnect");
    *h = rc == 0 ? &g_dbc : nullptr;
    return rc;
  }
  static SQLRETURN free_connect(SQLHDBC) { return check("SQLFreeConnect"); }
  static SQLRETURN free_env(SQLHENV) { return check("SQLFreeEnv"); }

  static SQLRETURN alloc_stmt(SQLHDBC, SQLHSTMT* h) {
    const short rc = check("SQLAllocStmt");
    *h = rc == 0 ? &d().statements_.emplace_back() : nullptr;
    if (d().record) d().sql_calls.push_back({.fn = "SQLAllocStmt", .stmt = *h});
    return rc;
  }
  static SQLRETURN prepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER len) {
    auto* units = reinterpret_cast<const unsigned short*>(text);
    std::size_t n = 0;
    if (len == SQL_NTS) {
      while (units[n] != 0) ++n;
    } else {
      n = static_cast<std::size_t>(len);
    }
    d().prepared.push_back(utf8(units, n));
    return check({.fn = "SQLPrepare", .stmt = h, .buffer = text, .buffer_len = len});
  }
  static SQLRETURN free_stmt(SQLHSTMT h, SQLUSMALLINT option) {
    if (const short rc = check({.fn = "SQLFreeStmt", .stmt = h, .number = option})) return rc;
    auto* s = statement(h);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    if (option == SQL_DROP || option == SQL_RESET_PARAMS) s->clear();
    return SQL_SUCCESS;
  }
  static SQLRETURN execute(SQLHSTMT h) {
    if (const short rc = check({.fn = "SQLExecute", .stmt = h})) return rc;
    auto* s = statement(h);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    scripted_driver& dr = d();
    dr.fetched_ = 0;
    dr.cell_col_ = 0;
    scripted_driver::sql_execution run{.stmt = h};
    for (const auto& [number, b] : *s) {
      if (b.io != SQL_PARAM_INPUT) {
        if (number != 1) continue;
        const std::size_t n = std::min(dr.query_info.size(), room(b.buffer_len));
        if (n != 0) std::memcpy(b.buffer, dr.query_info.data(), n);
        if (b.ind != nullptr) *b.ind = static_cast<SQLLEN>(dr.query_info.size());
      } else if (dr.record) {
        scripted_driver::sql_value& v = run.params[number];
        const SQLLEN len = b.ind != nullptr ? *b.ind : b.buffer_len;
        v.null = len == SQL_NULL_DATA;
        if (!v.null) v.bytes.assign(static_cast<const char*>(b.buffer), std::min(room(len), room(b.buffer_len)));
      }
    }
    if (dr.record) dr.executions.push_back(std::move(run));
    return SQL_SUCCESS;
  }
  static SQLRETURN fetch(SQLHSTMT h) {
    if (const short rc = check({.fn = "SQLFetch", .stmt = h})) return rc;
    scripted_driver& dr = d();
    dr.cell_col_ = 0;
    if (dr.fetched_ <= dr.rows.size()) ++dr.fetched_;
    return dr.fetched_ <= dr.rows.size() ? SQL_SUCCESS : SQL_NO_DATA;
  }
  static SQLRETURN num_result_cols(SQLHSTMT h, SQLSMALLINT* n) {
    const short rc = check({.fn = "SQLNumResultCols", .stmt = h});
    if (rc == 0) *n = static_cast<SQLSMALLINT>(d().columns.size());
    return rc;
  }
  static SQLRETURN describe_col(SQLHSTMT h, SQLUSMALLINT col, SQLCHAR* name, SQLSMALLINT name_cap,
                                SQLSMALLINT* name_len, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                                SQLSMALLINT* nullable) {
    if (const short rc = check({.fn = "SQLDescribeCol", .stmt = h, .number = col, .buffer = name, .buffer_len = name_cap}))
      return rc;
    if (col < 1 || col > d().columns.size()) return SQL_ERROR;
    const scripted_driver::sql_column& c = d().columns[col - 1];
    // The name as 16-bit characters, cut to the buffer's units with a zero.
    bool cut = false;
    if (name != nullptr && name_cap > 0) {
      const std::size_t n = std::min(c.name.size(), room(name_cap) - 1);
      const char16_t zero = 0;
      std::memcpy(name, c.name.data(), 2 * n);
      std::memcpy(name + 2 * n, &zero, 2);
      cut = n < c.name.size();
    }
    if (name_len != nullptr) *name_len = static_cast<SQLSMALLINT>(c.name.size());
    if (type != nullptr) *type = c.type;
    if (size != nullptr) *size = c.size;
    if (digits != nullptr) *digits = c.digits;
    if (nullable != nullptr) *nullable = c.nullable;
    return cut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
  }
  static SQLRETURN num_params(SQLHSTMT h, SQLSMALLINT* n) {
    const short rc = check({.fn = "SQLNumParams", .stmt = h});
    if (rc == 0) *n = static_cast<SQLSMALLINT>(d().params.size());
    return rc;
  }
  static SQLRETURN describe_param(SQLHSTMT h, SQLUSMALLINT par, SQLSMALLINT* type, SQLULEN* size,
                                  SQLSMALLINT* digits, SQLSMALLINT* nullable) {
    if (const short rc = check({.fn = "SQLDescribeParam", .stmt = h, .number = par})) return rc;
    if (par < 1 || par > d().params.size()) return SQL_ERROR;
    const scripted_driver::sql_param& p = d().params[par - 1];
    *type = p.type;
    *size = p.size;
    *digits = p.digits;
    *nullable = p.nullable;
    return SQL_SUCCESS;
  }
  static SQLRETURN bind_parameter(SQLHSTMT h, SQLUSMALLINT par, SQLSMALLINT io, SQLSMALLINT c_type,
                                  SQLSMALLINT sql_type, SQLULEN size, SQLSMALLINT, SQLPOINTER buf, SQLLEN cap,
                                  SQLLEN* ind) {
    const sql_call binding{.fn = "SQLBindParameter", .stmt = h, .number = par, .io = io, .c_type = c_type,
                           .sql_type = sql_type, .size = size, .buffer = buf, .buffer_len = cap, .ind = ind,
                           .ind_value = ind != nullptr ? *ind : 0};
    if (const short rc = check(binding)) return rc;
    auto* s = statement(h);
    if (s == nullptr) return SQL_INVALID_HANDLE;
    (*s)[par] = binding;
    return SQL_SUCCESS;
  }
  static SQLRETURN get_data(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT c_type, SQLPOINTER buf, SQLLEN cap,
                            SQLLEN* ind) {
    if (const short rc = check(
            {.fn = "SQLGetData", .stmt = h, .number = col, .c_type = c_type, .buffer = buf, .buffer_len = cap, .ind = ind}))
      return rc;
    scripted_driver& dr = d();
    if (dr.fetched_ == 0 || dr.fetched_ > dr.rows.size()) return SQL_ERROR;  // no current row
    const scripted_driver::sql_row& row = dr.rows[dr.fetched_ - 1];
    if (col < 1 || col > row.size()) return SQL_ERROR;
    if (col != dr.cell_col_) {
      dr.cell_col_ = col;
      dr.cell_pos_ = 0;
      dr.cell_done_ = false;
    }
    if (dr.cell_done_) return SQL_NO_DATA;
    const scripted_driver::sql_value& v = row[col - 1];
    dr.cell_done_ = true;
    if (v.null) {
      *ind = SQL_NULL_DATA;
      return SQL_SUCCESS;
    }
    if (const std::size_t fixed = fixed_size(c_type)) {
      std::memcpy(buf, v.bytes.data(), std::min(fixed, v.bytes.size()));
      *ind = static_cast<SQLLEN>(v.bytes.size());
      return SQL_SUCCESS;
    }
    const std::size_t left = v.bytes.size() - dr.cell_pos_;
    const std::size_t n = std::min(left, room(cap));
    if (n != 0) std::memcpy(buf, v.bytes.data() + dr.cell_pos_, n);
    *ind = v.no_total && left > room(cap) ? SQL_NO_TOTAL : static_cast<SQLLEN>(left);
    dr.cell_pos_ += n;
    dr.cell_done_ = dr.cell_pos_ == v.bytes.size();
    return SQL_SUCCESS;
  }

  static short connect(SQLHDBC, const torqa_drv_str* a, const torqa_drv_str* b, const torqa_drv_str* c,
                       const torqa_drv_str* user, const torqa_drv_str* pw) {
    d().connect_args.clear();
    for (const torqa_drv_str* s : {a, b, c, user, pw}) d().connect_args.push_back(utf8(s->data, s->length));
    return check("DrvConnect");
  }
  static short open_channel(SQLHDBC, void** ch) {
    short rc = check("DrvOpenChannel");
    *ch = rc == 0 ? &g_channel : nullptr;
    return rc;
  }
  static short close_channel(void*) { return check("DrvCloseChannel"); }
  static short begin_message(void*, const char* code, unsigned payload) {
    d().pending_code_.assign(code, strnlen(code, 2));
    d().pending_announced_ = payload;
    return check("DrvBeginMessage");
  }
  // Records the request and makes the next queued reply (else the standing
  // one) the one served.
  static short send_message(void*, const char* msg, unsigned len) {
    if (const short rc = check("DrvSendMessage")) return rc;
    scripted_driver& dr = d();
    if (dr.record) {
      const std::string all(msg, len);
      dr.requests.push_back({.code = dr.pending_code_,
                             .reserved = all.substr(0, 14),
                             .payload = all.size() > 14 ? all.substr(14) : std::string(),
                             .announced = dr.pending_announced_});
    }
    dr.chunk_index_ = 0;
    dr.chunk_ = nullptr;
    dr.chunk_pos_ = 0;
    dr.serving_ = &dr.current_;
    if (!dr.replies_.empty()) {
      dr.current_ = std::move(dr.replies_.front());
      dr.replies_.pop_front();
    } else if (!dr.standing_.empty()) {
      dr.serving_ = &dr.standing_;
    } else {
      dr.current_.clear();
    }
    if (dr.on_send) dr.on_send();
    return 0;
  }
  static short next_chunk(void*, unsigned* len, unsigned char* is_final) {
    if (const short rc = check("DrvNextChunk")) return rc;
    scripted_driver& dr = d();
    if (dr.chunk_index_ >= dr.serving_->size()) return -1;  // nothing (more) scripted
    const chunk& c = (*dr.serving_)[dr.chunk_index_++];
    dr.chunk_ = &c.bytes;
    dr.chunk_pos_ = 0;
    *len = static_cast<unsigned>(c.bytes.size());
    *is_final = c.final ? 1 : 0;
    return 0;
  }
  static short read_chunk(void*, unsigned len, char* dst) {
    if (const short rc = check("DrvReadChunk")) return rc;
    scripted_driver& dr = d();
    ++dr.chunk_reads;
    if (dr.chunk_ == nullptr || len > dr.chunk_->size() - dr.chunk_pos_) return -1;
    std::memcpy(dst, dr.chunk_->data() + dr.chunk_pos_, len);
    dr.chunk_pos_ += len;
    return 0;
  }
};

namespace {

const detail::driver_table k_table = {
    .SQLAllocEnv = entry_points::alloc_env,
    .SQLAllocConnect = entry_points::alloc_connect,
    .SQLFreeConnect = entry_points::free_connect,
    .SQLFreeEnv = entry_points::free_env,
    .SQLAllocStmt = entry_points::alloc_stmt,
    .SQLPrepare = entry_points::prepare,
    .SQLFreeStmt = entry_points::free_stmt,
    .SQLExecute = entry_points::execute,
    .SQLFetch = entry_points::fetch,
    .SQLNumResultCols = entry_points::num_result_cols,
    .SQLDescribeCol = entry_points::describe_col,
    .SQLNumParams = entry_points::num_params,
    .SQLDescribeParam = entry_points::describe_param,
    .SQLBindParameter = entry_points::bind_parameter,
    .SQLGetData = entry_points::get_data,
    .DrvConnect = entry_points::connect,
    .DrvOpenChannel = entry_points::open_channel,
    .DrvCloseChannel = entry_points::close_channel,
    .DrvBeginMessage = entry_points::begin_message,
    .DrvSendMessage = entry_points::send_message,
    .DrvNextChunk = entry_points::next_chunk,
    .DrvReadChunk = entry_points::read_chunk,
    .DrvSrvToMb = DrvSrvToMb,
    .DrvUniToMb = DrvUniToMb,
    .DrvMbToUni = DrvMbToUni,
    .SQLGetDiagRec = nullptr,  // as a driver without diagnostics: failures name the call
};

}  // namespace

scripted_driver::scripted_driver() {
  if (g_current != nullptr) throw std::logic_error("one scripted_driver at a time");
  g_current = this;
  detail::install_driver(&k_table);
}

scripted_driver::~scripted_driver() {
  detail::install_driver(nullptr);
  g_current = nullptr;
}

std::vector<chunk> scripted_driver::split(const std::string& bytes, const std::vector<std::size_t>& sizes) {
  std::vector<chunk> chunks;
  std::size_t at = 0;
  for (std::size_t n : sizes) {
    if (at + n > bytes.size()) break;
    chunks.push_back({bytes.substr(at, n), false});
    at += n;
  }
  chunks.push_back({bytes.substr(at), true});
  return chunks;
}

void scripted_driver::reply(const std::string& bytes, const std::vector<std::size_t>& sizes) {
  replies_.push_back(split(bytes, sizes));
}

void scripted_driver::repeat(const std::string& bytes, const std::vector<std::size_t>& sizes) {
  standing_ = split(bytes, sizes);
}

int scripted_driver::count(const std::string& name) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), name));
}

std::vector<scripted_driver::sql_call> scripted_driver::sql_calls_of(const std::string& fn) const {
  std::vector<sql_call> out;
  std::copy_if(sql_calls.begin(), sql_calls.end(), std::back_inserter(out), [&](const sql_call& c) { return c.fn == fn; });
  return out;
}

std::string elems(const std::function<void(t_ostream&)>& write, bool uni_srv) {
  t_ostrstream o;
  o.set_uni_srv(uni_srv);
  write(o);
  return std::string(o.data(), o.size());
}

std::string bytes_elem(const std::string& data) {
  return elems([&](t_ostream& o) { o.put_str(0, data.data(), static_cast<unsigned short>(data.size())); });
}

std::string err_record(int code, const std::string& msg, const std::string& info) {
  return elems([&](t_ostream& o) {
    o << code;
    o.put_str(0, msg.data(), static_cast<unsigned short>(msg.size()));
    if (!info.empty()) o.put_str(0, info.data(), static_cast<unsigned short>(info.size()));
  });
}

std::string common_reply(const std::string& result, const std::string& err, const std::string& err_text,
                         const std::string& output, const std::string& cache_section) {
  return bytes_elem(result) + bytes_elem(err) + bytes_elem(err_text) + bytes_elem(output) + cache_section;
}

std::string startup_reply(bool ok, bool uni_srv, const char* srv_name) {
  return elems([&](t_ostream& o) {
    o << (ok ? 1 : 0) << 2.08 << (uni_srv ? 1 : 0);
    o.put_str(0, srv_name, static_cast<unsigned short>(std::strlen(srv_name)));
  });
}

std::vector<unsigned short> u16(const char16_t* s) {
  std::vector<unsigned short> out;
  for (; *s != 0; ++s) out.push_back(static_cast<unsigned short>(*s));
  out.push_back(0);
  return out;
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) out += {' ', digits[b >> 4], digits[b & 15]};
  return out.empty() ? out : out.substr(1);
}

}  // namespace torqa::test
