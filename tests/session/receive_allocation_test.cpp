// Receiving a reply allocates nothing once the session is warm.
#if !defined(__SANITIZE_ADDRESS__)

#include "support/allocation_count.h"
#include "support/session_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;
using namespace torqa::test;

TEST(receive_path, steady_state_property_reads_allocate_nothing) {
  ASSERT_TRUE(counter_works());
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
