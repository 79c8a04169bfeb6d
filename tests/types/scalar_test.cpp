// The scalar value classes: null state, their elements, text conversions,
// comparisons, status decoding and names.
#include "support/scripted_driver.h"
#include "support/thrown.h"
#include "support/value_bytes.h"

#include <torqa/errors.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using namespace torqa::test;

namespace {

std::u16string name_text(const db_name& n) { return {n.c_str(), n.c_str() + n.length()}; }

// 16-bit client text of `n` copies of `c`, zero-terminated.
std::vector<unsigned short> units(char16_t c, std::size_t n) {
  std::vector<unsigned short> v(n, c);
  v.push_back(0);
  return v;
}

}  // namespace

TEST(value_null_state, construction_and_set_null) {
  d_int five(5);
  five.set_null();
  EXPECT_TRUE(d_int().is_null() && five.is_null() && five.value() == 0);
  EXPECT_FALSE(d_binary().is_null() || d_string().is_null());
  d_string w(u16(u"hi").data());
  EXPECT_TRUE((w.set_null(), w.is_null() && w.size() == 0 && w.kind() == 2));
  EXPECT_TRUE((w.assign(u16(u"xyz").data(), 1), !w.is_null() && w.bytes() == units16(u"x")));
  // 8-bit assignment makes 8-bit text, whatever the string held before.
  w.assign("xyz", 3);
  EXPECT_TRUE(w.kind() == 0 && w.mb_str() == "xyz" && hex(written(w, true)) == "05 01 78 79 7A");
}

TEST(value_put, writes_each_value_as_its_element_for_either_server) {
  d_double null_double(3.0);
  d_binary null_binary("x");
  d_string null_text(u16(u"x").data());
  for (D_type* v : std::initializer_list<D_type*>{&null_double, &null_binary, &null_text}) v->set_null();
  const d_string mb("a\xC3\xA9"), client(u16(u"a\u00E9").data());
  const auto server = read_value<d_string>(unhex("06 02 61 00 E9 00"));
  const struct { const D_type& v; std::string to_8_bit, to_16_bit = {}; } cases[] = {  // empty to_16_bit: as to_8_bit
      {d_int(-257), "04 05 FF FE"}, {d_int(INT_MIN), "06 05 00 00 00 80"}, {d_int(), "02 01"},
      {d_double(-0.5), hex(element("-0.500000000000000"))}, {d_binary("ab\0c", 4), "06 01 61 62 00 63"},
      {null_double, "02 01"}, {null_binary, "02 01"}, {null_text, "02 01"},
      {mb, "05 01 61 C3 A9"},  // 8-bit text goes unchanged
      {client, "05 01 61 C3 A9", "06 02 61 00 E9 00"},
      {server, "05 01 61 C3 A9", "06 02 61 00 E9 00"},
      {d_string(u16(u"\U0001F600").data()), "06 01 F0 9F 98 80", "06 02 3D D8 00 DE"},
      {db_name(u16(u"AB").data()), "04 01 41 42", "06 02 41 00 42 00"},
      {db_name(u16(u"\u00E9").data()), "04 01 C3 A9", "04 02 E9 00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex(written(c.v, false)), c.to_8_bit);
    EXPECT_EQ(hex(written(c.v, true)), c.to_16_bit.empty() ? c.to_8_bit : c.to_16_bit);
  }
}

TEST(value_put, refuses_data_longer_than_one_element) {
  const std::string longest(65535, 'x'), too_long(65536, 'x');
  EXPECT_EQ(written(d_binary(longest.data(), longest.size())), unhex("00 00 00 01") + longest);
  // 16-bit text: the limit applies to the bytes actually sent.
  const auto a32k = units(u'a', 32768), e32k = units(u'\u00E9', 32768);
  const d_binary bin_long(too_long.data(), too_long.size());
  const d_string mb_long(too_long.data(), too_long.size()), wide_ascii(a32k.data()), wide_accents(e32k.data());
  const db_name name_ascii(a32k.data()), name_accents(e32k.data());
  const std::pair<const D_type*, bool> refused[] = {{&bin_long, false},     {&mb_long, true},    {&wide_ascii, true},
                                                    {&wide_accents, false}, {&name_ascii, true}, {&name_accents, false}};
  for (const auto& [v, uni_srv] : refused) {
    t_ostrstream os;
    os.set_uni_srv(uni_srv);
    EXPECT_EQ(thrown([&] { v->put(os, nullptr); }), "-1000 value too long for one element");
    EXPECT_EQ(os.size(), 0u) << "bytes were written before the refusal";
  }
  d_string fits;
  fits.assign(e32k.data(), 21845);  // 43690 bytes as 8-bit text
  EXPECT_EQ(written(fits, false), unhex("00 AB AA 01") + repeat("\xC3\xA9", 21845));
  for (const D_type* v : std::initializer_list<const D_type*>{&wide_ascii, &name_ascii})
    EXPECT_EQ(written(*v, false), unhex("00 01 80 01") + std::string(32768, 'a'));
}

TEST(value_get, reads_numbers_nulls_and_text_of_either_kind) {
  EXPECT_EQ(read_value<d_int>(unhex("07 04 07 00 00 00 01")).value(), 7);  // only the low 32 bits
  input in(unhex("02 01 03 04 05 02 01 02 03"));
  d_int n(9);
  d_double d(7.0);
  EXPECT_TRUE((n.get(in.is, nullptr), n.is_null() && n.value() == 0));
  EXPECT_TRUE((n.get(in.is, nullptr), !n.is_null() && n.value() == 5));
  EXPECT_TRUE((d.get(in.is, nullptr), d.is_null() && d.value() == 0.0));
  d.set(7.0);  // an element that is no number leaves the double's value as it was
  EXPECT_TRUE((d.get(in.is, nullptr), d.is_null() && d.value() == 7.0));

  // Text keeps its kind.
  input text(unhex("06 02 61 00 E9 00 04 01 68 69 02 01"));
  d_string s(text.is);
  EXPECT_TRUE(s.kind() == 1 && s.bytes() == units16(u"a\u00E9") && s.mb_str() == "a\xC3\xA9");
  s.get(text.is, nullptr);
  EXPECT_TRUE(s.kind() == 0 && s.bytes() == "hi");
  s.set_null();
  s.get(text.is, nullptr);
  EXPECT_TRUE(!s.is_null() && s.size() == 0);
  const auto b = read_value<d_binary>(unhex("06 02 61 00 E9 00"));
  EXPECT_TRUE(!b.is_null() && hex(b.bytes()) == "61 00 E9 00");
}

TEST(d_string_conversion, fixed_capacity_cuts_between_characters) {
  char buf[8] = "~~~~~~~";
  EXPECT_TRUE(d_string("abcdef").to_mb(buf, 3) == 3 && std::string(buf, 4) == "abc~");  // no NUL
  EXPECT_EQ(d_string("a\xC3\xA9").to_mb(buf, 2), 1);
  unsigned short out[4] = {};
  EXPECT_TRUE(d_string("a\xC3\xA9").to_uni(out, 4) == 2 && out[0] == 0x61 && out[1] == 0xE9);
  EXPECT_EQ(d_string("a\xC3\xA9").to_uni(out, 1), 1);

  const d_string client(u16(u"a\U0001F600b").data());
  const auto server = read_value<d_string>(element(units16(u"a\U0001F600b"), 2));
  for (const d_string* s : {&client, &server}) {
    EXPECT_TRUE(s->to_mb(buf, 8) == 6 && std::string(buf, 6) == "a\xF0\x9F\x98\x80" "b");
    EXPECT_TRUE(s->to_mb(buf, 4) == 1 && s->to_uni(out, 2) == 1);  // the pair stays whole
    EXPECT_EQ(s->to_uni(out, 4), 4);
    EXPECT_EQ(std::vector<unsigned short>(out, out + 4), (std::vector<unsigned short>{0x61, 0xD83D, 0xDE00, 0x62}));
  }
}

TEST(d_string_conversion, whole_text_conversions_and_printing_keep_every_character) {
  d_string s("a\xC3\xA9");
  s.to_uni();
  EXPECT_TRUE(s.kind() == 2 && hex(s.bytes()) == "61 00 E9 00");
  s.to_mb();
  EXPECT_TRUE(s.kind() == 0 && s.bytes() == "a\xC3\xA9");
  auto odd = read_value<d_string>(unhex("05 02 61 00 62"));  // an odd trailing byte is dropped
  EXPECT_EQ(hex((odd.to_uni(), odd.bytes())), "61 00");
  EXPECT_EQ(printed(read_value<d_string>(unhex("04 02 E9 00"))), "\xC3\xA9");

  // Texts longer than the 32768-byte scratch buffers.
  const auto accents = units(u'\u00E9', 20000);
  d_string wide(accents.data()), round = wide;
  const std::string expected = repeat("\xC3\xA9", 20000);
  EXPECT_TRUE(wide.mb_str() == expected && printed(wide) == expected);
  EXPECT_EQ((round.to_mb(), round.bytes()), expected);
  EXPECT_EQ((round.to_uni(), round.bytes()), wide.bytes());
  EXPECT_EQ((wide.set_null(), printed(wide)), "");

  // A character straddling the driver's piece boundary stays whole.
  const std::string text = std::string(16383, 'a') + "\xF0\x9F\x98\x80" + std::string(20000, 'b');
  d_string straddle(text.data(), text.size());
  straddle.to_uni();
  ASSERT_EQ(straddle.size(), 2u * (16383 + 2 + 20000));
  EXPECT_EQ(hex(straddle.bytes().substr(2 * 16382, 8)), "61 00 3D D8 00 DE 62 00");
}

TEST(d_string_compare, length_first_then_bytes_across_kinds) {
  const d_string client(u16(u"abc").data());
  const auto server = read_value<d_string>(element(units16(u"abc"), 2));
  const std::string a20k(20000, 'a');
  auto wide = units(u'a', 20000), wide_z = wide;
  wide_z[19999] = u'z';
  const struct { d_string a, b; bool equal, less; } cases[] = {
      {"z", "aa", false, true},  {"\x7F", "\x80", false, true},  // length first, then unsigned bytes
      {"ab", "ab", true, false},
      {"abc", client, true, false},  // 8-bit against 16-bit compares as 16-bit
      {server, client, true, false}, {server, "abc", true, false},
      {"\xE2\x82\xAC\xE2\x82\xAC", client, false, true},  // 2 characters against 3
      {u16(u"b").data(), "aa", false, true},
      {d_string(a20k.data(), a20k.size()), wide.data(), true, false},  // longer than one scratch buffer
      {d_string(a20k.data(), a20k.size()), wide_z.data(), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.mb_str().substr(0, 8) + " / " + c.b.mb_str().substr(0, 8));
    EXPECT_TRUE((c.a == c.b) == c.equal && (c.b == c.a) == c.equal);
    EXPECT_TRUE((c.a < c.b) == c.less && !(c.b < c.a));
  }
}

TEST(d_status_decode, success_error_details_and_malformed) {
  const struct { const char* element; int code; std::string msg; } cases[] = {
      {"02 01", 0, ""}, {"03 01 01", 0, ""}, {"03 01 31", 0, ""},  // the success forms
      {"0E 01 03 01 30 00 03 05 F7 05 01 62 61 64", -9, "bad"},  // prefix of 2 + 2 bytes
      {"12 01 00 05 00 01 7E 7E 04 04 E8 03 06 02 6F 00 6B 00", 1000, "ok"},  // 4 + 2, 16-bit message
      {"0A 01 01 7E 7E 03 04 07 02 01", 7, ""},  // 1 + 2
      {"03 01 05", -1, "malformed status"}, {"05 01 05 01 30", -1, "malformed status"},  // shorter than the prefix
      {"07 01 00 01 00 01 02", -1, "malformed status"}, {"04 01 01 7E", -1, "malformed status"},
  };
  for (const auto& c : cases) {
    const auto st = read_value<d_status>(unhex(c.element));
    EXPECT_TRUE(!st.code.is_null() && st.get_code() == c.code && st.get_msg().mb_str() == c.msg) << c.element;
  }
  EXPECT_EQ(read_value<d_status>(unhex("12 01 00 05 00 01 7E 7E 04 04 E8 03 06 02 6F 00 6B 00")).get_msg().kind(), 1);
  const auto bare = read_value<d_status>(unhex("06 01 03 01 30 00"));  // exactly the prefix: no code at all
  EXPECT_TRUE(bare.code.is_null() && bare.get_msg().size() == 0);
}

TEST(db_name_io, reads_names_of_any_form_and_length) {
  for (const auto& [bytes, want] : {std::pair<const char*, std::u16string>{"06 02 41 00 42 00", u"AB"},
                                     {"04 01 C3 A9", u"\u00E9"}, {"03 04 05", u"5"}})
    EXPECT_EQ(name_text(read_value<db_name>(unhex(bytes))), want) << bytes;
  const auto empty = read_value<db_name>(unhex("02 01"));
  EXPECT_TRUE(empty.length() == 0 && empty.c_str()[0] == 0);
  // A name is read into a 32768-byte buffer: the rest of the element is skipped.
  input in(element(repeat("\xC3\xA9", 20000)) + unhex("03 04 05"));
  db_name cut;
  cut.get(in.is, nullptr);
  int next = 0;
  EXPECT_TRUE(name_text(cut) == std::u16string(16384, u'\u00E9') && (in.is >> next, next == 5));

  db_name self(u16(u"Self").data());
  self = self.c_str() + 2;  // a tail of its own text
  EXPECT_EQ(name_text(self), u"lf");
}

TEST(db_name_cmp, length_first_then_without_case) {
  // Characters next to the ASCII letters ('@', '[') do not fold.
  const std::tuple<const char16_t*, const char16_t*, int> cases[] = {
      {u"Name", u"nAME", 0}, {u"zz", u"aaa", -1}, {u"aaa", u"zz", 1}, {u"b", u"A", 1},
      {u"a", u"B", -1},      {u"", u"", 0},       {u"@", u"`", -1},   {u"[", u"{", -1}};
  for (const auto& [a, b, want] : cases) EXPECT_EQ(db_name::cmp(u16(a).data(), u16(b).data()), want) << int(a[0]);
}
