#include <torqa/torqa.h>

#include "support/scripted_driver.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace torqa::test;

namespace {

class Person : public Obj_t {
 public:
  Person(Database* db, int oid) { init_openref(db, oid); }
  static Person* make_proxy(Database* db, int oid, const unsigned short*) { return new Person(db, oid); }
};

const std::string no_error = bytes_elem("");
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

// A slot's element for a list value: its data is one element holding the list.
std::string list_slot(const std::string& list) { return bytes_elem(bytes_elem(list)); }

std::string flushed(Cache& cache) {
  t_ostrstream os;
  cache.flush(os);
  return hex(std::string(os.data(), os.size()));
}

std::string read_text(t_istream& in) {
  d_string s;
  s.get(in, nullptr);
  return s.bytes();
}

class cache : public ::testing::Test {
 protected:
  void SetUp() override {
    conn = tcp_conn::connect("local[1972]:USER", "user", "pw", nullptr);
    drv.reply(startup_reply());
    db = std::make_unique<Database>(conn, true);
    c = dynamic_cast<Cache_ant*>(db->get_cache());
    ASSERT_NE(c, nullptr);
    drv.requests.clear();
  }
  void TearDown() override {
    drv.reply(no_error + no_error);
    db.reset();
  }

  // Loads a section as the session does at the end of a reply.
  void load(const std::string& bytes) {
    std::string copy = bytes;
    t_istrstream in(copy.data(), static_cast<int>(copy.size()));
    c->load(in);
  }
  // Asks the cache; the answer stream points into the cache's own bytes.
  bool ask(int oid, int slot, int pos, bool is_obj = false) {
    return c->get_property(oid, slot, pos, is_obj, false, &out);
  }

  scripted_driver drv;
  Handle<Conn_t> conn;
  std::unique_ptr<Database> db;
  Cache_ant* c = nullptr;
  t_istrstream out{nullptr, 0};
};

TEST_F(cache, a_pending_change_is_read_back_without_a_round_trip) {
  d_string v("new");
  db->set_property(5, 2, 0, 11, ret_data, owner_name, &v);
  t_istream& in = db->get_property(5, 2, 0, ret_data, owner_name);
  EXPECT_EQ(read_text(in), "new");
  EXPECT_TRUE(drv.requests.empty());
  // The other kind of property, or another position, is not answered.
  EXPECT_FALSE(ask(5, 2, 0, true));
  EXPECT_FALSE(ask(5, 2, 1));
  // A pending reference holds only an object id, not the reference text a
  // reader needs: the server is asked, after it received the change.
  d_int ref(9);
  db->set_property(5, 4, 0, 0, ret_ref, owner_name, &ref);
  EXPECT_FALSE(ask(5, 4, 0, true));
  drv.reply(common_reply(bytes_elem("9@Sample.Person"), "", "", "", section({})));
  std::string text;
  bool is_uni = true;
  db->get_property(5, 4, 0, ret_ref, owner_name).read_str(is_uni, text);
  EXPECT_EQ(text, "9@Sample.Person");
  ASSERT_EQ(drv.requests.size(), 1u);
  EXPECT_EQ(drv.requests[0].code, "BH");
  // The reference change travels ahead of the read: one group (5, "Owner", 9).
  EXPECT_NE(hex(drv.requests[0].payload).find("03 04 01 03 04 05 07 01 4F 77 6E 65 72 03 04 09"), std::string::npos);
}

TEST_F(cache, a_change_invalidates_its_slot_and_a_flush_drops_the_object) {
  load(section({{5, {{1, bytes_elem("a")}, {2, bytes_elem("b")}}}, {6, {{1, bytes_elem("z")}}}}));
  d_string v("x");
  db->set_property(5, 2, 0, 11, ret_data, owner_name, &v);
  ASSERT_TRUE(ask(5, 1, 0));
  EXPECT_EQ(read_text(out), "a");
  ASSERT_TRUE(ask(5, 2, 0));
  EXPECT_EQ(read_text(out), "x");

  // The next request carries the change, then its own payload.
  drv.reply(common_reply(bytes_elem("r"), "", "", "", section({})));
  db->get_property(7, 1, 0, ret_data, owner_name);
  ASSERT_EQ(drv.requests.size(), 1u);
  EXPECT_EQ(drv.requests[0].code, "BH");
  EXPECT_EQ(hex(drv.requests[0].payload),
            "03 04 01 03 04 05 03 04 02 03 04 00 03 04 0B 03 01 78 03 04 00 03 04 00 "
            "03 04 07 07 01 4F 77 6E 65 72 03 04 00");
  EXPECT_FALSE(ask(5, 1, 0));
  EXPECT_FALSE(ask(5, 2, 0));
  ASSERT_TRUE(ask(6, 1, 0));
  EXPECT_EQ(read_text(out), "z");
}

TEST_F(cache, a_cached_reference_is_answered_only_while_its_object_is_open) {
  load(section({{5, {{3, bytes_elem("9@Sample.Person")}, {4, bytes_elem("")}}}}));
  EXPECT_FALSE(ask(5, 3, 0, true));
  EXPECT_FALSE(ask(5, 4, 0, true));
  {
    d_ref<Person> p(new Person(db.get(), 9));
    ASSERT_TRUE(ask(5, 3, 0, true));
    EXPECT_EQ(read_text(out), "9@Sample.Person");  // read from the start again
  }
  // A data-type read of the same slot needs no open object.
  EXPECT_TRUE(ask(5, 3, 0, false));
  // With a cache the close waited for the next request.
  EXPECT_TRUE(drv.requests.empty());
  EXPECT_EQ(c->pending_closes(), 1);
  EXPECT_FALSE(ask(5, 3, 0, true));
}

TEST_F(cache, flush_writes_each_group_in_key_order_once) {
  d_string first("x"), second("yy");
  d_int ref(9);
  db->set_property(6, 1, 0, 2, ret_data, owner_name, &first);
  db->set_property(5, 2, 0, 11, ret_data, owner_name, &first);
  db->set_property(5, 2, 0, 99, ret_data, owner_name, &second);  // replaces the value, keeps aux 11
  db->set_property(5, 4, 0, 0, ret_ref, owner_name, &ref);
  c->close_obj(8);
  c->close_obj(300);
  EXPECT_EQ(c->pending_changes(), 3u);
  EXPECT_EQ(flushed(*c),
            "03 04 02 "
            "03 04 05 03 04 02 03 04 00 03 04 0B 04 01 79 79 "
            "03 04 06 03 04 01 03 04 00 03 04 02 03 01 78 "
            "03 04 01 03 04 05 07 01 4F 77 6E 65 72 03 04 09 "
            "03 04 02 03 04 08 04 04 2C 01");
  EXPECT_EQ(c->pending_changes(), 0u);
  EXPECT_EQ(c->pending_closes(), 0);
  EXPECT_EQ(flushed(*c), "03 04 00 03 04 00 03 04 00");
  EXPECT_TRUE(drv.requests.empty());
}

TEST_F(cache, refused_changes_record_nothing) {
  load(section({{5, {{1, bytes_elem("a")}}}}));
  d_string v("x");
  try {
    c->set_property(5, -1, 0, 0, false, owner_name, &v);
    FAIL() << "no throw";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1000);
    EXPECT_EQ(e.msg, "cannot change a calculated property");
  }
  EXPECT_FALSE(c->set_property(5, -2, 0, 0, false, owner_name, &v));
  EXPECT_FALSE(ask(5, -1, 0));
  EXPECT_FALSE(ask(5, -2, 0));

  // A value too long for one element leaves the earlier change in place.
  c->set_property(5, 1, 0, 0, false, owner_name, &v);
  d_string too_long(std::string(70000, 'q').c_str());
  EXPECT_THROW(c->set_property(5, 1, 0, 0, false, owner_name, &too_long), Db_err);
  EXPECT_EQ(c->pending_changes(), 1u);
  ASSERT_TRUE(ask(5, 1, 0));
  EXPECT_EQ(read_text(out), "x");

  // The session sends a slot -2 change at once.
  drv.reply(common_reply("", "", "", "", section({})));
  db->set_property(5, -2, 0, 0, ret_data, owner_name, &v);
  ASSERT_EQ(drv.requests.size(), 1u);
  EXPECT_EQ(drv.requests[0].code, "BI");
}

TEST_F(cache, a_load_replaces_every_slot_of_an_object_it_names) {
  load(section({{5, {{1, bytes_elem("a")}, {2, bytes_elem("b")}}}, {6, {{1, bytes_elem("z")}}}}));
  load(section({{5, {{2, bytes_elem("c")}, {3, bytes_elem("first")}, {3, bytes_elem("second")}}}}));
  EXPECT_FALSE(ask(5, 1, 0));
  ASSERT_TRUE(ask(5, 2, 0));
  EXPECT_EQ(read_text(out), "c");
  ASSERT_TRUE(ask(5, 3, 0));
  EXPECT_EQ(read_text(out), "first");
  ASSERT_TRUE(ask(6, 1, 0));
  EXPECT_EQ(read_text(out), "z");

  // A section cut short adds what it holds and stops.
  load(elems([](t_ostream& o) { o << 1000000 << 7 << 1 << 1; }) + bytes_elem("w"));
  EXPECT_EQ(c->cached_objects(), 3u);
  ASSERT_TRUE(ask(7, 1, 0));
  EXPECT_EQ(read_text(out), "w");
}

TEST_F(cache, whole_values_keep_their_text_form) {
  const auto units = u16(u"\u00e9t\u00e9");
  const std::string wide = elems([&](t_ostream& o) { o.put_str(2, reinterpret_cast<const char*>(units.data()), 6); });
  load(section({{5, {{1, wide}, {2, elems([](t_ostream& o) { o << 42; })}}}}));
  ASSERT_TRUE(ask(5, 1, 0));
  d_string s;
  s.get(out, nullptr);
  EXPECT_EQ(s.kind(), 1);
  EXPECT_EQ(s.mb_str(), "\u00e9t\u00e9");
  ASSERT_TRUE(ask(5, 2, 0));
  d_int n;
  n.get(out, nullptr);
  EXPECT_EQ(n.value(), 42);
}

TEST_F(cache, positions_address_the_elements_of_a_list_value) {
  const std::string list = elems([](t_ostream& o) {
    o << 7;
    o.put_str(0, "ab", 2);
    o << 300;
  });
  load(section({{5, {{1, list_slot(list)}}}}));
  std::int64_t v = 0;
  bool null_flag = false;
  ASSERT_TRUE(ask(5, 1, 1));
  out.read_int(v, null_flag);
  EXPECT_EQ(v, 7);
  ASSERT_TRUE(ask(5, 1, 2));
  EXPECT_EQ(read_text(out), "ab");
  out.read_int(v, null_flag);
  EXPECT_EQ(v, 300);
  EXPECT_TRUE(out.at_end());
  ASSERT_TRUE(ask(5, 1, 3));
  out.read_int(v, null_flag);
  EXPECT_EQ(v, 300);
  EXPECT_TRUE(out.at_end());
  ASSERT_TRUE(ask(5, 1, 4));
  EXPECT_TRUE(out.at_end());
}

TEST_F(cache, corrupt_list_values_are_read_within_their_bytes) {
  // An outer header announcing 200 bytes of which 24 are there.
  std::string inner = elems([](t_ostream& o) { o << 1 << 2 << 3 << 4 << 5 << 6; });
  inner += "\x04\x01zz";
  const std::string short_outer = "\xC8\x01" + inner;
  // An inner element whose length runs past the outer element.
  const std::string overrun = std::string("\x16\x01", 2) + inner.substr(0, 12) + std::string("\xF0\x01", 2) +
                              std::string(6, 'k');
  load(section({{5,
                  {{1, bytes_elem(short_outer)},
                   {2, bytes_elem(overrun)},
                   {3, bytes_elem(std::string("\x00\x05", 2))},
                   {4, bytes_elem("")}}}}));

  ASSERT_TRUE(ask(5, 1, 6));
  std::int64_t v = 0;
  bool null_flag = false;
  out.read_int(v, null_flag);
  EXPECT_EQ(v, 6);
  EXPECT_EQ(read_text(out), "zz");
  EXPECT_TRUE(out.at_end());
  ASSERT_TRUE(ask(5, 1, 8));
  EXPECT_TRUE(out.at_end());

  ASSERT_TRUE(ask(5, 2, 5));
  const std::string rest = read_text(out);  // the broken element, cut at the value's end
  EXPECT_LE(rest.size(), 6u);
  EXPECT_TRUE(out.at_end());
  ASSERT_TRUE(ask(5, 2, 6));
  EXPECT_TRUE(out.at_end());
  ASSERT_TRUE(ask(5, 3, 1));
  EXPECT_TRUE(out.at_end());
  ASSERT_TRUE(ask(5, 4, 1));
  EXPECT_TRUE(out.at_end());
}

}  // namespace
