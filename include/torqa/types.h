// Scalar value types: what applications hand to the server and receive back.
//
// D_type is the base of every value: a null flag, get (read from a typed
// input stream) and put (write to a typed output stream). Values are plain
// objects owned by whoever constructs them; they own their bytes.
//
// Text kinds of d_string: 0 = 8-bit client text (UTF-8), 1 = 16-bit text in
// the server's form, 2 = client 16-bit text (UTF-16 units in memory order).
//
// The conversions to_mb()/to_uni() without arguments, comparisons, printing
// and db_name use the scratch of the calling thread (conversions.h).
//
// Plain C++ values: d_binary, d_string, d_int and d_double are made from
// std::string (UTF-8 text, or bytes), std::u16string, integers, doubles and
// std::optional of these (std::nullopt or an empty optional makes the null
// value), implicitly, so they are also assigned from them and passed where a
// value class is taken:
//
//   d_string name = std::string("Ada");    d_int age = 42;    age = std::nullopt;
//
// and read back as any of them with as<T>():
//
//   std::string s = name.as<std::string>();              // also mb_str()
//   std::optional<int> a = age.as<std::optional<int>>(); // nullopt when null
//   long long n = d_string("12").as<long long>();         // text is parsed
//
// A conversion is exact or throws Db_err -1000: an integer out of the
// target's range, a double with a fraction read as an integer, text that is
// not a number read as one, a null value read as anything but std::optional
// or a value class. The one rounding allowed is a double read as a float.
// Booleans are integers on the server: a bool reads non-zero as true.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A value is
// used by one thread at a time.
#pragma once

#include <torqa/export.h>
#include <torqa/streams.h>

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

class Database;
class Db_err;

namespace torqa::detail {

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;

/// Throws Db_err -1000 with message `what`.
[[noreturn]] TORQA_API void conversion_failed(const std::string& what);
/// Decimal integer text, all of it ("-12"); otherwise Db_err -1000.
TORQA_API long long parse_integer(std::string_view text);
/// Decimal number text, all of it ("1.5", "-2e3", "inf"); otherwise Db_err -1000.
TORQA_API double parse_double(std::string_view text);
/// The shortest text that reads back as `v`.
TORQA_API std::string format_double(double v);

/// Whether integer `v` has the same value as a T.
template <class T, class V>
constexpr bool fits(V v) {
  using wide = std::conditional_t<std::is_signed_v<V>, long long, unsigned long long>;
  return std::in_range<T>(static_cast<wide>(v));
}

/// `v` (a number) as the arithmetic type T with the same value; Db_err
/// -1000 when T has no such value. bool: v != 0; float: the nearest float.
template <class T, class V>
T exact(V v) {
  static_assert(std::is_arithmetic_v<T> && std::is_arithmetic_v<V>);
  if constexpr (std::is_same_v<T, bool>) {
    return v != 0;
  } else if constexpr (std::is_integral_v<T> && std::is_integral_v<V>) {
    if (!fits<T>(v)) conversion_failed("integer out of range");
    return static_cast<T>(v);
  } else if constexpr (std::is_integral_v<T>) {
    // [lo, hi) holds every floating value that converts to T.
    constexpr V hi = static_cast<V>(std::numeric_limits<T>::max() / 2 + 1) * 2;
    constexpr V lo = std::is_signed_v<T> ? -hi : V(0);
    if (!(v >= lo && v < hi)) {
      if (std::isnan(v)) conversion_failed("nan is not an integer");
      conversion_failed("integer out of range");
    }
    if (static_cast<V>(static_cast<T>(v)) != v) conversion_failed(format_double(v) + " is not an integer");
    return static_cast<T>(v);
  } else if constexpr (std::is_integral_v<V>) {
    using wide = std::conditional_t<std::is_signed_v<V>, long long, unsigned long long>;
    const T d = static_cast<T>(v);
    constexpr T hi = static_cast<T>(std::numeric_limits<wide>::max() / 2 + 1) * 2;
    if (d >= hi || static_cast<wide>(d) != static_cast<wide>(v))
      conversion_failed("integer " + std::to_string(static_cast<wide>(v)) + " has no exact floating-point value");
    return d;
  } else {
    if (std::isfinite(v) && (v > std::numeric_limits<T>::max() || v < std::numeric_limits<T>::lowest()))
      conversion_failed(format_double(static_cast<double>(v)) + " is out of range");
    return static_cast<T>(v);
  }
}

/// What as<T>() of every value class runs (defined below the classes).
template <class T, class V>
T value_as(const V& v);

}  // namespace torqa::detail

/// Abstract base of every value.
class TORQA_API D_type {
 public:
  D_type() = default;
  D_type(const D_type&) = default;
  D_type& operator=(const D_type&) = default;
  virtual ~D_type();

  /// Marks the value null; each class also resets its content.
  virtual void set_null();
  /// Reads the value from `is`. `db` is used only by reference types.
  virtual void get(t_istream& is, Database* db) = 0;
  /// Writes the value to `os`. `db` is used only by reference types.
  virtual void put(t_ostream& os, Database* db) const = 0;

  bool is_null() const { return null_; }

 protected:
  bool null_ = false;
};

/// A byte string (may hold zero bytes). Never null after get.
class TORQA_API d_binary : public D_type {
 public:
  d_binary() = default;
  d_binary(const char* s);  // NOLINT: bytes up to the NUL
  d_binary(const char* p, std::size_t n);
  d_binary(std::string_view bytes) : d_binary(bytes.data(), bytes.size()) {}  // NOLINT: converts
  d_binary(const std::string& bytes) : d_binary(bytes.data(), bytes.size()) {}  // NOLINT: converts
  /// The null value.
  d_binary(std::nullopt_t) { d_binary::set_null(); }  // NOLINT: converts
  /// The bytes, or the null value for an empty optional.
  template <class S>
    requires std::is_convertible_v<const S&, std::string_view>
  d_binary(const std::optional<S>& v) {  // NOLINT: converts
    if (v) *this = d_binary(std::string_view(*v));
    else d_binary::set_null();
  }
  d_binary(const d_binary&) = default;
  d_binary& operator=(const d_binary&) = default;
  ~d_binary() override;

  void set_null() override;
  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  /// The bytes and their count.
  const char* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }
  /// Replaces the bytes; the value becomes non-null.
  void assign(const char* p, std::size_t n);

  /// The bytes as std::string, or std::optional<std::string> (nullopt when
  /// null); d_binary itself. See the top of this header.
  template <class T>
  T as() const {
    return torqa::detail::value_as<T>(*this);
  }

 protected:
  std::string bytes_;
};

/// Text held as 8-bit or 16-bit characters (see kind()).
class TORQA_API d_string : public d_binary {
 public:
  d_string() = default;
  d_string(const char* s);  // NOLINT: kind 0, bytes up to the NUL
  d_string(const char* p, std::size_t n);
  d_string(const unsigned short* s);  // NOLINT: kind 2, units up to the zero unit
  /// UTF-8 text, kind 0.
  d_string(std::string_view utf8) : d_string(utf8.data(), utf8.size()) {}     // NOLINT: converts
  d_string(const std::string& utf8) : d_string(utf8.data(), utf8.size()) {}   // NOLINT: converts
  /// UTF-16 text, kind 2 (any length: the units are stored as they are).
  d_string(std::u16string_view utf16) {  // NOLINT: converts
    bytes_.assign(reinterpret_cast<const char*>(utf16.data()), 2 * utf16.size());
    kind_ = 2;
  }
  d_string(const char16_t* utf16) : d_string(std::u16string_view(utf16)) {}           // NOLINT: converts
  d_string(const std::u16string& utf16) : d_string(std::u16string_view(utf16)) {}      // NOLINT: converts
  /// The null value (kind 0).
  d_string(std::nullopt_t) { d_string::set_null(); }  // NOLINT: converts
  /// The text, or the null value for an empty optional.
  template <class S>
    requires std::is_convertible_v<const S&, std::string_view> || std::is_convertible_v<const S&, std::u16string_view>
  d_string(const std::optional<S>& v) {  // NOLINT: converts
    if (v) *this = d_string(*v);
    else d_string::set_null();
  }
  explicit d_string(t_istream& is);
  d_string(const d_string&) = default;
  d_string& operator=(const d_string&) = default;
  ~d_string() override;

  /// Stores `n` client 16-bit units (2 x n bytes); kind 2, non-null.
  d_string& assign(const unsigned short* s, unsigned short n);
  /// Stores `n` bytes of 8-bit text; kind 0, non-null.
  void assign(const char* p, std::size_t n);

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  /// Text kind: 0 8-bit, 1 server 16-bit, 2 client 16-bit.
  int kind() const { return kind_; }

  /// 8-bit text into `buf`, at most `cap` bytes; returns the count. No NUL.
  unsigned short to_mb(char* buf, unsigned short cap) const;
  /// 16-bit text into `buf`, at most `cap` units; returns the count. No zero.
  unsigned short to_uni(unsigned short* buf, unsigned short cap) const;
  /// Converts the content in place to kind 2 (client 16-bit).
  void to_uni();
  /// Converts the content in place to kind 0 (8-bit).
  void to_mb();
  /// The text as UTF-8, whatever the kind.
  std::string mb_str() const;
  /// The text as UTF-16, whatever the kind.
  std::u16string u16str() const;

  /// The text as std::string (UTF-8), std::u16string, a number (the text
  /// parsed, all of it), std::optional of one of these (nullopt when null),
  /// or d_string itself. See the top of this header.
  template <class T>
  T as() const {
    return torqa::detail::value_as<T>(*this);
  }

  /// Length first, then bytes; 8-bit against 16-bit compares as 16-bit.
  bool operator==(const d_string& other) const;
  bool operator<(const d_string& other) const;

 protected:
  int kind_ = 0;
};

TORQA_API std::ostream& operator<<(std::ostream& os, const d_string& s);

/// A 32-bit signed integer; default-constructed null with value 0.
class TORQA_API d_int : public D_type {
 public:
  d_int();
  d_int(int v);  // NOLINT: non-null
  /// Any other integer or bool (non-null); Db_err -1000 "integer out of
  /// range" for one beyond 32 bits.
  template <class I>
    requires std::integral<I> && (!std::same_as<I, int>)
  d_int(I v) : d_int(torqa::detail::exact<int>(v)) {}  // NOLINT: converts
  /// A double without a fraction, in range; otherwise Db_err -1000.
  template <std::floating_point F>
  d_int(F v) : d_int(torqa::detail::exact<int>(v)) {}  // NOLINT: converts
  /// The null value.
  d_int(std::nullopt_t) : d_int() {}  // NOLINT: converts
  /// The integer, or the null value for an empty optional.
  template <std::integral I>
  d_int(const std::optional<I>& v) : d_int() {  // NOLINT: converts
    if (v) set(torqa::detail::exact<int>(*v));
  }
  ~d_int() override;

  void set_null() override;
  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  int value() const { return v_; }
  /// Sets the integer; the value becomes non-null.
  void set(int v) {
    v_ = v;
    null_ = false;
  }

  /// The integer as any arithmetic type that holds it, std::string or
  /// std::u16string (decimal text), std::optional of one of these (nullopt
  /// when null), or d_int itself. See the top of this header.
  template <class T>
  T as() const {
    return torqa::detail::value_as<T>(*this);
  }

 private:
  int v_ = 0;
};

/// A 64-bit IEEE double; set_null keeps the double.
class TORQA_API d_double : public D_type {
 public:
  d_double(double v = 0.0);  // NOLINT: non-null
  /// An integer a double holds exactly (non-null); otherwise Db_err -1000.
  template <std::integral I>
  d_double(I v) : d_double(torqa::detail::exact<double>(v)) {}  // NOLINT: converts
  /// The null value.
  d_double(std::nullopt_t) : d_double(0.0) { set_null(); }  // NOLINT: converts
  /// The number, or the null value for an empty optional.
  template <class N>
    requires std::is_arithmetic_v<N>
  d_double(const std::optional<N>& v) : d_double(0.0) {  // NOLINT: converts
    if (v) set(torqa::detail::exact<double>(*v));
    else set_null();
  }
  ~d_double() override;

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  double value() const { return v_; }
  void set(double v) {
    v_ = v;
    null_ = false;
  }

  /// The number as any arithmetic type that holds it, std::string or
  /// std::u16string (the shortest text that reads back the same),
  /// std::optional of one of these (nullopt when null), or d_double itself.
  /// See the top of this header.
  template <class T>
  T as() const {
    return torqa::detail::value_as<T>(*this);
  }

 private:
  double v_;
};

/// A server status value, kept as sent and decoded into code and msg.
class TORQA_API d_status : public d_binary {
 public:
  d_status();
  explicit d_status(t_istream& is);
  ~d_status() override;

  void get(t_istream& is, Database* db) override;

  /// Asks the server of session `db` to decode `text` ("BJ"); errors go
  /// to `err` when given.
  void get_from_srv(Database* db, const char* text, Db_err* err);

  /// The status code (0 = success) and its message.
  int get_code() const { return code.value(); }
  const d_string& get_msg() const { return msg; }

  d_int code;
  d_string msg;

 private:
  void init();
};

/// A class, property or method name, held as 16-bit text. Compared
/// case-insensitively, length first (cmp). Never null.
class TORQA_API db_name : public D_type {
 public:
  db_name();
  db_name(const unsigned short* s);  // NOLINT
  db_name(const db_name&) = default;
  db_name& operator=(const db_name&) = default;
  db_name& operator=(const unsigned short* s);
  ~db_name() override;

  void get(t_istream& is, Database* db) override;
  void put(t_ostream& os, Database* db) const override;

  /// Zero-terminated 16-bit text and its length in units.
  const unsigned short* c_str() const { return units_.data(); }
  std::size_t length() const { return units_.size() - 1; }

  /// Length first, then unit by unit after towlower: -1, 0 or 1.
  static int cmp(const unsigned short* a, const unsigned short* b);
  /// cmp of names whose lengths (in units) are known.
  static int cmp(const unsigned short* a, std::size_t la, const unsigned short* b, std::size_t lb);

  /// Scratch name for one name at a time, one per thread.
  /// On Windows only the library itself can name it (a DLL cannot export
  /// a thread-local variable).
  static thread_local db_name cmn;

 private:
  void assign(const unsigned short* s, std::size_t n);
  std::vector<unsigned short> units_;  // always ends with a zero unit
};

namespace torqa::detail {

/// The value class that holds a plain C++ value of type T: d_int for bool
/// and integers, d_double for floating types, d_string for text (UTF-8 or
/// UTF-16), that of X for std::optional<X>; a value class is its own.
template <class T, class B = std::remove_cvref_t<T>>
struct value_class {
  using type = std::conditional_t<
      std::is_base_of_v<D_type, B>, B,
      std::conditional_t<
          std::is_integral_v<B>, d_int,
          std::conditional_t<std::is_floating_point_v<B>, d_double,
                             std::conditional_t<std::is_convertible_v<const B&, std::string_view> ||
                                                    std::is_convertible_v<const B&, std::u16string_view>,
                                                d_string, void>>>>;
};
template <class T, class X>
struct value_class<T, std::optional<X>> : value_class<X> {};
template <class T>
struct value_class<T, std::nullopt_t> {
  using type = d_string;  // any value class sends null alike
};
template <class T>
using value_class_t = typename value_class<T>::type;

template <class T, class V>
T value_as(const V& v) {
  if constexpr (is_optional<T>) {
    if (v.is_null()) return std::nullopt;
    return value_as<typename T::value_type>(v);
  } else if constexpr (std::is_base_of_v<D_type, T>) {
    static_assert(std::is_same_v<T, V>, "a value class converts to itself only");
    return v;
  } else {
    static_assert(std::is_same_v<T, std::string> || std::is_same_v<T, std::u16string> || std::is_arithmetic_v<T>,
                  "no conversion of a value class to this type");
    if (v.is_null()) conversion_failed("the value is null");
    if constexpr (std::is_same_v<V, d_binary>) {
      static_assert(std::is_same_v<T, std::string>, "bytes convert to std::string only");
      return v.bytes();
    } else if constexpr (std::is_same_v<V, d_string>) {
      if constexpr (std::is_same_v<T, std::string>) return v.mb_str();
      else if constexpr (std::is_same_v<T, std::u16string>) return v.u16str();
      else if constexpr (std::is_floating_point_v<T>) return exact<T>(parse_double(v.mb_str()));
      else return exact<T>(parse_integer(v.mb_str()));
    } else {
      if constexpr (std::is_arithmetic_v<T>) {
        return exact<T>(v.value());
      } else {
        std::string text;
        if constexpr (std::is_same_v<V, d_int>) text = std::to_string(v.value());
        else text = format_double(v.value());
        if constexpr (std::is_same_v<T, std::string>) return text;
        else return T(text.begin(), text.end());  // ASCII
      }
    }
  }
}

}  // namespace torqa::detail
