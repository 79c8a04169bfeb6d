#include "server/wire/values.h"

#include <sqlite3.h>

#include <cstdio>

namespace torqa::server {

namespace {

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

const std::int64_t day_zero = days_from_civil(1840, 12, 31);

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_length(int y, int m) {
  static constexpr int len[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : len[m - 1];
}

// Digits at [at, at + n) of s; -1 when any is not a digit.
int digits(std::string_view s, std::size_t at, std::size_t n) {
  int v = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (i >= s.size() || s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

std::string column_bytes(sqlite3_stmt* st, int i) {
  const auto* p = static_cast<const char*>(sqlite3_column_blob(st, i));
  const int n = sqlite3_column_bytes(st, i);
  return p == nullptr ? std::string() : std::string(p, static_cast<std::size_t>(n));
}

}  // namespace

bool day_number(int year, int month, int day, std::int64_t& n) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > month_length(year, month)) return false;
  n = days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - day_zero;
  return true;
}

bool civil_date(std::int64_t n, int& year, int& month, int& day) {
  if (n < -657434 || n > 2958465) return false;
  const std::int64_t z = n + day_zero + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
  return true;
}

std::optional<std::int64_t> parse_date(std::string_view s) {
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return std::nullopt;
  std::int64_t n = 0;
  if (!day_number(digits(s, 0, 4), digits(s, 5, 2), digits(s, 8, 2), n)) return std::nullopt;
  return n;
}

std::string format_date(std::int64_t n) {
  int y, m, d;
  if (!civil_date(n, y, m, d)) return {};
  char buf[40];  // room for any int, so the compiler sees no truncation
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::optional<std::int64_t> parse_time(std::string_view s) {
  if (s.size() < 8 || s[2] != ':' || s[5] != ':') return std::nullopt;
  const int h = digits(s, 0, 2), m = digits(s, 3, 2), sec = digits(s, 6, 2);
  if (h < 0 || h > 23 || m < 0 || m > 59 || sec < 0 || sec > 59) return std::nullopt;
  return h * 3600 + m * 60 + sec;
}

std::string format_time(std::int64_t t) {
  if (t < 0 || t >= 86400) return {};
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(t / 3600), static_cast<int>(t / 60 % 60),
                static_cast<int>(t % 60));
  return buf;
}

std::optional<datum> from_element(const element& e, data_type t) {
  if (e.is_null()) return datum{};
  switch (t) {
    case data_type::string:
    case data_type::timestamp: {
      auto s = element_text(e);
      if (!s) return std::nullopt;
      if (s->empty()) return datum{};
      return datum{std::move(*s)};
    }
    case data_type::binary:
    case data_type::list:
    case data_type::status:
      if (e.type == t_text || e.type == t_uni) return datum{std::string(e.data)};
      if (auto s = element_text(e)) return datum{std::move(*s)};
      return std::nullopt;
    case data_type::integer:
    case data_type::boolean: {
      const auto v = element_int(e);
      if (!v) return std::nullopt;
      return datum{t == data_type::boolean ? std::int64_t{*v != 0} : *v};
    }
    case data_type::double_: {
      const auto v = element_double(e);
      if (!v) return std::nullopt;
      return datum{*v};
    }
    case data_type::date:
    case data_type::time: {
      std::optional<std::int64_t> v;
      if (e.type == t_text && e.data.find_first_of("-:") != std::string_view::npos && e.data[0] != '-')
        v = t == data_type::date ? parse_date(e.data) : parse_time(e.data);
      else
        v = element_int(e);
      if (!v) return std::nullopt;
      int y, m, d;
      if (t == data_type::date ? !civil_date(*v, y, m, d) : (*v < 0 || *v >= 86400)) return std::nullopt;
      return datum{*v};
    }
    default:
      return std::nullopt;
  }
}

void put_datum(writer& w, const datum& d, data_type t, bool uni) {
  if (is_null(d)) {
    w.null();
    return;
  }
  if (const auto* i = std::get_if<std::int64_t>(&d)) {
    w.integer(*i);
  } else if (const auto* x = std::get_if<double>(&d)) {
    w.real(*x);
  } else {
    const auto& s = std::get<std::string>(d);
    if (t == data_type::string)
      w.text(s, uni);
    else
      w.bytes(s);
  }
}

std::string datum_text(const datum& d, data_type) {
  if (const auto* i = std::get_if<std::int64_t>(&d)) return std::to_string(*i);
  if (const auto* x = std::get_if<double>(&d)) return format_double(*x);
  if (const auto* s = std::get_if<std::string>(&d)) return *s;
  return {};
}

int bind_datum(sqlite3_stmt* st, int i, const datum& d, data_type t) {
  if (is_null(d)) return sqlite3_bind_null(st, i);
  if (const auto* x = std::get_if<double>(&d)) return sqlite3_bind_double(st, i, *x);
  if (const auto* v = std::get_if<std::int64_t>(&d)) {
    if (t == data_type::date || t == data_type::time) {
      const std::string s = t == data_type::date ? format_date(*v) : format_time(*v);
      return sqlite3_bind_text64(st, i, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    return sqlite3_bind_int64(st, i, *v);
  }
  const auto& s = std::get<std::string>(d);
  if (t == data_type::binary || t == data_type::list)
    return sqlite3_bind_blob64(st, i, s.data(), s.size(), SQLITE_TRANSIENT);
  return sqlite3_bind_text64(st, i, s.data(), s.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

datum column_datum(sqlite3_stmt* st, int i, data_type t) {
  const int kind = sqlite3_column_type(st, i);
  if (kind == SQLITE_NULL) return {};
  switch (t) {
    case data_type::integer:
    case data_type::boolean:
    case data_type::object: {
      const std::int64_t v = sqlite3_column_int64(st, i);
      return t == data_type::boolean ? std::int64_t{v != 0} : v;
    }
    case data_type::double_:
      return sqlite3_column_double(st, i);
    case data_type::date:
    case data_type::time: {
      if (kind == SQLITE_INTEGER) return sqlite3_column_int64(st, i);
      const std::string s = column_bytes(st, i);
      const auto v = t == data_type::date ? parse_date(s) : parse_time(s);
      return v ? datum{*v} : datum{};
    }
    default: {
      std::string s = column_bytes(st, i);
      if (s.empty()) return {};
      return s;
    }
  }
}

}  // namespace torqa::server
