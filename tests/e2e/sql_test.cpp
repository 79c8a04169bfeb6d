// SQL end to end: queries through the binding against the class tables of
// the embedded server, every parameter and column type, long values, class
// queries and their errors, and objects and rows as two views of one store.
#include "e2e_util.h"

#include <torqa/query.h>

#include <filesystem>
#include <fstream>

namespace torqa::e2e {
namespace {

constexpr const char* schema_text = R"(
class Test.Item
  property Name: string
  property Count: integer
  property Price: double
  property Flag: boolean
  property Data: binary
  property Day: date
  property At: time
  property Stamp: timestamp
  property Notes: character stream

  query All()
    SELECT "ID", Name FROM Test_Item ORDER BY "ID"
  end query
  query Range(low: integer, high: integer, skip: string)
    SELECT Name, Count FROM Test_Item WHERE Count BETWEEN ? AND ? AND Name <> ? ORDER BY Count
  end query
end class
)";

const std::string accents = "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80";

// A namespace with the test schema and one session on it.
class e2e_sql : public ::testing::TestWithParam<config> {
 protected:
  void SetUp() override {
    const std::filesystem::path root = std::filesystem::path(dir.path()).parent_path();
    const std::string schema = (root / "schema.tq").string();
    std::ofstream(schema) << schema_text;
    const config& c = GetParam();
    const std::string text = "local[fasthash=1;schema=" + schema + ";chunk=" + std::to_string(c.chunk) +
                             ";unicode=" + (c.unicode ? "1" : "0") + "]:" + dir.path();
    Db_err err;
    conn = std::make_unique<Handle<Conn_t>>(
        tcp_conn::connect(d_string(text.c_str()), d_string("torqa"), d_string("torqa"), &err));
    ASSERT_TRUE((*conn)->is_active()) << err.code << " " << err.msg;
    db = std::make_unique<Database>(*conn, c.cached);
  }

  void prepare(d_seq_query& q, const char16_t* text) { q.prepare(U(text), SQL_NTS); }

  // Runs `text` (no parameters, no rows).
  void run(const char16_t* text) {
    d_seq_query q(*db);
    prepare(q, text);
    q.execute();
  }

  // The one-column rows of a query, as 8-bit text.
  std::vector<std::string> texts(d_seq_query& q) {
    std::vector<std::string> out;
    q.execute();
    while (q.fetch()) {
      d_string s;
      q.get_data(&s, str_mb);
      out.push_back(s.mb_str());
    }
    q.close();
    return out;
  }

  namespace_dir dir;
  std::unique_ptr<Handle<Conn_t>> conn;
  std::unique_ptr<Database> db;
};

TEST_P(e2e_sql, every_parameter_and_column_type_round_trips) {
  d_seq_query ins(*db);
  prepare(ins, u"INSERT INTO Test_Item (Name, Count, Price, Flag, Data, Day, At, Stamp) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  ASSERT_EQ(ins.param_count(), 8);
  EXPECT_EQ(ins.param_info(1).sql_type, GetParam().unicode ? SQL_WVARCHAR : SQL_VARCHAR);
  EXPECT_EQ(ins.param_info(6).sql_type, SQL_TYPE_DATE);
  const std::string bytes("\0\x01\xFE\xFF", 4);
  ins.set_par(1, d_string(accents.c_str()));
  ins.set_par(2, d_int(-42));
  ins.set_par(3, d_double(1.75));
  ins.set_par(4, 1);
  ins.set_par(5, d_binary(bytes.data(), bytes.size()));
  ins.set_par(6, d_date(2000, 2, 29));
  ins.set_par(7, d_time(6, 30, 15));
  ins.set_par(8, d_timestamp(2001, 2, 3, 4, 5, 6));
  ins.execute();
  // Second row: 16-bit text, numbers as text and a double, the rest null.
  const std::u16string wide = u"\u00e9t\u00e9";
  ins.set_par(1, U(wide.c_str()), static_cast<unsigned short>(wide.size()));
  ins.set_par(2, "17", 2);
  ins.set_par(3, 2.5);
  ins.set_par(4, d_int());
  ins.set_par(5);
  ins.set_par(6, d_date());
  ins.set_par(7, d_time());
  ins.set_par(8, d_timestamp());
  ins.execute();

  d_seq_query q(*db);
  prepare(q, u"SELECT Name, Count, Price, Flag, Data, Day, At, Stamp FROM Test_Item ORDER BY \"ID\"");
  ASSERT_EQ(q.column_count(), 8);
  const SQLSMALLINT text_type = GetParam().unicode ? SQL_WVARCHAR : SQL_VARCHAR;
  const SQLSMALLINT types[] = {text_type,   SQL_INTEGER, SQL_DOUBLE, SQL_INTEGER, SQL_VARBINARY, SQL_TYPE_DATE, SQL_TYPE_TIME,
                               SQL_TYPE_TIMESTAMP};
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(q.column_info(i).sql_type, types[i - 1]) << i;
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(q.column_info(5).name), q.column_info(5).name_len),
            u"Data");

  q.execute();
  d_string name;
  d_int count, flag;
  d_double price;
  d_binary data;
  d_date day;
  d_time at;
  d_timestamp stamp;
  const auto row = [&] {
    q.get_data(&name, str_auto);
    q.get_data(&count);
    q.get_data(&price);
    q.get_data(&flag);
    q.get_data(&data);
    q.get_data(&day);
    q.get_data(&at);
    q.get_data(&stamp);
  };
  ASSERT_TRUE(q.fetch());
  row();
  EXPECT_EQ(name.kind(), GetParam().unicode ? 2 : 0);  // 16-bit columns in a 16-bit namespace
  EXPECT_EQ(name.mb_str(), accents);
  EXPECT_EQ(count.value(), -42);
  EXPECT_DOUBLE_EQ(price.value(), 1.75);
  EXPECT_EQ(flag.value(), 1);
  EXPECT_EQ(data.bytes(), bytes);
  EXPECT_EQ(std::vector<int>({day.get_tm()->tm_year, day.get_tm()->tm_mon, day.get_tm()->tm_mday}),
            std::vector<int>({100, 1, 29}));
  EXPECT_EQ(std::vector<int>({at.get_tm()->tm_hour, at.get_tm()->tm_min, at.get_tm()->tm_sec}),
            std::vector<int>({6, 30, 15}));
  EXPECT_EQ(std::vector<int>({stamp.get_tm()->tm_year, stamp.get_tm()->tm_mon, stamp.get_tm()->tm_mday,
                              stamp.get_tm()->tm_hour, stamp.get_tm()->tm_min, stamp.get_tm()->tm_sec}),
            std::vector<int>({101, 1, 3, 4, 5, 6}));
  ASSERT_TRUE(q.fetch());
  row();
  EXPECT_EQ(name.mb_str(), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(count.value(), 17);
  EXPECT_FALSE(count.is_null());
  EXPECT_DOUBLE_EQ(price.value(), 2.5);
  EXPECT_TRUE(flag.is_null());
  EXPECT_TRUE(data.is_null());
  EXPECT_TRUE(day.is_null());
  EXPECT_TRUE(at.is_null());
  EXPECT_TRUE(stamp.is_null());
  EXPECT_FALSE(q.fetch());
  EXPECT_TRUE(q.close());

  // Parameters of every type select rows.
  d_seq_query sel(*db);
  prepare(sel, u"SELECT Name FROM Test_Item WHERE Day = ? AND At = ? AND Stamp = ? AND Data = ? AND Price > ?");
  sel.set_par(1, d_date(2000, 2, 29));
  sel.set_par(2, d_time(6, 30, 15));
  sel.set_par(3, d_timestamp(2001, 2, 3, 4, 5, 6));
  sel.set_par(4, d_binary(bytes.data(), bytes.size()));
  sel.set_par(5, d_double(1.5));
  EXPECT_EQ(texts(sel), std::vector<std::string>{accents});
  sel.set_par(5, d_double(2.0));
  EXPECT_EQ(texts(sel), std::vector<std::string>{});
}

TEST_P(e2e_sql, long_text_and_binary_columns_come_in_pieces) {
  std::string text;
  while (text.size() < 40000) text += accents + " " + std::to_string(text.size()) + "\n";
  std::string bytes(60000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  d_seq_query ins(*db);
  prepare(ins, u"INSERT INTO Test_Item (Name, Data) VALUES (?, ?)");
  ins.set_par(1, d_string(text.data(), text.size()));
  ins.set_par(2, d_binary(bytes.data(), bytes.size()));
  ins.execute();

  // A character stream longer than one value, written by the object side.
  std::string notes;
  for (int i = 0; notes.size() < 100000; ++i) notes += "line " + std::to_string(i) + " " + accents + "\n";
  {
    d_ref<Dyn_obj> item = Dyn_obj::open(*db, U(u"Test.Item"), U(u"1"));
    d_ref<d_stream> s = item->get_ref<d_stream>(U(u"Notes"));
    for (std::size_t at = 0; at < notes.size(); at += 60000) {
      const std::string part = notes.substr(at, 60000);
      s->write(d_string(part.data(), part.size()));
    }
    d_status st(item->run_method_by_name(m_Save, nullptr, 0));
    ASSERT_EQ(st.get_code(), 0);
  }

  d_seq_query q(*db);
  prepare(q, u"SELECT Name, Data, Notes, Name FROM Test_Item");
  EXPECT_EQ(q.column_info(3).sql_type, GetParam().unicode ? SQL_WLONGVARCHAR : SQL_LONGVARCHAR);
  q.execute();
  ASSERT_TRUE(q.fetch());
  d_string name, long_notes, wide_name;
  d_binary data;
  q.get_data(&name, str_mb);
  q.get_data(&data);
  q.get_data(&long_notes, str_auto);
  q.get_data(&wide_name, str_uni);
  EXPECT_EQ(name.size(), text.size());
  EXPECT_TRUE(name.mb_str() == text);
  EXPECT_EQ(data.size(), bytes.size());
  EXPECT_TRUE(data.bytes() == bytes);
  EXPECT_TRUE(long_notes.mb_str() == notes);
  EXPECT_EQ(wide_name.kind(), 2);
  EXPECT_TRUE(wide_name.mb_str() == text);
  EXPECT_FALSE(q.fetch());
}

TEST_P(e2e_sql, class_queries_with_none_and_several_parameters) {
  run(u"INSERT INTO Test_Item (Name, Count) VALUES ('a', 1), ('b', 2), ('c', 3), ('d', 4)");
  d_seq_query all(*db);
  all.prepare(U(u"Test.Item"), U(u"All"));
  EXPECT_EQ(all.param_count(), 0);
  all.execute();
  std::vector<std::string> rows;
  while (all.fetch()) {
    d_int id;
    d_string name;
    all.get_data(&id);
    all.get_data(&name, str_mb);
    rows.push_back(std::to_string(id.value()) + name.mb_str());
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"1a", "2b", "3c", "4d"}));

  d_seq_query range(*db);
  range.prepare(U(u"test.item"), U(u"range"));
  ASSERT_EQ(range.param_count(), 3);
  EXPECT_EQ(range.param_info(1).sql_type, SQL_INTEGER);
  range.set_par(1, 2);
  range.set_par(2, d_int(4));
  range.set_par(3, d_string("c"));
  EXPECT_EQ(texts(range), (std::vector<std::string>{"b", "d"}));
  range.set_par(3, d_string("x"));
  EXPECT_EQ(texts(range), (std::vector<std::string>{"b", "c", "d"}));

  // The same query by name through the class definition.
  d_ref<Dyn_obj> item = Dyn_obj::open(*db, U(u"Test.Item"), U(u"2"));
  d_seq_query by_name(*db);
  item->get_query(U(u"Range"), by_name);
  by_name.set_par(1, 1);
  by_name.set_par(2, 1);
  by_name.set_par(3, d_string(""));
  EXPECT_EQ(texts(by_name), (std::vector<std::string>{"a"}));

  // Unknown classes and queries are the server's errors; the query keeps
  // its preparation.
  try {
    range.prepare(U(u"Test.Nope"), U(u"All"));
    ADD_FAILURE() << "an unknown class prepared";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1003);
    EXPECT_EQ(e.msg, "class Test.Nope does not exist");
  }
  try {
    range.prepare(U(u"Test.Item"), U(u"Nope"));
    ADD_FAILURE() << "an unknown query prepared";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1004);
    EXPECT_EQ(e.msg, "class Test.Item has no query Nope");
  }
  EXPECT_EQ(texts(range), (std::vector<std::string>{"b", "c", "d"}));
}

TEST_P(e2e_sql, malformed_sql_fetches_nothing) {
  d_seq_query q(*db);
  prepare(q, u"SELEKT Name FROM Test_Item");
  EXPECT_EQ(q.column_count(), 0);
  q.execute();
  EXPECT_FALSE(q.fetch());
  prepare(q, u"SELECT Name FROM No_Such_Table");
  q.execute();
  EXPECT_FALSE(q.fetch());
  // A failure at execution: the row id is taken.
  run(u"INSERT INTO Test_Item (\"ID\", Name) VALUES (1, 'a')");
  prepare(q, u"INSERT INTO Test_Item (\"ID\", Name) VALUES (1, 'b')");
  q.execute();
  EXPECT_FALSE(q.fetch());
  // The query is usable again.
  prepare(q, u"SELECT Name FROM Test_Item");
  EXPECT_EQ(texts(q), std::vector<std::string>{"a"});
}

TEST_P(e2e_sql, objects_and_rows_are_one_store) {
  // An object saved through the object side is a row.
  {
    d_ref<Dyn_obj> o = Dyn_obj::create(*db, U(u"Test.Item"));
    d_string name(accents.c_str());
    d_int count(7);
    d_date day(1999, 12, 31);
    d_timestamp stamp(2020, 5, 6, 7, 8, 9);
    o->set(U(u"Name"), name);
    o->set(U(u"Count"), count);
    o->set(U(u"Day"), day);
    o->set(U(u"Stamp"), stamp);
    d_status st(o->run_method_by_name(m_Save, nullptr, 0));
    ASSERT_EQ(st.get_code(), 0);
  }
  d_seq_query q(*db);
  prepare(q, u"SELECT Name || '|' || Count || '|' || Day || '|' || Stamp FROM Test_Item WHERE \"ID\" = 1");
  EXPECT_EQ(texts(q), std::vector<std::string>{accents + "|7|1999-12-31|2020-05-06 07:08:09"});

  // A row inserted by SQL opens as an object.
  d_seq_query ins(*db);
  prepare(ins, u"INSERT INTO Test_Item (Name, Price, Flag, At, Data) VALUES (?, ?, ?, ?, ?)");
  const std::u16string wide = u"\u4e2d\u6587";
  const std::string bytes("\xFF\0\x01", 3);
  ins.set_par(1, U(wide.c_str()), static_cast<unsigned short>(wide.size()));
  ins.set_par(2, 3.25);
  ins.set_par(3, 1);
  ins.set_par(4, d_time(23, 59, 58));
  ins.set_par(5, d_binary(bytes.data(), bytes.size()));
  ins.execute();
  d_ref<Dyn_obj> o = Dyn_obj::open(*db, U(u"Test.Item"), U(u"2"));
  d_string name;
  d_double price;
  d_int flag;
  d_time at;
  d_binary data;
  o->get(U(u"Name"), name);
  o->get(U(u"Price"), price);
  o->get(U(u"Flag"), flag);
  o->get(U(u"At"), at);
  o->get(U(u"Data"), data);
  EXPECT_EQ(name.mb_str(), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_DOUBLE_EQ(price.value(), 3.25);
  EXPECT_EQ(flag.value(), 1);
  EXPECT_EQ(at.get_tm()->tm_hour * 3600 + at.get_tm()->tm_min * 60 + at.get_tm()->tm_sec, 86398);
  EXPECT_EQ(data.bytes(), bytes);
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_sql, all_configs(), [](const auto& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
