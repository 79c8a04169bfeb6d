#include <torqa/torqa.h>

#include "support/session_fixture.h"

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
  proxies() { Person::alive = Person::made = Account::alive = Account::made = 0; }
  void TearDown() override {
    s.end();
    EXPECT_EQ(Person::alive + Account::alive, 0);
  }
  Person* person(int oid) { return new Person(&*s.db, oid); }
  Proxies_info& reg() { return s.db->get_proxies(); }
  // The open count of `oid`, the registered and the living proxies, and
  // the requests sent.
  std::string state(int oid) {
    return std::to_string(reg().open_count(oid)) + " open, " + std::to_string(reg().proxy_count()) +
           " registered, " + std::to_string(Person::alive + Account::alive) + " alive; " + s.all_sent();
  }
  // A stream over `bytes`, which must outlive it.
  t_istrstream& over(std::string& bytes) {
    in = std::make_unique<t_istrstream>(bytes.data(), static_cast<int>(bytes.size()));
    return *in;
  }

  session s;
  std::unique_ptr<t_istrstream> in;
};

TEST_F(proxies, proxy_without_object_counts_and_sends_nothing) {
  {
    counted<Person> r(person(0));
    EXPECT_TRUE(r.is_null() && r.get_proxy() == nullptr);
    EXPECT_EQ(state(0), "0 open, 0 registered, 1 alive; ");
  }
  EXPECT_EQ(state(0), "0 open, 0 registered, 0 alive; ");  // the null reference still owned and deleted it
  d_ref<Person> none;
  EXPECT_EQ(thrown([&] { none->give_up(); }), "-1000 null reference");
}

TEST_F(proxies, two_proxy_types_hold_one_id_open_until_the_second_closes) {
  d_ref<Person> a(person(7));
  d_ref<Account> b(new Account(&*s.db, 7));
  EXPECT_EQ(state(7), "2 open, 2 registered, 2 alive; ");
  a.set_null();
  EXPECT_EQ(state(7), "1 open, 1 registered, 1 alive; ");
  s.drv.reply(no_error);
  b.set_null();
  EXPECT_EQ(state(7), "0 open, 0 registered, 0 alive; B6 03 04 07; ");
}

TEST_F(proxies, assignment_and_set_null_share_and_release_the_proxy) {
  counted<Person> a(person(3));
  counted<Person> b(a);
  counted<Person>& same = a;
  a = same;
  a = b;
  b = a;
  EXPECT_EQ(a.shares(), 2);
  EXPECT_EQ(state(3), "1 open, 1 registered, 1 alive; ");

  counted<Person> other(person(4));
  b = other;  // a still holds 3
  EXPECT_EQ(a.shares(), 1);
  EXPECT_EQ(other.shares(), 2);
  s.drv.reply(no_error);
  a = other;  // the last reference to 3
  EXPECT_EQ(other.shares(), 3);
  EXPECT_EQ(state(3), "0 open, 1 registered, 1 alive; B6 03 04 03; ");

  b.set_null();
  a.set_null();
  EXPECT_TRUE(b.is_null() && b.get_proxy() == nullptr);
  EXPECT_EQ(other.shares(), 1);
  s.drv.reply(no_error);
  other.set_null();  // the last one: unregistered, deleted, closed
  other.set_null();  // already null: nothing more
  EXPECT_EQ(state(4), "0 open, 0 registered, 0 alive; B6 03 04 03; B6 03 04 04; ");
}

TEST_F(proxies, close_failures) {
  // A failed server close reaches set_null, not a destructor; the proxy is
  // gone all the same.
  d_ref<Person> a(person(5));
  s.drv.reply(bytes_elem(err_record(-7, "close failed")));
  EXPECT_EQ(thrown([&] { a.set_null(); }), "-7 close failed (close 0 0)");
  EXPECT_TRUE(a.is_null());
  EXPECT_EQ(state(5), "0 open, 0 registered, 0 alive; B6 03 04 05; ");
  {
    d_ref<Person> b(person(6));
    s.drv.reply(bytes_elem(err_record(-7, "close failed")));
  }
  EXPECT_EQ(state(6), "0 open, 0 registered, 0 alive; B6 03 04 05; B6 03 04 06; ");

  // An open count lost behind the proxy's back leaves it holding its id.
  Person p(&*s.db, 9);
  reg().dec_ref_cnt(9);
  EXPECT_EQ(thrown([&] { p.give_up(); }), "-1 assertion failed in dec_ref_cnt()");
  EXPECT_TRUE(p.get_oid() == 9 && !p.is_closed());
  EXPECT_EQ(s.drv.requests.size(), 2u);
}

TEST_F(proxies, put_writes_the_id_or_null_and_only_typed_references_read) {
  d_ref<Person> live(person(300)), neg(person(-2)), none;
  t_ostrstream os;
  for (const auto* r : {&live, &neg, &none}) r->put(os, nullptr);
  EXPECT_EQ(hex(std::string(os.data(), os.size())), "04 04 2C 01 03 05 FE 02 01");

  abs_d_ref abstract(nullptr);
  std::string bytes = bytes_elem("1@A");
  EXPECT_EQ(thrown([&] { abstract.get(over(bytes), &*s.db); }), "-1 assertion failed in abs_d_type");
  s.drv.reply(no_error);
  s.drv.reply(no_error);
}

TEST_F(proxies, reference_text_gives_id_and_class_name) {
  const auto units = u16(u"4021@Sample.Person");
  const struct {
    std::string bytes;
    const char* parsed;
  } cases[] = {
      {bytes_elem("12@A.B"), "12 A.B"},
      {elems([&](t_ostream& o) { o.put_str(2, reinterpret_cast<const char*>(units.data()), 36); }, true),
       "4021 Sample.Person"},
      {bytes_elem(""), "0 (null)"},
      {bytes_elem("37"), "37 (null)"},  // no '@': the digits, no class
      {bytes_elem("8@"), "8 "},         // '@' last: an empty class name
  };
  for (const auto& c : cases) {
    std::string bytes = c.bytes + elems([](t_ostream& o) { o << 5; });
    static const unsigned short stale[] = {'x', 0};
    int id = -1;
    const unsigned short* cls = stale;
    abs_d_ref::get_oref_n_name(over(bytes), &id, &cls);
    std::string parsed = std::to_string(id) + (cls == nullptr ? " (null)" : " ");
    for (const unsigned short* p = cls; p != nullptr && *p != 0; ++p) parsed += static_cast<char>(*p);
    EXPECT_EQ(parsed, c.parsed);
    int next = 0;
    *in >> next;  // the value after it is left unread
    EXPECT_EQ(next, 5) << c.parsed;
  }
}

TEST_F(proxies, typed_get_shares_a_registered_proxy_or_makes_one) {
  d_ref<Person> first(person(12));
  d_ref<Account> other_type(new Account(&*s.db, 13));
  std::string bytes =
      bytes_elem("12@Sample.Person") + bytes_elem("13@Sample.Person") + bytes_elem("") + bytes_elem("44");
  t_istrstream& in = over(bytes);
  counted<Person> r;
  r.get(in, &*s.db);
  EXPECT_EQ(r.get_proxy(), first.get_proxy());
  EXPECT_EQ(r.shares(), 2);
  EXPECT_EQ(state(12), "1 open, 2 registered, 2 alive; ");

  // 13 is registered only as an Account: a Person proxy is made for it.
  r.get(in, &*s.db);
  EXPECT_EQ(r.get_proxy()->get_oid(), 13);
  EXPECT_EQ(r.shares(), 1);
  EXPECT_EQ(state(13), "2 open, 3 registered, 3 alive; ");

  // An empty text, or one naming no class, reads as the null reference.
  r.get(in, &*s.db);
  EXPECT_TRUE(r.is_null());
  EXPECT_EQ(state(13), "1 open, 2 registered, 2 alive; ");
  r.get(in, &*s.db);
  EXPECT_TRUE(r.is_null());
  EXPECT_EQ(Person::made, 1);

  // An explicitly closed proxy is no longer shared: a new one is made.
  s.drv.reply(no_error);
  first->give_up();
  EXPECT_TRUE(first.check_null() && first.is_null());
  EXPECT_EQ(state(12), "0 open, 1 registered, 2 alive; B6 03 04 0C; ");
  bytes = bytes_elem("12@Sample.Person");
  r.get(over(bytes), &*s.db);
  EXPECT_EQ(Person::made, 2);
  EXPECT_EQ(state(12), "1 open, 2 registered, 3 alive; B6 03 04 0C; ");
  s.drv.reply(no_error);
  s.drv.reply(no_error);
}

TEST(proxies_info, a_second_registration_keeps_the_first) {
  Proxies_info info;
  Person p1(nullptr, 0), p2(nullptr, 0);
  int c1 = 1, c2 = 1;
  Obj_t* got = nullptr;
  int* got_cnt = nullptr;
  info.insert_proxy_info(1, typeid(Person), &p1, &c1);
  info.insert_proxy_info(1, typeid(Person), &p2, &c2);
  ASSERT_TRUE(info.get_proxy_info(1, typeid(Person), &got, &got_cnt));
  EXPECT_TRUE(got == &p1 && got_cnt == &c1);
  EXPECT_FALSE(info.get_proxy_info(1, typeid(Account), &got, &got_cnt));
  info.erase_proxy_info(1, typeid(Account));
  EXPECT_EQ(info.proxy_count(), 1u);
}

}  // namespace
