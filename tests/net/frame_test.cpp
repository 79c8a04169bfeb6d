// Frames taken apart at every cut of the bytes, and lengths refused.
#include "server/net/frame.h"

#include <gtest/gtest.h>

namespace torqa::net {
namespace {

TEST(frame, parsed_whole_at_any_cut_and_malformed_lengths_refused) {
  const std::string two = make_frame(0x42, "hello") + make_frame(0x07, "");
  EXPECT_EQ(two, std::string("\0\0\0\6\x42hello\0\0\0\1\x07", 15));
  frame f;
  std::size_t used = 0;
  for (std::size_t n = 0; n < 10; ++n) {
    EXPECT_EQ(parse_frame(two.data(), n, f, used), parse_result::incomplete) << n;
    EXPECT_EQ(used, n < 4 ? 0u : 10u);
  }
  ASSERT_EQ(parse_frame(two.data(), two.size(), f, used), parse_result::complete);
  EXPECT_EQ(f.type, 0x42);
  EXPECT_EQ(f.body, "hello");
  ASSERT_EQ(parse_frame(two.data() + used, two.size() - used, f, used), parse_result::complete);
  EXPECT_TRUE(f.type == 0x07 && f.body.empty() && used == 5);

  for (const std::string& head : {std::string("\0\0\0\0", 4), std::string("\xFF\xFF\xFF\xFF", 4),
                                 std::string("\x01\0\0\x02", 4)})
    EXPECT_EQ(parse_frame(head.data(), head.size(), f, used), parse_result::malformed);
  EXPECT_THROW(make_frame(1, std::string(max_frame_length, 'x')), std::length_error);
}

}  // namespace
}  // namespace torqa::net
