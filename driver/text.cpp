// The driver's text conversions between UTF-8 and UTF-16: native 16-bit
// units, or the server's form (each unit least significant byte first);
// and the text arguments and results of the standard entry points.
//
// Each conversion reads only the given source length, writes only within the
// capacity and stops at the first character that does not fit whole (a UTF-8
// sequence or a surrogate pair is written entirely or not at all). Ill-formed
// input becomes U+FFFD (server/utf.h).
#include "odbc3.h"

#include "server/utf.h"
#include "server/wire.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>

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

// ---- Text arguments and results of the standard entry points ----

namespace torqa::driver {

namespace {

SQLRETURN check_arg(diagnostic& d, const void* text, SQLINTEGER length) {
  if (text == nullptr) return d.set(SQL_ERROR, "HY009", "no text");
  if (length < 0 && length != SQL_NTS) return d.set(SQL_ERROR, "HY090", "bad text length");
  return SQL_SUCCESS;
}

}  // namespace

SQLRETURN text_arg(diagnostic& d, const SQLCHAR* text, SQLINTEGER length, std::string& utf8) {
  if (const SQLRETURN rc = check_arg(d, text, length); rc != SQL_SUCCESS) return rc;
  const auto* p = reinterpret_cast<const char*>(text);
  utf8 = length == SQL_NTS ? std::string(p) : std::string(p, static_cast<std::size_t>(length));
  return SQL_SUCCESS;
}

SQLRETURN text_arg(diagnostic& d, const SQLWCHAR* text, SQLINTEGER length, std::string& utf8) {
  if (const SQLRETURN rc = check_arg(d, text, length); rc != SQL_SUCCESS) return rc;
  std::size_t n = 0;
  if (length == SQL_NTS) {
    while (text[n] != 0) ++n;
  } else {
    n = static_cast<std::size_t>(length);
  }
  utf8.clear();
  for (std::size_t i = 0; i < n;) {
    const decoded c = decode_utf16([text](std::size_t k) -> char32_t { return text[k]; }, i, n);
    char bytes[4];
    utf8.append(bytes, encode_utf8(c.cp, bytes));
    i += c.units;
  }
  return SQL_SUCCESS;
}

SQLRETURN put_text(std::string_view utf8, bool wide, SQLPOINTER buf, SQLLEN capacity, SQLLEN* total) {
  std::string converted;
  if (wide) converted = server::utf8_to_utf16le(utf8);
  const std::string_view src = wide ? std::string_view(converted) : utf8;
  if (total != nullptr) *total = static_cast<SQLLEN>(src.size());
  if (buf == nullptr) return SQL_SUCCESS;
  const std::size_t unit = wide ? 2 : 1;
  if (capacity < static_cast<SQLLEN>(unit)) return src.empty() ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
  std::size_t n = std::min(src.size(), (static_cast<std::size_t>(capacity) / unit - 1) * unit);
  // Not inside a UTF-8 sequence or a surrogate pair.
  if (n < src.size()) {
    if (!wide) {
      while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
    } else if (n > 0 && (static_cast<unsigned char>(src[n - 1]) & 0xFC) == 0xD8) {
      n -= 2;
    }
  }
  auto* out = static_cast<char*>(buf);
  std::memcpy(out, src.data(), n);
  std::memset(out + n, 0, unit);
  return n == src.size() ? SQL_SUCCESS : SQL_SUCCESS_WITH_INFO;
}

SQLRETURN put_name(diagnostic* d, std::string_view utf8, bool wide, bool in_units, SQLPOINTER buf,
                   SQLSMALLINT capacity, SQLSMALLINT* length) {
  if (capacity < 0) return d != nullptr ? d->set(SQL_ERROR, "HY090", "negative buffer length") : SQL_ERROR;
  const SQLLEN scale = wide && in_units ? 2 : 1;
  SQLLEN total = 0;
  const SQLRETURN rc = put_text(utf8, wide, buf, capacity * scale, &total);
  if (length != nullptr) *length = static_cast<SQLSMALLINT>(std::min<SQLLEN>(total / scale, SHRT_MAX));
  if (rc == SQL_SUCCESS_WITH_INFO && d != nullptr) d->set(rc, "01004", "the text was cut to the buffer");
  return rc;
}

}  // namespace torqa::driver
