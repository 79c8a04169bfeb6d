// Objects end to end: creating, saving, reopening after a restart, every
// property type, references, opens and their errors, locks, transactions.
#include "e2e_util.h"

#include <cstring>

namespace torqa::e2e {
namespace {

class e2e_objects : public e2e_test {};

TEST_P(e2e_objects, every_property_type_survives_a_restart) {
  const std::string accents = "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80";  // two-, three- and four-byte characters
  const std::string binary("\0\x01\xFE\xFF", 4);
  std::string oid_bytes;
  {
    d_ref<Dyn_obj> p = person(accents.c_str());
    d_int age(42);
    d_double height(1.75);
    d_int active(1);
    d_binary photo(binary.data(), binary.size());
    d_list codes;
    codes.set_uni_srv(db->is_uni_srv());
    codes.append_elem(std::int64_t{7});
    codes.append_elem("seven", 5);
    d_date birthday(2000, 2, 29);
    d_time wake(6, 30, 15);
    d_timestamp created(2001, 2, 3, 4, 5, 6);
    p->set(U(u"Age"), age);
    p->set(U(u"Height"), height);
    p->set(U(u"Active"), active);
    p->set(U(u"Photo"), photo);
    p->set(U(u"Codes"), codes);
    p->set(U(u"Birthday"), birthday);
    p->set(U(u"WakeUp"), wake);
    p->set(U(u"Created"), created);
    EXPECT_EQ(id_of(p), "");  // not saved yet
    ASSERT_EQ(save(p), 0);
    EXPECT_EQ(id_of(p), "1");
    const auto oid = result<d_binary>(p->run_method_by_name(m_Oid, nullptr, 0), db.get());
    oid_bytes = oid.bytes();
  }
  EXPECT_EQ(oid_bytes, "Sample.Person||1");
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
  EXPECT_EQ(codes.count(), 2);
  std::int64_t first = 0;
  codes.move_to(0);
  codes.get_elem(&first);
  EXPECT_EQ(first, 7);
  const d_date birthday = read<d_date>(p, u"Birthday");
  EXPECT_EQ(birthday.get_tm()->tm_year, 100);
  EXPECT_EQ(birthday.get_tm()->tm_mon, 1);
  EXPECT_EQ(birthday.get_tm()->tm_mday, 29);
  const d_time wake = read<d_time>(p, u"WakeUp");
  EXPECT_EQ(wake.get_tm()->tm_hour * 3600 + wake.get_tm()->tm_min * 60 + wake.get_tm()->tm_sec, 6 * 3600 + 1815);
  const d_timestamp created = read<d_timestamp>(p, u"Created");
  EXPECT_EQ(created.get_tm()->tm_year, 101);
  EXPECT_EQ(created.get_tm()->tm_sec, 6);
  EXPECT_EQ(read<d_string>(p, u"Greeting").mb_str(), "Hello, " + accents);

  // The same object by persistent id shares the proxy.
  d_ref<Dyn_obj> again = Dyn_obj::open_oid(*db, d_binary(oid_bytes.data(), oid_bytes.size()));
  EXPECT_EQ(again.get_proxy(), p.get_proxy());
}

TEST_P(e2e_objects, empty_null_and_long_values) {
  d_ref<Dyn_obj> p = person("");
  EXPECT_EQ(read<d_string>(p, u"Name").size(), 0u);
  EXPECT_TRUE(read<d_int>(p, u"Age").is_null());
  EXPECT_TRUE(read<d_date>(p, u"Birthday").is_null());
  EXPECT_TRUE(read<d_timestamp>(p, u"Created").is_null());
  d_int age(5);
  p->set(U(u"Age"), age);
  d_int null_age;
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
    try {
      read<d_string>(p, u"Name");
      ADD_FAILURE() << "a result longer than the result buffer was sent";
    } catch (const Db_err& e) {
      EXPECT_EQ(e.code, -1011);
    }
  }
  std::string shorter;
  for (int i = 0; i < 8000; ++i) shorter += "\xE2\x82\xAC";  // 24000 bytes of UTF-8, 16000 of UTF-16
  value = d_string(shorter.c_str());
  p->set(U(u"Name"), value);
  EXPECT_EQ(read<d_string>(p, u"Name").mb_str(), shorter);
}

TEST_P(e2e_objects, references_share_proxies_and_persist) {
  {
    d_ref<Dyn_obj> ann = person("Ann");
    d_ref<Dyn_obj> bob = person("Bob");
    ann->set(U(u"Spouse"), bob);
    ASSERT_EQ(save(ann), 0);  // saves Bob too
    EXPECT_EQ(id_of(bob), "2");
    d_ref<Dyn_obj> spouse = ann->get_ref<Dyn_obj>(U(u"Spouse"));
    EXPECT_EQ(spouse.get_proxy(), bob.get_proxy());  // one proxy per object
    d_ref<Dyn_obj> partner;
    partner.get(ann->run_method_by_name(U(u"Partner"), nullptr, 0), db.get());
    EXPECT_EQ(partner.get_proxy(), bob.get_proxy());
  }
  close();
  open();
  d_ref<Dyn_obj> ann = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  d_ref<Dyn_obj> bob = ann->get_ref<Dyn_obj>(U(u"Spouse"));
  EXPECT_EQ(read<d_string>(bob, u"Name").mb_str(), "Bob");
  d_ref<Dyn_obj> none = bob->get_ref<Dyn_obj>(U(u"Spouse"));
  EXPECT_TRUE(none.is_null());
  d_ref<Dyn_obj> null_ref;
  ann->set(U(u"Spouse"), null_ref);
  ASSERT_EQ(save(ann), 0);
  EXPECT_TRUE(ann->get_ref<Dyn_obj>(U(u"Spouse")).is_null());
}

TEST_P(e2e_objects, a_reference_read_back_before_the_next_request) {
  d_ref<Dyn_obj> ann = person("Ann");
  d_ref<Dyn_obj> bob = person("Bob");
  ann->set(U(u"Spouse"), bob);
  EXPECT_EQ(ann->get_ref<Dyn_obj>(U(u"Spouse")).get_proxy(), bob.get_proxy());
}

TEST_P(e2e_objects, open_errors_and_locks) {
  {
    d_ref<Dyn_obj> p = person("Ann");
    ASSERT_EQ(save(p), 0);
  }
  try {
    Dyn_obj::open(*db, U(u"Sample.Person"), U(u"99"));
    ADD_FAILURE() << "opened a missing object";
  } catch (const Err_open_obj& e) {
    EXPECT_EQ(e.code, -9);
    EXPECT_EQ(e.srv_code, 5809);
    EXPECT_EQ(e.msg, "object not found");
  }
  Db_err err;
  db->openid_obj(U(u"Sample.Person"), U(u"99"), 0, 0, &err);
  EXPECT_EQ(err.code, -9);

  d_ref<Dyn_obj> mine = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"), 2);  // exclusive
  Handle<Conn_t> other_conn = connect(dir.path(), GetParam());
  Database other(other_conn, GetParam().cached);
  try {
    Dyn_obj::open(other, U(u"Sample.Person"), U(u"1"), 1);
    ADD_FAILURE() << "shared lock granted against an exclusive one";
  } catch (const Err_open_obj& e) {
    EXPECT_EQ(e.srv_code, 5804);
    EXPECT_EQ(e.msg, "couldn't aquire read lock");
  }
  mine.set_null();  // closes the object, dropping its lock (a cached session does so with its next request)
  d_ref<Dyn_obj> probe = Dyn_obj::create(*db, U(u"Sample.Address"));
  d_ref<Dyn_obj> theirs = Dyn_obj::open(other, U(u"Sample.Person"), U(u"1"), 1);
  try {
    Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"), 2);
    ADD_FAILURE() << "exclusive lock granted against a shared one";
  } catch (const Err_open_obj& e) {
    EXPECT_EQ(e.srv_code, 5803);
    EXPECT_EQ(e.msg, "couldn't aquire exclusive lock");
  }
}

TEST_P(e2e_objects, server_errors_reach_the_caller) {
  d_ref<Dyn_obj> p = person("Ann");
  d_string not_a_number("tall");
  try {
    p->set(U(u"Height"), not_a_number);
    if (GetParam().cached) save(p);  // a cached change travels with the next request
    ADD_FAILURE() << "accepted text for a double";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1007);
  }
  try {
    d_string g("x");
    p->set(U(u"Greeting"), g);
    ADD_FAILURE() << "changed a calculated property";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, GetParam().cached ? -1000 : -1012);
  }
}

TEST_P(e2e_objects, transactions_commit_and_roll_back) {
  db->start_transaction();
  {
    d_ref<Dyn_obj> p = person("Rolled back");
    ASSERT_EQ(save(p), 0);
  }
  db->rollback();
  EXPECT_THROW(Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1")), Err_open_obj);
  try {
    db->commit();
    ADD_FAILURE() << "commit without a transaction";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1008);
  }

  db->start_transaction();
  db->start_transaction();
  {
    d_ref<Dyn_obj> p = person("Kept");
    ASSERT_EQ(save(p), 0);
  }
  db->commit();
  db->commit();
  close();
  open();
  d_ref<Dyn_obj> kept = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  EXPECT_EQ(read<d_string>(kept, u"Name").mb_str(), "Kept");
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_objects, all_configs(),
                         [](const ::testing::TestParamInfo<config>& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
