#include <torqa/torqa.h>

#include "support/session_fixture.h"
#include "support/value_bytes.h"

#include <gtest/gtest.h>

#include <string>

using namespace torqa::test;

namespace {

class Person : public Obj_t {
 public:
  Person(Database* db, int oid) { init_openref(db, oid); }
  static Person* make_proxy(Database* db, int oid, const unsigned short*) { return new Person(db, oid); }
};

const std::vector<unsigned short> owner = u16(u"Owner");
const unsigned short* const owner_name = owner.data();

// A cache section: objects given as (id, [(slot, value element bytes)]).
using slots = std::vector<std::pair<int, std::string>>;
std::string section(const std::vector<std::pair<int, slots>>& objects) {
  std::string s = elems([&](t_ostream& o) { o << static_cast<int>(objects.size()); });
  for (const auto& [oid, vals] : objects) {
    s += elems([&](t_ostream& o) { o << oid << static_cast<int>(vals.size()); });
    for (const auto& [slot, value] : vals) s += elems([&](t_ostream& o) { o << slot; }) + value;
  }
  return s;
}

class cache : public ::testing::Test {
 protected:
  void SetUp() override {
    c = dynamic_cast<Cache_ant*>(s.db->get_cache());
    ASSERT_NE(c, nullptr);
  }
  // Loads a section as the session does at the end of a reply.
  void load(const std::string& bytes) {
    input in(bytes);
    c->load(in.is);
  }
  // The cache's answer: every value left in the answer stream as 8-bit
  // text, joined by ',' (16-bit text marked); "no" when it does not answer.
  std::string ask(int oid, int slot, int pos, bool is_obj = false) {
    if (!c->get_property(oid, slot, pos, is_obj, false, &out)) return "no";
    std::string all;
    for (int i = 0; i < 20 && !out.at_end(); ++i) {
      d_string v;
      v.get(out, nullptr);
      all += (i == 0 ? "" : ",") + v.mb_str() + (v.kind() == 0 ? "" : " (16-bit)");
    }
    return all;
  }
  std::string flushed() {
    t_ostrstream os;
    c->flush(os);
    return hex(std::string(os.data(), os.size()));
  }

  session s{true};
  Cache_ant* c = nullptr;
  t_istrstream out{nullptr, 0};
};

TEST_F(cache, a_pending_change_answers_reads_without_a_round_trip_and_the_answer_stays_until_the_next_request) {
  d_string v("new"), got;
  d_int ref(9);
  s.db->set_property(5, 2, 0, 11, ret_data, owner_name, &v);
  s.db->set_property(5, 4, 0, 0, ret_ref, owner_name, &ref);
  got.get(s.db->get_property(5, 2, 0, ret_data, owner_name), nullptr);
  EXPECT_EQ(got.bytes(), "new");
  EXPECT_TRUE(s.drv.requests.empty());
  // Not answered: the other kind of property, another position, and a pending
  // reference (it holds an object id, not the reference text a reader needs).
  EXPECT_EQ(ask(5, 2, 0, true) + ask(5, 2, 1) + ask(5, 4, 0, true), "nonono");

  // The answer stands until the next request, however the pending value changes.
  d_string first(std::string(100, 'a').c_str()), longer(std::string(5000, 'b').c_str());
  s.db->set_property(5, 2, 0, 0, ret_data, owner_name, &first);
  t_istream& r = s.db->get_property(5, 2, 0, ret_data, owner_name);
  s.db->set_property(5, 2, 0, 0, ret_data, owner_name, &longer);
  EXPECT_EQ(d_string(r).bytes(), first.bytes());
  EXPECT_EQ(ask(5, 2, 0), longer.bytes());
}

TEST_F(cache, a_change_invalidates_its_slot_and_a_reply_section_fills_the_cache) {
  load(section({{5, {{1, bytes_elem("a")}, {2, bytes_elem("b")}}}, {6, {{1, bytes_elem("z")}}}}));
  d_string v("x");
  s.db->set_property(5, 2, 0, 11, ret_data, owner_name, &v);
  EXPECT_EQ(ask(5, 1, 0) + ask(5, 2, 0), "ax");
  // The next request carries the change, which drops object 5; its reply's
  // section fills the cache, which then answers without a request.
  s.drv.reply(common_reply(bytes_elem("r"), "", "", "", section({{7, {{4, bytes_elem("44")}}}})));
  s.db->get_property(7, 1, 0, ret_data, owner_name);
  EXPECT_EQ(ask(5, 1, 0) + ask(5, 2, 0) + ask(6, 1, 0), "nonoz");
  int v44 = 0;
  s.db->get_property(7, 4, 0, ret_data, owner_name) >> v44;
  EXPECT_EQ(v44, 44);
  EXPECT_EQ(s.drv.requests.size(), 1u);
}

TEST_F(cache, a_cached_reference_is_answered_only_while_its_object_is_open) {
  load(section({{5, {{3, bytes_elem("9@Sample.Person")}, {4, bytes_elem("")}}}}));
  EXPECT_EQ(ask(5, 3, 0, true) + ask(5, 4, 0, true), "nono");
  {
    d_ref<Person> p(new Person(&*s.db, 9));
    EXPECT_EQ(ask(5, 3, 0, true), "9@Sample.Person");  // read from the start again
  }
  // A data-type read of the same slot needs no open object.
  EXPECT_EQ(ask(5, 3, 0) + ask(5, 3, 0, true), "9@Sample.Personno");
}

TEST_F(cache, flush_writes_each_group_in_key_order_once) {
  d_string first("x"), second("yy");
  d_int ref(9);
  s.db->set_property(6, 1, 0, 2, ret_data, owner_name, &first);
  s.db->set_property(5, 2, 0, 11, ret_data, owner_name, &first);
  s.db->set_property(5, 2, 0, 99, ret_data, owner_name, &second);  // replaces the value, keeps aux 11
  s.db->set_property(5, 4, 0, 0, ret_ref, owner_name, &ref);
  c->close_obj(8);
  c->close_obj(300);
  EXPECT_EQ(c->pending_changes(), 3u);
  EXPECT_EQ(flushed(),
            "03 04 02 "
            "03 04 05 03 04 02 03 04 00 03 04 0B 04 01 79 79 "
            "03 04 06 03 04 01 03 04 00 03 04 02 03 01 78 "
            "03 04 01 03 04 05 07 01 4F 77 6E 65 72 03 04 09 "
            "03 04 02 03 04 08 04 04 2C 01");
  EXPECT_EQ(flushed(), "03 04 00 03 04 00 03 04 00");
  EXPECT_TRUE(s.drv.requests.empty());
}

TEST_F(cache, refused_changes_record_nothing) {
  load(section({{5, {{1, bytes_elem("a")}}}}));
  d_string v("x");
  EXPECT_EQ(thrown([&] { c->set_property(5, -1, 0, 0, false, owner_name, &v); }),
            "-1000 cannot change a calculated property");
  EXPECT_FALSE(c->set_property(5, -2, 0, 0, false, owner_name, &v));
  EXPECT_EQ(ask(5, -1, 0) + ask(5, -2, 0), "nono");

  // A value too long for one element leaves the earlier change in place.
  c->set_property(5, 1, 0, 0, false, owner_name, &v);
  d_string too_long(std::string(70000, 'q').c_str());
  EXPECT_THROW(c->set_property(5, 1, 0, 0, false, owner_name, &too_long), Db_err);
  EXPECT_TRUE(c->pending_changes() == 1u && ask(5, 1, 0) == "x");

  // The session sends a slot -2 change at once.
  s.drv.reply(common_reply("", "", "", "", section({})));
  s.db->set_property(5, -2, 0, 0, ret_data, owner_name, &v);
  EXPECT_EQ(s.sent().substr(0, 3), "BI ");
}

TEST_F(cache, pending_work_survives_a_request_refused_before_sending) {
  d_int age(42);
  s.db->set_property(5, 2, 0, 0, ret_data, owner_name, &age);
  c->close_obj(8);
  d_string too_long(std::string(70000, 'q').c_str());
  D_type* args[] = {&too_long};
  EXPECT_EQ(thrown([&] { s.db->run_method(5, owner_name, owner_name, args, 1, nullptr, 0, ret_data); }),
            "-1000 value too long for one element");
  EXPECT_TRUE(s.drv.requests.empty() && c->pending_changes() == 1u && c->pending_closes() == 1);
  // The next request carries the change and the close.
  s.drv.reply(common_reply("", "", "", "", section({})));
  s.db->run_method(5, owner_name, owner_name, nullptr, 0, nullptr, 0, ret_none);
  EXPECT_EQ(s.last_hex().substr(0, 80),
            "03 04 01 03 04 05 03 04 02 03 04 00 03 04 00 03 04 2A 03 04 00 03 04 01 03 04 08");
  EXPECT_TRUE(c->pending_changes() == 0u && c->pending_closes() == 0);
}

TEST_F(cache, values_go_with_a_sent_close_and_with_a_rollback) {
  load(section({{5, {{1, bytes_elem("a")}}}, {6, {{1, bytes_elem("b")}}}}));
  // A deferred close keeps the values until it is sent.
  c->close_obj(5);
  EXPECT_EQ(ask(5, 1, 0), "a");
  s.drv.reply(common_reply("", "", "", "", section({{7, {{1, bytes_elem("c")}}}})));
  s.db->get_property(6, 2, 0, ret_data, owner_name);
  EXPECT_EQ(ask(5, 1, 0) + ask(6, 1, 0) + ask(7, 1, 0), "nobc");
  // A rollback undoes changes the cached values may show.
  s.drv.reply(common_reply("", "", "", "", section({})));
  s.db->rollback();
  EXPECT_EQ(c->cached_objects(), 0u);
}

TEST_F(cache, a_load_replaces_every_slot_of_an_object_it_names) {
  const auto units = u16(u"\u00e9t\u00e9");
  const std::string wide = elems([&](t_ostream& o) { o.put_str(2, reinterpret_cast<const char*>(units.data()), 6); });
  load(section({{5, {{1, bytes_elem("a")}, {2, bytes_elem("b")}}},
                {6, {{1, wide}, {2, elems([](t_ostream& o) { o << 42; })}}}}));
  load(section({{5, {{2, bytes_elem("c")}, {3, bytes_elem("first")}, {3, bytes_elem("second")}}}}));
  EXPECT_EQ(ask(5, 1, 0) + " " + ask(5, 2, 0) + " " + ask(5, 3, 0), "no c first");
  // Whole values keep their text form.
  EXPECT_EQ(ask(6, 1, 0) + " " + ask(6, 2, 0), "\u00e9t\u00e9 (16-bit) 42");

  // A section cut short adds what it holds and stops.
  load(elems([](t_ostream& o) { o << 1000000 << 7 << 1 << 1; }) + bytes_elem("w"));
  EXPECT_EQ(c->cached_objects(), 3u);
  EXPECT_EQ(ask(7, 1, 0), "w");
}

TEST_F(cache, positions_address_the_elements_of_a_list_value_within_its_bytes) {
  const std::string list = elems([](t_ostream& o) { o << 7; o.put_str(0, "ab", 2); o << 300; });
  // An outer header announcing 200 bytes of which 24 are there.
  std::string inner = elems([](t_ostream& o) { o << 1 << 2 << 3 << 4 << 5 << 6; }) + "\x04\x01zz";
  const std::string short_outer = "\xC8\x01" + inner;
  // An inner element whose length runs past the outer element.
  const std::string overrun =
      std::string("\x16\x01", 2) + inner.substr(0, 12) + std::string("\xF0\x01", 2) + std::string(6, 'k');
  load(section({{5, {{1, bytes_elem(bytes_elem(list))}, {2, bytes_elem(short_outer)}, {3, bytes_elem(overrun)},
                     {4, bytes_elem(std::string("\x00\x05", 2))}, {5, bytes_elem("")}}}}));
  const std::pair<std::pair<int, int>, const char*> answers[] = {
      {{1, 1}, "7,ab,300"}, {{1, 2}, "ab,300"}, {{1, 3}, "300"}, {{1, 4}, ""}, {{2, 6}, "6,zz"},
      {{2, 8}, ""},         {{3, 6}, ""},       {{4, 1}, ""},    {{5, 1}, ""}};
  for (const auto& [at, want] : answers) EXPECT_EQ(ask(5, at.first, at.second), want) << at.first << " " << at.second;
  EXPECT_LE(ask(5, 3, 5).size(), 6u);  // the broken element, cut at the value's end
}

}  // namespace
