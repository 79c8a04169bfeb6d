// Collections and streams: each operation is one server method call.
#include "support/session_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace torqa::test;

namespace {

// A list whose class has no GetAt.
d_ref<d_collection> list(session& s) {
  return typed_ref<d_collection>(s, "7@%ListOfDataTypes",
                                 method_record("SetAt", {false, false}) + method_record("InsertAt", {false, false}));
}

d_ref<d_stream> stream(session& s) {
  return typed_ref<d_stream>(s, "9@%Library.GlobalCharacterStream", method_record("Read", {true}));
}

const std::string status_ok = common_reply(bytes_elem("1"));

}  // namespace

// The calls themselves (method names, arguments, outputs) run against the
// server in the end-to-end tests; here: what is refused before sending, and
// how read's outputs are taken.
TEST(d_collection, null_values_and_missing_methods_are_refused_before_sending) {
  session s;
  d_ref<d_collection> c = list(s);
  d_int key(1), none;
  EXPECT_EQ(thrown([&] { c->set(key, none); }), "-1 assertion failed in collections");
  EXPECT_EQ(thrown([&] { c->ins(key, none); }), "-1 assertion failed in collections");
  EXPECT_EQ(thrown([&] { c->get(d_int(3)); }), "-1 method not found");
  EXPECT_TRUE(s.drv.requests.empty());
  // A null key is sent as a null argument.
  s.drv.reply(status_ok);
  c->set(none, d_string("v"));
  EXPECT_EQ(hex(s.last().payload.substr(s.last().payload.size() - 14)), "03 04 02 02 01 03 01 76 03 04 00 03 04 00");
  close_ref(s, c);
}

TEST(d_stream, read_takes_the_data_and_the_amount_read) {
  session s;
  d_ref<d_stream> st = stream(s);
  d_int len(100);
  d_string data("old");
  s.drv.reply(common_reply(elems([](t_ostream& o) { o.put_str(1, "h\0i\0", 4), o << 2; })));
  st->read(len, data);
  EXPECT_TRUE(data.kind() == 1 && data.mb_str() == "hi" && len.value() == 2);
  d_binary bytes;
  s.drv.reply(common_reply(elems([](t_ostream& o) { o.put_str(0, "\x00\xFF\x01", 3), o << 3; })));
  st->read(len, bytes);
  EXPECT_TRUE(hex(bytes.bytes()) == "00 FF 01" && len.value() == 3);

  const std::size_t sent = s.drv.requests.size();  // the class has no ReadLine
  EXPECT_THROW(st->readline(len, data), Db_err);
  EXPECT_EQ(s.drv.requests.size(), sent);
  close_ref(s, st);
}
