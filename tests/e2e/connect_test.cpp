// Connecting to the embedded server and to the daemon, and every refusal.
#include "e2e_util.h"

#include <filesystem>
#include <fstream>

namespace torqa::e2e {
namespace {

TEST(e2e_connect, a_new_namespace_has_the_initial_user_and_keeps_its_text_form) {
  namespace_dir dir;
  {
    Db_err err;
    Handle<Conn_t> c = connect(dir.path(), config{true, false, 32768}, "torqa", "torqa", &err);
    ASSERT_TRUE(c->is_active()) << err.msg;
    EXPECT_EQ(err.code, 0);
    Database db(c, false);
    EXPECT_TRUE(db.is_uni_srv());
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/schema.tq"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() + "/objects.db"));
  }
  // An existing namespace keeps its setting whatever the options say.
  Handle<Conn_t> again = connect(dir.path(), config{false, false, 32768});
  ASSERT_TRUE(again->is_active());
  EXPECT_TRUE(Database(again, false).is_uni_srv());
}

TEST(e2e_connect, refusals_leave_an_inactive_connection) {
  namespace_dir dir, broken;
  ASSERT_TRUE(connect(dir.path(), config{})->is_active());  // creates the namespace
  std::filesystem::create_directories(broken.path());
  std::ofstream(broken.path() + "/schema.tq") << "class Bad\n";  // a schema that does not parse
  const struct {
    std::string text, user, password;
    std::string refused;  // and the driver's reason: SQLSTATE and message
  } cases[] = {
      {"", "torqa", "wrong", "-1014 couldn't connect | 28000 unknown user or wrong password"},
      {"", "nobody", "torqa", "-1014 couldn't connect | 28000 unknown user or wrong password"},
      {"remote[]:" + dir.path(), "torqa", "torqa", "-1015 couldn't connect | 08001 bad port '' for host remote"},
      {"127.0.0.1[65536]:ns", "torqa", "torqa", "-1015 couldn't connect | 08001 bad port '65536' for host 127.0.0.1"},
      {"127.0.0.1[1]:ns", "torqa", "torqa",  // no daemon there
       "-1010 couldn't connect | 08001 cannot connect to 127.0.0.1 port 1: Connection refused"},
      {"local[chunk=0]:" + dir.path(), "torqa", "torqa",
       "-1015 couldn't connect | 08001 bad connection option 'chunk=0'"},
      {"local[colour=red]:" + dir.path(), "torqa", "torqa",
       "-1015 couldn't connect | 08001 bad connection option 'colour=red'"},
      {"local[]:", "torqa", "torqa", "-1015 couldn't connect | 08001 no namespace directory given"},
      {"local:" + dir.path(), "torqa", "torqa", "-1000 invalid connection string"},
      {"local[]:/proc/torqa-cannot-be-here", "torqa", "torqa",  // cannot be made
       "-1010 couldn't connect | 08001 cannot use the directory /proc/torqa-cannot-be-here"},
      {"local[]:" + broken.path(), "torqa", "torqa",
       "-1010 couldn't connect | 08001 " + broken.path() + "/schema.tq: schema line 1: bad class name 'Bad'"},
  };
  for (const auto& c : cases) {
    Db_err err;
    Handle<Conn_t> h = c.text.empty() ? connect(dir.path(), config{}, c.user.c_str(), c.password.c_str(), &err)
                                      : tcp_conn::connect(d_string(c.text.c_str()), d_string(c.user.c_str()),
                                                          d_string(c.password.c_str()), &err);
    EXPECT_FALSE(h->is_active()) << c.text;
    const std::string why = err.diag.state.empty() ? "" : " | " + err.diag.state + " " + err.diag.text;
    EXPECT_EQ(described(err) + why, c.refused) << c.text;
    EXPECT_EQ(thrown([&] { Database db(h, false); }), "-1000 Connection is not active");
  }
}

TEST(e2e_connect, the_daemon_makes_a_namespace_on_first_use_and_refuses_bad_names) {
  namespace_dir data;
  const auto unicode = [](const torqad& d, const char* ns) {
    Db_err err;
    Handle<Conn_t> c = tcp_conn::connect(d_string(d.address(ns).c_str()), d_string("torqa"), d_string("torqa"), &err);
    if (!c->is_active()) return described(err) + " | " + err.diag.state + " " + err.diag.text;
    return std::string(Database(c, false).is_uni_srv() ? "16-bit" : "8-bit");
  };
  {
    torqad wide(data.path(), {"--unicode"});
    EXPECT_EQ(unicode(wide, "a"), "16-bit");
    EXPECT_EQ(wide.stop(SIGTERM), 0) << wide.log();
  }
  // Started again without --unicode: a namespace keeps its text form, a new one is 8-bit.
  torqad narrow(data.path());
  EXPECT_EQ(unicode(narrow, "a"), "16-bit");
  EXPECT_EQ(unicode(narrow, "b"), "8-bit");
  for (const char* bad : {".a", "a/b", "..", "x\xC3\xA9"})
    EXPECT_EQ(unicode(narrow, bad), "-1015 couldn't connect | 08001 bad namespace name") << bad;
  EXPECT_EQ(narrow.stop(SIGTERM), 0) << narrow.log();
}

}  // namespace
}  // namespace torqa::e2e
