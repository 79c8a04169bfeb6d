#include "server/schema.h"

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

TEST(schema_parse, sample_classes_properties_and_slots) {
  schema_error err;
  const auto s = parse(sample_text(), &err);
  ASSERT_NE(s, nullptr) << err.what();
  const class_def* person = s->find_class("sample.PERSON");
  ASSERT_NE(person, nullptr);
  EXPECT_EQ(person->table, "Sample_Person");

  const property* name = person->find_property("name");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->slot, 0);
  EXPECT_EQ(name->column, "Name");
  EXPECT_EQ(name->type.type, data_type::string);

  const property* spouse = person->find_property("Spouse");
  EXPECT_EQ(spouse->kind, prop_kind::reference);
  EXPECT_EQ(spouse->type.cls, "Sample.Person");
  EXPECT_EQ(spouse->slot, 10);  // the eleventh stored property

  const property* tags = person->find_property("Tags");
  EXPECT_EQ(tags->kind, prop_kind::collection);
  EXPECT_EQ(tags->slot, -2);
  EXPECT_EQ(tags->table, "Sample_Person_Tags");
  EXPECT_EQ(tags->object_class(), list_of_data_types);
  EXPECT_EQ(person->find_property("Friends")->object_class(), list_of_objects);
  EXPECT_EQ(person->find_property("Scores")->object_class(), array_of_data_types);
  EXPECT_EQ(person->find_property("Notes")->object_class(), char_stream_class);
  EXPECT_EQ(person->find_property("Picture")->object_class(), binary_stream_class);

  const property* greeting = person->find_property("Greeting");
  EXPECT_EQ(greeting->kind, prop_kind::calculated);
  EXPECT_EQ(greeting->slot, -1);
  EXPECT_NE(greeting->body.find("Hello"), std::string::npos);
  EXPECT_EQ(person->by_slot(0), name);
  EXPECT_EQ(person->by_slot(11), nullptr);
}

TEST(schema_parse, methods_queries_and_builtins) {
  const auto s = parse(sample_text());
  ASSERT_NE(s, nullptr);
  const class_def* person = s->find_class("Sample.Person");
  const method* describe = person->find_method("Describe");
  ASSERT_NE(describe, nullptr);
  EXPECT_FALSE(describe->class_method);
  ASSERT_EQ(describe->args.size(), 2u);
  EXPECT_TRUE(describe->args[1].output);
  EXPECT_EQ(describe->result.type, data_type::string);
  EXPECT_EQ(person->find_method("Grow")->result.type, data_type::none);
  EXPECT_TRUE(person->find_method("Make")->class_method);
  EXPECT_EQ(person->find_method("Make")->result, (value_type{data_type::object, "Sample.Person"}));

  for (const char* builtin : {"%New", "%Save", "%Id", "%Oid", "%DeleteId", "%OpenId"})
    EXPECT_NE(person->find_method(builtin), nullptr) << builtin;
  EXPECT_EQ(person->find_method("%New")->builtin, builtin_method::new_);

  const query* by_name = person->find_query("ByName");
  ASSERT_NE(by_name, nullptr);
  EXPECT_EQ(by_name->sql_name, "Sample_Person_ByName");
  EXPECT_EQ(by_name->params.size(), 1u);
  const class_def* owner = nullptr;
  EXPECT_EQ(s->find_procedure("sample_person_older", &owner), person->find_query("Older"));
  EXPECT_EQ(owner, person);

  const class_def* list = s->find_class("%ListOfDataTypes");
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->is_collection());
  for (const char* m : {"GetAt", "SetAt", "InsertAt", "RemoveAt", "GetNext", "GetPrevious", "Insert", "Remove", "Count"})
    EXPECT_NE(list->find_method(m), nullptr) << m;
  EXPECT_EQ(s->find_class("%ArrayOfObjects")->find_method("InsertAt"), nullptr);
  const class_def* stream = s->find_class("%Library.GlobalCharacterStream");
  ASSERT_NE(stream, nullptr);
  EXPECT_TRUE(stream->find_method("Read")->args[0].output);
  EXPECT_NE(stream->find_method("SizeGet"), nullptr);
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
      "class A.B\n  property Id: string\nend class\n",                      // the row id column
      "class A.B\n  property R: A.C\nend class\n",                          // unknown class
      "class A.B\n  property R: %ListOfDataTypes\nend class\n",             // not persistent
      "class A.B\nend class\nclass a.b\nend class\n",                       // twice
  };
  for (const char* text : bad) EXPECT_EQ(parse(text), nullptr) << text;

  const auto empty = parse("# nothing yet\n");
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(empty->find_class("%ListOfObjects"), nullptr);
  EXPECT_EQ(empty->find_class("Sample.Person"), nullptr);
}

}  // namespace
}  // namespace torqa::server
