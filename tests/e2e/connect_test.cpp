// Connecting to the embedded server, and every refusal.
#include "e2e_util.h"

#include <filesystem>
#include <fstream>

namespace torqa::e2e {
namespace {

TEST(e2e_connect, a_new_namespace_has_the_initial_user_and_keeps_its_text_form) {
  namespace_dir dir;
  config unicode{true, false, 32768};
  {
    Db_err err;
    Handle<Conn_t> c = connect(dir.path(), unicode, "torqa", "torqa", &err);
    ASSERT_TRUE(c->is_active()) << err.msg;
    EXPECT_EQ(err.code, 0);
    Database db(c, false);
    EXPECT_TRUE(db.is_uni_srv());
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/schema.tq"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/objects.db"));
    // One session per connection.
    try {
      Database second(c, false);
      ADD_FAILURE() << "a second session started";
    } catch (const Db_err& e) {
      EXPECT_EQ(e.msg, "Connection is busy");
    }
  }
  // An existing namespace keeps its setting whatever the options say.
  Handle<Conn_t> again = connect(dir.path(), config{false, false, 32768});
  ASSERT_TRUE(again->is_active());
  Database db(again, false);
  EXPECT_TRUE(db.is_uni_srv());
}

TEST(e2e_connect, refusals_leave_an_inactive_connection) {
  namespace_dir dir;
  const config c;
  ASSERT_TRUE(connect(dir.path(), c)->is_active());  // creates the namespace

  const auto refused = [](Handle<Conn_t> h, const Db_err& err, int code, const char* msg) {
    EXPECT_FALSE(h->is_active());
    EXPECT_EQ(err.code, code);
    EXPECT_EQ(err.msg, msg);
    try {
      Database db(h, false);
      ADD_FAILURE() << "a session started on a refused connection";
    } catch (const Db_err& e) {
      EXPECT_EQ(e.msg, "Connection is not active");
    }
  };
  Db_err err;
  refused(connect(dir.path(), c, "torqa", "wrong", &err), err, -1014, "couldn't connect");
  refused(connect(dir.path(), c, "nobody", "torqa", &err), err, -1014, "couldn't connect");
  const auto with = [&](const std::string& text) {
    return tcp_conn::connect(d_string(text.c_str()), d_string("torqa"), d_string("torqa"), &err);
  };
  refused(with("remote[]:" + dir.path()), err, -1015, "couldn't connect");
  refused(with("local[chunk=0]:" + dir.path()), err, -1015, "couldn't connect");
  refused(with("local[colour=red]:" + dir.path()), err, -1015, "couldn't connect");
  refused(with("local[]:"), err, -1015, "couldn't connect");
  refused(with("local:" + dir.path()), err, -1000, "invalid connection string");
  // A directory that cannot be made.
  refused(with("local[]:/proc/torqa-cannot-be-here"), err, -1010, "couldn't connect");
  // A schema that does not parse.
  namespace_dir broken;
  std::filesystem::create_directories(broken.path());
  std::ofstream(broken.path() + "/schema.tq") << "class Bad\n";
  refused(with("local[]:" + broken.path()), err, -1010, "couldn't connect");
}

}  // namespace
}  // namespace torqa::e2e
