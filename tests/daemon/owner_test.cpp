// A namespace owned by torqad: local connects of other processes through its
// socket, stale sockets, login keys of old namespaces, the daemon's bound on
// namespaces, lock waits ended by a stop or by their client leaving, and
// IPv6 listening.
#include "e2e/e2e_util.h"
#include "support/child_client.h"
#include "support/daemon_process.h"

#include <netinet/in.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace torqa::e2e {
namespace {

namespace fs = std::filesystem;

class owner_test : public ::testing::Test {
 protected:
  /// Starts torqad serving the parent of the test's namespace; the
  /// connection string's "127.0.0.1[PORT]" for it (empty when it did not
  /// start on 127.0.0.1).
  std::string start(test::daemon_process& d, std::vector<std::string> extra = {}, std::string* line = nullptr) {
    std::vector<std::string> args{"--data", data(), "--schema", TORQA_SAMPLE_SCHEMA, "--fasthash"};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string port = d.start(TORQAD, args, data() + "/torqad.log", line);
    return port.empty() ? port : "127.0.0.1[" + port + "]";
  }
  std::string data() const { return fs::path(dir.path()).parent_path().string(); }
  std::string socket() const { return dir.path() + "/socket"; }
  /// The kind of file at the namespace's socket path ('s' socket, 'l'
  /// link, 0 none, '?' another) and its permission bits.
  std::pair<char, unsigned> socket_file() const {
    struct stat st {};
    if (lstat(socket().c_str(), &st) != 0) return {0, 0};
    return {S_ISSOCK(st.st_mode) ? 's' : S_ISLNK(st.st_mode) ? 'l' : '?', st.st_mode & 0777};
  }
  std::string log() const {
    std::ifstream in(data() + "/torqad.log");
    return {std::istreambuf_iterator<char>(in), {}};
  }

  static Handle<Conn_t> tcp(const std::string& address, const std::string& name = "ns", Db_err* err = nullptr) {
    const std::string text = address + ":" + name;
    return tcp_conn::connect(d_string(text.c_str()), d_string("torqa"), d_string("torqa"), err);
  }
  Handle<Conn_t> local(const char* password = "torqa", Db_err* err = nullptr, unsigned chunk = 32768) const {
    return e2e::connect(dir.path(), config{false, false, chunk}, "torqa", password, err);
  }

  namespace_dir dir;
};

d_ref<Dyn_obj> open_person(Database& db, const char16_t* id, int concurrency, int timeout = 0) {
  return Dyn_obj::open(db, U(u"Sample.Person"), U(id), concurrency, timeout);
}

int save(d_ref<Dyn_obj>& o) { return d_status(o->run_method_by_name(m_Save, nullptr, 0)).get_code(); }

void add_person(Database& db, const char* name) {
  d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
  d_string n(name);
  p->set(U(u"Name"), n);
  ASSERT_EQ(save(p), 0);
}

TEST_F(owner_test, a_local_connect_goes_through_the_daemon_that_owns_the_namespace) {
  test::daemon_process d;
  const std::string address = start(d);
  ASSERT_FALSE(address.empty());
  {
    Handle<Conn_t> remote = tcp(address);
    ASSERT_TRUE(remote->is_active());
    Database a(remote, false);
    add_person(a, "Ann");
    EXPECT_EQ(socket_file(), std::make_pair('s', 0600u));

    // Through the owner, with the connection's own reply chunks.
    Handle<Conn_t> conn = local("torqa", nullptr, 7);
    ASSERT_TRUE(conn->is_active());
    Database b(conn, false);
    d_ref<Dyn_obj> p = open_person(b, u"1", 0);
    d_string name;
    p->get(U(u"Name"), name);
    EXPECT_EQ(name.mb_str(), std::string("Ann"));
    d_int age(41);
    p->set(U(u"Age"), age);
    EXPECT_EQ(save(p), 0);
    d_int seen;
    open_person(a, u"1", 0)->get(U(u"Age"), seen);
    EXPECT_EQ(seen.value(), 41);
    // One lock table for both.
    d_ref<Dyn_obj> held = open_person(a, u"1", 2);
    EXPECT_EQ(thrown([&] { open_person(b, u"1", 1); }), "-9 couldn't aquire read lock (open 5804)");

    Db_err err;
    EXPECT_FALSE(local("wrong", &err)->is_active());
    EXPECT_EQ(described(err) + " | " + err.diag.state, "-1014 couldn't connect | 28000");
  }
  EXPECT_EQ(d.stop(SIGTERM), 0);
  EXPECT_EQ(socket_file().first, 0);
}

TEST_F(owner_test, a_stale_socket_is_replaced_and_a_link_in_its_place_is_not_followed) {
  {
    test::daemon_process d;
    ASSERT_TRUE(tcp(start(d))->is_active());
    d.stop(SIGKILL);
  }
  ASSERT_EQ(socket_file().first, 's');
  // Nothing owns the namespace: the connect serves it itself and removes
  // the dead daemon's socket.
  ASSERT_TRUE(local()->is_active());
  EXPECT_EQ(socket_file().first, 0);

  const std::string victim = data() + "/victim";
  std::ofstream(victim) << "kept";
  ASSERT_EQ(symlink(victim.c_str(), socket().c_str()), 0);
  test::daemon_process d;
  ASSERT_TRUE(tcp(start(d))->is_active());
  EXPECT_EQ(socket_file(), std::make_pair('s', 0600u));
  std::ifstream in(victim);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
  EXPECT_TRUE(local()->is_active());
}

TEST_F(owner_test, a_namespace_without_login_keys_gets_them_from_a_local_login) {
  ASSERT_TRUE(local()->is_active());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir.path() + "/objects.db").c_str(), &db), SQLITE_OK);
  const auto keys = [&] {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM torqa_settings WHERE key = 'scram:torqa'", -1, &st, nullptr);
    const int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
    sqlite3_finalize(st);
    return n;
  };
  // As a namespace made before the keys were kept.
  ASSERT_EQ(sqlite3_exec(db, "DELETE FROM torqa_settings WHERE key = 'scram:torqa'", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_FALSE(local("wrong")->is_active());
  EXPECT_EQ(keys(), 0);
  EXPECT_TRUE(local()->is_active());
  EXPECT_EQ(keys(), 1);
  sqlite3_close(db);

  test::daemon_process d;
  EXPECT_TRUE(tcp(start(d))->is_active());
}

TEST_F(owner_test, namespaces_are_bounded_and_their_creation_logged) {
  test::daemon_process d;
  const std::string address = start(d, {"--max-namespaces", "1"});
  ASSERT_TRUE(tcp(address)->is_active());
  Db_err err;
  EXPECT_FALSE(tcp(address, "other", &err)->is_active());
  EXPECT_EQ(err.diag.text, "too many namespaces open (1)");
  EXPECT_FALSE(fs::exists(data() + "/other"));
  EXPECT_TRUE(tcp(address)->is_active());
  d.stop(SIGTERM);
  const std::string text = log();
  EXPECT_NE(text.find(": created namespace ns\n"), std::string::npos) << text;
  EXPECT_NE(text.find(": refused: too many namespaces open (1)\n"), std::string::npos) << text;
}

TEST_F(owner_test, a_stop_ends_a_request_waiting_for_a_lock_and_rolls_its_transaction_back) {
  test::daemon_process d;
  const std::string address = start(d);
  // The daemon closes its connections in their order: the holder's last.
  Handle<Conn_t> waiter_conn = tcp(address), holder_conn = tcp(address);
  Database holder(holder_conn, false);
  add_person(holder, "Ann");
  d_ref<Dyn_obj> held = open_person(holder, u"1", 2);

  std::string waited;
  std::thread waiter([&] {
    Database db(waiter_conn, false);
    db.start_transaction();
    add_person(db, "Bo");
    waited = thrown([&] { open_person(db, u"1", 2, 30); });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the waiter is waiting
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(d.stop(SIGTERM), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10));
  waiter.join();
  EXPECT_FALSE(waited.empty());

  test::daemon_process again;
  Handle<Conn_t> conn = tcp(start(again));
  Database db(conn, false);
  EXPECT_EQ(thrown([&] { open_person(db, u"2", 0); }), "-9 object not found (open 5809)");
}

TEST_F(owner_test, a_client_gone_while_waiting_for_a_lock_lets_its_locks_go_at_once) {
  test::daemon_process d;
  const std::string address = start(d);
  Handle<Conn_t> conn = tcp(address);
  Database db(conn, false);
  add_person(db, "Ann");
  add_person(db, "Bo");
  d_ref<Dyn_obj> held = open_person(db, u"1", 2);

  // The child holds person 2, then waits for person 1 until it is killed.
  test::child_client child([&](auto ready) {
    Handle<Conn_t> mine = tcp(address);
    Database waiting(mine, false);
    waiting.start_transaction();
    d_ref<Dyn_obj> bo = open_person(waiting, u"2", 2);
    if (ready()) open_person(waiting, u"1", 2, 30);
  });
  ASSERT_TRUE(child.ready());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the child is waiting
  child.kill();
  EXPECT_EQ(thrown([&] { open_person(db, u"2", 2, 10); }), "nothing thrown");
}

TEST_F(owner_test, the_daemon_listens_on_an_ipv6_address) {
  const int probe = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool have_v6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (probe >= 0) close(probe);
  if (!have_v6) GTEST_SKIP() << "this machine has no IPv6 loopback";
  test::daemon_process d;
  std::string line;
  start(d, {"--listen", "[::1]:0"}, &line);
  ASSERT_TRUE(line.starts_with("listening on [::1]:")) << line;
  EXPECT_TRUE(tcp("::1[" + line.substr(line.rfind(':') + 1) + "]")->is_active());
}

}  // namespace
}  // namespace torqa::e2e
