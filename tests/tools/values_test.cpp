// Text forms of typed values: numbers, booleans, hex, calendar values, list literals.
#include "values.h"

#include <gtest/gtest.h>

#include <ctime>

namespace torqa::cli {
namespace {

TEST(cli_values, numbers_booleans_and_hex) {
  EXPECT_EQ(parse_int(" 42 "), 42);
  EXPECT_EQ(parse_int("+7"), 7);
  EXPECT_EQ(parse_int("-9223372036854775808"), INT64_MIN);
  for (const char* bad : {"", "4x", "1.5", "+-1", "--1", "x"}) EXPECT_THROW(parse_int(bad), bad_value) << bad;
  try {
    parse_int("9223372036854775808");
    ADD_FAILURE();
  } catch (const bad_value& e) {
    EXPECT_STREQ(e.what(), "'9223372036854775808' is out of range");
  }
  EXPECT_DOUBLE_EQ(parse_double("1.75"), 1.75);
  EXPECT_DOUBLE_EQ(parse_double("-2e3"), -2000);
  for (const char* bad : {"", "1,5", "inf", "nan", "1.5x", "++1"}) EXPECT_THROW(parse_double(bad), bad_value) << bad;
  EXPECT_EQ(format_double(1.75), "1.75");
  EXPECT_EQ(format_double(0.1), "0.1");
  EXPECT_TRUE(parse_bool("TRUE"));
  EXPECT_FALSE(parse_bool("no"));
  EXPECT_THROW(parse_bool("maybe"), bad_value);
  EXPECT_EQ(parse_hex("0x00ff10"), std::string("\x00\xff\x10", 3));
  EXPECT_THROW(parse_hex("abc"), bad_value);
  EXPECT_THROW(parse_hex("zz"), bad_value);
  EXPECT_EQ(to_hex(std::string("\x00\xab", 2)), "00ab");
}

TEST(cli_values, calendar_texts) {
  int y = 0, m = 0, d = 0;
  EXPECT_EQ((parse_date("2000-02-29", y, m, d), std::vector<int>{y, m, d}), (std::vector<int>{2000, 2, 29}));
  for (const char* bad : {"1900-02-29", "2001-13-01", "2001-1-01", "2001-01-32", "20010101"})
    EXPECT_THROW(parse_date(bad, y, m, d), bad_value) << bad;
  int h = 0, mi = 0, s = -1;
  EXPECT_EQ((parse_time("06:30", h, mi, s), std::vector<int>{h, mi, s}), (std::vector<int>{6, 30, 0}));
  EXPECT_THROW(parse_time("24:00:00", h, mi, s), bad_value);
  int p[6];
  EXPECT_EQ((parse_timestamp("2001-02-03T04:05:06", p), std::vector<int>(p, p + 6)), (std::vector<int>{2001, 2, 3, 4, 5, 6}));
  EXPECT_THROW(parse_timestamp("2001-02-03 04", p), bad_value);

  std::tm t{};
  t.tm_year = 100, t.tm_mon = 1, t.tm_mday = 29, t.tm_hour = 23, t.tm_min = 5, t.tm_sec = 9;
  EXPECT_EQ(format_timestamp(t), "2000-02-29 23:05:09");
  t.tm_mon = -1;  // a member the value does not carry
  EXPECT_EQ(format_date(t), "INVALID");
  EXPECT_EQ(format_time(t), "23:05:09");
}

TEST(cli_values, list_literals_round_trip) {
  const auto items = parse_list(R"( [7, -2.5, "a \"q\" \u00e9\ud83d\ude00", 1e2, "" ] )");
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].k, list_item::kind::integer);
  EXPECT_EQ(items[0].i, 7);
  EXPECT_EQ(items[1].k, list_item::kind::decimal);
  EXPECT_EQ(items[2].s, "a \"q\" \xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(items[3].k, list_item::kind::decimal);
  EXPECT_EQ(format_list(items), R"([7, -2.5, "a \"q\" é😀", 100.0, ""])");
  EXPECT_EQ(parse_list(format_list(items)), items);
  EXPECT_TRUE(parse_list("[]").empty());
  for (const char* bad : {"", "7", "[1,]", "[1 2]", "[\"x]", "[x]", "[1] 2", "[\"\\ud83d\"]"})
    EXPECT_THROW(parse_list(bad), bad_value) << bad;
}

}  // namespace
}  // namespace torqa::cli
