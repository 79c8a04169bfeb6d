// Fetching rows allocates nothing once the query and its values are warm.
// Counted with a replaced global operator new, which sanitizer builds keep
// for themselves.
#if !defined(__SANITIZE_ADDRESS__)

#include "query/query_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

namespace {

std::size_t g_allocations = 0;
bool g_counting = false;

}  // namespace

// Out of line: inlined into a caller, GCC would see the malloc behind a
// new and warn about the delete that frees it.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace torqa::test;

TEST(fetch_path, steady_state_rows_allocate_nothing) {
  // The counter sees this file's operator new (called directly: a
  // new-expression may be optimised away).
  g_counting = true;
  ::operator delete(::operator new(8));
  g_counting = false;
  ASSERT_EQ(g_allocations, 1u);

  query_session s;
  s.drv.columns = {{u"Id", SQL_INTEGER}, {u"Amount", SQL_DOUBLE}, {u"Name", SQL_VARCHAR, 30}};
  for (int i = 0; i < 1000; ++i) {
    std::string id(4, '\0');
    id[0] = static_cast<char>(i & 0xFF);
    id[1] = static_cast<char>(i >> 8);
    s.drv.rows.push_back({{id}, {unhex("00 00 00 00 00 00 F8 3F")}, {std::string(29, 'n') + char('0' + i % 10)}});
  }
  d_seq_query q(*s.db);
  const auto text = u16(u"SELECT Id, Amount, Name FROM Sample.Person");
  q.prepare(text.data(), static_cast<int>(text.size() - 1));
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
