// Fetching rows allocates nothing once the query and its values are warm.
#if !defined(__SANITIZE_ADDRESS__)

#include "query/query_fixture.h"
#include "support/allocation_count.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace torqa::test;

TEST(fetch_path, steady_state_rows_allocate_nothing) {
  ASSERT_TRUE(counter_works());
  session s;
  s.drv.columns = {{u"Id", SQL_INTEGER}, {u"Amount", SQL_DOUBLE}, {u"Name", SQL_VARCHAR, 30}};
  for (int i = 0; i < 1000; ++i) {
    const std::string id{static_cast<char>(i & 0xFF), static_cast<char>(i >> 8), 0, 0};
    s.drv.rows.push_back({{id}, {unhex("00 00 00 00 00 00 F8 3F")}, {std::string(29, 'n') + char('0' + i % 10)}});
  }
  d_seq_query q(*s.db);
  prepare(q, u"SELECT Id, Amount, Name FROM Sample.Person");
  s.drv.record = false;

  d_int id;
  d_double amount;
  d_string name;
  int rows = 0;
  const auto run = [&] {
    rows = 0;
    q.execute();
    while (q.fetch()) {
      q.get_data(&id);
      q.get_data(&amount);
      q.get_data(&name, str_mb);
      ++rows;
    }
    q.close();
  };
  run();
  g_allocations = 0;
  g_counting = true;
  run();
  g_counting = false;
  EXPECT_EQ(g_allocations, 0u);
  EXPECT_EQ(rows, 1000);
  EXPECT_EQ(id.value(), 999);
  EXPECT_EQ(amount.value(), 1.5);
  EXPECT_EQ(name.bytes(), std::string(29, 'n') + '9');
  s.drv.record = true;
}

}  // namespace

#endif
