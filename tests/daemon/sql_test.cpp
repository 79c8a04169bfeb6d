// SQL through torqad beyond what the end-to-end suite runs over both
// transports: statements prepared, run and fetched on the daemon
// through the binding's query classes, rows coming in batches.
#include "e2e/e2e_util.h"
#include "support/child_client.h"
#include "support/daemon_process.h"

#include <torqa/query.h>
#include <torqa/rows.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace torqa::e2e {
namespace {

class daemon_sql : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string log = std::filesystem::path(data.path()).parent_path() / "torqad.log";
    port = daemon.start(TORQAD, {"--data", data.path(), "--schema", TORQA_SAMPLE_SCHEMA, "--fasthash"}, log);
    ASSERT_FALSE(port.empty());
    conn = connect();
    ASSERT_TRUE(conn->is_active());
    db = std::make_unique<Database>(conn, false);
  }

  Handle<Conn_t> connect() {
    const std::string text = "127.0.0.1[" + port + "]:ns";
    return tcp_conn::connect(d_string(text.c_str()), d_string("torqa"), d_string("torqa"), nullptr);
  }
  long long count(Database& on) {
    torqa::query q(on, "SELECT count(*) FROM Sample_Person");
    q.execute();
    for (auto& row : q.rows()) return row.get<long long>(1);
    return -1;
  }

  namespace_dir data;
  test::daemon_process daemon;
  std::string port;
  Handle<Conn_t> conn;
  std::unique_ptr<Database> db;
};

TEST_F(daemon_sql, a_hundred_thousand_rows_come_in_batches) {
  constexpr long long n = 100000;
  torqa::query fill(*db,
                    "INSERT INTO Sample_Person (Name, Age, Height) WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL "
                    "SELECT x + 1 FROM c WHERE x < 100000) SELECT 'name ' || x, x, x * 0.5 FROM c");
  fill.execute();
  torqa::query q(*db, "SELECT Age, Height, Name FROM Sample_Person ORDER BY \"ID\"");
  long long rows = 0, ages = 0, names = 0;
  double heights = 0;
  q.execute();
  for (auto& row : q.rows()) {
    ++rows;
    ages += row.get<int>(1);
    heights += row.get<double>(2);
    names += static_cast<long long>(row.get<std::string>(3).size()) * rows;
  }
  EXPECT_EQ(rows, n);
  EXPECT_EQ(ages, n * (n + 1) / 2);
  EXPECT_DOUBLE_EQ(heights, n * (n + 1) / 4.0);
  long long expected_names = 0;
  for (long long i = 1; i <= n; ++i) expected_names += static_cast<long long>(5 + std::to_string(i).size()) * i;
  EXPECT_EQ(names, expected_names);
}

TEST_F(daemon_sql, the_schema_call_answers_the_namespace_schema) {
  std::ifstream in(data.path() + "/ns/schema.tq", std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(file.size(), 1000u);
  torqa::query q(*db, "{ call %Torqa.Schema() }");
  q.execute();
  std::vector<std::string> rows;
  for (auto& row : q.rows()) rows.push_back(row.get<std::string>("schema"));
  EXPECT_EQ(rows, std::vector<std::string>{file});
  EXPECT_NE(thrown([&] { torqa::query(*db, "{ call %Torqa.Schema(?) }"); }).find("takes no parameters"),
            std::string::npos);
}

TEST_F(daemon_sql, a_daemon_killed_mid_fetch_fails_the_fetch_at_once) {
  torqa::query(*db,
               "INSERT INTO Sample_Person (Age) WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
               "WHERE x < 10000) SELECT x FROM c")
      .execute();
  d_seq_query q(*db);
  q.prepare(U(u"SELECT Age FROM Sample_Person"), SQL_NTS);
  q.execute();
  ASSERT_TRUE(q.fetch());
  daemon.stop(SIGKILL);
  int rows = 1;
  while (q.fetch()) ++rows;
  EXPECT_LT(rows, 10000);  // the rows of the batch at hand, then the failure
  EXPECT_EQ(q.last_err().diag.state + " " + described(q.last_err()), "08S01 -1010 the daemon closed the connection");
}

TEST_F(daemon_sql, refusals_say_why_and_leave_the_connection_serving) {
  d_seq_query q(*db);
  q.prepare(U(u"SELEKT Name FROM Sample_Person"), SQL_NTS);
  ASSERT_TRUE(q.failed());
  EXPECT_EQ(q.last_err().diag.state + " " + described(q.last_err()), "42000 -1010 near \"SELEKT\": syntax error");
  q.prepare(U(u"INSERT INTO Sample_Person (\"ID\", Name) VALUES (1, 'a')"), SQL_NTS);
  q.execute();
  q.execute();
  ASSERT_TRUE(q.failed());
  EXPECT_EQ(q.last_err().diag.state + " " + described(q.last_err()),
            "HY000 -1010 UNIQUE constraint failed: Sample_Person.ID");
  // A row over a batch's aim travels alone; one over what a batch can
  // carry is refused when it is fetched.
  torqa::query big(*db, "WITH s(n) AS (VALUES (10), (15000000), (16000000)) SELECT zeroblob(n) FROM s");
  big.execute();
  for (const int n : {10, 15000000}) {
    ASSERT_TRUE(big.fetch()) << n;
    d_binary v;
    big.get_data(&v);
    EXPECT_TRUE(v.bytes() == std::string(n, '\0')) << v.bytes().size();
  }
  EXPECT_FALSE(big.fetch());
  EXPECT_EQ(described(big.last_err()), "-1011 a row of 16000005 bytes is longer than a batch can carry");
  EXPECT_EQ(count(*db), 1);

  // A connection holds at most 256 statements; one freed makes room.
  std::vector<std::unique_ptr<d_seq_query>> held;
  std::string refusal;
  for (int i = 0; i < 300 && refusal.empty(); ++i) {
    held.push_back(std::make_unique<d_seq_query>(*db));
    held.back()->prepare(U(u"SELECT 1"), SQL_NTS);
    if (held.back()->failed()) refusal = described(held.back()->last_err());
  }
  EXPECT_EQ(refusal, "-1010 too many statements: a connection holds at most 256");
  EXPECT_LE(held.size(), 257u);
  held.erase(held.begin());
  held.back()->prepare(U(u"SELECT 1"), SQL_NTS);
  EXPECT_FALSE(held.back()->failed());
}

TEST_F(daemon_sql, a_client_gone_mid_transaction_has_its_writes_rolled_back) {
  test::child_client child([&](auto ready) {
    Handle<Conn_t> c = connect();
    Database mine(c, false);
    mine.start_transaction();
    torqa::query(mine, "INSERT INTO Sample_Person (Name) VALUES ('gone')").execute();
    if (count(mine) == 1 && ready()) pause();
  });
  ASSERT_TRUE(child.ready());
  child.kill();
  // The daemon sees the connection go and rolls its transaction back: the
  // database takes writes again, and the child's row is not there.
  bool written = false;
  for (int tries = 0; tries < 100 && !written; ++tries) {
    try {
      torqa::query(*db, "INSERT INTO Sample_Person (Name) VALUES ('after')").execute();
      written = true;
    } catch (const Db_err&) {
      usleep(50000);
    }
  }
  torqa::query names(*db, "SELECT Name FROM Sample_Person");
  std::string seen;
  names.execute();
  for (auto& row : names.rows()) seen += row.get<std::string>(1) + ";";
  EXPECT_EQ(seen, "after;");
}

}  // namespace
}  // namespace torqa::e2e
