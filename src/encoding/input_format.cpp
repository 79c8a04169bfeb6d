// The input side: t_istream with its list form (one element per read,
// converting between element types) and its string form (the whole
// remaining input is one plain-text value), and the in-memory input stream.
//
// Formats read straight from the stream buffer (sbumpc, sgetn): no sentry,
// so an exception thrown by a reply buffer reaches the reader. Every list
// read consumes its whole element, whatever its type. The end of the input
// reads as 0xFF bytes: a header 0xFF 0xFF announces no known type, so the
// value is null or empty, and the stream's eofbit and failbit are set.
#include <torqa/conversions.h>
#include <torqa/streams.h>
#include <torqa/types.h>

#include "encoding/element.h"
#include "encoding/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace {

using namespace torqa::detail;
using istream = std::basic_istream<char>;

// 8-bit text read as a number is parsed from conv_buf, NUL-terminated;
// 16-bit text from copy_buf, which needs two spare bytes for its zero unit.
constexpr std::size_t max_text8 = sizeof conv_buf - 1;
constexpr std::size_t max_text16 = sizeof copy_buf - 2;

// The get area of any stream buffer, through pointers to the protected
// members of std::streambuf formed here (legal in a derived class and usable
// on every stream buffer): bytes the buffer already holds are decoded in
// place, without a virtual call or a copy.
struct get_area : std::streambuf {
  static const char* next(std::streambuf* sb) { return (sb->*&get_area::gptr)(); }
  static std::size_t in_hand(std::streambuf* sb) {
    return static_cast<std::size_t>((sb->*&get_area::egptr)() - next(sb));
  }
  static void advance(std::streambuf* sb, std::size_t n) { (sb->*&get_area::gbump)(static_cast<int>(n)); }
};

// Reads the bytes of one value from a stream's buffer and remembers whether
// the input ran out; finish() then records it in the stream state.
class reader {
 public:
  explicit reader(istream& is) : is_(is), sb_(is.rdbuf()) {}

  elem_header header() {
    elem_header h;
    if (sb_ != nullptr && decode_header(reinterpret_cast<const unsigned char*>(get_area::next(sb_)),
                                        get_area::in_hand(sb_), h)) {
      get_area::advance(sb_, h.header);
      return h;
    }
    return header_by_byte();
  }

  // The next n bytes, consumed, when the buffer holds them all now (and at
  // least `readable` bytes from there on); else null.
  const unsigned char* in_place(std::size_t n, std::size_t readable = 0) {
    if (sb_ == nullptr || n == 0 || get_area::in_hand(sb_) < std::max(n, readable)) return nullptr;
    const char* p = get_area::next(sb_);
    get_area::advance(sb_, n);
    return reinterpret_cast<const unsigned char*>(p);
  }

  // Copies up to n bytes through the buffer (refilling it); returns the count.
  [[gnu::noinline]] std::size_t take(void* dst, std::size_t n) {
    if (n == 0) return 0;
    const std::streamsize got =
        sb_ != nullptr ? sb_->sgetn(static_cast<char*>(dst), static_cast<std::streamsize>(n)) : 0;
    if (got < static_cast<std::streamsize>(n)) ended_ = true;
    return static_cast<std::size_t>(got);
  }

  void skip(std::size_t n) {
    if (n != 0 && in_place(n) == nullptr) skip_through(n);
  }

  void finish() {
    if (ended_) is_.setstate(std::ios_base::eofbit | std::ios_base::failbit);
  }

 private:
  // The slow paths (the buffer refills, or the input ends) stay out of line,
  // so that the in-place paths need a small stack frame.
  [[gnu::noinline]] elem_header header_by_byte() {
    const unsigned first = byte();
    if (first == 1) return {1, 0, t_text};
    if (first != 0) {
      const unsigned type = byte();
      return {2, first - 2, static_cast<signed char>(type)};
    }
    const unsigned lo = byte();
    const unsigned hi = byte();
    return {4, long_form_data(lo, hi), static_cast<signed char>(byte())};
  }

  unsigned byte() {
    const int c = sb_ != nullptr ? sb_->sbumpc() : std::char_traits<char>::eof();
    if (c == std::char_traits<char>::eof()) {
      ended_ = true;
      return 0xFF;
    }
    return static_cast<unsigned char>(c);
  }

  [[gnu::noinline]] void skip_through(std::size_t n) {
    char sink[512];
    while (n > 0) {
      const std::size_t k = std::min(n, sizeof sink);
      if (take(sink, k) < k) return;
      n -= k;
    }
  }

  istream& is_;
  std::streambuf* sb_;
  bool ended_ = false;
};

bool is_number(int type) { return type >= t_int_pos && type <= t_dec_neg; }

// Integer or decimal data (types 4 to 7): the exponent byte and eight
// mantissa bytes at most matter; the rest is passed over.
struct number {
  bool is_decimal;
  std::int64_t integer;
  decimal dec;

  static number read(reader& r, const elem_header& h) {
    const bool negative = h.type == t_int_neg || h.type == t_dec_neg;
    const bool integer = h.type <= t_int_neg;
    if (integer) {
      if (const unsigned char* p = r.in_place(h.data, 8)) return {false, int_value_wide(p, h.data, negative), {}};
    }
    unsigned char copy[9];
    const unsigned char* data = r.in_place(h.data);
    std::size_t n = std::min<std::size_t>(h.data, sizeof copy);
    if (data == nullptr) {
      n = r.take(copy, n);
      r.skip(h.data - std::min<std::size_t>(h.data, sizeof copy));
      data = copy;
    }
    if (integer) return {false, int_value(data, n, negative), {}};
    return {true, 0, decimal::from(data, n, negative)};
  }

  std::int64_t as_int() const { return is_decimal ? dec.truncated() : integer; }
  double as_double() const { return is_decimal ? dec.value() : static_cast<double>(integer); }
  // Decimal digits of an integer, "%.15f" of a decimal; out has room for
  // max_double_text.
  std::size_t text(char* out) const { return is_decimal ? format_double(dec.value(), out) : format_int(integer, out); }
};

// 8-bit text of n bytes read as a number: its first max_text8 bytes, in place
// when the buffer holds the element, else copied into conv_buf and
// NUL-terminated; the rest passed over.
struct text8 {
  const char* p;
  std::size_t n;
};

text8 read_text8(reader& r, std::size_t n) {
  const std::size_t k = std::min(n, max_text8);
  if (const unsigned char* p = r.in_place(n)) return {reinterpret_cast<const char*>(p), k};
  const std::size_t got = r.take(conv_buf, k);
  conv_buf[got] = 0;
  r.skip(n - k);
  return {conv_buf, got};
}

// The first max_text16 bytes of n into copy_buf as zero-terminated client
// 16-bit text; the rest passed over.
const unsigned short* read_text16(reader& r, std::size_t n, unsigned short& units) {
  const std::size_t k = std::min(n, max_text16);
  const std::size_t got = r.take(copy_buf, k);
  r.skip(n - k);
  const unsigned short* text;
  torqa_uni_to_uni(copy_buf, static_cast<unsigned short>(got), &text, &units);
  return text;
}

// 16-bit text parsed as a double: its ASCII prefix, narrowed into conv_buf.
bool parse_double16(const unsigned short* text, std::size_t n, double& v) {
  std::size_t i = 0;
  for (; i < n && text[i] < 0x80; ++i) conv_buf[i] = static_cast<char>(text[i]);
  return parse_double(conv_buf, i, v);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// 8-bit text read as stream extraction reads a 64-bit integer in the C
// locale: blanks, a sign, then digits that must be there and fit; on
// failure v = 0.
bool extract_int(const char* p, std::size_t n, std::int64_t& v) {
  const char* const end = p + n;
  while (p < end && is_blank(*p)) ++p;
  const char* from = p;  // from_chars takes a minus sign but no plus
  if (p < end && (*p == '+' || *p == '-')) from += *p++ == '+';
  std::int64_t x = 0;
  const bool ok = p < end && is_digit(*p) && std::from_chars(from, end, x).ec == std::errc{};
  v = ok ? x : 0;
  return ok;
}

// 8-bit text read as stream extraction reads a double in the C locale:
// blanks, then the longest run of the form [sign] digits [. digits]
// [e [sign] digits], which must hold a mantissa digit, digits after an
// exponent mark, and a finite value; on failure v = 0.
bool extract_double(const char* p, std::size_t n, double& v) {
  const char* const end = p + n;
  while (p < end && is_blank(*p)) ++p;
  const char* const from = p;
  v = 0.0;
  p += p < end && (*p == '+' || *p == '-');
  const char* const mantissa = p;
  while (p < end && is_digit(*p)) ++p;
  std::size_t digits = static_cast<std::size_t>(p - mantissa);
  if (p < end && *p == '.') {
    const char* const fraction = ++p;
    while (p < end && is_digit(*p)) ++p;
    digits += static_cast<std::size_t>(p - fraction);
  }
  if (digits == 0) return false;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    p += p < end && (*p == '+' || *p == '-');
    const char* const exponent = p;
    while (p < end && is_digit(*p)) ++p;
    if (p == exponent) return false;
  }
  double x = 0.0;
  if (!parse_double(from, static_cast<std::size_t>(p - from), x) || std::isinf(x)) return false;
  v = x;
  return true;
}

void read_as_str(reader& r, const elem_header& h, bool& is_uni, std::string& s) {
  is_uni = false;
  if (h.type == t_text || h.type == t_uni) {
    is_uni = h.type == t_uni;
    if (const unsigned char* p = r.in_place(h.data)) {
      s.assign(reinterpret_cast<const char*>(p), h.data);
    } else {
      s.resize(h.data);
      s.resize(r.take(s.data(), h.data));
    }
  } else if (is_number(h.type)) {
    char text[max_double_text];
    s.assign(text, number::read(r, h).text(text));
  } else {
    r.skip(h.data);
    s.clear();
  }
}

// String form: every byte the buffer can still deliver, handed to `sink`
// in runs; the stream is then at its end.
template <class Sink>
void read_all(istream& is, Sink sink) {
  if (std::streambuf* sb = is.rdbuf()) {
    char run[4096];
    for (std::streamsize n; (n = sb->in_avail()) > 0;) {
      const std::streamsize got = sb->sgetn(run, std::min<std::streamsize>(n, sizeof run));
      if (got <= 0) break;
      sink(run, static_cast<std::size_t>(got));
    }
  }
  is.setstate(std::ios_base::eofbit);
}

// String form, 8-bit: the whole remaining text, of which the first
// max_text8 bytes land in conv_buf. Returns their count.
std::size_t read_all_text8(istream& is) {
  std::size_t n = 0;
  read_all(is, [&n](const char* p, std::size_t k) {
    k = std::min(k, max_text8 - n);
    std::memcpy(conv_buf + n, p, k);
    n += k;
  });
  conv_buf[n] = 0;
  return n;
}

// String form, 16-bit: the whole run of a t_istrbuf from its first byte as
// client 16-bit text in copy_buf; the stream is then at its end. Other stream
// buffers are refused (null).
const unsigned short* whole_text16(istream& is, unsigned short& units) {
  const auto* b = dynamic_cast<const t_istrbuf*>(is.rdbuf());
  if (b == nullptr) return nullptr;
  const std::size_t k = std::min(b->length(), max_text16);
  if (k != 0) std::memcpy(copy_buf, b->begin(), k);
  read_all(is, [](const char*, std::size_t) {});
  const unsigned short* text;
  torqa_uni_to_uni(copy_buf, static_cast<unsigned short>(k), &text, &units);
  return text;
}

}  // namespace

// ---- list form ----

in_fmt::~in_fmt() = default;

void in_fmt::get_mb_str(istream&, std::string& s) { s.clear(); }

void dlist_in_fmt::skip(istream& is) {
  reader r(is);
  r.skip(r.header().data);
  r.finish();
}

void dlist_in_fmt::get_str(istream& is, bool& is_uni, std::string& s) {
  reader r(is);
  read_as_str(r, r.header(), is_uni, s);
  r.finish();
}

void dlist_in_fmt::get_mb_str(istream& is, std::string& s) {
  reader r(is);
  const elem_header h = r.header();
  if (h.type != t_uni) {
    bool is_uni;
    read_as_str(r, h, is_uni, s);
    r.finish();
    return;
  }
  // 16-bit text of any length: read in pieces through copy_buf and convert
  // each; up to 3 bytes (an odd byte, a high surrogate) carry over.
  s.clear();
  std::size_t left = h.data, have = 0;
  for (;;) {
    const std::size_t want = std::min(left, srv_piece_bytes - have);
    const std::size_t got = r.take(copy_buf + have, want);
    left = got < want ? 0 : left - want;
    have += got;
    const std::size_t used = append_srv_as_mb(copy_buf, have, s, left > 0);
    if (left == 0) break;
    have -= used;
    std::memmove(copy_buf, copy_buf + used, have);
  }
  r.finish();
}

void dlist_in_fmt::get_bytes(istream& is, bool& is_uni, char* buf, unsigned short cap, unsigned short& len) {
  reader r(is);
  const elem_header h = r.header();
  is_uni = false;
  len = 0;
  if (h.type == t_text || h.type == t_uni) {
    const std::size_t k = std::min<std::size_t>(h.data, cap);
    if (const unsigned char* p = r.in_place(h.data)) {
      if (k != 0) std::memcpy(buf, p, k);
      len = static_cast<unsigned short>(k);
    } else {
      len = static_cast<unsigned short>(r.take(buf, k));
      r.skip(h.data - k);
    }
    is_uni = h.type == t_uni;
  } else if (is_number(h.type)) {
    char text[max_double_text];
    const std::size_t n = std::min<std::size_t>(number::read(r, h).text(text), cap);
    if (n != 0) std::memcpy(buf, text, n);
    len = static_cast<unsigned short>(n);
  } else {
    r.skip(h.data);
  }
  r.finish();
}

void dlist_in_fmt::get_double(istream& is, double& v, bool& null_flag) {
  reader r(is);
  const elem_header h = r.header();
  if (is_number(h.type)) {
    v = number::read(r, h).as_double();
    null_flag = false;
  } else if (h.type == t_text) {
    if (h.data == 0) {
      v = 0.0;
      null_flag = true;
    } else {
      const text8 t = read_text8(r, h.data);
      null_flag = !parse_double(t.p, t.n, v);
    }
  } else if (h.type == t_uni) {
    unsigned short units;
    const unsigned short* text = read_text16(r, h.data, units);
    null_flag = !parse_double16(text, units, v);
  } else {
    r.skip(h.data);
    null_flag = true;
  }
  r.finish();
}

void dlist_in_fmt::get_int(istream& is, std::int64_t& v, bool& null_flag) {
  reader r(is);
  const elem_header h = r.header();
  null_flag = false;
  if (is_number(h.type)) {
    v = number::read(r, h).as_int();
  } else if (h.type == t_text) {
    if (h.data == 0) {
      v = 0;
      null_flag = true;
    } else {
      const text8 t = read_text8(r, h.data);
      v = parse_int(t.p, t.n);
    }
  } else if (h.type == t_uni) {
    unsigned short units;
    const unsigned short* text = read_text16(r, h.data, units);
    v = parse_int(text, units);
  } else {
    r.skip(h.data);
    null_flag = true;
  }
  r.finish();
}

// ---- string form ----

void str_in_fmt::skip(istream&) {}

void str_in_fmt::get_mb_str(istream&, std::string&) {}

void str_in_fmt::get_str(istream& is, bool& uni, std::string& s) {
  s.clear();
  read_all(is, [&s](const char* p, std::size_t n) { s.append(p, n); });
  uni = is_uni;
}

void str_in_fmt::get_bytes(istream& is, bool& uni, char* buf, unsigned short cap, unsigned short& len) {
  len = 0;
  if (std::streambuf* sb = is.rdbuf()) {
    const std::streamsize n = std::min<std::streamsize>(sb->in_avail(), cap);
    if (n > 0) len = static_cast<unsigned short>(sb->sgetn(buf, n));
  }
  uni = is_uni;
}

void str_in_fmt::get_double(istream& is, double& v, bool& null_flag) {
  if (!is_uni) {
    null_flag = !extract_double(conv_buf, read_all_text8(is), v);
    return;
  }
  unsigned short units;
  const unsigned short* text = whole_text16(is, units);
  null_flag = text == nullptr || !parse_double16(text, units, v);
}

void str_in_fmt::get_int(istream& is, std::int64_t& v, bool& null_flag) {
  if (!is_uni) {
    null_flag = !extract_int(conv_buf, read_all_text8(is), v);
    return;
  }
  unsigned short units;
  const unsigned short* text = whole_text16(is, units);
  null_flag = text == nullptr;
  if (text != nullptr) v = parse_int(text, units);
}

// ---- streams and buffers ----

std::streamsize t_ibuf::showmanyc() { return 0; }

t_istrbuf::t_istrbuf(char* p, int n) { reset(p, n); }

void t_istrbuf::reset(char* p, int n) {
  if (p == nullptr || n < 0) n = 0;
  setg(p, p, p + n);
}

std::streamsize t_istrbuf::showmanyc() { return egptr() - gptr(); }

t_istream::t_istream() : std::basic_istream<char>(nullptr), fmt_(&list_fmt_) {}

t_istream::~t_istream() = default;

bool t_istream::at_end() { return buf_ == nullptr || buf_->available() <= 0; }

void t_istream::skip_rest() {
  if (buf_ == nullptr) return;
  char sink[512];
  for (std::streamsize n = buf_->available(); n > 0;) {
    const std::streamsize got = buf_->sgetn(sink, std::min<std::streamsize>(n, sizeof sink));
    if (got <= 0) break;
    n -= got;
  }
}

void t_istream::set_buf(t_ibuf* b) {
  buf_ = b;
  rdbuf(b);  // also clears the error state
}

t_istrstream::t_istrstream(char* p, int n) : sbuf_(p, n) { set_buf(&sbuf_); }

t_istrstream::~t_istrstream() = default;

void t_istrstream::reset(char* p, int n) {
  clear();
  sbuf_.reset(p, n);
}

void t_istream::read_int32(std::int64_t& v, bool& null_flag) {
  read_int(v, null_flag);
  if (fmt_ == &str_fmt_ && !str_fmt_.is_uni && !null_flag && static_cast<std::int32_t>(v) != v) {
    v = 0;
    null_flag = true;
  }
}

t_istream& operator>>(t_istream& is, int& v) {
  std::int64_t x = v;
  bool null_flag;
  is.read_int32(x, null_flag);
  v = static_cast<int>(static_cast<std::uint32_t>(x));
  return is;
}

t_istream& operator>>(t_istream& is, double& v) {
  bool null_flag;
  is.read_double(v, null_flag);
  return is;
}

t_istream& operator>>(t_istream& is, std::string& s) {
  bool is_uni;
  is.read_str(is_uni, s);
  return is;
}

t_istream& operator>>(t_istream& is, D_type& v) {
  v.get(is, nullptr);
  return is;
}
