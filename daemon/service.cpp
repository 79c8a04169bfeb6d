#include "service.h"

#include "sql_service.h"

#include "server/errors.h"
#include "server/core/session.h"
#include "server/storage/storage.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

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

// A client of a namespace's socket, by its process.
std::string local_peer(int fd, const std::string& name) {
  ucred cred{};
  socklen_t len = sizeof cred;
  const std::string who = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0
                              ? "process " + std::to_string(cred.pid)
                              : std::string("a process");
  return who + " on the socket of " + name;
}

std::string socket_path(const server::name_space& ns) { return ns.dir() + "/" + server::socket_file; }

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
    net::socket_fd s(socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol));
    const int one = 1;
    setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (s.get() >= 0 && bind(s.get(), a->ai_addr, a->ai_addrlen) == 0 && listen(s.get(), SOMAXCONN) == 0)
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
  const bool v6 = options_.address.find(':') != std::string::npos;
  endpoint_ = (v6 ? "[" + options_.address + "]" : options_.address) + ":" + port;
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("cannot make a pipe");
  wake_read_ = net::socket_fd(wake[0]);
  wake_write_ = net::socket_fd(wake[1]);
}

service::~service() { stop_all(); }

void service::run(int stop_fd) {
  while (true) {
    std::vector<pollfd> p{{listener_.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
    std::vector<std::string> names;  // of the namespace sockets from p[3] on
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (const auto& [name, s] : namespaces_)
        if (s.listener.get() >= 0) {
          p.push_back({s.listener.get(), POLLIN, 0});
          names.push_back(name);
        }
    }
    if (poll(p.data(), p.size(), 1000) < 0 && errno != EINTR) break;
    reap(false);
    if (p[1].revents != 0) break;
    // A wake-up only makes the next poll watch a new namespace's socket.
    if ((p[2].revents & POLLIN) != 0)
      for (char buf[64]; read(wake_read_.get(), buf, sizeof buf) > 0;) {
      }
    // The listeners do not block: each takes what is waiting, a bounded
    // number at a time, so that a burst of connects is not served one per poll.
    constexpr int burst = 64;
    if ((p[0].revents & POLLIN) != 0)
      for (int n = 0; n < burst && accept_from(listener_.get(), {}); ++n) {
      }
    for (std::size_t i = 0; i < names.size(); ++i)
      if ((p[3 + i].revents & POLLIN) != 0)
        for (int n = 0; n < burst && accept_from(p[3 + i].fd, names[i]); ++n) {
        }
  }
  log("stopping");
  stop_all();
}

bool service::accept_from(int listener, const std::string& served_namespace) {
  sockaddr_storage from{};
  socklen_t len = sizeof from;
  net::socket_fd s(accept4(listener, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC));
  if (s.get() < 0) return false;
  if (served_namespace.empty()) {
    // Replies go out as soon as they are written: a client waits for each.
    const int one = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  const std::string peer = served_namespace.empty() ? peer_name(from) : local_peer(s.get(), served_namespace);
  if (clients_.size() >= static_cast<std::size_t>(options_.max_connections)) reap(false);
  if (clients_.size() >= static_cast<std::size_t>(options_.max_connections)) {
    log(peer + ": refused, " + std::to_string(clients_.size()) + " connections already");
    net::frame_stream(s.get()).send(frame_type::failure, failure_body(server::err_storage, "too many connections"));
    return true;
  }
  client& c = clients_.emplace_back();
  c.socket = std::move(s);
  c.peer = peer;
  c.served_namespace = served_namespace;
  c.thread = std::thread([this, &c] {
    try {
      serve(c);
    } catch (const std::exception& e) {  // memory, or a socket gone wrong: this client only
      log(c.peer + ": closed: " + e.what());
    }
    c.done = true;
  });
  return true;
}

void service::stop_all() {
  {
    // A request waiting for a lock fails at once, so that its client's
    // thread ends and its transaction rolls back.
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    for (auto& entry : namespaces_) entry.second.ns->locks().stop_waiting();
  }
  reap(true);
  std::lock_guard<std::mutex> guard(mutex_);
  // The sockets go while the namespaces are still owned: never one a next
  // owner made.
  for (auto& entry : namespaces_)
    if (served& s = entry.second; s.listener.get() >= 0) {
      s.listener = net::socket_fd();
      ::unlink(socket_path(*s.ns).c_str());
    }
  namespaces_.clear();
}

void service::reap(bool all) {
  // Shutting the sockets down ends the clients' waits for their next frame,
  // all before any is joined: a client's end may let another one go on.
  if (all)
    for (client& c : clients_)
      if (!c.done) shutdown(c.socket.get(), SHUT_RDWR);
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (all || it->done) {
      if (it->thread.joinable()) it->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<server::name_space> service::open_namespace(const std::string& name, const std::string& peer) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (const auto it = namespaces_.find(name); it != namespaces_.end()) return it->second.ns;
  if (stopping_) throw server::server_error(server::err_storage, "the daemon is stopping");
  // Any client may name a namespace before it logs in (the login's keys
  // are in it), so their number is bounded.
  if (namespaces_.size() >= static_cast<std::size_t>(options_.max_namespaces))
    throw server::server_error(server::err_storage,
                               "too many namespaces open (" + std::to_string(namespaces_.size()) + ")");
  const std::string dir = options_.data + "/" + name;
  std::error_code ec;
  const bool exists = std::filesystem::exists(dir + "/objects.db", ec);
  served s;
  s.ns = server::name_space::open(dir, options_.namespaces);
  if (!exists) log(peer + ": created namespace " + name);
  std::string why;
  s.listener = net::listen_unix(s.ns->dir(), server::socket_file, why);
  if (s.listener.get() >= 0 && (::fcntl(s.listener.get(), F_SETFL, O_NONBLOCK) != 0 ||
                                ::chmod(socket_path(*s.ns).c_str(), 0600) != 0)) {
    why = "cannot make " + socket_path(*s.ns) + " private";
    s.listener = net::socket_fd();
    ::unlink(socket_path(*s.ns).c_str());
  }
  if (s.listener.get() < 0) log("namespace " + name + " is not served to local connects: " + why);
  const auto ns = s.ns;
  namespaces_.emplace(name, std::move(s));
  // The accept loop polls the new socket from now on.
  [[maybe_unused]] const ssize_t n = ::write(wake_write_.get(), "n", 1);
  return ns;
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
  std::uint32_t version = 0;
  std::string_view name_text, first;
  if (f.type != frame_type::login_start || !net::read_login_start(f.body, version, name_text, first))
    return refuse(server::err_malformed, "expected a login");
  if (version != net::protocol_version)
    return refuse(server::err_version, "protocol version " + std::to_string(version) + " is not supported");
  std::string name(name_text);
  std::string user, client_nonce;
  if (!c.served_namespace.empty()) {
    // A namespace's socket serves that namespace: the login names none.
    if (!name.empty()) return refuse(server::err_options, "a namespace's socket takes no namespace name");
    name = c.served_namespace;
  } else if (!valid_name(name)) {
    return refuse(server::err_options, "bad namespace name");
  }
  if (!server::scram::server::parse_first(first, user, client_nonce))
    return refuse(server::err_malformed, "malformed login");
  std::unique_ptr<server::connection> conn;
  try {
    const auto ns = open_namespace(name, c.peer);
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
    std::string_view client_final;
    const auto done = f.type == frame_type::login_proof && net::read_one_str(f.body, client_final)
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
  // A request waiting for a lock stops waiting when its client has gone,
  // so that the client's locks and transaction go at once.
  const server::lock_wait_cancel client_gone([fd = c.socket.get()] {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
  });

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
