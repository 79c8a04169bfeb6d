// Reading CSV text (RFC 4180: comma-separated fields, double quotes around
// fields that hold commas, quotes or line breaks, "" for a quote).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace torqa::cli {

struct csv_record {
  std::vector<std::string> fields;
  int line = 0;       ///< line on which the record starts, from 1
  std::string error;  ///< why the record is malformed; empty when it is not
};

/// Reads records one at a time from text held by the caller. Lines ending
/// in "\n" or "\r\n" and blank lines between records are accepted; a UTF-8
/// byte order mark at the start is skipped. A malformed record (a quote
/// inside an unquoted field, text after a closing quote, a quoted field
/// never closed) comes back with `error` set, and reading resumes on the
/// line after the one it started on, so that one bad quote costs one line.
class csv_reader {
 public:
  explicit csv_reader(std::string_view text);

  /// The next record; false at the end of the text.
  bool next(csv_record& rec);
  /// Bytes of the text read so far.
  std::size_t consumed() const { return at_; }

 private:
  bool blank_line() const;
  std::size_t line_end(std::size_t from) const;

  std::string_view s_;
  std::size_t at_ = 0;
  int line_ = 1;
};

}  // namespace torqa::cli
