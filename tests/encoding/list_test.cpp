// d_list: edits, the cursor, and decoding of its elements.
#include "support/scripted_driver.h"
#include "support/thrown.h"
#include "support/value_bytes.h"

#include <torqa/errors.h>
#include <torqa/list.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

using namespace torqa::test;

namespace {

d_list list_of(const std::string& s) { return d_list(s.data(), s.size()); }

}  // namespace

TEST(list_edits, insert_set_and_append_leave_the_cursor_in_place) {
  d_list l;
  l.set_null();
  l.append_elem(std::int64_t{5});
  l.append_elem(std::int64_t{-1});
  EXPECT_FALSE(l.is_null());
  EXPECT_EQ(hex(l.bytes()), "03 04 05 03 05 FF");
  l.ins_elem(std::int64_t{7});
  EXPECT_EQ(hex(l.bytes()), "03 04 07 03 04 05 03 05 FF");
  std::int64_t v = 0;
  l.get_elem(&v);
  EXPECT_TRUE(l.cur_index() == 0 && v == 7);

  d_list m = list_of(unhex("03 04 05 03 05 FF"));
  m.move_to(1);
  m.set_elem("ab", 2);
  EXPECT_EQ(hex(m.bytes()), "03 04 05 04 01 61 62");
  m.move_to(2);  // past the end, set and insert add at the end
  m.set_elem(std::int64_t{256});
  m.move_to(3);
  m.ins_elem(std::int64_t{-257});
  EXPECT_EQ(hex(m.bytes()), "03 04 05 04 01 61 62 04 04 00 01 04 05 FF FE");

  d_list big;  // a long-form element replaced by a short one
  big.append_elem(std::string(300, 'x').data(), 300);
  EXPECT_EQ(hex(big.bytes().substr(0, 4)), "00 2D 01 01");
  big.set_elem(std::int64_t{2});
  EXPECT_EQ(hex(big.bytes()), "03 04 02");
}

TEST(list_edits, encodings_by_kind) {
  d_list l;
  l.append_elem(2.08);
  EXPECT_EQ(l.bytes(), "\x13\x01" "2.080000000000000");
  double d = 0;
  d_list::get_elem(l.cur_elem(), &d);
  EXPECT_EQ(d, 2.08);

  // 16-bit text goes unchanged to a 16-bit server, as UTF-8 to an 8-bit one.
  const unsigned short text[] = {'a', 0xE9, 0x20AC, 0};
  for (bool uni : {true, false}) {
    d_list t;
    t.set_uni_srv(uni);
    t.append_elem(text, 3);
    t.append_elem(d_string(text));
    const std::string one = uni ? "08 02 61 00 E9 00 AC 20" : "08 01 61 C3 A9 E2 82 AC";
    EXPECT_EQ(hex(t.bytes()), one + " " + one) << uni;
  }
}

TEST(list_edits, refuse_values_too_long_for_one_element) {
  d_list l = list_of(unhex("03 04 05"));
  const std::string data(65535, 'q');
  const std::u16string wide(40000, u'w');
  const auto* units = reinterpret_cast<const unsigned short*>(wide.data());
  const std::function<void()> edits[] = {
      [&] { l.append_elem(data.data(), 65532); },
      [&] { l.set_elem(d_binary(data.data(), 65532)); },
      [&] { l.ins_elem(d_string(data.data(), 65535)); },
      [&] { l.set_uni_srv(true), l.append_elem(units, 32766); },  // 65532 data bytes
      [&] { l.set_uni_srv(true), l.append_elem(units, 40000); },  // a count beyond 16 bits
  };
  for (const auto& edit : edits) {
    EXPECT_EQ(thrown(edit), "-1000 value too long for one element");
    EXPECT_EQ(hex(l.bytes()), "03 04 05");
  }
  l.append_elem(data.data(), 65531);  // the largest that fits: 65535 bytes in all
  EXPECT_EQ(hex(l.bytes().substr(3, 4)), "00 FC FF 01");
  EXPECT_EQ(l.size(), 3u + 65535u);
}

TEST(list_cursor, move_to_and_next_elem) {
  const d_list l = list_of(unhex("03 04 05 03 05 FF"));
  l.move_to(2);
  EXPECT_TRUE(l.at_list_end());
  EXPECT_EQ(thrown([&] { l.move_to(3); }), "-1000 d_list: no such element");
  EXPECT_TRUE(l.cur_index() == 2 && l.at_list_end());
  l.move_to(-4);
  EXPECT_EQ(l.cur_elem(), l.data());
  for (int i = 0; i < 3; ++i) l.next_elem();  // at the end: stays
  EXPECT_EQ(l.cur_index(), 2);

  // Long-form and one-byte elements are stepped over by their lengths.
  const d_list m = list_of(unhex("00 2D 01 01") + std::string(300, 'z') + unhex("01 03 04 09"));
  EXPECT_EQ(m.count(), 3);
  m.move_to(2);
  std::int64_t v = 0;
  double d = 0;
  m.get_elem(&v), m.get_elem(&d);
  EXPECT_TRUE(v == 9 && d == 9.0);
  m.next_elem();
  EXPECT_TRUE(m.at_list_end());
}

TEST(list_cursor, corrupt_lengths_stop_at_the_end) {
  // The last element announces more bytes than remain.
  for (const char* tail : {"0A 01 41", "00 FF FF", "00"}) {
    const d_list l = list_of(repeat(unhex("05 01 61 62 63"), 3) + unhex("03 04 05") + unhex(tail));
    EXPECT_EQ(l.count(), 5);
    EXPECT_THROW(l.move_to(6), Db_err);
    l.move_to(4);
    d_binary got("untouched");
    l.get_elem(got);
    EXPECT_LE(got.size(), 1u);
    l.next_elem();
    std::int64_t v = 42;
    l.get_elem(&v);  // at the end: nothing is read
    EXPECT_EQ(v, 42);
  }
}

TEST(list_decoding, static_decoders_read_one_element) {
  const std::string five = unhex("03 04 05 03 04 06");
  double d = 0;
  d_list::get_elem(five.data(), &d);
  EXPECT_EQ(d, 5.0);
  d_string s("old");
  d_list::get_elem(five.data(), s);
  EXPECT_TRUE(s.bytes() == "5" && s.kind() == 0);
  std::int64_t null = 9, unknown = 9;
  d_list::get_elem("\x02\x01", &null);
  d_list::get_elem("\x02\x03", &unknown);
  EXPECT_TRUE(null == 0 && unknown == 9);
  d_list::get_elem("\x06\x02\x68\x00\x69\x00", s);
  EXPECT_TRUE(s.bytes() == units16(u"hi") && s.kind() == 1);
}
