#include "support/session_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace torqa::test;

namespace {

const std::vector<unsigned short> cls = u16(u"A.Cls");

TEST(class_def_set, loads_each_class_once_whatever_the_case) {
  session s;
  s.drv.reply(defs(prop_record("Name", 1) + prop_record("Spouse", 2, false, 1, 9)));
  s.drv.reply(defs(method_record("Greet", {}) + method_record("Swap", {false, true})));
  s.drv.reply(defs(query_record("ByName", "A_ByName", 2)));
  Class_def* def = s.db->get_classes().open(&*s.db, cls.data());
  EXPECT_EQ(s.all_sent(), "B2 07 01 41 2E 43 6C 73; B3 07 01 41 2E 43 6C 73; B4 07 01 41 2E 43 6C 73; ");
  EXPECT_EQ(s.db->get_classes().open(&*s.db, u16(u"a.CLS").data()), def);
  EXPECT_EQ(s.drv.requests.size(), 3u);
  EXPECT_EQ(s.db->get_classes().size(), 1u);

  const Prop_def* p = nullptr;
  ASSERT_TRUE(def->prop_get(u16(u"SPOUSE").data(), &p));
  EXPECT_TRUE(!p->is_data_type && p->slot == 2 && p->pos == 1 && p->aux_int == 9);
  EXPECT_FALSE(def->prop_get(u16(u"Spouses").data(), &p));
  EXPECT_EQ(p->slot, 2);  // untouched by the failed lookup

  // A method without arguments, then one whose record follows it.
  const Method_def* m = nullptr;
  ASSERT_TRUE(def->mtd_get(u16(u"greet").data(), &m));
  EXPECT_TRUE(m->args.empty());
  ASSERT_TRUE(def->mtd_get(u16(u"Swap").data(), &m) && m->args.size() == 2u);
  EXPECT_TRUE(!m->args[0]->is_output && m->args[1]->is_output && m->args[1]->aux_text == "aux text");
  EXPECT_EQ(m->ret_type.value(), 1);

  const Query_def* q = nullptr;
  ASSERT_TRUE(def->query_get(u16(u"byname").data(), &q));
  EXPECT_TRUE(q->par_cnt == 2 && db_name::cmp(q->sql_name.c_str(), u16(u"A_ByName").data()) == 0);
}

TEST(class_def_set, failed_load_adds_nothing_and_is_asked_again) {
  session s;
  s.drv.reply(defs(prop_record("Name", 1)));
  s.drv.reply(bytes_elem(err_record(-3, "class gone")));
  EXPECT_EQ(thrown([&] { s.db->get_classes().open(&*s.db, cls.data()); }), "-3 class gone");
  EXPECT_EQ(s.db->get_classes().size(), 0u);

  // A reply cut inside a record, and a method announcing more arguments
  // than the reply holds, fail the same way.
  s.drv.reply(defs(prop_record("Name", 1).substr(0, 8)));
  EXPECT_THROW(s.db->get_classes().open(&*s.db, cls.data()), Db_err);
  std::string huge = method_record("M", {});
  huge.resize(huge.size() - 3);
  huge += elems([](t_ostream& o) { o << 2147483647; });
  s.drv.reply(defs());
  s.drv.reply(defs(huge));
  EXPECT_THROW(s.db->get_classes().open(&*s.db, cls.data()), Db_err);
  EXPECT_EQ(s.db->get_classes().size(), 0u);
  EXPECT_EQ(s.drv.pending_replies(), 0u);
}

}  // namespace
