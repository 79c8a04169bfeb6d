// UTF-8 and UTF-16 one character at a time, shared by the server's text
// conversions and the driver's.
//
// Decoders read only the units they are given. Ill-formed input becomes
// U+FFFD: one per unpaired surrogate, and one per maximal ill-formed subpart
// of UTF-8 (a byte that cannot start a sequence, or the longest prefix of a
// sequence that is cut short or continued wrongly).
#pragma once

#include <cstddef>

namespace torqa::server::utf {

constexpr char32_t replacement = 0xFFFD;

/// One character and the number of source units it took.
struct decoded {
  char32_t cp;
  std::size_t units;
};

/// The UTF-8 character at p[0], n >= 1 bytes being readable. The ranges of
/// the second byte exclude overlong forms, surrogates and values above
/// U+10FFFF.
inline decoded decode_utf8(const unsigned char* p, std::size_t n) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return {lead, 1};
  std::size_t trail;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trail = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trail = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trail = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return {replacement, 1};
  }
  for (std::size_t i = 1; i <= trail; ++i) {
    if (i == n || p[i] < lo || p[i] > hi) return {replacement, i};
    cp = (cp << 6) | (p[i] & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  return {cp, trail + 1};
}

/// The UTF-16 character at index i < n; unit_at(k) gives unit k.
template <class Unit_at>
decoded decode_utf16(const Unit_at& unit_at, std::size_t i, std::size_t n) {
  const char32_t u = unit_at(i);
  if (u < 0xD800 || u > 0xDFFF) return {u, 1};
  if (u <= 0xDBFF && i + 1 < n) {
    const char32_t v = unit_at(i + 1);
    if (v >= 0xDC00 && v <= 0xDFFF) return {0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00), 2};
  }
  return {replacement, 1};
}

/// Encodes a scalar value (never a surrogate) into out[0..3]; returns the
/// count of bytes.
inline std::size_t encode_utf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

/// Encodes a scalar value into out[0..1]; returns the count of units.
inline std::size_t encode_utf16(char32_t cp, unsigned short* out) {
  if (cp < 0x10000) {
    out[0] = static_cast<unsigned short>(cp);
    return 1;
  }
  out[0] = static_cast<unsigned short>(0xD800 + ((cp - 0x10000) >> 10));
  out[1] = static_cast<unsigned short>(0xDC00 + (cp & 0x3FF));
  return 2;
}

}  // namespace torqa::server::utf
