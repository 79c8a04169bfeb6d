#include <gtest/gtest.h>
#include <torqa/datetime.h>
#include <torqa/streams.h>

#include <climits>
#include <cstdint>
#include <sstream>
#include <string>

namespace {

std::string encoded_int(std::int64_t v) {
  t_ostrstream os;
  os.put_int(v);
  return {os.data(), os.size()};
}

template <class T>
T read_value(std::string bytes) {
  T v;
  t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
  v.get(is, nullptr);
  return v;
}

template <class T>
std::string written(const T& v) {
  t_ostrstream os;
  v.put(os, nullptr);
  return {os.data(), os.size()};
}

template <class T>
std::string printed(const T& v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

d_date date_of_day(std::int64_t n) { return read_value<d_date>(encoded_int(n)); }

void expect_all_unset(const std::tm& t) {
  for (int m :
       {t.tm_sec, t.tm_min, t.tm_hour, t.tm_mday, t.tm_mon, t.tm_year, t.tm_wday, t.tm_yday, t.tm_isdst})
    EXPECT_EQ(m, -1);
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

TEST(date_day_number, edges_and_bounds) {
  const d_date day1 = read_value<d_date>("\x03\x04\x01");
  EXPECT_EQ(printed(day1), "01/01/1841");
  EXPECT_EQ(day1.get_tm()->tm_wday, 5);  // a Friday
  EXPECT_EQ(day1.get_tm()->tm_yday, 0);
  EXPECT_EQ(day1.get_tm()->tm_hour, -1);
  const d_date day0 = read_value<d_date>(std::string("\x03\x04\x00", 3));
  EXPECT_EQ(printed(day0), "12/31/1840");
  EXPECT_EQ(day0.get_tm()->tm_yday, 365);  // 1840 is a leap year

  EXPECT_EQ(written(d_date(1841, 1, 1)), "\x03\x04\x01");
  EXPECT_EQ(written(d_date(2000, 2, 29)), "\x04\x04\x15\xE3");  // 58133
  EXPECT_EQ(printed(date_of_day(-657434)), "01/02/41");
  EXPECT_EQ(printed(date_of_day(2958465)), "01/01/9941");
  for (std::int64_t beyond : {-657435LL, 2958466LL, 1LL << 40}) {
    const d_date d = date_of_day(beyond);
    EXPECT_FALSE(d.is_null());
    expect_all_unset(*d.get_tm());
    EXPECT_EQ(printed(d), "INVALID");
    EXPECT_EQ(written(d), null_bytes);
  }
  // Records that are no calendar date are written as null, never printed raw.
  for (const d_date& bad : {d_date(2001, 2, 29), d_date(2000, 13, 1), d_date(10000, 1, 1)}) {
    EXPECT_EQ(written(bad), null_bytes);
    EXPECT_EQ(printed(bad), "INVALID");
  }
  d_date wild(2000, 1, 1);  // members set by hand, at the limits of int
  wild.get_tm()->tm_mon = INT_MAX;
  wild.get_tm()->tm_year = INT_MAX;
  EXPECT_EQ(printed(wild), "INVALID");
  EXPECT_TRUE(read_value<d_date>(null_bytes).is_null());

  const unsigned short odbc[] = {'1', '9', '9', '9', '-', '1', '2', '-', '3', '1'};
  d_date from_odbc;
  from_odbc.odbc_init(odbc);
  EXPECT_EQ(printed(from_odbc), "12/31/1999");
  EXPECT_EQ(from_odbc.get_tm()->tm_hour, -1);
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
    std::string first = written(d_date(y, m, d));
    t_istrstream(first.data(), static_cast<int>(first.size())).read_int(n, null);
    for (int i = 0; i < 1200; ++i, ++n, next_day(y, m, d)) {
      const d_date got = date_of_day(n);
      ASSERT_EQ(got.get_tm()->tm_year + 1900, y) << n;
      ASSERT_EQ(got.get_tm()->tm_mon + 1, m) << n;
      ASSERT_EQ(got.get_tm()->tm_mday, d) << n;
      ASSERT_EQ(written(d_date(y, m, d)), encoded_int(n)) << y << '-' << m << '-' << d;
    }
  }
}

TEST(time_value, seconds_since_midnight) {
  const d_time t = read_value<d_time>("\x04\x04\x4D\x0E");  // 3661 s
  EXPECT_EQ(printed(t), "01:01:01");
  EXPECT_EQ(t.get_tm()->tm_mday, -1);
  EXPECT_EQ(written(t), "\x04\x04\x4D\x0E");
  EXPECT_EQ(written(d_time(23, 59, 59)), "\x05\x04\x7F\x51\x01");  // 86399
  EXPECT_EQ(printed(read_value<d_time>("\x01")), "NULL");

  // Counts are not range-checked: 24:00:00 and negative counts are kept but
  // are no time of day.
  for (const char* bytes : {"\x05\x04\x80\x51\x01", "\x03\x05\xFF"}) {
    const d_time bad = read_value<d_time>(bytes);
    EXPECT_FALSE(bad.is_null());
    EXPECT_EQ(printed(bad), "INVALID");
    EXPECT_EQ(written(bad), null_bytes);
  }
}

TEST(timestamp_value, text_forms) {
  const d_timestamp ts(2001, 2, 3, 4, 5, 6);
  EXPECT_EQ(written(ts), std::string("\x15\x01") + "2001-02-03 04:05:06");
  EXPECT_EQ(printed(ts), "04:05:06 02/03/2001");
  // Fixed positions on the wire: years before 1000 keep four digits.
  EXPECT_EQ(written(d_timestamp(41, 1, 2, 3, 4, 5)), std::string("\x15\x01") + "0041-01-02 03:04:05");

  std::string wide = "\x28\x02";  // 16-bit server text, low byte first
  for (char c : std::string("2024-02-29 12:00:01")) wide += std::string{c, '\0'};
  const d_timestamp from16 = read_value<d_timestamp>(wide);
  EXPECT_EQ(printed(from16), "12:00:01 02/29/2024");
  EXPECT_EQ(from16.get_tm()->tm_wday, -1);

  const d_timestamp empty = read_value<d_timestamp>(null_bytes);
  EXPECT_TRUE(empty.is_null());
  EXPECT_EQ(printed(empty), "NULL");

  // A short text: the date only with its 10 characters, the time only with 19.
  const d_timestamp date_only = read_value<d_timestamp>(std::string("\x0C\x01") + "2001-02-03");
  EXPECT_EQ(date_only.get_tm()->tm_mday, 3);
  EXPECT_EQ(date_only.get_tm()->tm_hour, -1);
  EXPECT_EQ(written(date_only), null_bytes);
  expect_all_unset(*read_value<d_timestamp>(std::string("\x07\x01") + "2001-").get_tm());

  // A text longer than the scratch buffer: its start is used and the whole
  // element is consumed.
  std::string big("\x00\x01\x80\x01", 4);  // 32768 data bytes
  big += "2002-03-04 05:06:07" + std::string(32768 - 19, 'z') + "\x03\x04\x07";
  t_istrstream is(big.data(), static_cast<int>(big.size()));
  d_timestamp t;
  t.get(is, nullptr);
  EXPECT_EQ(printed(t), "05:06:07 03/04/2002");
  int next = 0;
  is >> next;
  EXPECT_EQ(next, 7);
}
