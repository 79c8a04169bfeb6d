#include "support/scripted_driver.h"

#include <torqa/session.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace std::string_literals;
using torqa::test::bytes_elem;
using torqa::test::common_reply;
using torqa::test::elems;
using torqa::test::err_record;
using torqa::test::hex;
using torqa::test::scripted_driver;
using torqa::test::startup_reply;
using torqa::test::u16;

namespace {

const std::vector<unsigned short> cls = u16(u"Sample.Person");
const std::string cls_elem = "\x0F\x01" "Sample.Person"s;
const std::string open_info = elems([](t_ostream& o) { o << 5803; });
const std::string found_info = elems([](t_ostream& o) { o << 5809; });

class requests : public ::testing::Test {
 protected:
  void SetUp() override {
    drv.reply(startup_reply());
    db = std::make_unique<Database>(conn, false);
  }
  void TearDown() override {
    drv.reply(bytes_elem("") + bytes_elem(""));
    db.reset();
  }
  const torqa::test::request& last() const { return drv.requests.back(); }

  // A reply whose result is `result` and whose head is otherwise clear.
  void answer(const std::string& result = "") { drv.reply(common_reply(result)); }

  template <class F>
  static Db_err thrown(F f) {
    try {
      f();
    } catch (const Db_err& e) {
      return e;
    }
    ADD_FAILURE() << "nothing thrown";
    return {};
  }

  static std::string read_text(t_istream& is) {
    d_string s;
    s.get(is, nullptr);
    return s.mb_str();
  }

  scripted_driver drv;
  Handle<Conn_t> conn = tcp_conn::connect("local[0]:test", "u", "p", nullptr);
  std::unique_ptr<Database> db;
};

TEST_F(requests, open_obj_sends_B9_and_reports_errors_into_the_record) {
  answer(bytes_elem("12@Sample.Person"));
  Db_err err(42, "stale");
  t_istream& r = db->open_obj(d_binary("1"), 4, -1, &err);
  EXPECT_EQ(last().code, "B9");
  EXPECT_EQ(hex(last().payload), "03 01 31 03 04 04 03 05 FF");
  EXPECT_EQ(&r, &db->get_reply());
  EXPECT_EQ(read_text(r), "12@Sample.Person");
  EXPECT_EQ(err.code, 0);

  drv.reply(common_reply("", err_record(-9, "locked", open_info)));
  db->open_obj(d_binary("1"), 4, -1, &err);
  EXPECT_EQ(err.code, -9);
  EXPECT_EQ(err.msg, "couldn't aquire exclusive lock");
  EXPECT_EQ(err.info, open_info);

  drv.reply(common_reply("", err_record(-9, "locked", open_info)));
  EXPECT_NO_THROW(db->open_obj(d_binary("1"), 4, -1, nullptr));

  // A reply that ends early is caught like a server error; a reply that
  // never comes fails the exchange itself and propagates.
  drv.reply(bytes_elem("") + bytes_elem(""));
  db->open_obj(d_binary("1"), 4, -1, &err);
  EXPECT_EQ(err.msg, "assertion failed in t_itcpbuf::underflow()");
  EXPECT_EQ(thrown([&] { db->open_obj(d_binary("1"), 4, -1, &err); }).msg,
            "assertion failed in t_itcpbuf::reset()");
}

TEST_F(requests, openid_obj_sends_BG_with_two_texts) {
  const auto text = u16(u"Aé");
  answer(bytes_elem("3@Sample.Person"));
  Db_err err;
  db->openid_obj(cls.data(), text.data(), 0, 2, &err);
  EXPECT_EQ(last().code, "BG");
  EXPECT_EQ(hex(last().payload), hex(cls_elem + "\x05\x01" "A\xC3\xA9" "\x03\x04\x00\x03\x04\x02"s));
  EXPECT_EQ(err.code, 0);

  drv.reply(common_reply("", err_record(-9, "no", found_info)));
  db->openid_obj(cls.data(), text.data(), 0, 2, &err);
  EXPECT_EQ(err.code, -9);
  EXPECT_EQ(err.msg, "object not found");
}

TEST_F(requests, names_go_as_16_bit_text_to_a_16_bit_server) {
  TearDown();
  drv.reply(startup_reply(true, true));
  db = std::make_unique<Database>(conn, false);
  const auto text = u16(u"Aé");
  answer();
  db->openid_obj(text.data(), text.data(), 0, 0, nullptr);
  EXPECT_EQ(hex(last().payload), "06 02 41 00 E9 00 06 02 41 00 E9 00 03 04 00 03 04 00");
  answer();
  db->get_property(1, 0, 0, ret_data, text.data());
  EXPECT_EQ(hex(last().payload), "03 04 01 06 02 41 00 E9 00 03 04 00");
}

TEST_F(requests, make_obj_calls_the_class_method_New) {
  const std::string head = "\x03\x05\xFF"s + cls_elem + "\x06\x01%New\x03\x04\x01"s;
  answer(bytes_elem("5@Sample.Person"));
  Db_err err(42, "stale");
  t_istream& r = db->make_obj(cls.data(), nullptr, &err);
  EXPECT_EQ(last().code, "B7");
  EXPECT_EQ(hex(last().payload), hex(head + "\x03\x04\x00\x03\x04\x00\x03\x04\x00"s));
  EXPECT_EQ(read_text(r), "5@Sample.Person");
  EXPECT_EQ(err.code, 0);

  const auto arg = u16(u"x");
  answer();
  db->make_obj(cls.data(), arg.data(), &err);
  EXPECT_EQ(hex(last().payload), hex(head + "\x03\x04\x01\x03\x01x\x03\x04\x00\x03\x04\x00"s));

  // Server and transport errors alike land in the record.
  drv.reply(common_reply("", err_record(-9, "no", found_info)));
  db->make_obj(cls.data(), nullptr, &err);
  EXPECT_EQ(err.msg, "object not found");
  EXPECT_NO_THROW(db->make_obj(cls.data(), nullptr, &err));  // no reply
  EXPECT_EQ(err.code, -1);
  EXPECT_EQ(err.msg, "assertion failed in t_itcpbuf::reset()");
  EXPECT_NO_THROW(db->make_obj(cls.data(), nullptr, nullptr));
}

TEST_F(requests, run_method_sends_arguments_outputs_and_reference_positions) {
  const auto mtd = u16(u"M");
  d_int five(5);
  abs_d_ref ref1(nullptr), ref2(nullptr);
  d_string x("x");
  D_type* args[] = {&five, &ref1, &x, &ref2};
  const int outs[] = {1, 3};
  const struct {
    db_ret_type rt;
    const char* code;
    const char* flag;
  } kinds[] = {{ret_ref, "B7", "01"}, {ret_data, "B7", "00"}, {ret_none, "B8", "00"}};
  for (const auto& k : kinds) {
    answer("\x03\x04\x2A"s);
    t_istream& r = db->run_method(12, cls.data(), mtd.data(), args, 4, outs, 2, k.rt);
    EXPECT_EQ(last().code, k.code);
    EXPECT_EQ(hex(last().payload), hex("\x03\x04\x0C"s + cls_elem + "\x03\x01M") + " 03 04 " + k.flag +
                                       " 03 04 04 03 04 05 02 01 03 01 78 02 01"
                                       " 03 04 02 03 04 01 03 04 03"
                                       " 03 04 02 03 04 02 03 04 04");
    int v = 0;
    r >> v;
    EXPECT_EQ(v, 42);
  }

  answer();
  db->run_method(-1, cls.data(), mtd.data(), nullptr, 0, nullptr, 0, ret_none);
  EXPECT_EQ(hex(last().payload), hex("\x03\x05\xFF"s + cls_elem + "\x03\x01M") + " 03 04 00 03 04 00 03 04 00 03 04 00");

  drv.reply(common_reply("", err_record(-9, "locked", open_info)));
  try {
    db->run_method(12, cls.data(), mtd.data(), nullptr, 0, nullptr, 0, ret_data);
    ADD_FAILURE() << "nothing thrown";
  } catch (const Err_open_obj& e) {
    EXPECT_EQ(e.srv_code, 5803);
  }
}

TEST_F(requests, run_method_refuses_more_than_128_arguments_before_sending) {
  const auto mtd = u16(u"M");
  std::vector<abs_d_ref> refs(Database::max_args + 1, abs_d_ref(nullptr));
  std::vector<D_type*> args;
  for (auto& r : refs) args.push_back(&r);
  const std::vector<int> outs(Database::max_args + 1, 1);

  const std::size_t sent = drv.requests.size();
  for (auto [nargs, nout] : {std::pair{129, 0}, std::pair{0, 129}}) {
    const Db_err e = thrown([&] { db->run_method(1, cls.data(), mtd.data(), args.data(), nargs, outs.data(), nout, ret_none); });
    EXPECT_EQ(e.code, -5);
    EXPECT_EQ(e.msg, "too many arguments");
  }
  EXPECT_EQ(drv.requests.size(), sent);

  // 128 of each are accepted; every argument is a reference.
  answer();
  db->run_method(1, cls.data(), mtd.data(), args.data(), 128, outs.data(), 128, ret_none);
  const std::string& p = last().payload;
  const std::size_t head = ("\x03\x04\x01"s + cls_elem + "\x03\x01M\x03\x04\x00"s).size();
  EXPECT_EQ(hex(p.substr(head, 3)), "03 04 80");                      // nargs
  EXPECT_EQ(hex(p.substr(head + 3 + 128 * 2, 3)), "03 04 80");        // nout
  const std::size_t refs_at = head + 3 + 128 * 2 + 3 + 128 * 3;
  EXPECT_EQ(hex(p.substr(refs_at, 6)), "03 04 80 03 04 01");          // count, first position
  EXPECT_EQ(hex(p.substr(p.size() - 3)), "03 04 80");                 // last position
}

TEST_F(requests, property_reads_and_writes) {
  const auto name = u16(u"Age");
  answer("\x03\x04\x2A"s);
  t_istream& r = db->get_property(7, 3, 0, ret_data, name.data());
  EXPECT_EQ(last().code, "BH");
  EXPECT_EQ(hex(last().payload), "03 04 07 05 01 41 67 65 03 04 00");
  d_int age;
  age.get(r, db.get());
  EXPECT_EQ(age.value(), 42);

  answer();
  db->get_property(7, 3, 0, ret_ref, name.data());
  EXPECT_EQ(hex(last().payload), "03 04 07 05 01 41 67 65 03 04 01");

  d_int value(43);
  answer();
  db->set_property(7, 3, 0, 0, ret_data, name.data(), &value);
  EXPECT_EQ(last().code, "BI");
  EXPECT_EQ(hex(last().payload), "03 04 07 05 01 41 67 65 03 04 00 03 04 2B");

  drv.reply(common_reply("", err_record(-9, "locked", open_info)));
  EXPECT_EQ(thrown([&] { db->get_property(7, 3, 0, ret_data, name.data()); }).code, -9);
  drv.reply(common_reply("", err_record(-30, "read only")));
  EXPECT_EQ(thrown([&] { db->set_property(7, 3, 0, 0, ret_data, name.data(), &value); }).msg, "read only");

  // A value that cannot be written leaves nothing behind.
  const std::size_t sent = drv.requests.size();
  d_binary huge(std::string(70000, 'h').data(), 70000);
  EXPECT_EQ(thrown([&] { db->set_property(7, 3, 0, 0, ret_data, name.data(), &huge); }).code, -1000);
  EXPECT_EQ(drv.requests.size(), sent);
  answer();
  db->set_property(7, 3, 0, 0, ret_data, name.data(), &value);
  EXPECT_EQ(hex(last().payload), "03 04 07 05 01 41 67 65 03 04 00 03 04 2B");
}

TEST_F(requests, the_cache_is_asked_first) {
  TearDown();
  drv.reply(startup_reply());
  db = std::make_unique<Database>(conn, true);
  const auto name = u16(u"Age");
  const std::size_t sent = drv.requests.size();

  // A change the cache takes over, read back from its pending buffer.
  d_int value(43);
  db->set_property(7, 3, 0, 9, ret_data, name.data(), &value);
  int v = 0;
  db->get_property(7, 3, 0, ret_data, name.data()) >> v;
  EXPECT_EQ(v, 43);
  EXPECT_EQ(drv.requests.size(), sent);

  // The next request carries it ahead of its own fields; the reply's cache
  // section fills the cache (object 7, slot 4 holds the text 44).
  drv.reply(common_reply("\x03\x04\x2C"s, "", "", "", "\x03\x04\x01\x03\x04\x07\x03\x04\x01\x03\x04\x04\x04\x01" "44"s));
  db->get_property(7, -2, 0, ret_data, name.data());
  EXPECT_EQ(last().code, "BH");
  EXPECT_EQ(hex(last().payload), "03 04 01 03 04 07 03 04 03 03 04 00 03 04 09 03 04 2B 03 04 00 03 04 00"
                                 " 03 04 07 05 01 41 67 65 03 04 00");
  const std::size_t after = drv.requests.size();
  db->get_property(7, 4, 0, ret_data, name.data()) >> v;
  EXPECT_EQ(v, 44);
  EXPECT_EQ(drv.requests.size(), after);

  // A slot the cache never keeps goes to the server at once.
  drv.reply(common_reply("", "", "", "", "\x03\x04\x00"s));
  db->set_property(7, -2, 0, 0, ret_data, name.data(), &value);
  EXPECT_EQ(last().code, "BI");
}

TEST_F(requests, status_decoding_sends_BJ_and_reads_no_common_head) {
  d_status status;
  status.assign("ABC", 3);
  const std::string reply = bytes_elem(err_record(-20, "bad")) + "\x03\x04\x05"s + bytes_elem("five");
  for (bool with_record : {true, false}) {
    drv.reply(reply);
    Db_err err;
    status.get_from_srv(db.get(), "ctx", with_record ? &err : nullptr);
    EXPECT_EQ(last().code, "BJ");
    EXPECT_EQ(hex(last().payload), "05 01 41 42 43 05 01 63 74 78");
    EXPECT_EQ(err.code, with_record ? -20 : 0);
    EXPECT_EQ(err.msg, with_record ? "bad" : "");
    EXPECT_EQ(status.get_code(), 5);
    EXPECT_EQ(status.get_msg().mb_str(), "five");
  }
}

TEST_F(requests, replies_read_the_same_whatever_their_chunking) {
  const auto name = u16(u"Age");
  const std::string property = common_reply("\x03\x04\x2A"s, "", "", "output");
  const std::string failure = common_reply("", err_record(-9, "locked", open_info), "", "out");
  const std::string status = bytes_elem(err_record(-20, "bad")) + "\x03\x04\x05"s + bytes_elem("five");
  for (std::size_t at = 1; at < failure.size(); ++at) {
    SCOPED_TRACE(at);
    if (at < property.size()) {
      drv.reply(property, {at});
      int v = 0;
      db->get_property(7, 3, 0, ret_data, name.data()) >> v;
      EXPECT_EQ(v, 42);
      EXPECT_EQ(db->get_output().length(), 6);
    }
    drv.reply(failure, {at});
    Db_err err;
    db->open_obj(d_binary("1"), 0, 0, &err);
    EXPECT_EQ(err.code, -9);
    EXPECT_EQ(err.msg, "couldn't aquire exclusive lock");
    if (at < status.size()) {
      drv.reply(status, {at});
      d_status s;
      s.get_from_srv(db.get(), "ctx", &err);
      EXPECT_EQ(err.code, -20);
      EXPECT_EQ(s.get_code(), 5);
    }
  }
}

}  // namespace
