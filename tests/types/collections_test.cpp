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

// A method returning a data value; `outputs` gives each argument's is_output.
std::string method(const char* name, std::vector<bool> outputs) {
  return elems([&](t_ostream& o) {
    o << false;
    text(o, "");
    o << 1 << true << false;
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

// The proxy for reference text `ref`, its class listing `methods`.
template <class T>
d_ref<T> proxy(session& s, const char* ref, const std::string& methods) {
  s.drv.reply(defs());
  s.drv.reply(defs(methods));
  s.drv.reply(defs());
  std::string bytes = elems([&](t_ostream& o) { text(o, ref); });
  t_istrstream in(bytes.data(), static_cast<int>(bytes.size()));
  d_ref<T> r;
  r.get(in, &*s.db);
  s.drv.requests.clear();
  return r;
}

d_ref<d_collection> list(session& s) {
  return proxy<d_collection>(s, "7@%ListOfDataTypes",
                             method("SetAt", {false, false}) + method("InsertAt", {false, false}) +
                                 method("GetAt", {false}) + method("RemoveAt", {false}));
}

d_ref<d_stream> stream(session& s) {
  return proxy<d_stream>(s, "9@%Library.GlobalCharacterStream",
                         method("Read", {true}) + method("Write", {false}) + method("CopyFrom", {false}));
}

template <class T>
void close(session& s, d_ref<T>& r) {
  s.drv.reply(bytes_elem(""));
  r.set_null();
}

std::string last_payload(const session& s) { return s.drv.requests.empty() ? "" : s.drv.requests.back().payload; }

const std::string status_ok = common_reply(bytes_elem("1"));

}  // namespace

TEST(d_collection, set_and_ins_refuse_a_null_value_before_sending) {
  session s;
  d_ref<d_collection> c = list(s);
  d_int key(1), none;
  for (auto call : {&d_collection::set, &d_collection::ins}) {
    try {
      ((*c).*call)(key, none);
      ADD_FAILURE() << "no error";
    } catch (const Db_err& e) {
      EXPECT_EQ(e.code, -1);
      EXPECT_EQ(e.msg, "assertion failed in collections");
    }
  }
  EXPECT_TRUE(s.drv.requests.empty());

  // A null key is sent.
  s.drv.reply(status_ok);
  c->set(none, d_string("v"));
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x07" "\x12\x01" "%ListOfDataTypes" "\x07\x01" "SetAt"
                                      "\x03\x04\x00" "\x03\x04\x02" "\x02\x01" "\x03\x01" "v"
                                      "\x03\x04\x00" "\x03\x04\x00"s));
  s.drv.reply(status_ok);
  c->ins(key, d_string("v"));
  EXPECT_NE(last_payload(s).find("\x0A\x01" "InsertAt"), std::string::npos);
  close(s, c);
}

TEST(d_collection, get_answers_the_element_and_del_sends_one_argument) {
  session s;
  d_ref<d_collection> c = list(s);
  s.drv.reply(common_reply(elems([](t_ostream& o) { text(o, "abc"); })));
  EXPECT_EQ(d_string(c->get(d_int(3))).mb_str(), "abc");
  s.drv.reply(common_reply());
  c->del(d_int(3));
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x07" "\x12\x01" "%ListOfDataTypes" "\x0A\x01" "RemoveAt"
                                      "\x03\x04\x00" "\x03\x04\x01" "\x03\x04\x03"
                                      "\x03\x04\x00" "\x03\x04\x00"s));
  close(s, c);
}

TEST(d_stream, read_takes_the_data_and_the_amount_read) {
  session s;
  d_ref<d_stream> st = stream(s);
  d_int len(100);
  d_string data("old");
  s.drv.reply(common_reply(elems([](t_ostream& o) {
    o.put_str(1, "h\0i\0", 4);
    o << 2;
  })));
  st->read(len, data);
  EXPECT_EQ(hex(last_payload(s)), hex("\x03\x04\x09" "\x20\x01" "%Library.GlobalCharacterStream" "\x06\x01"
                                      "Read" "\x03\x04\x00" "\x03\x04\x01" "\x03\x04\x64"
                                      "\x03\x04\x01" "\x03\x04\x01" "\x03\x04\x00"s));
  EXPECT_EQ(data.kind(), 1);
  EXPECT_EQ(data.mb_str(), "hi");
  EXPECT_EQ(len.value(), 2);

  d_binary bytes;
  s.drv.reply(common_reply(elems([](t_ostream& o) {
    o.put_str(0, "\x00\xFF\x01", 3);
    o << 3;
  })));
  st->read(len, bytes);
  EXPECT_EQ(hex(bytes.bytes()), "00 FF 01");
  EXPECT_EQ(len.value(), 3);

  const std::size_t sent = s.drv.requests.size();
  EXPECT_THROW(st->readline(len, data), Db_err);
  EXPECT_EQ(s.drv.requests.size(), sent);
  close(s, st);
}

TEST(d_stream, write_and_copy_send_one_value) {
  session s;
  d_ref<d_collection> c = list(s);
  d_ref<d_stream> st = stream(s);
  s.drv.reply(status_ok);
  st->write(d_string(""));
  const std::string p = last_payload(s);
  EXPECT_EQ(hex(p.substr(p.size() - 11)), hex("\x03\x04\x01" "\x02\x01" "\x03\x04\x00" "\x03\x04\x00"s));

  // The source goes out as its object id and is listed as a reference.
  s.drv.reply(status_ok);
  EXPECT_EQ(&st->copy(c), &*st);
  const std::string q = last_payload(s);
  EXPECT_EQ(hex(q.substr(q.size() - 15)),
            hex("\x03\x04\x01" "\x03\x04\x07" "\x03\x04\x00" "\x03\x04\x01" "\x03\x04\x01"s));
  close(s, st);
  close(s, c);
}
