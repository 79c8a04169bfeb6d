#include "remote.h"

#include "server/errors.h"
#include "server/auth/scram.h"

#include <algorithm>

namespace torqa::net {

namespace {

constexpr int err_transport = server::err_storage;

int signed_code(std::uint32_t v) { return static_cast<int>(static_cast<std::int32_t>(v)); }

socket_fd tcp_or_throw(const std::string& host, const std::string& port) {
  std::string why;
  socket_fd s = connect_tcp(host, port, why);
  if (s.get() < 0) throw remote_error{err_transport, why};
  return s;
}

}  // namespace

remote_connection::remote_connection(const std::string& host, const std::string& port, const std::string& name,
                                     const std::string& user, const std::string& password)
    : remote_connection(tcp_or_throw(host, port), name, user, password) {}

remote_connection::remote_connection(socket_fd socket, const std::string& name, const std::string& user,
                                     const std::string& password, std::size_t chunk)
    : socket_(std::move(socket)), stream_(socket_.get()), chunk_(chunk) {
  std::string why;
  server::scram::client login(user, password);
  std::string start;
  put_u32(start, protocol_version);
  put_str(start, name);
  put_str(start, login.first());
  const std::string challenge_body = exchange(frame_type::login_start, start, frame_type::challenge);
  std::string_view server_first;
  if (!read_one_str(challenge_body, server_first)) throw remote_error{err_transport, "malformed login challenge"};
  const auto proof = login.final(server_first, why);
  if (!proof) throw remote_error{err_transport, why};
  std::string body;
  put_str(body, *proof);
  const std::string welcome_body = exchange(frame_type::login_proof, body, frame_type::welcome);
  std::string_view server_final;
  // The daemon proves it knows the user's key: a stand-in cannot accept
  // any password.
  if (!read_one_str(welcome_body, server_final) || !login.verify(server_final))
    throw remote_error{err_transport, "the daemon did not prove the user's key"};
}

std::string remote_connection::exchange(std::uint8_t type, std::string_view body, std::uint8_t expected,
                                        std::string_view more) {
  if (failed_) throw remote_error{err_transport, "the connection to the daemon failed"};
  if (!stream_.send(type, body, more)) {
    failed_ = true;
    throw remote_error{err_transport, "the connection to the daemon failed"};
  }
  frame f;
  const receive_status st = stream_.receive(f, -1);
  if (st != receive_status::frame) {
    failed_ = true;
    throw remote_error{err_transport, st == receive_status::closed ? "the daemon closed the connection"
                                                                  : "the connection to the daemon failed"};
  }
  if (f.type == frame_type::failure) {
    body_reader r(f.body);
    std::uint32_t code = 0;
    std::string_view msg;
    if (!r.u32(code) || !r.str(msg)) msg = "malformed failure";
    throw remote_error{signed_code(code), std::string(msg)};
  }
  if (f.type != expected) {
    failed_ = true;
    throw remote_error{err_transport, "unexpected answer from the daemon"};
  }
  return std::string(f.body);
}

std::uint32_t remote_connection::open_channel() {
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string body = exchange(frame_type::open_channel, {}, frame_type::channel_opened);
  body_reader r(body);
  std::uint32_t id = 0;
  if (!r.u32(id)) throw remote_error{err_transport, "malformed channel answer"};
  return id;
}

void remote_connection::close_channel(std::uint32_t id) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string body;
  put_u32(body, id);
  try {
    exchange(frame_type::close_channel, body, frame_type::channel_closed);
  } catch (const remote_error&) {
  }
}

std::string remote_connection::request(std::uint32_t channel, std::string_view code, std::string_view msg) {
  std::lock_guard<std::mutex> guard(mutex_);
  // The channel and the code head the body; the message follows uncopied.
  std::string head;
  put_u32(head, channel);
  head += code.substr(0, 2);
  head.append(2 - std::min<std::size_t>(code.size(), 2), '\0');
  return exchange(frame_type::message, head, frame_type::reply, msg);
}

std::string remote_connection::call(std::uint8_t type, std::string_view body, std::uint8_t expected) {
  std::lock_guard<std::mutex> guard(mutex_);
  return exchange(type, body, expected);
}

bool remote_channel::send(const char* message, std::size_t length) {
  reply_.drop();
  if (message == nullptr || length < 14) return false;
  try {
    reply_.set(conn_.request(id_, code_, std::string_view(message, length)));
  } catch (const remote_error&) {
    return false;
  }
  return true;
}

}  // namespace torqa::net
