// Dates as day numbers, times as seconds since midnight, timestamps as text.
#include "support/thrown.h"
#include "support/value_bytes.h"

#include <torqa/datetime.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

using namespace torqa::test;

namespace {

std::string encoded_int(std::int64_t v) {
  t_ostrstream os;
  os.put_int(v);
  return {os.data(), os.size()};
}

d_date date_of_day(std::int64_t n) { return read_value<d_date>(encoded_int(n)); }

bool all_unset(const std::tm& t) {
  for (int m : {t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday, t.tm_isdst})
    if (m != -1) return false;
  return true;
}

// The day after (y, m, d), by plain calendar rules.
void next_day(int& y, int& m, int& d) {
  static const int len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (++d > (m == 2 && leap ? 29 : len[m - 1])) {
    d = 1;
    if (++m > 12) m = 1, ++y;
  }
}

const std::string null_bytes("\x02\x01");

}  // namespace

TEST(date_day_number, edges_bounds_and_invalid_records) {
  const d_date day1 = date_of_day(1), day0 = date_of_day(0);
  const std::tm &t1 = *day1.get_tm(), &t0 = *day0.get_tm();
  EXPECT_TRUE(printed(day1) == "01/01/1841" && t1.tm_wday == 5 && t1.tm_yday == 0 && t1.tm_hour == -1);  // a Friday
  EXPECT_TRUE(printed(day0) == "12/31/1840" && t0.tm_yday == 365);  // 1840 is a leap year
  EXPECT_EQ(written(d_date(1841, 1, 1)) + written(d_date(2000, 2, 29)), encoded_int(1) + encoded_int(58133));
  // The C runtime decides whether a year below 1000 is padded ("41", "0041").
  EXPECT_THAT(printed(date_of_day(-657434)), ::testing::MatchesRegex("01/02/0*41"));
  EXPECT_EQ(printed(date_of_day(2958465)), "01/01/9941");
  EXPECT_TRUE(read_value<d_date>(null_bytes).is_null());

  // Day numbers beyond the range leave every member -1 and the value
  // non-null; records that are no calendar date print as INVALID and are
  // refused when written, as are dates beyond the server's day numbers.
  for (std::int64_t beyond : {-657435LL, 2958466LL, 1LL << 40})
    EXPECT_TRUE(!date_of_day(beyond).is_null() && all_unset(*date_of_day(beyond).get_tm())) << beyond;
  d_date wild(2000, 1, 1);  // members set by hand, at the limits of int
  wild.get_tm()->tm_mon = INT_MAX;
  wild.get_tm()->tm_year = INT_MAX;
  for (const d_date& bad :
       {date_of_day(2958466), d_date(2023, 2, 30), d_date(2000, 13, 1), d_date(10000, 1, 1), wild}) {
    EXPECT_EQ(thrown([&] { written(bad); }), "-1000 d_date: not a valid date");
    EXPECT_EQ(printed(bad), "INVALID");
  }
  for (const d_date& far : {d_date(30, 1, 1), d_date(41, 1, 1), d_date(9941, 1, 2)})
    EXPECT_EQ(thrown([&] { written(far); }), "-1000 d_date: beyond the server's day numbers");

  const unsigned short odbc[] = {'1', '9', '9', '9', '-', '1', '2', '-', '3', '1'};
  d_date from_odbc;
  from_odbc.odbc_init(odbc);
  const std::tm& t = *from_odbc.get_tm();
  EXPECT_TRUE(t.tm_year == 99 && t.tm_mon == 11 && t.tm_mday == 31 && t.tm_hour == -1 && t.tm_min == -1 && t.tm_sec == -1);
}

TEST(date_day_number, round_trips_across_the_range) {
  for (std::int64_t n = -657434; n <= 2958465; n += 997) {
    const d_date d = date_of_day(n);
    ASSERT_EQ(written(d), encoded_int(n)) << n;
    ASSERT_EQ(d.get_tm()->tm_wday, (n + 672410) % 7) << n;
  }
  // Day by day through century and leap-year turns, against a calendar that
  // only counts days.
  for (int start_year : {41, 1600, 1700, 1840, 1899, 1999, 2099, 2400, 9937}) {
    int y = start_year, m = 1, d = 2;
    std::int64_t n = 0;
    bool null = false;
    input first(written(d_date(y, m, d)));
    first.is.read_int(n, null);
    for (int i = 0; i < 1200; ++i, ++n, next_day(y, m, d)) {
      const std::tm got = *date_of_day(n).get_tm();
      ASSERT_TRUE(got.tm_year + 1900 == y && got.tm_mon + 1 == m && got.tm_mday == d) << n;
      ASSERT_EQ(written(d_date(y, m, d)), encoded_int(n)) << y << '-' << m << '-' << d;
    }
  }
}

TEST(time_value, seconds_since_midnight) {
  const d_time t = read_value<d_time>(encoded_int(3661));
  EXPECT_TRUE(printed(t) == "01:01:01" && t.get_tm()->tm_mday == -1 && written(t) == encoded_int(3661));
  EXPECT_EQ(written(d_time(23, 59, 59)), encoded_int(86399));
  EXPECT_EQ(printed(read_value<d_time>("\x01")), "NULL");

  // Counts are not range-checked: 24:00:00 and negative counts are kept but
  // are no time of day, and are refused when written.
  for (std::int64_t count : {86400, -1}) {
    const d_time bad = read_value<d_time>(encoded_int(count));
    EXPECT_TRUE(!bad.is_null() && printed(bad) == "INVALID");
    EXPECT_EQ(thrown([&] { written(bad); }), "-1000 d_time: not a valid time of day");
  }
  EXPECT_EQ(thrown([&] { written(d_time(24, 0, 0)); }), "-1000 d_time: not a valid time of day");
}

TEST(timestamp_value, text_forms) {
  const d_timestamp ts(2001, 2, 3, 4, 5, 6);
  EXPECT_EQ(written(ts), element("2001-02-03 04:05:06"));
  EXPECT_EQ(printed(ts), "04:05:06 02/03/2001");
  // Fixed positions on the wire: years before 1000 keep four digits.
  EXPECT_EQ(written(d_timestamp(41, 1, 2, 3, 4, 5)), element("0041-01-02 03:04:05"));

  const d_timestamp from16 = read_value<d_timestamp>(element(units16(u"2024-02-29 12:00:01"), 2));
  EXPECT_TRUE(printed(from16) == "12:00:01 02/29/2024" && from16.get_tm()->tm_wday == -1);
  const d_timestamp empty = read_value<d_timestamp>(null_bytes);
  EXPECT_TRUE(empty.is_null() && printed(empty) == "NULL");

  // A short text: the date only with its 10 characters, the time only with
  // 19. A date alone is written back as it was read; what is no timestamp
  // is refused.
  const d_timestamp date_only = read_value<d_timestamp>(element("2001-02-03"));
  EXPECT_TRUE(date_only.get_tm()->tm_mday == 3 && date_only.get_tm()->tm_hour == -1);
  EXPECT_EQ(written(date_only), element("2001-02-03"));
  const d_timestamp cut = read_value<d_timestamp>(element("2001-"));
  EXPECT_TRUE(all_unset(*cut.get_tm()));
  for (const d_timestamp& bad : {cut, d_timestamp(2023, 12, 31, 23, 59, 60), d_timestamp(2023, 2, 30, 0, 0, 0),
                                 d_timestamp(-1, 1, 1, 0, 0, 0)})
    EXPECT_EQ(thrown([&] { written(bad); }), "-1000 d_timestamp: not a valid timestamp");

  // A text longer than the scratch buffer: its start is used and the whole
  // element is consumed.
  input in(element("2002-03-04 05:06:07" + std::string(32768 - 19, 'z')) + encoded_int(7));
  d_timestamp t;
  int next = 0;
  t.get(in.is, nullptr);
  EXPECT_TRUE(printed(t) == "05:06:07 03/04/2002" && (in.is >> next, next == 7));
}
