// Values as the server holds them, and their conversions to and from the
// wire, the text of cache sections and SQLite.
//
// In memory: string, binary, list and timestamp values are byte strings
// (text in UTF-8), integer and boolean values 64-bit integers, doubles
// doubles, dates day numbers (day 1 = 1841-01-01) and times seconds since
// midnight. In SQLite: dates are text "YYYY-MM-DD", times "HH:MM:SS".
// The empty string and null are one value (null).
#pragma once

#include "server/schema/schema.h"
#include "server/wire/wire.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

struct sqlite3_stmt;

namespace torqa::server {

using datum = std::variant<std::monostate, std::int64_t, double, std::string>;

inline bool is_null(const datum& d) { return std::holds_alternative<std::monostate>(d); }

/// A wire element as a value of type `t` (a data type). Empty when it does
/// not decode as that type; a null element gives null.
std::optional<datum> from_element(const element& e, data_type t);
/// Writes a value of type `t`: numbers as integers, doubles as "%.15f"
/// text, text in the namespace's form, bytes as they are; null as the null
/// element.
void put_datum(writer& w, const datum& d, data_type t, bool uni);
/// The plain text of a value for a cache section (decimal integers,
/// "%.15f" doubles, day numbers, seconds, timestamp text, bytes).
std::string datum_text(const datum& d, data_type t);

/// Binds a value of type `t` to parameter `i` of a statement.
int bind_datum(sqlite3_stmt* st, int i, const datum& d, data_type t);
/// Column `i` of the current row as a value of type `t`; text that does
/// not read as a date or time gives null.
datum column_datum(sqlite3_stmt* st, int i, data_type t);

/// Day number of a date (1841-01-01 is day 1), and back; false for dates
/// or day numbers out of range (years 1..9999).
bool day_number(int year, int month, int day, std::int64_t& n);
bool civil_date(std::int64_t n, int& year, int& month, int& day);
/// "YYYY-MM-DD" <-> day number; "HH:MM:SS" <-> seconds.
std::optional<std::int64_t> parse_date(std::string_view s);
std::string format_date(std::int64_t n);
std::optional<std::int64_t> parse_time(std::string_view s);
std::string format_time(std::int64_t seconds);

}  // namespace torqa::server
