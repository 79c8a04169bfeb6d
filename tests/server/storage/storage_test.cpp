#include "server/test_util.h"

#include "server/errors.h"
#include "server/storage/storage.h"

namespace torqa::server {
namespace {

// Rows, collections and streams are exercised end to end; here: what the
// binding cannot see.
const char* const schema_text =
    "class T.Thing\n  property S: string\n  property N: character stream\n  property B: binary stream\nend class\n";

class storage_test : public ::testing::Test {
 protected:
  void SetUp() override {
    schema_error err;
    sch = schema::parse(schema_text, err);
    ASSERT_NE(sch, nullptr) << err.what();
    db = std::make_unique<storage>(dir / "objects.db");
    db->ensure_tables(*sch);
  }
  std::string scalar(const std::string& sql) { return test::scalar(*db, sql); }

  test::temp_dir dir;
  std::shared_ptr<const schema> sch;
  std::unique_ptr<storage> db;
};

TEST_F(storage_test, users_and_schema_growth) {
  // Refused logins are seen end to end; passwords are stored hashed.
  db->set_user("ann", "secret", true);
  EXPECT_TRUE(db->check_user("ann", "secret"));
  EXPECT_EQ(scalar("SELECT substr(hash, 1, 10) FROM torqa_users"), "$argon2id$");

  // A property added to the schema becomes a new column.
  schema_error err;
  const auto grown = schema::parse(std::string(schema_text).insert(14, "  property New: integer\n"), err);
  ASSERT_NE(grown, nullptr) << err.what();
  db->ensure_tables(*grown);
  EXPECT_EQ(scalar("SELECT type FROM pragma_table_info('T_Thing') WHERE name = 'New'"), "INTEGER");
  EXPECT_THROW(db->exec("SELECT * FROM nowhere"), server_error);
}

TEST_F(storage_test, streams_in_the_column_and_in_chunks) {
  db->set_stream_sizes(8, 4);
  const class_def& c = *sch->find_class("T.Thing");
  const property& text = *c.find_property("N");
  const property& bytes = *c.find_property("B");
  std::int64_t row = db->insert_row(c);
  const auto save = [&](const property& p, const std::string& content) {
    const auto size = static_cast<std::int64_t>(content.size());
    db->save_stream(c, p, row, size, size, [&](std::int64_t at, std::size_t n) {
      return content.substr(static_cast<std::size_t>(at), n);
    });
  };
  const auto load = [&](const property& p) {
    std::string all;
    const stored_stream s = db->load_stream(c, p, row, [&](std::string_view piece) { all += piece; });
    for (std::int64_t n = 0; static_cast<std::int64_t>(all.size()) < s.size; ++n) all += db->stream_chunk(s.id, n);
    return (s.id != 0 ? "chunks:" : "column:") + all;
  };
  const std::string marker_like("\0stream:1", 9);
  const std::pair<const property*, std::string> saves[] = {
      {&text, "abc"},                   // short content stays in the column
      {&text, "0123456789abcdefghij"},  // longer content goes into chunks
      {&bytes, marker_like},            // bytes that look like a marker are not taken for one
      {&bytes, ""}};
  for (const auto& [p, content] : saves) {
    save(*p, content);
    EXPECT_EQ(load(*p), (content.size() > 4 ? "chunks:" : "column:") + content) << content;
  }
  // A stream replaced is gone: only the text's chunks are left.
  EXPECT_EQ(scalar("SELECT count(*) || '/' || sum(length(data)) FROM torqa_stream_chunks"), "3/20");

  // What SQL writes into the column, however long, is the content.
  db->exec("UPDATE T_Thing SET N = 'written by SQL, longer than a chunk', B = 42");
  EXPECT_EQ(load(text) + "|" + load(bytes), "column:written by SQL, longer than a chunk|column:42");
  // A deleted row takes its streams along (the one SQL overwrote too):
  // deleted by the object side, by SQL, or (rows SQL deletes all at once are
  // not reported) when the namespace is next opened.
  const auto stored = [&] {
    return scalar("SELECT (SELECT count(*) FROM torqa_streams) || '/' || (SELECT count(*) FROM torqa_stream_chunks)");
  };
  save(text, "0123456789abcdefghij");
  EXPECT_EQ(stored(), "2/6");
  db->delete_row(c, row);
  EXPECT_EQ(stored(), "0/0");
  row_versions versions;
  db->track(versions);
  const std::function<void()> deletes[] = {
      [&] { db->exec("DELETE FROM T_Thing WHERE \"ID\" = " + std::to_string(row)); },
      [&] {
        db->exec("DELETE FROM T_Thing");
        db->ensure_tables(*sch);
      }};
  for (const auto& remove : deletes) {
    row = db->insert_row(c);
    save(text, "0123456789abcdefghij");
    EXPECT_EQ(stored(), "1/3");
    remove();
    EXPECT_EQ(stored(), "0/0");
  }

  for (const auto& [marker, id] : {std::pair<std::string, std::int64_t>{std::string("\0stream:12", 10), 12},
                                   {std::string("\0stream:", 8), 0},
                                   {std::string("\0stream:0", 9), 0},
                                   {std::string("\0stream:1x", 10), 0},
                                   {std::string("\0stream:99999999999999999999", 28), 0},
                                   {"stream:12", 0}})
    EXPECT_EQ(storage::stream_marker(marker), id) << marker.substr(1);
}

TEST(values, day_numbers_and_clock_text) {
  std::int64_t n = 0;
  ASSERT_TRUE(day_number(1841, 1, 1, n));
  EXPECT_EQ(n, 1);
  ASSERT_TRUE(day_number(2000, 2, 29, n));
  EXPECT_EQ(n, 58133);
  EXPECT_FALSE(day_number(2001, 2, 29, n));
  EXPECT_FALSE(day_number(10000, 1, 1, n));
  for (const auto& [day, text] : {std::pair<std::int64_t, const char*>{0, "1840-12-31"},
                                  {-657434, "0041-01-02"},
                                  {2958465, "9941-01-01"},
                                  {2958466, ""}})
    EXPECT_EQ(format_date(day), text) << day;
  EXPECT_EQ(parse_date("2000-02-29"), 58133);
  EXPECT_EQ(parse_date("2000-2-29"), std::nullopt);
  EXPECT_EQ(parse_time("23:59:59"), 86399);
  EXPECT_EQ(parse_time("24:00:00"), std::nullopt);
  EXPECT_EQ(format_time(3661), "01:01:01");

  const struct {
    const char* bytes;
    data_type type;
    std::optional<datum> value;
  } elements[] = {
      {"05 01 31 3A 30", data_type::time, std::nullopt},  // "1:0" is no time
      {"05 04 80 51 01", data_type::time, std::nullopt},  // 86400 s: past midnight
      {"05 04 7F 51 01", data_type::time, datum{std::int64_t{86399}}},
      {"04 04 15 E3", data_type::date, datum{std::int64_t{58133}}},
      {"0C 01 32 30 30 30 2D 30 32 2D 32 39", data_type::date, datum{std::int64_t{58133}}},
      {"02 01", data_type::string, datum{}},
  };
  for (const auto& e : elements) {
    test::owned r(test::hex(e.bytes));
    EXPECT_EQ(from_element(test::next(r), e.type), e.value) << e.bytes;
  }
}

}  // namespace
}  // namespace torqa::server
