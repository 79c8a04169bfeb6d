// The text arguments and results of the standard entry points (the three
// text conversions are in conversions.cpp).
#include "odbc3.h"

#include "server/wire/utf.h"
#include "server/wire/wire.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>

using namespace torqa::server::utf;

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
