// Printing results: aligned tables for people, CSV and JSON for programs.
#pragma once

#include "values.h"

#include <ostream>
#include <string>
#include <vector>

namespace torqa::cli {

enum class format { table, csv, json };

/// Named columns and rows of cells.
struct table {
  std::vector<std::string> columns;
  std::vector<std::vector<cell>> rows;
};

/// Rows: aligned columns with a header and a row count (numbers to the
/// right, control characters escaped), CSV with a header line, or a JSON
/// array of objects.
void print_rows(std::ostream& os, const table& t, format f);
/// One record (the first row of `t`): "name  value" lines, CSV with a
/// header line, or a JSON object.
void print_record(std::ostream& os, const table& t, format f);

/// A CSV field, quoted when it has to be (a comma, quote or line break in
/// it, or a blank at either end).
std::string csv_field(const std::string& s);
/// A CSV record of `fields`, without its line break; never an empty line.
std::string csv_line(const std::vector<std::string>& fields);

}  // namespace torqa::cli
