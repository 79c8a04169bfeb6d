// The request and reply streams of a session.
//
// A request is built in a growing string buffer behind 14 reserved bytes
// and handed to the driver in one piece. A reply is pulled from the driver
// chunk by chunk into a buffer inside the stream object: the first 3 bytes
// keep characters for put-back, data lands from the fourth byte on.
#include <torqa/errors.h>
#include <torqa/message_streams.h>

#include "transport/driver.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

using torqa::detail::driver;

namespace {

// Data bytes one driver read may bring into the reply buffer.
constexpr unsigned max_fetch = t_itcpbuf::capacity - t_itcpbuf::put_back;

[[noreturn]] void chunk_header_failed() { throw Db_err(-1, "assertion failed in t_itcpbuf::reset()"); }
[[noreturn]] void chunk_data_failed() { throw Db_err(-1, "assertion failed in t_itcpbuf::underflow()"); }

}  // namespace

// ---- request side ----

t_otcpbuf::t_otcpbuf() = default;

t_otcpbuf::~t_otcpbuf() = default;

void t_otcpbuf::set_channel(void* ch) {
  channel = ch;
  start_message();
}

void t_otcpbuf::start_message() {
  rewind();
  for (int i = 0; i < reserved; ++i) sputc(' ');
}

void t_otcpbuf::send(const char* code) {
  const auto total = static_cast<unsigned>(size());
  const unsigned payload = total > unsigned{reserved} ? total - reserved : 0;
  const auto& drv = driver();
  drv.DrvBeginMessage(channel, code, payload);
  drv.DrvSendMessage(channel, pbase(), total);
}

t_otcpstream::t_otcpstream() { attach(buf_); }

t_otcpstream::~t_otcpstream() = default;

void t_otcpstream::set_channel(void* ch) { buf_.set_channel(ch); }

void t_otcpstream::send(const char* code) { buf_.send(code); }

void t_otcpstream::restart() {
  clear();
  buf_.start_message();
}

// ---- reply side ----

t_itcpbuf::t_itcpbuf() { clear_reply(); }

t_itcpbuf::~t_itcpbuf() = default;

void t_itcpbuf::set_channel(void* ch) {
  channel = ch;
  clear_reply();
}

void t_itcpbuf::clear_reply() {
  char* start = buffer + put_back;
  setg(start, start, start);
  final_chunk = false;
}

void t_itcpbuf::next_chunk() {
  unsigned char is_final = 0;
  unsigned length = 0;
  if (driver().DrvNextChunk(channel, &length, &is_final) != 0) chunk_header_failed();
  remaining = length;
  final_chunk = is_final != 0;
}

bool t_itcpbuf::at_end() { return final_chunk && showmanyc() == 0; }

std::streamsize t_itcpbuf::showmanyc() {
  // A 32-bit std::streamsize cannot count every chunk length: say the most.
  constexpr std::streamsize most = std::numeric_limits<std::streamsize>::max();
  const std::streamsize buffered = egptr() - gptr();
  if (remaining > static_cast<std::make_unsigned_t<std::streamsize>>(most - buffered)) return most;
  return buffered + static_cast<std::streamsize>(remaining);
}

t_itcpbuf::int_type t_itcpbuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  if (remaining == 0) {
    if (final_chunk) chunk_data_failed();  // read past the end of the reply
    next_chunk();
    if (remaining == 0) chunk_data_failed();  // an empty chunk
  }
  // Keep up to 3 characters before the current position for put-back.
  const auto keep = static_cast<unsigned>(std::min<std::ptrdiff_t>(put_back, gptr() - eback()));
  char* start = buffer + put_back;
  std::memmove(start - keep, gptr() - keep, keep);
  const unsigned n = std::min(remaining, max_fetch);
  if (driver().DrvReadChunk(channel, n, start) != 0) chunk_data_failed();
  remaining -= n;
  setg(start - keep, start, start + n);
  return traits_type::to_int_type(*start);
}

std::streamsize t_itcpbuf::xsgetn(char* s, std::streamsize n) {
  // Copies what is in hand and refills until n bytes are delivered; a read
  // past the end of the reply throws from underflow.
  std::streamsize done = 0;
  while (done < n) {
    if (gptr() == egptr()) underflow();
    const std::streamsize k = std::min<std::streamsize>(n - done, egptr() - gptr());
    std::memcpy(s + done, gptr(), static_cast<std::size_t>(k));
    gbump(static_cast<int>(k));
    done += k;
  }
  return done;
}

t_itcpbuf::int_type t_itcpbuf::pbackfail(int_type c) {
  if (gptr() == eback()) return traits_type::eof();
  gbump(-1);
  if (!traits_type::eq_int_type(c, traits_type::eof())) *gptr() = traits_type::to_char_type(c);
  return traits_type::not_eof(c);
}

void t_itcpbuf::skip_rest() {
  if (remaining == 0 && !final_chunk) next_chunk();
  while (remaining > 0) {
    const unsigned n = std::min(remaining, capacity);
    if (driver().DrvReadChunk(channel, n, buffer) != 0) chunk_data_failed();
    remaining -= n;
    if (remaining == 0 && !final_chunk) next_chunk();
  }
  // What was left in hand counts as read (the discarded data may have
  // overwritten it).
  char* start = buffer + put_back;
  setg(start, start, start);
}

t_itcpstream::t_itcpstream() { set_buf(&buf_); }

t_itcpstream::~t_itcpstream() = default;

bool t_itcpstream::at_end() { return buf_.at_end(); }

void t_itcpstream::skip_rest() { buf_.skip_rest(); }

void t_itcpstream::set_channel(void* ch) { buf_.set_channel(ch); }

void t_itcpstream::clear_reply() {
  clear();
  buf_.clear_reply();
}

void t_itcpstream::next_chunk() { buf_.next_chunk(); }
