#include "support/session_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace torqa::test;

namespace {

const std::string cls_hex = "07 01 41 2E 43 6C 73";  // "A.Cls"
const std::vector<unsigned short> cls = u16(u"A.Cls");

std::string answer(const char* text_value) {
  return common_reply(elems([&](t_ostream& o) { text(o, text_value); }));
}
std::string answer(std::initializer_list<int> values) {
  return common_reply(elems([&](t_ostream& o) {
    for (int v : values) o << v;
  }));
}

// Opens object 12 of class A.Cls, loading the class; requests forgotten.
d_ref<Dyn_obj> open_object(session& s) {
  s.drv.reply(answer("12@A.Cls"));
  s.drv.reply(defs(prop_record("Name", 1) + prop_record("Spouse", 2, false)));
  s.drv.reply(defs(method_record("Swap", {false, true, false, true}) + method_record("Make", {false}, 1, true, true) +
                   method_record("Touch", {false, false}, -1) + method_record("Peer", {}, 1, false)));
  s.drv.reply(defs());
  d_ref<Dyn_obj> r = Dyn_obj::open(*s.db, cls.data(), u16(u"1").data());
  s.drv.requests.clear();
  return r;
}

// Opens, property access and their errors run end to end; here: the bytes
// each declaration makes of a call.
TEST(dyn_obj, run_method_marshals_by_the_declarations) {
  session s;
  d_ref<Dyn_obj> obj = open_object(s);
  d_int a1(1), a2(2), a4(4);
  d_string a3("x");
  D_type* args[] = {&a1, &a2, &a3, &a4, &a1};
  s.drv.reply(answer({99, 20, 40}));
  t_istream& r = obj->run_method_by_name(u16(u"swap").data(), args, 4);
  EXPECT_EQ(s.sent(),
            "B7 03 04 0C 07 01 41 2E 43 6C 73"
            " 06 01 53 77 61 70 03 04 00 03 04 04"    // 12, A.Cls, Swap, 4 args
            " 03 04 01 03 04 02 03 01 78 03 04 04"    // the arguments
            " 03 04 02 03 04 02 03 04 04 03 04 00");  // outputs 2 and 4
  EXPECT_EQ(std::to_string(a1.value()) + " " + std::to_string(a2.value()) + " " + std::to_string(a4.value()),
            "1 20 40");
  int ret = 0;
  r >> ret;  // the return value is read first all the same
  EXPECT_EQ(ret, 99);

  const std::string no_args = " 03 04 00 03 04 00 03 04 00";
  const struct {
    const char16_t* name;
    int n;
    std::string reply, sent;
  } calls[] = {
      // No arguments sent: empty argument and output lists.
      {u"Swap", 0, answer({0}), "B7 03 04 0C " + cls_hex + " 06 01 53 77 61 70 03 04 00" + no_args},
      // An object result is asked for as a reference.
      {u"Peer", 0, answer(""), "B7 03 04 0C " + cls_hex + " 06 01 50 65 65 72 03 04 01" + no_args},
      // No result: "B8".
      {u"Touch", 2, common_reply(),
       "B8 03 04 0C 07 01 41 2E 43 6C 73 07 01 54 6F 75 63 68 03 04 00 03 04 02 03 04 01 03 04 14"
       " 03 04 00 03 04 00"},
      // A class method goes out with object id -1.
      {u"Make", 1, answer({0}),
       "B7 03 05 FF " + cls_hex + " 06 01 4D 61 6B 65 03 04 00 03 04 01 03 04 01 03 04 00 03 04 00"},
  };
  for (const auto& c : calls) {
    s.drv.reply(c.reply);
    obj->run_method_by_name(reinterpret_cast<const unsigned short*>(c.name), args, c.n);
    EXPECT_EQ(s.sent(), c.sent);
  }
  s.drv.reply(answer({0}));
  run_class_method(*s.db, u16(u"a.cls").data(), u16(u"make").data(), args, 1);
  EXPECT_EQ(s.sent().substr(0, 11), "B7 03 05 FF");

  const std::size_t sent = s.drv.requests.size();
  EXPECT_EQ(thrown([&] { obj->run_method_by_name(u16(u"Swap").data(), args, 5); }), "-5 too many arguments");
  EXPECT_EQ(thrown([&] { obj->run_method_by_name(u16(u"Swapp").data(), args, 1); }), "-1 method not found");
  EXPECT_EQ(s.drv.requests.size(), sent);
  close_ref(s, obj);
}

}  // namespace
