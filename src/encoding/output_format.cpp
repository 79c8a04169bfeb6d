// The output side of the list element format: t_ostream and its list form,
// and the in-memory output stream.
//
// The format stores each element straight into the stream buffer's put area
// when it has room, and otherwise writes through the buffer (sputn), which
// grows it: once the buffer has grown, encoding a value allocates nothing.
#include <torqa/conversions.h>
#include <torqa/streams.h>
#include <torqa/types.h>

#include "encoding/element.h"

#include <bit>
#include <cstring>

namespace {

using namespace torqa::detail;

// The put area of any stream buffer. A pointer to a protected member of
// std::streambuf may be formed in a derived class and applied to every stream
// buffer: this lets the format store a short element in place, as the
// standard inserters do, instead of a virtual call per element.
struct put_area : std::streambuf {
  // Where n bytes can be stored now, or null when the buffer must grow first.
  static char* room(std::streambuf* sb, std::size_t n) {
    if (sb == nullptr) return nullptr;
    char* p = (sb->*&put_area::pptr)();
    return static_cast<std::size_t>((sb->*&put_area::epptr)() - p) >= n ? p : nullptr;
  }
  static void advance(std::streambuf* sb, std::size_t n) { (sb->*&put_area::pbump)(static_cast<int>(n)); }
};

// Through the buffer's own write, which grows it; badbit when refused. Kept
// out of line so that the in-place paths need no stack frame.
[[gnu::noinline]] void write_slow(t_ostream& os, const void* p, std::size_t n) {
  std::streambuf* sb = os.rdbuf();
  if (sb == nullptr || sb->sputn(static_cast<const char*>(p), static_cast<std::streamsize>(n)) !=
                           static_cast<std::streamsize>(n))
    os.setstate(std::ios_base::badbit);
}

void write(t_ostream& os, const void* p, std::size_t n) {
  std::streambuf* sb = os.rdbuf();
  if (char* dst = put_area::room(sb, n)) {
    std::memcpy(dst, p, n);
    put_area::advance(sb, n);
  } else {
    write_slow(os, p, n);
  }
}

// An integer element when the buffer must grow first.
[[gnu::noinline]] void write_int_slow(t_ostream& os, std::uint64_t u, unsigned k, unsigned char type) {
  unsigned char block[10] = {static_cast<unsigned char>(k + 2), type};
  for (unsigned i = 0; i < k; ++i) block[2 + i] = static_cast<unsigned char>(u >> (8 * i));
  write_slow(os, block, k + 2);
}

void write_element(t_ostream& os, int type, const char* data, std::size_t n) {
  unsigned char head[4];
  const unsigned h = encode_header(type, n, head);
  std::streambuf* sb = os.rdbuf();
  if (char* dst = put_area::room(sb, h + n)) {
    for (unsigned i = 0; i < h; ++i) dst[i] = static_cast<char>(head[i]);
    if (n != 0) std::memcpy(dst + h, data, n);
    put_area::advance(sb, h + n);
    return;
  }
  write_slow(os, head, h);
  write_slow(os, data, n);
}

}  // namespace

out_fmt::~out_fmt() = default;

void dlist_out_fmt::put_str(int kind, const char* data, unsigned short len) {
  switch (kind) {
    case 0:
      write_element(*os_, t_text, data, len);
      break;
    case 1:
      write_element(*os_, t_uni, data, len);
      break;
    case 2: {
      const char* srv;
      unsigned short n;
      uni_to_torqa_uni(reinterpret_cast<const unsigned short*>(data), len / 2, &srv, &n);
      write_element(*os_, t_uni, srv, n);
      break;
    }
    default:
      put_null();
  }
}

void dlist_out_fmt::put_double(double v) {
  // The text first, after room for either header; then its header right
  // before it, so that the element goes out in one piece.
  char block[4 + max_double_text];
  auto* text = reinterpret_cast<unsigned char*>(block + 4);
  const std::size_t n = format_double(v, block + 4);
  const unsigned h = n < 254 ? 2 : 4;
  encode_header(t_text, n, text - h);
  write(*os_, text - h, h + n);
}

void dlist_out_fmt::put_int(std::int64_t v) {
  // Type 4 for v >= 0, else 5; the byte count is that of v, or of ~v when
  // negative (the bytes above are then all 0xFF), at least one.
  const auto u = static_cast<std::uint64_t>(v);
  const std::uint64_t w = v < 0 ? ~u : u;
  const unsigned k = w == 0 ? 1 : (std::bit_width(w) + 7) / 8;
  const auto type = static_cast<unsigned char>(v < 0 ? t_int_neg : t_int_pos);
  std::streambuf* sb = os_->rdbuf();
  if (char* dst = put_area::room(sb, 10)) {
    // With room for the longest element, all eight bytes of v are stored
    // (one 64-bit store); only the element's own bytes count.
    dst[0] = static_cast<char>(k + 2);
    dst[1] = static_cast<char>(type);
    if constexpr (std::endian::native == std::endian::little)
      std::memcpy(dst + 2, &u, 8);
    else
      for (unsigned i = 0; i < 8; ++i) dst[2 + i] = static_cast<char>(u >> (8 * i));
    put_area::advance(sb, k + 2);
    return;
  }
  write_int_slow(*os_, u, k, type);
}

void dlist_out_fmt::put_null() {
  static constexpr unsigned char null_elem[2] = {2, t_text};
  write(*os_, null_elem, 2);
}

t_ostream::t_ostream() : std::basic_ostream<char>(nullptr), fmt_(&list_fmt_) { list_fmt_.bind(this); }

t_ostrbuf::t_ostrbuf() : std::basic_stringbuf<char>(std::ios_base::in | std::ios_base::out) {}
t_ostrbuf::~t_ostrbuf() = default;

t_ostrstream::t_ostrstream() { rdbuf(&buf_); }
t_ostrstream::t_ostrstream(const t_ostrstream&) : t_ostrstream() {}
t_ostrstream::~t_ostrstream() = default;

void t_ostrstream::reset() {
  clear();
  buf_.rewind();
}

t_ostream& operator<<(t_ostream& os, int v) {
  os.put_int(v);
  return os;
}

t_ostream& operator<<(t_ostream& os, unsigned int v) {
  os.put_int(static_cast<std::int64_t>(v));
  return os;
}

t_ostream& operator<<(t_ostream& os, bool v) {
  os.put_int(v ? 1 : 0);
  return os;
}

t_ostream& operator<<(t_ostream& os, std::int64_t v) {
  os.put_int(v);
  return os;
}

t_ostream& operator<<(t_ostream& os, double v) {
  os.put_double(v);
  return os;
}

t_ostream& operator<<(t_ostream& os, const D_type& v) {
  v.put(os, nullptr);
  return os;
}
