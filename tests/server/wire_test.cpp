#include "test_util.h"

#include "server/wire.h"

#include <climits>

namespace torqa::server {
namespace {

using test::hex;

std::string encoded_int(std::int64_t v) {
  writer w;
  w.integer(v);
  return w.str();
}

TEST(wire_encode, integers_take_the_fewest_bytes) {
  EXPECT_EQ(encoded_int(0), hex("03 04 00"));
  EXPECT_EQ(encoded_int(255), hex("03 04 FF"));
  EXPECT_EQ(encoded_int(256), hex("04 04 00 01"));
  EXPECT_EQ(encoded_int(2147483647), hex("06 04 FF FF FF 7F"));
  EXPECT_EQ(encoded_int(-1), hex("03 05 FF"));
  EXPECT_EQ(encoded_int(-256), hex("03 05 00"));
  EXPECT_EQ(encoded_int(-257), hex("04 05 FF FE"));
  EXPECT_EQ(encoded_int(INT64_MAX), hex("0A 04 FF FF FF FF FF FF FF 7F"));
  EXPECT_EQ(encoded_int(INT64_MIN), hex("0A 05 00 00 00 00 00 00 00 80"));
}

TEST(wire_encode, short_and_long_forms) {
  writer w;
  w.bytes(std::string(253, 'a'));
  EXPECT_EQ(w.str().substr(0, 2), hex("FF 01"));
  w.clear();
  w.bytes(std::string(254, 'a'));
  EXPECT_EQ(w.str().substr(0, 4), hex("00 FF 00 01"));
  EXPECT_EQ(w.size(), 258u);
  w.clear();
  w.bytes(std::string(65535, 'a'));
  EXPECT_EQ(w.str().substr(0, 4), hex("00 00 00 01"));  // the field wraps to 0
  w.clear();
  w.null().real(2.08).real(-0.5).text("h\xC3\xA9", true);
  EXPECT_EQ(w.str(), hex("02 01") + hex("13 01") + "2.080000000000000" + hex("14 01") + "-0.500000000000000" +
                         hex("06 02 68 00 E9 00"));
}

TEST(wire_decode, round_trips_every_form) {
  writer w;
  w.integer(-257).bytes(std::string(300, 'x')).bytes(std::string(65535, 'y')).null();
  reader r(w.str());
  element e;
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(element_int(e), -257);
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(e.data.size(), 300u);
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(e.data.size(), 65535u);
  ASSERT_TRUE(r.next(e));
  EXPECT_TRUE(e.is_null());
  EXPECT_TRUE(r.at_end());
}

TEST(wire_decode, one_byte_form_and_decimals) {
  test::owned r(hex("01 04 06 FF 19 04 07 FE 9C 02 05"));
  element e;
  ASSERT_TRUE(r.next(e));
  EXPECT_TRUE(e.is_null());
  ASSERT_TRUE(r.next(e));
  EXPECT_DOUBLE_EQ(*element_double(e), 2.5);
  EXPECT_EQ(element_int(e), 2);
  EXPECT_EQ(element_text(e), "2.500000000000000");
  ASSERT_TRUE(r.next(e));
  EXPECT_DOUBLE_EQ(*element_double(e), -1.0);
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(element_int(e), -1);  // type 5 without data
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

TEST(wire_decode, conversions_between_element_types) {
  test::owned r(hex("05 01 31 32 61") + hex("02 01") + hex("05 01 61 62 63") + hex("06 02 34 00 32 00") + hex("03 03 00"));
  element e;
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(element_int(e), 12);
  EXPECT_FALSE(element_double(e) == std::nullopt);
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(element_int(e), std::nullopt);  // null
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(element_int(e), 0);
  EXPECT_EQ(element_double(e), std::nullopt);
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(element_int(e), 42);
  EXPECT_EQ(element_text(e), "42");
  ASSERT_TRUE(r.next(e));
  EXPECT_EQ(element_int(e), std::nullopt);  // type 3 carries no number
  EXPECT_EQ(element_text(e), std::nullopt);

  // Saturation instead of overflow.
  test::owned big(hex("17 01") + "999999999999999999999");
  ASSERT_TRUE(big.next(e));
  EXPECT_EQ(element_int(e), INT64_MAX);
  test::owned huge_decimal(hex("0B 06 FF FF FF FF FF FF FF FF 7F"));  // exponent 255: x 10^-1
  ASSERT_TRUE(huge_decimal.next(e));
  EXPECT_EQ(element_int(e), INT64_MAX / 10);
  test::owned scaled_up(hex("0B 06 05 FF FF FF FF FF FF FF 7F"));  // exponent 5: x 10^-251
  ASSERT_TRUE(scaled_up.next(e));
  EXPECT_EQ(element_int(e), 0);
}

TEST(wire_text, utf16_conversions_replace_ill_formed_input) {
  EXPECT_EQ(utf8_to_utf16le("A\xC3\xA9\xF0\x9F\x98\x80"), hex("41 00 E9 00 3D D8 00 DE"));
  EXPECT_EQ(utf16le_to_utf8(hex("41 00 E9 00 3D D8 00 DE")), "A\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16le_to_utf8(hex("3D D8 41 00")), "\xEF\xBF\xBD" "A");  // unpaired surrogate
  EXPECT_EQ(utf16le_to_utf8(hex("41 00 42")), "A\xEF\xBF\xBD");        // odd byte count
  EXPECT_EQ(utf8_to_utf16le("\xFF" "A\xE2\x82"), hex("FD FF 41 00 FD FF"));
  EXPECT_EQ(utf8_length("a\xC3\xA9\xF0\x9F\x98\x80"), 3u);
}

}  // namespace
}  // namespace torqa::server
