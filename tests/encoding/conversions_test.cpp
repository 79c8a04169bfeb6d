// Text conversions and the shared scratch buffers.
#include <torqa/conversions.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(conversions, server_16_bit_to_client_in_place) {
  char text[8] = {'a', 0, 'b', 0, 'c', 0, 'x', 'y'};
  const unsigned short* out = nullptr;
  unsigned short n = 0;
  torqa_uni_to_uni(text, 6, &out, &n);
  EXPECT_EQ(static_cast<const void*>(out), text);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(std::string(text + 6, 2), std::string(2, '\0'));

  char odd[6] = {'a', 0, 'b', 0, 'c', 'z'};
  torqa_uni_to_uni(odd, 5, &out, &n);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(std::string(odd, 6), std::string("a\0b\0\0\0", 6));
}

TEST(conversions, client_16_bit_to_server) {
  const unsigned short three[] = {1, 2, 3};
  const char* out = nullptr;
  unsigned short n = 0;
  uni_to_torqa_uni(three, 3, &out, &n);
  EXPECT_EQ(static_cast<const void*>(out), three);
  EXPECT_EQ(n, 6);

  // A byte count is 16-bit: the text is cut at 32767 characters, and a
  // surrogate pair there is not split.
  std::vector<unsigned short> longer(40000, 'a');
  uni_to_torqa_uni(longer.data(), 40000, &out, &n);
  EXPECT_EQ(n, 65534);
  longer[32766] = 0xD83D;
  uni_to_torqa_uni(longer.data(), 40000, &out, &n);
  EXPECT_EQ(n, 65532);
}

TEST(conversions, eight_bit_to_client_16_bit) {
  unsigned short* out = nullptr;
  unsigned short n = 0;
  mb_to_uni("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 10, &out, &n);
  EXPECT_EQ(static_cast<void*>(out), conv_buf);
  EXPECT_EQ(std::vector<unsigned short>(out, out + n),
            (std::vector<unsigned short>{0x0041, 0x00E9, 0x20AC, 0xD83D, 0xDE00}));

  // The result is cut at conv_buf's 16384 units without splitting a pair.
  std::string text(16383, 'z');
  text += "\xF0\x9F\x98\x80";
  mb_to_uni(text.data(), static_cast<unsigned short>(text.size()), &out, &n);
  EXPECT_EQ(n, 16383);
  EXPECT_EQ(out[n - 1], 'z');
}

TEST(conversions, shared_data) {
  EXPECT_EQ(empty_str, empty_name);
  EXPECT_EQ(*empty_str, 0);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(conv_buf) % 8, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(copy_buf) % 8, 0u);
}

}  // namespace
