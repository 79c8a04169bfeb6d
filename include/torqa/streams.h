// Typed value streams: the list element format every value travels in.
//
// t_ostream writes values as list elements (length, type byte, data);
// t_istream reads them back, converting between element types, in the list
// form or in the string form (the whole remaining input is one plain-text
// value). t_ostrstream and t_istrstream are the in-memory variants; the
// session's message streams derive from the same bases.
//
// A t_istrstream reads caller-owned bytes and never copies or frees them.
// Decoding never throws on malformed bytes: an undecodable element reads as
// null (numbers) or empty (strings), and the element is consumed. Exceptions
// raised by a stream buffer (a failed reply read) propagate to the reader.
// Streams use the scratch of the calling thread (conversions.h).
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A stream is
// used by one thread at a time.
#pragma once

#include <torqa/export.h>
// Before the operator>> for db_output below: its friend declaration must come
// first, or mingw's compiler warns that the imported function is redeclared.
#include <torqa/output.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <type_traits>

class D_type;
class t_ostream;

/// Mix-in flag: the server this stream or list talks to uses 16-bit text.
class TORQA_API is_uni_srv_info {
 public:
  bool is_uni_srv() const { return uni_srv_; }
  void set_uni_srv(bool uni) { uni_srv_ = uni; }

 private:
  bool uni_srv_ = false;
};

/// Abstract output format. `kind` of put_str: 0 = 8-bit text or raw bytes,
/// 1 = 16-bit text already in the server's form, 2 = client 16-bit text
/// (`len` is then 2 x characters).
class TORQA_API out_fmt {
 public:
  virtual ~out_fmt();
  virtual void put_str(int kind, const char* data, unsigned short len) = 0;
  virtual void put_double(double v) = 0;
  virtual void put_int(std::int64_t v) = 0;
  virtual void put_null() = 0;

  /// Binds the stream whose buffer this format writes to.
  void bind(t_ostream* os) { os_ = os; }

 protected:
  t_ostream* os_ = nullptr;
};

/// The list form: short (n <= 253), long (n >= 254) element headers.
class TORQA_API dlist_out_fmt : public out_fmt {
 public:
  void put_str(int kind, const char* data, unsigned short len) override;
  void put_double(double v) override;
  void put_int(std::int64_t v) override;
  void put_null() override;

 private:
  // n bytes: stored in place when the stream's buffer has room, else
  // through sputn (which grows it); badbit when the buffer refuses them.
  void write(const void* p, std::size_t n);
  void write_element(int type, const char* data, std::size_t n);
  // put_double through a scratch text, when it cannot format in place.
  void write_double(double v);
};

/// Growable in-memory output buffer, the base of t_ostrbuf and of the
/// request buffer t_otcpbuf. A t_ostream that attached it stores elements
/// straight into its put area while there is room.
class TORQA_API t_obuf : public std::basic_stringbuf<char> {
 public:
  t_obuf();
  ~t_obuf() override;
  /// First byte written.
  const char* data() const { return pbase(); }
  /// Bytes written since the last rewind().
  std::size_t size() const { return static_cast<std::size_t>(pptr() - pbase()); }
  /// Moves the output position back to the start, keeping the storage.
  void rewind() { setp(pbase(), epptr()); }
  /// Bytes that can be stored at next() before the buffer must grow
  /// (sputn grows it).
  std::size_t room() const { return static_cast<std::size_t>(epptr() - pptr()); }
  /// Where the next byte goes.
  char* next() { return pptr(); }
  /// Counts n bytes stored at next() as written.
  void commit(std::size_t n) { pbump(static_cast<int>(n)); }
};

namespace torqa::detail {

/// Stores the list element of v at p, which has room for 10 bytes (all of
/// them may be written); returns the element's length. Type 4 for v >= 0,
/// else 5; the data are the low-order bytes of v, as many as w needs (w is
/// v, or ~v when negative: the bytes above are then all 0xFF), at least one.
inline std::size_t store_int_element(char* p, std::int64_t v) {
  const auto u = static_cast<std::uint64_t>(v);
  const std::uint64_t w = v < 0 ? ~u : u;
  const auto length = static_cast<unsigned>(std::bit_width(w | 1) + 23) / 8;  // k + 2
  p[0] = static_cast<char>(length);
  p[1] = static_cast<char>(4 + (u >> 63));
  if constexpr (std::endian::native == std::endian::little)
    std::memcpy(p + 2, &u, 8);  // one store
  else
    for (unsigned i = 0; i < 8; ++i) p[2 + i] = static_cast<char>(u >> (8 * i));
  return length;
}

}  // namespace torqa::detail

/// Typed output stream; always writes the list form, through its own
/// dlist_out_fmt (no other format is ever current, so it is called
/// directly). While the stream buffer is the t_obuf a derived stream
/// attached and has room, integers, the null and text are stored in place
/// here; every other write goes through the format.
class TORQA_API t_ostream : public std::basic_ostream<char>, public is_uni_srv_info {
 public:
  t_ostream();
  t_ostream(const t_ostream&) = delete;
  t_ostream& operator=(const t_ostream&) = delete;

  void put_str(int kind, const char* data, unsigned short len) {
    // Client 16-bit text (kind 2) already has the server's form: the same
    // units go out as type 2, an odd trailing byte dropped.
    const unsigned n = kind == 2 ? len & ~1u : len;
    const auto text = [&](char* p) {
      const char type = static_cast<char>(kind == 0 ? 1 : 2);
      std::size_t header = 2;
      if (n < 254) {
        p[0] = static_cast<char>(n + 2);
        p[1] = type;
      } else {  // long form: 0, the length plus one (16 bits, low byte first), the type
        p[0] = 0;
        p[1] = static_cast<char>((n + 1) & 0xFF);
        p[2] = static_cast<char>(((n + 1) >> 8) & 0xFF);
        p[3] = type;
        header = 4;
      }
      if (n != 0) std::memcpy(p + header, data, n);
      return header + n;
    };
    if (static_cast<unsigned>(kind) > 2 || !store(std::size_t{n} + 4, text)) list_fmt_.put_str(kind, data, len);
  }
  void put_null() {
    const auto empty_text = [](char* p) {
      p[0] = 2;
      p[1] = 1;
      return std::size_t{2};
    };
    if (!store(2, empty_text)) list_fmt_.put_null();
  }
  void put_int(std::int64_t v) {
    const auto integer = [v](char* p) { return torqa::detail::store_int_element(p, v); };
    if (!store(10, integer)) list_fmt_.put_int(v);
  }
  void put_double(double v) { list_fmt_.put_double(v); }

 protected:
  /// Makes b the stream buffer, written in place while it stays so.
  void attach(t_obuf& b) {
    rdbuf(&b);
    obuf_ = &b;
  }

 private:
  friend class dlist_out_fmt;

  // The attached buffer when it is the stream's buffer and has room for n
  // more bytes, else null.
  t_obuf* in_place(std::size_t n) {
    t_obuf* b = obuf_;
    return b != nullptr && rdbuf() == b && b->room() >= n ? b : nullptr;
  }
  // Stores an element of at most `max` bytes in place, store_at(p) writing
  // it at p and returning its length; false when in_place(max) is null.
  template <class Store>
  bool store(std::size_t max, Store store_at) {
    t_obuf* b = in_place(max);
    if (b == nullptr) return false;
    b->commit(store_at(b->next()));
    return true;
  }

  dlist_out_fmt list_fmt_;
  t_obuf* obuf_ = nullptr;
};

/// Growable in-memory buffer of a t_ostrstream.
class TORQA_API t_ostrbuf : public t_obuf {
 public:
  t_ostrbuf();
  ~t_ostrbuf() override;
};

/// In-memory output stream. Copying starts a fresh, empty stream.
class TORQA_API t_ostrstream : public t_ostream {
 public:
  t_ostrstream();
  t_ostrstream(const t_ostrstream&);
  ~t_ostrstream() override;

  /// First byte written.
  const char* data() const { return buf_.data(); }
  /// Bytes written since the last reset().
  std::size_t size() const { return buf_.size(); }
  /// Clears the error state and rewinds to the start, keeping the storage.
  void reset();

 private:
  t_ostrbuf buf_;
};

/// Base of every buffer a t_istream reads from. available() is the number
/// of bytes that can still be read from this input.
class TORQA_API t_ibuf : public std::basic_streambuf<char> {
 public:
  std::streamsize available() { return showmanyc(); }

 protected:
  std::streamsize showmanyc() override;
};

/// Reads a caller-owned run of bytes [p, p + n); never copies or frees them.
class TORQA_API t_istrbuf : public t_ibuf {
 public:
  t_istrbuf(char* p, int n);
  void reset(char* p, int n);
  /// Start and length of the whole run, whatever has been read.
  const char* begin() const { return eback(); }
  std::size_t length() const { return static_cast<std::size_t>(egptr() - eback()); }

 protected:
  std::streamsize showmanyc() override;
};

/// Abstract input format; each operation reads from `is` (its stream buffer).
class TORQA_API in_fmt {
 public:
  virtual ~in_fmt();
  virtual void skip(std::basic_istream<char>& is) = 0;
  virtual void get_mb_str(std::basic_istream<char>& is, std::string& s);
  virtual void get_str(std::basic_istream<char>& is, bool& is_uni, std::string& s) = 0;
  virtual void get_bytes(std::basic_istream<char>& is, bool& is_uni, char* buf, unsigned short cap,
                         unsigned short& len) = 0;
  virtual void get_double(std::basic_istream<char>& is, double& v, bool& null_flag) = 0;
  virtual void get_int(std::basic_istream<char>& is, std::int64_t& v, bool& null_flag) = 0;
};

/// The list form: one list element per read, converting between types.
class TORQA_API dlist_in_fmt : public in_fmt {
 public:
  void skip(std::basic_istream<char>& is) override;
  void get_mb_str(std::basic_istream<char>& is, std::string& s) override;
  void get_str(std::basic_istream<char>& is, bool& is_uni, std::string& s) override;
  void get_bytes(std::basic_istream<char>& is, bool& is_uni, char* buf, unsigned short cap,
                 unsigned short& len) override;
  void get_double(std::basic_istream<char>& is, double& v, bool& null_flag) override;
  void get_int(std::basic_istream<char>& is, std::int64_t& v, bool& null_flag) override;
};

/// The string form: the whole remaining input is one plain-text value.
/// With is_uni set it is only used on a t_istrstream (it reads its whole run).
/// 8-bit text is read as stream extraction in the C locale reads a 64-bit
/// integer or a double: a run that is no whole number, or that does not
/// fit, reads as 0 and null.
class TORQA_API str_in_fmt : public in_fmt {
 public:
  void skip(std::basic_istream<char>& is) override;
  void get_mb_str(std::basic_istream<char>& is, std::string& s) override;
  void get_str(std::basic_istream<char>& is, bool& is_uni, std::string& s) override;
  void get_bytes(std::basic_istream<char>& is, bool& is_uni, char* buf, unsigned short cap,
                 unsigned short& len) override;
  void get_double(std::basic_istream<char>& is, double& v, bool& null_flag) override;
  void get_int(std::basic_istream<char>& is, std::int64_t& v, bool& null_flag) override;

  bool is_uni = false;
};

/// Typed input stream; starts in the list form with no buffer.
class TORQA_API t_istream : public std::basic_istream<char> {
 public:
  t_istream();
  t_istream(const t_istream&) = delete;
  t_istream& operator=(const t_istream&) = delete;
  ~t_istream() override;

  /// True when the input is exhausted.
  virtual bool at_end();
  /// Discards the rest of the input.
  virtual void skip_rest();

  /// Clears the error state and reads from `b` from now on.
  void set_buf(t_ibuf* b);
  void use_list_fmt() { fmt_ = &list_fmt_; }
  void use_str_fmt(bool is_uni) {
    str_fmt_.is_uni = is_uni;
    fmt_ = &str_fmt_;
  }

  void read_int(std::int64_t& v, bool& null_flag) { fmt_->get_int(*this, v, null_flag); }
  /// read_int for a 32-bit target (d_int, operator>> into int): in the
  /// 8-bit string form a value that does not fit 32 bits reads as 0 and
  /// null; in the other forms the caller keeps the low 32 bits.
  void read_int32(std::int64_t& v, bool& null_flag);
  void read_double(double& v, bool& null_flag) { fmt_->get_double(*this, v, null_flag); }
  void read_bytes(bool& is_uni, char* buf, unsigned short cap, unsigned short& len) {
    fmt_->get_bytes(*this, is_uni, buf, cap, len);
  }
  void read_str(bool& is_uni, std::string& s) { fmt_->get_str(*this, is_uni, s); }
  void read_mb_str(std::string& s) { fmt_->get_mb_str(*this, s); }
  void skip() { fmt_->skip(*this); }

 protected:
  t_ibuf* buf_ = nullptr;

 private:
  dlist_in_fmt list_fmt_;
  str_in_fmt str_fmt_;
  in_fmt* fmt_;
};

/// In-memory input stream over caller-owned bytes, in the list form.
class TORQA_API t_istrstream : public t_istream {
 public:
  t_istrstream(char* p, int n);
  ~t_istrstream() override;
  /// Clears the error state and re-points the stream at [p, p + n).
  void reset(char* p, int n);

 private:
  t_istrbuf sbuf_;
};

TORQA_API t_ostream& operator<<(t_ostream& os, int v);
TORQA_API t_ostream& operator<<(t_ostream& os, unsigned int v);
TORQA_API t_ostream& operator<<(t_ostream& os, bool v);
TORQA_API t_ostream& operator<<(t_ostream& os, std::int64_t v);
TORQA_API t_ostream& operator<<(t_ostream& os, double v);
TORQA_API t_ostream& operator<<(t_ostream& os, const D_type& v);
/// Raw text is not an element: write d_string("...") instead.
t_ostream& operator<<(t_ostream& os, const char* s) = delete;
/// Any value class written to a typed stream: a better match than both the
/// D_type overload and the std::ostream printers of d_string and the
/// calendar types, so that `os << d_string("x")` is not ambiguous.
template <class T>
  requires std::is_base_of_v<D_type, T>
t_ostream& operator<<(t_ostream& os, const T& v) {
  return os << static_cast<const D_type&>(v);
}

/// Stores the low 32 bits of read_int32; an undecodable element leaves `v`
/// unchanged (callers that care use read_int and its null indication).
TORQA_API t_istream& operator>>(t_istream& is, int& v);
TORQA_API t_istream& operator>>(t_istream& is, double& v);
TORQA_API t_istream& operator>>(t_istream& is, std::string& s);
TORQA_API t_istream& operator>>(t_istream& is, D_type& v);
TORQA_API t_istream& operator>>(t_istream& is, db_output& o);
