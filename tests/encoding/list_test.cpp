#include <gtest/gtest.h>
#include <torqa/errors.h>
#include <torqa/list.h>

#include <cstdint>
#include <string>

namespace {

using bytes = std::string;

bytes b(const char* p, std::size_t n) { return bytes(p, n); }

d_list list_of(const bytes& s) { return d_list(s.data(), s.size()); }

// Expects `edit` to be refused as too long, leaving the list unchanged.
template <class Edit>
void expect_refused(d_list& l, Edit edit) {
  const bytes before = l.bytes();
  try {
    edit(l);
    ADD_FAILURE() << "not refused";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1000);
    EXPECT_EQ(e.msg, "value too long for one element");
  }
  EXPECT_EQ(l.bytes(), before);
}

}  // namespace

TEST(list_edits, cursor_stays_where_it_is) {
  d_list l;
  l.append_elem(std::int64_t{5});
  l.append_elem(std::int64_t{-1});
  EXPECT_EQ(l.bytes(), b("\x03\x04\x05\x03\x05\xFF", 6));
  l.ins_elem(std::int64_t{7});
  EXPECT_EQ(l.bytes(), b("\x03\x04\x07\x03\x04\x05\x03\x05\xFF", 9));
  EXPECT_EQ(l.cur_index(), 0);
  std::int64_t v = 0;
  l.get_elem(&v);
  EXPECT_EQ(v, 7);

  d_list m = list_of(b("\x03\x04\x05\x03\x05\xFF", 6));
  m.move_to(1);
  m.set_elem("ab", 2);
  EXPECT_EQ(m.bytes(), b("\x03\x04\x05\x04\x01\x61\x62", 7));
  m.move_to(2);  // past the end, set and insert add at the end
  m.set_elem(std::int64_t{256});
  m.move_to(3);
  m.ins_elem(std::int64_t{-257});
  EXPECT_EQ(m.bytes(), b("\x03\x04\x05\x04\x01\x61\x62\x04\x04\x00\x01\x04\x05\xFF\xFE", 15));

  d_list big;  // a long-form element replaced by a short one
  big.append_elem(bytes(300, 'x').data(), 300);
  EXPECT_EQ(big.bytes().substr(0, 4), b("\x00\x2D\x01\x01", 4));
  big.set_elem(std::int64_t{2});
  EXPECT_EQ(big.bytes(), b("\x03\x04\x02", 3));

  d_list was_null;
  was_null.set_null();
  was_null.append_elem(std::int64_t{1});
  EXPECT_FALSE(was_null.is_null());
}

TEST(list_edits, encodings_by_kind) {
  d_list l;
  l.append_elem(2.08);
  EXPECT_EQ(l.bytes(), bytes("\x13\x01") + "2.080000000000000");
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
    const bytes one =
        uni ? b("\x08\x02\x61\x00\xE9\x00\xAC\x20", 8) : b("\x08\x01\x61\xC3\xA9\xE2\x82\xAC", 8);
    EXPECT_EQ(t.bytes(), one + one) << uni;
  }
}

TEST(list_edits, refuse_values_too_long_for_one_element) {
  d_list l = list_of(b("\x03\x04\x05", 3));
  const bytes data(65535, 'q');
  expect_refused(l, [&](d_list& x) { x.append_elem(data.data(), 65532); });
  expect_refused(l, [&](d_list& x) { x.set_elem(d_binary(data.data(), 65532)); });
  expect_refused(l, [&](d_list& x) { x.ins_elem(d_string(data.data(), 65535)); });
  const std::u16string wide(40000, u'w');
  const auto* units = reinterpret_cast<const unsigned short*>(wide.data());
  l.set_uni_srv(true);
  expect_refused(l, [&](d_list& x) { x.append_elem(units, 32766); });  // 65532 data bytes
  expect_refused(l, [&](d_list& x) { x.append_elem(units, 40000); });  // count beyond 16 bits

  l.append_elem(data.data(), 65531);  // the largest that fits: 65535 bytes in all
  EXPECT_EQ(l.bytes().substr(3, 4), b("\x00\xFC\xFF\x01", 4));
  EXPECT_EQ(l.size(), 3u + 65535u);
}

TEST(list_cursor, move_to_and_next_elem) {
  const d_list l = list_of(b("\x03\x04\x05\x03\x05\xFF", 6));
  l.move_to(2);
  EXPECT_TRUE(l.at_list_end());
  try {
    l.move_to(3);
    ADD_FAILURE() << "no error";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1000);
    EXPECT_EQ(e.msg, "d_list: no such element");
  }
  EXPECT_EQ(l.cur_index(), 2);
  EXPECT_TRUE(l.at_list_end());
  l.move_to(-4);
  EXPECT_EQ(l.cur_elem(), l.data());
  l.next_elem();
  l.next_elem();
  l.next_elem();  // at the end: stays
  EXPECT_EQ(l.cur_index(), 2);

  // Long-form and one-byte elements are stepped over by their lengths.
  const d_list m = list_of(b("\x00\x2D\x01\x01", 4) + bytes(300, 'z') + "\x01" + "\x03\x04\x09");
  EXPECT_EQ(m.count(), 3);
  m.move_to(2);
  std::int64_t v = 0;
  m.get_elem(&v);
  EXPECT_EQ(v, 9);
}

TEST(list_cursor, corrupt_lengths_stop_at_the_end) {
  // The last element announces more bytes than remain.
  const bytes head("\x05\x01\x61\x62\x63\x05\x01\x61\x62\x63\x05\x01\x61\x62\x63\x03\x04\x05", 18);
  for (const bytes& tail : {b("\x0A\x01\x41", 3), b("\x00\xFF\xFF", 3), b("\x00", 1)}) {
    const d_list l = list_of(head + tail);
    EXPECT_EQ(l.count(), 5);
    l.move_to(5);
    EXPECT_TRUE(l.at_list_end());
    EXPECT_THROW(l.move_to(6), Db_err);

    l.move_to(4);
    d_binary got("untouched");
    l.get_elem(got);
    EXPECT_LE(got.size(), tail.size());
    l.next_elem();
    std::int64_t v = 42;
    l.get_elem(&v);  // at the end: nothing is read
    EXPECT_EQ(v, 42);
  }
}

TEST(list_decoding, static_decoders_read_one_element) {
  const char five[] = "\x03\x04\x05\x03\x04\x06";
  double d = 0;
  d_list::get_elem(five, &d);
  EXPECT_EQ(d, 5.0);
  d_string s("old");
  d_list::get_elem(five, s);
  EXPECT_EQ(s.bytes(), "5");
  EXPECT_EQ(s.kind(), 0);

  std::int64_t v = 9;
  d_list::get_elem("\x02\x01", &v);
  EXPECT_EQ(v, 0);  // null
  v = 9;
  d_list::get_elem("\x02\x03", &v);
  EXPECT_EQ(v, 9);  // undecodable type
  d_list::get_elem("\x06\x02\x68\x00\x69\x00", s);
  EXPECT_EQ(s.bytes(), b("\x68\x00\x69\x00", 4));
  EXPECT_EQ(s.kind(), 1);
}
