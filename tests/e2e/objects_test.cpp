// Objects end to end: creating, saving, reopening after a restart, values,
// references, opens and their errors, locks, transactions.
#include "e2e_util.h"
#include "support/value_bytes.h"

#include <torqa/query.h>
#include <torqa/transaction.h>

namespace torqa::e2e {
namespace {

class e2e_objects : public e2e_test {};

// An integer of any width, read with read_int.
struct wide_int : D_type {
  std::int64_t v = 0;
  void get(t_istream& is, Database*) override { is.read_int(v, null_); }
  void put(t_ostream& os, Database*) const override { os.put_int(v); }
};

TEST_P(e2e_objects, values_and_references_survive_a_restart) {
  const std::string accents = "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80";  // two-, three- and four-byte characters
  const std::string binary("\0\x01\xFE\xFF", 4);
  d_list codes;
  codes.set_uni_srv(db->is_uni_srv());
  codes.append_elem(std::int64_t{7});
  codes.append_elem("seven", 5);
  {
    d_ref<Dyn_obj> p = person(accents.c_str()), bob = person("Bob");
    d_int age(42);
    d_double height(1.75);
    d_binary photo(binary.data(), binary.size());
    const std::pair<const char16_t*, D_type*> values[] = {
        {u"Age", &age}, {u"Height", &height}, {u"Photo", &photo}, {u"Codes", &codes}};
    for (const auto& [name, value] : values) p->set(U(name), *value);
    p->set(U(u"Spouse"), bob);
    // Read back while a cached change is still pending: one proxy per object.
    EXPECT_EQ(p->get_ref<Dyn_obj>(U(u"Spouse")).get_proxy(), bob.get_proxy());
    EXPECT_EQ(id_of(p), "");  // not saved yet
    ASSERT_EQ(save(p), 0);    // saves Bob too
    EXPECT_EQ(id_of(p) + " " + id_of(bob), "1 2");
    d_ref<Dyn_obj> partner;
    partner.get(p->run_method_by_name(U(u"Partner"), nullptr, 0), db.get());
    EXPECT_EQ(partner.get_proxy(), bob.get_proxy());
  }
  restart();

  d_ref<Dyn_obj> p = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  EXPECT_EQ(read<d_string>(p, u"Name").mb_str(), accents);
  EXPECT_TRUE(read<d_int>(p, u"Age").value() == 42 && read<d_double>(p, u"Height").value() == 1.75);
  EXPECT_TRUE(read<d_binary>(p, u"Photo").bytes() == binary && read<d_list>(p, u"Codes").bytes() == codes.bytes());
  EXPECT_EQ(read<d_string>(p, u"Greeting").mb_str(), "Hello, " + accents);
  // The same object by persistent id shares the proxy.
  EXPECT_EQ(Dyn_obj::open_oid(*db, d_binary("Sample.Person||1", 16)).get_proxy(), p.get_proxy());

  d_ref<Dyn_obj> bob = p->get_ref<Dyn_obj>(U(u"Spouse"));
  EXPECT_TRUE(read<d_string>(bob, u"Name").mb_str() == "Bob" && bob->get_ref<Dyn_obj>(U(u"Spouse")).is_null());
  d_ref<Dyn_obj> null_ref;
  p->set(U(u"Spouse"), null_ref);
  ASSERT_EQ(save(p), 0);
  EXPECT_TRUE(p->get_ref<Dyn_obj>(U(u"Spouse")).is_null());
}

TEST_P(e2e_objects, empty_null_and_long_values) {
  d_ref<Dyn_obj> p = person("");
  EXPECT_TRUE(read<d_string>(p, u"Name").size() == 0u && read<d_date>(p, u"Birthday").is_null() &&
              read<d_timestamp>(p, u"Created").is_null());
  d_int age(5), null_age;
  p->set(U(u"Age"), age);
  p->set(U(u"Age"), null_age);
  EXPECT_TRUE(read<d_int>(p, u"Age").is_null());
  wide_int wide;
  wide.v = 5000000000;
  p->set(U(u"Age"), wide);
  ASSERT_EQ(save(p), 0);
  EXPECT_EQ(read<wide_int>(p, u"Age").v, 5000000000);

  // 20000 two-byte characters: 40000 bytes of UTF-8 text, as many in UTF-16.
  const std::string long_text = test::repeat("\xC3\xA9", 20000);
  d_string value(long_text.c_str());
  p->set(U(u"Name"), value);
  ASSERT_EQ(save(p), 0);
  // The cache carries values of any length; a result is bounded by the client's 32768-byte result buffer.
  if (GetParam().cached)
    EXPECT_EQ(read<d_string>(p, u"Name").mb_str(), long_text);
  else
    EXPECT_EQ(thrown([&] { read<d_string>(p, u"Name"); }).substr(0, 6), "-1011 ");
  const std::string shorter = test::repeat("\xE2\x82\xAC", 8000);  // 24000 bytes of UTF-8, 16000 of UTF-16
  value = d_string(shorter.c_str());
  p->set(U(u"Name"), value);
  EXPECT_EQ(read<d_string>(p, u"Name").mb_str(), shorter);
}

TEST_P(e2e_objects, open_errors_and_locks) {
  d_ref<Dyn_obj> created = person("Ann");
  ASSERT_EQ(save(created), 0);
  d_seq_query q(*db);
  EXPECT_EQ(thrown([&] { created->get_query(U(u"Nope"), q); }), "-1 query not found");
  created.set_null();
  EXPECT_EQ(thrown([&] { Dyn_obj::open(*db, U(u"Sample.Person"), U(u"99")); }), "-9 object not found (open 5809)");

  d_ref<Dyn_obj> mine = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"), 2);  // exclusive
  Handle<Conn_t> other_conn = ns.connect();
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
  // A cached change travels with the next request.
  EXPECT_EQ(thrown([&] { p->set(U(u"Height"), not_a_number), save(p); }).substr(0, 6), "-1007 ");
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
  restart();
  d_ref<Dyn_obj> kept = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  EXPECT_EQ(read<d_string>(kept, u"Name").mb_str(), "Kept");
}

TEST_P(e2e_objects, open_objects_see_rows_changed_by_sql) {
  d_ref<Dyn_obj> ann = person("Ann"), bob = person("Bob");
  ASSERT_TRUE(save(ann) == 0 && save(bob) == 0);
  d_int own(5);
  bob->set(U(u"Age"), own);
  id_of(bob);  // a request: a cached session sends the change with it
  d_seq_query q(*db);
  q.prepare(U(u"UPDATE Sample_Person SET Age = 99, Name = Name || '!'"), SQL_NTS);
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

TEST_P(e2e_objects, a_transaction_object_rolls_back_unless_committed) {
  {
    torqa::transaction t(*db);
    d_ref<Dyn_obj> p = person("Rolled back");
    ASSERT_EQ(save(p), 0);
  }
  EXPECT_EQ(thrown([&] { Dyn_obj::open(*db, "Sample.Person", "1"); }).substr(0, 3), "-9 ");
  try {
    torqa::transaction t(*db);
    d_ref<Dyn_obj> p = person("Thrown out");
    ASSERT_EQ(save(p), 0);
    throw std::runtime_error("leaves the scope");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(thrown([&] { Dyn_obj::open(*db, "Sample.Person", "1"); }).substr(0, 3), "-9 ");
  {
    torqa::transaction t(*db);
    d_ref<Dyn_obj> p = person("Kept");
    ASSERT_EQ(save(p), 0);
    t.commit();
    EXPECT_EQ(thrown([&] { t.commit(); }), "-1000 the transaction has ended");
  }
  EXPECT_EQ(thrown([&] { db->commit(); }).substr(0, 6), "-1008 ");  // nothing left open
  restart();
  EXPECT_EQ(Dyn_obj::open(*db, u"Sample.Person", u"1")->get<d_string>("Name").mb_str(), "Kept");
}

TEST_P(e2e_objects, names_as_text_and_values_as_temporaries) {
  d_ref<Dyn_obj> p = Dyn_obj::create(*db, "Sample.Person");
  p->set("Name", "Zo\xC3\xAB");
  p->set(u"Age", d_int(40));
  p->set(std::string("Height"), 1.5);
  p->set("Active", true);
  d_ref<Dyn_obj> home = Dyn_obj::create(*db, std::u16string(u"Sample.Address"));
  p->set("Home", home);
  EXPECT_EQ(p->call<d_status>("%Save").get_code(), 0);
  EXPECT_EQ(p->get<d_string>("Name").mb_str(), "Zo\xC3\xAB");
  EXPECT_EQ(p->get<d_int>("Age").value() + p->get<d_int>("Active").value(), 41);
  EXPECT_EQ(p->get<d_double>("Height").value(), 1.5);
  EXPECT_EQ(p->get<d_ref<Dyn_obj>>("Home").get_proxy(), home.get_proxy());

  d_int length;
  EXPECT_EQ(p->call<d_string>("Describe", "Dr ", torqa::out(length)).mb_str(), "Dr Zo\xC3\xAB (40)");
  EXPECT_EQ(length.value(), 12);  // bytes of the server's UTF-8 text
  p->call("Grow", 2);
  EXPECT_EQ(p->get<d_int>("Age").value(), 42);
  // An output argument passed as input (or the other way round) would be
  // lost silently; it is refused before anything is sent.
  EXPECT_EQ(thrown([&] { p->call<d_string>("Describe", "Dr ", length); }),
            "-1000 argument 2 is an output argument: pass it with out()");
  EXPECT_EQ(thrown([&] { p->call("Grow", torqa::out(length)); }), "-1000 argument 1 is not an output argument");
  EXPECT_EQ(thrown([&] { p->call("Grow", 1LL << 33); }), "-1000 integer out of range");
  EXPECT_EQ(thrown([&] { p->set("Nope", 1); }), "-1 property not found");
  EXPECT_EQ(thrown([&] { p->set("Na\xFFme", 1); }), "-1000 text is not UTF-8");
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_objects, all_configs(), [](const auto& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
