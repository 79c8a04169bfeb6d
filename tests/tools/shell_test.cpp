// Completion in the shell, by the position of the word being typed.
#include "cli.h"

#include <gtest/gtest.h>

#include <map>

namespace torqa::cli {
namespace {

class fake_catalog : public catalog {
 public:
  std::vector<std::string> classes() override { return {"Sample.Person", "Sample.Address"}; }
  std::vector<std::string> members(const std::string& cls, kind k) override {
    if (cls != "Sample.Person") return {};
    static const std::map<kind, std::vector<std::string>> names = {
        {kind::settable, {"Name=", "Age="}},      {kind::property, {"Name", "Age", "Notes", "Greeting"}},
        {kind::stream, {"Notes", "Picture"}},     {kind::method, {"Describe", "Divide", "%Save"}},
        {kind::query, {"ByName", "Older"}},
    };
    return names.at(k);
  }
};

TEST(cli_shell, completion_by_position) {
  fake_catalog names;
  using v = std::vector<std::string>;
  EXPECT_EQ(shell_completions({}, "de", names), (v{"describe"}));
  EXPECT_EQ(shell_completions({"show"}, "sample.p", names), (v{"Sample.Person"}));
  EXPECT_EQ(shell_completions({"create", "Sample.Person", "Name=x"}, "a", names), (v{"Age="}));
  EXPECT_EQ(shell_completions({"set", "Sample.Person"}, "", names), v{});  // the id
  EXPECT_EQ(shell_completions({"show", "Sample.Person", "1"}, "G", names), (v{"Greeting"}));
  EXPECT_EQ(shell_completions({"elements", "Sample.Person", "1"}, "G", names), (v{"Greeting"}));
  EXPECT_EQ(shell_completions({"elements", "Sample.Person", "1", "Tags"}, "", names), v{});  // a change
  EXPECT_EQ(shell_completions({"call", "--id", "1", "Sample.Person"}, "D", names), (v{"Describe", "Divide"}));
  EXPECT_EQ(shell_completions({"query", "Sample.Person"}, "", names), (v{"ByName", "Older"}));
  EXPECT_EQ(shell_completions({"read", "Sample.Person", "1"}, "p", names), (v{"Picture"}));
  EXPECT_EQ(shell_completions({"sql"}, "S", names), v{});
  EXPECT_EQ(shell_completions({"help"}, "qu", names), (v{"query"}));
  EXPECT_EQ(shell_completions({"nonsense"}, "", names), v{});
}

}  // namespace
}  // namespace torqa::cli
