#include "server/wire/wire.h"

#include "server/wire/utf.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace torqa::server {

namespace {

// Integer data: the first min(n, 8) bytes least significant first; a
// negative value's missing high bytes are all ones.
std::int64_t int_data(std::string_view d, bool negative) {
  const std::size_t k = std::min<std::size_t>(d.size(), 8);
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < k; ++i) u |= std::uint64_t{static_cast<unsigned char>(d[i])} << (8 * i);
  if (negative && k < 8) u |= ~std::uint64_t{0} << (8 * k);
  return static_cast<std::int64_t>(u);
}

struct decimal {
  std::int64_t mantissa = 0;
  int exponent = 0;  // the value is mantissa x 10^exponent
};

decimal decimal_data(std::string_view d, bool negative) {
  if (d.empty()) return {};
  return {int_data(d.substr(1), negative), static_cast<unsigned char>(d[0]) - 256};
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Decimal digits as strtoll reads them; saturates on overflow.
std::int64_t parse_int(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && is_blank(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  const std::uint64_t limit = neg ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t u = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    const unsigned d = static_cast<unsigned>(s[i] - '0');
    if (u > (limit - d) / 10) {
      u = limit;
      break;
    }
    u = u * 10 + d;
  }
  return neg ? static_cast<std::int64_t>(0 - u) : static_cast<std::int64_t>(u);
}

std::optional<double> parse_double(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && is_blank(s[i])) ++i;
  if (i < s.size() && s[i] == '+') ++i;
  double v = 0;
  const auto r = std::from_chars(s.data() + i, s.data() + s.size(), v);
  if (r.ec == std::errc::invalid_argument) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) return std::nullopt;
  return v;
}

}  // namespace

std::size_t decode_element(const unsigned char* p, std::size_t avail, element& out) {
  if (avail == 0) return 0;
  std::size_t header, data;
  int type;
  if (p[0] == 1) {
    header = 1;
    data = 0;
    type = t_text;
  } else if (p[0] == 0) {
    if (avail < 4) return 0;
    header = 4;
    data = (p[1] + 256u * p[2] + 65535u) & 0xFFFFu;
    type = p[3];
  } else {
    if (avail < 2) return 0;
    header = 2;
    data = p[0] - 2u;
    type = p[1];
  }
  if (header + data > avail) return 0;
  out.type = type;
  out.data = {reinterpret_cast<const char*>(p + header), data};
  return header + data;
}

std::optional<std::int64_t> element_int(const element& e) {
  switch (e.type) {
    case t_text:
      if (e.data.empty()) return std::nullopt;
      return parse_int(e.data);
    case t_uni: {
      if (e.data.empty()) return std::nullopt;
      return parse_int(utf16le_to_utf8(e.data));
    }
    case t_int_pos:
    case t_int_neg:
      return int_data(e.data, e.type == t_int_neg);
    case t_dec_pos:
    case t_dec_neg: {
      const decimal d = decimal_data(e.data, e.type == t_dec_neg);
      std::int64_t v = d.mantissa;
      for (int i = d.exponent; i < 0 && v != 0; ++i) v /= 10;
      for (int i = 0; i < d.exponent && v != 0; ++i) {
        if (v > INT64_MAX / 10 || v < INT64_MIN / 10) return v > 0 ? INT64_MAX : INT64_MIN;
        v *= 10;
      }
      return v;
    }
    default:
      return std::nullopt;
  }
}

std::optional<double> element_double(const element& e) {
  switch (e.type) {
    case t_text:
      if (e.data.empty()) return std::nullopt;
      return parse_double(e.data);
    case t_uni:
      if (e.data.empty()) return std::nullopt;
      return parse_double(utf16le_to_utf8(e.data));
    case t_int_pos:
    case t_int_neg:
      return static_cast<double>(int_data(e.data, e.type == t_int_neg));
    case t_dec_pos:
    case t_dec_neg: {
      const decimal d = decimal_data(e.data, e.type == t_dec_neg);
      return static_cast<double>(d.mantissa) * std::pow(10.0, d.exponent);
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::string> element_text(const element& e) {
  switch (e.type) {
    case t_text:
      return std::string(e.data);
    case t_uni:
      return utf16le_to_utf8(e.data);
    case t_int_pos:
    case t_int_neg:
      return std::to_string(int_data(e.data, e.type == t_int_neg));
    case t_dec_pos:
    case t_dec_neg:
      return format_double(*element_double(e));
    default:
      return std::nullopt;
  }
}

bool reader::next(element& e) {
  const std::size_t n = decode_element(p_ + pos_, n_ - pos_, e);
  pos_ += n;
  return n != 0;
}

bool reader::read_int(std::int64_t& v) {
  element e;
  if (!next(e)) return false;
  const auto r = element_int(e);
  if (!r) return false;
  v = *r;
  return true;
}

bool reader::read_int32(int& v) {
  std::int64_t w = 0;
  if (!read_int(w) || w < INT32_MIN || w > INT32_MAX) return false;
  v = static_cast<int>(w);
  return true;
}

bool reader::read_text(std::string& s) {
  element e;
  if (!next(e)) return false;
  auto r = element_text(e);
  if (!r) return false;
  s = std::move(*r);
  return true;
}

bool set_list_element(std::string_view list, std::size_t n, const element& e, std::string& out) {
  if (n == 0) return false;
  reader r(list);
  writer w;
  std::size_t count = 0;
  for (element x; !r.at_end();) {
    const std::size_t start = r.position();
    if (!r.next(x)) return false;
    if (++count == n)
      w.element(e.type, e.data);
    else
      w.raw(list.substr(start, r.position() - start));
  }
  if (count < n) {
    // Each null element takes two bytes: a gap that cannot fit is refused
    // before it is written.
    if (n - count > max_elem_data / 2) return false;
    for (; count + 1 < n; ++count) w.null();
    w.element(e.type, e.data);
  }
  if (!fits(w.str())) return false;
  out = std::move(w.str());
  return true;
}

writer& writer::element(int type, std::string_view data) {
  const std::size_t n = std::min(data.size(), max_elem_data);
  if (n < 254) {
    out_ += static_cast<char>(n + 2);
    out_ += static_cast<char>(type);
  } else {
    const unsigned m = static_cast<unsigned>(n + 1) & 0xFFFFu;
    out_ += '\0';
    out_ += static_cast<char>(m & 0xFF);
    out_ += static_cast<char>(m >> 8);
    out_ += static_cast<char>(type);
  }
  out_.append(data.data(), n);
  return *this;
}

writer& writer::text(std::string_view utf8, bool uni) {
  if (!uni) return element(t_text, utf8);
  return element(t_uni, utf8_to_utf16le(utf8));
}

writer& writer::integer(std::int64_t v) {
  const bool neg = v < 0;
  const std::uint64_t w = neg ? ~static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::size_t k = 1;
  while (k < 8 && (w >> (8 * k)) != 0) ++k;
  char data[8];
  for (std::size_t i = 0; i < k; ++i) data[i] = static_cast<char>(static_cast<std::uint64_t>(v) >> (8 * i));
  return element(neg ? t_int_neg : t_int_pos, {data, k});
}

writer& writer::real(double v) { return element(t_text, format_double(v)); }

std::string format_double(double v) {
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 15);
  return std::string(buf, r.ptr);
}

std::string utf8_to_utf16le(std::string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t i = 0; i < s.size();) {
    const utf::decoded c = utf::decode_utf8(p + i, s.size() - i);
    i += c.units;
    unsigned short units[2];
    for (std::size_t k = 0, n = utf::encode_utf16(c.cp, units); k < n; ++k) {
      out += static_cast<char>(units[k] & 0xFF);
      out += static_cast<char>(units[k] >> 8);
    }
  }
  return out;
}

std::string utf16le_to_utf8(std::string_view b) {
  std::string out;
  out.reserve(b.size());
  const std::size_t units = b.size() / 2;
  const auto unit = [&](std::size_t k) {
    return static_cast<char32_t>(static_cast<unsigned char>(b[2 * k]) |
                                 static_cast<unsigned char>(b[2 * k + 1]) << 8);
  };
  char bytes[4];
  for (std::size_t i = 0; i < units;) {
    const utf::decoded c = utf::decode_utf16(unit, i, units);
    i += c.units;
    out.append(bytes, utf::encode_utf8(c.cp, bytes));
  }
  if (b.size() % 2 != 0) out.append(bytes, utf::encode_utf8(utf::replacement, bytes));
  return out;
}

std::size_t utf8_length(std::string_view s) {
  std::size_t n = 0;
  for (const char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

}  // namespace torqa::server
