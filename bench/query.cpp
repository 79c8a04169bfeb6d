// Fetching 100,000 rows of (integer, double, 30-character text) through
// d_seq_query over the in-process scripted driver, and the same driver calls
// made directly as the peer: the difference is the binding's own cost per
// row ("per_row" gives the time per row).
#include "support/scripted_driver.h"

#include "transport/driver.h"

#include <torqa/query.h>
#include <torqa/session.h>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

namespace {

using torqa::test::bytes_elem;
using torqa::test::scripted_driver;

constexpr int row_count = 100000;

// A session whose statements serve the rows.
struct bench_session {
  bench_session() {
    drv.reply(torqa::test::startup_reply());
    db = std::make_unique<Database>(conn, false);
    drv.columns = {{u"Id", SQL_INTEGER}, {u"Amount", SQL_DOUBLE}, {u"Name", SQL_VARCHAR, 30}};
    drv.rows.reserve(row_count);
    for (int i = 0; i < row_count; ++i) {
      const double amount = i * 0.25;
      std::string id(reinterpret_cast<const char*>(&i), sizeof i);
      std::string a(reinterpret_cast<const char*>(&amount), sizeof amount);
      std::string name(30, static_cast<char>('a' + i % 26));
      drv.rows.push_back({{std::move(id)}, {std::move(a)}, {std::move(name)}});
    }
    drv.record = false;
  }
  ~bench_session() {
    drv.record = true;
    drv.reply(bytes_elem("") + bytes_elem(""));
    db.reset();
  }
  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:bench", "u", "p", nullptr);
  std::unique_ptr<Database> db;
};

void per_row(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * row_count);
  state.counters["per_row"] =
      benchmark::Counter(row_count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void fetch_rows_d_seq_query(benchmark::State& state) {
  bench_session s;
  d_seq_query q(*s.db);
  const auto text = torqa::test::u16(u"SELECT Id, Amount, Name FROM Sample.Person");
  q.prepare(text.data(), static_cast<int>(text.size() - 1));
  d_int id;
  d_double amount;
  d_string name;
  for (auto _ : state) {
    q.execute();
    while (q.fetch()) {
      q.get_data(&id);
      q.get_data(&amount);
      q.get_data(&name, str_mb);
    }
    q.close();
    benchmark::DoNotOptimize(name.size());
  }
  per_row(state);
}
BENCHMARK(fetch_rows_d_seq_query)->Unit(benchmark::kMillisecond);

// The peer: the driver calls the query makes, without the binding.
void fetch_rows_driver_only(benchmark::State& state) {
  bench_session s;
  const auto& drv = torqa::detail::driver();
  SQLHSTMT stmt = nullptr;
  drv.SQLAllocStmt(s.db->get_hdbc(), &stmt);
  static char piece[32768];
  SQLINTEGER id = 0;
  SQLDOUBLE amount = 0;
  SQLLEN ind = 0;
  for (auto _ : state) {
    drv.SQLExecute(stmt);
    while (drv.SQLFetch(stmt) == SQL_SUCCESS) {
      drv.SQLGetData(stmt, 1, SQL_C_SLONG, &id, sizeof id, &ind);
      drv.SQLGetData(stmt, 2, SQL_C_DOUBLE, &amount, sizeof amount, &ind);
      while (drv.SQLGetData(stmt, 3, SQL_C_CHAR, piece, sizeof piece, &ind) == SQL_SUCCESS) {
      }
    }
    drv.SQLFreeStmt(stmt, SQL_CLOSE);
    benchmark::DoNotOptimize(ind);
  }
  drv.SQLFreeStmt(stmt, SQL_DROP);
  per_row(state);
}
BENCHMARK(fetch_rows_driver_only)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
