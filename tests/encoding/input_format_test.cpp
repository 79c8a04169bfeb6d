// Decoding list elements and plain text through t_istream.
#include <torqa/conversions.h>
#include <torqa/streams.h>

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <locale>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// A t_istrstream over its own copy of the bytes.
struct input {
  explicit input(const bytes& b) : data(b.begin(), b.end()), is(data.data(), static_cast<int>(data.size())) {}
  explicit input(const std::string& s) : data(s.begin(), s.end()), is(data.data(), static_cast<int>(data.size())) {}
  std::vector<char> data;
  t_istrstream is;
};

template <class T>
struct read_result {
  T v;
  bool null;
};

read_result<std::int64_t> next_int(t_istream& is) {
  read_result<std::int64_t> r{99, false};
  is.read_int(r.v, r.null);
  return r;
}

read_result<double> next_double(t_istream& is) {
  read_result<double> r{99, false};
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

// The first value of a fresh input.
read_result<std::int64_t> first_int(input&& in) { return next_int(in.is); }
read_result<double> first_double(input&& in) { return next_double(in.is); }
std::string first_str(input&& in) { return next_str(in.is); }

// A long-form element of the given type holding `data`.
std::string elem(const std::string& data, char type = '\x01') {
  const unsigned m = static_cast<unsigned>(data.size() + 1);
  return std::string{'\0', static_cast<char>(m & 0xFF), static_cast<char>(m >> 8), type} + data;
}

// ASCII text as a type-2 element of 16-bit units.
std::string uni_elem(const std::string& ascii) {
  std::string units;
  for (char c : ascii) units += std::string{c, '\0'};
  return elem(units, '\x02');
}

TEST(list_input, integers_and_nulls) {
  // 5; null; the one-byte null; type 3; -1; -257; type 5 and 4 without data; unknown type 0x7F
  input in(bytes{0x03, 0x04, 0x05, 0x02, 0x01, 0x01, 0x02, 0x03, 0x03, 0x05, 0xFF, 0x04, 0x05, 0xFF, 0xFE,
                 0x02, 0x05, 0x02, 0x04, 0x03, 0x7F, 0x00});
  const read_result<std::int64_t> expected[] = {{5, false},  {0, true},   {0, true},  {99, true}, {-1, false},
                                                {-257, false}, {-1, false}, {0, false}, {99, true}};
  for (const auto& e : expected) {
    const auto r = next_int(in.is);
    EXPECT_EQ(r.v, e.v);
    EXPECT_EQ(r.null, e.null);
  }
  EXPECT_TRUE(in.is.at_end());
  EXPECT_TRUE(in.is.good());
}

TEST(list_input, every_width_round_trips) {
  t_ostrstream os;
  std::vector<std::int64_t> values = {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()};
  for (int bits = 0; bits < 63; bits += 7) values.insert(values.end(), {std::int64_t{1} << bits, -(std::int64_t{1} << bits) - 1});
  for (std::int64_t v : values) os.put_int(v);
  input in(std::string(os.data(), os.size()));
  for (std::int64_t v : values) EXPECT_EQ(next_int(in.is).v, v);
  EXPECT_TRUE(in.is.at_end());
}

TEST(list_input, more_than_eight_integer_bytes) {
  // The first eight data bytes give the value; the rest is consumed.
  input in(bytes{0x0C, 0x04, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0xAA, 0xBB, 0x0B, 0x05, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF,
                 0xFF, 0xFF, 0xFF, 0x00, 0x0C, 0x06, 0xFF, 0x19, 0, 0, 0, 0, 0, 0, 0, 0x77, 0x03, 0x04, 0x09});
  EXPECT_EQ(next_int(in.is).v, 0x0200000000000001);
  EXPECT_EQ(next_int(in.is).v, -2);
  EXPECT_EQ(next_double(in.is).v, 2.5);
  EXPECT_EQ(next_int(in.is).v, 9);
}

TEST(list_input, decimals) {
  // 25 x 10^-1 and -100 x 10^-2, each read as double, integer and text
  const bytes two_and_a_half{0x04, 0x06, 0xFF, 0x19}, minus_one{0x04, 0x07, 0xFE, 0x9C};
  EXPECT_EQ(first_double(input(two_and_a_half)).v, 2.5);
  EXPECT_EQ(first_double(input(minus_one)).v, -1.0);
  EXPECT_EQ(first_int(input(two_and_a_half)).v, 2);
  EXPECT_EQ(first_int(input(minus_one)).v, -1);
  EXPECT_EQ(first_str(input(two_and_a_half)), "2.500000000000000");
  EXPECT_EQ(first_str(input(minus_one)), "-1.000000000000000");

  // 7 x 10^-254; an exponent byte only (mantissa 0, or -1 when negative); no data
  input in(bytes{0x04, 0x06, 0x02, 0x07, 0x03, 0x06, 0xFF, 0x03, 0x07, 0x01, 0x02, 0x06});
  EXPECT_DOUBLE_EQ(next_double(in.is).v, 7e-254);
  EXPECT_EQ(next_double(in.is).v, 0.0);
  EXPECT_EQ(next_str(in.is), "-0.000000000000000");
  const auto empty = next_double(in.is);
  EXPECT_EQ(empty.v, 0.0);
  EXPECT_FALSE(empty.null);
}

TEST(list_input, text_read_as_number) {
  input in(elem("12abc") + elem("abc") + elem(" \t-42") + elem("99999999999999999999") +
           elem("-99999999999999999999") + uni_elem("  7x") + elem("abc") + elem(" +2.5e1") + uni_elem("-0.25") +
           uni_elem("") + elem("1e999"));
  for (std::int64_t v : {std::int64_t{12}, std::int64_t{0}, std::int64_t{-42}, std::numeric_limits<std::int64_t>::max(),
                         std::numeric_limits<std::int64_t>::min(), std::int64_t{7}}) {
    const auto r = next_int(in.is);
    EXPECT_EQ(r.v, v);
    EXPECT_FALSE(r.null);
  }
  const read_result<double> expected[] = {
      {0.0, true}, {25.0, false}, {-0.25, false}, {0.0, true}, {std::numeric_limits<double>::infinity(), false}};
  for (const auto& e : expected) {
    const auto r = next_double(in.is);
    EXPECT_EQ(r.v, e.v);
    EXPECT_EQ(r.null, e.null);
  }
  EXPECT_TRUE(in.is.at_end());
}

TEST(list_input, double_text_matches_strtod) {
  // Fixed text as the encoder writes it and random decimal text, of every
  // length up to 40 digits: the same double as strtod in the C locale.
  std::mt19937_64 rng(11);
  // Halfway between two doubles: ties to even, and just above a tie.
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
  for (const std::string& t : texts) wire += elem(t);
  input in(wire);
  for (const std::string& t : texts)
    EXPECT_EQ(std::bit_cast<std::uint64_t>(next_double(in.is).v), std::bit_cast<std::uint64_t>(std::strtod(t.c_str(), nullptr)))
        << t;
}

TEST(list_input, numbers_longer_than_the_scratch_buffers) {
  // Only the first 32767 bytes (8-bit) or 32766 bytes (16-bit) are parsed;
  // the whole element is consumed.
  input in(elem(std::string(32765, '0') + "12") + elem(std::string(32766, '0') + "12") +
           uni_elem(std::string(16381, '0') + "12") + uni_elem(std::string(16382, '0') + "12") + "\x03\x04\x05");
  for (std::int64_t v : {12, 1, 12, 1, 5}) EXPECT_EQ(next_int(in.is).v, v);
  EXPECT_TRUE(in.is.at_end());
}

// Writes 2.08 and reads "2.5" back while the given locale is global.
void check_number_text_under_locale() {
  t_ostrstream os;
  os << 2.08;
  EXPECT_EQ(std::string(os.data(), os.size()), std::string("\x13\x01" "2.080000000000000"));
  EXPECT_EQ(first_double(input(elem("2.5"))).v, 2.5);
}

TEST(number_text, ignores_global_cpp_locale) {
  struct comma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
  };
  std::locale::global(std::locale(std::locale::classic(), new comma));
  check_number_text_under_locale();
  std::locale::global(std::locale::classic());
}

TEST(number_text, ignores_comma_decimal_c_locale) {
  const char* found = nullptr;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
    if (found == nullptr && std::setlocale(LC_ALL, name) != nullptr) found = name;
  if (found == nullptr) GTEST_SKIP() << "no comma-decimal locale installed";
  std::locale::global(std::locale(found));
  check_number_text_under_locale();
  std::setlocale(LC_ALL, "C");
  std::locale::global(std::locale::classic());
}

TEST(list_input, strings_and_bytes) {
  // 255; -2; 16-bit "AB"; type 3; 16-bit "abc"; 12345; unknown type 9; "xy"
  input in(bytes{0x03, 0x04, 0xFF, 0x03, 0x05, 0xFE, 0x06, 0x02, 0x41, 0x00, 0x42, 0x00, 0x02, 0x03,
                 0x08, 0x02, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00, 0x06, 0x04, 0x39, 0x30, 0x00, 0x00,
                 0x03, 0x09, 0x55, 0x04, 0x01, 'x', 'y'});
  bool uni = true;
  EXPECT_EQ(next_str(in.is, &uni), "255");
  EXPECT_FALSE(uni);
  EXPECT_EQ(next_str(in.is), "-2");
  EXPECT_EQ(next_str(in.is, &uni), std::string("A\0B\0", 4));
  EXPECT_TRUE(uni);
  EXPECT_EQ(next_str(in.is, &uni), "");
  EXPECT_FALSE(uni);

  char buf[8] = {};
  unsigned short len = 99;
  in.is.read_bytes(uni, buf, 3, len);  // 6 bytes into 3; the rest is passed over
  EXPECT_EQ(std::string(buf, len), std::string("a\0b", 3));
  EXPECT_TRUE(uni);
  in.is.read_bytes(uni, buf, 3, len);
  EXPECT_EQ(std::string(buf, len), "123");
  EXPECT_FALSE(uni);
  in.is.read_bytes(uni, buf, 3, len);
  EXPECT_EQ(len, 0);
  in.is.read_bytes(uni, buf, 3, len);
  EXPECT_EQ(std::string(buf, len), "xy");
  EXPECT_TRUE(in.is.at_end());
}

TEST(list_input, long_form_headers_and_skip) {
  const std::string big(65535, 'q');
  input in(std::string("\x00\x01\x00\x01", 4) + elem(std::string(254, 'a')) + std::string("\x00\x00\x00\x01", 4) + big +
           elem("skipped") + std::string("\x01\x03\x04\x06", 4));
  EXPECT_TRUE(next_int(in.is).null);
  EXPECT_EQ(next_str(in.is), std::string(254, 'a'));
  EXPECT_EQ(next_str(in.is), big);
  in.is.skip();
  in.is.skip();  // the one-byte form
  EXPECT_EQ(next_int(in.is).v, 6);
  EXPECT_TRUE(in.is.at_end());
}

TEST(list_input, mb_text_of_any_length) {
  // 16-bit text longer than the scratch buffers, with a surrogate pair across
  // the first conversion piece (unit 8192 starts at byte 16384).
  std::string units, utf8;
  for (int i = 0; i < 8191; ++i) units.append("a\0", 2), utf8 += 'a';
  units.append("\x3D\xD8\x00\xDE", 4), utf8 += "\xF0\x9F\x98\x80";
  for (int i = 0; i < 12000; ++i) units.append("\xE9\x00", 2), utf8 += "\xC3\xA9";
  input in(elem(units, '\x02') +
           std::string("\x0C\x02" "A\0" "\xE9\0" "\xAC\x20" "\x3D\xD8\x00\xDE" "\x03\x04\xFF" "\x05\x01" "abc", 20));
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

TEST(list_input, reading_past_the_end) {
  input in(bytes{0x03, 0x04, 0x05, 0x06, 0x01, 'a', 'b'});  // the second element is cut short
  EXPECT_EQ(next_int(in.is).v, 5);
  EXPECT_EQ(next_str(in.is), "ab");
  EXPECT_TRUE(in.is.eof() && in.is.fail());

  in.is.reset(nullptr, 0);
  EXPECT_TRUE(in.is.good());
  EXPECT_TRUE(in.is.at_end());
  const auto r = next_int(in.is);
  EXPECT_EQ(r.v, 99);
  EXPECT_TRUE(r.null);
  EXPECT_EQ(next_str(in.is), "");
  EXPECT_TRUE(in.is.eof() && in.is.fail());

  t_istream bare;  // no buffer at all
  EXPECT_TRUE(bare.at_end());
  EXPECT_TRUE(next_int(bare).null);
  bare.skip_rest();
}

TEST(list_input, skip_rest_and_reset) {
  char data[] = {0x03, 0x04, 0x01, 0x03, 0x04, 0x02, 0x03, 0x04, 0x03};
  t_istrstream is(data, sizeof data);
  EXPECT_EQ(next_int(is).v, 1);
  EXPECT_FALSE(is.at_end());
  is.skip_rest();
  EXPECT_TRUE(is.at_end());
  is.reset(data + 6, 3);
  EXPECT_EQ(next_int(is).v, 3);
}

TEST(list_input, operators) {
  // 0x0180000001; type 3; null; "1.5"
  input in(bytes{0x07, 0x04, 0x01, 0x00, 0x00, 0x80, 0x01, 0x02, 0x03, 0x02, 0x01, 0x05, 0x01, '1', '.', '5'});
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

TEST(string_form, eight_bit_text) {
  input num(std::string(" 42 rest"));
  num.is.use_str_fmt(false);
  EXPECT_EQ(next_int(num.is).v, 42);
  EXPECT_TRUE(num.is.at_end());
  for (const char* bad : {"x", "", "3000000000"}) {
    input in{std::string(bad)};
    in.is.use_str_fmt(false);
    const auto r = next_int(in.is);
    EXPECT_EQ(r.v, 0) << bad;
    EXPECT_TRUE(r.null) << bad;
  }

  input in(std::string("-2.25xyz"));
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
  const auto d = next_double(in.is);
  EXPECT_EQ(d.v, -2.25);
  EXPECT_FALSE(d.null);
}

TEST(string_form, sixteen_bit_text_reads_the_whole_buffer) {
  input in(std::string("-\0" "1\0" "2\0" ".\0" "5\0", 10));
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
  const auto r = next_int(is);  // refused: only a t_istrstream's run is known
  EXPECT_TRUE(r.null);
  EXPECT_EQ(r.v, 99);
}

}  // namespace
