#include "query/query_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
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

std::string letters(std::size_t n) { return repeat("abcdefghijklmnopqrstuvwxyz", n / 26 + 1).substr(0, n); }

// year, month, day, hours, minutes, seconds, weekday, day of the year
std::vector<int> fields(const std::tm* r) {
  return {r->tm_year, r->tm_mon, r->tm_mday, r->tm_hour, r->tm_min, r->tm_sec, r->tm_wday, r->tm_yday};
}

}  // namespace

TEST(query_params, long_values_move_to_a_heap_buffer_of_twice_their_size) {
  prepared p({{SQL_VARBINARY, 1000}}, {}, u"UPDATE T SET B = ?");
  const auto& e = p.q.param_info(1);
  const auto bound = [&] { return p.drv.sql_calls_of("SQLBindParameter").back().buffer; };
  const auto set = [&](std::size_t n) {  // n bytes; answers the buffer the driver reads from
    const std::string bytes(n, static_cast<char>('a' + n % 26));
    p.q.set_par(1, d_binary(bytes.data(), n));
    p.q.execute();
    EXPECT_TRUE(p.drv.executions.back().params[1].bytes == bytes) << n;
    return bound();
  };
  EXPECT_EQ(set(100), e.inline_buf);
  for (const std::size_t n : {101, 150, 300, 5}) {  // 150 fits the first heap buffer; short values stay there
    const SQLPOINTER used = set(n);
    EXPECT_EQ(used, e.heap.get()) << n;
  }
  p.q.set_par(1, d_string("text"));  // same buffer, its own C type
  EXPECT_EQ(bound(), e.heap.get());
  p.q.set_par(1, 1);  // fixed-size values go inline
  EXPECT_EQ(bound(), e.inline_buf);
  set(65535);  // one element's worth at most
  // Every path refuses more bytes than one value holds, however the length is given.
  const std::string too_long(70000, 'h');
  const std::vector<unsigned short> wide(32768, 'h');
  for (const auto& set : std::vector<std::function<void()>>{
           [&] { p.q.set_par(1, d_binary(too_long.data(), 65536)); },
           [&] { p.q.set_par(1, d_string(too_long.data(), too_long.size())); },
           [&] { p.q.set_par(1, too_long.data(), too_long.size()); },
           [&] { p.q.set_par(1, wide.data(), wide.size()); }})
    EXPECT_EQ(thrown(set), "-1000 value too long for one parameter");
  EXPECT_EQ(e.len, 65535);
  EXPECT_THAT(briefs(p.drv, "SQLBindParameter"), ElementsAre("bind 1 BINARY sql=-3 size=1000 buf=100 ind=100",
                                 "bind 1 BINARY sql=-3 size=1000 buf=202 ind=101",
                                 "bind 1 BINARY sql=-3 size=1000 buf=600 ind=300",
                                 "bind 1 CHAR sql=-3 size=1000 buf=600 ind=4",
                                 "bind 1 SLONG sql=-3 size=1000 buf=100 ind=4",
                                 "bind 1 BINARY sql=-3 size=1000 buf=131070 ind=65535"));
}

TEST(query_params, c_types_by_value_type) {
  prepared p(std::vector<scripted_driver::sql_param>(7, {SQL_VARCHAR, 50}), {}, u"CALL P(?, ?, ?, ?, ?, ?, ?)");
  const auto he = u16(u"h\u00e9");
  p.q.set_par(1, he.data(), 2), p.q.set_par(2, d_string(he.data())), p.q.set_par(3, d_string("h\xc3\xa9"));
  p.q.set_par(4, d_date(1999, 12, 31)), p.q.set_par(5, d_time(23, 59, 58));
  p.q.set_par(6, d_timestamp(2001, 2, 3, 4, 5, 6)), p.q.set_par(7, d_double(0.5));
  p.q.execute();
  std::vector<std::string> c_types;
  for (const auto& c : p.drv.sql_calls_of("SQLBindParameter")) c_types.push_back(c_type_name(c.c_type));
  EXPECT_THAT(c_types, ElementsAre("WCHAR", "WCHAR", "CHAR", "DATE", "TIME", "TIMESTAMP", "DOUBLE"));
}

TEST(query_columns, fixed_size_values_keep_other_members_and_driver_failures_give_null) {
  prepared p({},
             {{u"A", SQL_INTEGER}, {u"B", SQL_INTEGER}, {u"C", SQL_DOUBLE}, {u"D", SQL_TYPE_DATE},
              {u"E", SQL_TYPE_TIME}, {u"F", SQL_TYPE_TIMESTAMP}},
             u"SELECT A, B, C, D, E, F FROM T");
  const scripted_driver::sql_row row = {{unhex("2A 00 00 00")}, {"", true}, {unhex("00 00 00 00 00 00 04 40")},
                                        {unhex("E8 07 02 00 1D 00")}, {unhex("0D 00 0E 00 0F 00")},
                                        {unhex("D1 07 02 00 03 00 04 00 05 00 06 00 07 00 00 00")}};
  p.drv.rows = {row, row};
  p.first_row();
  d_int a, b(5);
  d_double c;
  d_date d;
  d_time t;
  d_timestamp ts;
  d.get_tm()->tm_wday = 4, t.get_tm()->tm_year = 77, ts.get_tm()->tm_yday = 33;  // kept: not in the structures
  const auto read_row = [&] { p.q.get_data(&a), p.q.get_data(&b), p.q.get_data(&c), p.q.get_data(&d), p.q.get_data(&t), p.q.get_data(&ts); };
  read_row();
  EXPECT_THAT(briefs(p.drv), ElementsAre("get 1 SLONG 4", "get 2 SLONG 4", "get 3 DOUBLE 8", "get 4 DATE 6", "get 5 TIME 6", "get 6 TIMESTAMP 16"));
  EXPECT_TRUE(a.value() == 42 && b.is_null() && c.value() == 2.5);
  EXPECT_THAT(fields(d.get_tm()), ElementsAre(124, 1, 29, -1, -1, -1, 4, -1));
  EXPECT_THAT(fields(t.get_tm()), ElementsAre(77, -1, -1, 13, 14, 15, -1, -1));
  EXPECT_THAT(fields(ts.get_tm()), ElementsAre(101, 1, 3, 4, 5, 6, -1, 33));
  // A failing driver leaves every value null, whatever it held.
  ASSERT_TRUE(p.q.fetch());
  p.drv.fail("SQLGetData", SQL_ERROR);
  read_row();
  for (const D_type* v : std::initializer_list<const D_type*>{&a, &c, &d, &t, &ts}) EXPECT_TRUE(v->is_null());
}

TEST(query_columns, text_and_binary_in_pieces_with_the_conversion_asked) {
  prepared p({},
             {{u"A", SQL_LONGVARCHAR}, {u"B", SQL_LONGVARCHAR}, {u"C", SQL_LONGVARBINARY}, {u"D", SQL_VARCHAR},
              {u"E", SQL_WLONGVARCHAR}, {u"F", SQL_WCHAR}, {u"G", SQL_WVARCHAR}, {u"H", SQL_VARCHAR}, {u"I", SQL_WVARCHAR}},
             u"SELECT A, B, C, D, E, F, G, H, I FROM T");
  const std::string text = letters(70000), block = letters(32768);
  const std::string wide = units16(std::u16string(text.begin(), text.begin() + 20000));
  // B and E give SQL_NO_TOTAL while more than a piece remains.
  p.drv.rows = {{{text}, {text, false, true}, {block}, {""}, {wide, false, true}, {unhex("61 00")}, {unhex("62 00")},
                 {unhex("63 00")}, {"cd"}}};
  p.first_row();
  d_string a, b, d(u16(u"wide").data()), e, f, g, h, i;
  d_binary c;
  p.q.get_data(&a, str_mb), p.q.get_data(&b, str_auto), p.q.get_data(&c);
  for (const auto& [v, conv] : {std::pair{&d, str_auto}, {&e, str_auto}, {&f, str_auto}, {&g, str_auto}, {&h, str_uni}, {&i, str_mb}})
    p.q.get_data(v, conv);
  EXPECT_TRUE(a.bytes() == text && b.bytes() == text && c.bytes() == block && e.kind() == 2 && e.bytes() == wide);
  EXPECT_TRUE(!d.is_null() && d.size() == 0u && d.kind() == 0);  // empty, not null; no longer 16-bit
  std::vector<std::string> got;
  for (const d_string* v : {&f, &g, &h, &i}) got.push_back(std::to_string(v->kind()) + " " + hex(v->bytes()));
  EXPECT_THAT(got, ElementsAre("2 61 00", "2 62 00", "2 63 00", "0 63 64"));
  // Each call until the driver has no more data, through one buffer.
  const std::pair<const char*, int> calls[] = {{"CHAR", 4},  {"CHAR", 4},  {"BINARY", 2}, {"CHAR", 2}, {"WCHAR", 3},
                                               {"WCHAR", 2}, {"WCHAR", 2}, {"WCHAR", 2},  {"CHAR", 2}};
  std::vector<std::string> want;
  for (int col = 0; col < 9; ++col)
    want.insert(want.end(), calls[col].second, "get " + std::to_string(col + 1) + " " + calls[col].first + " 32768");
  EXPECT_EQ(briefs(p.drv), want);
  for (const auto& call : p.drv.sql_calls) EXPECT_EQ(call.buffer, p.drv.sql_calls[0].buffer);
}

TEST(query_columns, failures_between_pieces_and_nulls_across_rows) {
  prepared p({}, {{u"A", SQL_LONGVARCHAR}, {u"B", SQL_INTEGER}}, u"SELECT A, B FROM T");
  const std::string text = letters(40000);
  p.drv.rows = {{{text}, {unhex("01 00 00 00")}}, {{"", true}, {unhex("02 00 00 00")}},
                {{"back"}, {"", true}}, {{"lost"}, {unhex("04 00 00 00")}}};
  p.q.execute();
  d_string a;
  d_int b;
  const auto read_row = [&] { ASSERT_TRUE(p.q.fetch()); p.q.get_data(&a, str_mb), p.q.get_data(&b); };
  p.drv.fail("SQLGetData", SQL_ERROR, 1, 1);  // the second piece fails: the value is what came before
  read_row();
  EXPECT_TRUE(a.bytes() == text.substr(0, 32768) && b.value() == 1);
  read_row();
  EXPECT_TRUE(a.is_null() && a.size() == 0u && b.value() == 2);
  read_row();
  EXPECT_TRUE(!a.is_null() && a.bytes() == "back" && b.is_null());
  p.drv.fail("SQLGetData", SQL_ERROR, 0, 1);  // the first call fails: null
  read_row();
  EXPECT_TRUE(a.is_null() && b.value() == 4);
}
