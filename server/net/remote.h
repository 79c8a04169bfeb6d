// The driver's side of a daemon connection: the login, message channels,
// and replies read back in chunks as the embedded server gives them.
#pragma once

#include "stream.h"

#include "server/wire/reply_chunks.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace torqa::net {

/// A refused or failed connect: the code (the daemon's, or -1010 when the
/// daemon cannot be reached) and a message.
struct remote_error {
  int code;
  std::string msg;
};

class remote_connection {
 public:
  /// Connects to the daemon at `host` `port` and logs in to namespace
  /// `name`. Throws remote_error.
  remote_connection(const std::string& host, const std::string& port, const std::string& name,
                    const std::string& user, const std::string& password);
  /// Logs in over `socket`, connected to the daemon (to a namespace's own
  /// socket with an empty `name`); replies are read back in chunks of at
  /// most `chunk` bytes (1..32768). Throws remote_error.
  remote_connection(socket_fd socket, const std::string& name, const std::string& user, const std::string& password,
                    std::size_t chunk = 32768);

  /// The largest chunk its channels give a reply in.
  std::size_t chunk_size() const { return chunk_; }

  /// A new channel's id; throws remote_error.
  std::uint32_t open_channel();
  /// Closes a channel; a failed connection is not an error here.
  void close_channel(std::uint32_t id);
  /// Sends a request and answers its reply; throws remote_error when the
  /// connection fails (it stays failed) or the daemon refuses the request.
  std::string request(std::uint32_t channel, std::string_view code, std::string_view message);
  /// Sends a frame of `type` and answers the body of the daemon's answer,
  /// which must be of type `expected`; throws remote_error as request does.
  std::string call(std::uint8_t type, std::string_view body, std::uint8_t expected);
  /// Whether the connection failed (it stays failed): its socket, or the
  /// daemon's answers, went wrong.
  bool failed() const { return failed_; }

 private:
  /// Sends a frame (its body `body` then `more`) and waits for the answer,
  /// which must be of type `expected`; its body.
  std::string exchange(std::uint8_t type, std::string_view body, std::uint8_t expected, std::string_view more = {});

  std::mutex mutex_;  // one exchange at a time
  socket_fd socket_;
  frame_stream stream_{-1};
  std::size_t chunk_;
  std::atomic<bool> failed_ = false;
};

/// A message channel over a daemon connection, read as server::channel is.
class remote_channel {
 public:
  remote_channel(remote_connection& c, std::uint32_t id) : conn_(c), id_(id), reply_(c.chunk_size()) {}
  remote_channel(const remote_channel&) = delete;
  remote_channel& operator=(const remote_channel&) = delete;
  ~remote_channel() { conn_.close_channel(id_); }

  void begin(std::string_view code) { code_ = std::string(code.substr(0, 2)); }
  /// False, with no reply, for fewer than 14 bytes or a failed connection.
  bool send(const char* message, std::size_t length);
  bool next_chunk(unsigned& length, bool& final) { return reply_.next_chunk(length, final); }
  bool read(std::size_t n, char* dest) { return reply_.read(n, dest); }

 private:
  remote_connection& conn_;
  std::uint32_t id_;
  std::string code_;
  server::reply_chunks reply_;
};

}  // namespace torqa::net
