// The driver's text conversions between UTF-8 and UTF-16: native 16-bit
// units, or the server's form (each unit least significant byte first).
//
// Each conversion reads only the given source length, writes only within the
// capacity and stops at the first character that does not fit whole (a UTF-8
// sequence or a surrogate pair is written entirely or not at all). Ill-formed
// input becomes U+FFFD: one per unpaired surrogate, and one per maximal
// ill-formed subpart of UTF-8 (a byte that cannot start a sequence, or the
// longest prefix of a sequence that is cut short or continued wrongly).
#include <torqa/driver_abi.h>

#include <cstddef>
#include <cstring>

#define TORQA_DRV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr char32_t replacement = 0xFFFD;

// One character read from the source and the number of source units it took.
struct decoded {
  char32_t cp;
  std::size_t units;
};

// Decodes the UTF-16 character at index i < n; unit_at(k) gives unit k.
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

// Decodes the UTF-8 character at p[0], n >= 1 bytes being readable. The
// ranges of the second byte exclude overlong forms, surrogates and values
// above U+10FFFF.
decoded decode_utf8(const unsigned char* p, std::size_t n) {
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

// Encodes a scalar value (never a surrogate) into out[0..3]; returns the count.
std::size_t encode_utf8(char32_t cp, char* out) {
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

// Encodes a scalar value into out[0..1]; returns the count of units.
std::size_t encode_utf16(char32_t cp, unsigned short* out) {
  if (cp < 0x10000) {
    out[0] = static_cast<unsigned short>(cp);
    return 1;
  }
  out[0] = static_cast<unsigned short>(0xD800 + ((cp - 0x10000) >> 10));
  out[1] = static_cast<unsigned short>(0xDC00 + (cp & 0x3FF));
  return 2;
}

template <class Unit_at>
unsigned short utf16_to_utf8(const Unit_at& unit_at, std::size_t units, char* dst, std::size_t cap) {
  std::size_t out = 0;
  for (std::size_t i = 0; i < units;) {
    const decoded c = decode_utf16(unit_at, i, units);
    char bytes[4];
    const std::size_t len = encode_utf8(c.cp, bytes);
    if (len > cap - out) break;
    std::memcpy(dst + out, bytes, len);
    out += len;
    i += c.units;
  }
  return static_cast<unsigned short>(out);
}

}  // namespace

TORQA_DRV_EXPORT unsigned short DrvSrvToMb(const char* src, unsigned short src_bytes, char* dst,
                                           unsigned short dst_bytes) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(src);
  const auto unit_at = [bytes](std::size_t i) -> char32_t { return bytes[2 * i] | (bytes[2 * i + 1] << 8); };
  return utf16_to_utf8(unit_at, src ? src_bytes / 2 : 0, dst, dst ? dst_bytes : 0);
}

TORQA_DRV_EXPORT unsigned short DrvUniToMb(const unsigned short* src, unsigned short src_units, char* dst,
                                           unsigned short dst_bytes) {
  const auto unit_at = [src](std::size_t i) -> char32_t { return src[i]; };
  return utf16_to_utf8(unit_at, src ? src_units : 0, dst, dst ? dst_bytes : 0);
}

TORQA_DRV_EXPORT unsigned short DrvMbToUni(const char* src, unsigned short src_bytes, unsigned short* dst,
                                           unsigned short dst_units) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(src);
  const std::size_t n = src ? src_bytes : 0;
  const std::size_t cap = dst ? dst_units : 0;
  std::size_t out = 0;
  for (std::size_t i = 0; i < n;) {
    const decoded c = decode_utf8(bytes + i, n - i);
    unsigned short units[2];
    const std::size_t len = encode_utf16(c.cp, units);
    if (len > cap - out) break;
    std::memcpy(dst + out, units, len * sizeof(unsigned short));
    out += len;
    i += c.units;
  }
  return static_cast<unsigned short>(out);
}
