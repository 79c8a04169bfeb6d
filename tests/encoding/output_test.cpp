#include <gtest/gtest.h>
#include <torqa/output.h>
#include <torqa/streams.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using units = std::vector<unsigned short>;

void fill(db_output& o, std::string element) {
  t_istrstream is(element.data(), static_cast<int>(element.size()));
  is >> o;
}

// A counted string: 16-bit byte count, then the bytes, then `room` spare.
std::vector<char> counted(const std::string& s, std::size_t room) {
  std::vector<char> v(2 + s.size() + room, '?');
  const auto n = static_cast<unsigned short>(s.size());
  std::memcpy(v.data(), &n, 2);
  std::memcpy(v.data() + 2, s.data(), s.size());
  return v;
}

unsigned short count_of(const std::vector<char>& v) {
  unsigned short n = 0;
  std::memcpy(&n, v.data(), 2);
  return n;
}

}  // namespace

TEST(server_output, eight_and_sixteen_bit_captures) {
  auto o = std::make_unique<db_output>();
  const std::string mb = std::string("\x08\x01") + "h\xC3\xA9llo";
  fill(*o, mb);
  EXPECT_FALSE(o->is_uni_text());
  EXPECT_EQ(o->length(), 6);
  std::string text(6, '\0');
  EXPECT_TRUE(o->get_istream().read(text.data(), 6));
  EXPECT_EQ(text, "h\xC3\xA9llo");

  // 8-bit text read as 16-bit: the driver's conversion, unformatted reads.
  fill(*o, mb);
  std::basic_istream<unsigned short>& w = o->get_wistream();
  EXPECT_EQ(w.get(), 'h');
  EXPECT_EQ(w.get(), 0xE9u);
  unsigned short rest[8];
  w.read(rest, 8);
  EXPECT_EQ(w.gcount(), 3);
  EXPECT_TRUE(w.eof());
  EXPECT_EQ(units(rest, rest + 3), (units{'l', 'l', 'o'}));

  // 16-bit server text ("hé" and U+1F600): unchanged as 16-bit, UTF-8 as 8-bit.
  const std::string uni("\x0A\x02\x68\x00\xE9\x00\x3D\xD8\x00\xDE", 10);
  fill(*o, uni);
  EXPECT_TRUE(o->is_uni_text());
  unsigned short got[8];
  EXPECT_EQ(o->get_wistream().read(got, 8).gcount(), 4);  // the state of the last read is cleared
  EXPECT_EQ(units(got, got + 4), (units{0x68, 0xE9, 0xD83D, 0xDE00}));
  fill(*o, uni);
  char out[16];
  EXPECT_EQ(o->get_istream().read(out, 16).gcount(), 7);
  EXPECT_EQ(std::string(out, 7), "h\xC3\xA9\xF0\x9F\x98\x80");
}

TEST(server_output, capture_is_bounded_by_its_buffer) {
  auto o = std::make_unique<db_output>();
  std::string reply("\x00\x41\x9C\x01", 4);  // 40000 data bytes
  reply += std::string(40000, 'x') + "\x03\x04\x05";
  t_istrstream is(reply.data(), static_cast<int>(reply.size()));
  int next = 0;
  is >> *o >> next;
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
  EXPECT_EQ(count_of(out), 10);
  EXPECT_EQ(std::string(out.data() + 2, 10), "hello, abc");

  std::vector<char> same = counted("xyz", 7);  // output over its own input
  EXPECT_EQ(table[0].fn(same.data(), same.data()), 0);
  EXPECT_EQ(std::string(same.data() + 2, count_of(same)), "hello, xyz");

  // The count is 16 bits: a longer result is cut at 65535 bytes.
  std::vector<char> big = counted(std::string(65535, 'b'), 0), big_out = counted("", 65535 + 7);
  EXPECT_EQ(table[0].fn(big.data(), big_out.data()), 0);
  EXPECT_EQ(count_of(big_out), 65535);
  EXPECT_EQ(big_out[2 + 65535], '?');
}
