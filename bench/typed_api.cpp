// The typed forms against the forms they stand beside, on an embedded
// namespace made from the sample schema: a property read the cache answers,
// a method call with an output argument, an object result, and a
// 100,000-row fetch, each also read as plain C++ values (as<T>(), get<T>).
// Each group does the same requests; the difference is the binding's own
// cost.
#include <Sample/Person.h>

#include <torqa/torqa.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace {

const unsigned short* U(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

// A cached session on a namespace in a temporary directory, with one saved
// person, removed at exit.
struct fixture {
  fixture() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torqa-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    const std::string where = "local[fasthash=1;schema=" TORQA_SAMPLE_SCHEMA "]:" + dir + "/ns";
    conn = std::make_unique<Handle<Conn_t>>(tcp_conn::connect(d_string(where.c_str()), "torqa", "torqa", nullptr));
    db = std::make_unique<Database>(*conn, true);
    d_ref<Sample::Person> p = Sample::Person::create(*db);
    p->set_Name("Ann");
    p->set_Age(40);
    p->set_Spouse(p);
    p->Save();
    id = p->Id().mb_str();
  }
  ~fixture() {
    db.reset();
    conn.reset();
    std::filesystem::remove_all(dir);
  }
  std::string dir, id;
  std::unique_ptr<Handle<Conn_t>> conn;
  std::unique_ptr<Database> db;
};

fixture& f() {
  static fixture instance;
  return instance;
}

void property_read_by_16_bit_name(benchmark::State& state) {
  d_ref<Dyn_obj> p = Dyn_obj::open(*f().db, U(u"Sample.Person"), U(u"1"));
  for (auto _ : state) {
    d_int age;
    p->get(U(u"Age"), age);
    benchmark::DoNotOptimize(age.value());
  }
}
BENCHMARK(property_read_by_16_bit_name);

void property_read_by_utf8_name(benchmark::State& state) {
  d_ref<Dyn_obj> p = Dyn_obj::open(*f().db, "Sample.Person", "1");
  for (auto _ : state) benchmark::DoNotOptimize(p->get<d_int>("Age").value());
}
BENCHMARK(property_read_by_utf8_name);

void property_read_generated(benchmark::State& state) {
  d_ref<Sample::Person> p = Sample::Person::open(*f().db, f().id);
  for (auto _ : state) benchmark::DoNotOptimize(p->Age().value());
}
BENCHMARK(property_read_generated);

void property_read_generated_as_optional(benchmark::State& state) {
  d_ref<Sample::Person> p = Sample::Person::open(*f().db, f().id);
  for (auto _ : state) benchmark::DoNotOptimize(p->Age().as<std::optional<int>>());
}
BENCHMARK(property_read_generated_as_optional);

void method_call_argument_array(benchmark::State& state) {
  d_ref<Dyn_obj> p = Dyn_obj::open(*f().db, U(u"Sample.Person"), U(u"1"));
  for (auto _ : state) {
    d_string prefix("Dr ");
    d_int length;
    D_type* args[] = {&prefix, &length};
    d_string result;
    result.get(p->run_method_by_name(U(u"Describe"), args, 2), f().db.get());
    benchmark::DoNotOptimize(length.value());
  }
}
BENCHMARK(method_call_argument_array);

void method_call_variadic(benchmark::State& state) {
  d_ref<Dyn_obj> p = Dyn_obj::open(*f().db, "Sample.Person", "1");
  for (auto _ : state) {
    d_int length;
    d_string result = p->call<d_string>("Describe", "Dr ", torqa::out(length));
    benchmark::DoNotOptimize(length.value());
  }
}
BENCHMARK(method_call_variadic);

void method_call_generated(benchmark::State& state) {
  d_ref<Sample::Person> p = Sample::Person::open(*f().db, f().id);
  for (auto _ : state) {
    d_int length;
    d_string result = p->Describe("Dr ", length);
    benchmark::DoNotOptimize(length.value());
  }
}
BENCHMARK(method_call_generated);

void method_call_variadic_string_result(benchmark::State& state) {
  d_ref<Dyn_obj> p = Dyn_obj::open(*f().db, "Sample.Person", "1");
  for (auto _ : state) {
    d_int length;
    std::string result = p->call<std::string>("Describe", "Dr ", torqa::out(length));
    benchmark::DoNotOptimize(result.data());
  }
}
BENCHMARK(method_call_variadic_string_result);

void object_result_late_bound(benchmark::State& state) {
  d_ref<Sample::Person> p = Sample::Person::open(*f().db, f().id);
  for (auto _ : state) benchmark::DoNotOptimize(p->Partner().get_proxy());
}
BENCHMARK(object_result_late_bound);

void object_result_typed(benchmark::State& state) {
  d_ref<Sample::Person> p = Sample::Person::open(*f().db, f().id);
  for (auto _ : state) benchmark::DoNotOptimize(p->Partner<Sample::Person>().get_proxy());
}
BENCHMARK(object_result_typed);

constexpr const char* rows_sql =
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
    "SELECT i, 'name' || i AS Name, i * 0.5 AS Half FROM n";

void fetch_rows_in_order(benchmark::State& state) {
  const std::u16string sql(rows_sql, rows_sql + std::char_traits<char>::length(rows_sql));
  d_seq_query q(*f().db);
  q.prepare(U(sql.c_str()), SQL_NTS);
  for (auto _ : state) {
    q.execute();
    long long sum = 0;
    while (q.fetch()) {
      d_int i;
      d_string name;
      d_double half;
      q.get_data(&i);
      q.get_data(&name, str_auto);
      q.get_data(&half);
      sum += i.value() + static_cast<long long>(name.size()) + static_cast<long long>(half.value());
    }
    q.close();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(fetch_rows_in_order)->Unit(benchmark::kMillisecond);

void fetch_rows_range_for(benchmark::State& state) {
  torqa::query q(*f().db, rows_sql);
  for (auto _ : state) {
    long long sum = 0;
    q.execute();
    for (auto& row : q.rows())
      sum += row.get<int>(1) + static_cast<long long>(row.get<d_string>(2).size()) +
             static_cast<long long>(row.get<double>(3));
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(fetch_rows_range_for)->Unit(benchmark::kMillisecond);

void fetch_rows_range_for_plain_values(benchmark::State& state) {
  torqa::query q(*f().db, rows_sql);
  for (auto _ : state) {
    long long sum = 0;
    q.execute();
    for (auto& row : q.rows())
      sum += row.get<long long>(1) + static_cast<long long>(row.get<std::string>(2).size()) +
             static_cast<long long>(row.get<std::optional<double>>(3).value_or(0));
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(fetch_rows_range_for_plain_values)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
