// The binding through torqad over loopback, side by side with a Redis GET
// through hiredis to a redis-server started here: one property read round
// trip (p50 and p99 of the single iterations, in microseconds), throughput
// with 1, 4 and 16 clients, and 100,000 rows fetched through d_seq_query
// from the daemon against the same fetch embedded (p50 and p99 of the
// single fetches too, and the ratio of the p50s).
#include <torqa/connection.h>
#include <torqa/dynamic.h>
#include <torqa/names.h>
#include <torqa/query.h>
#include <torqa/session.h>

#include "support/daemon_process.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#ifdef TORQA_BENCH_REDIS
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
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

/// torqad serving namespace "ns", and the same namespace embedded at
/// `embedded`, both made once.
class fixture {
 public:
  fixture() {
    make_namespace(root_.path + "/data/ns");
    make_namespace(embedded_);
    std::string line;
    port_ = daemon_.start(TORQAD, {"--data", root_.path + "/data", "--schema", TORQA_SAMPLE_SCHEMA, "--fasthash"},
                          root_.path + "/torqad.log", &line);
    if (port_.empty()) throw std::runtime_error("torqad did not start: " + line);
  }
  Handle<Conn_t> connect() const {
    const std::string cs = "127.0.0.1[" + port_ + "]:ns";
    return tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
  }
  Handle<Conn_t> connect_embedded() const {
    const std::string cs = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + embedded_;
    return tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
  }
  const std::string& root() const { return root_.path; }

 private:
  torqa::bench::temp_dir root_;
  const std::string embedded_ = root_.path + "/embedded";
  torqa::test::daemon_process daemon_;
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
  // redis-server puts itself in the background, without persistence, and
  // is shut down through the connection at the end.
  const std::string port = free_port(), dir = daemon().root();
  const std::string start = "redis-server --port " + port + " --bind 127.0.0.1 --save '' --appendonly no --dir '" +
                            dir + "' --logfile '" + dir + "/redis.log' --daemonize yes";
  if (std::system(start.c_str()) != 0) return state.SkipWithError("redis-server did not start (is it installed?)");
  redisContext* c = nullptr;
  for (int tries = 0; tries < 100 && (c == nullptr || c->err != 0); ++tries) {
    if (c != nullptr) {
      redisFree(c);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    c = redisConnect("127.0.0.1", std::stoi(port));
  }
  if (c == nullptr || c->err != 0) {
    if (c != nullptr) redisFree(c);
    return state.SkipWithError("cannot connect to the redis-server started");
  }
  freeReplyObject(redisCommand(c, "SET age 41"));
  bool right = true;
  redis_p50 = percentiles(state, [&] {
    auto* r = static_cast<redisReply*>(redisCommand(c, "GET age"));
    right = right && r != nullptr && r->type == REDIS_REPLY_STRING && std::string(r->str, r->len) == "41";
    freeReplyObject(r);
  });
  freeReplyObject(redisCommand(c, "SHUTDOWN NOSAVE"));
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
// Seconds rather than the default half: short runs of many threads on a
// shared machine swing by a factor of two.
BENCHMARK(throughput_read)->Threads(1)->Threads(4)->Threads(16)->UseRealTime()->MinTime(2);
BENCHMARK(throughput_read_modify_write)->Threads(1)->Threads(4)->Threads(16)->UseRealTime()->MinTime(2);

double embedded_fetch_p50 = 0;  // of the last embedded run, for the ratio

void query_fetch(benchmark::State& state, bool remote) {
  Handle<Conn_t> c = remote ? daemon().connect() : daemon().connect_embedded();
  Database db(c, false);
  d_seq_query q(db);
  const std::u16string sql = u"SELECT Age, Height, Name FROM Sample_Person";
  q.prepare(U(sql.c_str()), static_cast<int>(sql.size()));
  if (q.failed()) return state.SkipWithError((std::string("the query was refused: ") + q.last_err().what()).c_str());
  d_int age;
  d_double height;
  d_string name;
  int rows = k_rows;
  const double p50 = percentiles(state, [&] {
    q.execute();
    int n = 0;
    while (q.fetch()) {
      q.get_data(&age);
      q.get_data(&height);
      q.get_data(&name, str_mb);
      ++n;
    }
    q.close();
    if (n != k_rows) rows = n;
  });
  if (rows != k_rows) return state.SkipWithError(("fetched " + std::to_string(rows) + " rows").c_str());
  state.SetItemsProcessed(state.iterations() * k_rows);
  if (!remote) embedded_fetch_p50 = p50;
  if (remote && embedded_fetch_p50 > 0) state.counters["vs_embedded_p50"] = p50 / embedded_fetch_p50;
}
void query_fetch_embedded(benchmark::State& state) { query_fetch(state, false); }
void query_fetch_daemon(benchmark::State& state) { query_fetch(state, true); }
BENCHMARK(query_fetch_embedded)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(query_fetch_daemon)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
