// The binding against the embedded server, side by side with SQLite used
// directly on the same namespace file (the floor): one property read by
// object (uncached and cached) against a prepared lookup by row id, and
// 100,000 rows fetched through d_seq_query against a raw sqlite3_step loop.
#include <torqa/connection.h>
#include <torqa/dynamic.h>
#include <torqa/query.h>
#include <torqa/session.h>

#include "people.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

constexpr int k_rows = 100000;

// A namespace with the sample schema and 100,000 people, made once.
class bench_namespace {
 public:
  bench_namespace() : path_(root_.path + "/ns") {
    torqa::bench::make_people(path_, k_rows);
  }
  Handle<Conn_t> connect() const {
    const std::string cs = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + path_;
    return tcp_conn::connect(d_string(cs.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
  }
  sqlite3* open_raw(int flags) const {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((path_ + "/objects.db").c_str(), &db, flags, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot open objects.db");
    return db;
  }

 private:
  torqa::bench::temp_dir root_;
  std::string path_;
};

bench_namespace& ns() {
  static bench_namespace n;
  return n;
}

void property_read(benchmark::State& state, bool cached) {
  Handle<Conn_t> c = ns().connect();
  Database db(c, cached);
  d_ref<Dyn_obj> p = Dyn_obj::open(db, U(u"Sample.Person"), U(u"4242"));
  d_int age;
  for (auto _ : state) {
    p->get(U(u"Age"), age);
    benchmark::DoNotOptimize(age.value());
  }
  if (age.value() != 4241 % 100) state.SkipWithError("wrong value");
}
void property_read_uncached(benchmark::State& state) { property_read(state, false); }
void property_read_cached(benchmark::State& state) { property_read(state, true); }
BENCHMARK(property_read_uncached);
BENCHMARK(property_read_cached);

void sqlite_read_by_rowid(benchmark::State& state) {
  sqlite3* db = ns().open_raw(SQLITE_OPEN_READONLY);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT Age FROM Sample_Person WHERE ID = ?", -1, &st, nullptr);
  int age = 0;
  for (auto _ : state) {
    sqlite3_bind_int(st, 1, 4242);
    sqlite3_step(st);
    age = sqlite3_column_int(st, 0);
    sqlite3_reset(st);
    benchmark::DoNotOptimize(age);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}
BENCHMARK(sqlite_read_by_rowid);

void query_fetch_d_seq_query(benchmark::State& state) {
  Handle<Conn_t> c = ns().connect();
  Database db(c, false);
  d_seq_query q(db);
  const std::u16string sql = u"SELECT Age, Height, Name FROM Sample_Person";
  q.prepare(U(sql.c_str()), static_cast<int>(sql.size()));
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
BENCHMARK(query_fetch_d_seq_query)->Unit(benchmark::kMillisecond);

void query_fetch_sqlite_step(benchmark::State& state) {
  sqlite3* db = ns().open_raw(SQLITE_OPEN_READONLY);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT Age, Height, Name FROM Sample_Person", -1, &st, nullptr);
  std::string name;
  for (auto _ : state) {
    int rows = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      benchmark::DoNotOptimize(sqlite3_column_int(st, 0));
      benchmark::DoNotOptimize(sqlite3_column_double(st, 1));
      name.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)), sqlite3_column_bytes(st, 2));
      ++rows;
    }
    sqlite3_reset(st);
    if (rows != k_rows) state.SkipWithError("wrong row count");
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * k_rows);
}
BENCHMARK(query_fetch_sqlite_step)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
