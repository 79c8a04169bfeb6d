// Calendar values to and from the ODBC date, time and timestamp structures.
// The value classes clear their null flag only when constructed with a
// value, so from_odbc assigns such a value and then puts the record back
// with the structure's members in it.
#include <torqa/query.h>

#include <ctime>

namespace {

void put_date(const std::tm& r, SQLSMALLINT& year, SQLUSMALLINT& month, SQLUSMALLINT& day) {
  year = static_cast<SQLSMALLINT>(r.tm_year + 1900);
  month = static_cast<SQLUSMALLINT>(r.tm_mon + 1);
  day = static_cast<SQLUSMALLINT>(r.tm_mday);
}

void put_time(const std::tm& r, SQLUSMALLINT& hour, SQLUSMALLINT& minute, SQLUSMALLINT& second) {
  hour = static_cast<SQLUSMALLINT>(r.tm_hour);
  minute = static_cast<SQLUSMALLINT>(r.tm_min);
  second = static_cast<SQLUSMALLINT>(r.tm_sec);
}

void take_date(std::tm& r, SQLSMALLINT year, SQLUSMALLINT month, SQLUSMALLINT day) {
  r.tm_year = year - 1900;
  r.tm_mon = month - 1;
  r.tm_mday = day;
}

void take_time(std::tm& r, SQLUSMALLINT hour, SQLUSMALLINT minute, SQLUSMALLINT second) {
  r.tm_hour = hour;
  r.tm_min = minute;
  r.tm_sec = second;
}

}  // namespace

DATE_STRUCT to_odbc(const d_date& d) {
  DATE_STRUCT s{};
  put_date(*d.get_tm(), s.year, s.month, s.day);
  return s;
}

TIME_STRUCT to_odbc(const d_time& t) {
  TIME_STRUCT s{};
  put_time(*t.get_tm(), s.hour, s.minute, s.second);
  return s;
}

TIMESTAMP_STRUCT to_odbc(const d_timestamp& t) {
  TIMESTAMP_STRUCT s{};
  put_date(*t.get_tm(), s.year, s.month, s.day);
  put_time(*t.get_tm(), s.hour, s.minute, s.second);
  s.fraction = 0;
  return s;
}

void from_odbc(const DATE_STRUCT& s, d_date& d) {
  std::tm r = *d.get_tm();
  take_date(r, s.year, s.month, s.day);
  d = d_date(0, 1, 1);
  *d.get_tm() = r;
}

void from_odbc(const TIME_STRUCT& s, d_time& t) {
  std::tm r = *t.get_tm();
  take_time(r, s.hour, s.minute, s.second);
  t = d_time(0, 0, 0);
  *t.get_tm() = r;
}

void from_odbc(const TIMESTAMP_STRUCT& s, d_timestamp& t) {
  std::tm r = *t.get_tm();
  take_date(r, s.year, s.month, s.day);
  take_time(r, s.hour, s.minute, s.second);
  t = d_timestamp(0, 1, 1, 0, 0, 0);
  *t.get_tm() = r;
}
