// Receiving a reply allocates nothing once the session is warm. Counted with
// a replaced global operator new, which sanitizer builds keep for themselves.
#if !defined(__SANITIZE_ADDRESS__)

#include "support/scripted_driver.h"

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
using torqa::test::bytes_elem;
using torqa::test::common_reply;
using torqa::test::scripted_driver;
using torqa::test::startup_reply;

TEST(receive_path, steady_state_property_reads_allocate_nothing) {
  // The counter sees this file's operator new (called directly: a
  // new-expression may be optimised away).
  g_counting = true;
  ::operator delete(::operator new(8));
  g_counting = false;
  ASSERT_EQ(g_allocations, 1u);

  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:test", "u", "p", nullptr);
  drv.reply(startup_reply());
  {
    Database db(conn, false);
    const auto name = torqa::test::u16(u"Age");
    // A reply of three chunks, served without copies and without recording.
    drv.repeat(common_reply("\x03\x04\x2A"s, "", "", "server output"), {3, 7});
    drv.record = false;
    drv.on_send = [] { g_counting = true; };  // from the request's hand-over on

    const auto round_trip = [&] {
      int v = 0;
      db.get_property(7, 3, 0, ret_data, name.data()) >> v;
      g_counting = false;
      return v;
    };
    for (int i = 0; i < 10; ++i) round_trip();
    g_allocations = 0;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(round_trip(), 42);
    EXPECT_EQ(g_allocations, 0u);

    drv.on_send = nullptr;
    drv.record = true;
    drv.reply(bytes_elem("") + bytes_elem(""));
  }
}

}  // namespace

#endif
