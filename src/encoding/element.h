// The list element format at byte level: small pure functions over a pointer
// and a limit, shared by the stream formats, lists and status decoding.
//
// An element is a header (1, 2 or 4 bytes) followed by n data bytes:
//   short form  L, type, data         L = n + 2 (2..255)
//   long form   0, lo, hi, type, data lo + 256 * hi = (n + 1) mod 65536
//   one byte    0x01                  type 1, no data
// Types: 1 8-bit text or bytes, 2 server 16-bit text, 4/5 integer >= 0 / < 0,
// 6/7 decimal >= 0 / < 0 (exponent byte, then mantissa). Integer data is
// little-endian; a negative value's missing high bytes are 0xFF.
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace torqa::detail {

/// Types of list elements.
enum elem_type : int { t_text = 1, t_uni = 2, t_int_pos = 4, t_int_neg = 5, t_dec_pos = 6, t_dec_neg = 7 };

/// Largest data length one element can carry.
constexpr std::size_t max_elem_data = 65535;
/// Longest text "%.15f" produces for a double (sign, 309 digits, point, 15).
constexpr std::size_t max_double_text = 330;
/// Longest decimal text of a 64-bit integer.
constexpr std::size_t max_int_text = 20;

/// Data length of a long-form header from its two length bytes: the field
/// counts the type byte, modulo 65536 (a field of 0 announces 65535 bytes).
constexpr unsigned long_form_data(unsigned lo, unsigned hi) { return (lo + 256u * hi + 65535u) & 0xFFFFu; }

/// A decoded element header.
struct elem_header {
  unsigned header = 0;  ///< header bytes: 1, 2 or 4
  unsigned data = 0;    ///< data bytes that follow the header
  int type = 0;         ///< the type byte as a signed 8-bit value
  /// Header plus data: the bytes the element occupies.
  std::size_t total() const { return std::size_t{header} + data; }
};

/// Decodes the header of the element at p, of which `avail` bytes are
/// readable. Returns false when the header itself does not fit; the data may
/// still run past `avail` (compare total() with it).
inline bool decode_header(const unsigned char* p, std::size_t avail, elem_header& h) {
  if (avail == 0) return false;
  if (p[0] == 1) {
    h = {1, 0, t_text};
    return true;
  }
  if (p[0] == 0) {
    if (avail < 4) return false;
    h = {4, long_form_data(p[1], p[2]), static_cast<signed char>(p[3])};
    return true;
  }
  if (avail < 2) return false;
  h = {2, p[0] - 2u, static_cast<signed char>(p[1])};
  return true;
}

/// Bytes occupied by the element at p (header and data), or 0 when its
/// header does not fit in `avail` bytes or its data runs past them.
inline std::size_t element_length(const unsigned char* p, std::size_t avail) {
  elem_header h;
  if (!decode_header(p, avail, h) || h.total() > avail) return 0;
  return h.total();
}

/// Header length of the element starting with byte b: 1, 4 or 2.
constexpr unsigned header_length(unsigned char b) { return b == 1 ? 1 : b == 0 ? 4 : 2; }

/// Writes the header of an element with n data bytes into out (room for 4);
/// returns its length (2 for n < 254, else 4).
inline unsigned encode_header(int type, std::size_t n, unsigned char* out) {
  if (n < 254) {
    out[0] = static_cast<unsigned char>(n + 2);
    out[1] = static_cast<unsigned char>(type);
    return 2;
  }
  const unsigned m = static_cast<unsigned>(n + 1) & 0xFFFFu;
  out[0] = 0;
  out[1] = static_cast<unsigned char>(m);
  out[2] = static_cast<unsigned char>(m >> 8);
  out[3] = static_cast<unsigned char>(type);
  return 4;
}

/// Integer data: the first min(n, 8) bytes, least significant first; when
/// `negative` and fewer than 8 bytes, every bit above them is 1. Bytes beyond
/// the eighth are ignored. No data gives 0, or -1 when negative.
inline std::int64_t int_value(const unsigned char* data, std::size_t n, bool negative) {
  const std::size_t k = std::min<std::size_t>(n, 8);
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < k; ++i) u |= std::uint64_t{data[i]} << (8 * i);
  if (negative && k < 8) u |= ~std::uint64_t{0} << (8 * k);
  return static_cast<std::int64_t>(u);
}

/// int_value with eight bytes readable at data (n itself may be smaller):
/// one load instead of a loop.
inline std::int64_t int_value_wide(const unsigned char* data, std::size_t n, bool negative) {
  if constexpr (std::endian::native != std::endian::little) {
    return int_value(data, n, negative);
  } else {
    std::uint64_t u;
    std::memcpy(&u, data, 8);
    if (n < 8) {
      const std::uint64_t high = ~std::uint64_t{0} << (8 * n);
      u = negative ? u | high : u & ~high;
    }
    return static_cast<std::int64_t>(u);
  }
}

/// Decimal data: exponent byte e, then the mantissa m as integer data;
/// the value is m x 10^(e - 256). No data at all reads as 0.
struct decimal {
  std::int64_t mantissa = 0;
  unsigned scale = 256;  ///< the value is mantissa / 10^scale, scale in 1..256

  static decimal from(const unsigned char* data, std::size_t n, bool negative) {
    if (n == 0) return {};
    return {int_value(data + 1, n - 1, negative), 256u - data[0]};
  }

  /// The value in double precision (division by an exact power of ten when
  /// one exists, so 25e-1 is exactly 2.5).
  double value() const {
    static constexpr double exact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    double v = static_cast<double>(mantissa);
    unsigned s = scale;
    for (; s > 22; s -= 22) v /= exact[22];
    return v / exact[s];
  }

  /// The value truncated toward zero, exactly.
  std::int64_t truncated() const {
    if (scale > 18) return 0;  // |mantissa| < 2^63 < 10^19
    std::int64_t p = 1;
    for (unsigned i = 0; i < scale; ++i) p *= 10;
    return mantissa / p;
  }
};

/// Decimal text of v into out (room for max_int_text); returns the length.
inline std::size_t format_int(std::int64_t v, char* out) {
  return static_cast<std::size_t>(std::to_chars(out, out + max_int_text, v).ptr - out);
}

template <class Unit>
constexpr bool is_blank(Unit c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

/// Integer text as strtoll reads it, over n units (char or 16-bit): leading
/// blanks, an optional sign, then decimal digits up to the first other unit.
/// No digits give 0; overflow saturates at the 64-bit limits.
template <class Unit>
std::int64_t parse_int(const Unit* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && is_blank(p[i])) ++i;
  bool neg = false;
  if (i < n && (p[i] == '+' || p[i] == '-')) neg = p[i++] == '-';
  const std::uint64_t limit = neg ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t u = 0;
  for (; i < n && p[i] >= '0' && p[i] <= '9'; ++i) {
    const unsigned d = static_cast<unsigned>(p[i] - '0');
    if (u > (limit - d) / 10) {
      u = limit;
      break;
    }
    u = u * 10 + d;
  }
  return neg ? static_cast<std::int64_t>(0 - u) : static_cast<std::int64_t>(u);
}

// Doubles travel as "%.15f" text. Both directions have an exact fast path in
// 128-bit integer arithmetic for the common magnitudes and fall back on
// std::to_chars / std::from_chars; either way the result is the correctly
// rounded one, whatever the process locale.

#ifdef __SIZEOF_INT128__
namespace number_text {

using u128 = unsigned __int128;
constexpr std::uint64_t e15 = 1'000'000'000'000'000;

// The low `count` decimal digits of v, zero-padded, into out[0..count).
inline void put_digits(std::uint32_t v, unsigned count, char* out) {
  static constexpr char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  for (; count >= 2; v /= 100) {
    count -= 2;
    const unsigned r = v % 100;
    out[count] = pairs[2 * r];
    out[count + 1] = pairs[2 * r + 1];
  }
  if (count != 0) out[0] = static_cast<char>('0' + v % 10);
}

// "%.15f" of v when |v| < 2^63: v = m x 2^e exactly, so v x 10^15 is an
// integer of at most 113 bits shifted by e; rounding it half to even is what
// printf does. Returns 0 (nothing written) for other values.
inline std::size_t format_fixed15(double v, char* out) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7FF;
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const int exp = biased == 0 ? -1074 : static_cast<int>(biased) - 1075;
  if (biased == 0x7FF || exp > 10) return 0;
  const u128 x = u128{biased == 0 ? fraction : fraction | std::uint64_t{1} << 52} * e15;  // < 2^103
  u128 q = 0;
  if (exp >= 0) {
    q = x << exp;
  } else if (exp > -104) {  // otherwise v x 10^15 < 1/2
    const int s = -exp;
    q = x >> s;
    const u128 rest = x & ((u128{1} << s) - 1), half = u128{1} << (s - 1);
    q += rest > half || (rest == half && (q & 1) != 0);
  }
  const std::uint64_t whole = q >> 64 == 0 ? static_cast<std::uint64_t>(q) / e15 : static_cast<std::uint64_t>(q / e15);
  const std::uint64_t frac = static_cast<std::uint64_t>(q - u128{whole} * e15);
  char* p = out;
  if (bits >> 63) *p++ = '-';
  p = std::to_chars(p, p + max_int_text, whole).ptr;
  *p++ = '.';
  put_digits(static_cast<std::uint32_t>(frac / 100'000'000), 7, p);
  put_digits(static_cast<std::uint32_t>(frac % 100'000'000), 8, p + 7);
  return static_cast<std::size_t>(p + 15 - out);
}

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of at most 19 decimal digits [a, b).
inline std::uint64_t digits_value(const char* a, const char* b) {
  std::uint64_t v = 0;
  for (; a < b; ++a) v = v * 10 + static_cast<unsigned>(*a - '0');
  return v;
}

// Plain decimal text [p, end) ("-12.5", "2.080000000000000") as the double
// nearest to n / 10^s, n its significant digits and s those after the point:
// one division when both are exact doubles, else the top 64 bits of
// n x 2^k / 10^s with the remainder as sticky bit, rounded half to even.
// Returns false, leaving v alone, for an exponent, no digits, or more than 19
// significant digits on either side of the point.
inline bool parse_fixed(const char* p, const char* end, double& v) {
  static constexpr double exact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                     1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19};
  const bool neg = p < end && *p == '-';
  p += neg;
  const char* int_begin = p;
  while (p < end && is_digit(*p)) ++p;
  const char* int_end = p;
  const char* frac_begin = p;
  if (p < end && *p == '.') {
    frac_begin = ++p;
    while (p < end && is_digit(*p)) ++p;
  }
  const char* frac_end = p;
  if (int_begin == int_end && frac_begin == frac_end) return false;
  if (p < end && (*p == 'e' || *p == 'E')) return false;
  while (int_begin < int_end && *int_begin == '0') ++int_begin;
  while (frac_end > frac_begin && frac_end[-1] == '0') --frac_end;
  const auto scale = static_cast<unsigned>(frac_end - frac_begin);
  if (int_end - int_begin > 19 || scale > 19) return false;
  std::uint64_t d = 1;
  for (unsigned i = 0; i < scale; ++i) d *= 10;
  const u128 n = u128{digits_value(int_begin, int_end)} * d + digits_value(frac_begin, frac_end);
  if (n <= std::uint64_t{1} << 53) {
    v = static_cast<double>(static_cast<std::uint64_t>(n)) / exact[scale];
  } else {
    const int n_bits = n >> 64 != 0 ? 128 - std::countl_zero(static_cast<std::uint64_t>(n >> 64))
                                    : 64 - std::countl_zero(static_cast<std::uint64_t>(n));
    const int k = 63 - n_bits + std::bit_width(d);  // n x 2^k / d lies in [2^62, 2^64)
    if (k < 0) return false;
    const u128 num = n << k;  // n_bits + k <= 127
    const auto q = static_cast<std::uint64_t>(num / d);
    const bool sticky = num % d != 0;
    const int shift = std::bit_width(q) - 53;
    std::uint64_t m = q >> shift;
    const std::uint64_t rest = q & ((std::uint64_t{1} << shift) - 1), half = std::uint64_t{1} << (shift - 1);
    m += rest > half || (rest == half && (sticky || (m & 1) != 0));
    int e = shift - k;  // the value is m x 2^e, well inside the normal range
    if (m >> 53 != 0) {
      m >>= 1;
      ++e;
    }
    v = std::bit_cast<double>(static_cast<std::uint64_t>(e + 1075) << 52 | (m & ((std::uint64_t{1} << 52) - 1)));
  }
  if (neg) v = -v;
  return true;
}

}  // namespace number_text
#endif

/// v as "%.15f" in the C locale into out (room for max_double_text);
/// returns the length.
inline std::size_t format_double(double v, char* out) {
#ifdef __SIZEOF_INT128__
  if (const std::size_t n = number_text::format_fixed15(v, out)) return n;
#endif
  return static_cast<std::size_t>(
      std::to_chars(out, out + max_double_text, v, std::chars_format::fixed, 15).ptr - out);
}

/// What strtod gives for number text [p, end) beyond the range of double:
/// +-infinity when it is too large, +-0 when it is too small.
inline double out_of_range_value(const char* p, const char* end) {
  const bool neg = *p == '-';
  p += neg;
  long magnitude = 0;  // decimal position of the first significant digit
  bool point = false, significant = false;
  for (; p < end && *p != 'e' && *p != 'E'; ++p) {
    if (*p == '.') {
      point = true;
    } else if (significant) {
      magnitude += !point;
    } else if (*p != '0') {
      significant = true;
      magnitude += !point;
    } else {
      magnitude -= point;
    }
  }
  long exponent = 0;
  if (p < end) {
    ++p;
    const bool exp_neg = p < end && *p == '-';
    p += p < end && (*p == '-' || *p == '+');
    for (; p < end && exponent < 100000; ++p) exponent = exponent * 10 + (*p - '0');
    if (exp_neg) exponent = -exponent;
  }
  const double v = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return neg ? -v : v;
}

/// Double text in the C locale over n chars, as strtod reads it: leading
/// blanks and an optional '+' are skipped, then the longest number accepted
/// by std::from_chars. Returns false (v = 0) when nothing could be parsed.
inline bool parse_double(const char* p, std::size_t n, double& v) {
  const char* end = p + n;
  while (p < end && is_blank(*p)) ++p;
  v = 0.0;
  if (p < end && *p == '+' && (++p == end || *p == '-')) return false;
#ifdef __SIZEOF_INT128__
  if (number_text::parse_fixed(p, end, v)) return true;
#endif
  const auto r = std::from_chars(p, end, v);
  if (r.ec == std::errc::invalid_argument) return false;
  if (r.ec == std::errc::result_out_of_range) v = out_of_range_value(p, r.ptr);
  return true;
}

}  // namespace torqa::detail
