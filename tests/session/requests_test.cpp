#include "support/session_fixture.h"

#include <torqa/session.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;
using namespace torqa::test;

namespace {

const std::vector<unsigned short> cls = u16(u"Sample.Person"), mtd = u16(u"M");
const std::string cls_hex = "0F 01 " + hex("Sample.Person");
const std::string lock_info = elems([](t_ostream& o) { o << 5803; });

std::string text_of(t_istream& is) { return d_string(is).mb_str(); }

TEST(requests, open_obj_sends_B9_and_reports_errors_into_the_record) {
  session s;
  s.drv.reply(common_reply(bytes_elem("12@Sample.Person")));
  Db_err err(42, "stale");
  t_istream& r = s.db->open_obj(d_binary("1"), 4, -1, &err);
  EXPECT_EQ(s.sent(), "B9 03 01 31 03 04 04 03 05 FF");
  EXPECT_TRUE(&r == &s.db->get_reply() && text_of(r) == "12@Sample.Person" && described(err) == "0 ");

  s.drv.reply(common_reply("", err_record(-9, "locked", lock_info)));
  s.db->open_obj(d_binary("1"), 4, -1, &err);
  EXPECT_TRUE(described(err) == "-9 couldn't aquire exclusive lock" && err.info == lock_info);
  s.drv.reply(common_reply("", err_record(-9, "locked", lock_info)));
  EXPECT_EQ(thrown([&] { s.db->open_obj(d_binary("1"), 4, -1, nullptr); }), "nothing thrown");

  // A reply ending early is caught like a server error; one never coming fails the exchange and propagates.
  s.drv.reply(bytes_elem("") + bytes_elem(""));
  EXPECT_EQ((s.db->open_obj(d_binary("1"), 4, -1, &err), err.msg), "assertion failed in t_itcpbuf::underflow()");
  EXPECT_EQ(thrown([&] { s.db->open_obj(d_binary("1"), 4, -1, &err); }), "-1 assertion failed in t_itcpbuf::reset()");
}

TEST(requests, make_obj_calls_the_class_method_New) {
  session s;
  const std::string head = "B7 03 05 FF " + cls_hex + " 06 01 25 4E 65 77 03 04 01 ";
  s.drv.reply(common_reply(bytes_elem("5@Sample.Person")));
  Db_err err(42, "stale");
  EXPECT_TRUE(text_of(s.db->make_obj(cls.data(), nullptr, &err)) == "5@Sample.Person" && err.code == 0);
  EXPECT_EQ(s.sent(), head + "03 04 00 03 04 00 03 04 00");
  s.drv.reply(common_reply());
  s.db->make_obj(cls.data(), u16(u"x").data(), &err);
  EXPECT_EQ(s.sent(), head + "03 04 01 03 01 78 03 04 00 03 04 00");
  // A class name as a reference text handed it out (it lives in the shared
  // scratch name) goes out as read, whatever the argument.
  std::string ref = bytes_elem("7@Sample.Person");
  t_istrstream is(ref.data(), static_cast<int>(ref.size()));
  int oid = 0;
  const unsigned short* read_cls = nullptr;
  abs_d_ref::get_oref_n_name(is, &oid, &read_cls);
  s.drv.reply(common_reply());
  s.db->make_obj(read_cls, u16(u"Bob").data(), &err);
  EXPECT_EQ(s.sent(), head + "03 04 01 05 01 42 6F 62 03 04 00 03 04 00");

  // Transport errors land in the record too.
  EXPECT_EQ(thrown([&] { s.db->make_obj(cls.data(), nullptr, &err); }), "nothing thrown");  // no reply
  EXPECT_EQ(described(err), "-1 assertion failed in t_itcpbuf::reset()");
  EXPECT_EQ(thrown([&] { s.db->make_obj(cls.data(), nullptr, nullptr); }), "nothing thrown");
}

TEST(requests, run_method_sends_arguments_outputs_and_reference_positions) {
  session s;
  d_int five(5);
  abs_d_ref ref1(nullptr), ref2(nullptr);
  d_string x("x");
  D_type* args[] = {&five, &ref1, &x, &ref2};
  const int outs[] = {1, 3};
  const struct { db_ret_type rt; const char* code; const char* flag; } kinds[] = {
      {ret_ref, "B7", "01"}, {ret_data, "B7", "00"}, {ret_none, "B8", "00"}};
  for (const auto& k : kinds) {
    s.drv.reply(common_reply("\x03\x04\x2A"s));
    int v = 0;
    EXPECT_EQ((s.db->run_method(12, cls.data(), mtd.data(), args, 4, outs, 2, k.rt) >> v, v), 42) << k.code;
    EXPECT_EQ(s.sent(), std::string(k.code) + " 03 04 0C " + cls_hex + " 03 01 4D 03 04 " + k.flag +
                            " 03 04 04 03 04 05 02 01 03 01 78 02 01"  // four arguments
                            " 03 04 02 03 04 01 03 04 03"              // two outputs
                            " 03 04 02 03 04 02 03 04 04");            // two references
  }
}

TEST(requests, run_method_refuses_more_than_128_arguments_before_sending) {
  session s;
  std::vector<abs_d_ref> refs(Database::max_args + 1, abs_d_ref(nullptr));
  std::vector<D_type*> args;
  for (auto& r : refs) args.push_back(&r);
  const std::vector<int> outs(Database::max_args + 1, 1);
  for (auto [nargs, nout] : {std::pair{129, 0}, std::pair{0, 129}})
    EXPECT_EQ(thrown([&] { s.db->run_method(1, cls.data(), mtd.data(), args.data(), nargs, outs.data(), nout, ret_none); }),
              "-5 too many arguments");
  EXPECT_TRUE(s.drv.requests.empty());

  // 128 of each are accepted; every argument is a reference.
  s.drv.reply(common_reply());
  s.db->run_method(1, cls.data(), mtd.data(), args.data(), 128, outs.data(), 128, ret_none);
  const std::string& p = s.last().payload;
  const std::size_t nargs = 3 + 15 + 3 + 3, nout = nargs + 3 + 128 * 2, refs_at = nout + 3 + 128 * 3;  // after oid, class, method, flag
  EXPECT_EQ(hex(p.substr(nargs, 3)) + " | " + hex(p.substr(nout, 3)) + " | " + hex(p.substr(refs_at, 6)) + " | " +
                hex(p.substr(p.size() - 3)),
            "03 04 80 | 03 04 80 | 03 04 80 03 04 01 | 03 04 80");  // counts, first and last reference position
}

TEST(requests, property_reads_and_writes) {
  session s;
  const auto name = u16(u"Age");
  s.drv.reply(common_reply("\x03\x04\x2A"s));
  int age = 0;
  EXPECT_EQ((s.db->get_property(7, 3, 0, ret_data, name.data()) >> age, age), 42);
  EXPECT_EQ(s.sent(), "BH 03 04 07 05 01 41 67 65 03 04 00");

  d_int value(43);

  // A value that cannot be written leaves nothing behind.
  const std::size_t sent = s.drv.requests.size();
  d_binary huge(std::string(70000, 'h').data(), 70000);
  EXPECT_EQ(thrown([&] { s.db->set_property(7, 3, 0, 0, ret_data, name.data(), &huge); }),
            "-1000 value too long for one element");
  EXPECT_EQ(s.drv.requests.size(), sent);
  s.drv.reply(common_reply());
  s.db->set_property(7, 3, 0, 0, ret_data, name.data(), &value);
  EXPECT_EQ(s.sent(), "BI 03 04 07 05 01 41 67 65 03 04 00 03 04 2B");
}

TEST(requests, status_decoding_sends_BJ_and_reads_no_common_head) {
  session s;
  d_status status;
  status.assign("ABC", 3);
  for (bool with_record : {true, false}) {
    s.drv.reply(bytes_elem(err_record(-20, "bad")) + "\x03\x04\x05"s + bytes_elem("five"));
    Db_err err;
    status.get_from_srv(&*s.db, "ctx", with_record ? &err : nullptr);
    EXPECT_EQ(s.sent() + " | " + described(err) + " | " + std::to_string(status.get_code()) + " " +
                  status.get_msg().mb_str(),
              std::string("BJ 05 01 41 42 43 05 01 63 74 78 | ") + (with_record ? "-20 bad" : "0 ") + " | 5 five");
  }
}

}  // namespace
