// Decoding list elements and plain text through t_istream.
#include "support/scripted_driver.h"
#include "support/value_bytes.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <locale>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace torqa::test;

namespace {

// A read's value (starting at 99, so that an untouched value shows) and null flag.
using int_result = std::pair<std::int64_t, bool>;
using double_result = std::pair<double, bool>;

int_result next_int(t_istream& is) {
  int_result r{99, false};
  is.read_int(r.first, r.second);
  return r;
}

double_result next_double(t_istream& is) {
  double_result r{99, false};
  is.read_double(r.first, r.second);
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

// Each element type read as integer, double and text, and skipped.
TEST(list_input, reads_every_element_type_as_number_and_text) {
  const struct {
    std::string bytes;
    int_result i;
    double_result d;
    std::string text;
    bool uni;
  } rows[] = {
      {unhex("02 05"), {-1, false}, {-1.0, false}, "-1", false},  // integers without data
      {unhex("02 04"), {0, false}, {0.0, false}, "0", false},
      {unhex("01"), {0, true}, {0.0, true}, "", false},  // nulls in the short and long header forms
      {unhex("00 01 00 01"), {0, true}, {0.0, true}, "", false},
      {element(std::string(254, 'a')), {0, false}, {0.0, true}, std::string(254, 'a'), false},  // long forms
      {unhex("00 00 00 01") + std::string(65535, '7'), {INT64_MAX, false}, {HUGE_VAL, false}, std::string(65535, '7'), false},
      {unhex("03 7F 00"), {99, true}, {99.0, true}, "", false},  // a type no reader knows
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
      {element("99999999999999999999"), {INT64_MAX, false}, {1e20, false}, "99999999999999999999", false},
      {element("-99999999999999999999"), {INT64_MIN, false}, {-1e20, false}, "-99999999999999999999", false},
      {uni_element(u"  7x"), {7, false}, {7.0, false}, units16(u"  7x"), true},
      {uni_element(u""), {0, false}, {0.0, true}, "", true},
  };
  std::string all;
  for (const auto& r : rows) all += r.bytes;
  input ints(all), doubles(all), texts(all), skipped(all), bytes(all);
  for (const auto& r : rows) {
    SCOPED_TRACE(hex(r.bytes.substr(0, 8)));
    EXPECT_EQ(next_int(ints.is), r.i);
    const double_result got = next_double(doubles.is);
    EXPECT_DOUBLE_EQ(got.first, r.d.first);
    EXPECT_EQ(got.second, r.d.second);
    bool uni = !r.uni;
    EXPECT_EQ(next_str(texts.is, &uni), r.text);
    EXPECT_EQ(uni, r.uni);
    EXPECT_FALSE(skipped.is.at_end());
    skipped.is.skip();
    char buf[8];
    unsigned short len = 0;
    bytes.is.read_bytes(uni, buf, sizeof buf, len);  // as much of the text as fits
    EXPECT_EQ(std::string(buf, len), r.text.substr(0, 8));
  }
  for (input* in : {&ints, &doubles, &texts, &skipped, &bytes}) EXPECT_TRUE(in->is.at_end() && in->is.good());
}

TEST(list_input, integer_widths_long_elements_and_scratch_buffer_limits) {
  t_ostrstream os;
  std::vector<std::int64_t> values = {INT64_MIN, INT64_MAX};
  for (int bits = 0; bits < 63; bits += 7) values.insert(values.end(), {std::int64_t{1} << bits, -(std::int64_t{1} << bits) - 1});
  for (std::int64_t v : values) os.put_int(v);
  // The first eight data bytes give the value, the rest is consumed. Number
  // text is parsed up to 32767 bytes (8-bit) or 32766 bytes (16-bit).
  input in(std::string(os.data(), os.size()) +
           unhex("0C 04 01 00 00 00 00 00 00 02 AA BB 0B 05 FE FF FF FF FF FF FF FF 00") +
           element(std::string(32765, '0') + "12") + element(std::string(32766, '0') + "12") +
           uni_element(std::u16string(16381, u'0') + u"12") + uni_element(std::u16string(16382, u'0') + u"12") +
           unhex("0C 06 FF 19 00 00 00 00 00 00 00 77 03 04 09"));
  values.insert(values.end(), {0x0200000000000001, -2, 12, 1, 12, 1});
  for (std::int64_t v : values) EXPECT_EQ(next_int(in.is).first, v);
  EXPECT_EQ(next_double(in.is).first, 2.5);
  EXPECT_EQ(next_int(in.is).first, 9);
  EXPECT_TRUE(in.is.at_end());
}

TEST(list_input, decimal_text_rounds_halfway_cases_to_even) {
  const std::pair<const char*, double> cases[] = {
      {"9007199254740993", 9007199254740992.0}, {"9007199254740995", 9007199254740996.0},
      {"9007199254740993.0000001", 9007199254740994.0}};  // just above a tie
  for (const auto& [text, want] : cases) {
    input in(element(text));
    EXPECT_EQ(next_double(in.is).first, want) << text;
  }
}

TEST(number_text, ignores_the_process_locale) {
  struct comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  // A comma-decimal C++ global locale, then a C one where installed.
  std::vector<std::locale> comma_locales{std::locale(std::locale::classic(), new comma)};
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if (comma_locales.size() == 1 && std::setlocale(LC_ALL, name) != nullptr) comma_locales.emplace_back(name);
  for (std::size_t round = 0; round < comma_locales.size(); ++round) {
    std::locale::global(comma_locales[round]);
    t_ostrstream os;
    os << 2.08;
    EXPECT_EQ(std::string(os.data(), os.size()), "\x13\x01" "2.080000000000000") << round;
    input in(element("2.5"));
    EXPECT_EQ(next_double(in.is).first, 2.5) << round;
    input text("2.5");
    text.is.use_str_fmt(false);
    EXPECT_EQ(next_double(text.is).first, 2.5) << round;
    std::setlocale(LC_ALL, "C");
    std::locale::global(std::locale::classic());
  }
}

TEST(list_input, mb_text_of_any_length) {
  // 16-bit text longer than the scratch buffers, with a surrogate pair across
  // the first conversion piece (unit 8192 starts at byte 16384).
  const std::u16string text = std::u16string(8191, u'a') + u"\U0001F600" + std::u16string(12000, u'\u00E9');
  input in(uni_element(text));
  std::string s;
  in.is.read_mb_str(s);
  EXPECT_TRUE(s == std::string(8191, 'a') + "\xF0\x9F\x98\x80" + repeat("\xC3\xA9", 12000)) << "size " << s.size();
  EXPECT_TRUE(in.is.at_end());
}

TEST(list_input, reading_past_the_end_skip_rest_and_reset) {
  input in(unhex("03 04 05 03 04 06 06 01 61 62"));  // the last element is cut short
  EXPECT_EQ(next_int(in.is).first, 5);
  in.is.skip_rest();
  EXPECT_TRUE(in.is.at_end());
  in.is.reset(in.data.data() + 3, 7);
  EXPECT_TRUE(next_int(in.is).first == 6 && !in.is.at_end());
  EXPECT_EQ(next_str(in.is), "ab");
  EXPECT_TRUE(in.is.eof() && in.is.fail());
  in.is.reset(nullptr, 0);
  EXPECT_TRUE(in.is.good() && in.is.at_end());
  EXPECT_EQ(next_int(in.is), (int_result{99, true}));
  EXPECT_TRUE(next_str(in.is).empty() && in.is.eof() && in.is.fail());

  input cut(unhex("00 00 00 01") + std::string(1000, 'x'));  // 65535 bytes announced, 1000 there
  cut.is.skip();
  EXPECT_TRUE(cut.is.at_end());

  t_istream bare;  // no buffer at all
  EXPECT_TRUE(bare.at_end() && next_int(bare).second);
  bare.skip_rest();
}

TEST(list_input, int_operator_keeps_the_low_32_bits) {
  // 0x0180000001: the low 32 bits; type 3: unchanged; null: 0.
  input in(unhex("07 04 01 00 00 80 01 02 03 02 01"));
  int i = 42;
  for (int want : {static_cast<int>(0x80000001u), static_cast<int>(0x80000001u), 0}) EXPECT_EQ((in.is >> i, i), want);
}

// The string form reads the whole rest of the input as one plain-text value.
TEST(string_form, reads_the_whole_rest_as_one_text_value) {
  for (const auto& [text, want] : {std::pair<const char*, int_result>{" 42 rest", {42, false}}, {"x", {0, true}},
                                   {"", {0, true}}}) {
    input in(text);
    in.is.use_str_fmt(false);
    EXPECT_TRUE(next_int(in.is) == want && in.is.at_end()) << text;
  }
  input in("-2.25xyz");
  in.is.use_str_fmt(false);
  char buf[4];
  unsigned short len;
  bool uni = true;
  in.is.read_bytes(uni, buf, 3, len);
  EXPECT_TRUE(std::string(buf, len) == "-2." && !uni);
  std::string s = "old";
  in.is.read_mb_str(s);
  in.is.skip();
  EXPECT_EQ(s, "old");  // neither reads nor changes anything
  EXPECT_TRUE(next_str(in.is) == "25xyz" && in.is.eof());
  in.is.reset(in.data.data(), static_cast<int>(in.data.size()));
  EXPECT_EQ(next_double(in.is), (double_result{-2.25, false}));

  // 16-bit text: reads always start from the first byte of the buffer.
  input wide(units16(u"-12.5"));
  wide.is.use_str_fmt(true);
  wide.is.read_bytes(uni, buf, 2, len);  // moves past "-"
  EXPECT_TRUE(uni && next_int(wide.is).first == -12);
  EXPECT_EQ(next_double(wide.is).first, -12.5);

  struct other : t_ibuf {
    explicit other(char* p) { setg(p, p, p + 2); }
  } other_buf(wide.data.data() + 2);
  t_istream is;
  is.set_buf(&other_buf);
  is.use_str_fmt(true);
  EXPECT_EQ(next_int(is), (int_result{99, true}));  // refused: only a t_istrstream's run is known
}

// 8-bit plain text holds numbers as stream extraction in the C locale reads
// them: the longest number-like run, which must then be a whole number;
// integers of 64 bits.
TEST(string_form, reads_numbers_as_stream_extraction_does) {
  const char* const texts[] = {" 42 rest", "x", "", "+", "-", "+-1", "3000000000", "-9223372036854775808",
                               "9223372036854775808", "99999999999999999999", "2.5", "-.5", ".", "1.", "1.e3",
                               "1e", "1e+", "1E-2x", "1.5.2", "inf", "nan", "1e400", "-1e400", "1e-400",
                               "0x10", " \t7"};
  for (const char* text : texts) {
    std::istringstream as_int(text), as_double(text);
    as_int.imbue(std::locale::classic());
    as_double.imbue(std::locale::classic());
    long long i = 0;
    double d = 0;
    const bool int_ok = static_cast<bool>(as_int >> i), double_ok = static_cast<bool>(as_double >> d);
    input in(text);
    in.is.use_str_fmt(false);
    EXPECT_EQ(next_int(in.is), (int_result{int_ok ? i : 0, !int_ok})) << text;
    in.is.reset(in.data.data(), static_cast<int>(in.data.size()));
    EXPECT_EQ(next_double(in.is), (double_result{double_ok ? d : 0, !double_ok})) << text;
  }
  // Readers of 32-bit integers still find no number beyond 32 bits.
  input wide("3000000000");
  wide.is.use_str_fmt(false);
  d_int n(5);
  n.get(wide.is, nullptr);
  int x = 7;
  wide.is.reset(wide.data.data(), static_cast<int>(wide.data.size()));
  wide.is >> x;
  EXPECT_TRUE(n.is_null() && x == 0);
}

}  // namespace
