// Names as the binding sends them: zero-terminated 16-bit text, made from
// UTF-8 or UTF-16 text, for the forms that take a name as std::string_view
// or std::u16string_view next to const unsigned short*. Short names are
// converted without allocating.
#pragma once

#include <torqa/errors.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace torqa {

/// Zero-terminated 16-bit text valid while the value lives; made from
/// UTF-8 or UTF-16 text; text that is not UTF-8 or holds a zero character
/// (which would cut the name short) throws Db_err -1000.
/// It points into itself: not copied, only passed on.
class text16 {
 public:
  text16(std::string_view utf8) { decode(utf8); }         // NOLINT: converts
  text16(const char* utf8) : text16(std::string_view(utf8)) {}  // NOLINT
  text16(const std::string& utf8) : text16(std::string_view(utf8)) {}  // NOLINT
  text16(std::u16string_view s) { store(s); }             // NOLINT
  /// A zero-terminated literal is used in place.
  text16(const char16_t* s) : p_(s) {}                    // NOLINT
  text16(const std::u16string& s) : text16(std::u16string_view(s)) {}  // NOLINT
  text16(const text16&) = delete;
  text16& operator=(const text16&) = delete;

  const unsigned short* c_str() const { return reinterpret_cast<const unsigned short*>(p_); }
  std::u16string_view view() const { return p_; }

 private:
  static constexpr std::size_t small = 64;

  char16_t* buffer(std::size_t n) {
    if (n < small) return small_;
    big_.resize(n);
    return big_.data();
  }
  void store(std::u16string_view s) {
    if (s.find(u'\0') != s.npos) zero();
    char16_t* out = buffer(s.size());
    s.copy(out, s.size());
    out[s.size()] = u'\0';
    p_ = out;
  }
  void decode(std::string_view s) {
    // UTF-8 never takes fewer bytes than UTF-16 units.
    char16_t* out = buffer(s.size());
    std::size_t k = 0;
    for (std::size_t i = 0; i < s.size();) {
      const auto b = static_cast<unsigned char>(s[i]);
      const std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
      if (n == 0 || n > s.size() - i) bad();
      if (b == 0) zero();
      char32_t c = n == 1 ? b : b & (0x7F >> n);
      for (std::size_t j = 1; j < n; ++j) {
        const auto t = static_cast<unsigned char>(s[i + j]);
        if ((t & 0xC0) != 0x80) bad();
        c = (c << 6) | (t & 0x3F);
      }
      // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
      static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
      if (c < least[n] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) bad();
      if (c >= 0x10000) {
        out[k++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
        out[k++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
      } else {
        out[k++] = static_cast<char16_t>(c);
      }
      i += n;
    }
    out[k] = u'\0';
    p_ = out;
  }
  [[noreturn]] static void bad() { throw Db_err(-1000, "text is not UTF-8"); }
  [[noreturn]] static void zero() { throw Db_err(-1000, "text holds a zero character"); }

  const char16_t* p_ = u"";
  char16_t small_[small];
  std::u16string big_;
};

}  // namespace torqa
