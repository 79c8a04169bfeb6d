// The binding through torqad over loopback: one property read round trip
// (p50 and p99 of the single iterations, in microseconds), alone and taken
// turn about with a Redis GET through hiredis to a redis-server started
// here (their ratio); throughput with 1, 4 and 16 clients; and 100,000 rows
// fetched through d_seq_query from the daemon and embedded, turn about.
//
// On a machine with idle cores a round trip swings by ten times with where
// the scheduler puts its two ends: waking an idle virtual CPU costs tens of
// microseconds, and it falls on either peer. `taskset -c 0 bench_daemon
// --benchmark_filter=vs_redis` keeps both ends on one core and compares
// what each side does per request.
#include <torqa/connection.h>
#include <torqa/dynamic.h>
#include <torqa/names.h>
#include <torqa/query.h>
#include <torqa/session.h>

#include "support/daemon_process.h"
#include "people.h"
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


/// torqad serving namespace "ns", and the same namespace embedded at
/// `embedded`, both made once.
class fixture {
 public:
  fixture() {
    torqa::bench::make_people(root_.path + "/data/ns", k_rows);
    torqa::bench::make_people(embedded_, k_rows);
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

/// Durations of single operations, in microseconds.
class timings {
 public:
  explicit timings(const benchmark::State& state) { us_.reserve(static_cast<std::size_t>(state.max_iterations)); }
  /// Runs `op` and keeps how long it took.
  template <class Op>
  void time(Op op) {
    const auto start = clock_type::now();
    op();
    us_.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
  }
  /// Sets counters PREFIXp50_us and PREFIXp99_us; the 50th percentile.
  double report(benchmark::State& state, const std::string& prefix = "") {
    if (us_.empty()) return 0;
    std::sort(us_.begin(), us_.end());
    const auto at = [&](double q) { return us_[std::min(us_.size() - 1, static_cast<std::size_t>(q * us_.size()))]; };
    state.counters[prefix + "p50_us"] = at(0.50);
    state.counters[prefix + "p99_us"] = at(0.99);
    return at(0.50);
  }

 private:
  std::vector<double> us_;
};

/// Times each iteration of `op`; reports and answers the percentiles.
template <class Op>
double percentiles(benchmark::State& state, Op op) {
  timings t(state);
  for (auto _ : state) t.time(op);
  return t.report(state);
}

/// Sample.Person 4242 through torqad, without the cache: each read of its
/// Age is one request.
class remote_person {
 public:
  remote_person() : conn_(daemon().connect()), db_(conn_, false) {}
  void read() { p_->get(U(u"Age"), age_); }
  bool right() const { return age_.value() == 4241 % 100; }

 private:
  Handle<Conn_t> conn_;
  Database db_;
  d_ref<Dyn_obj> p_ = Dyn_obj::open(db_, U(u"Sample.Person"), U(u"4242"));
  d_int age_;
};

void property_read(benchmark::State& state) {
  remote_person person;
  percentiles(state, [&] { person.read(); });
  if (!person.right()) state.SkipWithError("wrong value");
}
BENCHMARK(property_read);

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

/// A redis-server of its own, without persistence, holding "age"; it puts
/// itself in the background and is shut down through the connection.
class redis_peer {
 public:
  redis_peer() {
    const std::string port = free_port(), dir = daemon().root();
    const std::string start = "redis-server --port " + port + " --bind 127.0.0.1 --save '' --appendonly no --dir '" +
                              dir + "' --logfile '" + dir + "/redis.log' --daemonize yes";
    if (std::system(start.c_str()) != 0) {
      why_ = "redis-server did not start (is it installed?)";
      return;
    }
    for (int tries = 0; tries < 100 && (c_ == nullptr || c_->err != 0); ++tries) {
      if (c_ != nullptr) {
        redisFree(c_);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      c_ = redisConnect("127.0.0.1", std::stoi(port));
    }
    if (c_ == nullptr || c_->err != 0) why_ = "cannot connect to the redis-server started";
    else freeReplyObject(redisCommand(c_, "SET age 41"));
  }
  redis_peer(const redis_peer&) = delete;
  redis_peer& operator=(const redis_peer&) = delete;
  ~redis_peer() {
    if (c_ != nullptr && c_->err == 0) freeReplyObject(redisCommand(c_, "SHUTDOWN NOSAVE"));
    if (c_ != nullptr) redisFree(c_);
  }
  /// Why there is no peer; empty when there is.
  const std::string& why() const { return why_; }
  void get() {
    auto* r = static_cast<redisReply*>(redisCommand(c_, "GET age"));
    right_ = right_ && r != nullptr && r->type == REDIS_REPLY_STRING && std::string(r->str, r->len) == "41";
    freeReplyObject(r);
  }
  bool right() const { return right_; }

 private:
  redisContext* c_ = nullptr;
  std::string why_;
  bool right_ = true;
};

// The two round trips taken turn about, so that both meet the machine in the
// same state: its load moves each of them by up to ten times.
void property_read_vs_redis_get(benchmark::State& state) {
  redis_peer redis;
  if (!redis.why().empty()) return state.SkipWithError(redis.why().c_str());
  remote_person person;
  timings ours(state), theirs(state);
  for (auto _ : state) {
    ours.time([&] { person.read(); });
    theirs.time([&] { redis.get(); });
  }
  const double p50 = ours.report(state), redis_p50 = theirs.report(state, "redis_");
  if (redis_p50 > 0) state.counters["vs_redis_p50"] = p50 / redis_p50;
  if (!person.right() || !redis.right()) state.SkipWithError("wrong value");
}
#else
void property_read_vs_redis_get(benchmark::State& state) {
  state.SkipWithError("built without hiredis: no Redis peer (install libhiredis-dev and redis-server)");
}
#endif
BENCHMARK(property_read_vs_redis_get);

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

/// SELECT of three columns of the 100,000 people, prepared once on a
/// connection; fetch() reads every row and answers how many came.
class people_query {
 public:
  explicit people_query(Handle<Conn_t> c) : conn_(std::move(c)) {
    const std::u16string sql = u"SELECT Age, Height, Name FROM Sample_Person";
    q_.prepare(U(sql.c_str()), static_cast<int>(sql.size()));
  }
  /// Why the query cannot run; empty when it can.
  std::string refused() const {
    return q_.failed() ? std::string("the query was refused: ") + q_.last_err().what() : std::string();
  }
  int fetch() {
    q_.execute();
    int n = 0;
    while (q_.fetch()) {
      q_.get_data(&age_);
      q_.get_data(&height_);
      q_.get_data(&name_, str_mb);
      ++n;
    }
    q_.close();
    return n;
  }

 private:
  Handle<Conn_t> conn_;
  Database db_{conn_, false};
  d_seq_query q_{db_};
  d_int age_;
  d_double height_;
  d_string name_;
};

// The fetches through the daemon and embedded taken turn about, as the
// round trips are: p50_us and p99_us are the daemon's.
void query_fetch_daemon_vs_embedded(benchmark::State& state) {
  people_query remote(daemon().connect()), local(daemon().connect_embedded());
  for (const people_query* q : {&remote, &local})
    if (const std::string why = q->refused(); !why.empty()) return state.SkipWithError(why.c_str());
  timings ours(state), embedded(state);
  int fewest = k_rows;
  for (auto _ : state) {
    ours.time([&] { fewest = std::min(fewest, remote.fetch()); });
    embedded.time([&] { fewest = std::min(fewest, local.fetch()); });
  }
  if (fewest != k_rows) return state.SkipWithError(("fetched " + std::to_string(fewest) + " rows").c_str());
  const double p50 = ours.report(state), embedded_p50 = embedded.report(state, "embedded_");
  if (embedded_p50 > 0) state.counters["vs_embedded_p50"] = p50 / embedded_p50;
}
BENCHMARK(query_fetch_daemon_vs_embedded)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
