#include "server/test_util.h"

#include "server/wire/wire.h"

#include <climits>
#include <memory>
#include <optional>

namespace torqa::server {
namespace {

using test::hex;

TEST(wire_encode, integers_take_the_fewest_bytes_and_data_its_short_or_long_form) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "03 04 00"},         {255, "03 04 FF"},     {256, "04 04 00 01"},
      {-1, "03 05 FF"},        {-256, "03 05 00"},    {-257, "04 05 FF FE"},
      {2147483647, "06 04 FF FF FF 7F"}, {INT64_MAX, "0A 04 FF FF FF FF FF FF FF 7F"},
      {INT64_MIN, "0A 05 00 00 00 00 00 00 00 80"}};
  for (const auto& [v, bytes] : cases) EXPECT_EQ(writer().integer(v).str(), hex(bytes)) << v;
  EXPECT_EQ(writer().bytes(std::string(253, 'a')).str().substr(0, 2), hex("FF 01"));
  const writer long_form = writer().bytes(std::string(254, 'a'));
  EXPECT_EQ(long_form.str().substr(0, 4), hex("00 FF 00 01"));
  EXPECT_EQ(long_form.size(), 258u);
  EXPECT_EQ(writer().bytes(std::string(65535, 'a')).str().substr(0, 4), hex("00 00 00 01"));  // the field wraps to 0
  EXPECT_EQ(writer().null().real(2.08).real(-0.5).text("h\xC3\xA9", true).str(),
            hex("02 01 13 01") + "2.080000000000000" + hex("14 01") + "-0.500000000000000" + hex("06 02 68 00 E9 00"));

  // Every form reads back.
  const writer w = writer().integer(-257).bytes(std::string(300, 'x')).bytes(std::string(65535, 'y')).null();
  reader r(w.str());
  EXPECT_EQ(element_int(test::next(r)), -257);
  EXPECT_EQ(test::next(r).data.size(), 300u);
  EXPECT_EQ(test::next(r).data.size(), 65535u);
  EXPECT_TRUE(test::next(r).is_null());
  EXPECT_TRUE(r.at_end());
}

TEST(wire_decode, elements_convert_between_types) {
  const std::nullopt_t none = std::nullopt;
  const struct {
    std::string bytes;
    std::optional<std::int64_t> i;
    std::optional<double> d;
    std::optional<std::string> text;
  } cases[] = {
      {hex("01"), none, none, ""},  // the one-byte form: null
      {hex("02 01"), none, none, ""},
      {hex("04 06 FF 19"), 2, 2.5, "2.500000000000000"},  // decimal 25 x 10^-1
      {hex("04 07 FE 9C"), -1, -1.0, "-1.000000000000000"},
      {hex("02 05"), -1, -1.0, "-1"},  // type 5 without data
      {hex("05 01 31 32 61"), 12, 12.0, "12a"},
      {hex("05 01 61 62 63"), 0, none, "abc"},
      {hex("06 02 34 00 32 00"), 42, 42.0, "42"},
      {hex("03 03 00"), none, none, none},  // type 3 carries no number
      // Saturation instead of overflow.
      {hex("17 01") + std::string(21, '9'), INT64_MAX, 1e21, std::string(21, '9')},
      {hex("0B 06 FF FF FF FF FF FF FF FF 7F"), INT64_MAX / 10, INT64_MAX / 10.0,  // exponent 255: x 10^-1
       "922337203685477632.000000000000000"},
      {hex("0B 06 05 FF FF FF FF FF FF FF 7F"), 0, 9.223372036854776e-233, "0.000000000000000"},  // x 10^-251
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 8));
    test::owned r(c.bytes);
    const element e = test::next(r);
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(element_int(e), c.i);
    ASSERT_EQ(element_double(e).has_value(), c.d.has_value());
    EXPECT_DOUBLE_EQ(element_double(e).value_or(0), c.d.value_or(0));
    EXPECT_EQ(element_text(e), c.text);
  }
}

TEST(wire_decode, truncated_elements_are_refused_without_reading_past_the_limit) {
  for (const char* bytes : {"05 01 61 62", "00 05 00", "00 05 00 01 61", "02", "FF 01"}) {
    const std::string b = hex(bytes);
    // A heap copy of exactly these bytes, so a sanitizer sees any overread.
    std::unique_ptr<char[]> exact(new char[b.size()]);
    std::copy(b.begin(), b.end(), exact.get());
    reader r(exact.get(), b.size());
    element e;
    EXPECT_FALSE(r.next(e)) << bytes;
    EXPECT_EQ(r.position(), 0u) << bytes;
  }
  reader r(nullptr, 0);
  std::int64_t v = 7;
  std::string s;
  EXPECT_FALSE(r.read_int(v));
  EXPECT_FALSE(r.read_text(s));
  EXPECT_EQ(v, 7);
}

TEST(wire_text, utf16_conversions_replace_ill_formed_input) {
  EXPECT_EQ(utf8_to_utf16le("A\xC3\xA9\xF0\x9F\x98\x80"), hex("41 00 E9 00 3D D8 00 DE"));
  EXPECT_EQ(utf16le_to_utf8(hex("41 00 E9 00 3D D8 00 DE")), "A\xC3\xA9\xF0\x9F\x98\x80");
  const std::string replacement = "\xEF\xBF\xBD";
  EXPECT_EQ(utf16le_to_utf8(hex("3D D8 41 00")), replacement + "A");  // unpaired surrogate
  EXPECT_EQ(utf16le_to_utf8(hex("41 00 42")), "A" + replacement);     // odd byte count
  EXPECT_EQ(utf8_to_utf16le("\xFF" + std::string("A\xE2\x82")), hex("FD FF 41 00 FD FF"));
  EXPECT_EQ(utf8_length("a\xC3\xA9\xF0\x9F\x98\x80"), 3u);
}

}  // namespace
}  // namespace torqa::server
