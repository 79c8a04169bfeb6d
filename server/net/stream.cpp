#include "stream.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace torqa::net {

socket_fd& socket_fd::operator=(socket_fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

socket_fd::~socket_fd() {
  if (fd_ >= 0) ::close(fd_);
}

int socket_fd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool frame_stream::send(std::uint8_t type, std::string_view body, std::string_view more) {
  // Header and body parts straight from where they are: no copy into one
  // buffer, one sendmsg for the whole frame unless the socket is full.
  const auto head = frame_head(type, body.size() + more.size());
  iovec parts[3] = {{const_cast<char*>(head.data()), head.size()},
                    {const_cast<char*>(body.data()), body.size()},
                    {const_cast<char*>(more.data()), more.size()}};
  msghdr m{};
  m.msg_iov = parts;
  m.msg_iovlen = 3;
  while (m.msg_iovlen > 0) {
    const ssize_t n = ::sendmsg(fd_, &m, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // Step past what was sent: whole parts, then into the first one left.
    auto left = static_cast<std::size_t>(n);
    while (m.msg_iovlen > 0 && left >= m.msg_iov->iov_len) {
      left -= m.msg_iov->iov_len;
      ++m.msg_iov;
      --m.msg_iovlen;
    }
    if (m.msg_iovlen > 0) {
      m.msg_iov->iov_base = static_cast<char*>(m.msg_iov->iov_base) + left;
      m.msg_iov->iov_len -= left;
    }
  }
  return true;
}

receive_status frame_stream::receive(frame& out, int timeout_ms) {
  // The bytes after the frame given out last move to the front (usually
  // there are none).
  std::memmove(buf_.data(), buf_.data() + consumed_, have_ - consumed_);
  have_ -= consumed_;
  consumed_ = 0;
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  while (true) {
    std::size_t used = 0;
    switch (parse_frame(buf_.data(), have_, out, used)) {
      case parse_result::complete:
        consumed_ = used;
        return receive_status::frame;
      case parse_result::malformed:
        return receive_status::malformed;
      case parse_result::incomplete:
        break;
    }
    // A blocking recv bounded by the socket's receive timeout, rather than
    // a poll before each recv: one system call per read on the request path.
    int wait = 0;  // no limit
    if (timeout_ms >= 0) {
      wait = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count());
      if (wait <= 0) return receive_status::timed_out;
    }
    if (wait != receive_timeout_ms_) {
      const timeval tv{wait / 1000, (wait % 1000) * 1000};
      if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return receive_status::failed;
      receive_timeout_ms_ = wait;
    }
    // Read what the frame still needs (at most 64 KiB at a time), so that
    // memory grows with bytes actually received, never with a length field.
    const std::size_t want = used > have_ ? std::min<std::size_t>(used - have_, 65536) : 4096;
    if (buf_.size() < have_ + want) buf_.resize(have_ + want);
    const ssize_t n = ::recv(fd_, buf_.data() + have_, want, 0);
    if (n > 0) {
      have_ += static_cast<std::size_t>(n);
    } else if (n == 0) {
      return receive_status::closed;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      return receive_status::timed_out;
    } else if (errno != EINTR) {
      return receive_status::failed;
    }
  }
}

socket_fd connect_tcp(const std::string& host, const std::string& port, std::string& why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    why = "cannot resolve " + host + ": " + gai_strerror(rc);
    return {};
  }
  socket_fd s;
  why = "cannot connect to " + host + " port " + port;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    socket_fd c(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (c.get() < 0) continue;
    if (::connect(c.get(), a->ai_addr, a->ai_addrlen) == 0) {
      const int one = 1;
      ::setsockopt(c.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::setsockopt(c.get(), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
      s = std::move(c);
      break;
    }
    why += std::string(": ") + std::strerror(errno);
  }
  ::freeaddrinfo(found);
  return s;
}

namespace {

// Binds or connects (`op`) a new Unix stream socket to `name` in `dir`.
socket_fd at_unix_path(const std::string& dir, const std::string& name, int (*op)(int, const sockaddr*, socklen_t),
                       const char* doing, std::string& why) {
  const std::string path = dir + "/" + name;
  const auto failed = [&](const char* reason) {
    why = "cannot " + std::string(doing) + " " + path + ": " + reason;
    return socket_fd{};
  };
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  // A long path is reached through the directory's descriptor, which stays
  // open until the socket is bound or connected.
  socket_fd dir_fd;
  std::string target = path;
  if (target.size() >= sizeof a.sun_path) {
    dir_fd = socket_fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd.get() < 0) return failed(std::strerror(errno));
    target = "/proc/self/fd/" + std::to_string(dir_fd.get()) + "/" + name;
    if (target.size() >= sizeof a.sun_path) return failed("the name is too long");
  }
  target.copy(a.sun_path, target.size());
  socket_fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (s.get() < 0 || op(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
    return failed(std::strerror(errno));
  return s;
}

}  // namespace

socket_fd listen_unix(const std::string& dir, const std::string& name, std::string& why) {
  socket_fd s = at_unix_path(dir, name, ::bind, "bind", why);
  if (s.get() >= 0 && ::listen(s.get(), 128) != 0) {
    why = "cannot listen on " + dir + "/" + name + ": " + std::strerror(errno);
    return {};
  }
  return s;
}

socket_fd connect_unix(const std::string& dir, const std::string& name, std::string& why) {
  return at_unix_path(dir, name, ::connect, "connect to", why);
}

}  // namespace torqa::net
