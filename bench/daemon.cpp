// The binding through torqad over loopback, side by side with a Redis GET
// through hiredis to a redis-server started here: one property read round
// trip (p50 and p99 of the single iterations, in microseconds), throughput
// with 1, 4 and 16 clients, and 100,000 rows fetched through d_seq_query
// from the daemon against the same fetch embedded.
#include <torqa/connection.h>
#include <torqa/dynamic.h>
#include <torqa/names.h>
#include <torqa/query.h>
#include <torqa/session.h>

#include "temp_dir.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#ifdef TORQA_BENCH_REDIS
#include <hiredis/hiredis.h>
#endif

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

constexpr int k_rows = 100000;
using clock_type = std::chrono::steady_clock;

/// Creates a namespace of the sample schema at `path` holding k_rows people.
void make_namespace(const std::string& path) {
  {
    const std::string cs = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + path;
    Handle<Conn_t> c = tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
    Database db(c, false);
  }
  sqlite3* raw = nullptr;
  if (sqlite3_open((path + "/objects.db").c_str(), &raw) != SQLITE_OK) throw std::runtime_error("cannot open objects.db");
  sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(raw, "INSERT INTO Sample_Person(Name, Age, Height) VALUES(?, ?, ?)", -1, &ins, nullptr);
  for (int i = 0; i < k_rows; ++i) {
    const std::string name = "Person number " + std::to_string(i) + " of the benchmark";
    sqlite3_bind_text(ins, 1, name.substr(0, 30).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(ins, 2, i % 100);
    sqlite3_bind_double(ins, 3, 1.5 + i % 7);
    sqlite3_step(ins);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(raw);
}

/// A program run in the background, its standard error in `log`; stopped
/// with SIGTERM when the object goes. The first line of its standard output
/// is read by first_line().
class child {
 public:
  child(std::vector<std::string> args, const std::string& log) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      if (const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600); fd >= 0) dup2(fd, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  child(const child&) = delete;
  child& operator=(const child&) = delete;
  ~child() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    close(out_);
  }
  std::string first_line() {
    std::string line;
    char c = 0;
    for (pollfd p{out_, POLLIN, 0}; poll(&p, 1, 20000) > 0 && read(out_, &c, 1) == 1 && c != '\n';) line += c;
    return line;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

/// torqad serving namespace "ns", and the same namespace embedded at
/// `embedded`, both made once.
class fixture {
 public:
  fixture() {
    make_namespace(root_.path + "/data/ns");
    make_namespace(embedded);
    daemon_ = std::make_unique<child>(
        std::vector<std::string>{TORQAD, "--listen", "127.0.0.1:0", "--data", root_.path + "/data", "--schema",
                                 TORQA_SAMPLE_SCHEMA, "--fasthash"},
        root_.path + "/torqad.log");
    const std::string line = daemon_->first_line();
    if (!line.starts_with("listening on 127.0.0.1:")) throw std::runtime_error("torqad did not start: " + line);
    port_ = line.substr(line.rfind(':') + 1);
  }
  Handle<Conn_t> connect() const {
    const std::string cs = "127.0.0.1[" + port_ + "]:ns";
    return tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
  }
  Handle<Conn_t> connect_embedded() const {
    const std::string cs = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + embedded;
    return tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
  }
  const std::string& root() const { return root_.path; }

 private:
  torqa::bench::temp_dir root_;
  const std::string embedded = root_.path + "/embedded";
  std::unique_ptr<child> daemon_;
  std::string port_;
};

fixture& daemon() {
  static fixture f;
  return f;
}

/// Times each iteration of `op` and reports the 50th and 99th percentile in
/// microseconds; their p50.
template <class Op>
double percentiles(benchmark::State& state, Op op) {
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(state.max_iterations));
  for (auto _ : state) {
    const auto start = clock_type::now();
    op();
    us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
  }
  if (us.empty()) return 0;
  std::sort(us.begin(), us.end());
  const auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<std::size_t>(q * us.size()))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  return at(0.50);
}

double redis_p50 = 0;  // of the last Redis run, for the ratio

#ifdef TORQA_BENCH_REDIS
/// A port nobody listens on now.
std::string free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return std::to_string(ntohs(a.sin_port));
}

void redis_get(benchmark::State& state) {
  const std::string port = free_port();
  child server({"redis-server", "--port", port, "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
                "--dir", daemon().root()},
               daemon().root() + "/redis.log");
  redisContext* c = nullptr;
  for (int tries = 0; tries < 100; ++tries) {
    if (c != nullptr) redisFree(c);
    c = redisConnect("127.0.0.1", std::stoi(port));
    if (c != nullptr && c->err == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (c == nullptr || c->err != 0) {
    state.SkipWithError("redis-server did not start (is it installed?)");
    if (c != nullptr) redisFree(c);
    return;
  }
  freeReplyObject(redisCommand(c, "SET age 41"));
  bool right = true;
  redis_p50 = percentiles(state, [&] {
    auto* r = static_cast<redisReply*>(redisCommand(c, "GET age"));
    right = right && r != nullptr && r->type == REDIS_REPLY_STRING && std::string(r->str, r->len) == "41";
    freeReplyObject(r);
  });
  redisFree(c);
  if (!right) state.SkipWithError("wrong value");
}
#else
void redis_get(benchmark::State& state) {
  state.SkipWithError("built without hiredis: no Redis peer (install libhiredis-dev and redis-server)");
}
#endif
BENCHMARK(redis_get);

void property_read(benchmark::State& state) {
  Handle<Conn_t> c = daemon().connect();
  Database db(c, false);  // no cache: each read is one request
  d_ref<Dyn_obj> p = Dyn_obj::open(db, U(u"Sample.Person"), U(u"4242"));
  d_int age;
  const double p50 = percentiles(state, [&] { p->get(U(u"Age"), age); });
  if (age.value() != 4241 % 100) state.SkipWithError("wrong value");
  if (redis_p50 > 0) state.counters["vs_redis_p50"] = p50 / redis_p50;
}
BENCHMARK(property_read);

/// Each thread a client with its own connection, reading a property of its
/// own object (or reading, changing and saving it) as fast as it can.
void throughput(benchmark::State& state, bool write) {
  Handle<Conn_t> c = daemon().connect();
  Database db(c, false);
  const std::string digits = std::to_string(1000 + state.thread_index());
  const std::u16string id(digits.begin(), digits.end());
  d_ref<Dyn_obj> p = Dyn_obj::open(db, U(u"Sample.Person"), U(id.c_str()));
  d_int age;
  int failed = 0;
  for (auto _ : state) {
    p->get(U(u"Age"), age);
    if (write) {
      d_int next(age.value() + 1);
      p->set(U(u"Age"), next);
      failed += d_status(p->run_method_by_name(m_Save, nullptr, 0)).get_code() != 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
  if (failed > 0) state.SkipWithError("a save failed");
}
void throughput_read(benchmark::State& state) { throughput(state, false); }
void throughput_read_modify_write(benchmark::State& state) { throughput(state, true); }
BENCHMARK(throughput_read)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();
BENCHMARK(throughput_read_modify_write)->Threads(1)->Threads(4)->Threads(16)->UseRealTime();

void query_fetch(benchmark::State& state, bool remote) {
  Handle<Conn_t> c = remote ? daemon().connect() : daemon().connect_embedded();
  Database db(c, false);
  d_seq_query q(db);
  const std::u16string sql = u"SELECT Age, Height, Name FROM Sample_Person";
  q.prepare(U(sql.c_str()), static_cast<int>(sql.size()));
  if (q.failed()) {
    state.SkipWithError((std::string("SQL through the daemon was refused: ") + q.last_err().what()).c_str());
    return;
  }
  d_int age;
  d_double height;
  d_string name;
  for (auto _ : state) {
    q.execute();
    int rows = 0;
    while (q.fetch()) {
      q.get_data(&age);
      q.get_data(&height);
      q.get_data(&name, str_mb);
      ++rows;
    }
    q.close();
    if (rows != k_rows) state.SkipWithError("wrong row count");
  }
  state.SetItemsProcessed(state.iterations() * k_rows);
}
void query_fetch_embedded(benchmark::State& state) { query_fetch(state, false); }
void query_fetch_daemon(benchmark::State& state) { query_fetch(state, true); }
BENCHMARK(query_fetch_embedded)->Unit(benchmark::kMillisecond);
BENCHMARK(query_fetch_daemon)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
