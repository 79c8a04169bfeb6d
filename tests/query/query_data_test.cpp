#include "query/query_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

using namespace torqa::test;
using testing::ElementsAre;

namespace {

// A session whose driver describes `params` and `columns`, and a query
// prepared on it; statement calls cleared.
struct prepared : session {
  prepared(std::vector<scripted_driver::sql_param> params, std::vector<scripted_driver::sql_column> columns,
           const char16_t* text) {
    drv.params = std::move(params);
    drv.columns = std::move(columns);
    prepare(q, text);
    clear();
  }
  // Executes, answering the values the driver read, as hex ("NULL").
  std::vector<std::string> run() {
    q.execute();
    std::vector<std::string> out;
    for (const auto& [n, v] : drv.executions.back().params) out.push_back(v.null ? "NULL" : hex(v.bytes));
    return out;
  }
  // Executes and fetches the first row; calls cleared.
  void first_row() {
    q.execute();
    ASSERT_TRUE(q.fetch());
    clear();
  }
  d_seq_query q{*db};
};

std::string letters(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>('a' + i % 26);
  return out;
}

// year, month, day, hours, minutes, seconds, weekday, day of the year
std::vector<int> fields(const std::tm* r) {
  return {r->tm_year, r->tm_mon, r->tm_mday, r->tm_hour, r->tm_min, r->tm_sec, r->tm_wday, r->tm_yday};
}

}  // namespace

TEST(query_params, bound_again_only_when_the_c_type_changes) {
  prepared p({{SQL_INTEGER, 10}, {SQL_VARCHAR, 50}}, {}, u"SELECT * FROM T WHERE N = ? AND S = ?");
  d_string null_text;
  null_text.set_null();
  // Null values keep the C type and the buffer; never bound, they are bound
  // now with the C type the entry holds.
  p.q.set_par(1, d_int());
  p.q.set_par(2);
  EXPECT_THAT(p.run(), ElementsAre("NULL", "NULL"));
  p.q.set_par(1, d_int(5));
  p.q.set_par(1, d_int(6));
  p.q.set_par(2, "abc", 3);
  EXPECT_THAT(p.run(), ElementsAre("06 00 00 00", "61 62 63"));
  p.q.set_par(1, 2.5);
  p.q.set_par(2, null_text);
  EXPECT_THAT(p.run(), ElementsAre("00 00 00 00 00 00 04 40", "NULL"));
  p.q.set_par(1, -2);
  p.q.set_par(2, "xyz", 3);
  EXPECT_THAT(p.run(), ElementsAre("FE FF FF FF", "78 79 7A"));
  p.q.set_par(1);
  EXPECT_THAT(p.run(), ElementsAre("NULL", "78 79 7A"));
  EXPECT_THAT(briefs(p.drv), ElementsAre("bind 1 SLONG sql=4 size=10 buf=100 ind=-1",
                                         "bind 2 SLONG sql=12 size=50 buf=100 ind=-1", "SQLExecute 0",
                                         "bind 2 CHAR sql=12 size=50 buf=100 ind=3", "SQLExecute 0",
                                         "bind 1 DOUBLE sql=4 size=10 buf=100 ind=8", "SQLExecute 0",
                                         "bind 1 SLONG sql=4 size=10 buf=100 ind=4", "SQLExecute 0", "SQLExecute 0"));
  const auto& e = p.q.param_info(1);
  for (const auto& b : p.drv.sql_calls_of("SQLBindParameter"))
    EXPECT_TRUE(b.number != 1 || (b.buffer == e.inline_buf && b.ind == &e.len));
}

TEST(query_params, long_values_move_to_a_heap_buffer_of_twice_their_size) {
  prepared p({{SQL_VARBINARY, 1000}}, {}, u"UPDATE T SET B = ?");
  const auto& e = p.q.param_info(1);
  const auto bound = [&] { return p.drv.sql_calls_of("SQLBindParameter").back().buffer; };
  // Sets n bytes of c; answers the buffer the driver reads from.
  const auto set = [&](char c, std::size_t n) {
    const std::string bytes(n, c);
    p.q.set_par(1, d_binary(bytes.data(), n));
    p.q.execute();
    EXPECT_TRUE(p.drv.executions.back().params[1].bytes == bytes) << n;
    return bound();
  };

  EXPECT_EQ(set('a', 100), e.inline_buf);
  const SQLPOINTER heap = set('b', 101);
  EXPECT_EQ(heap, e.heap.get());
  EXPECT_EQ(set('c', 150), heap);  // fits
  const SQLPOINTER grown = set('d', 300);
  EXPECT_NE(grown, heap);
  EXPECT_EQ(set('e', 5), grown);  // short values stay in the heap buffer
  EXPECT_EQ(set('f', 0), grown);
  p.q.set_par(1, d_string("text"));  // same buffer, its own C type
  EXPECT_EQ(bound(), grown);
  p.q.set_par(1, 1);  // fixed-size values go inline
  EXPECT_EQ(bound(), e.inline_buf);
  set('g', 65535);  // one element's worth at most
  const std::string too_long(65536, 'h');
  EXPECT_EQ(thrown([&] { p.q.set_par(1, d_binary(too_long.data(), too_long.size())); }) + ", " +
                thrown([&] { p.q.set_par(1, d_string(too_long.data(), too_long.size())); }),
            "-1000 value too long for one parameter, -1000 value too long for one parameter");
  EXPECT_EQ(e.len, 65535);

  EXPECT_THAT(briefs(p.drv, "SQLBindParameter"), ElementsAre("bind 1 BINARY sql=-3 size=1000 buf=100 ind=100",
                                 "bind 1 BINARY sql=-3 size=1000 buf=202 ind=101",
                                 "bind 1 BINARY sql=-3 size=1000 buf=600 ind=300",
                                 "bind 1 CHAR sql=-3 size=1000 buf=600 ind=4",
                                 "bind 1 SLONG sql=-3 size=1000 buf=100 ind=4",
                                 "bind 1 BINARY sql=-3 size=1000 buf=131070 ind=65535"));
}

TEST(query_params, c_types_and_bytes_by_value_type) {
  prepared p(std::vector<scripted_driver::sql_param>(8, {SQL_VARCHAR, 50}), {}, u"CALL P(?, ?, ?, ?, ?, ?, ?, ?)");
  const auto he = u16(u"h\u00e9");
  p.q.set_par(1, "abc", 3);
  p.q.set_par(2, he.data(), 2);
  p.q.set_par(3, d_string(he.data()));
  p.q.set_par(4, d_string("h\xc3\xa9"));
  p.q.set_par(5, d_date(1999, 12, 31));
  p.q.set_par(6, d_time(23, 59, 58));
  p.q.set_par(7, d_timestamp(2001, 2, 3, 4, 5, 6));
  p.q.set_par(8, d_double(0.5));
  EXPECT_THAT(p.run(), ElementsAre("61 62 63", "68 00 E9 00", "68 00 E9 00", "68 C3 A9", "CF 07 0C 00 1F 00",
                                   "17 00 3B 00 3A 00", "D1 07 02 00 03 00 04 00 05 00 06 00 00 00 00 00",
                                   "00 00 00 00 00 00 E0 3F"));
  std::vector<std::string> c_types;
  for (const auto& c : p.drv.sql_calls_of("SQLBindParameter")) c_types.push_back(c_type_name(c.c_type));
  EXPECT_THAT(c_types, ElementsAre("CHAR", "WCHAR", "WCHAR", "CHAR", "DATE", "TIME", "TIMESTAMP", "DOUBLE"));
}

TEST(query_columns, fixed_size_values_nulls_and_driver_failures) {
  prepared p({},
             {{u"A", SQL_INTEGER}, {u"B", SQL_INTEGER}, {u"C", SQL_DOUBLE}, {u"D", SQL_TYPE_DATE},
              {u"E", SQL_TYPE_TIME}, {u"F", SQL_TYPE_TIMESTAMP}},
             u"SELECT A, B, C, D, E, F FROM T");
  const scripted_driver::sql_row row = {{unhex("2A 00 00 00")},
                                        {"", true},
                                        {unhex("00 00 00 00 00 00 04 40")},
                                        {unhex("E8 07 02 00 1D 00")},
                                        {unhex("0D 00 0E 00 0F 00")},
                                        {unhex("D1 07 02 00 03 00 04 00 05 00 06 00 07 00 00 00")}};
  p.drv.rows = {row, row};
  p.first_row();

  d_int a, b(5);
  d_double c;
  d_date d;
  d_time t;
  d_timestamp ts;
  // Members a structure does not carry are kept.
  d.get_tm()->tm_wday = 4;
  t.get_tm()->tm_year = 77;
  ts.get_tm()->tm_yday = 33;
  const auto read_row = [&] {
    p.q.get_data(&a);
    p.q.get_data(&b);
    p.q.get_data(&c);
    p.q.get_data(&d);
    p.q.get_data(&t);
    p.q.get_data(&ts);
  };
  read_row();
  EXPECT_THAT(briefs(p.drv), ElementsAre("get 1 SLONG 4", "get 2 SLONG 4", "get 3 DOUBLE 8", "get 4 DATE 6", "get 5 TIME 6", "get 6 TIMESTAMP 16"));
  EXPECT_EQ(a.value(), 42);
  EXPECT_TRUE(b.is_null());
  EXPECT_EQ(c.value(), 2.5);
  EXPECT_THAT(fields(d.get_tm()), ElementsAre(124, 1, 29, -1, -1, -1, 4, -1));
  EXPECT_THAT(fields(t.get_tm()), ElementsAre(77, -1, -1, 13, 14, 15, -1, -1));
  EXPECT_THAT(fields(ts.get_tm()), ElementsAre(101, 1, 3, 4, 5, 6, -1, 33));
  const std::initializer_list<const D_type*> values = {&a, &c, &d, &t, &ts};
  for (const D_type* v : values) EXPECT_FALSE(v->is_null());

  // A failing driver leaves every value null, whatever it held.
  ASSERT_TRUE(p.q.fetch());
  p.drv.fail("SQLGetData", SQL_ERROR);
  read_row();
  for (const D_type* v : values) EXPECT_TRUE(v->is_null());
}

TEST(query_columns, long_text_and_binary_in_pieces) {
  prepared p({},
             {{u"A", SQL_LONGVARCHAR}, {u"B", SQL_LONGVARCHAR}, {u"C", SQL_LONGVARBINARY}, {u"D", SQL_VARCHAR},
              {u"E", SQL_WLONGVARCHAR}},
             u"SELECT A, B, C, D, E FROM T");
  const std::string text = letters(70000);
  std::string wide;
  for (char ch : letters(20000)) wide += std::string{ch, '\0'};
  const std::string block = letters(32768);
  // B and E give SQL_NO_TOTAL while more than a piece remains.
  p.drv.rows = {{{text}, {text, false, true}, {block}, {""}, {wide, false, true}}};
  p.first_row();

  d_string a, b, d("old"), e;
  d_binary c;
  p.q.get_data(&a, str_mb);
  p.q.get_data(&b, str_auto);
  p.q.get_data(&c);
  p.q.get_data(&d, str_auto);
  p.q.get_data(&e, str_auto);
  EXPECT_TRUE(a.bytes() == text && b.bytes() == text && c.bytes() == block);
  EXPECT_TRUE(!d.is_null() && d.size() == 0u);
  EXPECT_TRUE(e.kind() == 2 && e.bytes() == wide);

  // Each call until the driver has no more data, through one buffer.
  EXPECT_THAT(briefs(p.drv),
              ElementsAre("get 1 CHAR 32768", "get 1 CHAR 32768", "get 1 CHAR 32768", "get 1 CHAR 32768",
                          "get 2 CHAR 32768", "get 2 CHAR 32768", "get 2 CHAR 32768", "get 2 CHAR 32768",
                          "get 3 BINARY 32768", "get 3 BINARY 32768", "get 4 CHAR 32768", "get 4 CHAR 32768",
                          "get 5 WCHAR 32768", "get 5 WCHAR 32768", "get 5 WCHAR 32768"));
  for (const auto& call : p.drv.sql_calls) EXPECT_EQ(call.buffer, p.drv.sql_calls[0].buffer);
}

TEST(query_columns, text_kind_follows_the_conversion_asked) {
  prepared p({},
             {{u"A", SQL_VARCHAR}, {u"B", SQL_WVARCHAR}, {u"C", SQL_WCHAR}, {u"D", SQL_VARCHAR}, {u"E", SQL_WVARCHAR}},
             u"SELECT A, B, C, D, E FROM T");
  p.drv.rows = {{{"ab"}, {unhex("61 00")}, {unhex("62 00")}, {unhex("63 00")}, {"cd"}}};
  p.first_row();

  d_string v[5];
  v[0] = d_string(u16(u"wide").data());
  const str_conv_t asked[] = {str_auto, str_auto, str_auto, str_uni, str_mb};
  for (int i = 0; i < 5; ++i) p.q.get_data(&v[i], asked[i]);
  // Kind, C type read with, bytes.
  const auto gets = p.drv.sql_calls_of("SQLGetData");
  ASSERT_EQ(gets.size(), 10u);  // a piece and the end for each
  std::vector<std::string> got;
  for (int i = 0; i < 5; ++i)
    got.push_back(std::to_string(v[i].kind()) + " " + c_type_name(gets[2 * i].c_type) + " " + hex(v[i].bytes()));
  EXPECT_THAT(got, ElementsAre("0 CHAR 61 62", "2 WCHAR 61 00", "2 WCHAR 62 00", "2 WCHAR 63 00", "0 CHAR 63 64"));
}

TEST(query_columns, failures_between_pieces_and_nulls_across_rows) {
  prepared p({}, {{u"A", SQL_LONGVARCHAR}, {u"B", SQL_INTEGER}}, u"SELECT A, B FROM T");
  const std::string text = letters(40000);
  p.drv.rows = {{{text}, {unhex("01 00 00 00")}},
                {{"", true}, {unhex("02 00 00 00")}},
                {{"back"}, {"", true}},
                {{"lost"}, {unhex("04 00 00 00")}}};
  p.q.execute();
  d_string a;
  d_int b;
  const auto read_row = [&] {
    EXPECT_TRUE(p.q.fetch());
    p.q.get_data(&a, str_mb);
    p.q.get_data(&b);
  };

  // The second piece fails: the value is what came before.
  p.drv.fail("SQLGetData", SQL_ERROR, 1, 1);
  read_row();
  EXPECT_TRUE(a.bytes() == text.substr(0, 32768));
  EXPECT_EQ(b.value(), 1);
  read_row();
  EXPECT_TRUE(a.is_null() && a.size() == 0u);
  EXPECT_EQ(b.value(), 2);
  read_row();
  EXPECT_TRUE(!a.is_null() && a.bytes() == "back");
  EXPECT_TRUE(b.is_null());
  // The first call fails: null.
  p.drv.fail("SQLGetData", SQL_ERROR, 0, 1);
  read_row();
  EXPECT_TRUE(a.is_null());
  EXPECT_EQ(b.value(), 4);
}
