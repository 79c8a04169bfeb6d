#include "query/query_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace torqa::test;

namespace {

void prepare(abs_d_query& q, const char16_t* text) {
  const auto units = u16(text);
  q.prepare(units.data(), static_cast<int>(units.size() - 1));
}

std::string letters(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

// The values the last SQLExecute read, by parameter number.
const std::map<int, scripted_driver::sql_value>& executed(const query_session& s) {
  return s.drv.executions.back().params;
}

}  // namespace

TEST(query_params, bound_once_per_c_type) {
  query_session s;
  s.drv.params = {{SQL_INTEGER, 10, 0, SQL_NULLABLE}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT * FROM T WHERE N = ?");
  const SQLHSTMT h = s.calls("SQLPrepare")[0].stmt;
  s.clear();

  q.set_par(1, d_int(5));
  q.set_par(1, d_int(6));
  auto binds = s.calls("SQLBindParameter");
  ASSERT_EQ(binds.size(), 1u);
  const auto& e = q.param_info(1);
  EXPECT_EQ(binds[0].stmt, h);
  EXPECT_EQ(binds[0].number, 1);
  EXPECT_EQ(binds[0].io, SQL_PARAM_INPUT);
  EXPECT_EQ(binds[0].c_type, SQL_C_SLONG);
  EXPECT_EQ(binds[0].sql_type, SQL_INTEGER);
  EXPECT_EQ(binds[0].size, 10u);
  EXPECT_EQ(binds[0].buffer, e.inline_buf);
  EXPECT_EQ(binds[0].buffer_len, 100);
  EXPECT_EQ(binds[0].ind, &e.len);
  q.execute();
  EXPECT_EQ(hex(executed(s).at(1).bytes), "06 00 00 00");

  q.set_par(1, 2.5);
  binds = s.calls("SQLBindParameter");
  ASSERT_EQ(binds.size(), 2u);
  EXPECT_EQ(binds[1].c_type, SQL_C_DOUBLE);
  EXPECT_EQ(binds[1].buffer, e.inline_buf);
  q.execute();
  EXPECT_EQ(hex(executed(s).at(1).bytes), "00 00 00 00 00 00 04 40");

  q.set_par(1, -2);
  EXPECT_EQ(s.calls("SQLBindParameter").size(), 3u);
  q.execute();
  EXPECT_EQ(hex(executed(s).at(1).bytes), "FE FF FF FF");
}

TEST(query_params, long_values_move_to_a_heap_buffer_of_twice_their_size) {
  query_session s;
  s.drv.params = {{SQL_VARBINARY, 1000}};
  d_seq_query q(*s.db);
  prepare(q, u"UPDATE T SET B = ?");
  s.clear();
  const auto& e = q.param_info(1);
  const auto set = [&](char c, std::size_t n) {
    const std::string bytes(n, c);
    q.set_par(1, d_binary(bytes.data(), n));
    q.execute();
    EXPECT_EQ(executed(s).at(1).bytes, bytes) << n;
    return s.calls("SQLBindParameter");
  };

  auto binds = set('a', 100);
  ASSERT_EQ(binds.size(), 1u);
  EXPECT_EQ(binds[0].c_type, SQL_C_BINARY);
  EXPECT_EQ(binds[0].buffer, e.inline_buf);
  EXPECT_EQ(binds[0].buffer_len, 100);

  binds = set('b', 101);
  ASSERT_EQ(binds.size(), 2u);
  const SQLPOINTER heap = binds[1].buffer;
  EXPECT_EQ(heap, e.heap.get());
  EXPECT_EQ(binds[1].buffer_len, 202);
  EXPECT_EQ(e.heap_capacity, 202u);

  EXPECT_EQ(set('c', 150).size(), 2u);  // fits: no new binding

  binds = set('d', 300);
  ASSERT_EQ(binds.size(), 3u);
  EXPECT_NE(binds[2].buffer, heap);
  EXPECT_EQ(binds[2].buffer, e.heap.get());
  EXPECT_EQ(binds[2].buffer_len, 600);

  // Short values stay in the heap buffer once there is one.
  EXPECT_EQ(set('e', 5).size(), 3u);
  EXPECT_EQ(set('f', 0).size(), 3u);

  // Text uses the same buffer under its own C type.
  q.set_par(1, d_string("some text"));
  binds = s.calls("SQLBindParameter");
  ASSERT_EQ(binds.size(), 4u);
  EXPECT_EQ(binds[3].c_type, SQL_C_CHAR);
  EXPECT_EQ(binds[3].buffer, e.heap.get());
  EXPECT_EQ(binds[3].buffer_len, 600);

  // A fixed-size value goes inline.
  q.set_par(1, 1);
  binds = s.calls("SQLBindParameter");
  ASSERT_EQ(binds.size(), 5u);
  EXPECT_EQ(binds[4].buffer, e.inline_buf);
  EXPECT_EQ(binds[4].buffer_len, 100);

  // One element's worth at most.
  EXPECT_EQ(set('g', 65535).back().buffer_len, 131070);
  const std::string too_long(65536, 'h');
  expect_db_err([&] { q.set_par(1, d_binary(too_long.data(), too_long.size())); }, -1000,
                "value too long for one parameter");
  expect_db_err([&] { q.set_par(1, d_string(too_long.data(), too_long.size())); }, -1000,
                "value too long for one parameter");
  EXPECT_EQ(e.len, 65535);
}

TEST(query_params, null_values_keep_the_c_type_and_the_buffer) {
  query_session s;
  s.drv.params = {{SQL_INTEGER}, {SQL_VARCHAR, 50}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT * FROM T WHERE N = ? AND S = ?");
  s.clear();

  // Never bound: bound now, with the C type the entry holds.
  q.set_par(1, d_int());
  q.set_par(2);
  auto binds = s.calls("SQLBindParameter");
  ASSERT_EQ(binds.size(), 2u);
  for (const auto& b : binds) {
    EXPECT_EQ(b.c_type, SQL_C_SLONG);
    EXPECT_EQ(b.ind_value, SQL_NULL_DATA);
  }
  q.execute();
  EXPECT_TRUE(executed(s).at(1).null);
  EXPECT_TRUE(executed(s).at(2).null);

  q.set_par(1, 9);
  q.set_par(2, "abc", 3);
  EXPECT_EQ(s.calls("SQLBindParameter").size(), 3u);  // only the type change
  q.execute();
  EXPECT_EQ(hex(executed(s).at(1).bytes), "09 00 00 00");
  EXPECT_EQ(executed(s).at(2).bytes, "abc");

  d_string null_text;
  null_text.set_null();
  q.set_par(2, null_text);
  q.set_par(1);
  q.execute();
  EXPECT_TRUE(executed(s).at(1).null);
  EXPECT_TRUE(executed(s).at(2).null);
  q.set_par(2, "xyz", 3);
  q.execute();
  EXPECT_EQ(executed(s).at(2).bytes, "xyz");
  EXPECT_EQ(s.calls("SQLBindParameter").size(), 3u);
  EXPECT_EQ(q.param_info(2).c_type, SQL_C_CHAR);
}

TEST(query_params, c_types_and_bytes_by_value_type) {
  query_session s;
  s.drv.params.assign(8, {SQL_VARCHAR, 50});
  d_seq_query q(*s.db);
  prepare(q, u"CALL P(?, ?, ?, ?, ?, ?, ?, ?)");
  s.clear();

  const auto he = u16(u"h\u00e9");
  q.set_par(1, "abc", 3);
  q.set_par(2, he.data(), 2);
  q.set_par(3, d_string(he.data()));
  q.set_par(4, d_string("h\xc3\xa9"));
  q.set_par(5, d_date(1999, 12, 31));
  q.set_par(6, d_time(23, 59, 58));
  q.set_par(7, d_timestamp(2001, 2, 3, 4, 5, 6));
  q.set_par(8, d_double(0.5));
  q.execute();

  const auto binds = s.calls("SQLBindParameter");
  ASSERT_EQ(binds.size(), 8u);
  const SQLSMALLINT c_types[] = {SQL_C_CHAR, SQL_C_WCHAR, SQL_C_WCHAR, SQL_C_CHAR,
                                 SQL_C_DATE, SQL_C_TIME,  SQL_C_TIMESTAMP, SQL_C_DOUBLE};
  const char* bytes[] = {"61 62 63",
                         "68 00 E9 00",
                         "68 00 E9 00",
                         "68 C3 A9",
                         "CF 07 0C 00 1F 00",
                         "17 00 3B 00 3A 00",
                         "D1 07 02 00 03 00 04 00 05 00 06 00 00 00 00 00",
                         "00 00 00 00 00 00 E0 3F"};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(binds[i].c_type, c_types[i]) << i + 1;
    EXPECT_EQ(binds[i].sql_type, SQL_VARCHAR) << i + 1;
    EXPECT_EQ(hex(executed(s).at(i + 1).bytes), bytes[i]) << i + 1;
  }
}

TEST(query_columns, fixed_size_values_nulls_and_driver_failures) {
  query_session s;
  s.drv.columns = {{u"A", SQL_INTEGER}, {u"B", SQL_INTEGER}, {u"C", SQL_DOUBLE},
                   {u"D", SQL_TYPE_DATE}, {u"E", SQL_TYPE_TIME}, {u"F", SQL_TYPE_TIMESTAMP}};
  const scripted_driver::sql_row row = {{unhex("2A 00 00 00")},
                                        {"", true},
                                        {unhex("00 00 00 00 00 00 04 40")},
                                        {unhex("E8 07 02 00 1D 00")},
                                        {unhex("0D 00 0E 00 0F 00")},
                                        {unhex("D1 07 02 00 03 00 04 00 05 00 06 00 07 00 00 00")}};
  s.drv.rows = {row, row};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT A, B, C, D, E, F FROM T");
  q.execute();
  ASSERT_TRUE(q.fetch());
  s.clear();

  d_int a, b(5);
  d_double c;
  d_date d;
  d_time t;
  d_timestamp ts;
  d.get_tm()->tm_wday = 4;
  t.get_tm()->tm_year = 77;
  ts.get_tm()->tm_yday = 33;
  q.get_data(&a);
  q.get_data(&b);
  q.get_data(&c);
  q.get_data(&d);
  q.get_data(&t);
  q.get_data(&ts);

  const auto gets = s.calls("SQLGetData");
  ASSERT_EQ(gets.size(), 6u);
  const SQLSMALLINT c_types[] = {SQL_C_SLONG, SQL_C_SLONG, SQL_C_DOUBLE, SQL_C_DATE, SQL_C_TIME, SQL_C_TIMESTAMP};
  const SQLLEN sizes[] = {4, 4, 8, 6, 6, 16};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(gets[i].number, i + 1);  // the null column moves on as well
    EXPECT_EQ(gets[i].c_type, c_types[i]);
    EXPECT_EQ(gets[i].buffer_len, sizes[i]);
  }
  EXPECT_FALSE(a.is_null());
  EXPECT_EQ(a.value(), 42);
  EXPECT_TRUE(b.is_null());
  EXPECT_FALSE(c.is_null());
  EXPECT_EQ(c.value(), 2.5);

  EXPECT_FALSE(d.is_null());
  const std::tm& dr = *d.get_tm();
  EXPECT_EQ(dr.tm_year, 124);
  EXPECT_EQ(dr.tm_mon, 1);
  EXPECT_EQ(dr.tm_mday, 29);
  EXPECT_EQ(dr.tm_wday, 4);  // kept
  EXPECT_EQ(dr.tm_hour, -1);

  EXPECT_FALSE(t.is_null());
  const std::tm& tr = *t.get_tm();
  EXPECT_EQ(tr.tm_hour, 13);
  EXPECT_EQ(tr.tm_min, 14);
  EXPECT_EQ(tr.tm_sec, 15);
  EXPECT_EQ(tr.tm_year, 77);
  EXPECT_EQ(tr.tm_mday, -1);

  EXPECT_FALSE(ts.is_null());
  const std::tm& sr = *ts.get_tm();
  EXPECT_EQ(sr.tm_year, 101);
  EXPECT_EQ(sr.tm_mon, 1);
  EXPECT_EQ(sr.tm_mday, 3);
  EXPECT_EQ(sr.tm_hour, 4);
  EXPECT_EQ(sr.tm_min, 5);
  EXPECT_EQ(sr.tm_sec, 6);
  EXPECT_EQ(sr.tm_yday, 33);
  EXPECT_EQ(sr.tm_wday, -1);

  // A failing driver leaves the value null, whatever it held.
  ASSERT_TRUE(q.fetch());
  s.drv.fail("SQLGetData", SQL_ERROR);
  q.get_data(&a);
  q.get_data(&b);
  q.get_data(&c);
  q.get_data(&d);
  q.get_data(&t);
  q.get_data(&ts);
  for (const D_type* v : std::initializer_list<const D_type*>{&a, &c, &d, &t, &ts}) EXPECT_TRUE(v->is_null());
}

TEST(query_columns, long_text_and_binary_in_pieces) {
  query_session s;
  const std::string text = letters(70000);
  std::string wide;
  for (char ch : letters(20000)) wide += std::string{ch, '\0'};
  const std::string block = letters(32768);
  s.drv.columns = {{u"A", SQL_LONGVARCHAR}, {u"B", SQL_LONGVARCHAR}, {u"C", SQL_LONGVARBINARY},
                   {u"D", SQL_VARCHAR},     {u"E", SQL_WLONGVARCHAR}};
  s.drv.rows = {{{text}, {text, false, true}, {block}, {""}, {wide, false, true}}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT A, B, C, D, E FROM T");
  q.execute();
  ASSERT_TRUE(q.fetch());
  s.clear();

  d_string a, b, d("old"), e;
  d_binary c;
  q.get_data(&a, str_mb);
  q.get_data(&b, str_auto);
  q.get_data(&c);
  q.get_data(&d, str_auto);
  q.get_data(&e, str_auto);

  EXPECT_EQ(a.kind(), 0);
  EXPECT_TRUE(a.bytes() == text);
  EXPECT_TRUE(b.bytes() == text);  // SQL_NO_TOTAL: full pieces
  EXPECT_TRUE(c.bytes() == block);
  EXPECT_FALSE(d.is_null());
  EXPECT_EQ(d.size(), 0u);
  EXPECT_EQ(e.kind(), 2);
  EXPECT_TRUE(e.bytes() == wide);

  // Three pieces and the end for 70000 bytes, a piece and the end for
  // 32768 or 0 bytes, two and the end for 40000.
  const auto gets = s.calls("SQLGetData");
  const int columns[] = {1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 5, 5};
  const SQLSMALLINT c_types[] = {SQL_C_CHAR, SQL_C_CHAR, SQL_C_BINARY, SQL_C_CHAR, SQL_C_WCHAR};
  ASSERT_EQ(gets.size(), std::size(columns));
  for (std::size_t i = 0; i < gets.size(); ++i) {
    EXPECT_EQ(gets[i].number, columns[i]) << i;
    EXPECT_EQ(gets[i].c_type, c_types[columns[i] - 1]) << i;
    EXPECT_EQ(gets[i].buffer_len, 32768) << i;
    EXPECT_EQ(gets[i].buffer, gets[0].buffer) << i;
  }
}

TEST(query_columns, text_kind_follows_the_conversion_asked) {
  query_session s;
  s.drv.columns = {{u"A", SQL_VARCHAR}, {u"B", SQL_WVARCHAR}, {u"C", SQL_WCHAR}, {u"D", SQL_VARCHAR},
                   {u"E", SQL_WVARCHAR}};
  s.drv.rows = {{{"ab"}, {unhex("61 00")}, {unhex("62 00")}, {unhex("63 00")}, {"cd"}}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT A, B, C, D, E FROM T");
  q.execute();
  ASSERT_TRUE(q.fetch());
  s.clear();

  d_string v[5];
  v[0] = d_string(u16(u"wide").data());
  q.get_data(&v[0], str_auto);
  q.get_data(&v[1], str_auto);
  q.get_data(&v[2], str_auto);
  q.get_data(&v[3], str_uni);
  q.get_data(&v[4], str_mb);
  const int kinds[] = {0, 2, 2, 2, 0};
  const SQLSMALLINT c_types[] = {SQL_C_CHAR, SQL_C_WCHAR, SQL_C_WCHAR, SQL_C_WCHAR, SQL_C_CHAR};
  const char* bytes[] = {"61 62", "61 00", "62 00", "63 00", "63 64"};
  const auto gets = s.calls("SQLGetData");
  ASSERT_EQ(gets.size(), 10u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(v[i].kind(), kinds[i]) << i + 1;
    EXPECT_EQ(gets[2 * i].c_type, c_types[i]) << i + 1;
    EXPECT_EQ(hex(v[i].bytes()), bytes[i]) << i + 1;
  }
}

TEST(query_columns, failures_between_pieces_and_nulls_across_rows) {
  query_session s;
  const std::string text = letters(40000);
  s.drv.columns = {{u"A", SQL_LONGVARCHAR}, {u"B", SQL_INTEGER}};
  s.drv.rows = {{{text}, {unhex("01 00 00 00")}},
                {{"", true}, {unhex("02 00 00 00")}},
                {{"back"}, {"", true}},
                {{"lost"}, {unhex("04 00 00 00")}}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT A, B FROM T");
  q.execute();
  d_string a;
  d_int b;

  // The second piece fails: the value is what came before.
  ASSERT_TRUE(q.fetch());
  s.drv.fail("SQLGetData", SQL_ERROR, 1, 1);
  q.get_data(&a, str_mb);
  q.get_data(&b);
  EXPECT_TRUE(a.bytes() == text.substr(0, 32768));
  EXPECT_EQ(b.value(), 1);

  ASSERT_TRUE(q.fetch());
  q.get_data(&a, str_mb);
  q.get_data(&b);
  EXPECT_TRUE(a.is_null());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(b.value(), 2);

  ASSERT_TRUE(q.fetch());
  q.get_data(&a, str_mb);
  q.get_data(&b);
  EXPECT_FALSE(a.is_null());
  EXPECT_EQ(a.bytes(), "back");
  EXPECT_TRUE(b.is_null());

  // The first call fails: null.
  ASSERT_TRUE(q.fetch());
  s.drv.fail("SQLGetData", SQL_ERROR, 0, 1);
  q.get_data(&a, str_mb);
  q.get_data(&b);
  EXPECT_TRUE(a.is_null());
  EXPECT_EQ(b.value(), 4);
  EXPECT_FALSE(q.fetch());
}
