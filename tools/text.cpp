#include "text.h"

namespace torqa::cli {

namespace {
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool continues(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}  // namespace

std::string utf8(const unsigned short* s) { return d_string(s).mb_str(); }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool has_prefix(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && same_name(s.substr(0, prefix.size()), prefix);
}

std::size_t utf8_complete(std::string_view s) {
  for (std::size_t back = 1; back <= 3 && back <= s.size(); ++back) {
    const auto b = static_cast<unsigned char>(s[s.size() - back]);
    if (continues(static_cast<char>(b))) continue;
    if (b < 0xC0) return s.size();
    const std::size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    return back < need ? s.size() - back : s.size();
  }
  return s.size();
}

std::string error_text(int code, const std::string& msg) { return "error " + std::to_string(code) + ": " + msg; }

std::size_t utf8_length(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += continues(c) ? 0 : 1;
  return n;
}

}  // namespace torqa::cli
