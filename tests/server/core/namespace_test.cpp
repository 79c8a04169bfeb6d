// Namespaces on disk: created whole or not at all, private to their owner,
// open to readers while another process writes; logins held back after failures.
#include "server/test_util.h"

#include "server/errors.h"
#include "server/core/namespace.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>

namespace torqa::server {
namespace {

namespace fs = std::filesystem;

unsigned mode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

int login_code(const std::string& dir, const connect_options& options, const std::string& password = "torqa") {
  try {
    connection c(dir, options, "torqa", password);
    return 0;
  } catch (const server_error& e) {
    return e.code;
  }
}

TEST(name_space, creation_is_all_or_nothing_and_private) {
  test::temp_dir dir;
  std::ofstream(dir / "bad.tq") << "class T.Thing\n  property P: nosuchtype\nend class\n";
  std::ofstream(dir / "good.tq") << "class T.Thing\n  property P: string\nend class\n";
  const mode_t old_mask = ::umask(0);
  // A bad schema, a missing one: nothing is left, not even the folder made for it.
  EXPECT_EQ(login_code(dir / "ns", {.fasthash = true, .schema_file = dir / "bad.tq"}), err_storage);
  EXPECT_EQ(login_code(dir / "ns", {.fasthash = true, .schema_file = dir / "none.tq"}), err_storage);
  EXPECT_FALSE(fs::exists(dir / "ns"));
  // A folder the user made keeps only what was there.
  fs::create_directory(dir / "mine");
  EXPECT_EQ(login_code(dir / "mine", {.fasthash = true, .schema_file = dir / "bad.tq"}), err_storage);
  EXPECT_TRUE(fs::is_empty(dir / "mine"));

  EXPECT_EQ(login_code(dir / "ns", {.fasthash = true, .schema_file = dir / "good.tq"}), 0);
  ::umask(old_mask);
  EXPECT_EQ(mode(dir / "ns"), 0700u);
  for (const char* f : {"ns/objects.db", "ns/schema.tq"}) EXPECT_EQ(mode(dir / f), 0600u) << f;
  for (const auto& entry : fs::directory_iterator(dir / "ns"))
    EXPECT_NE(entry.path().filename().string().rfind(".new", 0), 0u) << entry.path();
  connection c(dir / "ns", {}, "torqa", "torqa");
  EXPECT_NE(c.get_schema().find_class("T.Thing"), nullptr);
  EXPECT_EQ(c.ns().limits().time_ms, 10000);
  EXPECT_EQ(mode(dir / "ns/objects.db-wal"), 0600u);
}

TEST(name_space, connects_while_another_process_holds_a_write_transaction) {
  test::temp_dir dir;
  std::ofstream(dir / "good.tq") << "class T.Thing\n  property P: string\nend class\n";
  EXPECT_EQ(login_code(dir / "ns", {.fasthash = true, .schema_file = dir / "good.tq"}), 0);
  // The namespace is closed in this process; a writer outside it holds the write lock.
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "ns/objects.db").c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE; INSERT INTO T_Thing(P) VALUES('x')", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(login_code(dir / "ns", {}), 0);
  sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(writer);
}

TEST(login_throttle, failures_double_the_wait_up_to_a_bound_and_success_clears_it) {
  using namespace std::chrono_literals;
  login_throttle t;
  const auto now = login_throttle::clock::now();
  EXPECT_EQ(t.not_before("ann"), login_throttle::clock::time_point{});
  t.failed("ann", now);
  EXPECT_EQ(t.not_before("ann"), now + 100ms);
  t.failed("ann", now);
  t.failed("ann", now);
  EXPECT_EQ(t.not_before("ann"), now + 400ms);
  for (int i = 0; i < 40; ++i) t.failed("ann", now);
  EXPECT_EQ(t.not_before("ann"), now + login_throttle::max_delay);
  EXPECT_EQ(t.not_before("bob"), login_throttle::clock::time_point{});  // names apart
  t.succeeded("ann");
  EXPECT_EQ(t.not_before("ann"), login_throttle::clock::time_point{});
  // Guessed names do not grow it without bound; the newest failure is kept.
  for (std::size_t i = 0; i <= login_throttle::max_names; ++i) t.failed("guess" + std::to_string(i), now);
  t.failed("ann", now);
  EXPECT_EQ(t.not_before("ann"), now + 100ms);
}

}  // namespace
}  // namespace torqa::server
