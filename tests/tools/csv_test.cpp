// Reading CSV records: quoting, line ends, and recovery from malformed records.
#include "csv.h"

#include <gtest/gtest.h>

#include <sstream>

namespace torqa::cli {
namespace {

std::vector<csv_record> read_csv(const std::string& text, std::size_t max_record = 1 << 20) {
  std::istringstream in(text);
  csv_reader r(in, max_record);
  std::vector<csv_record> out;
  csv_record rec;
  while (r.next(rec)) out.push_back(rec);
  return out;
}

TEST(cli_csv_reader, quoting_line_ends_and_blank_lines) {
  const auto recs = read_csv("\xEF\xBB\xBFName,Note\r\n\r\nAnn,\"a, \"\"b\"\"\nc\"\n  \nBob,\n,\"\"");
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(recs[0].fields, (std::vector<std::string>{"Name", "Note"}));
  EXPECT_EQ(recs[0].line, 1);
  EXPECT_EQ(recs[1].fields, (std::vector<std::string>{"Ann", "a, \"b\"\nc"}));
  EXPECT_EQ(recs[1].line, 3);
  EXPECT_EQ(recs[2].fields, (std::vector<std::string>{"Bob", ""}));
  EXPECT_EQ(recs[2].line, 6);  // the quoted line break counts as a line
  EXPECT_EQ(recs[3].fields, (std::vector<std::string>{"", ""}));
  for (const auto& r : recs) EXPECT_EQ(r.error, "");
}

TEST(cli_csv_reader, a_malformed_record_costs_its_first_line_only) {
  const auto recs = read_csv(
      "a,b\n"
      "x\"y,1\n"          // quote inside an unquoted field
      "\"x\"y,2\n"        // text after the closing quote
      "ok,3\n"
      "\"never closed,4\n"
      "after,5\n");
  ASSERT_EQ(recs.size(), 6u);
  EXPECT_EQ(recs[1].error, "quote inside an unquoted field");
  EXPECT_EQ(recs[1].line, 2);
  EXPECT_EQ(recs[2].error, "text after a closing quote");
  EXPECT_EQ(recs[3].fields, (std::vector<std::string>{"ok", "3"}));
  EXPECT_EQ(recs[3].line, 4);
  EXPECT_EQ(recs[4].error, "quoted field not closed");
  EXPECT_EQ(recs[4].line, 5);
  // Reading resumes on the next line: the rows after the bad quote survive.
  EXPECT_EQ(recs[5].fields, (std::vector<std::string>{"after", "5"}));
  EXPECT_EQ(recs[5].line, 6);
}

TEST(cli_csv_reader, records_across_read_pieces_and_records_too_long) {
  // Fields that straddle the reader's 64 KiB pieces, a quote pair split
  // between two pieces, and a record longer than the limit.
  const std::string big(70000, 'x');
  const std::size_t pad = 2 * 65536 - 1 - (4 + big.size() + 3);  // the "" pair at bytes 131071 and 131072
  std::string text = "a,b\n" + big + ",\"q" + std::string(pad, 'y') + "\"\"z\"\n";
  text += "\"" + std::string(3000, 'w') + "\n,1\n";  // never closed within the limit
  text += "end," + big.substr(0, 10);                      // no line end at the end
  const auto recs = read_csv(text, 2000);
  ASSERT_EQ(recs.size(), 5u);
  EXPECT_EQ(recs[1].error, "record too long");  // the long unquoted field
  EXPECT_EQ(recs[1].line, 2);
  EXPECT_EQ(recs[2].error, "record too long (a quote not closed?)");
  EXPECT_EQ(recs[2].line, 3);
  EXPECT_EQ(recs[3].fields, (std::vector<std::string>{"", "1"}));
  EXPECT_EQ(recs[4].fields, (std::vector<std::string>{"end", big.substr(0, 10)}));
  EXPECT_EQ(recs[4].line, 5);

  const auto whole = read_csv(text.substr(0, text.find("\"w")));
  ASSERT_EQ(whole.size(), 2u);
  ASSERT_EQ(whole[1].fields.size(), 2u);
  EXPECT_EQ(whole[1].fields[0], big);
  EXPECT_EQ(whole[1].fields[1].substr(whole[1].fields[1].size() - 3), "y\"z");
}

}  // namespace
}  // namespace torqa::cli
