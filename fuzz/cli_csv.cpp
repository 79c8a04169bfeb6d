// CSV files given to `torqa import`.
//
// Input: one byte giving the longest record (high bit set: the default, else
// 1 to 128 bytes), then the text. Every record read from it: reading ends,
// moves forward, numbers lines in order and stays inside the text. The
// fields of the good records written back with the tool's own CSV quoting
// read back as the same fields.
#include "check.h"
#include "csv.h"
#include "output.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using namespace torqa::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  std::istringstream text(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  csv_reader reader = (data[0] & 0x80) ? csv_reader(text) : csv_reader(text, (data[0] & 0x7F) + 1u);
  csv_record rec;
  std::vector<std::vector<std::string>> good;
  std::string written = "\n";  // so that a field starting with a byte order mark is not at the start
  int line = 0;
  std::size_t consumed = 0;
  for (std::size_t n = 0; reader.next(rec); ++n) {
    fuzz::check(n < size, "more records than bytes");
    fuzz::check(reader.consumed() > consumed && reader.consumed() < size, "reading does not move forward");
    fuzz::check(rec.line > line, "lines out of order");
    consumed = reader.consumed();
    line = rec.line;
    if (!rec.error.empty()) continue;
    fuzz::check(!rec.fields.empty(), "a record without fields");
    written += csv_line(rec.fields) + "\n";
    good.push_back(rec.fields);
  }
  std::istringstream written_text(written);
  csv_reader again(written_text);
  for (const auto& fields : good) {
    fuzz::check(again.next(rec) && rec.error.empty(), "a written record does not read back");
    fuzz::check(rec.fields == fields, "written fields read back differently");
  }
  fuzz::check(!again.next(rec), "more records read back than written");
  return 0;
}
