#include <torqa/torqa.h>

#include "support/session_fixture.h"
#include "support/value_bytes.h"

#include <gtest/gtest.h>

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
  // The open count of `oid`, the registered and the living proxies, and the requests sent.
  std::string state(int oid) {
    return std::to_string(reg().open_count(oid)) + " open, " + std::to_string(reg().proxy_count()) +
           " registered, " + std::to_string(Person::alive + Account::alive) + " alive; " + s.all_sent();
  }

  session s;
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

TEST_F(proxies, close_failures) {
  // A failed server close reaches set_null, not a destructor; the proxy is gone all the same.
  d_ref<Person> a(person(5));
  s.drv.reply(bytes_elem(err_record(-7, "close failed")));
  EXPECT_EQ(thrown([&] { a.set_null(); }), "-7 close failed (close 0 0)");
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
  EXPECT_TRUE(p.get_oid() == 9 && !p.is_closed() && s.drv.requests.size() == 2u);
}

TEST_F(proxies, put_writes_the_id_or_null_and_only_typed_references_read) {
  d_ref<Person> live(person(300)), neg(person(-2)), none;
  t_ostrstream os;
  for (const auto* r : {&live, &neg, &none}) r->put(os, nullptr);
  EXPECT_EQ(hex(std::string(os.data(), os.size())), "04 04 2C 01 03 05 FE 02 01");

  abs_d_ref abstract(nullptr);
  input in(bytes_elem("1@A"));
  EXPECT_EQ(thrown([&] { abstract.get(in.is, &*s.db); }), "-1 assertion failed in abs_d_type");
  s.drv.reply(no_error);
  s.drv.reply(no_error);
}

TEST_F(proxies, reference_text_gives_id_and_class_name) {
  const auto units = u16(u"4021@Sample.Person");
  const std::pair<std::string, const char*> cases[] = {
      {bytes_elem("12@A.B"), "12 A.B"},
      {elems([&](t_ostream& o) { o.put_str(2, reinterpret_cast<const char*>(units.data()), 36); }, true),
       "4021 Sample.Person"},
      {bytes_elem(""), "0 (null)"},
      {bytes_elem("37"), "37 (null)"},  // no '@': the digits, no class
      {bytes_elem("8@"), "8 "},         // '@' last: an empty class name
  };
  static const unsigned short stale[] = {'x', 0};
  for (const auto& [element, want] : cases) {
    input in(element + elems([](t_ostream& o) { o << 5; }));
    int id = -1, next = 0;
    const unsigned short* cls = stale;
    abs_d_ref::get_oref_n_name(in.is, &id, &cls);
    std::string parsed = std::to_string(id) + (cls == nullptr ? " (null)" : " ");
    for (const unsigned short* p = cls; p != nullptr && *p != 0; ++p) parsed += static_cast<char>(*p);
    in.is >> next;  // the value after it is left unread
    EXPECT_EQ(parsed + " " + std::to_string(next), std::string(want) + " 5");
  }
}

TEST_F(proxies, references_built_twice_on_one_proxy_share_its_count) {
  Person* p = person(7);
  counted<Person> a(p);
  {
    counted<Person> b(p);
    EXPECT_EQ(a.shares(), 2);
  }
  EXPECT_EQ(state(7), "1 open, 1 registered, 1 alive; ");
  Person* idle = person(0);  // holds no object, so it is not registered
  counted<Person> c(idle), d(idle);
  EXPECT_EQ(d.shares(), 2);
  s.drv.reply(no_error);
}

TEST_F(proxies, a_reference_read_without_a_session_uses_its_own) {
  d_ref<Person> r(person(3));
  input in(bytes_elem("3@Sample.Person") + bytes_elem("4@Sample.Person") + bytes_elem("") +
           bytes_elem("4@Sample.Person"));
  in.is >> r;  // the proxy it already holds
  EXPECT_EQ(Person::made, 0);
  s.drv.reply(no_error);
  in.is >> r;  // a new proxy in r's session; the last reference to 3 closes it
  EXPECT_TRUE(r->get_oid() == 4 && Person::made == 1);
  EXPECT_EQ(state(4), "1 open, 1 registered, 1 alive; B6 03 04 03; ");
  d_ref<Person> none;
  in.is >> none;  // a null reference needs no session
  EXPECT_EQ(thrown([&] { in.is >> none; }), "-1000 no session to read a reference in");
  EXPECT_TRUE(none.is_null() && Person::made == 1);
  s.drv.reply(no_error);
}

}  // namespace
