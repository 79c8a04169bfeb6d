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
/// Room format_double_fast needs: the text of the values it formats (at
/// most 37 characters) and the 8-byte stores that may run past its end.
constexpr std::size_t fast_double_room = 40;
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

// The eight decimal digits of v < 10^8, zero-padded, as one digit value per
// byte, the most significant in the lowest byte. The digits are split in the
// lanes of one 64-bit word: two lanes of 4 digits, then four of 2, then eight
// of 1. A step keeps each lane's quotient q = x / d in its low half and puts
// the remainder x - d q in its high half, for all lanes at once as
// (x << w) + q (1 - d << w); the quotients by 100 and by 10 are products with
// 5243 / 2^19 and 103 / 2^10, exact in range.
constexpr std::uint64_t digit_bytes(std::uint32_t v) {
  const std::uint64_t x = (std::uint64_t{v} << 32) + v / 10000 * (1 - (std::uint64_t{10000} << 32));
  const std::uint64_t hundreds = (x * 5243 >> 19) & 0x0000007F'0000007F;
  const std::uint64_t y = (x << 16) + hundreds * (1 - (std::uint64_t{100} << 16));
  const std::uint64_t tens = (y * 103 >> 10) & 0x000F000F'000F000F;
  return (y << 8) + tens * (1 - (std::uint64_t{10} << 8));
}

constexpr std::uint64_t zero_chars = 0x30303030'30303030;

// The eight bytes of x at out, the lowest first.
inline void store_bytes(char* out, std::uint64_t x) {
  if constexpr (std::endian::native == std::endian::little)
    std::memcpy(out, &x, 8);
  else
    for (unsigned i = 0; i < 8; ++i) out[i] = static_cast<char>(x >> (8 * i));
}

// "%.15f" of v when |v| < 2^64 into out (room for fast_double_room bytes);
// returns its length, or 0 for other values. v = m x 2^e exactly: the whole
// part is m shifted; the bits below the point, as a 128-bit binary fraction
// times 10^15, give the 15 decimals and the exact rest, rounded half to even
// as printf does (10^15 being even, the last decimal has the parity of the
// whole rounded text).
inline std::size_t format_fixed15(double v, char* out) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7FF;
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  const std::uint64_t m = biased == 0 ? fraction : fraction | std::uint64_t{1} << 52;
  const int exp = biased == 0 ? -1074 : static_cast<int>(biased) - 1075;
  if (biased == 0x7FF || exp > 11) return 0;
  std::uint64_t whole = 0, decimals = 0;
  if (exp >= 0) {
    whole = m << exp;
  } else if (const int s = -exp; s < 104) {  // else v x 10^15 < 2^(103 - s) rounds to 0
    whole = s < 64 ? m >> s : 0;
    const std::uint64_t below_high = s < 64 ? m << (64 - s) : m >> (s - 64);
    const std::uint64_t below_low = s <= 64 ? 0 : m << (128 - s);
    const u128 low = u128{below_low} * e15;
    const u128 high = u128{below_high} * e15 + (low >> 64);
    decimals = static_cast<std::uint64_t>(high >> 64);
    const auto rest_high = static_cast<std::uint64_t>(high), half = std::uint64_t{1} << 63;
    decimals += rest_high > half ||
                (rest_high == half && (static_cast<std::uint64_t>(low) != 0 || (decimals & 1) != 0));
    if (decimals == e15) {
      ++whole;
      decimals = 0;
    }
  }
  char* p = out;
  *p = '-';
  p += bits >> 63;
  if (whole < 10) {
    *p++ = static_cast<char>('0' + whole);
  } else if (whole < 100'000'000) {
    // Eight digits stored, the leading zeros shifted out.
    const std::uint64_t d = digit_bytes(static_cast<std::uint32_t>(whole));
    const int zeros = std::countr_zero(d) / 8;
    store_bytes(p, (d >> 8 * zeros) + zero_chars);
    p += 8 - zeros;
  } else {
    p = std::to_chars(p, p + max_int_text, whole).ptr;
  }
  // The first 7 decimals are < 10^7: their leading zero byte becomes the point.
  const std::uint64_t first = digit_bytes(static_cast<std::uint32_t>(decimals / 100'000'000)) + zero_chars;
  store_bytes(p, (first & ~std::uint64_t{0xFF}) | '.');
  store_bytes(p + 8, digit_bytes(static_cast<std::uint32_t>(decimals % 100'000'000)) + zero_chars);
  return static_cast<std::size_t>(p + 16 - out);
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

/// "%.15f" of the common magnitudes (|v| < 2^64) into out (room for
/// fast_double_room bytes, which may all be written); returns the length,
/// or 0 for other values (format_double handles every value).
inline std::size_t format_double_fast(double v, char* out) {
#ifdef __SIZEOF_INT128__
  return number_text::format_fixed15(v, out);
#else
  (void)v, (void)out;
  return 0;
#endif
}

/// v as "%.15f" in the C locale into out (room for max_double_text);
/// returns the length.
inline std::size_t format_double(double v, char* out) {
  if (const std::size_t n = format_double_fast(v, out)) return n;
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
