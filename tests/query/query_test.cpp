#include "query/query_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace torqa::test;
using testing::ElementsAre;

namespace {

// Exposes the protected attachment calls and the statement handle.
class attached_query : public d_seq_query {
 public:
  using d_seq_query::d_seq_query;
  using abs_d_query::release_conn;
  SQLHSTMT handle() const { return statement; }
};

std::vector<std::string> fns(const scripted_driver& drv) {
  std::vector<std::string> out;
  for (const auto& c : drv.sql_calls) out.push_back(c.fn);
  return out;
}

void prepare(abs_d_query& q, const char16_t* text) {
  const auto units = u16(text);
  q.prepare(units.data(), static_cast<int>(units.size() - 1));
}

// The query-information reply: status, stored procedure name, count.
std::string info_reply(const std::string& status, const char* proc, int count, bool uni_srv = false) {
  std::vector<unsigned short> wide(proc, proc + std::strlen(proc));
  wide.push_back(0);
  return bytes_elem(status) + elems(
                                  [&](t_ostream& o) {
                                    if (uni_srv)
                                      o << d_string(wide.data());
                                    else
                                      o << d_string(proc);
                                    o << count;
                                  },
                                  uni_srv);
}

// A failed status: a one-element prefix, then code and message.
std::string failed_status(int code, const std::string& msg) {
  return unhex("03 01 30 00") + elems([&](t_ostream& o) {
           o << code;
           o.put_str(0, msg.data(), static_cast<unsigned short>(msg.size()));
         });
}

std::string utf16(const char16_t* s) {
  std::string out;
  for (; *s != 0; ++s) {
    out.push_back(static_cast<char>(*s & 0xFF));
    out.push_back(static_cast<char>(*s >> 8));
  }
  return out;
}

}  // namespace

TEST(query_lifecycle, attach_prepare_describe_and_release) {
  query_session s;
  s.drv.columns = {{u"Name", SQL_WVARCHAR, 50, 0, SQL_NULLABLE}, {u"Age", SQL_INTEGER, 10, 0, SQL_NO_NULLS}};
  s.drv.params = {{SQL_VARCHAR, 50, 0, SQL_NULLABLE}, {SQL_DECIMAL, 12, 2, SQL_NO_NULLS}};
  {
    attached_query q(*s.db);
    const SQLHSTMT h = q.handle();
    ASSERT_EQ(s.calls("SQLAllocStmt").size(), 1u);
    EXPECT_EQ(s.calls("SQLAllocStmt")[0].stmt, h);
    EXPECT_NE(h, nullptr);
    EXPECT_NE(h, s.db->get_hstmt());
    EXPECT_EQ(q.column_count(), 0);
    EXPECT_EQ(q.param_count(), 0);

    s.clear();
    prepare(q, u"SELECT Name, Age FROM Sample.Person WHERE Name %STARTSWITH ? AND Salary > ?");
    EXPECT_EQ(s.drv.prepared.back(), "SELECT Name, Age FROM Sample.Person WHERE Name %STARTSWITH ? AND Salary > ?");
    EXPECT_THAT(fns(s.drv), ElementsAre("SQLPrepare", "SQLNumResultCols", "SQLDescribeCol", "SQLDescribeCol",
                                        "SQLNumParams", "SQLDescribeParam", "SQLDescribeParam"));
    for (const auto& c : s.drv.sql_calls) EXPECT_EQ(c.stmt, h) << c.fn;
    EXPECT_EQ(s.calls("SQLPrepare")[0].buffer_len, 75);  // characters

    ASSERT_EQ(q.column_count(), 2);
    const auto describe = s.calls("SQLDescribeCol");
    for (int i = 1; i <= 2; ++i) {
      EXPECT_EQ(describe[i - 1].number, i);
      EXPECT_EQ(describe[i - 1].buffer, q.column_info(i).name);
      EXPECT_EQ(describe[i - 1].buffer_len, 256);
    }
    const auto& name = q.column_info(1);
    EXPECT_EQ(std::u16string(name.name, name.name + name.name_len), u"Name");
    EXPECT_EQ(name.sql_type, SQL_WVARCHAR);
    EXPECT_EQ(name.size, 50u);
    EXPECT_EQ(name.nullable, SQL_NULLABLE);
    EXPECT_EQ(q.column_info(2).sql_type, SQL_INTEGER);
    EXPECT_EQ(q.column_info(2).nullable, SQL_NO_NULLS);

    ASSERT_EQ(q.param_count(), 2);
    const auto& salary = q.param_info(2);
    EXPECT_EQ(salary.sql_type, SQL_DECIMAL);
    EXPECT_EQ(salary.size, 12u);
    EXPECT_EQ(salary.digits, 2);
    EXPECT_EQ(salary.nullable, SQL_NO_NULLS);
    // Unbound, holding a 4-byte integer, no heap buffer.
    EXPECT_EQ(salary.c_type, SQL_C_SLONG);
    EXPECT_TRUE(salary.needs_binding);
    EXPECT_EQ(salary.len, 4);
    EXPECT_EQ(salary.heap, nullptr);
    EXPECT_EQ(salary.heap_capacity, 0u);

    s.clear();
    q.release_conn();
    q.release_conn();
    EXPECT_EQ(q.handle(), nullptr);
    ASSERT_EQ(s.drv.sql_calls.size(), 1u);
    EXPECT_EQ(s.drv.sql_calls[0].fn, "SQLFreeStmt");
    EXPECT_EQ(s.drv.sql_calls[0].stmt, h);
    EXPECT_EQ(s.drv.sql_calls[0].number, SQL_DROP);
    s.clear();
  }
  EXPECT_TRUE(s.drv.sql_calls.empty());  // released before the destructor

  SQLHSTMT h = nullptr;
  {
    attached_query q(*s.db);
    h = q.handle();
    s.clear();
  }
  ASSERT_EQ(s.calls("SQLFreeStmt").size(), 1u);
  EXPECT_EQ(s.calls("SQLFreeStmt")[0].stmt, h);
  EXPECT_EQ(s.calls("SQLFreeStmt")[0].number, SQL_DROP);
}

TEST(query_lifecycle, second_prepare_replaces_both_tables) {
  query_session s;
  s.drv.columns = {{u"A"}, {u"B"}, {u"C"}};
  s.drv.params = {{SQL_VARCHAR, 500}, {SQL_INTEGER}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT A, B, C FROM T WHERE A = ? AND B = ?");
  const std::string long_text(150, 'x');
  q.set_par(1, long_text.data(), static_cast<unsigned short>(long_text.size()));
  q.set_par(2, 7);
  ASSERT_NE(q.param_info(1).heap, nullptr);

  s.drv.columns = {{u"D", SQL_DOUBLE}};
  s.drv.params = {{SQL_DOUBLE}};
  s.clear();
  prepare(q, u"SELECT D FROM T WHERE D > ?");
  // The old bindings are dropped before their buffers go.
  EXPECT_THAT(fns(s.drv), ElementsAre("SQLFreeStmt", "SQLPrepare", "SQLNumResultCols", "SQLDescribeCol",
                                      "SQLNumParams", "SQLDescribeParam"));
  EXPECT_EQ(s.drv.sql_calls[0].number, SQL_RESET_PARAMS);
  ASSERT_EQ(q.column_count(), 1);
  EXPECT_EQ(q.column_info(1).sql_type, SQL_DOUBLE);
  ASSERT_EQ(q.param_count(), 1);
  EXPECT_EQ(q.param_info(1).sql_type, SQL_DOUBLE);
  EXPECT_EQ(q.param_info(1).heap, nullptr);
  EXPECT_TRUE(q.param_info(1).needs_binding);
  expect_db_err([&] { q.param_info(2); }, -1000, "no parameter 2 in the prepared statement (it has 1)");

  // Only the parameter set since reach the driver.
  q.set_par(1, 0.5);
  q.execute();
  ASSERT_EQ(s.drv.executions.size(), 1u);
  EXPECT_EQ(s.drv.executions[0].params.size(), 1u);

  // Without parameters before, there is nothing to drop.
  s.drv.params.clear();
  s.clear();
  prepare(q, u"SELECT D FROM T");
  EXPECT_EQ(s.calls("SQLFreeStmt").size(), 1u);
  s.clear();
  prepare(q, u"SELECT D FROM T");
  EXPECT_TRUE(s.calls("SQLFreeStmt").empty());
  EXPECT_EQ(q.param_count(), 0);
}

TEST(query_lifecycle, fetch_is_true_only_for_sql_success) {
  query_session s;
  s.drv.columns = {{u"N", SQL_INTEGER}};
  s.drv.rows = {{{unhex("01 00 00 00")}}, {{unhex("02 00 00 00")}}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT N FROM T");
  q.execute();
  EXPECT_TRUE(q.fetch());
  EXPECT_TRUE(q.fetch());
  EXPECT_FALSE(q.fetch());  // SQL_NO_DATA
  EXPECT_TRUE(q.close());

  q.execute();
  s.drv.fail("SQLFetch", SQL_SUCCESS_WITH_INFO, 0, 1);
  EXPECT_FALSE(q.fetch());
  EXPECT_TRUE(q.fetch());
  d_int n;
  q.get_data(&n);
  EXPECT_EQ(n.value(), 1);

  s.clear();
  s.drv.fail("SQLFreeStmt", SQL_ERROR, 0, 1);
  EXPECT_FALSE(q.close());
  ASSERT_EQ(s.calls("SQLFreeStmt").size(), 1u);
  EXPECT_EQ(s.calls("SQLFreeStmt")[0].number, SQL_CLOSE);

  // Still prepared: runs again without another SQLPrepare.
  s.clear();
  q.execute();
  EXPECT_TRUE(q.fetch());
  EXPECT_TRUE(s.calls("SQLPrepare").empty());
}

TEST(class_query, call_text_for_zero_and_three_parameters) {
  for (const bool uni_srv : {false, true}) {
    SCOPED_TRACE(uni_srv ? "16-bit server" : "8-bit server");
    query_session s(uni_srv);
    d_seq_query q(*s.db);
    const auto cls = u16(u"Sample.Person");
    const auto name = u16(u"ByName");
    s.drv.query_info = info_reply("", "Sample.Person_ByName", 0, uni_srv);
    q.prepare(cls.data(), name.data());
    EXPECT_EQ(s.drv.prepared.back(), "{ call Sample.Person_ByName() }");

    const SQLHSTMT info = s.db->get_hstmt();
    const SQLSMALLINT text_type = uni_srv ? SQL_WCHAR : SQL_CHAR;
    const auto binds = s.calls("SQLBindParameter");
    ASSERT_EQ(binds.size(), 3u);
    for (const auto& b : binds) EXPECT_EQ(b.stmt, info);
    EXPECT_EQ(binds[0].number, 1);
    EXPECT_EQ(binds[0].io, SQL_PARAM_OUTPUT);
    EXPECT_EQ(binds[0].c_type, SQL_C_BINARY);
    EXPECT_EQ(binds[0].sql_type, SQL_BINARY);
    EXPECT_EQ(binds[0].size, 32768u);
    EXPECT_EQ(binds[0].buffer, s.db->get_result_buf());
    EXPECT_EQ(binds[0].buffer_len, 32768);
    EXPECT_EQ(binds[1].number, 2);
    EXPECT_EQ(binds[1].io, SQL_PARAM_INPUT);
    EXPECT_EQ(binds[1].c_type, SQL_C_WCHAR);
    EXPECT_EQ(binds[1].sql_type, text_type);
    EXPECT_EQ(binds[1].size, 26u);
    EXPECT_EQ(binds[1].buffer_len, 26);
    EXPECT_EQ(binds[1].ind_value, 26);
    EXPECT_EQ(binds[2].number, 3);
    EXPECT_EQ(binds[2].sql_type, text_type);
    EXPECT_EQ(binds[2].size, 12u);

    ASSERT_EQ(s.drv.executions.size(), 1u);
    EXPECT_EQ(s.drv.executions[0].stmt, info);
    EXPECT_EQ(hex(s.drv.executions[0].params[2].bytes), hex(utf16(u"Sample.Person")));
    EXPECT_EQ(hex(s.drv.executions[0].params[3].bytes), hex(utf16(u"ByName")));
    ASSERT_EQ(s.calls("SQLPrepare").size(), 1u);
    EXPECT_NE(s.calls("SQLPrepare")[0].stmt, info);

    s.drv.params = {{SQL_VARCHAR}, {SQL_INTEGER}, {SQL_DATE}};
    s.drv.query_info = info_reply("", "Sample.Person_Find", 3, uni_srv);
    q.prepare(cls.data(), u16(u"Find").data());
    EXPECT_EQ(s.drv.prepared.back(), "{ call Sample.Person_Find(?, ?, ?) }");
    EXPECT_EQ(q.param_count(), 3);
  }
}

TEST(class_query, server_failure_throws_and_keeps_the_statement) {
  query_session s;
  s.drv.columns = {{u"N", SQL_INTEGER}};
  d_seq_query q(*s.db);
  prepare(q, u"SELECT N FROM T");
  const auto cls = u16(u"Sample.Person");
  s.drv.query_info = info_reply(failed_status(-360, "Query Nope not found in Sample.Person"), "", 0);
  s.clear();
  expect_db_err([&] { q.prepare(cls.data(), u16(u"Nope").data()); }, -360, "Query Nope not found in Sample.Person");
  EXPECT_TRUE(s.calls("SQLPrepare").empty());
  EXPECT_EQ(q.column_count(), 1);

  s.drv.columns.clear();
  s.drv.query_info = info_reply("", "Sample.Person_ByName", 1);
  q.prepare(cls.data(), u16(u"ByName").data());
  EXPECT_EQ(s.drv.prepared.back(), "{ call Sample.Person_ByName(?) }");
  EXPECT_EQ(q.column_count(), 0);
}

TEST(class_query, reply_is_read_within_the_result_buffer) {
  query_session s;
  d_seq_query q(*s.db);
  const auto cls = u16(u"C");
  // The driver cuts a reply longer than the buffer and reports its length.
  s.drv.query_info = info_reply("", "C_Q", 2) + std::string(40000, '\xFF');
  q.prepare(cls.data(), u16(u"Q").data());
  EXPECT_EQ(s.drv.prepared.back(), "{ call C_Q(?, ?) }");

  // A failed execution reports no length: nothing of the buffer is read.
  s.drv.fail("SQLExecute", SQL_ERROR, 0, 1);
  q.prepare(cls.data(), u16(u"Q").data());
  EXPECT_EQ(s.drv.prepared.back(), "{ call () }");
}

TEST(class_query, dynamic_object_prepares_its_named_query) {
  query_session s;
  const auto text = [](t_ostream& o, const char* t) { o.put_str(0, t, static_cast<unsigned short>(std::strlen(t))); };
  s.drv.reply(common_reply(elems([&](t_ostream& o) { text(o, "12@A.Cls"); })));
  s.drv.reply(bytes_elem("") + bytes_elem("1"));
  s.drv.reply(bytes_elem("") + bytes_elem("1"));
  s.drv.reply(bytes_elem("") + bytes_elem("1") + elems([&](t_ostream& o) {
                text(o, "ByName");
                text(o, "A.Cls_ByName");
                o << 2;
              }));
  {
    d_ref<Dyn_obj> obj = Dyn_obj::open(*s.db, u16(u"A.Cls").data(), u16(u"1").data());
    d_seq_query q(*s.db);
    obj->get_query(u16(u"byname").data(), q);
    EXPECT_EQ(s.drv.prepared.back(), "{ call A.Cls_ByName(?, ?) }");
    expect_db_err([&] { obj->get_query(u16(u"Other").data(), q); }, -1, "query not found");
    s.drv.reply(bytes_elem(""));  // "B6" as the object closes
  }
  EXPECT_EQ(s.drv.requests.back().code, "B6");
}

TEST(query_refusals, numbers_out_of_range) {
  query_session s;
  s.drv.columns = {{u"A", SQL_INTEGER}, {u"B", SQL_INTEGER}};
  s.drv.params = {{SQL_INTEGER}, {SQL_INTEGER}};
  s.drv.rows = {{{unhex("01 00 00 00")}, {unhex("02 00 00 00")}}, {{unhex("03 00 00 00")}, {unhex("04 00 00 00")}}};
  d_seq_query q(*s.db);
  d_int v;
  expect_db_err([&] { q.get_data(&v); }, -1000, "no column 1 in the prepared statement (it has 0)");
  expect_db_err([&] { q.set_par(1, 5); }, -1000, "no parameter 1 in the prepared statement (it has 0)");

  prepare(q, u"SELECT A, B FROM T WHERE A > ? AND B > ?");
  s.clear();
  const std::string msg = "no parameter 3 in the prepared statement (it has 2)";
  expect_db_err([&] { q.set_par(3, 5); }, -1000, msg);
  expect_db_err([&] { q.set_par(3); }, -1000, msg);
  expect_db_err([&] { q.set_par(3, d_string("x")); }, -1000, msg);
  expect_db_err([&] { q.set_par(0, 1.5); }, -1000, "no parameter 0 in the prepared statement (it has 2)");
  EXPECT_TRUE(s.calls("SQLBindParameter").empty());

  q.execute();
  ASSERT_TRUE(q.fetch());
  q.get_data(&v);
  q.get_data(&v);
  expect_db_err([&] { q.get_data(&v); }, -1000, "no column 3 in the prepared statement (it has 2)");
  d_string text("kept");
  expect_db_err([&] { q.get_data(&text, str_auto); }, -1000, "no column 3 in the prepared statement (it has 2)");
  EXPECT_EQ(text.bytes(), "kept");
  EXPECT_EQ(s.calls("SQLGetData").size(), 2u);
  EXPECT_EQ(v.value(), 2);
  // The next row starts at column 1 again.
  ASSERT_TRUE(q.fetch());
  q.get_data(&v);
  EXPECT_EQ(v.value(), 3);

  expect_db_err([&] { q.prepare_call(d_string("P"), -1); }, -1000, "parameter count out of range: -1");
  expect_db_err([&] { q.prepare_call(d_string("P"), 32768); }, -1000, "parameter count out of range: 32768");
  EXPECT_EQ(q.param_count(), 2);
}
