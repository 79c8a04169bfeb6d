// Reading CSV records: quoting, line ends, and recovery from malformed records.
#include "csv.h"

#include <gtest/gtest.h>

#include <sstream>

namespace torqa::cli {
namespace {

// Each record read as "<line>: <fields joined by |>" or "<line>! <error>".
std::vector<std::string> read_csv(const std::string& text, std::size_t max_record = 1 << 20) {
  std::istringstream in(text);
  csv_reader r(in, max_record);
  std::vector<std::string> out;
  for (csv_record rec; r.next(rec);) {
    std::string fields;
    for (std::size_t i = 0; i < rec.fields.size(); ++i) fields += (i == 0 ? "" : "|") + rec.fields[i];
    out.push_back(std::to_string(rec.line) + (rec.error.empty() ? ": " + fields : "! " + rec.error));
  }
  return out;
}

using v = std::vector<std::string>;

TEST(cli_csv_reader, quoting_line_ends_and_blank_lines) {
  // A quoted line break counts as a line.
  EXPECT_EQ(read_csv("\xEF\xBB\xBFName,Note\r\n\r\nAnn,\"a, \"\"b\"\"\nc\"\n  \nBob,\n,\"\""),
            (v{"1: Name|Note", "3: Ann|a, \"b\"\nc", "6: Bob|", "7: |"}));
}

TEST(cli_csv_reader, a_malformed_record_costs_its_first_line_only) {
  const std::string text = "a,b\n"
                           "x\"y,1\n"      // quote inside an unquoted field
                           "\"x\"y,2\n"    // text after the closing quote
                           "ok,3\n"
                           "\"never closed,4\n"
                           "after,5\n";  // reading resumes on the next line
  EXPECT_EQ(read_csv(text), (v{"1: a|b", "2! quote inside an unquoted field", "3! text after a closing quote", "4: ok|3",
                               "5! quoted field not closed", "6: after|5"}));
}

TEST(cli_csv_reader, records_across_read_pieces_and_records_too_long) {
  // Fields that straddle the reader's 64 KiB pieces, a quote pair split
  // between two pieces, and a record longer than the limit.
  const std::string big(70000, 'x');
  const std::size_t pad = 2 * 65536 - 1 - (4 + big.size() + 3);  // the "" pair at bytes 131071 and 131072
  const std::string whole = "a,b\n" + big + ",\"q" + std::string(pad, 'y') + "\"\"z\"\n";
  const std::string text = whole + "\"" + std::string(3000, 'w') + "\n,1\n"  // never closed within the limit
                           + "end," + big.substr(0, 10);                      // no line end at the end
  EXPECT_EQ(read_csv(text, 2000), (v{"1: a|b", "2! record too long", "3! record too long (a quote not closed?)",
                                     "4: |1", "5: end|" + big.substr(0, 10)}));
  EXPECT_EQ(read_csv(whole), (v{"1: a|b", "2: " + big + "|q" + std::string(pad, 'y') + "\"z"}));
}

}  // namespace
}  // namespace torqa::cli
