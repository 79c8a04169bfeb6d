#include <torqa/errors.h>
#include <torqa/streams.h>
#include <torqa/types.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Bytes from hex text such as "03 04 05".
std::string hex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return out;
}

// Zero-terminated 16-bit text.
std::vector<unsigned short> u16(std::u16string_view s) {
  std::vector<unsigned short> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

std::u16string repeat16(char16_t c, std::size_t n) { return std::u16string(n, c); }

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

template <class T>
T read(std::string bytes) {
  T v;
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  v.get(is, nullptr);
  return v;
}

std::string written(const D_type& v, bool uni_srv = false) {
  t_ostrstream os;
  os.set_uni_srv(uni_srv);
  v.put(os, nullptr);
  return {os.data(), os.size()};
}

void expect_refused(const D_type& v, bool uni_srv) {
  t_ostrstream os;
  os.set_uni_srv(uni_srv);
  try {
    v.put(os, nullptr);
    ADD_FAILURE() << "put did not refuse";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1000);
    EXPECT_EQ(e.msg, "value too long for one element");
  }
  EXPECT_EQ(os.size(), 0u) << "bytes were written before the refusal";
}

std::string printed(const d_string& s) {
  std::ostringstream os;
  os << s;
  return os.str();
}

std::u16string name_text(const db_name& n) { return {n.c_str(), n.c_str() + n.length()}; }

}  // namespace

TEST(value_null_state, construction_and_set_null) {
  d_int i;
  EXPECT_TRUE(i.is_null());
  EXPECT_EQ(i.value(), 0);
  d_int five(5);
  EXPECT_FALSE(five.is_null());
  five.set_null();
  EXPECT_TRUE(five.is_null());
  EXPECT_EQ(five.value(), 0);

  d_double d(1.5);
  EXPECT_FALSE(d.is_null());
  d.set_null();
  EXPECT_TRUE(d.is_null());
  EXPECT_EQ(d.value(), 1.5);

  EXPECT_FALSE(d_binary().is_null());
  EXPECT_EQ(d_binary("ab\0cd").bytes(), "ab");
  d_binary b("ab\0cd", 5);
  EXPECT_EQ(b.size(), 5u);
  b.set_null();
  EXPECT_TRUE(b.is_null());
  EXPECT_EQ(b.size(), 0u);

  d_string s;
  EXPECT_FALSE(s.is_null());
  EXPECT_EQ(s.kind(), 0);
  d_string w(u16(u"hi").data());
  EXPECT_EQ(w.kind(), 2);
  EXPECT_EQ(w.bytes(), hex("68 00 69 00"));
  const d_string copy = w;
  EXPECT_EQ(copy.kind(), 2);
  EXPECT_EQ(copy.bytes(), w.bytes());
  w.set_null();
  EXPECT_TRUE(w.is_null());
  EXPECT_EQ(w.size(), 0u);
  EXPECT_EQ(w.kind(), 2);
  w.assign(u16(u"xyz").data(), 1);
  EXPECT_FALSE(w.is_null());
  EXPECT_EQ(w.bytes(), hex("78 00"));

  d_status st;
  EXPECT_TRUE(st.code.is_null());
  EXPECT_EQ(st.get_code(), 0);
  EXPECT_EQ(st.get_msg().size(), 0u);
}

TEST(value_put, writes_each_class_as_its_element) {
  EXPECT_EQ(written(d_int(5)), hex("03 04 05"));
  EXPECT_EQ(written(d_int(-257)), hex("04 05 FF FE"));
  EXPECT_EQ(written(d_int(INT_MIN)), hex("06 05 00 00 00 80"));
  EXPECT_EQ(written(d_int()), hex("02 01"));
  EXPECT_EQ(written(d_double(2.08)), hex("13 01") + "2.080000000000000");
  d_double nd(3.0);
  nd.set_null();
  EXPECT_EQ(written(nd), hex("02 01"));
  EXPECT_EQ(written(d_binary("ab\0c", 4)), hex("06 01 61 62 00 63"));
  d_binary nb("x");
  nb.set_null();
  EXPECT_EQ(written(nb), hex("02 01"));
}

TEST(d_string_put, chooses_the_text_form_by_kind_and_server) {
  const d_string mb("a\xC3\xA9");
  EXPECT_EQ(written(mb, false), hex("05 01 61 C3 A9"));
  EXPECT_EQ(written(mb, true), hex("05 01 61 C3 A9"));

  const d_string client(u16(u"a\u00E9").data());
  EXPECT_EQ(written(client, true), hex("06 02 61 00 E9 00"));
  EXPECT_EQ(written(client, false), hex("05 01 61 C3 A9"));

  const auto server = read<d_string>(hex("06 02 61 00 E9 00"));
  EXPECT_EQ(written(server, true), hex("06 02 61 00 E9 00"));
  EXPECT_EQ(written(server, false), hex("05 01 61 C3 A9"));

  EXPECT_EQ(written(d_string(u16(u"\U0001F600").data()), false), hex("06 01 F0 9F 98 80"));

  d_string null_text(u16(u"x").data());
  null_text.set_null();
  EXPECT_EQ(written(null_text, true), hex("02 01"));
  EXPECT_EQ(written(null_text, false), hex("02 01"));
}

TEST(value_put, refuses_data_longer_than_one_element) {
  const std::string longest(65535, 'x');
  const std::string out = written(d_binary(longest.data(), longest.size()));
  EXPECT_EQ(out.size(), 65539u);
  EXPECT_EQ(out.substr(0, 4), hex("00 00 00 01"));

  const std::string too_long(65536, 'x');
  expect_refused(d_binary(too_long.data(), too_long.size()), false);
  expect_refused(d_string(too_long.data(), too_long.size()), true);

  // 16-bit text: the limit applies to the bytes actually sent.
  const auto a32k = u16(repeat16(u'a', 32768));
  d_string wide_ascii;
  wide_ascii.assign(a32k.data(), 32768);
  expect_refused(wide_ascii, true);
  const std::string as_mb = written(wide_ascii, false);
  EXPECT_EQ(as_mb.size(), 4u + 32768u);
  EXPECT_EQ(as_mb.substr(0, 4), hex("00 01 80 01"));

  const auto e32k = u16(repeat16(u'\u00E9', 32768));
  d_string wide_accents;
  wide_accents.assign(e32k.data(), 32768);
  expect_refused(wide_accents, false);
  d_string fits;
  fits.assign(e32k.data(), 21845);  // 43690 bytes as 8-bit text
  const std::string fits_mb = written(fits, false);
  EXPECT_EQ(fits_mb.substr(4), repeat("\xC3\xA9", 21845));

  expect_refused(db_name(a32k.data()), true);
  expect_refused(db_name(e32k.data()), false);
  EXPECT_EQ(written(db_name(a32k.data()), false).substr(4), std::string(32768, 'a'));
}

TEST(value_get, reads_numbers_and_nulls) {
  auto i = read<d_int>(hex("03 04 05"));
  EXPECT_FALSE(i.is_null());
  EXPECT_EQ(i.value(), 5);
  EXPECT_TRUE(read<d_int>(hex("02 01")).is_null());
  EXPECT_EQ(read<d_int>(hex("02 01")).value(), 0);
  EXPECT_EQ(read<d_int>(hex("07 04 07 00 00 00 01")).value(), 7);  // only the low 32 bits
  EXPECT_EQ(read<d_int>(hex("06 04 FF FF FF FF")).value(), -1);

  std::string bytes = hex("02 01 03 04 05");
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  d_int reused(9);
  reused.get(is, nullptr);
  EXPECT_TRUE(reused.is_null());
  reused.get(is, nullptr);
  EXPECT_FALSE(reused.is_null());
  EXPECT_EQ(reused.value(), 5);

  EXPECT_EQ(read<d_double>(hex("13 01") + "2.500000000000000").value(), 2.5);
  EXPECT_EQ(read<d_double>(hex("04 06 FF 19")).value(), 2.5);
  const auto null_double = read<d_double>(hex("02 01"));
  EXPECT_TRUE(null_double.is_null());
  EXPECT_EQ(null_double.value(), 0.0);

  // An element that is no number leaves the double as it was.
  std::string unknown = hex("02 03");
  t_istrstream us(unknown.data(), static_cast<int>(unknown.size()));
  d_double kept(7.0);
  kept.get(us, nullptr);
  EXPECT_TRUE(kept.is_null());
  EXPECT_EQ(kept.value(), 7.0);
}

TEST(value_get, reads_text_with_its_kind) {
  std::string bytes = hex("06 02 61 00 E9 00 04 01 68 69 03 04 FF 02 01 03 04 05");
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  d_string s(is);
  EXPECT_EQ(s.kind(), 1);
  EXPECT_EQ(s.bytes(), hex("61 00 E9 00"));
  EXPECT_EQ(s.mb_str(), "a\xC3\xA9");
  s.get(is, nullptr);
  EXPECT_EQ(s.kind(), 0);
  EXPECT_EQ(s.bytes(), "hi");
  s.get(is, nullptr);
  EXPECT_EQ(s.bytes(), "255");
  s.set_null();
  s.get(is, nullptr);
  EXPECT_FALSE(s.is_null());
  EXPECT_EQ(s.size(), 0u);
  std::int64_t next = 0;
  bool null = true;
  is.read_int(next, null);
  EXPECT_EQ(next, 5);

  const auto b = read<d_binary>(hex("06 02 61 00 E9 00"));
  EXPECT_FALSE(b.is_null());
  EXPECT_EQ(b.bytes(), hex("61 00 E9 00"));
}

TEST(d_string_conversion, fixed_capacity_cuts_between_characters) {
  char buf[8];
  std::fill(std::begin(buf), std::end(buf), '~');
  EXPECT_EQ(d_string("abcdef").to_mb(buf, 3), 3);
  EXPECT_EQ(std::string(buf, 4), "abc~");  // no NUL
  EXPECT_EQ(d_string("a\xC3\xA9").to_mb(buf, 2), 1);

  const d_string client(u16(u"a\U0001F600b").data());
  const auto server = read<d_string>(hex("0A 02 61 00 3D D8 00 DE 62 00"));
  for (const d_string* s : {&client, &server}) {
    EXPECT_EQ(s->to_mb(buf, 8), 6);
    EXPECT_EQ(std::string(buf, 6), "a\xF0\x9F\x98\x80"
                                   "b");
    EXPECT_EQ(s->to_mb(buf, 4), 1);
  }

  unsigned short units[4] = {};
  EXPECT_EQ(d_string("a\xC3\xA9").to_uni(units, 4), 2);
  EXPECT_EQ(units[0], 0x61);
  EXPECT_EQ(units[1], 0xE9);
  EXPECT_EQ(d_string("a\xC3\xA9").to_uni(units, 1), 1);
  for (const d_string* s : {&client, &server}) {
    EXPECT_EQ(s->to_uni(units, 2), 1);  // the surrogate pair stays whole
    EXPECT_EQ(s->to_uni(units, 4), 4);
    EXPECT_EQ(units[1], 0xD83D);
    EXPECT_EQ(units[2], 0xDE00);
  }
}

TEST(d_string_conversion, whole_text_conversions_and_printing_keep_every_character) {
  d_string s("a\xC3\xA9");
  s.to_uni();
  EXPECT_EQ(s.kind(), 2);
  EXPECT_EQ(s.bytes(), hex("61 00 E9 00"));
  s.to_mb();
  EXPECT_EQ(s.kind(), 0);
  EXPECT_EQ(s.bytes(), "a\xC3\xA9");

  auto odd = read<d_string>(hex("05 02 61 00 62"));  // an odd trailing byte
  odd.to_uni();
  EXPECT_EQ(odd.bytes(), hex("61 00"));

  // Texts longer than the 32768-byte scratch buffers.
  const auto accents = u16(repeat16(u'\u00E9', 20000));
  d_string wide(accents.data());
  const std::string expected = repeat("\xC3\xA9", 20000);
  EXPECT_EQ(wide.mb_str(), expected);
  EXPECT_EQ(printed(wide), expected);
  EXPECT_EQ(printed(d_string("a\xC3\xA9")), "a\xC3\xA9");
  EXPECT_EQ(printed(read<d_string>(hex("04 02 E9 00"))), "\xC3\xA9");
  d_string round = wide;
  round.to_mb();
  EXPECT_EQ(round.bytes(), expected);
  round.to_uni();
  EXPECT_EQ(round.bytes(), wide.bytes());
  wide.set_null();
  EXPECT_EQ(printed(wide), "");

  // A character straddling the driver's piece boundary stays whole.
  const std::string text = std::string(16383, 'a') + "\xF0\x9F\x98\x80" + std::string(20000, 'b');
  d_string straddle(text.data(), text.size());
  straddle.to_uni();
  ASSERT_EQ(straddle.size(), 2u * (16383 + 2 + 20000));
  EXPECT_EQ(straddle.bytes().substr(2 * 16382, 8), hex("61 00 3D D8 00 DE 62 00"));
}

TEST(d_string_compare, length_first_then_bytes_across_kinds) {
  EXPECT_TRUE(d_string("z") < d_string("aa"));
  EXPECT_FALSE(d_string("aa") < d_string("z"));
  EXPECT_TRUE(d_string("a") < d_string("b"));
  EXPECT_TRUE(d_string("\x7F") < d_string("\x80"));  // bytes compare unsigned
  EXPECT_TRUE(d_string("ab") == d_string("ab"));
  EXPECT_FALSE(d_string("ab") == d_string("abc"));

  const d_string client(u16(u"abc").data());
  const auto server = read<d_string>(hex("08 02 61 00 62 00 63 00"));
  EXPECT_TRUE(d_string("abc") == client);
  EXPECT_TRUE(client == d_string("abc"));
  EXPECT_TRUE(server == client);
  EXPECT_TRUE(server == d_string("abc"));

  // Mixed widths compare the 16-bit forms: "€€" is 4 bytes wide, "abc" 6.
  EXPECT_TRUE(d_string("\xE2\x82\xAC\xE2\x82\xAC") < client);
  EXPECT_FALSE(client < d_string("\xE2\x82\xAC\xE2\x82\xAC"));
  EXPECT_TRUE(d_string(u16(u"b").data()) < d_string("aa"));
  EXPECT_FALSE(d_string("aa") < d_string(u16(u"b").data()));

  // Texts longer than one scratch buffer are compared whole.
  const auto wide = u16(repeat16(u'a', 20000));
  auto wide_z = wide;
  wide_z[19999] = u'z';
  const std::string a20k(20000, 'a');
  const d_string narrow(a20k.data(), a20k.size());
  EXPECT_TRUE(narrow == d_string(wide.data()));
  EXPECT_FALSE(narrow == d_string(wide_z.data()));
  EXPECT_TRUE(narrow < d_string(wide_z.data()));
}

TEST(d_status_decode, success_forms) {
  for (const char* element : {"02 01", "03 01 01", "03 01 31"}) {
    const auto st = read<d_status>(hex(element));
    EXPECT_FALSE(st.code.is_null()) << element;
    EXPECT_EQ(st.get_code(), 0) << element;
    EXPECT_EQ(st.get_msg().size(), 0u) << element;
    EXPECT_EQ(st.get_msg().kind(), 0) << element;
  }
}

TEST(d_status_decode, error_details_follow_the_prefix) {
  // Short-form prefix: 2 header bytes and 2 more, then code -9 and "bad".
  std::string bytes = hex("0E 01 03 01 30 00 03 05 F7 05 01 62 61 64");
  // Long-form prefix: 4 + 2 bytes, then 1000 and 16-bit "ok".
  bytes += hex("12 01 00 05 00 01 7E 7E 04 04 E8 03 06 02 6F 00 6B 00");
  // One-byte prefix: 1 + 2 bytes, then 7 and an empty message.
  bytes += hex("0A 01 01 7E 7E 03 04 07 02 01");
  bytes += hex("02 01");
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));

  d_status st(is);
  EXPECT_EQ(st.get_code(), -9);
  EXPECT_EQ(st.get_msg().bytes(), "bad");
  EXPECT_EQ(st.bytes(), hex("03 01 30 00 03 05 F7 05 01 62 61 64"));
  st.get(is, nullptr);
  EXPECT_EQ(st.get_code(), 1000);
  EXPECT_EQ(st.get_msg().kind(), 1);
  EXPECT_EQ(st.get_msg().mb_str(), "ok");
  st.get(is, nullptr);
  EXPECT_EQ(st.get_code(), 7);
  EXPECT_EQ(st.get_msg().size(), 0u);
  st.get(is, nullptr);
  EXPECT_EQ(st.get_code(), 0);
  EXPECT_TRUE(is.at_end());
}

TEST(d_status_decode, too_short_for_its_prefix_is_malformed) {
  for (const char* element : {"03 01 05", "05 01 05 01 30", "07 01 00 01 00 01 02", "04 01 01 7E"}) {
    const auto st = read<d_status>(hex(element));
    EXPECT_FALSE(st.code.is_null()) << element;
    EXPECT_EQ(st.get_code(), -1) << element;
    EXPECT_EQ(st.get_msg().bytes(), "malformed status") << element;
  }
  // Exactly the prefix: nothing to read, so no code at all.
  const auto bare = read<d_status>(hex("06 01 03 01 30 00"));
  EXPECT_TRUE(bare.code.is_null());
  EXPECT_EQ(bare.get_msg().size(), 0u);
}

TEST(db_name_io, reads_and_writes_16_bit_names) {
  EXPECT_EQ(name_text(read<db_name>(hex("06 02 41 00 42 00"))), u"AB");
  EXPECT_EQ(name_text(read<db_name>(hex("04 01 C3 A9"))), u"\u00E9");
  EXPECT_EQ(name_text(read<db_name>(hex("03 04 05"))), u"5");
  const auto empty = read<db_name>(hex("02 01"));
  EXPECT_EQ(empty.length(), 0u);
  EXPECT_EQ(empty.c_str()[0], 0);

  EXPECT_EQ(written(db_name(u16(u"AB").data()), true), hex("06 02 41 00 42 00"));
  EXPECT_EQ(written(db_name(u16(u"AB").data()), false), hex("04 01 41 42"));
  EXPECT_EQ(written(db_name(u16(u"\u00E9").data()), false), hex("04 01 C3 A9"));

  // Beyond what one conversion into the shared buffer holds.
  const std::string long_mb = written(db_name(u16(repeat16(u'\u00E9', 12000)).data()), false);
  EXPECT_EQ(long_mb.substr(4), repeat("\xC3\xA9", 12000));
  // A name is read into a 32768-byte buffer: the rest of the element is skipped.
  std::string bytes = hex("00 41 9C 01") + repeat("\xC3\xA9", 20000) + hex("03 04 05");
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  db_name cut;
  cut.get(is, nullptr);
  EXPECT_EQ(name_text(cut), repeat16(u'\u00E9', 16384));
  std::int64_t next = 0;
  bool null = true;
  is.read_int(next, null);
  EXPECT_EQ(next, 5);

  db_name self(u16(u"Self").data());
  self = self.c_str();
  EXPECT_EQ(name_text(self), u"Self");
  db_name::cmn = u16(u"Shared").data();
  EXPECT_EQ(name_text(db_name::cmn), u"Shared");
}

TEST(db_name_cmp, length_first_then_without_case) {
  EXPECT_EQ(db_name::cmp(u16(u"Name").data(), u16(u"nAME").data()), 0);
  EXPECT_EQ(db_name::cmp(u16(u"zz").data(), u16(u"aaa").data()), -1);
  EXPECT_EQ(db_name::cmp(u16(u"aaa").data(), u16(u"zz").data()), 1);
  EXPECT_EQ(db_name::cmp(u16(u"b").data(), u16(u"A").data()), 1);
  EXPECT_EQ(db_name::cmp(u16(u"a").data(), u16(u"B").data()), -1);
  EXPECT_EQ(db_name::cmp(u16(u"").data(), u16(u"").data()), 0);
}
