// Text helpers of the command-line client: names typed as UTF-8 turned into
// the binding's zero-terminated 16-bit names, names read back as UTF-8, and
// the ASCII case-insensitive comparison the server uses for names.
#pragma once

#include <torqa/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::cli {

/// A zero-terminated 16-bit name made from UTF-8 text.
class name16 {
 public:
  explicit name16(std::string_view utf8);
  const unsigned short* c_str() const { return units_.data(); }

 private:
  std::vector<unsigned short> units_;
};

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
