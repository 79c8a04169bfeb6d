// Class names and property types read from a schema text.
#include "cli.h"

#include <gtest/gtest.h>

namespace torqa::cli {
namespace {

TEST(cli_schema, class_names_and_property_types_skip_bodies) {
  const char* schema =
      "# class Not.This\n"
      "class A.B\n"
      "  property X: string calculated\n"
      "    return \"class Not.Either\"\n"
      "  end property\n"
      "  class method M()\n"
      "class Inside.Body\n"
      "  end method\n"
      "  query Q()\n"
      "    SELECT 1\n"
      "  end query\n"
      "end class\n"
      "  class   C.D.E  \r\n"
      "  property Tags:  list of A.B \n"
      "end class\n";
  EXPECT_EQ(schema_class_names(schema), (std::vector<std::string>{"A.B", "C.D.E"}));
  // Property types by class, names without case.
  EXPECT_EQ(schema_property_type(schema, "c.d.e", "TAGS"), "list of A.B");
  EXPECT_EQ(schema_property_type(schema, "A.B", "Tags"), "");
  EXPECT_EQ(schema_property_type(schema, "A.B", "X"), "string calculated");
}

}  // namespace
}  // namespace torqa::cli
