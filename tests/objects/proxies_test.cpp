#include <torqa/torqa.h>

#include "support/scripted_driver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace torqa::test;

namespace {

// Two proxy types as generated code would write them; `alive` counts the
// proxies in existence, `made` those built by d_ref<T>::get.
template <int Tag>
class proxy : public Obj_t {
 public:
  proxy(Database* db, int oid) {
    ++alive;
    init_openref(db, oid);
  }
  ~proxy() override { --alive; }
  static proxy* make_proxy(Database* db, int oid, const unsigned short*) {
    ++made;
    return new proxy(db, oid);
  }
  void give_up() { close(); }
  static inline int alive = 0;
  static inline int made = 0;
};
using Person = proxy<1>;
using Account = proxy<2>;

// A reference that shows how many references share its proxy.
template <class T>
class counted : public d_ref<T> {
 public:
  using d_ref<T>::d_ref;
  int shares() const { return *this->ref_cnt; }
};

const std::string no_error = bytes_elem("");

class proxies : public ::testing::Test {
 protected:
  void SetUp() override {
    Person::alive = Person::made = Account::alive = Account::made = 0;
    conn = tcp_conn::connect("local[1972]:USER", "user", "pw", nullptr);
    drv.reply(startup_reply());
    db = std::make_unique<Database>(conn, false);
    drv.requests.clear();
  }
  void TearDown() override {
    drv.reply(no_error + no_error);
    db.reset();
    EXPECT_EQ(Person::alive + Account::alive, 0);
  }

  Proxies_info& reg() { return db->get_proxies(); }
  // Codes of the requests sent since SetUp (the closing "B1" excluded).
  std::string codes() const {
    std::string s;
    for (const auto& r : drv.requests) s += r.code + ' ';
    return s;
  }

  scripted_driver drv;
  Handle<Conn_t> conn;
  std::unique_ptr<Database> db;
};

// A stream over the bytes of `s` (kept alive by the caller).
std::unique_ptr<t_istrstream> over(std::string& s) {
  return std::make_unique<t_istrstream>(s.data(), static_cast<int>(s.size()));
}

std::u16string text(const unsigned short* p) {
  std::u16string s;
  for (; p != nullptr && *p != 0; ++p) s += static_cast<char16_t>(*p);
  return s;
}

TEST_F(proxies, proxy_without_object_counts_and_sends_nothing) {
  {
    counted<Person> r(new Person(db.get(), 0));
    EXPECT_TRUE(r.get_proxy() == nullptr);
    EXPECT_TRUE(r.is_null());
    EXPECT_EQ(reg().proxy_count(), 0u);
    EXPECT_EQ(reg().open_count(0), 0);
    EXPECT_EQ(Person::alive, 1);
  }
  EXPECT_EQ(Person::alive, 0);  // the null reference still owned and deleted it
  EXPECT_TRUE(drv.requests.empty());

  d_ref<Person> none;
  try {
    none->give_up();
    FAIL() << "no throw";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1000);
    EXPECT_EQ(e.msg, "null reference");
  }
}

TEST_F(proxies, two_proxy_types_hold_one_id_open_until_the_second_closes) {
  d_ref<Person> a(new Person(db.get(), 7));
  d_ref<Account> b(new Account(db.get(), 7));
  EXPECT_EQ(reg().proxy_count(), 2u);
  EXPECT_EQ(reg().open_count(7), 2);

  a.set_null();
  EXPECT_TRUE(drv.requests.empty());
  EXPECT_EQ(reg().open_count(7), 1);
  EXPECT_EQ(reg().proxy_count(), 1u);

  drv.reply(no_error);
  b.set_null();
  ASSERT_EQ(codes(), "B6 ");
  EXPECT_EQ(hex(drv.requests[0].payload), "03 04 07");
  EXPECT_EQ(reg().open_count(7), 0);
  EXPECT_EQ(reg().proxy_count(), 0u);
}

TEST_F(proxies, assignment_within_one_proxy_changes_nothing) {
  counted<Person> a(new Person(db.get(), 3));
  counted<Person> b(a);
  EXPECT_EQ(a.shares(), 2);
  counted<Person>& same = a;
  a = same;
  a = b;
  b = a;
  EXPECT_EQ(a.shares(), 2);
  EXPECT_EQ(reg().open_count(3), 1);
  EXPECT_TRUE(drv.requests.empty());

  counted<Person> other(new Person(db.get(), 4));
  b = other;  // a still holds 3
  EXPECT_EQ(a.shares(), 1);
  EXPECT_EQ(other.shares(), 2);
  EXPECT_TRUE(drv.requests.empty());
  drv.reply(no_error);
  a = other;  // the last reference to 3
  EXPECT_EQ(other.shares(), 3);
  ASSERT_EQ(codes(), "B6 ");
  EXPECT_EQ(hex(drv.requests[0].payload), "03 04 03");
  EXPECT_EQ(Person::alive, 1);
  drv.reply(no_error);
}

TEST_F(proxies, set_null_on_the_last_reference_unregisters_deletes_and_closes) {
  counted<Person> a(new Person(db.get(), 5));
  counted<Person> b(a);
  b.set_null();
  EXPECT_TRUE(b.is_null());
  EXPECT_TRUE(b.get_proxy() == nullptr);
  EXPECT_EQ(a.shares(), 1);
  EXPECT_TRUE(drv.requests.empty());

  drv.reply(no_error);
  a.set_null();
  EXPECT_TRUE(a.is_null());
  EXPECT_EQ(Person::alive, 0);
  EXPECT_EQ(reg().proxy_count(), 0u);
  EXPECT_EQ(reg().open_count(5), 0);
  ASSERT_EQ(codes(), "B6 ");
  EXPECT_EQ(hex(drv.requests[0].payload), "03 04 05");
  a.set_null();  // already null: nothing more
  EXPECT_EQ(drv.requests.size(), 1u);
}

TEST_F(proxies, failed_server_close_reaches_set_null_but_not_a_destructor) {
  d_ref<Person> a(new Person(db.get(), 5));
  drv.reply(bytes_elem(err_record(-7, "close failed")));
  EXPECT_THROW(a.set_null(), Err_close_obj);
  // The proxy is gone all the same, and the reference is null.
  EXPECT_EQ(Person::alive, 0);
  EXPECT_TRUE(a.is_null());
  EXPECT_EQ(reg().open_count(5), 0);
  EXPECT_EQ(reg().proxy_count(), 0u);

  {
    d_ref<Person> b(new Person(db.get(), 6));
    drv.reply(bytes_elem(err_record(-7, "close failed")));
  }  // no throw out of the destructor
  EXPECT_EQ(Person::alive, 0);
  EXPECT_EQ(codes(), "B6 B6 ");
}

TEST_F(proxies, close_failures_leave_the_proxy_holding_its_id) {
  Person p(db.get(), 9);
  reg().dec_ref_cnt(9);  // the open count is lost behind the proxy's back
  try {
    p.give_up();
    FAIL() << "no throw";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1);
    EXPECT_EQ(e.msg, "assertion failed in dec_ref_cnt()");
  }
  EXPECT_EQ(p.get_oid(), 9);
  EXPECT_FALSE(p.is_closed());
  EXPECT_TRUE(drv.requests.empty());
}

TEST_F(proxies, an_explicitly_closed_proxy_is_no_longer_shared) {
  counted<Person> a(new Person(db.get(), 12));
  drv.reply(no_error);
  a->give_up();
  EXPECT_EQ(reg().proxy_count(), 0u);
  EXPECT_TRUE(a.check_null());
  EXPECT_TRUE(a.is_null());

  // A reference to the same object now builds a new proxy.
  std::string bytes = bytes_elem("12@Sample.Person");
  d_ref<Person> b;
  b.get(*over(bytes), db.get());
  EXPECT_EQ(Person::made, 1);
  EXPECT_NE(b.get_proxy(), nullptr);
  EXPECT_EQ(reg().open_count(12), 1);
  drv.reply(no_error);
}

TEST_F(proxies, put_writes_the_id_or_null_and_only_typed_references_read) {
  d_ref<Person> live(new Person(db.get(), 300));
  d_ref<Person> neg(new Person(db.get(), -2));
  d_ref<Person> none;
  t_ostrstream os;
  live.put(os, nullptr);
  neg.put(os, nullptr);
  none.put(os, nullptr);
  EXPECT_EQ(hex(std::string(os.data(), os.size())), "04 04 2C 01 03 05 FE 02 01");

  abs_d_ref abstract(nullptr);
  std::string bytes = bytes_elem("1@A");
  try {
    abstract.get(*over(bytes), db.get());
    FAIL() << "no throw";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1);
    EXPECT_EQ(e.msg, "assertion failed in abs_d_type");
  }
  drv.reply(no_error);
  drv.reply(no_error);
}

TEST_F(proxies, reference_text_gives_id_and_class_name) {
  int id = -1;
  const unsigned short* cls = nullptr;

  // 8-bit and 16-bit texts, each followed by another value left unread.
  std::string bytes = bytes_elem("12@A.B") + elems([](t_ostream& o) { o << 5; });
  auto in = over(bytes);
  abs_d_ref::get_oref_n_name(*in, &id, &cls);
  EXPECT_EQ(id, 12);
  EXPECT_EQ(text(cls), u"A.B");
  int next = 0;
  *in >> next;
  EXPECT_EQ(next, 5);

  const auto units = u16(u"4021@Sample.Person");
  bytes = elems([&](t_ostream& o) { o.put_str(2, reinterpret_cast<const char*>(units.data()), 36); }, true);
  abs_d_ref::get_oref_n_name(*over(bytes), &id, &cls);
  EXPECT_EQ(id, 4021);
  EXPECT_EQ(text(cls), u"Sample.Person");

  bytes = bytes_elem("");
  abs_d_ref::get_oref_n_name(*over(bytes), &id, &cls);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(cls, nullptr);

  // No '@': the digits, and no class; '@' last: an empty class name.
  bytes = bytes_elem("37");
  abs_d_ref::get_oref_n_name(*over(bytes), &id, &cls);
  EXPECT_EQ(id, 37);
  EXPECT_EQ(cls, nullptr);
  bytes = bytes_elem("8@");
  abs_d_ref::get_oref_n_name(*over(bytes), &id, &cls);
  EXPECT_EQ(id, 8);
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(text(cls), u"");
}

TEST_F(proxies, typed_get_shares_a_registered_proxy_or_makes_one) {
  d_ref<Person> first(new Person(db.get(), 12));
  d_ref<Account> other_type(new Account(db.get(), 13));

  std::string bytes = bytes_elem("12@Sample.Person") + bytes_elem("13@Sample.Person") + bytes_elem("") +
                      bytes_elem("44");
  auto in = over(bytes);
  counted<Person> r;
  r.get(*in, db.get());
  EXPECT_EQ(r.get_proxy(), first.get_proxy());
  EXPECT_EQ(r.shares(), 2);
  EXPECT_EQ(Person::made, 0);
  EXPECT_EQ(reg().open_count(12), 1);

  // 13 is registered only as an Account: a Person proxy is made for it.
  r.get(*in, db.get());
  EXPECT_EQ(Person::made, 1);
  EXPECT_EQ(r.get_proxy()->get_oid(), 13);
  EXPECT_EQ(r.shares(), 1);
  EXPECT_EQ(reg().open_count(13), 2);
  EXPECT_EQ(reg().proxy_count(), 3u);

  // An empty text, or one naming no class, reads as the null reference.
  r.get(*in, db.get());
  EXPECT_TRUE(r.is_null());
  EXPECT_EQ(reg().open_count(13), 1);
  r.get(*in, db.get());
  EXPECT_TRUE(r.is_null());
  EXPECT_EQ(Person::made, 1);
  EXPECT_TRUE(drv.requests.empty());
  drv.reply(no_error);
  drv.reply(no_error);
}

TEST(proxies_info, registry_and_open_counts) {
  Proxies_info info;
  Person p1(nullptr, 0), p2(nullptr, 0);
  int c1 = 1, c2 = 1;
  Obj_t* got = &p2;
  int* got_cnt = &c2;
  EXPECT_FALSE(info.get_proxy_info(1, typeid(Person), &got, &got_cnt));
  EXPECT_EQ(got, &p2);  // untouched
  EXPECT_EQ(got_cnt, &c2);

  info.insert_proxy_info(1, typeid(Person), &p1, &c1);
  info.insert_proxy_info(1, typeid(Person), &p2, &c2);  // kept: the first
  ASSERT_TRUE(info.get_proxy_info(1, typeid(Person), &got, &got_cnt));
  EXPECT_EQ(got, &p1);
  EXPECT_EQ(got_cnt, &c1);
  EXPECT_FALSE(info.get_proxy_info(1, typeid(Account), &got, &got_cnt));
  info.erase_proxy_info(1, typeid(Account));
  EXPECT_EQ(info.proxy_count(), 1u);

  EXPECT_EQ(*info.inc_ref_cnt(8), 1);
  EXPECT_EQ(*info.inc_ref_cnt(8), 2);
  EXPECT_EQ(info.dec_ref_cnt(8), 1);
  EXPECT_EQ(info.dec_ref_cnt(8), 0);
  try {
    info.dec_ref_cnt(8);
    FAIL() << "no throw";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1);
    EXPECT_EQ(e.msg, "assertion failed in dec_ref_cnt()");
  }
}

}  // namespace
