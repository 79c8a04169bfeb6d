// `torqa import` against SQLite itself: 7-column rows of the sample class
// Sample.Person read from CSV and saved as objects, beside the same rows
// inserted with a prepared statement directly into a SQLite table with the
// server's settings (WAL, synchronous=NORMAL), one transaction per row and
// in transactions of 500 rows. Items per second are rows per second.
#include "cli.h"
#include "temp_dir.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

constexpr int k_rows = 20000;

const char* const k_header = "Name,Age,Height,Active,Birthday,WakeUp,Created\n";

std::string csv_rows(int n) {
  std::string text = k_header;
  for (int i = 0; i < n; ++i)
    text += "Person number " + std::to_string(i) + "," + std::to_string(i % 90) + ",1." + std::to_string(i % 9) +
            ",true,1990-01-0" + std::to_string(i % 9 + 1) + ",06:30:00,2024-01-02 03:04:05\n";
  return text;
}

using torqa::bench::temp_dir;

void BM_torqa_import(benchmark::State& state) {
  temp_dir dir;
  using namespace torqa::cli;
  session s(connection_settings{"local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + dir.path + "/ns", "torqa",
                                std::string("torqa")});
  const std::string csv = csv_rows(k_rows);
  std::ostringstream out, err;
  for (auto _ : state) {
    std::istringstream in(csv);
    context c{s, format::table, out, err, in};
    if (run_guarded(c, invocation{{"import", "Sample.Person", "-"}, {}}) != exit_ok)
      state.SkipWithError(err.str().c_str());
    out.str("");
  }
  state.SetItemsProcessed(state.iterations() * k_rows);
}
BENCHMARK(BM_torqa_import)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
}

// Raw inserts of the same values, committed every `per_transaction` rows.
void sqlite_inserts(benchmark::State& state, int per_transaction) {
  temp_dir dir;
  sqlite3* db = nullptr;
  sqlite3_open((dir.path + "/raw.db").c_str(), &db);
  exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
  exec(db,
       "CREATE TABLE person(ID INTEGER PRIMARY KEY, Name VARCHAR, Age INTEGER, Height DOUBLE, Active BOOLEAN, "
       "Birthday DATE, WakeUp TIME, Created TIMESTAMP)");
  sqlite3_stmt* ins = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO person(Name, Age, Height, Active, Birthday, WakeUp, Created) "
                         "VALUES(?, ?, ?, ?, ?, ?, ?)", -1, &ins, nullptr);
  for (auto _ : state) {
    for (int i = 0; i < k_rows; ++i) {
      if (i % per_transaction == 0) exec(db, "BEGIN");
      const std::string name = "Person number " + std::to_string(i);
      const std::string day = "1990-01-0" + std::to_string(i % 9 + 1);
      sqlite3_bind_text(ins, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(ins, 2, i % 90);
      sqlite3_bind_double(ins, 3, 1.0 + (i % 9) / 10.0);
      sqlite3_bind_int(ins, 4, 1);
      sqlite3_bind_text(ins, 5, day.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(ins, 6, "06:30:00", -1, SQLITE_STATIC);
      sqlite3_bind_text(ins, 7, "2024-01-02 03:04:05", -1, SQLITE_STATIC);
      if (sqlite3_step(ins) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
      sqlite3_reset(ins);
      if ((i + 1) % per_transaction == 0 || i + 1 == k_rows) exec(db, "COMMIT");
    }
  }
  sqlite3_finalize(ins);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * k_rows);
}

void BM_sqlite_insert_per_row(benchmark::State& state) { sqlite_inserts(state, 1); }
void BM_sqlite_insert_batched(benchmark::State& state) { sqlite_inserts(state, 500); }
BENCHMARK(BM_sqlite_insert_per_row)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_sqlite_insert_batched)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
