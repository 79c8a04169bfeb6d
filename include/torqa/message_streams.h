// Message streams: the session's only path to the server.
//
// t_otcpstream frames one request: 14 reserved bytes, then the payload,
// handed to the driver in one piece under a two-character code.
// t_itcpstream pulls the reply from the driver chunk by chunk through a
// 32768-byte buffer held inside the stream object (3 bytes of put-back, then
// at most 32765 bytes per driver read), so receiving allocates nothing.
// Transport failures raise Db_err -1 ("assertion failed in
// t_itcpbuf::reset()" for a chunk header, "assertion failed in
// t_itcpbuf::underflow()" for chunk data, an empty chunk or a read past the
// end of the reply).
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads. A session's
// two streams are its own.
#pragma once

#include <torqa/export.h>
#include <torqa/streams.h>

#include <cstddef>
#include <cstdint>
#include <sstream>

/// Send buffer of one request; grows as needed and keeps its storage.
/// data() and size() give the message written so far, reserved bytes
/// included.
class TORQA_API t_otcpbuf : public t_obuf {
 public:
  static constexpr int reserved = 14;

  t_otcpbuf();
  ~t_otcpbuf() override;

  void set_channel(void* ch);
  /// Rewinds and writes the 14 reserved bytes.
  void start_message();
  /// Hands the message to the driver under `code` (results are not
  /// inspected: a lost request shows on the reply side).
  void send(const char* code);

 private:
  void* channel = nullptr;
};

class TORQA_API t_otcpstream : public t_ostream {
 public:
  t_otcpstream();
  ~t_otcpstream() override;

  /// Stores the channel and starts a message.
  void set_channel(void* ch);
  /// Sends the current message under the two-character `code`.
  void send(const char* code);
  /// Clears the error state and starts a new message.
  void restart();

  const t_otcpbuf& message() const { return buf_; }

 private:
  t_otcpbuf buf_;
};

/// Receive buffer of one reply.
class TORQA_API t_itcpbuf : public t_ibuf {
 public:
  static constexpr unsigned capacity = 32768;
  static constexpr unsigned put_back = 3;

  t_itcpbuf();
  ~t_itcpbuf() override;

  /// Stores the channel and empties the buffer.
  void set_channel(void* ch);
  /// Empty get area, final cleared; `remaining` is kept.
  void clear_reply();
  /// Reads the next chunk header from the driver.
  void next_chunk();
  /// The final chunk has been read in full and the buffer is empty.
  bool at_end();
  /// Consumes and discards the rest of the reply.
  void skip_rest();

 protected:
  int_type pbackfail(int_type c) override;
  std::streamsize showmanyc() override;
  int_type underflow() override;
  std::streamsize xsgetn(char* s, std::streamsize n) override;

 private:
  void* channel = nullptr;
  std::uint32_t remaining = 0;
  bool final_chunk = false;
  char buffer[capacity];
};

class TORQA_API t_itcpstream : public t_istream {
 public:
  t_itcpstream();
  ~t_itcpstream() override;

  bool at_end() override;
  void skip_rest() override;

  void set_channel(void* ch);
  void clear_reply();
  void next_chunk();

 private:
  t_itcpbuf buf_;
};
