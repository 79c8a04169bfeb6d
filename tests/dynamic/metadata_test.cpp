#include "support/scripted_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

using namespace torqa::test;

namespace {

class fake_conn : public Conn_t {
 public:
  fake_conn() : Conn_t(true, false) {}
  int open_channel(void** ch) override {
    *ch = this;
    return 0;
  }
  int close_channel(void*) override { return 0; }
};

// A session over the scripted driver, started and (at the end) closed.
struct session {
  scripted_driver drv;
  Handle<Conn_t> conn{new fake_conn};
  std::optional<Database> db;
  explicit session(bool uni = false) {
    drv.reply(startup_reply(true, uni));
    db.emplace(conn, false);
    drv.requests.clear();
  }
  ~session() {
    drv.reply(bytes_elem("") + bytes_elem(""));
    db.reset();
  }
};

void text(t_ostream& o, const char* s) { o.put_str(0, s, static_cast<unsigned short>(std::strlen(s))); }

// A reply to "B2", "B3" or "B4": no error, a success status, the records.
std::string defs(const std::string& records = "") { return bytes_elem("") + bytes_elem("1") + records; }

std::string prop(const char* name, int slot, bool data_type = true, int pos = 0, int aux_int = 0) {
  return elems([&](t_ostream& o) {
    text(o, "aux");
    o << 3;
    text(o, "aux2");
    o << data_type;
    text(o, name);
    o << slot << pos << aux_int;
  });
}

// A method record; `outputs` gives each argument's is_output flag.
std::string method(const char* name, std::vector<bool> outputs, int ret_type = 1, bool class_method = false) {
  return elems([&](t_ostream& o) {
    o << class_method;
    text(o, "aux");
    o << ret_type << true << false;
    text(o, name);
    o << static_cast<int>(outputs.size());
    for (bool out : outputs) {
      text(o, "aux");
      o << 0 << false << out;
      text(o, "arg");
      o << false;
      text(o, "aux text");
    }
  });
}

std::string query(const char* name, const char* sql_name, int par_cnt) {
  return elems([&](t_ostream& o) {
    text(o, name);
    text(o, sql_name);
    o << par_cnt;
  });
}

std::vector<std::string> codes(const scripted_driver& drv) {
  std::vector<std::string> out;
  for (const request& r : drv.requests) out.push_back(r.code);
  return out;
}

const std::vector<std::string> load{"B2", "B3", "B4"};

}  // namespace

TEST(class_def_set, loads_each_class_once_whatever_the_case) {
  session s;
  s.drv.reply(defs(prop("Name", 1) + prop("Spouse", 2, false, 1, 9)));
  s.drv.reply(defs(method("Greet", {}) + method("Swap", {false, true})));
  s.drv.reply(defs(query("ByName", "A_ByName", 2)));
  Class_def* def = s.db->get_classes().open(&*s.db, u16(u"A.Cls").data());

  ASSERT_EQ(codes(s.drv), load);
  for (const request& r : s.drv.requests) EXPECT_EQ(hex(r.payload), hex("\x07\x01" "A.Cls")) << r.code;
  EXPECT_EQ(s.db->get_classes().open(&*s.db, u16(u"a.CLS").data()), def);
  EXPECT_EQ(s.drv.requests.size(), 3u);
  EXPECT_EQ(s.db->get_classes().size(), 1u);

  const Prop_def* p = nullptr;
  ASSERT_TRUE(def->prop_get(u16(u"SPOUSE").data(), &p));
  EXPECT_FALSE(p->is_data_type);
  EXPECT_EQ(p->slot, 2);
  EXPECT_EQ(p->pos, 1);
  EXPECT_EQ(p->aux_int, 9);
  EXPECT_FALSE(def->prop_get(u16(u"Spouses").data(), &p));
  EXPECT_EQ(p->slot, 2);  // untouched by the failed lookup

  // A method without arguments, then one whose record follows it.
  const Method_def* m = nullptr;
  ASSERT_TRUE(def->mtd_get(u16(u"greet").data(), &m));
  EXPECT_TRUE(m->args.empty());
  ASSERT_TRUE(def->mtd_get(u16(u"Swap").data(), &m));
  ASSERT_EQ(m->args.size(), 2u);
  EXPECT_FALSE(m->args[0]->is_output);
  EXPECT_TRUE(m->args[1]->is_output);
  EXPECT_EQ(m->args[1]->aux_text, "aux text");
  EXPECT_EQ(m->ret_type.value(), 1);

  const Query_def* q = nullptr;
  ASSERT_TRUE(def->query_get(u16(u"byname").data(), &q));
  EXPECT_EQ(q->par_cnt, 2);
  EXPECT_EQ(db_name::cmp(q->sql_name.c_str(), u16(u"A_ByName").data()), 0);
}

TEST(class_def_set, class_name_goes_out_in_the_servers_text_form) {
  session s(true);
  s.drv.reply(defs());
  s.drv.reply(defs());
  s.drv.reply(defs());
  s.db->get_classes().open(&*s.db, u16(u"A.Cls").data());
  ASSERT_EQ(s.drv.requests.size(), 3u);
  EXPECT_EQ(hex(s.drv.requests[0].payload), hex(std::string("\x0C\x02" "A\0.\0C\0l\0s\0", 12)));
}

TEST(class_def_set, error_status_leaves_only_that_kind_empty) {
  session s;
  // The records after a failed status are not taken.
  const std::string failed = bytes_elem("") +
                             bytes_elem(std::string("\x30\x01\x00\x00", 4) + elems([](t_ostream& o) {
                                          o << -1;
                                          text(o, "no queries");
                                        })) +
                             query("Q", "P", 0);
  s.drv.reply(defs(prop("Name", 1) + prop("NAME", 2)));
  s.drv.reply(defs(method("Greet", {}) + method("greet", {true})));
  s.drv.reply(failed);
  const Class_def* def = s.db->get_classes().open(&*s.db, u16(u"A.Cls").data());

  EXPECT_TRUE(def->queries().empty());
  // Names equal but for case: the first record read is kept.
  ASSERT_EQ(def->properties().size(), 1u);
  EXPECT_EQ(def->properties().begin()->second->slot, 1);
  ASSERT_EQ(def->methods().size(), 1u);
  EXPECT_TRUE(def->methods().begin()->second->args.empty());
}

TEST(class_def_set, failed_load_adds_nothing_and_is_asked_again) {
  session s;
  s.drv.reply(defs(prop("Name", 1)));
  s.drv.reply(bytes_elem(err_record(-3, "class gone")));
  try {
    s.db->get_classes().open(&*s.db, u16(u"A.Cls").data());
    ADD_FAILURE() << "no error";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -3);
    EXPECT_EQ(e.msg, "class gone");
  }
  EXPECT_EQ(s.db->get_classes().size(), 0u);

  // A reply cut inside a record, and a method announcing more arguments
  // than the reply holds, fail the same way.
  s.drv.reply(defs(prop("Name", 1).substr(0, 8)));
  EXPECT_THROW(s.db->get_classes().open(&*s.db, u16(u"A.Cls").data()), Db_err);
  std::string huge = method("M", {});
  huge.resize(huge.size() - 3);
  huge += elems([](t_ostream& o) { o << 2147483647; });
  s.drv.reply(defs());
  s.drv.reply(defs(huge));
  EXPECT_THROW(s.db->get_classes().open(&*s.db, u16(u"A.Cls").data()), Db_err);
  EXPECT_EQ(s.db->get_classes().size(), 0u);
  EXPECT_EQ(s.drv.pending_replies(), 0u);
}
