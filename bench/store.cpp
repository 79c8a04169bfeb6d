// What the embedded server's storage costs in memory and time at scale,
// through the binding: a 2 GiB stream written, saved and read back; a
// property edit on an object holding a 1 GiB stream; the memory of a session
// that creates many objects. The client and the server share this process,
// so the figures cover both sides.
//
// Memory is reported as counters: peak_rss_mb (the process's peak resident
// size, so run one benchmark per process, e.g.
// --benchmark_filter=stream_round_trip) and rss_mb (resident size after the
// run). These runs take minutes and gigabytes of disk under TMPDIR.
#include <torqa/collections.h>
#include <torqa/connection.h>
#include <torqa/dynamic.h>
#include <torqa/session.h>

#include "temp_dir.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

double peak_rss_mb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;
}

double rss_mb() {
  long pages = 0, resident = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A fresh namespace with the sample schema, removed afterwards.
class bench_namespace {
 public:
  Handle<Conn_t> connect() const {
    const std::string cs = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + root_.path + "/ns";
    return tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
  }

 private:
  torqa::bench::temp_dir root_;
};

int save(d_ref<Dyn_obj>& o) { return d_status(o->run_method_by_name(U(u"%Save"), nullptr, 0)).get_code(); }

// The byte at `offset` of the test content: varied, and cheap to check.
char byte_at(std::int64_t offset) { return static_cast<char>((offset * 131) ^ (offset >> 13)); }

constexpr std::int64_t piece = 30000;

// Writes `size` bytes to the Picture stream of a new person and saves it.
void write_stream(Database& db, std::int64_t size) {
  d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
  d_ref<d_stream> s = p->get_ref<d_stream>(U(u"Picture"));
  std::string buf;
  for (std::int64_t at = 0; at < size; at += piece) {
    buf.resize(static_cast<std::size_t>(std::min(piece, size - at)));
    for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = byte_at(at + static_cast<std::int64_t>(i));
    s->write(d_binary(buf.data(), buf.size()));
  }
  if (save(p) != 0) throw std::runtime_error("save failed");
}

void stream_round_trip(benchmark::State& state) {
  const std::int64_t size = state.range(0) << 20;
  for (auto _ : state) {
    bench_namespace ns;
    Handle<Conn_t> c = ns.connect();
    {
      Database db(c, false);
      write_stream(db, size);
    }
    Database db(c, false);
    d_ref<Dyn_obj> p = Dyn_obj::open(db, U(u"Sample.Person"), U(u"1"));
    d_ref<d_stream> s = p->get_ref<d_stream>(U(u"Picture"));
    std::int64_t at = 0;
    for (d_int len(32000);; len = d_int(32000)) {
      d_binary data;
      s->read(len, data);
      if (len.value() == -1) break;
      for (std::size_t i = 0; i < data.size(); i += 4093)
        if (data.bytes()[i] != byte_at(at + static_cast<std::int64_t>(i))) state.SkipWithError("content differs");
      at += static_cast<std::int64_t>(data.size());
    }
    if (at != size) state.SkipWithError("content is short");
  }
  state.counters["peak_rss_mb"] = peak_rss_mb();
  state.SetBytesProcessed(state.iterations() * size * 2);
}
BENCHMARK(stream_round_trip)->Arg(2048)->Unit(benchmark::kSecond)->Iterations(1);

void property_edit_beside_a_long_stream(benchmark::State& state) {
  bench_namespace ns;
  Handle<Conn_t> c = ns.connect();
  Database db(c, false);
  write_stream(db, state.range(0) << 20);
  d_ref<Dyn_obj> p = Dyn_obj::open(db, U(u"Sample.Person"), U(u"1"));
  p->get_ref<d_stream>(U(u"Picture"));  // the stream is open too, unchanged
  int age = 0;
  for (auto _ : state) {
    d_int v(++age);
    p->set(U(u"Age"), v);
    if (save(p) != 0) state.SkipWithError("save failed");
  }
  state.counters["peak_rss_mb"] = peak_rss_mb();
}
BENCHMARK(property_edit_beside_a_long_stream)->Arg(1024)->Unit(benchmark::kMillisecond);

// Objects created and saved one after the other in one session, each
// released by the client before the next.
void objects_in_one_session(benchmark::State& state) {
  for (auto _ : state) {
    bench_namespace ns;
    Handle<Conn_t> c = ns.connect();
    Database db(c, false);
    for (std::int64_t i = 0; i < state.range(0); ++i) {
      d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
      d_string name(("Person " + std::to_string(i)).c_str());
      p->set(U(u"Name"), name);
      if (save(p) != 0) state.SkipWithError("save failed");
    }
    state.counters["rss_mb"] = rss_mb();
  }
  state.counters["peak_rss_mb"] = peak_rss_mb();
}
BENCHMARK(objects_in_one_session)->Arg(1000)->Arg(400000)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
