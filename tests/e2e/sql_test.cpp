// SQL end to end: the binding's query classes on the class tables of the
// server, and objects and rows as two views of one store.
#include "e2e_util.h"
#include "support/value_bytes.h"

#include <torqa/query.h>
#include <torqa/rows.h>

#include <sstream>

namespace torqa::e2e {
namespace {

const std::string accents = "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80";

class e2e_sql : public e2e_test {
 protected:
  void prepare(d_seq_query& q, const char16_t* text) { q.prepare(U(text), SQL_NTS); }

  // The first column of every row, as 8-bit text.
  static std::vector<std::string> texts(d_seq_query& q) {
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
  std::vector<std::string> texts(const char16_t* sql) {
    d_seq_query q(*db);
    prepare(q, sql);
    return texts(q);
  }
};

// Name, Age, Height, Active, Photo, Birthday, WakeUp and Created of the
// current row, read with the typed get_data, as "|"-separated text.
std::string typed_row(d_seq_query& q, int& name_kind) {
  d_string name;
  d_int age, active;
  d_double height;
  d_binary photo;
  d_date day;
  d_time at;
  d_timestamp stamp;
  q.get_data(&name, str_auto);
  q.get_data(&age);
  q.get_data(&height);
  q.get_data(&active);
  q.get_data(&photo);
  q.get_data(&day);
  q.get_data(&at);
  q.get_data(&stamp);
  name_kind = name.kind();
  std::ostringstream os;
  const auto num = [&os](const auto& v) {
    if (v.is_null())
      os << "NULL|";
    else
      os << v.value() << '|';
  };
  os << name << '|';
  num(age);
  num(height);
  num(active);
  if (photo.is_null()) os << "NULL";
  for (unsigned char c : photo.bytes()) os << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
  os << '|' << day << '|' << at << '|' << stamp;
  return os.str();
}

TEST_P(e2e_sql, every_parameter_and_column_type_round_trips) {
  d_seq_query ins(*db);
  prepare(ins, u"INSERT INTO Sample_Person (Name, Age, Height, Active, Photo, Birthday, WakeUp, Created) "
               u"VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  ASSERT_EQ(ins.param_count(), 8);
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
  // The other setters: 16-bit text, a number as text, a plain double, nulls.
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
  prepare(q, u"SELECT Name, Age, Height, Active, Photo, Birthday, WakeUp, Created FROM Sample_Person ORDER BY \"ID\"");
  ASSERT_EQ(q.column_count(), 8);
  q.execute();
  int kind = -1;
  ASSERT_TRUE(q.fetch());
  EXPECT_EQ(typed_row(q, kind), accents + "|-42|1.75|1|0001feff|02/29/2000|06:30:15|04:05:06 02/03/2001");
  EXPECT_EQ(kind, GetParam().unicode ? 2 : 0);  // 16-bit columns in a 16-bit namespace
  ASSERT_TRUE(q.fetch());
  EXPECT_EQ(typed_row(q, kind), "\xC3\xA9t\xC3\xA9|17|2.5|NULL|NULL|NULL|NULL|NULL");
  EXPECT_FALSE(q.fetch());
  EXPECT_TRUE(q.close());
}

TEST_P(e2e_sql, long_values_come_whole_and_objects_and_rows_are_one_store) {
  std::string text;
  while (text.size() < 40000) text += accents + " " + std::to_string(text.size()) + "\n";
  std::string bytes(60000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
  d_seq_query ins(*db);
  prepare(ins, u"INSERT INTO Sample_Person (Name, Photo, WakeUp, Height) VALUES (?, ?, ?, ?)");
  ins.set_par(1, d_string(text.data(), text.size()));
  ins.set_par(2, d_binary(bytes.data(), bytes.size()));
  ins.set_par(3, d_time(23, 59, 58));
  ins.set_par(4, 3.25);
  ins.execute();

  // The row opens as an object; a character stream longer than one value,
  // written by the object side, is a column.
  std::string notes;
  for (int i = 0; notes.size() < 100000; ++i) notes += "line " + std::to_string(i) + " " + accents + "\n";
  {
    d_ref<Dyn_obj> o = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
    EXPECT_EQ(test::printed(read<d_time>(o, u"WakeUp")), "23:59:58");
    EXPECT_DOUBLE_EQ(read<d_double>(o, u"Height").value(), 3.25);
    d_ref<d_stream> s = o->get_ref<d_stream>(U(u"Notes"));
    for (std::size_t at = 0; at < notes.size(); at += 60000) {
      const std::string part = notes.substr(at, 60000);
      s->write(d_string(part.data(), part.size()));
    }
    ASSERT_EQ(save(o), 0);
  }

  d_seq_query q(*db);
  prepare(q, u"SELECT Name, Photo, Notes, Name FROM Sample_Person");
  q.execute();
  ASSERT_TRUE(q.fetch());
  d_string name, long_notes, wide_name;
  d_binary data;
  q.get_data(&name, str_mb);
  q.get_data(&data);
  q.get_data(&long_notes, str_auto);
  q.get_data(&wide_name, str_uni);
  EXPECT_TRUE(name.mb_str() == text);
  EXPECT_TRUE(data.bytes() == bytes);
  EXPECT_TRUE(long_notes.mb_str() == notes);
  EXPECT_EQ(wide_name.kind(), 2);
  EXPECT_TRUE(wide_name.mb_str() == text);
  EXPECT_FALSE(q.fetch());

  // An object saved by the object side is a row.
  d_ref<Dyn_obj> o = person("Ann");
  d_date day(1999, 12, 31);
  d_timestamp stamp(2020, 5, 6, 7, 8, 9);
  o->set(U(u"Birthday"), day);
  o->set(U(u"Created"), stamp);
  ASSERT_EQ(save(o), 0);
  EXPECT_EQ(texts(u"SELECT Name || '|' || Birthday || '|' || Created FROM Sample_Person WHERE \"ID\" = 2"),
            std::vector<std::string>{"Ann|1999-12-31|2020-05-06 07:08:09"});
}

TEST_P(e2e_sql, class_queries_and_their_errors) {
  texts(u"INSERT INTO Sample_Person (Name, Age) VALUES ('a', 10), ('b', 20), ('c', 30)");
  d_seq_query older(*db);
  older.prepare(U(u"sample.person"), U(u"OLDER"));
  ASSERT_EQ(older.param_count(), 1);
  EXPECT_EQ(older.param_info(1).sql_type, SQL_INTEGER);
  older.set_par(1, 15);
  EXPECT_EQ(texts(older), (std::vector<std::string>{"2", "3"}));  // the "ID" column first
  older.set_par(1, d_int(25));
  EXPECT_EQ(texts(older), (std::vector<std::string>{"3"}));

  // The same kind of query by name through the class definition.
  d_ref<Dyn_obj> a = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  d_seq_query by_name(*db);
  a->get_query(U(u"ByName"), by_name);
  by_name.set_par(1, d_string("b"));
  EXPECT_EQ(texts(by_name), (std::vector<std::string>{"2"}));

  // Unknown classes and queries are the server's errors; the query keeps
  // its preparation.
  EXPECT_EQ(thrown([&] { older.prepare(U(u"Sample.Nope"), U(u"Older")); }), "-1003 class Sample.Nope does not exist");
  EXPECT_EQ(thrown([&] { older.prepare(U(u"Sample.Person"), U(u"Nope")); }),
            "-1004 class Sample.Person has no query Nope");
  EXPECT_EQ(texts(older), (std::vector<std::string>{"3"}));
}

TEST_P(e2e_sql, statements_the_server_refuses_fetch_nothing_and_say_why) {
  const struct {
    const char16_t* text;
    const char* why;  // the step that failed, SQLSTATE, code and message; empty: none failed
  } cases[] = {
      {u"SELEKT Name FROM Sample_Person", "prepare 42000 -1010 near \"SELEKT\": syntax error"},
      {u"SELECT Name FROM No_Such_Table", "prepare 42000 -1010 no such table: No_Such_Table"},
      {u"INSERT INTO Sample_Person (\"ID\", Name) VALUES (1, 'a')", ""},
      {u"INSERT INTO Sample_Person (\"ID\", Name) VALUES (1, 'b')",
       "execute HY000 -1010 UNIQUE constraint failed: Sample_Person.ID"},
  };
  d_seq_query q(*db);
  for (const auto& c : cases) {
    prepare(q, c.text);
    std::string why = q.failed() ? "prepare" : "";
    if (why.empty()) {
      q.execute();
      if (q.failed()) why = "execute";
    }
    if (!why.empty()) why += " " + q.last_err().diag.state + " " + described(q.last_err());
    EXPECT_EQ(why, c.why);
    EXPECT_FALSE(q.fetch());
  }
  // The query is usable again; the row id taken refused the second row.
  prepare(q, u"SELECT Name FROM Sample_Person");
  EXPECT_EQ(texts(q), std::vector<std::string>{"a"});
  EXPECT_FALSE(q.failed());
}

TEST_P(e2e_sql, rows_in_a_range_for_with_typed_columns) {
  for (const char* name : {"Ann", "Bob", "Cy"}) {
    d_ref<Dyn_obj> p = person(name);
    if (name[0] != 'C') p->set("Age", name[0] == 'A' ? 40 : 25);
    ASSERT_EQ(save(p), 0);
  }
  torqa::query q(*db, "SELECT Name, Age FROM Sample_Person WHERE Name <> ? ORDER BY Name");
  std::string seen;
  for (auto& row : q.execute("Bob").rows())
    seen += row.get<std::string>("name") + "=" + std::to_string(row.get<std::optional<int>>(2).value_or(-1)) + ";";
  EXPECT_EQ(seen, "Ann=40;Cy=-1;");
  // The statement runs again with other values; a null column read as a
  // plain type, a missing column and a wrong parameter count are errors.
  auto rows = q.execute(std::string("Ann")).rows();
  auto it = rows.begin();
  ASSERT_FALSE(it == rows.end());
  EXPECT_EQ((*it).get<std::u16string>(1), u"Bob");
  EXPECT_EQ((*it).get<d_int>("AGE").value(), 25);
  ++it;
  EXPECT_EQ(thrown([&] { (*it).get<int>(2); }), "-1000 column 2 is null");
  EXPECT_TRUE((*it).get<d_int>(2).is_null());
  EXPECT_EQ(thrown([&] { (*it).get<int>(3); }), "-1000 no column 3");
  EXPECT_EQ(thrown([&] { (*it).get<int>("Height"); }), "-1000 no column Height");
  ++it;
  EXPECT_TRUE(it == rows.end());
  EXPECT_EQ(thrown([&] { q.execute(1, 2); }), "-1000 the statement takes 1 parameters, not 2");
  EXPECT_EQ(thrown([&] { q.execute(1LL << 40); }), "-1000 parameter 1 is out of range");
  int n = 0;
  for ([[maybe_unused]] auto& row : q.execute(std::nullopt).rows()) ++n;
  EXPECT_EQ(n, 0);  // nothing compares equal to null
  // What the driver refuses is thrown with its message; a statement
  // without a result has no rows to walk.
  EXPECT_NE(thrown([&] { torqa::query bad(*db, "SELEC 1"); }).find("syntax error"), std::string::npos);
  torqa::query dup(*db, "INSERT INTO Sample_Person (ID, Name) SELECT ID, ? FROM Sample_Person");
  EXPECT_NE(thrown([&] { dup.execute("again"); }).find("UNIQUE"), std::string::npos);
  torqa::query add(*db, "UPDATE Sample_Person SET Age = ? WHERE Name = 'Cy'");
  for ([[maybe_unused]] auto& row : add.execute(7).rows()) ++n;
  EXPECT_EQ(n, 0);
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_sql, all_configs(), [](const auto& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
