// Command lines: options and words, and the words of a shell line.
#include "cli.h"

#include <gtest/gtest.h>

namespace torqa::cli {
namespace {

TEST(cli_command_line, options_words_and_errors) {
  const invocation inv =
      parse_command_line({"--format=json", "call", "-5", "--id", "3", "Sample.Person", "--", "--no-save"});
  EXPECT_EQ(inv.words, (std::vector<std::string>{"call", "-5", "Sample.Person", "--no-save"}));
  EXPECT_EQ(inv.get("format"), "json");
  EXPECT_EQ(inv.get("id"), "3");
  EXPECT_TRUE(parse_command_line({"-h"}).has("help"));
  EXPECT_EQ(parse_command_line({"-o", "f", "read"}).get("output"), "f");
  for (const auto& bad : std::vector<std::vector<std::string>>{{"--colour"}, {"--id"}, {"--append=1"}, {"-x"}})
    EXPECT_THROW(parse_command_line(bad), usage_error) << bad[0];

  EXPECT_EQ(split_words(R"(  set  "a b" 'c "d' e\ f "g\"h\\" x\y)"),
            (std::vector<std::string>{"set", "a b", "c \"d", "e f", "g\"h\\", "xy"}));
  EXPECT_EQ(split_words("\"\" ''"), (std::vector<std::string>{"", ""}));
  EXPECT_THROW(split_words("'open"), usage_error);
  EXPECT_THROW(split_words("\"open"), usage_error);
  EXPECT_THROW(split_words("end\\"), usage_error);
}

}  // namespace
}  // namespace torqa::cli
