// Capture of the server's output text, and the exported callout table.
#include "support/value_bytes.h"

#include <torqa/output.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace torqa::test;

namespace {

using units = std::vector<unsigned short>;

void fill(db_output& o, const std::string& element) {
  input in(element);
  in.is >> o;
}

// A counted string: 16-bit byte count, the bytes, then `room` spare bytes.
std::vector<char> counted(const std::string& s, std::size_t room) {
  std::vector<char> v(2 + s.size() + room, '?');
  const auto n = static_cast<unsigned short>(s.size());
  std::memcpy(v.data(), &n, 2);
  std::memcpy(v.data() + 2, s.data(), s.size());
  return v;
}

std::string text_of(const std::vector<char>& v) {
  unsigned short n = 0;
  std::memcpy(&n, v.data(), 2);
  return {v.data() + 2, n};
}

}  // namespace

TEST(server_output, eight_and_sixteen_bit_captures) {
  auto o = std::make_unique<db_output>();
  const std::string mb = element("h\xC3\xA9llo");
  fill(*o, mb);
  EXPECT_FALSE(o->is_uni_text());
  EXPECT_EQ(o->length(), 6);
  char out[16];
  EXPECT_EQ(o->get_istream().read(out, 16).gcount(), 6);
  EXPECT_EQ(std::string(out, 6), "h\xC3\xA9llo");

  // 8-bit text read as 16-bit: the driver's conversion, unformatted reads.
  fill(*o, mb);
  std::basic_istream<unsigned short>& w = o->get_wistream();
  EXPECT_EQ(w.get(), 'h');
  unsigned short got[8];
  w.read(got, 8);
  EXPECT_EQ(units(got, got + w.gcount()), (units{0xE9, 'l', 'l', 'o'}));
  EXPECT_TRUE(w.eof());

  // 16-bit server text ("hé" and U+1F600): unchanged as 16-bit, UTF-8 as 8-bit.
  const std::string uni = element(units16(u"h\u00E9\U0001F600"), 2);
  fill(*o, uni);
  EXPECT_TRUE(o->is_uni_text());
  EXPECT_EQ(o->get_wistream().read(got, 8).gcount(), 4);  // the state of the last read is cleared
  EXPECT_EQ(units(got, got + 4), (units{0x68, 0xE9, 0xD83D, 0xDE00}));
  fill(*o, uni);
  EXPECT_EQ(o->get_istream().read(out, 16).gcount(), 7);
  EXPECT_EQ(std::string(out, 7), "h\xC3\xA9\xF0\x9F\x98\x80");

  // The capture is bounded by its 32768-byte buffer; the rest is consumed.
  input in(element(std::string(40000, 'x')) + unhex("03 04 05"));
  int next = 0;
  in.is >> *o >> next;
  EXPECT_EQ(o->length(), 32768);
  EXPECT_EQ(next, 5);
  EXPECT_EQ(o->get_istream().ignore(40000).gcount(), 32768);
}

TEST(callout_table, greeting) {
  int host_a = 0, host_b = 0;
  const zf_row* table = GetZFTable(&host_a, &host_b);
  EXPECT_STREQ(table[0].name, "test");
  EXPECT_STREQ(table[0].arg_types, "bB");
  EXPECT_TRUE(table[1].name == nullptr && table[1].arg_types == nullptr && table[1].fn == nullptr);

  std::vector<char> in = counted("abc", 0), out = counted("", 64);
  EXPECT_EQ(table[0].fn(in.data(), out.data()), 0);
  EXPECT_EQ(text_of(out), "hello, abc");
  std::vector<char> same = counted("xyz", 7);  // output over its own input
  EXPECT_EQ(table[0].fn(same.data(), same.data()), 0);
  EXPECT_EQ(text_of(same), "hello, xyz");

  // The count is 16 bits: a longer result is cut at 65535 bytes.
  std::vector<char> big = counted(std::string(65535, 'b'), 0), big_out = counted("", 65535 + 7);
  EXPECT_EQ(table[0].fn(big.data(), big_out.data()), 0);
  EXPECT_EQ(text_of(big_out).size(), 65535u);
  EXPECT_EQ(big_out[2 + 65535], '?');
}
