#include "values.h"

#include "text.h"

#include <torqa/names.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace torqa::cli {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

[[noreturn]] void refuse(std::string_view text, const char* what) {
  throw bad_value("'" + std::string(text) + "' is not " + what);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The number spelled by exactly `n` digits at s[at].
bool digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
  if (at + n > s.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (!is_digit(s[i])) return false;
    out = out * 10 + (s[i] - '0');
  }
  return true;
}

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int month_length(int y, int m) {
  static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : days[m - 1];
}

bool valid_date(const std::tm& t) {
  const long y = long{t.tm_year} + 1900;
  return y <= 9999 && t.tm_mon >= 0 && t.tm_mon <= 11 && t.tm_mday >= 1 &&
         t.tm_mday <= month_length(static_cast<int>(y), t.tm_mon + 1);
}
bool valid_time(const std::tm& t) {
  return t.tm_hour >= 0 && t.tm_hour <= 23 && t.tm_min >= 0 && t.tm_min <= 59 && t.tm_sec >= 0 && t.tm_sec <= 59;
}

std::string printf_text(const char* fmt, int a, int b, int c) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a, b, c);
  return buf;
}

// Type of the list element at p, of which `avail` bytes belong to the list:
// 1 or 2 text, 4/5 integer, 6/7 decimal; 0 when its header is cut short.
int element_type(const unsigned char* p, std::size_t avail) {
  if (avail == 0) return 0;
  if (p[0] == 1) return 1;  // the one-byte empty element
  if (p[0] == 0) return avail >= 4 ? static_cast<signed char>(p[3]) : 0;
  return avail >= 2 ? static_cast<signed char>(p[1]) : 0;
}

// A reader of list literals: JSON numbers and strings in brackets.
class list_parser {
 public:
  explicit list_parser(std::string_view s) : s_(s) {}

  std::vector<list_item> parse() {
    std::vector<list_item> items;
    skip_blanks();
    expect('[');
    skip_blanks();
    if (peek() == ']') {
      ++at_;
    } else {
      while (true) {
        skip_blanks();
        items.push_back(item());
        skip_blanks();
        if (peek() == ']') {
          ++at_;
          break;
        }
        expect(',');
      }
    }
    skip_blanks();
    if (at_ != s_.size()) fail("unexpected text after ']'");
    return items;
  }

 private:
  char peek() const { return at_ < s_.size() ? s_[at_] : '\0'; }
  void skip_blanks() {
    while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
  }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++at_;
  }
  [[noreturn]] void fail(const std::string& why) const {
    throw bad_value("'" + std::string(s_) + "' is not a list: " + why + " at character " + std::to_string(at_ + 1));
  }

  list_item item() {
    list_item it;
    if (peek() == '"') {
      it.k = list_item::kind::text;
      it.s = string();
      return it;
    }
    const std::size_t start = at_;
    if (peek() == '-') ++at_;
    bool decimal = false;
    while (at_ < s_.size() && (is_digit(s_[at_]) || s_[at_] == '.' || s_[at_] == 'e' || s_[at_] == 'E' ||
                               ((s_[at_] == '+' || s_[at_] == '-') && (s_[at_ - 1] == 'e' || s_[at_ - 1] == 'E')))) {
      decimal = decimal || !is_digit(s_[at_]);
      ++at_;
    }
    const std::string_view number = s_.substr(start, at_ - start);
    if (number.empty() || number == "-") fail("expected a number or a string");
    try {
      if (!decimal) {
        it.k = list_item::kind::integer;
        it.i = parse_int(number);
      } else {
        it.k = list_item::kind::decimal;
        it.d = parse_double(number);
      }
    } catch (const bad_value&) {
      at_ = start;
      fail("bad number");
    }
    return it;
  }

  std::string string() {
    std::string out;
    ++at_;  // opening quote
    while (true) {
      if (at_ >= s_.size()) fail("unterminated string");
      const char c = s_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= s_.size()) fail("unterminated string");
      const char e = s_[at_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': append_utf8(out, code_point()); break;
        default: fail("bad escape");
      }
    }
  }

  unsigned hex4() {
    if (at_ + 4 > s_.size()) fail("bad \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[at_++];
      v <<= 4;
      if (is_digit(c)) v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<unsigned>(c - 'A' + 10);
      else fail("bad \\u escape");
    }
    return v;
  }

  // The character of a \u escape (the 'u' read), joining a surrogate pair.
  unsigned code_point() {
    const unsigned u = hex4();
    if (u >= 0xDC00 && u <= 0xDFFF) fail("unpaired surrogate");
    if (u < 0xD800 || u > 0xDBFF) return u;
    if (s_.substr(at_, 2) != "\\u") fail("unpaired surrogate");
    at_ += 2;
    const unsigned low = hex4();
    if (low < 0xDC00 || low > 0xDFFF) fail("unpaired surrogate");
    return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
  }

  static void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string_view s_;
  std::size_t at_ = 0;
};

}  // namespace

vtype vtype::of(const Prop_def& p) { return {p.aux_code.value(), utf8(p.aux_name)}; }
vtype vtype::of(const Arg_def& a) { return {a.aux_code.value(), utf8(a.aux_name)}; }

namespace {
const char* const type_names[] = {"string", "integer", "double",    "boolean", "binary", "list",
                                  "date",   "time",    "timestamp", "status",  "object"};
}

vtype vtype::result_of(const Method_def& m) {
  // The method record names the method's class, not the result's.
  const int code = m.ret_type.value();
  return {code, code >= tc_string && code <= tc_object ? type_names[code - 1] : ""};
}

vtype vtype::named(const std::string& name) {
  for (int code = tc_string; code < tc_status; ++code)
    if (same_name(name, type_names[code - 1])) return {code, type_names[code - 1]};
  return {tc_object, name};
}

prop_kind kind_of(const Prop_def& p) {
  if (p.slot == -1) return prop_kind::calculated;
  if (p.slot == -2) {
    if (db_name::cmp(p.aux_name.c_str(), t_GlobalCharStream) == 0) return prop_kind::char_stream;
    if (db_name::cmp(p.aux_name.c_str(), t_GlobalBinStream) == 0) return prop_kind::binary_stream;
    return prop_kind::collection;
  }
  return p.is_data_type ? prop_kind::stored : prop_kind::reference;
}

const char* kind_name(prop_kind k) {
  switch (k) {
    case prop_kind::stored: return "stored";
    case prop_kind::reference: return "reference";
    case prop_kind::calculated: return "calculated";
    case prop_kind::collection: return "collection";
    case prop_kind::char_stream: return "character stream";
    case prop_kind::binary_stream: return "binary stream";
  }
  return "";
}

void wide_int::get(t_istream& is, Database*) {
  bool null = false;
  std::int64_t v = 0;
  is.read_int(v, null);
  null_ = null;
  v_ = null ? 0 : v;
}

void wide_int::put(t_ostream& os, Database*) const {
  if (null_) os.put_null();
  else os.put_int(v_);
}

value::value(const vtype& t, Database& db) : t_(t), db_(&db) {
  switch (t.code) {
    case tc_integer: case tc_boolean: v_.emplace<wide_int>(); break;
    case tc_double: v_.emplace<d_double>().set_null(); break;
    case tc_binary: v_.emplace<d_binary>(); break;
    case tc_list: v_.emplace<d_list>().set_uni_srv(db.is_uni_srv()); break;
    case tc_date: v_.emplace<d_date>(); break;
    case tc_time: v_.emplace<d_time>(); break;
    case tc_timestamp: v_.emplace<d_timestamp>(); break;
    case tc_status: v_.emplace<d_status>(); break;
    case tc_object: v_.emplace<d_ref<Dyn_obj>>(); break;
    default: v_.emplace<d_string>(); break;
  }
}

D_type& value::data() {
  return std::visit([](auto& v) -> D_type& { return v; }, v_);
}

d_ref<Dyn_obj> value::object() const {
  const auto* r = std::get_if<d_ref<Dyn_obj>>(&v_);
  return r ? *r : d_ref<Dyn_obj>();
}

void value::parse(std::string_view text) {
  if (text.empty() || (t_.code != tc_string && trim(text).empty())) {
    data().set_null();
    return;
  }
  switch (t_.code) {
    case tc_integer: v_ = wide_int(parse_int(text)); break;
    case tc_boolean: v_ = wide_int(parse_bool(text) ? 1 : 0); break;
    case tc_double: v_ = d_double(parse_double(text)); break;
    case tc_binary: {
      const std::string bytes = parse_hex(text);
      v_ = d_binary(bytes.data(), bytes.size());
      break;
    }
    case tc_list: {
      d_list l;
      l.set_uni_srv(db_->is_uni_srv());
      for (const list_item& it : parse_list(text)) {
        if (it.k == list_item::kind::integer) l.append_elem(it.i);
        else if (it.k == list_item::kind::decimal) l.append_elem(it.d);
        else l.append_elem(d_string(it.s.data(), it.s.size()));
      }
      v_ = l;
      break;
    }
    case tc_date: {
      int y = 0, m = 0, d = 0;
      parse_date(text, y, m, d);
      v_ = d_date(y, m, d);
      break;
    }
    case tc_time: {
      int h = 0, m = 0, s = 0;
      parse_time(text, h, m, s);
      v_ = d_time(h, m, s);
      break;
    }
    case tc_timestamp: {
      int p[6];
      parse_timestamp(text, p);
      v_ = d_timestamp(p[0], p[1], p[2], p[3], p[4], p[5]);
      break;
    }
    case tc_status: throw bad_value("a status cannot be given as a value");
    case tc_object: {
      const std::string id(trim(text));
      try {
        v_ = Dyn_obj::open(*db_, t_.name, id, 0);
      } catch (const Db_err& e) {
        throw bad_value("no " + t_.name + " with id " + id + " (" + error_text(e.code, e.msg) + ")");
      }
      break;
    }
    default: v_ = d_string(text.data(), text.size()); break;
  }
}

cell value::show() {
  switch (t_.code) {
    case tc_integer: case tc_boolean: {
      const auto& v = std::get<wide_int>(v_);
      if (v.is_null()) return cell::null();
      return t_.code == tc_boolean ? cell::boolean(v.value() != 0) : cell::num(std::to_string(v.value()));
    }
    case tc_double: {
      const auto& v = std::get<d_double>(v_);
      if (v.is_null()) return cell::null();
      return std::isfinite(v.value()) ? cell::num(format_double(v.value())) : cell::str(format_double(v.value()));
    }
    case tc_binary: {
      const auto& v = std::get<d_binary>(v_);
      return v.is_null() || v.size() == 0 ? cell::null() : cell::str(to_hex(v.bytes()));
    }
    case tc_list: {
      const auto& v = std::get<d_list>(v_);
      return v.is_null() || v.size() == 0 ? cell::null() : cell::str(format_list(list_items(v)));
    }
    case tc_date: {
      const auto& v = std::get<d_date>(v_);
      return v.is_null() ? cell::null() : cell::str(format_date(*v.get_tm()));
    }
    case tc_time: {
      const auto& v = std::get<d_time>(v_);
      return v.is_null() ? cell::null() : cell::str(format_time(*v.get_tm()));
    }
    case tc_timestamp: {
      const auto& v = std::get<d_timestamp>(v_);
      return v.is_null() ? cell::null() : cell::str(format_timestamp(*v.get_tm()));
    }
    case tc_status: {
      const auto& v = std::get<d_status>(v_);
      if (v.get_code() == 0) return cell::str("OK");
      return cell::str("ERROR " + std::to_string(v.get_code()) + ": " + v.get_msg().mb_str());
    }
    case tc_object: {
      auto& v = std::get<d_ref<Dyn_obj>>(v_);
      if (v.is_null() || v.get_proxy() == nullptr) return cell::null();
      return id_cell(object_id(*v));
    }
    default: {
      const auto& v = std::get<d_string>(v_);
      return v.is_null() || v.size() == 0 ? cell::null() : cell::str(v.mb_str());
    }
  }
}

std::string object_id(Dyn_obj& obj) {
  return obj.call<d_string>("%Id").mb_str();
}

cell id_cell(const std::string& id) {
  if (id.empty()) return cell::null();
  const bool number = id.size() <= 18 && id.find_first_not_of("0123456789") == std::string::npos;
  return number ? cell::num(id) : cell::str(id);
}

std::int64_t parse_int(std::string_view s) {
  std::string_view t = trim(s);
  if (t.size() > 1 && t[0] == '+' && t[1] != '-') t.remove_prefix(1);
  std::int64_t v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (t.empty() || end != t.data() + t.size() || (ec != std::errc() && ec != std::errc::result_out_of_range))
    refuse(s, "an integer");
  if (ec == std::errc::result_out_of_range) throw bad_value("'" + std::string(s) + "' is out of range");
  return v;
}

double parse_double(std::string_view s) {
  std::string_view t = trim(s);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  double v = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (t.empty() || ec != std::errc() || end != t.data() + t.size() || !std::isfinite(v)) refuse(s, "a number");
  return v;
}

bool parse_bool(std::string_view s) {
  const std::string_view t = trim(s);
  for (const char* yes : {"true", "1", "yes"})
    if (same_name(t, yes)) return true;
  for (const char* no : {"false", "0", "no"})
    if (same_name(t, no)) return false;
  refuse(s, "a boolean (true or false)");
}

std::string parse_hex(std::string_view s) {
  std::string_view t = trim(s);
  if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.remove_prefix(2);
  if (t.size() % 2 != 0) refuse(s, "hex bytes (two digits per byte)");
  std::string out(t.size() / 2, '\0');
  for (std::size_t i = 0; i < t.size(); i += 2) {
    unsigned byte = 0;
    const auto [end, ec] = std::from_chars(t.data() + i, t.data() + i + 2, byte, 16);
    if (ec != std::errc() || end != t.data() + i + 2) refuse(s, "hex bytes (two digits per byte)");
    out[i / 2] = static_cast<char>(byte);
  }
  return out;
}

void parse_date(std::string_view s, int& year, int& month, int& day) {
  const std::string_view t = trim(s);
  if (t.size() != 10 || t[4] != '-' || t[7] != '-' || !digits(t, 0, 4, year) || !digits(t, 5, 2, month) ||
      !digits(t, 8, 2, day))
    refuse(s, "a date (YYYY-MM-DD)");
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > month_length(year, month))
    refuse(s, "a calendar date");
}

void parse_time(std::string_view s, int& hours, int& minutes, int& seconds) {
  const std::string_view t = trim(s);
  seconds = 0;
  const bool ok = (t.size() == 5 || (t.size() == 8 && t[5] == ':' && digits(t, 6, 2, seconds))) && t[2] == ':' &&
                  digits(t, 0, 2, hours) && digits(t, 3, 2, minutes);
  if (!ok) refuse(s, "a time (HH:MM:SS)");
  if (hours > 23 || minutes > 59 || seconds > 59) refuse(s, "a time of day");
}

void parse_timestamp(std::string_view s, int (&parts)[6]) {
  const std::string_view t = trim(s);
  parts[3] = parts[4] = parts[5] = 0;
  try {
    parse_date(t.substr(0, 10), parts[0], parts[1], parts[2]);
    if (t.size() > 10) {
      if (t[10] != ' ' && t[10] != 'T') throw bad_value("");
      parse_time(t.substr(11), parts[3], parts[4], parts[5]);
    }
  } catch (const bad_value&) {
    refuse(s, "a timestamp (YYYY-MM-DD HH:MM:SS)");
  }
}

std::string format_double(double v) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string to_hex(std::string_view bytes) {
  static const char digits_of[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits_of[b >> 4];
    out += digits_of[b & 15];
  }
  return out;
}

std::string format_date(const std::tm& t) {
  return valid_date(t) ? printf_text("%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) : "INVALID";
}

std::string format_time(const std::tm& t) {
  return valid_time(t) ? printf_text("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec) : "INVALID";
}

std::string format_timestamp(const std::tm& t) {
  return valid_date(t) && valid_time(t) ? format_date(t) + " " + format_time(t) : "INVALID";
}

std::vector<list_item> parse_list(std::string_view s) { return list_parser(s).parse(); }

std::string format_list(const std::vector<list_item>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    const list_item& it = items[i];
    if (it.k == list_item::kind::integer) {
      out += std::to_string(it.i);
    } else if (it.k == list_item::kind::decimal) {
      std::string d = format_double(it.d);
      // Keep a decimal a decimal when read back.
      if (d.find_first_of(".eEn") == std::string::npos) d += ".0";
      out += d;
    } else {
      out += json_quote(it.s);
    }
  }
  return out + "]";
}

std::vector<list_item> list_items(const d_list& l) {
  std::vector<list_item> items;
  const auto* base = reinterpret_cast<const unsigned char*>(l.data());
  for (l.move_to(0); !l.at_list_end(); l.next_elem()) {
    const auto* p = reinterpret_cast<const unsigned char*>(l.cur_elem());
    list_item it;
    switch (element_type(p, l.size() - static_cast<std::size_t>(p - base))) {
      case 4: case 5:
        it.k = list_item::kind::integer;
        l.get_elem(&it.i);
        break;
      case 6: case 7:
        it.k = list_item::kind::decimal;
        l.get_elem(&it.d);
        break;
      default: {
        d_string s;
        l.get_elem(s);
        it.s = s.mb_str();
        break;
      }
    }
    items.push_back(std::move(it));
  }
  return items;
}

std::string json_quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace torqa::cli
