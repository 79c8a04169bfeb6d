#include "service.h"

#include "sql_service.h"

#include "server/errors.h"
#include "server/core/session.h"
#include "server/storage/storage.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace torqa::daemon {

namespace {

using net::frame_type;

/// A namespace name: 1..64 letters, digits, '_', '-' or '.', not starting
/// with '.', so that it names a directory right under the data directory.
bool valid_name(std::string_view n) {
  if (n.empty() || n.size() > 64 || n[0] == '.') return false;
  for (const char c : n)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
  return true;
}

std::string failure_body(int code, std::string_view msg) {
  std::string body;
  net::put_u32(body, static_cast<std::uint32_t>(code));
  net::put_str(body, msg);
  return body;
}

std::string peer_name(const sockaddr_storage& a) {
  char host[NI_MAXHOST] = "?", port[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, host, sizeof host, port, sizeof port,
              NI_NUMERICHOST | NI_NUMERICSERV);
  return std::string(host) + ":" + port;
}

}  // namespace

void log(const std::string& line) {
  static std::mutex m;
  std::lock_guard<std::mutex> guard(m);
  std::fprintf(stderr, "torqad: %s\n", line.c_str());
}

service::service(options o) : options_(std::move(o)) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
  randombytes_buf(mock_key_.data(), mock_key_.size());
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(options_.address.c_str(), options_.port.c_str(), &hints, &found); rc != 0)
    throw std::runtime_error("cannot use the address " + options_.address + ": " + gai_strerror(rc));
  std::string why = "no address";
  for (addrinfo* a = found; a != nullptr && listener_.get() < 0; a = a->ai_next) {
    net::socket_fd s(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    const int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (s.get() >= 0 && bind(s.get(), a->ai_addr, a->ai_addrlen) == 0 && listen(s.get(), 128) == 0)
      listener_ = std::move(s);
    else
      why = std::strerror(errno);
  }
  freeaddrinfo(found);
  if (listener_.get() < 0)
    throw std::runtime_error("cannot listen on " + options_.address + ":" + options_.port + ": " + why);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&bound), &len);
  char port[NI_MAXSERV] = "?";
  getnameinfo(reinterpret_cast<const sockaddr*>(&bound), len, nullptr, 0, port, sizeof port, NI_NUMERICSERV);
  endpoint_ = options_.address + ":" + port;
}

service::~service() { reap(true); }

void service::run(int stop_fd) {
  while (true) {
    pollfd p[2] = {{listener_.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (poll(p, 2, 1000) < 0 && errno != EINTR) break;
    reap(false);
    if (p[1].revents != 0) break;
    if ((p[0].revents & POLLIN) == 0) continue;
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    net::socket_fd s(accept4(listener_.get(), reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC));
    if (s.get() < 0) continue;
    // Replies go out as soon as they are written: a client waits for each.
    const int one = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string peer = peer_name(from);
    if (clients_.size() >= static_cast<std::size_t>(options_.max_connections)) {
      log(peer + ": refused, " + std::to_string(clients_.size()) + " connections already");
      net::frame_stream(s.get()).send(frame_type::failure, failure_body(server::err_storage, "too many connections"));
      continue;
    }
    client& c = clients_.emplace_back();
    c.socket = std::move(s);
    c.peer = peer;
    c.thread = std::thread([this, &c] {
      try {
        serve(c);
      } catch (const std::exception& e) {  // memory, or a socket gone wrong: this client only
        log(c.peer + ": closed: " + e.what());
      }
      c.done = true;
    });
  }
  log("stopping");
  reap(true);
}

void service::reap(bool all) {
  for (auto it = clients_.begin(); it != clients_.end();) {
    // Shutting the socket down ends the client's wait for its next frame.
    if (all && !it->done) shutdown(it->socket.get(), SHUT_RDWR);
    if (all || it->done) {
      if (it->thread.joinable()) it->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<server::name_space> service::open_namespace(const std::string& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto& slot = namespaces_[name];
  if (!slot) slot = server::name_space::open(options_.data + "/" + name, options_.namespaces);
  return slot;
}

server::scram::secret service::secret_of(server::name_space& ns, const std::string& user) {
  server::storage store(ns.db_path());
  if (const auto text = store.setting(server::storage::scram_key(user)))
    if (const auto s = server::scram::decode(*text)) return *s;
  return server::scram::server::unknown_user(user, mock_key_, server::scram::default_iterations);
}

void service::serve(client& c) {
  net::frame_stream stream(c.socket.get());
  const int idle_ms = options_.idle_seconds * 1000;
  net::frame f;
  const auto next = [&](const char* during) {
    const net::receive_status st = stream.receive(f, idle_ms);
    if (st == net::receive_status::frame) return true;
    static const char* const why[] = {"", "closed by the client", "idle too long", "malformed frame", "failed"};
    log(c.peer + ": " + why[static_cast<int>(st)] + " " + during);
    return false;
  };
  const auto refuse = [&](int code, const std::string& msg) {
    log(c.peer + ": refused: " + msg);
    stream.send(frame_type::failure, failure_body(code, msg));
  };

  // The login.
  if (!next("before the login")) return;
  net::body_reader start(f.body);
  std::uint32_t version = 0;
  std::string_view name_text, first;
  if (f.type != frame_type::login_start || !start.u32(version) || !start.str(name_text) || !start.str(first) ||
      !start.at_end())
    return refuse(server::err_malformed, "expected a login");
  if (version != net::protocol_version)
    return refuse(server::err_version, "protocol version " + std::to_string(version) + " is not supported");
  const std::string name(name_text);
  std::string user, client_nonce;
  if (!valid_name(name)) return refuse(server::err_options, "bad namespace name");
  if (!server::scram::server::parse_first(first, user, client_nonce))
    return refuse(server::err_malformed, "malformed login");
  std::unique_ptr<server::connection> conn;
  try {
    const auto ns = open_namespace(name);
    // Failed logins of a name slow its next ones, as for embedded connects.
    server::login_throttle& throttle = ns->throttle();
    std::this_thread::sleep_until(throttle.not_before(user));
    const server::scram::server login(secret_of(*ns, user), first);
    if (!stream.send(frame_type::challenge, [&] {
          std::string b;
          net::put_str(b, login.first());
          return b;
        }()))
      return;
    if (!next("during the login")) return;
    net::body_reader proof(f.body);
    std::string_view client_final;
    const auto done = f.type == frame_type::login_proof && proof.str(client_final) && proof.at_end()
                          ? login.final(client_final)
                          : std::nullopt;
    if (!done) {
      throttle.failed(user, server::login_throttle::clock::now());
      return refuse(server::err_login, "unknown user or wrong password");
    }
    throttle.succeeded(user);
    conn = std::make_unique<server::connection>(ns->dir(), options_.namespaces, user,
                                                server::connection::checked_login{});
    std::string b;
    net::put_str(b, *done);
    if (!stream.send(frame_type::welcome, b)) return;
  } catch (const server::server_error& e) {
    return refuse(e.code, e.msg);
  } catch (const std::exception& e) {
    return refuse(server::err_storage, e.what());
  }
  log(c.peer + ": " + user + " connected to " + name);

  // Channels and their requests, until the client leaves or misbehaves.
  std::map<std::uint32_t, std::unique_ptr<server::session>> channels;
  sql_service sql(*conn);
  std::uint32_t next_id = 1;
  while (next("waiting for a request")) {
    net::body_reader r(f.body);
    std::uint32_t id = 0;
    std::string answer;
    std::uint8_t type = frame_type::failure;
    if (f.type == frame_type::open_channel && r.at_end()) {
      if (channels.size() >= static_cast<std::size_t>(options_.max_channels)) {
        answer = failure_body(server::err_storage, "too many channels");
      } else {
        channels[next_id] = std::make_unique<server::session>(*conn);
        net::put_u32(answer, next_id++);
        type = frame_type::channel_opened;
      }
    } else if (f.type == frame_type::close_channel && r.u32(id) && r.at_end()) {
      channels.erase(id);
      type = frame_type::channel_closed;
    } else if (std::string_view code; f.type == frame_type::message && r.u32(id) && r.bytes(2, code)) {
      const auto it = channels.find(id);
      constexpr std::size_t reserved = 14;
      if (it == channels.end()) {
        answer = failure_body(server::err_malformed, "no channel " + std::to_string(id));
      } else if (r.rest().size() < reserved) {
        answer = failure_body(server::err_malformed, "a message has 14 reserved bytes");
      } else {
        answer = it->second->request(code, r.rest().substr(reserved));
        type = frame_type::reply;
        if (answer.size() >= net::max_frame_length) {
          answer = failure_body(server::err_too_long, "the reply is too long");
          type = frame_type::failure;
        }
      }
    } else if (sql_service::serves(f.type)) {
      if (!sql.answer(f, type, answer)) {
        log(c.peer + ": malformed SQL request, closing");
        break;
      }
    } else {
      log(c.peer + ": unknown frame, closing");
      break;
    }
    if (!stream.send(type, answer)) break;
  }
  log(c.peer + ": " + user + " disconnected");
}

}  // namespace torqa::daemon
