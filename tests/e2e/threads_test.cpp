// Separate sessions on separate threads: each thread with a connection and a
// session of its own, all at once on shared namespaces, through every kind of
// request. Run under ThreadSanitizer too (./dev.sh tsan).
#include "e2e_util.h"

#include <torqa/query.h>

#include <chrono>
#include <thread>
#include <vector>

namespace torqa::e2e {
namespace {

using std::chrono::steady_clock;

// One round of a thread's work on its own person `name`: properties, a list,
// an instance and a class method, a stream written and read back, the row
// found by SQL. Throws on the first thing that is not as written.
void one_round(Database& db, const std::string& name) {
  const auto expect = [&](bool ok, const std::string& what) {
    if (!ok) throw Db_err(-1, name + ": " + what);
  };
  d_ref<Dyn_obj> p = Dyn_obj::create(db, U(u"Sample.Person"));
  d_string n(name.c_str());
  d_int age(40);
  d_list codes;
  codes.set_uni_srv(db.is_uni_srv());
  codes.append_elem(std::int64_t{7});
  codes.append_elem(n);
  p->set(U(u"Name"), n);
  p->set(U(u"Age"), age);
  p->set(U(u"Codes"), codes);
  expect(d_status(p->run_method_by_name(m_Save, nullptr, 0)).get_code() == 0, "save");
  const std::string id = d_string(p->run_method_by_name(U(u"%Id"), nullptr, 0)).mb_str();

  d_string prefix("Dr ");
  d_int length(0);
  D_type* describe[] = {&prefix, &length};
  expect(result<d_string>(p->run_method_by_name(U(u"Describe"), describe, 2), &db).mb_str() ==
             "Dr " + name + " (40)",
         "Describe");
  d_int a(17), b(5), quotient, remainder;
  D_type* divide[] = {&a, &b, &quotient, &remainder};
  run_class_method(db, U(u"Sample.Person"), U(u"Divide"), divide, 4);
  expect(quotient.value() == 3 && remainder.value() == 2, "Divide");
  d_list back;
  p->get(U(u"Codes"), back);
  d_string second;
  back.move_to(1);
  back.get_elem(second);
  expect(back.count() == 2 && second.mb_str() == name, "Codes");

  d_ref<d_stream> notes = p->get_ref<d_stream>(U(u"Notes"));
  const std::string line = name + " \xC3\xA9";
  notes->write(d_string((line + "\n").c_str()));
  notes->run_method_by_name(m_Rewind, nullptr, 0);
  d_int len(100);
  d_string read;
  notes->readline(len, read);
  expect(read.mb_str() == line, "Notes");

  d_seq_query q(db);
  q.prepare(U(u"SELECT Name, Age FROM Sample_Person WHERE \"ID\" = ?"), SQL_NTS);
  q.set_par(1, d_string(id.c_str()));
  q.execute();
  d_string row_name;
  d_int row_age;
  expect(q.fetch(), "SQL row " + id);
  q.get_data(&row_name, str_auto);
  q.get_data(&row_age);
  expect(row_name.mb_str() == name && row_age.value() == 40 && !q.fetch() && !q.failed(), "SQL");
  q.close();
}

class e2e_threads : public ::testing::TestWithParam<bool> {};

TEST_P(e2e_threads, separate_sessions_run_on_separate_threads) {
  // Two namespaces, 8-bit and 16-bit text; cached and uncached sessions;
  // embedded, or through the daemon (started here, before the threads).
  const bool daemon = GetParam();
  const test_namespace narrow(config{false, false, 32768, daemon}), wide(config{true, false, 32768, daemon});
  if (daemon) daemons::get(false), daemons::get(true);
  constexpr int n_threads = 8;
  const auto until = steady_clock::now() + std::chrono::seconds(3);
  std::vector<int> rounds(n_threads, 0);
  std::vector<std::string> failures(n_threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < n_threads; ++t) {
    threads.emplace_back([&, t] {
      try {
        const config c{t % 2 == 1, t % 4 >= 2, t == 7 ? 7u : 32768u, daemon};
        Db_err err;
        Handle<Conn_t> conn = connect((c.unicode ? wide : narrow).where(), c, "torqa", "torqa", &err);
        if (!conn->is_active()) throw err;
        Database db(conn, c.cached);
        do {
          one_round(db, "thread " + std::to_string(t) + " round " + std::to_string(rounds[t]));
          ++rounds[t];
        } while (steady_clock::now() < until);
      } catch (const std::exception& e) {
        failures[t] = e.what();
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < n_threads; ++t) {
    EXPECT_EQ(failures[t], "") << "thread " << t;
    EXPECT_GT(rounds[t], 0) << "thread " << t;
  }
}

INSTANTIATE_TEST_SUITE_P(transports, e2e_threads, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "daemon" : "embedded"; });

}  // namespace
}  // namespace torqa::e2e
