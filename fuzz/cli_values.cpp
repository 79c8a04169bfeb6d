// Values as a user types them for the torqa tool: integers, numbers,
// booleans, hex, dates, times, timestamps and list literals.
//
// Input: one byte choosing the parser, then the text. Text that is no value
// is refused with bad_value, never anything else; what is accepted prints
// back as text that reads as the same value.
#include "values.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

using namespace torqa::cli;

namespace {

void check(bool ok, const char* what, std::string_view text) {
  if (ok) return;
  std::fprintf(stderr, "%s: '%.*s'\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

void parse(int which, std::string_view s) {
  switch (which) {
    case 0:
      parse_int(s);
      break;
    case 1: {
      const double d = parse_double(s);
      check(std::isfinite(d), "not finite", s);
      check(parse_double(format_double(d)) == d, "double does not print back", s);
      break;
    }
    case 2:
      parse_bool(s);
      break;
    case 3: {
      const std::string bytes = parse_hex(s);
      check(parse_hex(to_hex(bytes)) == bytes, "hex does not print back", s);
      break;
    }
    case 4: {
      std::tm t{};
      parse_date(s, t.tm_year, t.tm_mon, t.tm_mday);
      const int y = t.tm_year, m = t.tm_mon, d = t.tm_mday;
      t.tm_year -= 1900;
      t.tm_mon -= 1;
      std::tm back{};
      parse_date(format_date(t), back.tm_year, back.tm_mon, back.tm_mday);
      check(back.tm_year == y && back.tm_mon == m && back.tm_mday == d, "date does not print back", s);
      break;
    }
    case 5: {
      std::tm t{};
      parse_time(s, t.tm_hour, t.tm_min, t.tm_sec);
      std::tm back{};
      parse_time(format_time(t), back.tm_hour, back.tm_min, back.tm_sec);
      check(back.tm_hour == t.tm_hour && back.tm_min == t.tm_min && back.tm_sec == t.tm_sec,
            "time does not print back", s);
      break;
    }
    case 6: {
      int p[6];
      parse_timestamp(s, p);
      const std::tm t{p[5], p[4], p[3], p[2], p[1] - 1, p[0] - 1900, 0, 0, 0, 0, nullptr};
      int back[6];
      parse_timestamp(format_timestamp(t), back);
      check(std::equal(p, p + 6, back), "timestamp does not print back", s);
      break;
    }
    default: {
      const auto items = parse_list(s);
      check(parse_list(format_list(items)) == items, "list does not print back", s);
      json_quote(s);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    parse(data[0] % 8, text);
  } catch (const bad_value&) {
  }
  return 0;
}
