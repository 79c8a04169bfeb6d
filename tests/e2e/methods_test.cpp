// Methods, collections, streams and status decoding end to end.
#include "e2e_util.h"

namespace torqa::e2e {
namespace {

class e2e_methods : public e2e_test {};

TEST_P(e2e_methods, instance_and_class_methods_with_output_arguments) {
  d_ref<Dyn_obj> p = person("Ann");
  d_int age(42);
  p->set(U(u"Age"), age);

  d_string prefix("Dr ");
  d_int length(0);
  D_type* args[] = {&prefix, &length};
  d_string text(p->run_method_by_name(U(u"Describe"), args, 2));
  EXPECT_EQ(text.mb_str(), "Dr Ann (42)");
  EXPECT_EQ(length.value(), 11);

  d_int years(3);
  D_type* grow[] = {&years};
  p->run_method_by_name(U(u"Grow"), grow, 1);
  EXPECT_EQ(read<d_int>(p, u"Age").value(), 45);

  d_int a(17), b(5), quotient, remainder;
  D_type* div[] = {&a, &b, &quotient, &remainder};
  const auto ok = result<d_int>(run_class_method(*db, U(u"Sample.Person"), U(u"Divide"), div, 4), db.get());
  EXPECT_EQ(ok.value(), 1);
  EXPECT_EQ(quotient.value(), 3);
  EXPECT_EQ(remainder.value(), 2);
  d_int zero(0);
  D_type* bad[] = {&a, &zero};
  try {
    run_class_method(*db, U(u"Sample.Person"), U(u"Divide"), bad, 2);
    ADD_FAILURE() << "divided by zero";
  } catch (const Db_err& e) {
    EXPECT_EQ(e.code, -1100);
    EXPECT_EQ(e.msg, "division by zero");
  }

  d_string name("Kid");
  d_int kid_age(3);
  D_type* make[] = {&name, &kid_age};
  d_ref<Dyn_obj> kid;
  kid.get(run_class_method(*db, U(u"Sample.Person"), U(u"Make"), make, 2), db.get());
  ASSERT_FALSE(kid.is_null());
  EXPECT_EQ(read<d_string>(kid, u"Name").mb_str(), "Kid");
  EXPECT_EQ(read<d_int>(kid, u"Age").value(), 3);
}

TEST_P(e2e_methods, collections_of_data_and_of_objects) {
  {
    d_ref<Dyn_obj> p = person("Ann");
    d_ref<d_collection> tags = p->get_ref<d_collection>(U(u"Tags"));
    tags->ins(d_string("b"), d_int(1));
    tags->ins(d_string("a"), d_int(1));
    tags->set(d_string("\xC3\xA7"), d_int(3));  // one past the end: appends
    d_string second;
    second.get(tags->get(d_int(2)), db.get());
    EXPECT_EQ(second.mb_str(), "b");
    tags->del(d_int(1));
    const auto count = result<d_int>(tags->run_method_by_name(m_Count, nullptr, 0), db.get());
    EXPECT_EQ(count.value(), 2);
    try {
      tags->set(d_string("x"), d_int());
      ADD_FAILURE() << "a null key was sent";
    } catch (const Db_err& e) {
      EXPECT_EQ(e.msg, "assertion failed in collections");
    }

    d_ref<d_collection> scores = p->get_ref<d_collection>(U(u"Scores"));
    scores->set(d_int(90), d_string("math"));
    scores->set(d_int(70), d_string("art"));
    d_string key("");
    D_type* next[] = {&key};
    const auto first = result<d_int>(scores->run_method_by_name(m_GetNext, next, 1), db.get());
    EXPECT_EQ(key.mb_str(), "art");  // keys in order
    EXPECT_EQ(first.value(), 70);

    d_ref<Dyn_obj> bob = person("Bob");
    d_ref<d_collection> friends = p->get_ref<d_collection>(U(u"Friends"));
    D_type* one[] = {&bob};
    friends->run_method_by_name(m_Insert, one, 1);
    ASSERT_EQ(save(p), 0);
  }
  close();
  open();
  d_ref<Dyn_obj> ann = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  d_ref<d_collection> tags = ann->get_ref<d_collection>(U(u"Tags"));
  d_string first, last;
  first.get(tags->get(d_int(1)), db.get());
  last.get(tags->get(d_int(2)), db.get());
  EXPECT_EQ(first.mb_str(), "b");
  EXPECT_EQ(last.mb_str(), "\xC3\xA7");
  d_ref<d_collection> friends = ann->get_ref<d_collection>(U(u"Friends"));
  d_ref<Dyn_obj> bob;
  bob.get(friends->get(d_int(1)), db.get());
  EXPECT_EQ(read<d_string>(bob, u"Name").mb_str(), "Bob");
  d_int score;
  score.get(ann->get_ref<d_collection>(U(u"Scores"))->get(d_string("math")), db.get());
  EXPECT_EQ(score.value(), 90);
}

TEST_P(e2e_methods, streams_larger_than_one_element) {
  // Three writes of 2500 lines (40000 bytes each, 120000 in all), with a
  // non-ASCII character in every line.
  std::string chunk;
  for (int i = 0; i < 2500; ++i) chunk += "line \xC3\xA9 " + std::to_string(1000000 + i) + "\n";
  {
    d_ref<Dyn_obj> p = person("Ann");
    d_ref<d_stream> notes = p->get_ref<d_stream>(U(u"Notes"));
    for (int i = 0; i < 3; ++i) notes->write(d_string(chunk.c_str()));
    d_ref<d_stream> picture = p->get_ref<d_stream>(U(u"Picture"));
    const std::string bytes(70000, '\xAB');
    picture->write(d_binary(bytes.data(), 40000));
    picture->write(d_binary(bytes.data(), 30000));
    ASSERT_EQ(save(p), 0);
  }
  close();
  open();
  d_ref<Dyn_obj> p = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  d_ref<d_stream> notes = p->get_ref<d_stream>(U(u"Notes"));
  int lines = 0;
  while (true) {
    d_int len(1000);
    d_string line;
    notes->readline(len, line);
    if (len.value() == -1) break;
    const std::string expected = "line \xC3\xA9 " + std::to_string(1000000 + lines % 2500);
    ASSERT_EQ(line.mb_str(), expected) << lines;
    EXPECT_EQ(len.value(), 14);  // characters
    ++lines;
  }
  EXPECT_EQ(lines, 7500);

  d_ref<d_stream> picture = p->get_ref<d_stream>(U(u"Picture"));
  std::size_t total = 0;
  while (true) {
    d_int len(25000);
    d_binary data;
    picture->read(len, data);
    if (len.value() == -1) break;
    EXPECT_EQ(static_cast<std::size_t>(len.value()), data.size());
    EXPECT_EQ(data.bytes(), std::string(data.size(), '\xAB'));
    total += data.size();
  }
  EXPECT_EQ(total, 70000u);
  const auto size = result<d_int>(picture->run_method_by_name(m_SizeGet, nullptr, 0), db.get());
  EXPECT_EQ(size.value(), 70000);

  // CopyFrom into another stream property.
  d_ref<Dyn_obj> q = person("Bob");
  d_ref<d_stream> copy = q->get_ref<d_stream>(U(u"Picture"));
  copy->copy(picture);
  const auto copied = result<d_int>(copy->run_method_by_name(m_SizeGet, nullptr, 0), db.get());
  EXPECT_EQ(copied.value(), 70000);
}

TEST_P(e2e_methods, statuses_from_methods_and_their_decoding_by_the_server) {
  d_string missing("99");
  D_type* args[] = {&missing};
  d_status st(run_class_method(*db, U(u"Sample.Person"), U(u"%DeleteId"), args, 1));
  EXPECT_EQ(st.get_code(), -9);
  EXPECT_EQ(st.get_msg().mb_str(), "object not found");

  d_status by_server = st;
  Db_err err;
  by_server.get_from_srv(db.get(), "ignored", &err);
  EXPECT_EQ(err.code, 0);
  EXPECT_EQ(by_server.get_code(), -9);
  EXPECT_EQ(by_server.get_msg().mb_str(), "object not found");

  d_ref<Dyn_obj> p = person("Ann");
  ASSERT_EQ(save(p), 0);
  d_string one("1");
  args[0] = &one;
  d_status deleted(run_class_method(*db, U(u"Sample.Person"), U(u"%DeleteId"), args, 1));
  EXPECT_EQ(deleted.get_code(), 0);
  EXPECT_EQ(id_of(p), "");  // the object in memory is no longer stored
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_methods, all_configs(),
                         [](const ::testing::TestParamInfo<config>& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
