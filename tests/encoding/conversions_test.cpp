// Text conversions and the shared scratch buffers.
#include <torqa/conversions.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(conversions, between_server_and_client_16_bit_text_in_place) {
  char text[8] = {'a', 0, 'b', 0, 'c', 'z', 'x', 'y'};
  const unsigned short* out = nullptr;
  unsigned short n = 0;
  torqa_uni_to_uni(text, 6, &out, &n);
  EXPECT_EQ(static_cast<const void*>(out), text);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(std::string(text + 6, 2), std::string(2, '\0'));
  torqa_uni_to_uni(text, 5, &out, &n);  // the odd byte is dropped
  EXPECT_EQ(n, 2);
  EXPECT_EQ(std::string(text, 6), std::string("a\0b\0\0\0", 6));

  const unsigned short three[] = {1, 2, 3};
  const char* srv = nullptr;
  uni_to_torqa_uni(three, 3, &srv, &n);
  EXPECT_EQ(static_cast<const void*>(srv), three);
  EXPECT_EQ(n, 6);
  // A byte count is 16-bit: the text is cut at 32767 characters, and a
  // surrogate pair there is not split.
  std::vector<unsigned short> longer(40000, 'a');
  uni_to_torqa_uni(longer.data(), 40000, &srv, &n);
  EXPECT_EQ(n, 65534);
  longer[32766] = 0xD83D;
  uni_to_torqa_uni(longer.data(), 40000, &srv, &n);
  EXPECT_EQ(n, 65532);
  EXPECT_TRUE(empty_str == empty_name && *empty_str == 0);
}

TEST(conversions, eight_bit_to_client_16_bit_in_the_shared_buffer) {
  unsigned short* out = nullptr;
  unsigned short n = 0;
  mb_to_uni("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 10, &out, &n);
  EXPECT_EQ(static_cast<void*>(out), conv_buf);
  EXPECT_EQ(std::vector<unsigned short>(out, out + n),
            (std::vector<unsigned short>{0x0041, 0x00E9, 0x20AC, 0xD83D, 0xDE00}));

  // The result is cut at conv_buf's 16384 units without splitting a pair.
  const std::string text = std::string(16383, 'z') + "\xF0\x9F\x98\x80";
  mb_to_uni(text.data(), static_cast<unsigned short>(text.size()), &out, &n);
  EXPECT_EQ(n, 16383);
  EXPECT_EQ(out[n - 1], 'z');
}

}  // namespace
