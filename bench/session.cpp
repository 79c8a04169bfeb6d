// One request round trip of a session over the in-process scripted driver:
// building the request, handing it over, reading the reply head and the value.
// The driver serves one standing reply without copying it, so the figures are
// the binding's own cost per request.
#include "support/scripted_driver.h"

#include <torqa/session.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using namespace std::string_literals;
using torqa::test::bytes_elem;
using torqa::test::common_reply;
using torqa::test::scripted_driver;

// A session on the scripted driver, closed cleanly at the end.
struct bench_session {
  explicit bench_session(const std::string& standing_reply, bool use_cache = false) {
    drv.reply(torqa::test::startup_reply());
    db = std::make_unique<Database>(conn, use_cache);
    drv.repeat(standing_reply);
    drv.record = false;
  }
  ~bench_session() {
    drv.reply(bytes_elem("") + bytes_elem(""));
    db.reset();
  }
  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:bench", "u", "p", nullptr);
  std::unique_ptr<Database> db;
};

void get_property_round_trip(benchmark::State& state) {
  bench_session s(common_reply("\x03\x04\x2A"s));
  const auto name = torqa::test::u16(u"Age");
  for (auto _ : state) {
    int v = 0;
    s.db->get_property(7, 3, 0, ret_data, name.data()) >> v;
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(get_property_round_trip);

void run_method_three_arguments(benchmark::State& state) {
  bench_session s(common_reply(bytes_elem("result text")));
  const auto cls = torqa::test::u16(u"Sample.Person");
  const auto mtd = torqa::test::u16(u"Describe");
  d_int count(12);
  d_double ratio(0.25);
  d_string label("label");
  D_type* args[] = {&count, &ratio, &label};
  for (auto _ : state) {
    d_string result;
    result.get(s.db->run_method(5, cls.data(), mtd.data(), args, 3, nullptr, 0, ret_data), s.db.get());
    benchmark::DoNotOptimize(result.size());
  }
}
BENCHMARK(run_method_three_arguments);

// A property read answered by the property cache: no request is sent.
void cached_property_read(benchmark::State& state) {
  // One reply loads object 7 with "42" in slot 3 into the cache.
  const std::string section = torqa::test::elems([](t_ostream& o) {
    o << 1 << 7 << 1 << 3;
    o.put_str(0, "42", 2);
  });
  // The server's own answer (43) tells a request from a cached read (42).
  bench_session s(common_reply("\x03\x04\x2B"s, "", "", "", section), true);
  const auto name = torqa::test::u16(u"Age");
  int v = 0;
  s.db->get_property(7, -2, 0, ret_data, name.data()) >> v;  // not cached: asks the server
  for (auto _ : state) {
    s.db->get_property(7, 3, 0, ret_data, name.data()) >> v;
    benchmark::DoNotOptimize(v);
  }
  if (v != 42) state.SkipWithError("the cache did not answer");
}
BENCHMARK(cached_property_read);

}  // namespace

BENCHMARK_MAIN();
