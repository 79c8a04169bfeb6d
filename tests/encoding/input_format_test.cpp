// Decoding list elements and plain text through t_istream.
#include "support/scripted_driver.h"
#include "support/value_bytes.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using namespace torqa::test;

namespace {

constexpr std::int64_t int_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int_min = std::numeric_limits<std::int64_t>::min();

// A read's value (starting at 99, so that an untouched value shows) and null flag.
template <class T>
struct result {
  T v = 99;
  bool null = false;
  bool operator==(const result&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const result& r) { return os << r.v << (r.null ? " null" : ""); }
};
using int_result = result<std::int64_t>;
using double_result = result<double>;

int_result next_int(t_istream& is) {
  int_result r;
  is.read_int(r.v, r.null);
  return r;
}

double_result next_double(t_istream& is) {
  double_result r;
  is.read_double(r.v, r.null);
  return r;
}

std::string next_str(t_istream& is, bool* uni = nullptr) {
  bool is_uni = false;
  std::string s = "old";
  is.read_str(is_uni, s);
  if (uni != nullptr) *uni = is_uni;
  return s;
}

std::string uni_element(std::u16string_view text) { return element(units16(text), 2); }

// Each element type read as integer, double and text.
TEST(list_input, reads_every_element_type_as_number_and_text) {
  const struct {
    std::string bytes;
    int_result i;
    double_result d;
    std::string text;
    bool uni;
  } rows[] = {
      {unhex("03 04 05"), {5, false}, {5.0, false}, "5", false},
      {unhex("03 04 FF"), {255, false}, {255.0, false}, "255", false},
      {unhex("06 04 39 30 00 00"), {12345, false}, {12345.0, false}, "12345", false},
      {unhex("03 05 FF"), {-1, false}, {-1.0, false}, "-1", false},
      {unhex("04 05 FF FE"), {-257, false}, {-257.0, false}, "-257", false},
      {unhex("02 05"), {-1, false}, {-1.0, false}, "-1", false},  // integers without data
      {unhex("02 04"), {0, false}, {0.0, false}, "0", false},
      {unhex("02 01"), {0, true}, {0.0, true}, "", false},  // nulls in the three header forms
      {unhex("01"), {0, true}, {0.0, true}, "", false},
      {unhex("00 01 00 01"), {0, true}, {0.0, true}, "", false},
      {element(std::string(254, 'a')), {0, false}, {0.0, true}, std::string(254, 'a'), false},  // long forms
      {unhex("00 00 00 01") + std::string(65535, '7'), {int_max, false}, {HUGE_VAL, false}, std::string(65535, '7'), false},
      {unhex("02 03"), {99, true}, {99.0, true}, "", false},  // types no reader knows
      {unhex("03 7F 00"), {99, true}, {99.0, true}, "", false},
      // Decimals: 25 x 10^-1, -100 x 10^-2, 7 x 10^-254, exponent bytes only, no data.
      {unhex("04 06 FF 19"), {2, false}, {2.5, false}, "2.500000000000000", false},
      {unhex("04 07 FE 9C"), {-1, false}, {-1.0, false}, "-1.000000000000000", false},
      {unhex("04 06 02 07"), {0, false}, {7e-254, false}, "0.000000000000000", false},
      {unhex("03 06 FF"), {0, false}, {0.0, false}, "0.000000000000000", false},
      {unhex("03 07 01"), {0, false}, {-1e-255, false}, "-0.000000000000000", false},
      {unhex("02 06"), {0, false}, {0.0, false}, "0.000000000000000", false},
      // Numbers as text: as strtoll and strtod read them.
      {element("12abc"), {12, false}, {12.0, false}, "12abc", false},
      {element("abc"), {0, false}, {0.0, true}, "abc", false},
      {element(" \t-42"), {-42, false}, {-42.0, false}, " \t-42", false},
      {element(" +2.5e1"), {2, false}, {25.0, false}, " +2.5e1", false},
      {element("1e999"), {1, false}, {std::numeric_limits<double>::infinity(), false}, "1e999", false},
      {element("99999999999999999999"), {int_max, false}, {1e20, false}, "99999999999999999999", false},
      {element("-99999999999999999999"), {int_min, false}, {-1e20, false}, "-99999999999999999999", false},
      {uni_element(u"  7x"), {7, false}, {7.0, false}, units16(u"  7x"), true},
      {uni_element(u"-0.25"), {0, false}, {-0.25, false}, units16(u"-0.25"), true},
      {uni_element(u""), {0, false}, {0.0, true}, "", true},
  };
  std::string all;
  for (const auto& r : rows) {
    SCOPED_TRACE(hex(r.bytes.substr(0, 8)));
    all += r.bytes;
    input a(r.bytes), b(r.bytes), c(r.bytes), d(r.bytes);
    EXPECT_EQ(next_int(a.is), r.i);
    const double_result got = next_double(b.is);
    EXPECT_DOUBLE_EQ(got.v, r.d.v);
    EXPECT_EQ(got.null, r.d.null);
    bool uni = !r.uni;
    EXPECT_EQ(next_str(c.is, &uni), r.text);
    EXPECT_EQ(uni, r.uni);
    char buf[3];
    unsigned short len = 99;
    uni = !r.uni;
    d.is.read_bytes(uni, buf, 3, len);  // the rest of the element is passed over
    EXPECT_EQ(std::string(buf, len), r.text.substr(0, 3));
    EXPECT_EQ(uni, r.uni);
    EXPECT_TRUE(a.is.at_end() && b.is.at_end() && c.is.at_end() && d.is.at_end());
  }
  input in(all), skipped(all);
  for (const auto& r : rows) {
    EXPECT_EQ(next_int(in.is), r.i);
    EXPECT_FALSE(skipped.is.at_end());
    skipped.is.skip();
  }
  EXPECT_TRUE(in.is.at_end() && in.is.good() && skipped.is.at_end());
}

TEST(list_input, every_width_and_more_than_eight_bytes) {
  t_ostrstream os;
  std::vector<std::int64_t> values = {int_min, int_max};
  for (int bits = 0; bits < 63; bits += 7) values.insert(values.end(), {std::int64_t{1} << bits, -(std::int64_t{1} << bits) - 1});
  for (std::int64_t v : values) os.put_int(v);
  input in(std::string(os.data(), os.size()));
  for (std::int64_t v : values) EXPECT_EQ(next_int(in.is).v, v);
  EXPECT_TRUE(in.is.at_end());

  // The first eight data bytes give the value; the rest is consumed.
  input longer(unhex("0C 04 01 00 00 00 00 00 00 02 AA BB 0B 05 FE FF FF FF FF FF FF FF 00"
                     "0C 06 FF 19 00 00 00 00 00 00 00 77 03 04 09"));
  EXPECT_EQ(next_int(longer.is).v, 0x0200000000000001);
  EXPECT_EQ(next_int(longer.is).v, -2);
  EXPECT_EQ(next_double(longer.is).v, 2.5);
  EXPECT_EQ(next_int(longer.is).v, 9);
}

TEST(list_input, double_text_matches_strtod) {
  // Fixed text as the encoder writes it and random decimal text of up to 40
  // digits: the same double as strtod in the C locale. First, halfway
  // between two doubles: ties to even, and just above a tie.
  std::mt19937_64 rng(11);
  std::vector<std::string> texts = {"9007199254740993", "9007199254740995", "9007199254740993.0000001"};
  t_ostrstream os;
  for (int i = 0; i < 3000; ++i) {
    os.reset();
    os << std::bit_cast<double>((rng() & 0x800FFFFFFFFFFFFF) | (700 + rng() % 700) << 52);
    const std::size_t head = os.data()[0] == 0 ? 4 : 2;
    texts.emplace_back(os.data() + head, os.size() - head);
    std::string t = rng() % 2 ? "-" : "";
    const std::size_t digits = 1 + rng() % 40, point = rng() % (digits + 1);
    for (std::size_t d = 0; d < digits; ++d) t += std::string(d == point ? "." : "") + char('0' + rng() % 10);
    texts.push_back(t);
  }
  std::string wire;
  for (const std::string& t : texts) wire += element(t);
  input in(wire);
  for (const std::string& t : texts)
    EXPECT_EQ(std::bit_cast<std::uint64_t>(next_double(in.is).v), std::bit_cast<std::uint64_t>(std::strtod(t.c_str(), nullptr)))
        << t;
}

TEST(list_input, numbers_longer_than_the_scratch_buffers) {
  // Only the first 32767 bytes (8-bit) or 32766 bytes (16-bit) are parsed;
  // the whole element is consumed.
  input in(element(std::string(32765, '0') + "12") + element(std::string(32766, '0') + "12") +
           uni_element(std::u16string(16381, u'0') + u"12") + uni_element(std::u16string(16382, u'0') + u"12") +
           unhex("03 04 05"));
  for (std::int64_t v : {12, 1, 12, 1, 5}) EXPECT_EQ(next_int(in.is).v, v);
  EXPECT_TRUE(in.is.at_end());
}

TEST(number_text, ignores_the_process_locale) {
  const auto check = [] {
    t_ostrstream os;
    os << 2.08;
    EXPECT_EQ(std::string(os.data(), os.size()), "\x13\x01" "2.080000000000000");
    input in(element("2.5"));
    EXPECT_EQ(next_double(in.is).v, 2.5);
  };
  struct comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  std::locale::global(std::locale(std::locale::classic(), new comma));
  check();
  std::locale::global(std::locale::classic());

  const char* found = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if (found == nullptr && std::setlocale(LC_ALL, name) != nullptr) found = name;
  if (found == nullptr) GTEST_SKIP() << "no comma-decimal C locale installed";
  std::locale::global(std::locale(found));
  check();
  std::setlocale(LC_ALL, "C");
  std::locale::global(std::locale::classic());
}

TEST(list_input, mb_text_of_any_length) {
  // 16-bit text longer than the scratch buffers, with a surrogate pair across
  // the first conversion piece (unit 8192 starts at byte 16384).
  const std::u16string text = std::u16string(8191, u'a') + u"\U0001F600" + std::u16string(12000, u'\u00E9');
  const std::string utf8 = std::string(8191, 'a') + "\xF0\x9F\x98\x80" + repeat("\xC3\xA9", 12000);
  input in(uni_element(text) + uni_element(u"A\u00E9\u20AC\U0001F600") + unhex("03 04 FF") + element("abc"));
  std::string s;
  in.is.read_mb_str(s);
  EXPECT_TRUE(s == utf8) << "size " << s.size() << " instead of " << utf8.size();
  in.is.read_mb_str(s);
  EXPECT_EQ(s, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  in.is.read_mb_str(s);
  EXPECT_EQ(s, "255");
  in.is.read_mb_str(s);
  EXPECT_EQ(s, "abc");
  EXPECT_TRUE(in.is.at_end());
}

TEST(list_input, reading_past_the_end_skip_rest_and_reset) {
  input in(unhex("03 04 05 03 04 06 06 01 61 62"));  // the last element is cut short
  EXPECT_EQ(next_int(in.is).v, 5);
  in.is.skip_rest();
  EXPECT_TRUE(in.is.at_end());
  in.is.reset(in.data.data() + 3, 7);
  EXPECT_EQ(next_int(in.is).v, 6);
  EXPECT_FALSE(in.is.at_end());
  EXPECT_EQ(next_str(in.is), "ab");
  EXPECT_TRUE(in.is.eof() && in.is.fail());

  in.is.reset(nullptr, 0);
  EXPECT_TRUE(in.is.good());
  EXPECT_TRUE(in.is.at_end());
  EXPECT_EQ(next_int(in.is), (int_result{99, true}));
  EXPECT_EQ(next_str(in.is), "");
  EXPECT_TRUE(in.is.eof() && in.is.fail());

  t_istream bare;  // no buffer at all
  EXPECT_TRUE(bare.at_end());
  EXPECT_TRUE(next_int(bare).null);
  bare.skip_rest();
}

TEST(list_input, operators) {
  // 0x0180000001; type 3; null; "1.5"
  input in(unhex("07 04 01 00 00 80 01 02 03 02 01") + element("1.5"));
  int i = 42;
  in.is >> i;
  EXPECT_EQ(i, static_cast<int>(0x80000001u));  // the low 32 bits
  in.is >> i;
  EXPECT_EQ(i, static_cast<int>(0x80000001u));  // undecodable: unchanged
  in.is >> i;
  EXPECT_EQ(i, 0);
  double d = 0;
  in.is >> d;
  EXPECT_EQ(d, 1.5);
}

TEST(list_input, buffer_exceptions_reach_the_reader) {
  struct failing : t_ibuf {
    int_type underflow() override { throw std::runtime_error("reply lost"); }
  } buf;
  t_istream is;
  is.set_buf(&buf);
  EXPECT_THROW(next_int(is), std::runtime_error);
}

// The string form reads the whole rest of the input as one plain-text value.
TEST(string_form, eight_bit_text) {
  const struct {
    const char* text;
    int_result i;
  } ints[] = {{" 42 rest", {42, false}}, {"x", {0, true}}, {"", {0, true}}, {"3000000000", {0, true}}};
  for (const auto& c : ints) {
    input in(c.text);
    in.is.use_str_fmt(false);
    EXPECT_EQ(next_int(in.is), c.i) << c.text;
    EXPECT_TRUE(in.is.at_end());
  }
  input in("-2.25xyz");
  in.is.use_str_fmt(false);
  char buf[4];
  unsigned short len;
  bool uni = true;
  in.is.read_bytes(uni, buf, 3, len);
  EXPECT_EQ(std::string(buf, len), "-2.");
  EXPECT_FALSE(uni);
  std::string s = "old";
  in.is.read_mb_str(s);
  in.is.skip();
  EXPECT_EQ(s, "old");  // neither reads nor changes anything
  EXPECT_EQ(next_str(in.is), "25xyz");
  EXPECT_TRUE(in.is.eof());
  in.is.reset(in.data.data(), static_cast<int>(in.data.size()));
  EXPECT_EQ(next_double(in.is), (double_result{-2.25, false}));
}

TEST(string_form, sixteen_bit_text_reads_the_whole_buffer) {
  input in(units16(u"-12.5"));
  in.is.use_str_fmt(true);
  bool uni = false;
  char first[2];
  unsigned short len;
  in.is.read_bytes(uni, first, 2, len);  // moves past "-": the number still starts at the first byte
  EXPECT_TRUE(uni);
  EXPECT_EQ(next_int(in.is).v, -12);
  EXPECT_EQ(next_double(in.is).v, -12.5);

  struct other : t_ibuf {
    explicit other(char* p) { setg(p, p, p + 2); }
  } buf(in.data.data() + 2);
  t_istream is;
  is.set_buf(&buf);
  is.use_str_fmt(true);
  EXPECT_EQ(next_int(is), (int_result{99, true}));  // refused: only a t_istrstream's run is known
}

}  // namespace
