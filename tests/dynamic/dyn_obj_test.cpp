#include "support/scripted_driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

using namespace torqa::test;
using namespace std::string_literals;

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
  session() {
    drv.reply(startup_reply());
    db.emplace(conn, false);
    drv.requests.clear();
  }
  ~session() {
    drv.reply(bytes_elem("") + bytes_elem(""));
    db.reset();
  }
};

void text(t_ostream& o, const char* s) { o.put_str(0, s, static_cast<unsigned short>(std::strlen(s))); }

std::string defs(const std::string& records = "") { return bytes_elem("") + bytes_elem("1") + records; }

std::string prop(const char* name, int slot, bool data_type) {
  return elems([&](t_ostream& o) {
    text(o, "");
    o << 0;
    text(o, "");
    o << data_type;
    text(o, name);
    o << slot << 0 << 0;
  });
}

std::string method(const char* name, std::vector<bool> outputs, int ret_type = 1, bool ret_data = true,
                   bool class_method = false) {
  return elems([&](t_ostream& o) {
    o << class_method;
    text(o, "");
    o << ret_type << ret_data << false;
    text(o, name);
    o << static_cast<int>(outputs.size());
    for (bool out : outputs) {
      text(o, "");
      o << 0 << false << out;
      text(o, "");
      o << false;
      text(o, "");
    }
  });
}

std::string ref_text(const char* t) {
  return common_reply(elems([&](t_ostream& o) { text(o, t); }));
}

// Opens object 12 of class A.Cls, loading the class; requests cleared.
d_ref<Dyn_obj> open_object(session& s) {
  s.drv.reply(ref_text("12@A.Cls"));
  s.drv.reply(defs(prop("Name", 1, true) + prop("Spouse", 2, false)));
  s.drv.reply(defs(method("Swap", {false, true, false, true}) + method("Make", {false}, 1, true, true) +
                   method("Touch", {false, false}, -1) + method("Peer", {}, 1, false)));
  s.drv.reply(defs());
  d_ref<Dyn_obj> r = Dyn_obj::open(*s.db, u16(u"A.Cls").data(), u16(u"1").data());
  s.drv.requests.clear();
  return r;
}

// Drops the last reference, which closes the object ("B6").
void close(session& s, d_ref<Dyn_obj>& r) {
  const int oid = r->get_oid();
  s.drv.reply(bytes_elem(""));
  r.set_null();
  ASSERT_FALSE(s.drv.requests.empty());
  EXPECT_EQ(s.drv.requests.back().code, "B6");
  EXPECT_EQ(hex(s.drv.requests.back().payload), hex(elems([&](t_ostream& o) { o << oid; })));
}

std::string last_payload(const session& s) { return s.drv.requests.empty() ? "" : s.drv.requests.back().payload; }

template <class F>
void expect_err(F call, int code, const char* msg) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, code);
    EXPECT_EQ(e.msg, msg);
  }
}

}  // namespace

TEST(dyn_obj, opens_load_the_class_once_and_throw_open_errors) {
  session s;
  s.drv.reply(ref_text("12@A.Cls"));
  for (int i = 0; i < 3; ++i) s.drv.reply(defs());
  d_ref<Dyn_obj> a = Dyn_obj::open(*s.db, u16(u"A.Cls").data(), u16(u"1").data());
  ASSERT_EQ(s.drv.requests.size(), 4u);
  EXPECT_EQ(s.drv.requests[0].code, "BG");
  EXPECT_EQ(hex(s.drv.requests[0].payload), hex("\x07\x01" "A.Cls" "\x03\x01" "1" "\x03\x04\x01" "\x03\x04\x00"s));
  EXPECT_EQ(s.drv.requests[1].code, "B2");
  EXPECT_EQ(a->get_oid(), 12);
  EXPECT_EQ(db_name::cmp(a->get_class()->get_name().c_str(), u16(u"A.Cls").data()), 0);

  s.drv.reply(ref_text("13@a.cls"));
  d_ref<Dyn_obj> b = Dyn_obj::create(*s.db, u16(u"A.Cls").data());
  EXPECT_EQ(s.drv.requests.size(), 5u);  // the class is already known
  EXPECT_EQ(b->get_oid(), 13);
  EXPECT_EQ(b->get_class(), a->get_class());

  s.drv.reply(common_reply("", err_record(-9, "open failed", elems([](t_ostream& o) { o << 5809; }))));
  try {
    Dyn_obj::open(*s.db, u16(u"A.Cls").data(), u16(u"2").data());
    ADD_FAILURE() << "no error";
  } catch (const Err_open_obj& e) {
    EXPECT_EQ(e.srv_code, 5809);
    EXPECT_EQ(e.msg, "object not found");
  }
  close(s, b);
  close(s, a);
}

TEST(dyn_obj, run_method_reads_output_arguments_and_rewinds) {
  session s;
  d_ref<Dyn_obj> obj = open_object(s);
  d_int a1(1), a2(2), a4(4);
  d_string a3("x");
  D_type* args[] = {&a1, &a2, &a3, &a4};
  s.drv.reply(common_reply(elems([](t_ostream& o) { o << 99 << 20 << 40; })));
  t_istream& r = obj->run_method_by_name(u16(u"swap").data(), args, 4);

  ASSERT_EQ(s.drv.requests.size(), 1u);
  EXPECT_EQ(s.drv.requests[0].code, "B7");
  EXPECT_EQ(hex(s.drv.requests[0].payload),
            hex("\x03\x04\x0C" "\x07\x01" "A.Cls" "\x06\x01" "Swap" "\x03\x04\x00" "\x03\x04\x04"
                "\x03\x04\x01" "\x03\x04\x02" "\x03\x01" "x" "\x03\x04\x04"
                "\x03\x04\x02" "\x03\x04\x02" "\x03\x04\x04" "\x03\x04\x00"s));
  EXPECT_EQ(a1.value(), 1);
  EXPECT_EQ(a2.value(), 20);
  EXPECT_EQ(a4.value(), 40);
  int ret = 0;
  r >> ret;
  EXPECT_EQ(ret, 99);
  close(s, obj);
}

TEST(dyn_obj, run_method_argument_rules) {
  session s;
  d_ref<Dyn_obj> obj = open_object(s);
  d_int v(5);
  D_type* args[] = {&v, &v, &v, &v, &v};

  // No arguments sent: empty argument and output lists.
  s.drv.reply(common_reply(elems([](t_ostream& o) { o << 0; })));
  obj->run_method_by_name(u16(u"Swap").data(), args, 0);
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x0C" "\x07\x01" "A.Cls" "\x06\x01" "Swap" "\x03\x04\x00"
                                      "\x03\x04\x00" "\x03\x04\x00" "\x03\x04\x00"s));
  // An object result is asked for as a reference.
  s.drv.reply(common_reply(elems([](t_ostream& o) { text(o, ""); })));
  obj->run_method_by_name(u16(u"Peer").data(), args, 0);
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x0C" "\x07\x01" "A.Cls" "\x06\x01" "Peer" "\x03\x04\x01"
                                      "\x03\x04\x00" "\x03\x04\x00" "\x03\x04\x00"s));
  // No result: "B8".
  s.drv.reply(common_reply());
  obj->run_method_by_name(u16(u"Touch").data(), args, 2);
  EXPECT_EQ(s.drv.requests.back().code, "B8");
  // A class method goes out with object id -1, from an object or not.
  s.drv.reply(common_reply(elems([](t_ostream& o) { o << 0; })));
  obj->run_method_by_name(u16(u"Make").data(), args, 1);
  EXPECT_EQ(hex(last_payload(s).substr(0, 3)), "03 05 FF");
  s.drv.reply(common_reply(elems([](t_ostream& o) { o << 0; })));
  run_class_method(*s.db, u16(u"a.cls").data(), u16(u"make").data(), args, 1);
  EXPECT_EQ(hex(last_payload(s).substr(0, 3)), "03 05 FF");
  EXPECT_EQ(s.drv.requests.back().code, "B7");

  const std::size_t sent = s.drv.requests.size();
  expect_err([&] { obj->run_method_by_name(u16(u"Swap").data(), args, 5); }, -5, "too many arguments");
  expect_err([&] { obj->run_method_by_name(u16(u"Swapp").data(), args, 1); }, -1, "method not found");
  EXPECT_EQ(s.drv.requests.size(), sent);
  close(s, obj);
}

TEST(dyn_obj, properties_by_their_definitions) {
  session s;
  d_ref<Dyn_obj> obj = open_object(s);
  d_string name;
  s.drv.reply(common_reply(elems([](t_ostream& o) { text(o, "Ann"); })));
  obj->get(u16(u"name").data(), name);
  EXPECT_EQ(name.mb_str(), "Ann");
  EXPECT_EQ(s.drv.requests.back().code, "BH");
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x0C" "\x06\x01" "Name" "\x03\x04\x00"s));

  // An object-valued property is read and written as a reference.
  s.drv.reply(common_reply(elems([](t_ostream& o) { text(o, ""); })));
  obj->get(u16(u"SPOUSE").data());
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x0C" "\x08\x01" "Spouse" "\x03\x04\x01"s));
  d_int id(7);
  s.drv.reply(common_reply());
  obj->set(u16(u"spouse").data(), id);
  EXPECT_EQ(s.drv.requests.back().code, "BI");
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x0C" "\x08\x01" "Spouse" "\x03\x04\x01" "\x03\x04\x07"s));

  const std::size_t sent = s.drv.requests.size();
  expect_err([&] { obj->set(u16(u"Nope").data(), id); }, -1, "property not found");
  EXPECT_EQ(s.drv.requests.size(), sent);
  close(s, obj);
}
