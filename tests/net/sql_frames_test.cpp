// The SQL frames' bodies: the worked example of server/PROTOCOL.md byte for
// byte, and every cut or corruption of them refused.
#include "server/net/sql_frames.h"

#include <gtest/gtest.h>

#include <functional>

namespace torqa::net {
namespace {

using server::sql_kind;
using server::sql_value;

std::string hex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 3)
    out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
  return out;
}

std::string body_of(const std::string& framed) { return framed.substr(frame_header); }

TEST(sql_frames, the_worked_example_round_trips) {
  const std::string described =
      hex("00 00 00 23 64 00 00 00 01 00 00 00 00 00 02 00 00 00 04 4E 61 6D 65 02 01 00 00 00 03 41 67 65 00 01 00 00 "
          "00 01 00 ");
  sql_description d;
  ASSERT_TRUE(read_description(body_of(described), d));
  EXPECT_TRUE(d.statement == 1 && d.form == server::sql_statement::form::plain && !d.unicode);
  ASSERT_EQ(d.columns.size(), 2u);
  EXPECT_TRUE(d.columns[1].name == "Age" && d.columns[1].kind == sql_kind::integer && d.columns[1].nullable == 1);
  ASSERT_EQ(d.params.size(), 1u);
  EXPECT_EQ(d.params[0], sql_kind::integer);
  EXPECT_EQ(make_frame(frame_type::described, description_body(d)), described);

  const std::string execute = hex("00 00 00 12 45 00 00 00 01 00 00 00 01 01 00 00 00 00 00 00 00 1E ");
  EXPECT_EQ(make_frame(frame_type::execute, execute_body(1, {sql_value{sql_value::integer, 30, 0, {}}})), execute);
  std::uint32_t id = 0;
  std::vector<sql_value> params;
  ASSERT_TRUE(read_execute(body_of(execute), id, params));
  EXPECT_TRUE(id == 1 && params.size() == 1 && params[0].type == sql_value::integer && params[0].i == 30);

  const std::string executed = hex(
      "00 00 00 30 79 00 00 00 00 00 00 00 00 00 00 00 02 01 03 00 00 00 03 41 6E 6E 01 00 00 00 00 00 00 00 28 03 00 "
      "00 00 03 42 6F 62 01 00 00 00 00 00 00 00 23 ");
  std::string body;
  put_u64(body, 0);
  batch_writer w(body);
  for (const auto& [name, age] : {std::pair{"Ann", 40}, {"Bob", 35}}) {
    put_value(w.body(), {sql_value::text, 0, 0, name});
    put_value(w.body(), {sql_value::integer, age, 0, {}});
    w.row_done();
  }
  w.finish(batch_end::done);
  EXPECT_EQ(make_frame(frame_type::executed, body), executed);

  batch_reader r;
  const std::string rows = body_of(executed).substr(8);
  ASSERT_TRUE(r.start(rows, 2));
  std::vector<sql_value> row;
  std::string seen;
  while (r.next(row) == batch_reader::step::row) seen += std::string(row[0].bytes) + std::to_string(row[1].i) + ";";
  EXPECT_EQ(seen, "Ann40;Bob35;");
  EXPECT_EQ(r.end, batch_end::done);

  const std::string failed =
      hex("00 00 00 19 62 00 00 00 00 02 FF FF FC 0E 00 00 00 0B 69 6E 74 65 72 72 75 70 74 65 64 ");
  const std::string failure = body_of(failed);
  ASSERT_TRUE(r.start(failure, 2));
  EXPECT_EQ(r.next(row), batch_reader::step::end);
  EXPECT_TRUE(r.end == batch_end::failed && r.code == -1010 && r.message == "interrupted");
}

TEST(sql_frames, cut_or_corrupt_bodies_are_refused) {
  const std::string description = description_body({7,
                                                    server::sql_statement::form::call,
                                                    true,
                                                    {{"When", sql_kind::timestamp, 0}},
                                                    {std::nullopt, sql_kind::binary}});
  std::string batch;
  batch_writer w(batch);
  for (const sql_value& v :
       {sql_value{}, sql_value{sql_value::real, 0, -2.5, {}}, sql_value{sql_value::blob, 0, 0, "\x01"}})
    put_value(w.body(), v);
  w.row_done();
  w.finish(batch_end::failed, -1, "x");
  const std::string tables = tables_body({{"T", {{"C", "INTEGER", true}}}, {"U", {}}});

  sql_description d;
  std::uint32_t id = 0;
  std::vector<sql_value> params, row;
  std::vector<sql_table> t;
  const auto whole_batch = [&](std::string_view b) {
    batch_reader r;
    if (!r.start(b, 3)) return false;
    while (true) switch (r.next(row)) {
        case batch_reader::step::row:
          continue;
        case batch_reader::step::end:
          return true;
        case batch_reader::step::malformed:
          return false;
      }
  };
  const std::string execute = execute_body(3, {sql_value{}, sql_value{sql_value::text, 0, 0, "ab"}});
  ASSERT_TRUE(read_description(description, d) && read_execute(execute, id, params) && whole_batch(batch) &&
              read_tables(tables, t));
  EXPECT_TRUE(d.form == server::sql_statement::form::call && d.unicode && !d.params[0] &&
              d.params[1] == sql_kind::binary);
  EXPECT_TRUE(t.size() == 2 && t[0].columns[0].not_null && t[0].columns[0].type == "INTEGER");
  // Every cut is refused, and so is a byte more.
  const std::pair<const std::string*, std::function<bool(std::string_view)>> readers[] = {
      {&description, [&](std::string_view b) { return read_description(b, d); }},
      {&execute, [&](std::string_view b) { return read_execute(b, id, params); }},
      {&batch, whole_batch},
      {&tables, [&](std::string_view b) { return read_tables(b, t); }}};
  for (const auto& [s, read] : readers)
    for (std::size_t n = 0; n <= s->size(); ++n)
      EXPECT_FALSE(read(s->substr(0, n) + (n == s->size() ? std::string(1, '\0') : ""))) << n << " of " << s->size();
  // Out-of-range kinds, tags, ends; a row count the bytes cannot hold.
  for (const auto& [at, byte] : {std::pair{4, 4}, {6, 2}}) {  // form, unicode flag
    std::string bad = description;
    bad[at] = static_cast<char>(byte);
    EXPECT_FALSE(read_description(bad, d)) << at;
  }
  EXPECT_FALSE(read_description(description.substr(0, description.size() - 1) + "\x09", d));
  EXPECT_FALSE(whole_batch(std::string("\0\0\0\1\1\5", 6)));
  EXPECT_FALSE(whole_batch(std::string("\0\0\0\0\3", 5)));
  EXPECT_FALSE(whole_batch(std::string("\xFF\xFF\xFF\xFF\1\0\0\0", 8)));
  batch_reader r;
  EXPECT_FALSE(r.start(std::string("\0\0\0\1\1\0", 6), 0));
}

}  // namespace
}  // namespace torqa::net
