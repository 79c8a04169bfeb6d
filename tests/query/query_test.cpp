#include "query/query_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace torqa::test;
using testing::ElementsAre;

namespace {

// The query-information reply: status, stored procedure name, count.
std::string info_reply(const std::string& status, const char16_t* proc, int count, bool uni_srv = false) {
  const d_string name(u16(proc).data());
  return bytes_elem(status) + elems([&](t_ostream& o) { o << name << count; }, uni_srv);
}

TEST(query_lifecycle, second_prepare_replaces_both_tables_and_only_sql_success_counts) {
  session s;
  s.drv.columns = {{u"A"}, {u"B"}, {u"C"}};
  s.drv.params = {{SQL_VARCHAR, 500}, {SQL_INTEGER}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT A, B, C FROM T WHERE A = ? AND B = ?");
  q.set_par(1, std::string(150, 'x').data(), 150), q.set_par(2, 7);

  s.drv.columns = {{u"D", SQL_DOUBLE}};
  s.drv.params = {{SQL_DOUBLE}};
  s.clear();
  prepare(q, u"SELECT D FROM T WHERE D > ?");
  // The old bindings are dropped (SQL_RESET_PARAMS) before their buffers go.
  EXPECT_THAT(briefs(s.drv), ElementsAre("SQLFreeStmt 3", "SQLPrepare 0", "SQLNumResultCols 0", "SQLDescribeCol 1",
                                         "SQLNumParams 0", "SQLDescribeParam 1"));
  ASSERT_TRUE(q.column_count() == 1 && q.param_count() == 1);
  const auto& e = q.param_info(1);
  EXPECT_TRUE(q.column_info(1).sql_type == SQL_DOUBLE && e.sql_type == SQL_DOUBLE && e.heap == nullptr && e.needs_binding);
  // With no parameters before, there is nothing to drop.
  s.drv.params.clear();
  prepare(q, u"SELECT D FROM T");
  s.clear();
  prepare(q, u"SELECT D FROM T");
  EXPECT_TRUE(briefs(s.drv, "SQLFreeStmt").empty() && q.param_count() == 0);

  // Fetch and close are true only for SQL_SUCCESS.
  s.drv.rows = {{{"1"}}, {{"2"}}};
  q.execute();
  s.drv.fail("SQLFetch", SQL_SUCCESS_WITH_INFO, 0, 1);
  // Rows ended by a warning are a failure; without SQLGetDiagRec the driver's
  // result says it. The next call that goes through clears it.
  EXPECT_TRUE(!q.fetch() && described(q.last_err()) == "1 SQLFetch failed with result 1");
  EXPECT_TRUE(q.fetch() && !q.failed());
  s.drv.fail("SQLFreeStmt", SQL_ERROR, 0, 1);
  s.clear();
  EXPECT_FALSE(q.close());
  q.execute();  // still prepared: runs again without another SQLPrepare
  EXPECT_TRUE(q.fetch());
  EXPECT_THAT(briefs(s.drv), ElementsAre("SQLFreeStmt 0", "SQLExecute 0", "SQLFetch 0"));  // SQL_CLOSE

  // A failed preparation or run shows until the next one; the first failure
  // of a preparation is the one kept.
  s.drv.fail("SQLPrepare", SQL_ERROR, 0, 1);
  s.drv.fail("SQLNumResultCols", SQL_INVALID_HANDLE, 0, 1);
  prepare(q, u"SELECT D FROM T");
  EXPECT_EQ(described(q.last_err()), "-1 SQLPrepare failed with result -1");
  s.drv.fail("SQLExecute", SQL_INVALID_HANDLE, 0, 1);
  q.execute();
  EXPECT_EQ(described(q.last_err()), "-2 SQLExecute failed with result -2");
  q.execute();
  EXPECT_FALSE(q.failed());
}

TEST(class_query, call_text_bindings_and_replies_cut_to_the_result_buffer) {
  const auto cls = u16(u"Sample.Person");
  for (const bool uni_srv : {false, true}) {
    session s(false, uni_srv);
    d_seq_query q(*s.db);
    s.clear();
    s.drv.query_info = info_reply("", u"Sample.Person_ByName", 0, uni_srv);
    q.prepare(cls.data(), u16(u"ByName").data());
    EXPECT_EQ(s.drv.prepared.back(), "{ call Sample.Person_ByName() }");

    // Output: the session's result buffer; inputs: the two names.
    const std::string text_type = std::to_string(uni_srv ? SQL_WCHAR : SQL_CHAR);
    EXPECT_THAT(briefs(s.drv), ElementsAre("bind 1 out BINARY sql=-2 size=32768 buf=32768 ind=0",
                                           "bind 2 WCHAR sql=" + text_type + " size=26 buf=26 ind=26",
                                           "bind 3 WCHAR sql=" + text_type + " size=12 buf=12 ind=12",
                                           "SQLExecute 0", "SQLPrepare 0", "SQLNumResultCols 0", "SQLNumParams 0"));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(s.drv.sql_calls[i].stmt == s.db->get_hstmt(), i < 4) << i;
    EXPECT_EQ(s.drv.sql_calls[0].buffer, s.db->get_result_buf());
    EXPECT_EQ(hex(s.drv.executions[0].params[3].bytes), "42 00 79 00 4E 00 61 00 6D 00 65 00");

    // Longer than the buffer: the driver cuts it and reports the whole length.
    s.drv.query_info = info_reply("", u"C_Q", 2, uni_srv) + std::string(40000, '\xFF');
    q.prepare(cls.data(), u16(u"Q").data());
    EXPECT_EQ(s.drv.prepared.back(), "{ call C_Q(?, ?) }");
    // A failed execution reports no length: nothing of the buffer is read.
    s.drv.fail("SQLExecute", SQL_ERROR, 0, 1);
    q.prepare(cls.data(), u16(u"Q").data());
    EXPECT_EQ(s.drv.prepared.back(), "{ call () }");
    EXPECT_EQ(described(q.last_err()), "-1 SQLExecute failed with result -1");  // the cause, not what followed
  }
}

TEST(query_refusals, numbers_out_of_range) {
  session s;
  s.drv.columns = {{u"A", SQL_INTEGER}, {u"B", SQL_INTEGER}};
  s.drv.params = {{SQL_INTEGER}, {SQL_INTEGER}};
  const scripted_driver::sql_row row = {{unhex("01 00 00 00")}, {unhex("02 00 00 00")}};
  s.drv.rows = {row, row};
  d_seq_query q(*s.db);
  d_int v;
  d_string text("kept");
  EXPECT_EQ(thrown([&] { q.get_data(&v); }) + ", " + thrown([&] { q.set_par(1, 5); }),
            "-1000 no column 1 in the prepared statement (it has 0), "
            "-1000 no parameter 1 in the prepared statement (it has 0)");

  prepare(q, u"SELECT A, B FROM T WHERE A > ? AND B > ?");
  s.clear();
  for (const auto& set : std::vector<std::function<void()>>{[&] { q.set_par(3, 5); }, [&] { q.set_par(3); },
                                                           [&] { q.set_par(3, d_string("x")); }})
    EXPECT_EQ(thrown(set), "-1000 no parameter 3 in the prepared statement (it has 2)");
  EXPECT_EQ(thrown([&] { q.set_par(0, 1.5); }), "-1000 no parameter 0 in the prepared statement (it has 2)");

  q.execute();
  ASSERT_TRUE(q.fetch());
  q.get_data(&v), q.get_data(&v);
  for (const auto& get : std::vector<std::function<void()>>{[&] { q.get_data(&v); }, [&] { q.get_data(&text, str_auto); }})
    EXPECT_EQ(thrown(get), "-1000 no column 3 in the prepared statement (it has 2)");
  EXPECT_TRUE(text.bytes() == "kept" && v.value() == 2);
  // The next row starts at column 1 again.
  ASSERT_TRUE(q.fetch());
  q.get_data(&v);
  EXPECT_THAT(briefs(s.drv), ElementsAre("SQLExecute 0", "SQLFetch 0", "get 1 SLONG 4", "get 2 SLONG 4",
                                         "SQLFetch 0", "get 1 SLONG 4"));

  for (const int n : {-1, 32768})
    EXPECT_EQ(thrown([&] { q.prepare_call(d_string("P"), n); }), "-1000 parameter count out of range: " + std::to_string(n));
  EXPECT_EQ(q.param_count(), 2);
}

}  // namespace
