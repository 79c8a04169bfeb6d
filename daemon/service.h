// torqad's service: a listening socket, one thread per client connection
// (at most a bounded number), and the namespaces under the data directory,
// each opened once (at most a bounded number) and shared by every client's
// sessions. Each open namespace is also served on the Unix socket in its
// directory, for local connects of other processes.
#pragma once

#include "server/core/namespace.h"
#include "server/auth/scram.h"
#include "server/net/stream.h"

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace torqa::daemon {

struct options {
  std::string address = "127.0.0.1";
  std::string port = "0";
  std::string data;                    ///< the directory holding the namespaces
  server::connect_options namespaces;  ///< how a namespace is created on first use
  int idle_seconds = 300;              ///< a client silent this long is closed
  int max_connections = 64;            ///< connections beyond are refused
  int max_channels = 256;              ///< channels one connection may have open
  int max_namespaces = 100;            ///< namespaces open at once; a new name beyond is refused
};

class service {
 public:
  /// Binds and listens; throws std::runtime_error.
  explicit service(options o);
  service(const service&) = delete;
  service& operator=(const service&) = delete;
  ~service();

  /// "ADDRESS:PORT" as bound (the port chosen when 0 was asked; an IPv6
  /// address in brackets).
  const std::string& endpoint() const { return endpoint_; }
  /// Accepts and serves until `stop_fd` becomes readable, then closes every
  /// connection (their transactions roll back) and returns.
  void run(int stop_fd);

 private:
  struct client {
    net::socket_fd socket;
    std::string peer;
    std::string served_namespace;  ///< a namespace socket's client: that namespace
    std::thread thread;
    std::atomic<bool> done{false};
  };
  /// An open namespace and the socket it is served on in its directory
  /// (invalid when that could not be made).
  struct served {
    std::shared_ptr<server::name_space> ns;
    net::socket_fd listener;
  };

  /// Accepts a connection waiting on `listener` and starts its thread (or
  /// refuses it past the connection limit); false when none was waiting.
  bool accept_from(int listener, const std::string& served_namespace);
  void serve(client& c);
  /// The namespace named `name`, opened on first use (for `peer`, in the
  /// log); throws server_error.
  std::shared_ptr<server::name_space> open_namespace(const std::string& name, const std::string& peer);
  /// Ends the lock waits, closes every connection (their transactions roll
  /// back), then the namespaces' sockets, and lets the namespaces go.
  void stop_all();
  /// What the login exchange checks for `user` of namespace `ns`.
  server::scram::secret secret_of(server::name_space& ns, const std::string& user);
  void reap(bool all);

  options options_;
  net::socket_fd listener_;
  std::string endpoint_;
  server::scram::key mock_key_{};
  net::socket_fd wake_read_, wake_write_;  // a new namespace socket to poll
  std::mutex mutex_;                       // guards namespaces_ and stopping_
  std::map<std::string, served> namespaces_;
  bool stopping_ = false;  ///< no namespace is opened once set
  std::list<client> clients_;
};

/// Writes one line to standard error, whole.
void log(const std::string& line);

}  // namespace torqa::daemon
