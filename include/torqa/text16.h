// Names as the binding sends them: zero-terminated 16-bit text, made from
// UTF-8 or UTF-16 text of any length, for the forms that take
// std::string_view and std::u16string_view next to const unsigned short*.
#pragma once

#include <torqa/errors.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace torqa {

/// Zero-terminated 16-bit text owned by the value; c_str() stays valid as
/// long as it lives.
class text16 {
 public:
  explicit text16(std::u16string_view s) : units_(s) {}
  /// Decodes UTF-8; text that is not UTF-8 throws Db_err -1000.
  explicit text16(std::string_view utf8) { units_ = decode(utf8); }

  const unsigned short* c_str() const { return reinterpret_cast<const unsigned short*>(units_.c_str()); }
  const std::u16string& str() const { return units_; }

 private:
  static std::u16string decode(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
      const auto b = static_cast<unsigned char>(s[i]);
      std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
      if (n == 0 || n > s.size() - i) bad();
      char32_t c = n == 1 ? b : b & (0x7F >> n);
      for (std::size_t k = 1; k < n; ++k) {
        const auto t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) bad();
        c = (c << 6) | (t & 0x3F);
      }
      // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
      static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
      if (c < least[n] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) bad();
      if (c >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        out += static_cast<char16_t>(c);
      }
      i += n;
    }
    return out;
  }
  [[noreturn]] static void bad() { throw Db_err(-1000, "text is not UTF-8"); }

  std::u16string units_;
};

}  // namespace torqa
