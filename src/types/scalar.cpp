// Scalar value classes: how each writes itself to a typed output stream and
// reads itself back, and the text conversions and comparisons of d_string
// and db_name.
//
// Text conversions go through the driver. Those with a fixed-capacity target
// cut at the capacity without splitting a character; those whose result has
// somewhere to grow (the value's own bytes, a message element, a printed
// stream) convert in pieces and lose nothing.
#include <torqa/conversions.h>
#include <torqa/errors.h>
#include <torqa/types.h>

#include "encoding/element.h"
#include "encoding/text.h"
#include "transport/driver.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using torqa::detail::driver;

// 8-bit scratch for 16-bit text converted on its way to an 8-bit server or a
// printed stream, and for names read from a reply: one per thread, allocated
// at the thread's first use, so that threads that never convert pay nothing.
constexpr std::size_t text_scratch_size = 32768;
char* text_scratch() {
  thread_local const std::unique_ptr<char[]> buffer(new char[text_scratch_size]);
  return buffer.get();
}

// Largest count of 16-bit units whose 8-bit form surely fits a 32768-byte
// buffer (text_scratch, conv_buf): one unit gives at most three bytes.
constexpr std::size_t units_fitting_32k = 32768 / 3;

bool is_utf8_continuation(char b) { return (static_cast<unsigned char>(b) & 0xC0) == 0x80; }
bool is_high_surrogate(unsigned short u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(unsigned short u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Length of the longest prefix of the n bytes at p that is at most cap bytes
// long and does not end inside a UTF-8 character.
std::size_t utf8_prefix(const char* p, std::size_t n, std::size_t cap) {
  if (n <= cap) return n;
  std::size_t e = cap;
  while (e > 0 && cap - e < 3 && is_utf8_continuation(p[e])) --e;
  return e < cap && static_cast<unsigned char>(p[e]) >= 0xC0 ? e : cap;
}

// The 16-bit unit i of text held as bytes, least significant byte first.
unsigned short unit_at(const char* p, std::size_t i) {
  return static_cast<unsigned short>(static_cast<unsigned char>(p[2 * i]) |
                                     static_cast<unsigned char>(p[2 * i + 1]) << 8);
}

// Copies at most cap of the `units` 16-bit units held as bytes at p into
// dst, without splitting a surrogate pair; returns the count copied.
std::size_t copy_units(const char* p, std::size_t units, unsigned short* dst, std::size_t cap) {
  std::size_t k = std::min(units, cap);
  if (k < units && k > 0 && is_high_surrogate(unit_at(p, k - 1)) && is_low_surrogate(unit_at(p, k))) --k;
  for (std::size_t i = 0; i < k; ++i) dst[i] = unit_at(p, i);
  return k;
}

// Appends the 16-bit form of n bytes of 8-bit text to out. The text goes to
// the driver in pieces cut between characters; a piece of c bytes gives at
// most c units, so no piece is ever cut by the capacity.
void append_uni(const char* p, std::size_t n, std::vector<unsigned short>& out) {
  constexpr std::size_t piece = 16384;
  const auto& drv = driver();
  while (n > 0) {
    const std::size_t c = utf8_prefix(p, n, piece);
    const std::size_t old = out.size();
    out.resize(old + c);
    const unsigned short got = drv.DrvMbToUni(p, static_cast<unsigned short>(c), out.data() + old,
                                              static_cast<unsigned short>(c));
    out.resize(old + got);
    p += c;
    n -= c;
  }
}

// The 8-bit form of a 16-bit d_string, whole: in text_scratch when it surely
// fits there, otherwise in `spill`.
std::string_view utf8_form(const d_string& s, std::string& spill) {
  if (s.size() / 2 <= units_fitting_32k) {
    char* buf = text_scratch();
    return {buf, s.to_mb(buf, text_scratch_size)};
  }
  spill = s.mb_str();
  return spill;
}

// Refuses data that one list element cannot carry, before anything is written.
void check_element_length(std::size_t n) {
  if (n > torqa::detail::max_elem_data) throw Db_err(-1000, "value too long for one element");
}

// -1, 0 or 1: the shorter run first, equal lengths by unsigned bytes.
int compare_bytes(const char* a, std::size_t na, const char* b, std::size_t nb) {
  if (na != nb) return na < nb ? -1 : 1;
  const int r = na == 0 ? 0 : std::memcmp(a, b, na);
  return (r > 0) - (r < 0);
}

// Compares two strings in the order of operator<: raw bytes when both have
// the same width, otherwise the 8-bit one is first widened to 16-bit text.
int compare(const d_string& a, const d_string& b) {
  const bool a_mb = a.kind() == 0;
  if (a_mb == (b.kind() == 0)) return compare_bytes(a.data(), a.size(), b.data(), b.size());
  const d_string& mb = a_mb ? a : b;
  const d_string& uni = a_mb ? b : a;
  thread_local std::vector<unsigned short> widened;  // reused: keeps its storage
  widened.clear();
  append_uni(mb.data(), mb.size(), widened);
  const int r = compare_bytes(reinterpret_cast<const char*>(widened.data()), 2 * widened.size(), uni.data(),
                              uni.size() / 2 * 2);
  return a_mb ? r : -r;
}

}  // namespace

// D_type

D_type::~D_type() = default;

void D_type::set_null() { null_ = true; }

// d_binary

d_binary::d_binary(const char* s) : bytes_(s ? s : "") {}

d_binary::d_binary(const char* p, std::size_t n) : bytes_(p, n) {}

d_binary::~d_binary() = default;

void d_binary::set_null() {
  bytes_.clear();
  D_type::set_null();
}

void d_binary::assign(const char* p, std::size_t n) {
  bytes_.assign(p, n);
  null_ = false;
}

void d_binary::get(t_istream& is, Database*) {
  null_ = false;
  bool is_uni = false;
  is.read_str(is_uni, bytes_);
}

void d_binary::put(t_ostream& os, Database*) const {
  if (null_) return os.put_null();
  check_element_length(bytes_.size());
  os.put_str(0, bytes_.data(), static_cast<unsigned short>(bytes_.size()));
}

// d_string

d_string::d_string(const char* s) : d_binary(s) {}

d_string::d_string(const char* p, std::size_t n) : d_binary(p, n) {}

d_string::d_string(const unsigned short* s) {
  std::size_t n = 0;
  if (s)
    while (s[n] != 0) ++n;
  bytes_.assign(reinterpret_cast<const char*>(s), 2 * n);
  kind_ = 2;
}

d_string::d_string(t_istream& is) { get(is, nullptr); }

d_string::~d_string() = default;

d_string& d_string::assign(const unsigned short* s, unsigned short n) {
  bytes_.assign(reinterpret_cast<const char*>(s), 2 * std::size_t{n});
  kind_ = 2;
  null_ = false;
  return *this;
}

void d_string::assign(const char* p, std::size_t n) {
  d_binary::assign(p, n);
  kind_ = 0;
}

void d_string::get(t_istream& is, Database*) {
  null_ = false;
  bool is_uni = false;
  is.read_str(is_uni, bytes_);
  kind_ = is_uni ? 1 : 0;
}

void d_string::put(t_ostream& os, Database*) const {
  if (null_) return os.put_null();
  if (os.is_uni_srv() || kind_ == 0) {
    check_element_length(bytes_.size());
    return os.put_str(kind_, bytes_.data(), static_cast<unsigned short>(bytes_.size()));
  }
  // 16-bit text for a server that uses 8-bit text.
  std::string spill;
  const std::string_view text = utf8_form(*this, spill);
  check_element_length(text.size());
  os.put_str(0, text.data(), static_cast<unsigned short>(text.size()));
}

unsigned short d_string::to_mb(char* buf, unsigned short cap) const {
  switch (kind_) {
    case 0: {
      const std::size_t n = utf8_prefix(bytes_.data(), bytes_.size(), cap);
      std::copy_n(bytes_.data(), n, buf);
      return static_cast<unsigned short>(n);
    }
    case 1:
      if (bytes_.size() <= 0xFFFF)
        return driver().DrvSrvToMb(bytes_.data(), static_cast<unsigned short>(bytes_.size()), buf, cap);
      break;
    case 2:
      if (bytes_.size() / 2 <= 0xFFFF)
        return driver().DrvUniToMb(reinterpret_cast<const unsigned short*>(bytes_.data()),
                              static_cast<unsigned short>(bytes_.size() / 2), buf, cap);
      break;
    default:
      return 0;
  }
  // Text beyond the driver's 16-bit source count: convert it whole, then cut.
  const std::string all = mb_str();
  const std::size_t n = utf8_prefix(all.data(), all.size(), cap);
  std::copy_n(all.data(), n, buf);
  return static_cast<unsigned short>(n);
}

unsigned short d_string::to_uni(unsigned short* buf, unsigned short cap) const {
  switch (kind_) {
    case 0: {
      if (bytes_.size() <= 0xFFFF)
        return driver().DrvMbToUni(bytes_.data(), static_cast<unsigned short>(bytes_.size()), buf, cap);
      std::vector<unsigned short> all;
      append_uni(bytes_.data(), bytes_.size(), all);
      return static_cast<unsigned short>(
          copy_units(reinterpret_cast<const char*>(all.data()), all.size(), buf, cap));
    }
    case 1:
    case 2:
      return static_cast<unsigned short>(copy_units(bytes_.data(), bytes_.size() / 2, buf, cap));
    default:
      return 0;
  }
}

void d_string::to_uni() {
  if (kind_ == 2) return;
  if (kind_ == 0) {
    std::vector<unsigned short> units;
    append_uni(bytes_.data(), bytes_.size(), units);
    bytes_.assign(reinterpret_cast<const char*>(units.data()), 2 * units.size());
  } else {
    bytes_.resize(bytes_.size() / 2 * 2);  // server 16-bit text is already client text
  }
  kind_ = 2;
}

void d_string::to_mb() {
  if (kind_ == 0) return;
  bytes_ = mb_str();
  kind_ = 0;
}

std::string d_string::mb_str() const {
  if (kind_ == 0) return bytes_;
  std::string out;
  torqa::detail::append_srv_as_mb(bytes_.data(), bytes_.size(), out);
  return out;
}

std::u16string d_string::u16str() const {
  if (kind_ == 0) {
    std::vector<unsigned short> units;
    append_uni(bytes_.data(), bytes_.size(), units);
    return std::u16string(units.begin(), units.end());
  }
  std::u16string out(bytes_.size() / 2, u'\0');
  if (kind_ == 2) std::memcpy(out.data(), bytes_.data(), 2 * out.size());  // units in memory order
  else
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char16_t>(unit_at(bytes_.data(), i));
  return out;
}

bool d_string::operator==(const d_string& other) const { return compare(*this, other) == 0; }

bool d_string::operator<(const d_string& other) const { return compare(*this, other) < 0; }

std::ostream& operator<<(std::ostream& os, const d_string& s) {
  if (s.kind() == 0) return os.write(s.data(), static_cast<std::streamsize>(s.size()));
  std::string spill;
  const std::string_view text = utf8_form(s, spill);
  return os.write(text.data(), static_cast<std::streamsize>(text.size()));
}

// Conversions between value classes and plain C++ values

namespace torqa::detail {

void conversion_failed(const std::string& what) { throw Db_err(-1000, what); }

namespace {
// The text quoted in a message, cut to a readable length.
std::string quoted(std::string_view text) {
  return "'" + std::string(text.substr(0, 40)) + (text.size() > 40 ? "...'" : "'");
}
}  // namespace

long long parse_integer(std::string_view text) {
  long long v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (ec == std::errc::result_out_of_range) conversion_failed("integer out of range");
  if (ec != std::errc() || p != end) conversion_failed(quoted(text) + " is not an integer");
  return v;
}

double parse_double(std::string_view text) {
  double v = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, v);
  if (ec == std::errc::result_out_of_range) conversion_failed(quoted(text) + " is out of range");
  if (ec != std::errc() || p != end) conversion_failed(quoted(text) + " is not a number");
  return v;
}

std::string format_double(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace torqa::detail

// d_int

d_int::d_int() { d_int::set_null(); }

d_int::d_int(int v) : v_(v) {}

d_int::~d_int() = default;

void d_int::set_null() {
  v_ = 0;
  D_type::set_null();
}

void d_int::get(t_istream& is, Database*) {
  null_ = false;
  std::int64_t v = 0;
  bool null_flag = false;
  is.read_int32(v, null_flag);
  if (null_flag)
    set_null();
  else
    v_ = static_cast<int>(static_cast<std::uint32_t>(v));
}

void d_int::put(t_ostream& os, Database*) const {
  if (null_)
    os.put_null();
  else
    os.put_int(v_);
}

// d_double

d_double::d_double(double v) : v_(v) {}

d_double::~d_double() = default;

void d_double::get(t_istream& is, Database*) {
  null_ = false;
  bool null_flag = false;
  is.read_double(v_, null_flag);
  if (null_flag) set_null();
}

void d_double::put(t_ostream& os, Database*) const {
  if (null_)
    os.put_null();
  else
    os.put_double(v_);
}

// d_status

d_status::d_status() = default;

d_status::d_status(t_istream& is) {
  get(is, nullptr);
  init();
}

d_status::~d_status() = default;

void d_status::get(t_istream& is, Database* db) {
  d_binary::get(is, db);
  init();
}

void d_status::init() {
  const std::size_t n = bytes_.size();
  if (n == 0 || (n == 1 && (bytes_[0] == 1 || bytes_[0] == '1'))) {
    code.set(0);
    msg = d_string();
    return;
  }
  // An error: code and message follow an element header and two more bytes.
  const std::size_t skip = torqa::detail::header_length(static_cast<unsigned char>(bytes_[0])) + 2;
  if (n < skip) {
    code.set(-1);
    msg = d_string("malformed status");
    return;
  }
  t_istrstream in(bytes_.data() + skip, static_cast<int>(n - skip));
  code.get(in, nullptr);
  msg.get(in, nullptr);
}

// db_name

thread_local db_name db_name::cmn;

db_name::db_name() : units_{0} {}

db_name::db_name(const unsigned short* s) { *this = s; }

db_name::~db_name() = default;

db_name& db_name::operator=(const unsigned short* s) {
  std::size_t n = 0;
  if (s)
    while (s[n] != 0) ++n;
  assign(s, n);
  return *this;
}

void db_name::assign(const unsigned short* s, std::size_t n) {
  const std::less_equal<const unsigned short*> le;
  if (n != 0 && le(units_.data(), s) && le(s, units_.data() + units_.size())) {
    units_.erase(units_.begin(), units_.begin() + (s - units_.data()));  // s points into this name
    units_.resize(n);
  } else {
    units_.assign(s, s + n);  // reuses the storage
  }
  units_.push_back(0);
}

void db_name::get(t_istream& is, Database*) {
  bool is_uni = false;
  unsigned short len = 0;
  char* buf = text_scratch();
  is.read_bytes(is_uni, buf, text_scratch_size, len);
  std::vector<unsigned short> units;  // the name keeps its text if conversion fails
  if (is_uni) {
    units.resize(len / 2);
    copy_units(buf, units.size(), units.data(), units.size());
  } else {
    append_uni(buf, len, units);
  }
  units.push_back(0);
  units_.swap(units);
}

void db_name::put(t_ostream& os, Database*) const {
  const std::size_t n = length();
  if (os.is_uni_srv()) {
    check_element_length(2 * n);
    return os.put_str(2, reinterpret_cast<const char*>(units_.data()), static_cast<unsigned short>(2 * n));
  }
  if (n <= units_fitting_32k) {
    const unsigned short m =
        driver().DrvUniToMb(units_.data(), static_cast<unsigned short>(n), conv_buf, sizeof conv_buf);
    return os.put_str(0, conv_buf, m);
  }
  std::string text;
  torqa::detail::append_srv_as_mb(reinterpret_cast<const char*>(units_.data()), 2 * n, text);
  check_element_length(text.size());
  os.put_str(0, text.data(), static_cast<unsigned short>(text.size()));
}

int db_name::cmp(const unsigned short* a, const unsigned short* b) {
  static const unsigned short none = 0;
  if (!a) a = &none;
  if (!b) b = &none;
  std::size_t la = 0, lb = 0;
  while (a[la] != 0) ++la;
  while (b[lb] != 0) ++lb;
  return cmp(a, la, b, lb);
}

int db_name::cmp(const unsigned short* a, std::size_t la, const unsigned short* b, std::size_t lb) {
  if (la != lb) return la < lb ? -1 : 1;
  // ASCII letters fold the same way in every locale: done here; other
  // characters by the C library.
  const auto lower = [](unsigned short c) -> std::wint_t {
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
    return std::towlower(c);
  };
  for (std::size_t i = 0; i < la; ++i) {
    if (a[i] == b[i]) continue;
    const std::wint_t ca = lower(a[i]);
    const std::wint_t cb = lower(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return 0;
}
