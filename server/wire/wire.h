// The list element format as the server reads and writes it.
//
// An element is a header followed by n data bytes:
//   short form  L, type, data          L = n + 2 (n <= 253)
//   long form   0, lo, hi, type, data  lo + 256 * hi = (n + 1) mod 65536
//   one byte    0x01                   type 1, no data
// Types: 1 8-bit text or bytes, 2 16-bit text (UTF-16, least significant
// byte first), 4/5 integer >= 0 / < 0 (little-endian, a negative value's
// missing high bytes are 0xFF), 6/7 decimal >= 0 / < 0 (exponent byte, then
// the mantissa as integer data; value = mantissa x 10^(exponent - 256)).
//
// Decoding is done by small functions over a pointer and a limit; nothing is
// ever read past the limit, and bad bytes give `false`, never an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace torqa::server {

enum elem_type : int { t_text = 1, t_uni = 2, t_int_pos = 4, t_int_neg = 5, t_dec_pos = 6, t_dec_neg = 7 };

/// Largest data length of one element.
constexpr std::size_t max_elem_data = 65535;

/// One decoded element: its type and a view of its data (inside the input).
struct element {
  int type = 0;
  std::string_view data;
  /// An empty type-1 element: how a null value travels.
  bool is_null() const { return type == t_text && data.empty(); }
};

/// Decodes the element at p of which `avail` bytes are readable. Returns the
/// bytes it occupies, or 0 when its header or data run past `avail`.
std::size_t decode_element(const unsigned char* p, std::size_t avail, element& out);

/// The element's value as an integer: integers as they are, decimals
/// truncated toward zero, text parsed as decimal digits (leading blanks and
/// a sign; no digits give 0). Empty on null and on types that carry no
/// number.
std::optional<std::int64_t> element_int(const element& e);
/// The element's value as a double: integers and decimals converted, text
/// parsed in the C locale. Empty on null and on text that is no number.
std::optional<double> element_double(const element& e);
/// The element's value as UTF-8 text: type 1 as it is, type 2 converted,
/// numbers as decimal text (decimals as "%.15f"). Empty on unknown types.
std::optional<std::string> element_text(const element& e);

/// Reads elements one after another from a run of bytes.
class reader {
 public:
  reader() = default;
  reader(const char* p, std::size_t n) : p_(reinterpret_cast<const unsigned char*>(p)), n_(n) {}
  explicit reader(std::string_view s) : reader(s.data(), s.size()) {}
  /// A reader only views its bytes: they must outlive it.
  explicit reader(std::string&&) = delete;

  /// The next element; false (nothing consumed) when none is complete.
  bool next(element& e);
  bool at_end() const { return pos_ == n_; }
  std::size_t position() const { return pos_; }
  /// The bytes not yet read.
  std::string_view rest() const { return {reinterpret_cast<const char*>(p_) + pos_, n_ - pos_}; }

  // Typed reads: false when no element is left or it does not decode as
  // the type (the element is consumed either way when present).
  bool read_int(std::int64_t& v);
  bool read_int32(int& v);
  bool read_text(std::string& s);

 private:
  const unsigned char* p_ = nullptr;
  std::size_t n_ = 0;
  std::size_t pos_ = 0;
};

/// Appends elements to a byte string.
class writer {
 public:
  /// 8-bit text or bytes (type 1). Data over 65535 bytes would be cut to
  /// the 16-bit length: callers check fits() or bound their results.
  writer& bytes(std::string_view data) { return element(t_text, data); }
  /// Text in the namespace's form: UTF-8 as type 1, or UTF-16 as type 2.
  writer& text(std::string_view utf8, bool uni);
  writer& integer(std::int64_t v);
  /// A double as "%.15f" text (type 1).
  writer& real(double v);
  writer& null() { return element(t_text, {}); }
  /// An element of any type holding `data`.
  writer& element(int type, std::string_view data);
  /// Bytes that are already elements, copied as they stand.
  writer& raw(std::string_view encoded) {
    out_.append(encoded);
    return *this;
  }

  const std::string& str() const { return out_; }
  std::string& str() { return out_; }
  std::size_t size() const { return out_.size(); }
  void clear() { out_.clear(); }

 private:
  std::string out_;
};

/// The list `list` (its encoded elements) with element n (1-based)
/// replaced by `e`; a shorter list first gets null elements up to n - 1.
/// Elements other than n keep their bytes. False, with `out` unchanged,
/// when `list` does not decode as whole elements, n is 0, or the result
/// would not fit in one element.
bool set_list_element(std::string_view list, std::size_t n, const element& e, std::string& out);

/// "%.15f" in the C locale.
std::string format_double(double v);
/// Whether `data` fits in one element.
inline bool fits(std::string_view data) { return data.size() <= max_elem_data; }

/// UTF-8 to UTF-16 with each unit least significant byte first, and back.
/// Ill-formed input becomes U+FFFD; nothing is ever cut.
std::string utf8_to_utf16le(std::string_view utf8);
std::string utf16le_to_utf8(std::string_view bytes);
/// Number of characters of UTF-8 text (continuation bytes not counted).
std::size_t utf8_length(std::string_view utf8);

}  // namespace torqa::server
