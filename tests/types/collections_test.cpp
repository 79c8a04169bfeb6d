// Collections and streams: each operation is one server method call.
#include "support/session_fixture.h"

#include <gtest/gtest.h>

#include <string>

using namespace torqa::test;
using namespace std::string_literals;

namespace {

d_ref<d_collection> list(session& s, bool with_get = true) {
  std::string methods = method_record("SetAt", {false, false}) + method_record("InsertAt", {false, false}) +
                        method_record("RemoveAt", {false});
  if (with_get) methods += method_record("GetAt", {false});
  return typed_ref<d_collection>(s, "7@%ListOfDataTypes", methods);
}

d_ref<d_stream> stream(session& s) {
  return typed_ref<d_stream>(s, "9@%Library.GlobalCharacterStream",
                             method_record("Read", {true}) + method_record("Write", {false}) +
                                 method_record("CopyFrom", {false}));
}

const std::string status_ok = common_reply(bytes_elem("1"));

}  // namespace

TEST(d_collection, set_and_ins_refuse_a_null_value_before_sending) {
  session s;
  d_ref<d_collection> c = list(s);
  d_int key(1), none;
  EXPECT_EQ(thrown([&] { c->set(key, none); }), "-1 assertion failed in collections");
  EXPECT_EQ(thrown([&] { c->ins(key, none); }), "-1 assertion failed in collections");
  EXPECT_TRUE(s.drv.requests.empty());

  // A null key is sent: object 7, class, method, no reference arguments,
  // two arguments (null, "v"), no outputs.
  s.drv.reply(status_ok);
  c->set(none, d_string("v"));
  EXPECT_EQ(s.last_hex(), hex("\x03\x04\x07" "\x12\x01" "%ListOfDataTypes" "\x07\x01" "SetAt" "\x03\x04\x00"
                              "\x03\x04\x02" "\x02\x01" "\x03\x01" "v" "\x03\x04\x00" "\x03\x04\x00"s));
  s.drv.reply(status_ok);
  c->ins(key, d_string("v"));
  EXPECT_NE(s.last().payload.find("\x0A\x01" "InsertAt"), std::string::npos);
  close_ref(s, c);
}

TEST(d_collection, get_answers_the_element_and_del_sends_one_argument) {
  {
    session s;
    d_ref<d_collection> no_get = list(s, false);
    EXPECT_EQ(thrown([&] { no_get->get(d_int(3)); }), "-1 method not found");
    EXPECT_TRUE(s.drv.requests.empty());
    close_ref(s, no_get);
  }
  session s;
  d_ref<d_collection> c = list(s);
  s.drv.reply(common_reply(elems([](t_ostream& o) { text(o, "abc"); })));
  EXPECT_EQ(d_string(c->get(d_int(3))).mb_str(), "abc");
  s.drv.reply(common_reply());
  c->del(d_int(3));
  EXPECT_EQ(s.last_hex(), hex("\x03\x04\x07" "\x12\x01" "%ListOfDataTypes" "\x0A\x01" "RemoveAt" "\x03\x04\x00"
                              "\x03\x04\x01" "\x03\x04\x03" "\x03\x04\x00" "\x03\x04\x00"s));
  close_ref(s, c);
}

TEST(d_stream, read_takes_the_data_and_the_amount_read) {
  session s;
  d_ref<d_stream> st = stream(s);
  d_int len(100);
  d_string data("old");
  s.drv.reply(common_reply(elems([](t_ostream& o) { o.put_str(1, "h\0i\0", 4), o << 2; })));
  st->read(len, data);
  EXPECT_EQ(s.last_hex(), hex("\x03\x04\x09" "\x20\x01" "%Library.GlobalCharacterStream" "\x06\x01" "Read"
                              "\x03\x04\x00" "\x03\x04\x01" "\x03\x04\x64" "\x03\x04\x01" "\x03\x04\x01"
                              "\x03\x04\x00"s));
  EXPECT_EQ(data.kind(), 1);
  EXPECT_EQ(data.mb_str(), "hi");
  EXPECT_EQ(len.value(), 2);

  d_binary bytes;
  s.drv.reply(common_reply(elems([](t_ostream& o) { o.put_str(0, "\x00\xFF\x01", 3), o << 3; })));
  st->read(len, bytes);
  EXPECT_EQ(hex(bytes.bytes()), "00 FF 01");
  EXPECT_EQ(len.value(), 3);

  const std::size_t sent = s.drv.requests.size();  // the class has no ReadLine
  EXPECT_THROW(st->readline(len, data), Db_err);
  EXPECT_EQ(s.drv.requests.size(), sent);
  close_ref(s, st);
}

TEST(d_stream, write_and_copy_send_one_value) {
  session s;
  d_ref<d_collection> c = list(s);
  d_ref<d_stream> st = stream(s);
  s.drv.reply(status_ok);
  st->write(d_string(""));
  const std::string p = s.last().payload;
  EXPECT_EQ(hex(p.substr(p.size() - 11)), hex("\x03\x04\x01" "\x02\x01" "\x03\x04\x00" "\x03\x04\x00"s));

  // The source goes out as its object id and is listed as a reference.
  s.drv.reply(status_ok);
  EXPECT_EQ(&st->copy(c), &*st);
  const std::string q = s.last().payload;
  EXPECT_EQ(hex(q.substr(q.size() - 15)),
            hex("\x03\x04\x01" "\x03\x04\x07" "\x03\x04\x00" "\x03\x04\x01" "\x03\x04\x01"s));
  close_ref(s, st);
  close_ref(s, c);
}
