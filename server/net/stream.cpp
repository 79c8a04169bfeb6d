#include "stream.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

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
  buf_.erase(0, consumed_);
  consumed_ = 0;
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  while (true) {
    std::size_t used = 0;
    switch (parse_frame(buf_.data(), buf_.size(), out, used)) {
      case parse_result::complete:
        consumed_ = used;
        return receive_status::frame;
      case parse_result::malformed:
        return receive_status::malformed;
      case parse_result::incomplete:
        break;
    }
    int wait = -1;
    if (timeout_ms >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
      if (left <= 0) return receive_status::timed_out;
      wait = static_cast<int>(left);
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return receive_status::failed;
    if (ready == 0) return receive_status::timed_out;
    // Read what the frame still needs (at most 64 KiB at a time), so that
    // memory grows with bytes actually received, never with a length field.
    const std::size_t want = used > buf_.size() ? std::min<std::size_t>(used - buf_.size(), 65536) : 4096;
    const std::size_t old = buf_.size();
    buf_.resize(old + want);
    const ssize_t n = ::recv(fd_, buf_.data() + old, want, 0);
    buf_.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n == 0) return receive_status::closed;
    if (n < 0 && errno != EINTR && errno != EAGAIN) return receive_status::failed;
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

}  // namespace torqa::net
