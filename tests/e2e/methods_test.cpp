// Methods, collections, streams and status decoding end to end.
#include "e2e_util.h"

namespace torqa::e2e {
namespace {

class e2e_methods : public e2e_test {};

TEST_P(e2e_methods, instance_and_class_methods_with_output_arguments) {
  d_ref<Dyn_obj> p = person("Ann");
  d_int age(42), length(0), years(3);
  p->set(U(u"Age"), age);
  d_string prefix("Dr ");
  D_type *describe[] = {&prefix, &length}, *grow[] = {&years};
  EXPECT_EQ(result<d_string>(p->run_method_by_name(U(u"Describe"), describe, 2), db.get()).mb_str(), "Dr Ann (42)");
  p->run_method_by_name(U(u"Grow"), grow, 1);
  EXPECT_TRUE(length.value() == 11 && read<d_int>(p, u"Age").value() == 45);

  d_int a(17), b(5), quotient, remainder, zero(0);
  D_type* div[] = {&a, &b, &quotient, &remainder};
  EXPECT_EQ(result<d_int>(run_class_method(*db, U(u"Sample.Person"), U(u"Divide"), div, 4), db.get()).value(), 1);
  EXPECT_EQ(std::to_string(quotient.value()) + " r " + std::to_string(remainder.value()), "3 r 2");
  div[1] = &zero;
  EXPECT_EQ(thrown([&] { run_class_method(*db, U(u"Sample.Person"), U(u"Divide"), div, 2); }),
            "-1100 division by zero");

  d_string name("Kid");
  D_type* make[] = {&name, &years};
  d_ref<Dyn_obj> kid;
  kid.get(run_class_method(*db, U(u"Sample.Person"), U(u"Make"), make, 2), db.get());
  ASSERT_FALSE(kid.is_null());
  EXPECT_TRUE(read<d_string>(kid, u"Name").mb_str() == "Kid" && read<d_int>(kid, u"Age").value() == 3);
}

TEST_P(e2e_methods, collections_and_streams_survive_a_restart) {
  // Three writes of 2500 lines (40000 bytes each, a non-ASCII character a line); 70000 bytes in two writes.
  std::string chunk;
  for (int i = 0; i < 2500; ++i) chunk += "line \xC3\xA9 " + std::to_string(1000000 + i) + "\n";
  const std::string bytes(70000, '\xAB');
  {
    d_ref<Dyn_obj> p = person("Ann");
    d_ref<d_collection> tags = p->get_ref<d_collection>(U(u"Tags"));
    tags->ins(d_string("b"), d_int(1));
    tags->ins(d_string("a"), d_int(1));
    tags->set(d_string("\xC3\xA7"), d_int(3));  // one past the end: appends
    tags->del(d_int(1));
    EXPECT_EQ(result<d_int>(tags->run_method_by_name(m_Count, nullptr, 0), db.get()).value(), 2);
    d_ref<d_collection> scores = p->get_ref<d_collection>(U(u"Scores"));
    scores->set(d_int(90), d_string("math"));
    scores->set(d_int(70), d_string("art"));
    d_string key("");
    D_type* next[] = {&key};
    EXPECT_TRUE(result<d_int>(scores->run_method_by_name(m_GetNext, next, 1), db.get()).value() == 70 &&
                key.mb_str() == "art");  // keys in order
    d_ref<Dyn_obj> bob = person("Bob");
    D_type* one[] = {&bob};
    p->get_ref<d_collection>(U(u"Friends"))->run_method_by_name(m_Insert, one, 1);

    d_ref<d_stream> notes = p->get_ref<d_stream>(U(u"Notes"));
    for (int i = 0; i < 3; ++i) notes->write(d_string(chunk.c_str()));
    d_ref<d_stream> picture = p->get_ref<d_stream>(U(u"Picture"));
    for (const int n : {40000, 30000}) picture->write(d_binary(bytes.data(), n));
    ASSERT_EQ(save(p), 0);
  }
  restart();
  d_ref<Dyn_obj> ann = Dyn_obj::open(*db, U(u"Sample.Person"), U(u"1"));
  d_ref<d_collection> tags = ann->get_ref<d_collection>(U(u"Tags"));
  EXPECT_EQ(result<d_string>(tags->get(d_int(1)), db.get()).mb_str() + result<d_string>(tags->get(d_int(2)), db.get()).mb_str(),
            "b\xC3\xA7");
  d_ref<Dyn_obj> bob;
  bob.get(ann->get_ref<d_collection>(U(u"Friends"))->get(d_int(1)), db.get());
  EXPECT_EQ(read<d_string>(bob, u"Name").mb_str(), "Bob");
  EXPECT_EQ(result<d_int>(ann->get_ref<d_collection>(U(u"Scores"))->get(d_string("math")), db.get()).value(), 90);

  d_ref<d_stream> notes = ann->get_ref<d_stream>(U(u"Notes"));
  int lines = 0;
  for (d_int len(1000);; len = d_int(1000), ++lines) {
    d_string line;
    notes->readline(len, line);
    if (len.value() == -1) break;
    ASSERT_TRUE(len.value() == 14 && line.mb_str() == "line \xC3\xA9 " + std::to_string(1000000 + lines % 2500)) << lines;
  }
  EXPECT_EQ(lines, 7500);  // each of 14 characters
  // Reads asking for more than a reply carries get what fits.
  d_ref<d_stream> picture = ann->get_ref<d_stream>(U(u"Picture"));
  std::string all;
  for (d_int len(50000);; len = d_int(50000)) {
    d_binary data;
    picture->read(len, data);
    if (len.value() == -1) break;
    EXPECT_EQ(static_cast<std::size_t>(len.value()), data.size());
    all += data.bytes();
  }
  EXPECT_TRUE(all == bytes) << all.size();
  d_ref<d_stream> copy = bob->get_ref<d_stream>(U(u"Picture"));
  copy->copy(picture);
  EXPECT_EQ(result<d_int>(copy->run_method_by_name(m_SizeGet, nullptr, 0), db.get()).value(), 70000);
}

TEST_P(e2e_methods, statuses_from_methods_and_their_decoding_by_the_server) {
  d_string id("99");
  D_type* args[] = {&id};
  d_status st(run_class_method(*db, U(u"Sample.Person"), U(u"%DeleteId"), args, 1));
  EXPECT_EQ(std::to_string(st.get_code()) + " " + st.get_msg().mb_str(), "-9 object not found");
  Db_err err;
  st.get_from_srv(db.get(), "ignored", &err);
  EXPECT_EQ(std::to_string(err.code) + " " + std::to_string(st.get_code()) + " " + st.get_msg().mb_str(),
            "0 -9 object not found");

  d_ref<Dyn_obj> p = person("Ann");
  ASSERT_EQ(save(p), 0);
  id = d_string("1");
  EXPECT_EQ(d_status(run_class_method(*db, U(u"Sample.Person"), U(u"%DeleteId"), args, 1)).get_code(), 0);
  EXPECT_EQ(id_of(p), "");  // the object in memory is no longer stored
}

INSTANTIATE_TEST_SUITE_P(settings, e2e_methods, all_configs(), [](const auto& info) { return name_of(info.param); });

}  // namespace
}  // namespace torqa::e2e
