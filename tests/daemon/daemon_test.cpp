// torqad end to end: a daemon started per test on 127.0.0.1 with a port of
// its choosing, clients through the binding and raw sockets.
#include "e2e/e2e_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>

namespace torqa::e2e {
namespace {

using clock_type = std::chrono::steady_clock;

class daemon_test : public ::testing::Test {
 protected:
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  /// Starts torqad on the test's data directory and reads its port.
  void start(std::vector<std::string> extra = {}) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(out[1], 1);
      close(out[0]);
      // Its log beside the data directory, out of the test's output.
      const std::string log = std::filesystem::path(data.path()).parent_path() / "torqad.log";
      if (const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600); fd >= 0) dup2(fd, 2);
      std::vector<std::string> args{TORQAD, "--listen", "127.0.0.1:0", "--data", data.path(), "--schema",
                                    TORQA_SAMPLE_SCHEMA, "--fasthash"};
      args.insert(args.end(), extra.begin(), extra.end());
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(TORQAD, argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c = 0;
    for (pollfd p{out[0], POLLIN, 0}; poll(&p, 1, 20000) > 0 && read(out[0], &c, 1) == 1 && c != '\n';) line += c;
    close(out[0]);
    ASSERT_TRUE(line.starts_with("listening on 127.0.0.1:")) << line;
    port = line.substr(line.rfind(':') + 1);
  }
  /// Stops the daemon with `sig`; its exit status.
  int stop(int sig) {
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  Handle<Conn_t> connect(const char* user = "torqa", const char* password = "torqa", Db_err* err = nullptr) {
    const std::string text = "127.0.0.1[" + port + "]:ns";
    return tcp_conn::connect(d_string(text.c_str()), d_string(user), d_string(password), err);
  }
  /// A raw socket to the daemon.
  int raw() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(std::stoi(port)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
  }

  namespace_dir data;
  pid_t pid = -1;
  std::string port;
};

d_ref<Dyn_obj> open_person(Database& db, int concurrency, int timeout = 0) {
  return Dyn_obj::open(db, U(u"Sample.Person"), U(u"1"), concurrency, timeout);
}

int save(d_ref<Dyn_obj>& o) { return d_status(o->run_method_by_name(m_Save, nullptr, 0)).get_code(); }

TEST_F(daemon_test, clients_share_objects_and_locks_logins_are_checked_and_the_namespace_has_one_owner) {
  start();
  Handle<Conn_t> a_conn = connect(), b_conn = connect();
  ASSERT_TRUE(a_conn->is_active() && b_conn->is_active());
  Database a(a_conn, false), b(b_conn, true);
  {
    d_ref<Dyn_obj> p = Dyn_obj::create(a, U(u"Sample.Person"));
    d_string ann("Ann");
    p->set(U(u"Name"), ann);
    ASSERT_EQ(save(p), 0);
  }
  d_ref<Dyn_obj> mine = open_person(a, 2);
  EXPECT_EQ(thrown([&] { open_person(b, 1); }), "-9 couldn't aquire read lock (open 5804)");
  d_string name;
  open_person(b, 0)->get(U(u"Name"), name);
  EXPECT_EQ(name.mb_str(), std::string("Ann"));

  const auto refusal = [](const Db_err& err) { return described(err) + " | " + err.diag.state + " " + err.diag.text; };
  for (const auto& [user, password] : {std::pair{"torqa", "wrong"}, {"nobody", "torqa"}}) {
    Db_err err;
    EXPECT_FALSE(connect(user, password, &err)->is_active());
    EXPECT_EQ(refusal(err), "-1014 couldn't connect | 28000 unknown user or wrong password") << user;
  }
  EXPECT_EQ(stop(SIGTERM), 0);
}

TEST_F(daemon_test, locked_increments_from_four_processes_all_count) {
  start();
  {
    Handle<Conn_t> conn = connect();
    Database db(conn, false);
    d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
    d_int zero(0);
    p->set(U(u"Age"), zero);
    ASSERT_EQ(save(p), 0);
  }
  constexpr int processes = 4, increments = 100;
  std::vector<pid_t> children;
  for (int i = 0; i < processes; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      int failures = 0;
      try {
        Handle<Conn_t> conn = connect();
        Database db(conn, false);
        for (int n = 0; n < increments; ++n) {
          d_ref<Dyn_obj> p = open_person(db, 2, 30);
          d_int age;
          p->get(U(u"Age"), age);
          d_int next(age.value() + 1);
          p->set(U(u"Age"), next);
          failures += save(p) != 0;
        }
      } catch (const Db_err&) {
        failures = 1;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (const pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Handle<Conn_t> conn = connect();
  Database db(conn, false);
  d_int age;
  open_person(db, 0)->get(U(u"Age"), age);
  EXPECT_EQ(age.value(), processes * increments);
}

TEST_F(daemon_test, misbehaving_clients_are_closed_while_others_are_served) {
  start({"--idle", "1"});
  const auto closed_within = [](int s, int seconds) {
    char buf[64];
    pollfd p{s, POLLIN, 0};
    const bool gone = poll(&p, 1, seconds * 1000) > 0 && recv(s, buf, sizeof buf, 0) <= 0;
    close(s);
    return gone;
  };
  const int absurd = raw(), truncated = raw(), silent = raw();
  ASSERT_EQ(send(absurd, "\xFF\xFF\xFF\xFFL", 5, 0), 5);
  ASSERT_EQ(send(truncated, "\x00\x00\x00\x64L\x00\x00", 7, 0), 7);
  // Meanwhile a well-behaved client is served.
  Handle<Conn_t> conn = connect();
  Database db(conn, false);
  d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
  EXPECT_EQ(save(p), 0);
  EXPECT_TRUE(closed_within(absurd, 1));
  EXPECT_TRUE(closed_within(truncated, 5));
  EXPECT_TRUE(closed_within(silent, 5));
  // Connections opened and dropped; until the daemon has seen them go, it
  // may refuse new ones for their number, then serves again.
  for (int i = 0; i < 200; ++i) close(raw());
  bool served = false;
  for (int tries = 0; tries < 50 && !served; ++tries) {
    served = connect()->is_active();
    if (!served) usleep(100000);
  }
  EXPECT_TRUE(served);

  // A client killed while it holds a lock in a transaction loses both.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  if (child == 0) {
    Handle<Conn_t> mine = connect();
    Database held(mine, false);
    held.start_transaction();
    d_ref<Dyn_obj> locked = open_person(held, 2);
    d_int age(99);
    locked->set(U(u"Age"), age);
    save(locked);
    if (write(ready[1], "y", 1) == 1) pause();
    _exit(1);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
  // (The first session was idle longer than a second: it is closed too.)
  EXPECT_EQ(thrown([&] { open_person(db, 0); }), "-1 assertion failed in t_itcpbuf::reset()");
  Handle<Conn_t> fresh = connect();
  Database after(fresh, false);
  d_int age;
  open_person(after, 2, 10)->get(U(u"Age"), age);
  EXPECT_TRUE(age.is_null());
}

TEST_F(daemon_test, a_daemon_killed_mid_session_is_a_transport_error) {
  start();
  Handle<Conn_t> conn = connect();
  Database db(conn, false);
  d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
  stop(SIGKILL);
  const auto before = clock_type::now();
  // The reply that cannot come is the binding's failed chunk header.
  EXPECT_EQ(thrown([&] { save(p); }), "-1 assertion failed in t_itcpbuf::reset()");
  EXPECT_LT(clock_type::now() - before, std::chrono::seconds(5));
  EXPECT_EQ(thrown([&] { Dyn_obj::create(db, U(u"Sample.Person")); }), "-1 assertion failed in t_itcpbuf::reset()");
}

}  // namespace
}  // namespace torqa::e2e
