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

const std::string status_ok = common_reply(bytes_elem("1"));

}  // namespace

// The calls themselves (method names, arguments, outputs) run against the
// server in the end-to-end tests; here: what is refused before sending.
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
