// Reading CSV text (RFC 4180: comma-separated fields, double quotes around
// fields that hold commas, quotes or line breaks, "" for a quote).
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

namespace torqa::cli {

struct csv_record {
  std::vector<std::string> fields;
  int line = 0;       ///< line on which the record starts, from 1
  std::string error;  ///< why the record is malformed; empty when it is not
};

/// Reads records one at a time from a stream, holding only the record being
/// read (and one read-ahead piece) in memory, whatever the size of the
/// input. Lines ending in "\n" or "\r\n" and blank lines between records are
/// accepted; a UTF-8 byte order mark at the start is skipped. A malformed
/// record (a quote inside an unquoted field, text after a closing quote, a
/// quoted field never closed, a record longer than `max_record` bytes) comes
/// back with `error` set, and reading resumes on the line after the one it
/// started on, so that one bad quote costs one line.
class csv_reader {
 public:
  explicit csv_reader(std::istream& in, std::size_t max_record = std::size_t{16} << 20);

  /// The next record; false at the end of the input or when reading it
  /// failed (see failed()).
  bool next(csv_record& rec);
  /// Bytes of the input read so far.
  std::size_t consumed() const { return dropped_ + at_; }
  /// Whether the input could not be read (as opposed to ending).
  bool failed() const { return in_.bad(); }

 private:
  /// Whether the byte at `i` of the buffer is there, reading more if needed.
  bool have(std::size_t i) {
    while (i >= buf_.size())
      if (!more()) return false;
    return true;
  }
  bool more();
  bool blank_line();
  /// Moves past the line that holds `from`, dropping what it passes.
  void skip_line(std::size_t from);

  std::istream& in_;
  std::size_t max_record_;
  std::string buf_;           // input not yet consumed, from at_ on
  std::size_t at_ = 0;        // next unread byte of buf_
  std::size_t dropped_ = 0;   // bytes consumed and dropped from the front of buf_
  int line_ = 1;
};

}  // namespace torqa::cli
