// The end-to-end tests' setting: a namespace made from the sample schema,
// either embedded in a fresh temporary directory or served by a torqad of
// the test program, and connections to it through the binding.
#pragma once

#include <torqa/collections.h>
#include <torqa/connection.h>
#include <torqa/datetime.h>
#include <torqa/dynamic.h>
#include <torqa/errors.h>
#include <torqa/list.h>
#include <torqa/session.h>

#include "support/daemon_process.h"
#include "support/thrown.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace torqa::e2e {

using torqa::test::described;
using torqa::test::thrown;

/// 16-bit text literals for the binding's names.
inline const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

/// A value read from a reply.
template <class T>
T result(t_istream& is, Database* db) {
  T v;
  v.get(is, db);
  return v;
}

/// How a namespace and its sessions are set up.
struct config {
  bool unicode = false;    ///< the namespace uses 16-bit text
  bool cached = false;     ///< sessions use the property cache
  unsigned chunk = 32768;  ///< largest reply chunk, embedded (through the daemon the driver cuts its own)
  bool daemon = false;     ///< through a torqad rather than embedded
};

inline std::string name_of(const config& c) {
  return std::string(c.unicode ? "unicode" : "narrow") + (c.cached ? "_cached" : "_uncached") +
         (c.chunk < 32768 ? "_chunk" + std::to_string(c.chunk) : "") + (c.daemon ? "_daemon" : "");
}

inline void PrintTo(const config& c, std::ostream* os) { *os << name_of(c); }

/// A namespace directory under TMPDIR (or /tmp), removed afterwards.
class namespace_dir {
 public:
  namespace_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern + "/ns";
  }
  namespace_dir(const namespace_dir&) = delete;
  namespace_dir& operator=(const namespace_dir&) = delete;
  ~namespace_dir() {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path_).parent_path(), ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

/// A torqad of the test serving `data` with the sample schema, cheap password
/// hashing and the options `extra`; its standard error goes to `data`.log.
/// Killed when dropped unless stopped before; throws std::runtime_error,
/// with its log, when it does not start.
class torqad {
 public:
  explicit torqad(const std::string& data, std::vector<std::string> extra = {}) : log_(data + ".log") {
    std::vector<std::string> args{"--data", data, "--schema", TORQA_SAMPLE_SCHEMA, "--fasthash"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string line;
    port_ = process_.start(TORQAD, std::move(args), log_, &line);
    if (port_.empty()) throw std::runtime_error("torqad did not start (" + line + "); its log:\n" + log());
  }
  /// Stops it with `sig`: its exit status, 128 + the signal when one ended it.
  int stop(int sig) { return process_.stop(sig); }
  pid_t pid() const { return process_.pid(); }
  const std::string& port() const { return port_; }
  /// The connection string of namespace `ns`.
  std::string address(const std::string& ns) const { return "127.0.0.1[" + port_ + "]:" + ns; }
  /// What it (and earlier daemons on the same data) wrote on standard error.
  std::string log() const {
    std::ostringstream text;
    text << std::ifstream(log_).rdbuf();
    return text.str();
  }

 private:
  test::daemon_process process_;
  std::string log_, port_;
};

/// The test program's daemons, one for 8-bit and one for 16-bit text, each
/// started on first use. When the program's tests end they are stopped with
/// SIGTERM and must exit cleanly (which includes the sanitizers' checks).
class daemons : public ::testing::Environment {
 public:
  static torqad& get(bool unicode) {
    auto& d = the().running_[unicode];
    if (!d) d = std::make_unique<torqad>(the().data_[unicode].path(), options(unicode));
    return *d;
  }
  /// Stops the daemon (as above) and starts it again on the same data.
  static void restart(bool unicode) {
    the().stop(unicode);
    get(unicode);
  }
  void TearDown() override {
    for (const bool unicode : {false, true}) stop(unicode);
  }

 private:
  static std::vector<std::string> options(bool unicode) {
    return unicode ? std::vector<std::string>{"--unicode"} : std::vector<std::string>{};
  }
  static daemons& the() {
    static daemons* const registered = static_cast<daemons*>(::testing::AddGlobalTestEnvironment(new daemons));
    return *registered;
  }
  void stop(bool unicode) {
    if (auto& d = running_[unicode]) {
      EXPECT_EQ(d->stop(SIGTERM), 0) << d->log();
      d.reset();
    }
  }
  namespace_dir data_[2];
  std::unique_ptr<torqad> running_[2];
};

/// The connection string of namespace `where`: a directory (embedded) or a
/// name on the daemon.
inline std::string address(const std::string& where, const config& c) {
  if (c.daemon) return daemons::get(c.unicode).address(where);
  return "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA ";chunk=" + std::to_string(c.chunk) +
         ";unicode=" + (c.unicode ? "1" : "0") + "]:" + where;
}

/// Connects to namespace `where` (see address()).
inline Handle<Conn_t> connect(const std::string& where, const config& c, const char* user = "torqa",
                              const char* password = "torqa", Db_err* err = nullptr) {
  return tcp_conn::connect(d_string(address(where, c).c_str()), d_string(user), d_string(password), err);
}

/// A namespace of one test: a fresh directory, or a fresh name on the daemon.
class test_namespace {
 public:
  explicit test_namespace(const config& c) : config_(c) {
    static int made = 0;
    if (c.daemon)
      where_ = "t" + std::to_string(++made);
    else
      where_ = dir_.emplace().path();
  }
  /// Its directory, or its name on the daemon.
  const std::string& where() const { return where_; }
  Handle<Conn_t> connect(const char* user = "torqa", const char* password = "torqa", Db_err* err = nullptr) const {
    return e2e::connect(where_, config_, user, password, err);
  }
  /// Restarts what serves it: a new connection is a new embedded server;
  /// the daemon is stopped and started again. Connections must be closed.
  void restart() const {
    if (config_.daemon) daemons::restart(config_.unicode);
  }

 private:
  config config_;
  std::optional<namespace_dir> dir_;
  std::string where_;
};

/// A namespace and one session on it, for tests run in every setting.
class e2e_test : public ::testing::TestWithParam<config> {
 protected:
  void SetUp() override { open(); }
  void TearDown() override { close(); }

  /// Connects and starts a session (again, after close()).
  void open() {
    Db_err err;
    conn = std::make_unique<Handle<Conn_t>>(ns.connect("torqa", "torqa", &err));
    ASSERT_TRUE((*conn)->is_active()) << described(err) << " | " << err.diag.state << " " << err.diag.text;
    db = std::make_unique<Database>(*conn, GetParam().cached);
  }
  /// Ends the session and disconnects: the namespace is released.
  void close() {
    db.reset();
    conn.reset();
  }
  /// Closes, restarts the server and opens again.
  void restart() {
    close();
    ns.restart();
    open();
  }

  d_ref<Dyn_obj> person(const char* name) {
    d_ref<Dyn_obj> p = Dyn_obj::create(*db, U(u"Sample.Person"));
    d_string n(name);
    p->set(U(u"Name"), n);
    return p;
  }

  /// "%Save": the status code.
  static int save(d_ref<Dyn_obj>& o) { return d_status(o->run_method_by_name(m_Save, nullptr, 0)).get_code(); }
  /// "%Id": empty when the object is not stored.
  static std::string id_of(d_ref<Dyn_obj>& o) {
    return d_string(o->run_method_by_name(U(u"%Id"), nullptr, 0)).mb_str();
  }

  template <class T>
  T read(d_ref<Dyn_obj>& o, const char16_t* prop) {
    T v;
    o->get(U(prop), v);
    return v;
  }

  test_namespace ns{GetParam()};
  std::unique_ptr<Handle<Conn_t>> conn;
  std::unique_ptr<Database> db;
};

/// Every setting: 8-bit and 16-bit namespaces, with and without the cache,
/// embedded and through the daemon; embedded also with tiny reply chunks.
inline auto all_configs() {
  return ::testing::Values(config{false, false, 32768}, config{false, true, 32768}, config{true, false, 32768},
                           config{true, true, 32768}, config{false, false, 7}, config{true, true, 3},
                           config{false, false, 32768, true}, config{false, true, 32768, true},
                           config{true, false, 32768, true}, config{true, true, 32768, true});
}

}  // namespace torqa::e2e
