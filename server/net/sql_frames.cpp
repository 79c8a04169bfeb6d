#include "sql_frames.h"

#include <bit>

namespace torqa::net {

namespace {

using server::sql_kind;
using server::sql_value;

constexpr std::uint8_t no_kind = 0xFF;

bool to_kind(std::uint8_t v, sql_kind& k) {
  if (v > static_cast<std::uint8_t>(sql_kind::timestamp)) return false;
  k = static_cast<sql_kind>(v);
  return true;
}

bool str(body_reader& r, std::string& out) {
  std::string_view v;
  if (!r.str(v)) return false;
  out = v;
  return true;
}

}  // namespace

std::string description_body(const sql_description& d) {
  std::string out;
  put_u32(out, d.statement);
  out += static_cast<char>(d.form);
  out += static_cast<char>(d.unicode ? 1 : 0);
  put_u32(out, static_cast<std::uint32_t>(d.columns.size()));
  for (const server::sql_column& c : d.columns) {
    put_str(out, c.name);
    out += static_cast<char>(c.kind);
    out += static_cast<char>(c.nullable);
  }
  put_u32(out, static_cast<std::uint32_t>(d.params.size()));
  for (const auto& k : d.params) out += static_cast<char>(k ? static_cast<std::uint8_t>(*k) : no_kind);
  return out;
}

bool read_description(std::string_view body, sql_description& d) {
  body_reader r(body);
  std::uint8_t form = 0, unicode = 0;
  std::uint32_t n = 0;
  if (!r.u32(d.statement) || !r.u8(form) || !r.u8(unicode) || !r.u32(n) ||
      form > static_cast<std::uint8_t>(server::sql_statement::form::user) || unicode > 1)
    return false;
  d.form = static_cast<server::sql_statement::form>(form);
  d.unicode = unicode == 1;
  d.columns.clear();
  for (std::uint32_t i = 0; i < n; ++i) {  // each column takes 6 bytes or more: n is bounded by the body
    server::sql_column c;
    std::uint8_t kind = 0, nullable = 0;
    if (!str(r, c.name) || !r.u8(kind) || !to_kind(kind, c.kind) || !r.u8(nullable) || nullable > 2) return false;
    c.nullable = nullable;
    d.columns.push_back(std::move(c));
  }
  if (!r.u32(n) || n != r.rest().size()) return false;
  d.params.clear();
  for (const char c : r.rest()) {
    sql_kind k{};
    const auto v = static_cast<std::uint8_t>(c);
    if (v != no_kind && !to_kind(v, k)) return false;
    d.params.push_back(v == no_kind ? std::nullopt : std::optional(k));
  }
  return true;
}

void put_value(std::string& out, const sql_value& v) {
  out += static_cast<char>(v.type);
  switch (v.type) {
    case sql_value::null:
      break;
    case sql_value::integer:
      put_u64(out, static_cast<std::uint64_t>(v.i));
      break;
    case sql_value::real:
      put_u64(out, std::bit_cast<std::uint64_t>(v.d));
      break;
    case sql_value::text:
    case sql_value::blob:
      put_str(out, v.bytes);
      break;
  }
}

bool read_value(body_reader& r, sql_value& v) {
  std::uint8_t type = 0;
  std::uint64_t bits = 0;
  if (!r.u8(type)) return false;
  v = sql_value{};
  switch (type) {
    case sql_value::null:
      return true;
    case sql_value::integer:
      if (!r.u64(bits)) return false;
      v.type = sql_value::integer;
      v.i = static_cast<std::int64_t>(bits);
      return true;
    case sql_value::real:
      if (!r.u64(bits)) return false;
      v.type = sql_value::real;
      v.d = std::bit_cast<double>(bits);
      return true;
    case sql_value::text:
    case sql_value::blob:
      v.type = static_cast<sql_value::type_t>(type);
      return r.str(v.bytes);
    default:
      return false;
  }
}

std::string execute_body(std::uint32_t statement, const std::vector<sql_value>& params) {
  std::string out;
  put_u32(out, statement);
  put_u32(out, static_cast<std::uint32_t>(params.size()));
  for (const sql_value& v : params) put_value(out, v);
  return out;
}

bool read_execute(std::string_view body, std::uint32_t& statement, std::vector<sql_value>& params) {
  body_reader r(body);
  std::uint32_t n = 0;
  if (!r.u32(statement) || !r.u32(n) || n > r.rest().size()) return false;  // a value takes a byte or more
  params.resize(n);
  for (sql_value& v : params)
    if (!read_value(r, v)) return false;
  return r.at_end();
}

batch_writer::batch_writer(std::string& out) : out_(out), start_(out.size()) { out_.append(5, '\0'); }

void batch_writer::finish(batch_end end, int code, std::string_view msg) {
  std::string head;
  put_u32(head, rows_);
  head += static_cast<char>(end);
  out_.replace(start_, head.size(), head);
  if (end != batch_end::failed) return;
  put_u32(out_, static_cast<std::uint32_t>(code));
  put_str(out_, msg.substr(0, 1024));
}

bool batch_reader::start(std::string_view batch, std::size_t columns) {
  r_ = body_reader(batch);
  columns_ = columns;
  left_ = 0;
  std::uint8_t e = 0;
  if (!r_.u32(left_) || !r_.u8(e) || e > static_cast<std::uint8_t>(batch_end::failed)) return false;
  end = static_cast<batch_end>(e);
  code = 0;
  message = {};
  // Every value takes a byte or more; a statement without columns has no rows.
  return left_ == 0 || (columns > 0 && left_ <= r_.rest().size() / columns);
}

batch_reader::step batch_reader::next(std::vector<sql_value>& row) {
  if (left_ > 0) {
    row.resize(columns_);
    for (sql_value& v : row)
      if (!read_value(r_, v)) return step::malformed;
    --left_;
    return step::row;
  }
  if (end == batch_end::failed) {
    std::uint32_t c = 0;
    if (!r_.u32(c) || !r_.str(message)) return step::malformed;
    code = static_cast<int>(static_cast<std::int32_t>(c));
  }
  return r_.at_end() ? step::end : step::malformed;
}

std::string tables_body(const std::vector<sql_table>& tables) {
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(tables.size()));
  for (const sql_table& t : tables) {
    put_str(out, t.name);
    put_u32(out, static_cast<std::uint32_t>(t.columns.size()));
    for (const server::table_column& c : t.columns) {
      put_str(out, c.name);
      put_str(out, c.type);
      out += static_cast<char>(c.not_null ? 1 : 0);
    }
  }
  return out;
}

bool read_tables(std::string_view body, std::vector<sql_table>& tables) {
  body_reader r(body);
  std::uint32_t n = 0;
  if (!r.u32(n)) return false;
  tables.clear();
  for (std::uint32_t i = 0; i < n; ++i) {  // each entry takes 8 bytes or more: the body bounds n
    sql_table t;
    std::uint32_t columns = 0;
    if (!str(r, t.name) || !r.u32(columns)) return false;
    for (std::uint32_t j = 0; j < columns; ++j) {
      server::table_column c;
      std::uint8_t not_null = 0;
      if (!str(r, c.name) || !str(r, c.type) || !r.u8(not_null) || not_null > 1) return false;
      c.not_null = not_null == 1;
      t.columns.push_back(std::move(c));
    }
    tables.push_back(std::move(t));
  }
  return r.at_end();
}

}  // namespace torqa::net
