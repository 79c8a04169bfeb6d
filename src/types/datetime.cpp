// Calendar values. A date travels as a server day number (day 1 = 1 January
// 1841, proleptic Gregorian), a time as seconds since midnight, a timestamp
// as the text "YYYY-MM-DD HH:MM:SS". Members a value does not carry are -1.
#include <torqa/conversions.h>
#include <torqa/datetime.h>
#include <torqa/errors.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>

namespace {

// Day numbers the server accepts: 2 January 41 to 1 January 9941.
constexpr int min_day = -657434;
constexpr int max_day = 2958465;
// The day count below gives 31 December 1840 (day 0) this value.
constexpr std::int64_t day_base = 672411;
// Day 0 lies this many days before 1 January 1970.
constexpr std::int64_t unix_offset = 47117;

constexpr int days_before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_length(std::int64_t y, int m) {
  static constexpr int len[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : len[m - 1];
}

void clear_record(std::tm& t) {
  t = std::tm{};
  t.tm_sec = t.tm_min = t.tm_hour = t.tm_mday = t.tm_mon = t.tm_year = -1;
  t.tm_wday = t.tm_yday = t.tm_isdst = -1;
}

// The record's date as a valid calendar date (year at most 9999).
bool valid_date(const std::tm& t) {
  const std::int64_t y = std::int64_t{t.tm_year} + 1900;
  return y <= 9999 && t.tm_mon >= 0 && t.tm_mon <= 11 && t.tm_mday >= 1 &&
         t.tm_mday <= month_length(y, t.tm_mon + 1);
}

bool valid_time(const std::tm& t) {
  return t.tm_hour >= 0 && t.tm_hour <= 23 && t.tm_min >= 0 && t.tm_min <= 59 && t.tm_sec >= 0 &&
         t.tm_sec <= 59;
}

// Server day number of a valid date.
std::int64_t day_number(std::int64_t y, int m, int d) {
  std::int64_t n = y * 365 + y / 4 - y / 100 + y / 400 + days_before[m - 1] + d;
  if (m < 3 && is_leap(y)) --n;
  return n - day_base;
}

// Year, month (1-12) and day of a day number (days since 1970 shifted to
// day 0; the era arithmetic keeps every step non-negative within range).
void civil_from_day(int n, int& y, int& m, int& d) {
  const std::int64_t z = n - unix_offset + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0));
}

// Digits at fixed positions, most significant first, not validated.
template <class C>
int digits(const C* text, int from, int count) {
  int v = 0;
  for (int i = from; i < from + count; ++i) v = v * 10 + (static_cast<int>(text[i]) - '0');
  return v;
}

template <class C>
void parse_date(std::tm& t, const C* text) {
  t.tm_year = digits(text, 0, 4) - 1900;
  t.tm_mon = digits(text, 5, 2) - 1;
  t.tm_mday = digits(text, 8, 2);
}

template <class C>
void parse_time(std::tm& t, const C* text) {
  t.tm_hour = digits(text, 0, 2);
  t.tm_min = digits(text, 3, 2);
  t.tm_sec = digits(text, 6, 2);
}

// Timestamp text: the date when its 10 characters are present, the time
// when all 19 are; nothing past the terminating zero is read.
template <class C>
void parse_timestamp(std::tm& t, const C* text) {
  int n = 0;
  while (n < 19 && text[n] != 0) ++n;
  if (n >= 10) parse_date(t, text);
  if (n >= 19) parse_time(t, text + 11);
}

// A copy of the chosen members for strftime, the others 0, so that strftime
// only ever sees in-range members (the caller has checked the chosen ones).
std::tm strftime_record(const std::tm& rec, bool date, bool time) {
  std::tm t{};
  if (date) {
    t.tm_year = rec.tm_year;
    t.tm_mon = rec.tm_mon;
    t.tm_mday = rec.tm_mday;
  }
  if (time) {
    t.tm_hour = rec.tm_hour;
    t.tm_min = rec.tm_min;
    t.tm_sec = rec.tm_sec;
  }
  return t;
}

// "NULL", "INVALID" or the chosen members formatted into conv_buf.
std::ostream& print(std::ostream& os, bool null, const std::tm& rec, bool date, bool time,
                    const char* format) {
  if (null) return os << "NULL";
  if ((date && !valid_date(rec)) || (time && !valid_time(rec))) return os << "INVALID";
  const std::tm t = strftime_record(rec, date, time);
  const std::size_t n = std::strftime(conv_buf, sizeof conv_buf, format, &t);
  conv_buf[n] = '\0';
  return os << conv_buf;
}

// A day number or a count of seconds, clamped to int; nothing (and the
// record cleared) when the element is null or not a number.
std::optional<int> read_count(t_istream& is, std::tm& tm) {
  std::int64_t v = 0;
  bool null = false;
  is.read_int(v, null);
  if (null) {
    clear_record(tm);
    return std::nullopt;
  }
  return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

}  // namespace

// ---- d_date

d_date::d_date() {
  clear_record(tm_);
  null_ = true;
}

d_date::d_date(int year, int month, int day) {
  clear_record(tm_);
  tm_.tm_year = year - 1900;
  tm_.tm_mon = month - 1;
  tm_.tm_mday = day;
}

void d_date::init_low(int n) {
  null_ = false;
  clear_record(tm_);
  if (n < min_day || n > max_day) return;
  int y = 0, m = 0, d = 0;
  civil_from_day(n, y, m, d);
  tm_.tm_year = y - 1900;
  tm_.tm_mon = m - 1;
  tm_.tm_mday = d;
  tm_.tm_wday = static_cast<int>((n + day_base - 1) % 7);
  tm_.tm_yday = static_cast<int>(n - day_number(y, 1, 1));
}

void d_date::get(t_istream& is, Database*) {
  if (const std::optional<int> v = read_count(is, tm_))
    init_low(*v);
  else
    set_null();
}

void d_date::put(t_ostream& os, Database*) const {
  if (is_null()) return os.put_null();
  if (!valid_date(tm_)) throw Db_err(-1000, "d_date: not a valid date");
  const std::int64_t n = day_number(std::int64_t{tm_.tm_year} + 1900, tm_.tm_mon + 1, tm_.tm_mday);
  // The server refuses other days, and they would read back as no date.
  if (n < min_day || n > max_day) throw Db_err(-1000, "d_date: beyond the server's day numbers");
  os.put_int(n);
}

void d_date::odbc_init(const unsigned short* text) {
  null_ = false;
  clear_record(tm_);
  parse_date(tm_, text);
}

std::ostream& operator<<(std::ostream& os, const d_date& d) {
  return print(os, d.is_null(), *d.get_tm(), true, false, "%m/%d/%Y");
}

// ---- d_time

d_time::d_time() {
  clear_record(tm_);
  null_ = true;
}

d_time::d_time(int hours, int minutes, int seconds) {
  clear_record(tm_);
  tm_.tm_hour = hours;
  tm_.tm_min = minutes;
  tm_.tm_sec = seconds;
}

void d_time::init_low(int seconds) {
  null_ = false;
  clear_record(tm_);
  tm_.tm_hour = seconds / 3600;
  tm_.tm_min = seconds % 3600 / 60;
  tm_.tm_sec = seconds % 60;
}

void d_time::get(t_istream& is, Database*) {
  if (const std::optional<int> v = read_count(is, tm_))
    init_low(*v);
  else
    set_null();
}

void d_time::put(t_ostream& os, Database*) const {
  if (is_null()) return os.put_null();
  if (!valid_time(tm_)) throw Db_err(-1000, "d_time: not a valid time of day");
  os.put_int(tm_.tm_hour * 3600 + tm_.tm_min * 60 + tm_.tm_sec);
}

void d_time::odbc_init(const unsigned short* text) {
  null_ = false;
  clear_record(tm_);
  parse_time(tm_, text);
}

std::ostream& operator<<(std::ostream& os, const d_time& t) {
  return print(os, t.is_null(), *t.get_tm(), false, true, "%H:%M:%S");
}

// ---- d_timestamp

d_timestamp::d_timestamp() {
  clear_record(tm_);
  null_ = true;
}

d_timestamp::d_timestamp(int year, int month, int day, int hours, int minutes, int seconds) {
  clear_record(tm_);
  tm_.tm_year = year - 1900;
  tm_.tm_mon = month - 1;
  tm_.tm_mday = day;
  tm_.tm_hour = hours;
  tm_.tm_min = minutes;
  tm_.tm_sec = seconds;
}

void d_timestamp::init_low(const char* text) {
  null_ = false;
  clear_record(tm_);
  parse_timestamp(tm_, text);
}

void d_timestamp::init_low(const unsigned short* text) {
  null_ = false;
  clear_record(tm_);
  parse_timestamp(tm_, text);
}

void d_timestamp::get(t_istream& is, Database*) {
  null_ = false;
  clear_record(tm_);
  bool is_uni = false;
  unsigned short len = 0;
  // Two bytes stay free for the terminator; the rest of a longer element is
  // passed over by the read.
  is.read_bytes(is_uni, copy_buf, sizeof copy_buf - 2, len);
  if (len == 0) {
    set_null();
  } else if (is_uni) {
    const unsigned short* text = nullptr;
    unsigned short chars = 0;
    torqa_uni_to_uni(copy_buf, len, &text, &chars);  // terminates in place
    init_low(text);
  } else {
    copy_buf[len] = '\0';
    init_low(copy_buf);
  }
}

void d_timestamp::put(t_ostream& os, Database*) const {
  if (is_null()) return os.put_null();
  // A text that held a date alone was read without a time: it goes back as
  // it came.
  const bool date_only = tm_.tm_hour == -1 && tm_.tm_min == -1 && tm_.tm_sec == -1;
  if (!valid_date(tm_) || tm_.tm_year < -1900 || (!date_only && !valid_time(tm_)))
    throw Db_err(-1000, "d_timestamp: not a valid timestamp");
  // The server reads the fields from fixed positions: the year always takes
  // four digits (strftime's %Y would not pad years before 1000).
  int n = std::snprintf(conv_buf, sizeof conv_buf, "%04d-%02d-%02d", tm_.tm_year + 1900, tm_.tm_mon + 1, tm_.tm_mday);
  if (!date_only)
    n += std::snprintf(conv_buf + n, sizeof conv_buf - n, " %02d:%02d:%02d", tm_.tm_hour, tm_.tm_min, tm_.tm_sec);
  os.put_str(0, conv_buf, static_cast<unsigned short>(n));
}

std::ostream& operator<<(std::ostream& os, const d_timestamp& t) {
  return print(os, t.is_null(), *t.get_tm(), true, true, "%H:%M:%S %m/%d/%Y");
}
