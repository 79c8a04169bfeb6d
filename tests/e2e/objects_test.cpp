// Objects end to end: creating, saving, reopening after a restart, every
// property type, references, opens and their errors, locks, transactions.
#include "e2e_util.h"

#include <torqa/query.h>

#include <sstream>

namespace torqa::e2e {
namespace {

class e2e_objects : public e2e_test {};

template <class T>
std::string printed(const T& v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

TEST_P(e2e_objects, every_property_type_and_references_survive_a_restart) {
  const std::string accents = "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80";  // two-, three- and four-byte characters
  const std::string binary("\0\x01\xFE\xFF", 4);
  {
    d_ref<Dyn_obj> p = person(accents.c_str());
    d_ref<Dyn_obj> bob = person("Bob");
    d_int age(42), active(1);
    d_double height(1.75);
    d_binary photo(binary.data(), binary.size());
    d_list codes;
    codes.set_uni_srv(db->is_uni_srv());
    codes.append_elem(std::int64_t{7});
    codes.append_elem("seven", 5);
    d_date birthday(2000, 2, 29);
    d_time wake(6, 30, 15);
    d_timestamp created(2001, 2, 3, 4, 5, 6);
    const std::pair<const char16_t*, D_type*> values[] = {
        {u"Age", &age},     {u"Height", &height},     {u"Active", &active}, {u"Photo", &photo},
        {u"Codes", &codes}, {u"Birthday", &birthday}, {u"WakeUp", &wake},   {u"Created", &created}};
    for (const auto& [name, value] : values) p->set(U(name), *value);
    p->set(U(u"Spouse"), bob);
    // Read back before any other request (a cached change is still pending):
    // one proxy per object.
    EXPECT_EQ(p->get_ref<Dyn_obj>(U(u"Spouse")).get_proxy(), bob.get_proxy());
    EXPECT_EQ(id_of(p), "");  // not saved yet
    ASSERT_EQ(save(p), 0);    // saves Bob too
    EXPECT_EQ(id_of(p) + " " + id_of(bob), "1 2");
    EXPECT_EQ(result<d_binary>(p->run_method_by_name(m_Oid, nullptr, 0), db.get()).bytes(), "Sample.Person||1");
    d_ref<Dyn_obj> partner;
    partner.get(p->run_method_by_name(U(u"Partner"), nullptr, 0), db.get());
    EXPECT_EQ(partner.get_proxy(), bob.get_proxy());
  }
  close();
  open();

  d_ref<Dyn_obj> p = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  EXPECT_EQ(read<d_string>(p, u"Name").mb_str(), accents);
  EXPECT_EQ(read<d_int>(p, u"Age").value(), 42);
  EXPECT_DOUBLE_EQ(read<d_double>(p, u"Height").value(), 1.75);
  EXPECT_EQ(read<d_int>(p, u"Active").value(), 1);
  EXPECT_EQ(read<d_binary>(p, u"Photo").bytes(), binary);
  d_list codes;
  p->get(U(u"Codes"), codes);
  std::int64_t first = 0;
  d_string second;
  codes.move_to(0);
  codes.get_elem(&first);
  codes.move_to(1);
  codes.get_elem(second);
  EXPECT_EQ(std::to_string(codes.count()) + ": " + std::to_string(first) + " " + second.mb_str(), "2: 7 seven");
  EXPECT_EQ(printed(read<d_date>(p, u"Birthday")) + " " + printed(read<d_time>(p, u"WakeUp")) + " " +
                printed(read<d_timestamp>(p, u"Created")),
            "02/29/2000 06:30:15 04:05:06 02/03/2001");
  EXPECT_EQ(read<d_string>(p, u"Greeting").mb_str(), "Hello, " + accents);
  // The same object by persistent id shares the proxy.
  EXPECT_EQ(Dyn_obj::open_oid(*db, d_binary("Sample.Person||1", 16)).get_proxy(), p.get_proxy());

  d_ref<Dyn_obj> bob = p->get_ref<Dyn_obj>(U(u"Spouse"));
  EXPECT_EQ(read<d_string>(bob, u"Name").mb_str(), "Bob");
  EXPECT_TRUE(bob->get_ref<Dyn_obj>(U(u"Spouse")).is_null());
  d_ref<Dyn_obj> null_ref;
  p->set(U(u"Spouse"), null_ref);
  ASSERT_EQ(save(p), 0);
  EXPECT_TRUE(p->get_ref<Dyn_obj>(U(u"Spouse")).is_null());
}

TEST_P(e2e_objects, empty_null_and_long_values) {
  d_ref<Dyn_obj> p = person("");
  EXPECT_EQ(read<d_string>(p, u"Name").size(), 0u);
  EXPECT_TRUE(read<d_date>(p, u"Birthday").is_null());
  EXPECT_TRUE(read<d_timestamp>(p, u"Created").is_null());
  d_int age(5), null_age;
  p->set(U(u"Age"), age);
  p->set(U(u"Age"), null_age);
  EXPECT_TRUE(read<d_int>(p, u"Age").is_null());

  // 20000 two-byte characters: 40000 bytes of UTF-8 text, as many in UTF-16.
  std::string long_text;
  for (int i = 0; i < 20000; ++i) long_text += "\xC3\xA9";
  d_string value(long_text.c_str());
  p->set(U(u"Name"), value);
  ASSERT_EQ(save(p), 0);
  if (GetParam().cached) {
    // The cache carries values of any length.
    EXPECT_EQ(read<d_string>(p, u"Name").mb_str(), long_text);
  } else {
    // A result is bounded by the client's 32768-byte result buffer.
    EXPECT_EQ(thrown([&] { read<d_string>(p, u"Name"); }).substr(0, 6), "-1011 ");
  }
  std::string shorter;
  for (int i = 0; i < 8000; ++i) shorter += "\xE2\x82\xAC";  // 24000 bytes of UTF-8, 16000 of UTF-16
  value = d_string(shorter.c_str());
  p->set(U(u"Name"), value);
  EXPECT_EQ(read<d_string>(p, u"Name").mb_str(), shorter);
}

TEST_P(e2e_objects, open_errors_and_locks) {
  d_ref<Dyn_obj> created = person("Ann");
  ASSERT_EQ(save(created), 0);
  created.set_null();
  EXPECT_EQ(thrown([&] { Dyn_obj::open(*db, U(u"Sample.Person"), U(u"99")); }), "-9 object not found (open 5809)");
  Db_err err;
  db->openid_obj(U(u"Sample.Person"), U(u"99"), 0, 0, &err);
  EXPECT_EQ(err.msg, "object not found");

  d_ref<Dyn_obj> mine = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"), 2);  // exclusive
  Handle<Conn_t> other_conn = connect(dir.path(), GetParam());
  Database other(other_conn, GetParam().cached);
  EXPECT_EQ(thrown([&] { Dyn_obj::open(other, U(u"Sample.Person"), U(u"1"), 1); }),
            "-9 couldn't aquire read lock (open 5804)");
  d_ref<Dyn_obj> unlocked = Dyn_obj::open(other, U(u"Sample.Person"), U(u"1"), 0);  // no lock wanted
  mine.set_null();  // closes the object, dropping its lock (a cached session does so with its next request)
  d_ref<Dyn_obj> probe = Dyn_obj::create(*db, U(u"Sample.Address"));
  d_ref<Dyn_obj> theirs = Dyn_obj::open(other, U(u"Sample.Person"), U(u"1"), 1);
  EXPECT_EQ(thrown([&] { Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"), 2); }),
            "-9 couldn't aquire exclusive lock (open 5803)");
  EXPECT_EQ(thrown([&] { Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"), 1); }), "nothing thrown");  // shared
}

TEST_P(e2e_objects, server_errors_reach_the_caller) {
  d_ref<Dyn_obj> p = person("Ann");
  d_string not_a_number("tall"), g("x");
  EXPECT_EQ(thrown([&] {
              p->set(U(u"Height"), not_a_number);
              save(p);  // a cached change travels with the next request
            }).substr(0, 6),
            "-1007 ");
  EXPECT_EQ(thrown([&] { p->set(U(u"Greeting"), g); }).substr(0, 6), GetParam().cached ? "-1000 " : "-1012 ");
}

TEST_P(e2e_objects, transactions_commit_and_roll_back) {
  const auto saved = [&](const char* name) {
    d_ref<Dyn_obj> p = person(name);
    ASSERT_EQ(save(p), 0);
  };
  db->start_transaction();
  saved("Rolled back");
  db->rollback();
  EXPECT_EQ(thrown([&] { Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1")); }), "-9 object not found (open 5809)");
  EXPECT_EQ(thrown([&] { db->commit(); }).substr(0, 6), "-1008 ");  // no transaction
  db->start_transaction();
  db->start_transaction();
  saved("Kept");
  db->commit();
  db->commit();
  close();
  open();
  d_ref<Dyn_obj> kept = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  EXPECT_EQ(read<d_string>(kept, u"Name").mb_str(), "Kept");
}

TEST_P(e2e_objects, open_objects_see_rows_changed_by_sql) {
  d_ref<Dyn_obj> ann = person("Ann");
  d_ref<Dyn_obj> bob = person("Bob");
  ASSERT_EQ(save(ann), 0);
  ASSERT_EQ(save(bob), 0);
  d_int own(5);
  bob->set(U(u"Age"), own);
  id_of(bob);  // a request: a cached session sends the change with it
  d_seq_query q(*db);
  const std::u16string sql = u"UPDATE Sample_Person SET Age = 99, Name = Name || '!'";
  q.prepare(U(sql.c_str()), static_cast<int>(sql.size()));
  q.execute();
  q.close();
  // Describe reads the object on the server; its reply also refreshes a
  // cached session's copy. Bob's unsaved change keeps his values.
  d_string prefix("Dr ");
  d_int length;
  D_type* args[] = {&prefix, &length};
  EXPECT_EQ(result<d_string>(ann->run_method_by_name(U(u"Describe"), args, 2), db.get()).mb_str(), "Dr Ann! (99)");
  EXPECT_EQ(read<d_int>(ann, u"Age").value(), 99);
  EXPECT_EQ(result<d_string>(bob->run_method_by_name(U(u"Describe"), args, 2), db.get()).mb_str(), "Dr Bob (5)");
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_objects, all_configs(),
                         [](const ::testing::TestParamInfo<config>& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
