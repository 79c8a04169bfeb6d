// The driver's three text conversions between UTF-8 and UTF-16: native 16-bit
// units, or the server's form (each unit least significant byte first). They
// need nothing of the server, so a build without it has them too.
//
// Each conversion reads only the given source length, writes only within the
// capacity and stops at the first character that does not fit whole (a UTF-8
// sequence or a surrogate pair is written entirely or not at all). Ill-formed
// input becomes U+FFFD (server/wire/utf.h).
#include <torqa/driver_abi.h>

#include "server/wire/utf.h"

#include <cstddef>
#include <cstring>

#ifdef _WIN32
#define TORQA_DRV_EXPORT extern "C"  // exported through TorqaODBC.def
#else
#define TORQA_DRV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using namespace torqa::server::utf;

namespace {

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
