#include "support/scripted_driver.h"

#include "transport/driver.h"

#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace torqa::test {
namespace {

scripted_driver* g_current = nullptr;

std::string utf8(const unsigned short* p, std::size_t n) {
  std::string out(n * 3 + 4, '\0');
  unsigned short w = DrvUniToMb(p, static_cast<unsigned short>(n), out.data(), static_cast<unsigned short>(out.size()));
  out.resize(w);
  return out;
}

// Fake handles: distinct non-null addresses.
char g_env, g_dbc, g_channel;

short fail_or(const char* name, short ok = 0) {
  short rc = g_current->check(name);
  return rc != 0 ? rc : ok;
}

SQLRETURN alloc_env(SQLHENV* h) {
  short rc = fail_or("SQLAllocEnv");
  *h = rc == 0 ? &g_env : nullptr;
  return rc;
}
SQLRETURN alloc_connect(SQLHENV, SQLHDBC* h) {
  short rc = fail_or("SQLAllocConnect");
  *h = rc == 0 ? &g_dbc : nullptr;
  return rc;
}
SQLRETURN free_connect(SQLHDBC) { return fail_or("SQLFreeConnect"); }
SQLRETURN free_env(SQLHENV) { return fail_or("SQLFreeEnv"); }
SQLRETURN alloc_stmt(SQLHDBC, SQLHSTMT* h) { return g_current->sql_alloc_stmt(h); }
SQLRETURN prepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER len) { return g_current->sql_prepare(h, text, len); }
SQLRETURN free_stmt(SQLHSTMT h, SQLUSMALLINT option) { return g_current->sql_free_stmt(h, option); }
SQLRETURN execute(SQLHSTMT h) { return g_current->sql_execute(h); }
SQLRETURN fetch(SQLHSTMT h) { return g_current->sql_fetch(h); }
SQLRETURN num_result_cols(SQLHSTMT h, SQLSMALLINT* n) { return g_current->sql_num_result_cols(h, n); }
SQLRETURN describe_col(SQLHSTMT h, SQLUSMALLINT col, SQLCHAR* name, SQLSMALLINT name_cap, SQLSMALLINT* name_len,
                       SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  return g_current->sql_describe_col(h, col, name, name_cap, name_len, type, size, digits, nullable);
}
SQLRETURN num_params(SQLHSTMT h, SQLSMALLINT* n) { return g_current->sql_num_params(h, n); }
SQLRETURN describe_param(SQLHSTMT h, SQLUSMALLINT par, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                         SQLSMALLINT* nullable) {
  return g_current->sql_describe_param(h, par, type, size, digits, nullable);
}
SQLRETURN bind_parameter(SQLHSTMT h, SQLUSMALLINT par, SQLSMALLINT io, SQLSMALLINT c_type, SQLSMALLINT sql_type,
                         SQLULEN size, SQLSMALLINT digits, SQLPOINTER buf, SQLLEN cap, SQLLEN* ind) {
  return g_current->sql_bind_parameter({.fn = "SQLBindParameter",
                                        .stmt = h,
                                        .number = par,
                                        .io = io,
                                        .c_type = c_type,
                                        .sql_type = sql_type,
                                        .size = size,
                                        .digits = digits,
                                        .buffer = buf,
                                        .buffer_len = cap,
                                        .ind = ind,
                                        .ind_value = ind != nullptr ? *ind : 0});
}
SQLRETURN get_data(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT c_type, SQLPOINTER buf, SQLLEN cap, SQLLEN* ind) {
  return g_current->sql_get_data(h, col, c_type, buf, cap, ind);
}

// Bytes of the fixed-size C types, which SQLGetData serves in one call; 0
// for text and binary.
std::size_t fixed_size(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_SLONG:
    case SQL_C_LONG:
      return 4;
    case SQL_C_DOUBLE:
      return 8;
    case SQL_C_DATE:
    case SQL_C_TIME:
      return 6;
    case SQL_C_TIMESTAMP:
      return 16;
    default:
      return 0;
  }
}

std::size_t room(SQLLEN cap) { return cap > 0 ? static_cast<std::size_t>(cap) : 0; }

}  // namespace

std::vector<scripted_driver::sql_call> scripted_driver::sql_calls_of(const std::string& fn) const {
  std::vector<sql_call> out;
  for (const sql_call& c : sql_calls)
    if (c.fn == fn) out.push_back(c);
  return out;
}

scripted_driver::sql_statement* scripted_driver::statement(SQLHSTMT h) {
  for (sql_statement& s : statements_)
    if (&s == h) return &s;
  return nullptr;
}

SQLRETURN scripted_driver::sql_alloc_stmt(SQLHSTMT* h) {
  const short rc = check("SQLAllocStmt");
  *h = rc == 0 ? &statements_.emplace_back() : nullptr;
  if (record) sql_calls.push_back({.fn = "SQLAllocStmt", .stmt = *h});
  return rc;
}

SQLRETURN scripted_driver::sql_prepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER len) {
  auto* units = reinterpret_cast<const unsigned short*>(text);
  std::size_t n = 0;
  if (len == SQL_NTS) {
    while (units[n] != 0) ++n;
  } else {
    n = static_cast<std::size_t>(len);
  }
  prepared.push_back(utf8(units, n));
  if (record) sql_calls.push_back({.fn = "SQLPrepare", .stmt = h, .buffer = text, .buffer_len = len});
  return check("SQLPrepare");
}

SQLRETURN scripted_driver::sql_free_stmt(SQLHSTMT h, SQLUSMALLINT option) {
  const short rc = check("SQLFreeStmt");
  if (record) sql_calls.push_back({.fn = "SQLFreeStmt", .stmt = h, .number = option});
  if (rc != 0) return rc;
  sql_statement* s = statement(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  if (option == SQL_DROP || option == SQL_RESET_PARAMS) s->bindings.clear();
  return SQL_SUCCESS;
}

SQLRETURN scripted_driver::sql_execute(SQLHSTMT h) {
  const short rc = check("SQLExecute");
  if (record) sql_calls.push_back({.fn = "SQLExecute", .stmt = h});
  if (rc != 0) return rc;
  sql_statement* s = statement(h);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  fetched_ = 0;
  cell_col_ = 0;
  sql_execution run{.stmt = h};
  for (const auto& [number, b] : s->bindings) {
    if (b.io != SQL_PARAM_INPUT) {
      if (number != 1) continue;
      const std::size_t n = std::min(query_info.size(), room(b.buffer_len));
      if (n != 0) std::memcpy(b.buffer, query_info.data(), n);
      if (b.ind != nullptr) *b.ind = static_cast<SQLLEN>(query_info.size());
    } else if (record) {
      sql_value& v = run.params[number];
      const SQLLEN len = b.ind != nullptr ? *b.ind : b.buffer_len;
      v.null = len == SQL_NULL_DATA;
      if (!v.null) v.bytes.assign(static_cast<const char*>(b.buffer), std::min(room(len), room(b.buffer_len)));
    }
  }
  if (record) executions.push_back(std::move(run));
  return SQL_SUCCESS;
}

SQLRETURN scripted_driver::sql_fetch(SQLHSTMT h) {
  const short rc = check("SQLFetch");
  if (record) sql_calls.push_back({.fn = "SQLFetch", .stmt = h});
  if (rc != 0) return rc;
  cell_col_ = 0;
  if (fetched_ <= rows.size()) ++fetched_;
  return fetched_ <= rows.size() ? SQL_SUCCESS : SQL_NO_DATA;
}

SQLRETURN scripted_driver::sql_num_result_cols(SQLHSTMT h, SQLSMALLINT* n) {
  const short rc = check("SQLNumResultCols");
  if (record) sql_calls.push_back({.fn = "SQLNumResultCols", .stmt = h});
  if (rc == 0) *n = static_cast<SQLSMALLINT>(columns.size());
  return rc;
}

SQLRETURN scripted_driver::sql_describe_col(SQLHSTMT h, SQLUSMALLINT col, SQLCHAR* name, SQLSMALLINT name_cap,
                                            SQLSMALLINT* name_len, SQLSMALLINT* type, SQLULEN* size,
                                            SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  const short rc = check("SQLDescribeCol");
  if (record)
    sql_calls.push_back({.fn = "SQLDescribeCol", .stmt = h, .number = col, .buffer = name, .buffer_len = name_cap});
  if (rc != 0) return rc;
  if (col < 1 || col > columns.size()) return SQL_ERROR;
  const sql_column& c = columns[col - 1];
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

SQLRETURN scripted_driver::sql_num_params(SQLHSTMT h, SQLSMALLINT* n) {
  const short rc = check("SQLNumParams");
  if (record) sql_calls.push_back({.fn = "SQLNumParams", .stmt = h});
  if (rc == 0) *n = static_cast<SQLSMALLINT>(params.size());
  return rc;
}

SQLRETURN scripted_driver::sql_describe_param(SQLHSTMT h, SQLUSMALLINT par, SQLSMALLINT* type, SQLULEN* size,
                                              SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  const short rc = check("SQLDescribeParam");
  if (record) sql_calls.push_back({.fn = "SQLDescribeParam", .stmt = h, .number = par});
  if (rc != 0) return rc;
  if (par < 1 || par > params.size()) return SQL_ERROR;
  const sql_param& p = params[par - 1];
  *type = p.type;
  *size = p.size;
  *digits = p.digits;
  *nullable = p.nullable;
  return SQL_SUCCESS;
}

SQLRETURN scripted_driver::sql_bind_parameter(const sql_call& binding) {
  const short rc = check("SQLBindParameter");
  if (record) sql_calls.push_back(binding);
  if (rc != 0) return rc;
  sql_statement* s = statement(binding.stmt);
  if (s == nullptr) return SQL_INVALID_HANDLE;
  s->bindings[binding.number] = binding;
  return SQL_SUCCESS;
}

SQLRETURN scripted_driver::sql_get_data(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT c_type, SQLPOINTER buf, SQLLEN cap,
                                        SQLLEN* ind) {
  const short rc = check("SQLGetData");
  if (record)
    sql_calls.push_back(
        {.fn = "SQLGetData", .stmt = h, .number = col, .c_type = c_type, .buffer = buf, .buffer_len = cap, .ind = ind});
  if (rc != 0) return rc;
  if (fetched_ == 0 || fetched_ > rows.size()) return SQL_ERROR;  // no current row
  const sql_row& row = rows[fetched_ - 1];
  if (col < 1 || col > row.size()) return SQL_ERROR;
  if (col != cell_col_) {
    cell_col_ = col;
    cell_pos_ = 0;
    cell_done_ = false;
  }
  if (cell_done_) return SQL_NO_DATA;
  const sql_value& v = row[col - 1];
  cell_done_ = true;
  if (v.null) {
    *ind = SQL_NULL_DATA;
    return SQL_SUCCESS;
  }
  if (const std::size_t fixed = fixed_size(c_type)) {
    std::memcpy(buf, v.bytes.data(), std::min(fixed, v.bytes.size()));
    *ind = static_cast<SQLLEN>(v.bytes.size());
    return SQL_SUCCESS;
  }
  const std::size_t left = v.bytes.size() - cell_pos_;
  const std::size_t n = std::min(left, room(cap));
  if (n != 0) std::memcpy(buf, v.bytes.data() + cell_pos_, n);
  *ind = v.no_total && left > room(cap) ? SQL_NO_TOTAL : static_cast<SQLLEN>(left);
  cell_pos_ += n;
  cell_done_ = cell_pos_ == v.bytes.size();
  return SQL_SUCCESS;
}

namespace {

short drv_connect(SQLHDBC, const torqa_drv_str* a, const torqa_drv_str* b, const torqa_drv_str* c,
                  const torqa_drv_str* user, const torqa_drv_str* pw) {
  g_current->connect_args.clear();
  for (const torqa_drv_str* s : {a, b, c, user, pw}) g_current->connect_args.push_back(utf8(s->data, s->length));
  return fail_or("DrvConnect");
}
short open_channel(SQLHDBC, void** ch) {
  short rc = fail_or("DrvOpenChannel");
  *ch = rc == 0 ? &g_channel : nullptr;
  return rc;
}
short close_channel(void*) { return fail_or("DrvCloseChannel"); }
short begin_message(void*, const char* code, unsigned payload) {
  g_current->begin(code, payload);
  return fail_or("DrvBeginMessage");
}
short send_message(void*, const char* msg, unsigned len) {
  short rc = fail_or("DrvSendMessage");
  if (rc == 0) g_current->send(msg, len);
  return rc;
}
short next_chunk(void*, unsigned* len, unsigned char* is_final) {
  short rc = fail_or("DrvNextChunk");
  return rc != 0 ? rc : g_current->next_chunk(len, is_final);
}
short read_chunk(void*, unsigned len, char* dst) {
  short rc = fail_or("DrvReadChunk");
  return rc != 0 ? rc : g_current->read_chunk(len, dst);
}

const detail::driver_table k_table = {
    .SQLAllocEnv = alloc_env,
    .SQLAllocConnect = alloc_connect,
    .SQLFreeConnect = free_connect,
    .SQLFreeEnv = free_env,
    .SQLAllocStmt = alloc_stmt,
    .SQLPrepare = prepare,
    .SQLFreeStmt = free_stmt,
    .SQLExecute = execute,
    .SQLFetch = fetch,
    .SQLNumResultCols = num_result_cols,
    .SQLDescribeCol = describe_col,
    .SQLNumParams = num_params,
    .SQLDescribeParam = describe_param,
    .SQLBindParameter = bind_parameter,
    .SQLGetData = get_data,
    .DrvConnect = drv_connect,
    .DrvOpenChannel = open_channel,
    .DrvCloseChannel = close_channel,
    .DrvBeginMessage = begin_message,
    .DrvSendMessage = send_message,
    .DrvNextChunk = next_chunk,
    .DrvReadChunk = read_chunk,
    .DrvSrvToMb = DrvSrvToMb,
    .DrvUniToMb = DrvUniToMb,
    .DrvMbToUni = DrvMbToUni,
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

scripted_driver* scripted_driver::current() { return g_current; }

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

void scripted_driver::reply_chunks(std::vector<chunk> chunks) { replies_.push_back(std::move(chunks)); }

void scripted_driver::repeat(const std::string& bytes, const std::vector<std::size_t>& sizes) {
  standing_ = split(bytes, sizes);
}

void scripted_driver::fail(const std::string& name, int code, int after, int times) {
  failures_[name] = {code, after, times};
}

int scripted_driver::count(const std::string& name) const {
  auto it = counts_.find(name);
  return it == counts_.end() ? 0 : it->second;
}

short scripted_driver::check(const char* name) {
  if (record) {
    calls.emplace_back(name);
    ++counts_[name];
  }
  auto it = failures_.find(name);
  if (it == failures_.end()) return 0;
  failure& f = it->second;
  if (f.after > 0) {
    --f.after;
    return 0;
  }
  if (f.times == 0) return 0;
  if (f.times > 0) --f.times;
  return static_cast<short>(f.code);
}

void scripted_driver::begin(const char* code, unsigned payload) {
  pending_code_.assign(code, strnlen(code, 2));
  pending_announced_ = payload;
}

void scripted_driver::send(const char* msg, unsigned len) {
  if (record) {
    request r;
    r.code = pending_code_;
    r.announced = pending_announced_;
    std::string all(msg, len);
    r.reserved = all.substr(0, 14);
    r.payload = all.size() > 14 ? all.substr(14) : std::string();
    requests.push_back(std::move(r));
  }
  chunk_index_ = 0;
  chunk_ = nullptr;
  chunk_pos_ = 0;
  if (!replies_.empty()) {
    current_ = std::move(replies_.front());
    replies_.pop_front();
    serving_ = &current_;
  } else if (!standing_.empty()) {
    serving_ = &standing_;
  } else {
    current_.clear();
    serving_ = &current_;
  }
  if (on_send) on_send();
}

short scripted_driver::next_chunk(unsigned* len, unsigned char* is_final) {
  if (chunk_index_ >= serving_->size()) return -1;  // nothing (more) scripted
  const chunk& c = (*serving_)[chunk_index_++];
  chunk_ = &c.bytes;
  chunk_pos_ = 0;
  *len = static_cast<unsigned>(c.bytes.size());
  *is_final = c.final ? 1 : 0;
  return 0;
}

short scripted_driver::read_chunk(unsigned len, char* dst) {
  ++chunk_reads;
  if (chunk_ == nullptr || len > chunk_->size() - chunk_pos_) return -1;
  std::memcpy(dst, chunk_->data() + chunk_pos_, len);
  chunk_pos_ += len;
  return 0;
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
  std::ostringstream os;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) os << ' ';
    os << std::hex << std::uppercase << std::setw(2) << std::setfill('0')
       << static_cast<unsigned>(static_cast<unsigned char>(bytes[i]));
  }
  return os.str();
}

}  // namespace torqa::test
