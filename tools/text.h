// Text helpers of the command-line client: names read back as UTF-8, and the
// ASCII case-insensitive comparison the server uses for names. Names typed
// as UTF-8 become the binding's 16-bit names through torqa::text16.
#pragma once

#include <torqa/text16.h>
#include <torqa/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace torqa::cli {

/// UTF-8 text of a 16-bit name.
std::string utf8(const unsigned short* s);
inline std::string utf8(const db_name& n) { return utf8(n.c_str()); }

/// Names compared as the server compares them: ASCII letters without case.
bool same_name(std::string_view a, std::string_view b);
/// Whether `s` begins with `prefix`, ASCII letters without case.
bool has_prefix(std::string_view s, std::string_view prefix);

/// Length of `s` without a UTF-8 character cut short at its end (bytes that
/// are not UTF-8 are kept).
std::size_t utf8_complete(std::string_view s);
/// "error CODE: message", as errors are shown.
std::string error_text(int code, const std::string& msg);

/// Number of characters of UTF-8 text (bytes that do not continue one).
std::size_t utf8_length(std::string_view s);

}  // namespace torqa::cli
