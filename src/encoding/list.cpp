// d_list: a list value kept in the list element format, a cursor over it, and
// element edits encoded through the shared stream d_list::out.
#include <torqa/conversions.h>
#include <torqa/errors.h>
#include <torqa/list.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "encoding/element.h"
#include "transport/driver.h"

thread_local t_ostrstream d_list::out;

namespace {

using torqa::detail::max_elem_data;

const unsigned char* bytes_at(const char* p) { return reinterpret_cast<const unsigned char*>(p); }

// Bytes the element at p occupies, bounded by the `avail` bytes left in its
// list: an element whose header or data runs past them takes the rest, so
// walking a corrupt list stops at its end. Never 0 while avail > 0.
std::size_t bounded_length(const char* p, std::size_t avail) {
  const std::size_t n = torqa::detail::element_length(bytes_at(p), avail);
  return n == 0 ? avail : n;
}

// The cursor offset as a position in the bytes. The bytes may have been
// replaced by shorter ones (d_binary::assign or get) since the cursor moved.
std::size_t position(const std::string& bytes, int offset) {
  return std::min(static_cast<std::size_t>(std::max(offset, 0)), bytes.size());
}

// Bytes of the element at `at`, bounded by the end; 0 at the end.
std::size_t length_at(const std::string& bytes, std::size_t at) {
  return at < bytes.size() ? bounded_length(bytes.data() + at, bytes.size() - at) : 0;
}

// Length of the element at p from its header alone: the static decoders
// trust that the header and the data it announces are readable.
std::size_t trusted_length(const char* p) {
  torqa::detail::elem_header h;
  torqa::detail::decode_header(bytes_at(p), 4, h);  // reads only the 1, 2 or 4 header bytes
  return h.total();
}

void read_into(t_istream& is, std::int64_t* v) {
  bool null = false;
  is.read_int(*v, null);
}

void read_into(t_istream& is, double* v) {
  bool null = false;
  is.read_double(*v, null);
}

void read_into(t_istream& is, D_type& v) { v.get(is, nullptr); }

// Reads one value from the n bytes at p; nothing beyond them is read.
template <class Target>
void read_element(const char* p, std::size_t n, Target& target) {
  t_istrstream is(const_cast<char*>(p), static_cast<int>(n));
  read_into(is, target);
}

template <class Target>
void read_current(const std::string& bytes, int offset, Target& target) {
  const std::size_t at = position(bytes, offset);
  read_element(bytes.data() + at, length_at(bytes, at), target);
}

[[noreturn]] void too_long() { throw Db_err(-1000, "value too long for one element"); }

// Encodes one value into d_list::out with `write`, after giving out the
// list's server flag when `copy_flag`. Returns the encoding; one longer than
// a single element may be is refused before the list is touched.
template <class Write>
std::string_view encode(const is_uni_srv_info& list, bool copy_flag, Write write) {
  if (copy_flag) d_list::out.set_uni_srv(list.is_uni_srv());
  d_list::out.reset();
  write(d_list::out);
  if (d_list::out.size() > max_elem_data) too_long();
  return {d_list::out.data(), d_list::out.size()};
}

std::string_view encode(const is_uni_srv_info& l, std::int64_t v) {
  return encode(l, true, [v](t_ostream& os) { os.put_int(v); });
}

std::string_view encode(const is_uni_srv_info& l, double v) {
  return encode(l, true, [v](t_ostream& os) { os.put_double(v); });
}

std::string_view encode(const is_uni_srv_info& l, const d_binary& v) {
  return encode(l, true, [&v](t_ostream& os) { v.put(os, nullptr); });
}

std::string_view encode(const is_uni_srv_info& l, const char* text, unsigned short len) {
  return encode(l, false, [text, len](t_ostream& os) { os.put_str(0, text, len); });
}

// Client 16-bit text: unchanged as type 2 to a 16-bit server, converted to
// 8-bit text by the driver for an 8-bit server.
std::string_view encode(const is_uni_srv_info& l, const unsigned short* text, unsigned short len) {
  return encode(l, true, [&l, text, len](t_ostream& os) {
    if (l.is_uni_srv()) {
      if (2u * len > max_elem_data) too_long();
      os.put_str(2, reinterpret_cast<const char*>(text), static_cast<unsigned short>(2 * len));
    } else {
      const unsigned short n = torqa::detail::driver().DrvUniToMb(text, len, conv_buf, sizeof conv_buf);
      os.put_str(0, conv_buf, n);
    }
  });
}

enum class place { current, before_current, end };

// Puts an encoding into the bytes: over the current element, before it, or
// after the last one. A cursor at (or beyond) the end edits at the end. The
// list then holds a value: it is no longer null.
void edit(std::string& bytes, bool& null, int offset, place where, std::string_view enc) {
  null = false;
  const std::size_t at = position(bytes, offset);
  switch (where) {
    case place::current:
      bytes.replace(at, length_at(bytes, at), enc);
      break;
    case place::before_current:
      bytes.insert(at, enc);
      break;
    case place::end:
      bytes.append(enc);
      break;
  }
}

}  // namespace

d_list::d_list(const char* p, std::size_t n) : d_binary(p, n) {}

d_list::d_list(const d_binary& bytes) : d_binary(bytes) {}

d_list::~d_list() = default;

// ---- decoding

void d_list::get_elem(const char* p, std::int64_t* v) { read_element(p, trusted_length(p), v); }
void d_list::get_elem(const char* p, double* v) { read_element(p, trusted_length(p), v); }
void d_list::get_elem(const char* p, d_string& s) { read_element(p, trusted_length(p), s); }
void d_list::get_elem(const char* p, d_binary& b) { read_element(p, trusted_length(p), b); }

void d_list::get_elem(std::int64_t* v) const { read_current(bytes_, offset_, v); }
void d_list::get_elem(double* v) const { read_current(bytes_, offset_, v); }
void d_list::get_elem(d_string& s) const { read_current(bytes_, offset_, s); }
void d_list::get_elem(d_binary& b) const { read_current(bytes_, offset_, b); }

// ---- editing: the cursor does not move; an edited list is not null.

void d_list::set_elem(std::int64_t v) { edit(bytes_, null_, offset_, place::current, encode(*this, v)); }
void d_list::set_elem(double v) { edit(bytes_, null_, offset_, place::current, encode(*this, v)); }
void d_list::set_elem(const d_string& v) { edit(bytes_, null_, offset_, place::current, encode(*this, v)); }
void d_list::set_elem(const d_binary& v) { edit(bytes_, null_, offset_, place::current, encode(*this, v)); }
void d_list::set_elem(const char* text, unsigned short len) {
  edit(bytes_, null_, offset_, place::current, encode(*this, text, len));
}
void d_list::set_elem(const unsigned short* text, unsigned short len) {
  edit(bytes_, null_, offset_, place::current, encode(*this, text, len));
}

void d_list::ins_elem(std::int64_t v) {
  edit(bytes_, null_, offset_, place::before_current, encode(*this, v));
}
void d_list::ins_elem(double v) { edit(bytes_, null_, offset_, place::before_current, encode(*this, v)); }
void d_list::ins_elem(const d_string& v) {
  edit(bytes_, null_, offset_, place::before_current, encode(*this, v));
}
void d_list::ins_elem(const d_binary& v) {
  edit(bytes_, null_, offset_, place::before_current, encode(*this, v));
}
void d_list::ins_elem(const char* text, unsigned short len) {
  edit(bytes_, null_, offset_, place::before_current, encode(*this, text, len));
}
void d_list::ins_elem(const unsigned short* text, unsigned short len) {
  edit(bytes_, null_, offset_, place::before_current, encode(*this, text, len));
}

void d_list::append_elem(std::int64_t v) { edit(bytes_, null_, offset_, place::end, encode(*this, v)); }
void d_list::append_elem(double v) { edit(bytes_, null_, offset_, place::end, encode(*this, v)); }
void d_list::append_elem(const d_string& v) { edit(bytes_, null_, offset_, place::end, encode(*this, v)); }
void d_list::append_elem(const d_binary& v) { edit(bytes_, null_, offset_, place::end, encode(*this, v)); }
void d_list::append_elem(const char* text, unsigned short len) {
  edit(bytes_, null_, offset_, place::end, encode(*this, text, len));
}
void d_list::append_elem(const unsigned short* text, unsigned short len) {
  edit(bytes_, null_, offset_, place::end, encode(*this, text, len));
}
// ---- cursor

void d_list::move_to(int i) const {
  if (i == index_) return;
  if (i < index_) index_ = offset_ = 0;
  std::size_t at = position(bytes_, offset_);
  while (index_ < i && at < bytes_.size()) {
    ++index_;
    at += length_at(bytes_, at);
  }
  offset_ = static_cast<int>(at);
  if (index_ < i) throw Db_err(-1000, "d_list: no such element");
}

void d_list::next_elem() const {
  const std::size_t at = position(bytes_, offset_);
  if (at == bytes_.size()) return;
  ++index_;
  offset_ = static_cast<int>(at + length_at(bytes_, at));
}

int d_list::count() const {
  int n = 0;
  for (std::size_t at = 0; at < bytes_.size(); at += length_at(bytes_, at)) ++n;
  return n;
}
