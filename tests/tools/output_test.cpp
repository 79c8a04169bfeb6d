// Printing results as aligned tables, CSV and JSON.
#include "output.h"

#include <gtest/gtest.h>

#include <sstream>

namespace torqa::cli {
namespace {

TEST(cli_output, tables_csv_and_json) {
  table t{{"ID", "Name", "Note"},
          {{cell::num("1"), cell::str("Zo\xC3\xAB"), cell::str("a,b")},
           {cell::num("10"), cell::null(), cell::str("line\nnext \"q\"")}}};
  std::ostringstream plain, csv, json;
  print_rows(plain, t, format::table);
  print_rows(csv, t, format::csv);
  print_rows(json, t, format::json);
  EXPECT_EQ(plain.str(),
            "ID  Name  Note\n"
            "--  ----  --------------\n"
            " 1  Zo\xC3\xAB   a,b\n"
            "10        line\\nnext \"q\"\n"
            "(2 rows)\n");
  EXPECT_EQ(csv.str(), "ID,Name,Note\n1,Zo\xC3\xAB,\"a,b\"\n10,,\"line\nnext \"\"q\"\"\"\n");
  EXPECT_EQ(json.str(),
            "[\n  {\"ID\": 1, \"Name\": \"Zo\xC3\xAB\", \"Note\": \"a,b\"},\n"
            "  {\"ID\": 10, \"Name\": null, \"Note\": \"line\\nnext \\\"q\\\"\"}\n]\n");

  // A row of one empty or blank cell is a record, not a blank line.
  table one{{"Name"}, {{cell::null()}, {cell::str("\t")}, {cell::str("Bo")}}};
  std::ostringstream one_csv;
  print_rows(one_csv, one, format::csv);
  EXPECT_EQ(one_csv.str(), "Name\n\"\"\n\"\t\"\nBo\n");

  // A line whose last cells are empty ends at its last text.
  table gaps{{"Name", "Note"}, {{cell::str("Gil"), cell::null()}, {cell::null(), cell::str("x")}}};
  std::ostringstream trimmed;
  print_rows(trimmed, gaps, format::table);
  EXPECT_EQ(trimmed.str(), "Name  Note\n----  ----\nGil\n      x\n(2 rows)\n");

  table rec{{"Name", "Active"}, {{cell::str("Ann"), cell::boolean(true)}}};
  std::ostringstream vertical, object;
  print_record(vertical, rec, format::table);
  print_record(object, rec, format::json);
  EXPECT_EQ(vertical.str(), "Name    Ann\nActive  true\n");
  EXPECT_EQ(object.str(), "{\n  \"Name\": \"Ann\",\n  \"Active\": true\n}\n");
}

}  // namespace
}  // namespace torqa::cli
