// Frames over a connected stream socket, for the daemon and the driver.
#pragma once

#include "frame.h"

#include <string>

namespace torqa::net {

/// Owns a socket descriptor.
class socket_fd {
 public:
  socket_fd() = default;
  explicit socket_fd(int fd) : fd_(fd) {}
  socket_fd(socket_fd&& o) noexcept : fd_(o.release()) {}
  socket_fd& operator=(socket_fd&& o) noexcept;
  socket_fd(const socket_fd&) = delete;
  socket_fd& operator=(const socket_fd&) = delete;
  ~socket_fd();
  int get() const { return fd_; }
  int release();

 private:
  int fd_ = -1;
};

/// Why receive() gave no frame.
enum class receive_status { frame, closed, timed_out, malformed, failed };

/// Reads and writes whole frames on a socket it does not own.
class frame_stream {
 public:
  explicit frame_stream(int fd) : fd_(fd) {}
  /// Sends one frame whose body is `body` followed by `more`, in a single
  /// system call when the socket takes it all; false when the socket fails.
  bool send(std::uint8_t type, std::string_view body, std::string_view more = {});
  /// Waits up to `timeout_ms` (negative: without limit) for the rest of
  /// the next frame, which stays valid until the next receive. A frame
  /// whose length is malformed is refused before its body is read. The
  /// wait is the socket's receive timeout, which this sets.
  receive_status receive(frame& out, int timeout_ms);

 private:
  int fd_;
  std::string buf_;             // received bytes: the first have_ of it
  std::size_t have_ = 0;
  std::size_t consumed_ = 0;    // bytes of buf_ given out by the last receive
  int receive_timeout_ms_ = 0;  // the socket's, as last set (0: none, as a new socket has)
};

/// Connects to `host` (a name or address) on `port`; an invalid descriptor
/// with `why` set on failure.
socket_fd connect_tcp(const std::string& host, const std::string& port, std::string& why);

/// A Unix socket named `name` in directory `dir`, bound and listening, or
/// connected to. A path longer than a socket address holds is reached
/// through a descriptor of the directory. Binding fails when `name` exists
/// (whatever it is: a symbolic link is not followed). Invalid, with `why`
/// set, on failure.
socket_fd listen_unix(const std::string& dir, const std::string& name, std::string& why);
socket_fd connect_unix(const std::string& dir, const std::string& name, std::string& why);

}  // namespace torqa::net
