// Receiving a reply allocates nothing once the session is warm. Counted with
// a replaced global operator new, which sanitizer builds keep for themselves.
#if !defined(__SANITIZE_ADDRESS__)

#include "support/session_fixture.h"

#include <torqa/session.h>

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

using namespace std::string_literals;
using namespace torqa::test;

TEST(receive_path, steady_state_property_reads_allocate_nothing) {
  // The counter sees this file's operator new (called directly: a
  // new-expression may be optimised away).
  g_counting = true;
  ::operator delete(::operator new(8));
  g_counting = false;
  ASSERT_EQ(g_allocations, 1u);

  session s;
  const auto name = u16(u"Age");
  // A reply of three chunks, served without copies and without recording.
  s.drv.repeat(common_reply("\x03\x04\x2A"s, "", "", "server output"), {3, 7});
  s.drv.record = false;
  s.drv.on_send = [] { g_counting = true; };  // from the request's hand-over on
  const auto round_trip = [&] {
    int v = 0;
    s.db->get_property(7, 3, 0, ret_data, name.data()) >> v;
    g_counting = false;
    return v;
  };
  for (int i = 0; i < 10; ++i) round_trip();
  g_allocations = 0;
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(round_trip(), 42);
  EXPECT_EQ(g_allocations, 0u);
  s.drv.on_send = nullptr;
  s.drv.record = true;
}

}  // namespace

#endif
