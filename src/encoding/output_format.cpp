// The output side of the list element format: t_ostream and its list form,
// and the in-memory output stream.
//
// Elements are stored straight into the put area of the stream's attached
// buffer when it has room, and otherwise written through the buffer (sputn),
// which grows it: once the buffer has grown, encoding a value allocates
// nothing.
#include <torqa/conversions.h>
#include <torqa/streams.h>
#include <torqa/types.h>

#include "encoding/element.h"

#include <cstring>

using namespace torqa::detail;

out_fmt::~out_fmt() = default;

void dlist_out_fmt::write(const void* p, std::size_t n) {
  if (os_->store(n, [&](char* dst) {
        std::memcpy(dst, p, n);
        return n;
      }))
    return;
  std::streambuf* sb = os_->rdbuf();
  if (sb == nullptr || sb->sputn(static_cast<const char*>(p), static_cast<std::streamsize>(n)) !=
                           static_cast<std::streamsize>(n))
    os_->setstate(std::ios_base::badbit);
}

void dlist_out_fmt::write_element(int type, const char* data, std::size_t n) {
  if (os_->store(4 + n, [&](char* dst) {
        const unsigned h = encode_header(type, n, reinterpret_cast<unsigned char*>(dst));
        if (n != 0) std::memcpy(dst + h, data, n);
        return h + n;
      }))
    return;
  unsigned char head[4];
  write(head, encode_header(type, n, head));
  if (n != 0) write(data, n);
}

void dlist_out_fmt::put_str(int kind, const char* data, unsigned short len) {
  switch (kind) {
    case 0:
      write_element(t_text, data, len);
      break;
    case 1:
      write_element(t_uni, data, len);
      break;
    case 2: {
      const char* srv;
      unsigned short n;
      uni_to_torqa_uni(reinterpret_cast<const unsigned short*>(data), len / 2, &srv, &n);
      write_element(t_uni, srv, n);
      break;
    }
    default:
      put_null();
  }
}

void dlist_out_fmt::put_double(double v) {
  // The common magnitudes are formatted in place, after a short header.
  if (t_obuf* b = os_->in_place(2 + fast_double_room)) {
    char* dst = b->next();
    if (const std::size_t n = format_double_fast(v, dst + 2)) {
      b->commit(encode_header(t_text, n, reinterpret_cast<unsigned char*>(dst)) + n);
      return;
    }
  }
  write_double(v);
}

void dlist_out_fmt::write_double(double v) {
  char text[max_double_text];
  write_element(t_text, text, format_double(v, text));
}

void dlist_out_fmt::put_int(std::int64_t v) {
  char block[10];
  write(block, store_int_element(block, v));
}

void dlist_out_fmt::put_null() {
  static constexpr char null_elem[2] = {2, t_text};
  write(null_elem, 2);
}

t_ostream::t_ostream() : std::basic_ostream<char>(nullptr) { list_fmt_.bind(this); }

t_obuf::t_obuf() : std::basic_stringbuf<char>(std::ios_base::in | std::ios_base::out) {}
t_obuf::~t_obuf() = default;

t_ostrbuf::t_ostrbuf() = default;
t_ostrbuf::~t_ostrbuf() = default;

t_ostrstream::t_ostrstream() { attach(buf_); }
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
