#include "server/schema/schema.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace torqa::server {
namespace {

std::string sample_text() {
  std::ifstream in(TORQA_SAMPLE_SCHEMA);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::shared_ptr<const schema> parse(const std::string& text, schema_error* err = nullptr) {
  schema_error e;
  auto s = schema::parse(text, e);
  if (err != nullptr) *err = e;
  return s;
}

// The sample schema is exercised end to end (its slots by the cached
// sessions' sections); here: what it does not show.
TEST(schema_parse, sample_parses_and_names_ignore_case) {
  schema_error err;
  const auto s = parse(sample_text(), &err);
  ASSERT_NE(s, nullptr) << err.what();
  const class_def* person = s->find_class("sample.PERSON");
  ASSERT_NE(person, nullptr);
  EXPECT_EQ(person->by_slot(0), person->find_property("name"));
  EXPECT_EQ(person->by_slot(11), nullptr);
  EXPECT_EQ(person->find_property("Greeting")->slot, -1);
  EXPECT_EQ(person->find_property("Tags")->slot, -2);
  EXPECT_EQ(s->find_class("%ArrayOfObjects")->find_method("InsertAt"), nullptr);
}

TEST(schema_parse, errors_name_the_line) {
  const struct {
    const char* text;
    int line;
    const char* words;
  } cases[] = {
      {"class A.B\n  property X: strin\nend class\n", 2, "unknown type"},
      {"class A.B\n  property X: string\n", 2, "no 'end class'"},
      {"class A.B\n  method M(): string\n    return 1\n", 3, "missing 'end method'"},
      {"class AB\nend class\n", 1, "bad class name"},
      {"class A.B\n  frobnicate\nend class\n", 2, "expected"},
      {"class A.B\n  query Q(a: integer)\n    SELECT 1\n  end query\nend class\n", 4, "markers"},
      {"class A.B\n  method M(output self: integer)\n  end method\nend class\n", 2, "bad argument name"},
      {"class A.B\n  property S: status\nend class\n", 2, "only a method result"},
  };
  for (const auto& c : cases) {
    schema_error err;
    EXPECT_EQ(parse(c.text, &err), nullptr) << c.text;
    EXPECT_EQ(err.line, c.line) << c.text;
    EXPECT_NE(err.what().find(c.words), std::string::npos) << err.what();
  }
}

TEST(schema_parse, whole_schema_checks) {
  const char* bad[] = {
      "class A.B\n  property X: string\n  property x: integer\nend class\n",  // names ignore case
      "class A.B\n  property Id: string\nend class\n",                        // the row id column
      "class A.B\n  property R: A.C\nend class\n",                            // unknown class
      "class A.B\n  property R: %ListOfDataTypes\nend class\n",               // not persistent
      "class A.B\nend class\nclass a.b\nend class\n",                         // twice
      "class A.B\n  method OnNew(n: integer)\n  end method\nend class\n",      // OnNew takes a string
      "class A.B\n  class method OnNew(s: string)\n  end method\nend class\n", // ... as an instance method
  };
  for (const char* text : bad) EXPECT_EQ(parse(text), nullptr) << text;

  const auto empty = parse("# nothing yet\n");
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(empty->find_class("%ListOfObjects"), nullptr);
  EXPECT_EQ(empty->find_class("Sample.Person"), nullptr);
}

}  // namespace
}  // namespace torqa::server
