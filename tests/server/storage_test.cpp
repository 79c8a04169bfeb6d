#include "test_util.h"

#include "server/errors.h"
#include "server/storage.h"

#include <sqlite3.h>

namespace torqa::server {
namespace {

const char* const schema_text =
    "class T.Thing\n"
    "  property S: string\n"
    "  property I: integer\n"
    "  property D: double\n"
    "  property B: boolean\n"
    "  property Bin: binary\n"
    "  property L: list\n"
    "  property Day: date\n"
    "  property Clock: time\n"
    "  property Stamp: timestamp\n"
    "  property Other: T.Thing\n"
    "  property Words: list of string\n"
    "  property Marks: array of double\n"
    "  property Text: character stream\n"
    "end class\n";

class storage_test : public ::testing::Test {
 protected:
  void SetUp() override {
    schema_error err;
    sch = schema::parse(schema_text, err);
    ASSERT_NE(sch, nullptr) << err.what();
    db = std::make_unique<storage>(dir / "objects.db");
    db->ensure_tables(*sch);
    thing = sch->find_class("T.Thing");
  }

  std::string scalar(const std::string& sql) {
    statement st = db->prepare(sql);
    if (!st.step()) return "<no row>";
    const auto* t = sqlite3_column_text(st.get(), 0);
    return t ? reinterpret_cast<const char*>(t) : "<null>";
  }

  test::temp_dir dir;
  std::shared_ptr<const schema> sch;
  std::unique_ptr<storage> db;
  const class_def* thing = nullptr;
};

TEST_F(storage_test, rows_round_trip_every_type_and_show_to_sql) {
  std::vector<datum> v(thing->props.size());
  v[0] = std::string("caf\xC3\xA9");
  v[1] = std::int64_t{-42};
  v[2] = 2.5;
  v[3] = std::int64_t{1};
  v[4] = std::string("\0\x01\xFF", 3);
  v[5] = test::hex("03 04 05");
  v[6] = std::int64_t{58133};  // 2000-02-29
  v[7] = std::int64_t{3661};
  v[8] = std::string("2001-02-03 04:05:06");
  const std::int64_t row = db->insert_row(*thing);
  v[9] = row;  // refers to itself
  db->update_row(*thing, row, v);

  std::vector<datum> back;
  ASSERT_TRUE(db->load_row(*thing, row, back));
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(back[i], v[i]) << thing->props[i].name;
  for (std::size_t i = 10; i < back.size(); ++i) EXPECT_TRUE(is_null(back[i]));

  // Dates and times are ISO text to SQL; the type names describe the columns.
  EXPECT_EQ(scalar("SELECT Day || ' ' || Clock FROM T_Thing"), "2000-02-29 01:01:01");
  EXPECT_EQ(scalar("SELECT typeof(Bin) FROM T_Thing"), "blob");
  EXPECT_EQ(scalar("SELECT type FROM pragma_table_info('T_Thing') WHERE name = 'Day'"), "DATE");
  EXPECT_EQ(scalar("SELECT type FROM pragma_table_info('T_Thing') WHERE name = 'Text'"), "LONGVARCHAR");

  // A row inserted by SQL is an object.
  db->exec("INSERT INTO T_Thing(\"ID\", S, Day, Clock) VALUES(77, 'sql', '1841-01-01', '00:00:59')");
  ASSERT_TRUE(db->load_row(*thing, 77, back));
  EXPECT_EQ(back[0], datum{std::string("sql")});
  EXPECT_EQ(back[6], datum{std::int64_t{1}});
  EXPECT_EQ(back[7], datum{std::int64_t{59}});
  EXPECT_FALSE(db->load_row(*thing, 78, back));
}

TEST_F(storage_test, a_row_gone_is_written_again_under_its_id) {
  std::vector<datum> v(thing->props.size());
  v[0] = std::string("kept");
  db->update_row(*thing, 5, v);
  EXPECT_TRUE(db->row_exists(*thing, 5));
  EXPECT_TRUE(db->delete_row(*thing, 5));
  EXPECT_FALSE(db->delete_row(*thing, 5));
  EXPECT_FALSE(db->row_exists(*thing, 5));
}

TEST_F(storage_test, collections_and_streams) {
  const property& words = *thing->find_property("Words");
  const property& marks = *thing->find_property("Marks");
  const property& text = *thing->find_property("Text");
  const std::int64_t row = db->insert_row(*thing);
  db->save_collection(words, row, {{std::int64_t{1}, std::string("b")}, {std::int64_t{2}, std::string("a")}});
  db->save_collection(marks, row, {{std::string("k2"), 2.0}, {std::string("k1"), 1.0}});
  const auto w = db->load_collection(words, row);
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].second, datum{std::string("b")});
  const auto m = db->load_collection(marks, row);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].first, datum{std::string("k1")});  // in key order
  EXPECT_EQ(m[0].second, datum{1.0});
  db->save_collection(words, row, {});
  EXPECT_TRUE(db->load_collection(words, row).empty());

  const std::string big(100000, 'z');
  db->save_stream(*thing, text, row, big);
  EXPECT_EQ(db->load_stream(*thing, text, row), big);
  db->delete_row(*thing, row);
  EXPECT_TRUE(db->load_collection(marks, row).empty());
}

TEST_F(storage_test, users_settings_and_schema_growth) {
  db->set_user("ann", "secret", true);
  EXPECT_TRUE(db->check_user("ann", "secret"));
  EXPECT_FALSE(db->check_user("ann", "Secret"));
  EXPECT_FALSE(db->check_user("bob", "secret"));
  EXPECT_EQ(scalar("SELECT substr(hash, 1, 10) FROM torqa_users"), "$argon2id$");

  EXPECT_EQ(db->setting("unicode"), std::nullopt);
  db->set_setting("unicode", "1");
  EXPECT_EQ(db->setting("unicode"), "1");

  // A property added to the schema becomes a new column.
  schema_error err;
  const auto grown = schema::parse(std::string(schema_text).insert(14, "  property New: integer\n"), err);
  ASSERT_NE(grown, nullptr) << err.what();
  db->ensure_tables(*grown);
  EXPECT_EQ(scalar("SELECT type FROM pragma_table_info('T_Thing') WHERE name = 'New'"), "INTEGER");
  EXPECT_THROW(db->exec("SELECT * FROM nowhere"), server_error);
}

TEST(values, day_numbers_and_clock_text) {
  std::int64_t n = 0;
  ASSERT_TRUE(day_number(1841, 1, 1, n));
  EXPECT_EQ(n, 1);
  ASSERT_TRUE(day_number(2000, 2, 29, n));
  EXPECT_EQ(n, 58133);
  EXPECT_FALSE(day_number(2001, 2, 29, n));
  EXPECT_FALSE(day_number(10000, 1, 1, n));
  EXPECT_EQ(format_date(0), "1840-12-31");
  EXPECT_EQ(format_date(-657434), "0041-01-02");
  EXPECT_EQ(format_date(2958465), "9941-01-01");
  EXPECT_EQ(format_date(2958466), "");
  EXPECT_EQ(parse_date("2000-02-29"), 58133);
  EXPECT_EQ(parse_date("2000-2-29"), std::nullopt);
  EXPECT_EQ(parse_time("23:59:59"), 86399);
  EXPECT_EQ(parse_time("24:00:00"), std::nullopt);
  EXPECT_EQ(format_time(3661), "01:01:01");

  const auto decoded = [](const char* bytes, data_type t) {
    test::owned r(test::hex(bytes));
    element e;
    EXPECT_TRUE(r.next(e));
    return from_element(e, t);
  };
  EXPECT_EQ(decoded("05 01 31 3A 30", data_type::time), std::nullopt);  // "1:0" is no time
  EXPECT_EQ(decoded("05 04 80 51 01", data_type::time), std::nullopt);  // 86400 s: past midnight
  EXPECT_EQ(decoded("05 04 7F 51 01", data_type::time), datum{std::int64_t{86399}});
  EXPECT_EQ(decoded("04 04 15 E3", data_type::date), datum{std::int64_t{58133}});
  EXPECT_EQ(decoded("0C 01 32 30 30 30 2D 30 32 2D 32 39", data_type::date), datum{std::int64_t{58133}});
  EXPECT_EQ(decoded("02 01", data_type::string), datum{});
}

}  // namespace
}  // namespace torqa::server
