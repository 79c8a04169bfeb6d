// Requests fed to a session as raw bytes, and the replies read back element
// by element.
#include "test_util.h"

#include "server/channel.h"
#include "server/session.h"

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

namespace torqa::server {
namespace {

using test::hex;
using test::next;
using test::next_int;
using test::next_text;

// A reply with a common head taken apart: the result, the error record,
// and the bytes after the head (a cache section).
struct head {
  std::string result;
  std::int64_t code = 0;
  std::string msg, info, cache;
};

// The code, message and detail of an error record element.
head record(const element& e) {
  head h;
  if (e.data.empty()) return h;
  reader r(e.data);
  h.code = next_int(r);
  h.msg = next_text(r);
  element i;
  if (r.next(i)) h.info = std::string(i.data);
  return h;
}

head common(const std::string& reply) {
  reader r(reply);
  const std::string result(next(r).data);
  head h = record(next(r));
  h.result = result;
  EXPECT_TRUE(next(r).is_null());
  next(r);  // server output
  h.cache = std::string(r.rest());
  return h;
}

// The first value of a result, as text.
std::string value(std::string_view result) {
  reader r(result);
  return next_text(r);
}

class session_test : public ::testing::Test {
 protected:
  session_test()
      : conn(dir.path(), {.fasthash = true, .schema_file = TORQA_SAMPLE_SCHEMA}, "torqa", "torqa"), s(conn) {}

  std::string send(std::string_view code, const writer& payload) { return s.request(code, payload.str()); }
  head ask(std::string_view code, const writer& payload) { return common(send(code, payload)); }
  // A method call: oid, class, method, arguments (encoded), output positions.
  head call(int oid, const std::string& cls, const std::string& m, const std::string& args = {}, int nargs = 0,
            std::vector<int> outs = {}, std::string_view code = "B7") {
    writer w;
    w.raw(prefix).integer(oid).bytes(cls).bytes(m).integer(0).integer(nargs).raw(args);
    w.integer(static_cast<std::int64_t>(outs.size()));
    for (int p : outs) w.integer(p);
    return ask(code, w.integer(0));
  }
  head get(int oid, const std::string& prop) {
    return ask("BH", writer().raw(prefix).integer(oid).bytes(prop).integer(0));
  }
  head set(int oid, const std::string& prop, const std::string& v) {
    return ask("BI", writer().raw(prefix).integer(oid).bytes(prop).integer(0).raw(v));
  }
  // A new Sample.Person named `name`, saved; answers its object id.
  int saved_person(const std::string& name) {
    const int oid = std::stoi(value(call(-1, "Sample.Person", "%New").result));
    EXPECT_EQ(set(oid, "Name", writer().bytes(name).str()).code, 0);
    EXPECT_EQ(call(oid, "Sample.Person", "%Save").code, 0);
    return oid;
  }

  test::temp_dir dir;
  connection conn;
  session s;
  std::string prefix;  // flush groups heading requests of a cached session
};

TEST_F(session_test, startup_accepts_only_version_2_08) {
  test::owned r(send("B0", writer().real(2.08).integer(0).integer(0).integer(0)));
  EXPECT_EQ(r.rest(), hex("03 04 01 13 01") + "2.080000000000000" + hex("03 04 00 07 01") + "TORQA");
  for (const std::string& payload : {writer().real(2.07).integer(0).str(), std::string(), hex("05 01")}) {
    test::owned refused(s.request("B0", payload));
    EXPECT_EQ(next_int(refused), 0);
  }
}

TEST_F(session_test, class_metadata_records) {
  // The records themselves are read by every late-bound call end to end;
  // an unknown class, or one without properties, gets an error status.
  for (const auto& [cls, status] :
       {std::pair{"Nope.Nope", err_unknown_class}, {"%ListOfDataTypes", err_unknown_property}}) {
    test::owned r(send("B2", writer().bytes(cls)));
    EXPECT_TRUE(next(r).is_null());
    std::int64_t code = 0;
    std::string msg;
    session::decode_status(next(r).data, code, msg);
    EXPECT_EQ(code, status) << cls;
    EXPECT_TRUE(r.at_end());
  }
  test::owned bad(s.request("B3", ""));
  EXPECT_EQ(record(next(bad)).code, err_malformed);
}

TEST_F(session_test, closes_opens_and_results) {
  const int oid = saved_person("Ann");
  // A method without a result answers a null one.
  EXPECT_EQ(call(oid, "Sample.Person", "Grow", writer().integer(3).str(), 1, {}, "B8").result, hex("02 01"));
  EXPECT_EQ(send("B6", writer().integer(oid)), hex("02 01"));
  test::owned again(send("B6", writer().integer(oid)));
  const head not_open = record(next(again));
  EXPECT_EQ(not_open.code, err_close);
  EXPECT_EQ(not_open.info, hex("03 04 01 03 04 00"));

  EXPECT_EQ(value(ask("B9", writer().bytes("Sample.Person||1").integer(1).integer(0)).result), "2@Sample.Person");
  // Already open: the same id.
  EXPECT_EQ(value(ask("BG", writer().bytes("Sample.Person").bytes("1").integer(0).integer(0)).result),
            "2@Sample.Person");
  for (const char* pid : {"Sample.Person||2", "Sample.Person||x", "Nope||1", "garbage"}) {
    const head h = ask("B9", writer().bytes(pid).integer(0).integer(0));
    EXPECT_EQ(std::to_string(h.code) + " " + h.msg + " " + h.info + h.result, "-9 not found " + hex("04 04 B1 16"))
        << pid;
  }
}

TEST_F(session_test, malformed_requests_get_error_replies) {
  const int oid = saved_person("Ann");
  const auto b7 = [](int id, const char* cls, const char* m) {
    return writer().integer(id).bytes(cls).bytes(m).integer(0);
  };
  const struct {
    const char* code;
    std::string payload;
    int expected;
  } cases[] = {
      {"B7", "", err_malformed},
      {"B7", hex("03 04"), err_malformed},
      {"B7", b7(99, "Sample.Person", "%Id").integer(0).integer(0).integer(0).str(), err_unknown_object},
      {"B7", b7(-1, "No.Such", "%New").integer(0).integer(0).integer(0).str(), err_unknown_class},
      {"B7", b7(oid, "Sample.Person", "Fly").integer(0).integer(0).integer(0).str(), err_unknown_method},
      {"B7", b7(-1, "Sample.Person", "%Id").integer(0).integer(0).integer(0).str(), err_argument},
      {"B7", b7(oid, "Sample.Person", "%Id").integer(1).integer(5).integer(0).integer(0).str(), err_argument},
      {"B7", b7(oid, "Sample.Person", "%Id").integer(1000).str(), err_malformed},
      {"B7", b7(oid, "Sample.Person", "Describe").integer(2).bytes("x").null().integer(1).integer(3).integer(0).str(),
       err_malformed},
      {"BH", writer().integer(oid).bytes("Nope").integer(0).str(), err_unknown_property},
      {"BH", writer().integer(oid).str(), err_malformed},
      {"BI", writer().integer(oid).bytes("Greeting").integer(0).bytes("x").str(), err_read_only},
      {"BI", writer().integer(oid).bytes("Height").integer(0).bytes("abc").str(), err_argument},
      {"BI", writer().integer(oid).bytes("Spouse").integer(0).integer(12345).str(), err_unknown_object},
      {"BI", writer().integer(oid).bytes("Birthday").integer(0).integer(99999999).str(), err_argument},
      {"BI", writer().integer(oid).bytes("Name").integer(0).str(), err_malformed},
      {"BB", writer().integer(7).str(), err_argument},
      {"BG", writer().bytes("Sample.Person").str(), err_malformed},
      {"ZZ", "", err_unknown_request},
  };
  for (const auto& c : cases) {
    const head h = common(s.request(c.code, c.payload));
    EXPECT_EQ(h.code, c.expected) << c.code << " " << c.payload.size();
    EXPECT_FALSE(h.msg.empty());
    EXPECT_TRUE(h.cache.empty());
  }
  EXPECT_EQ(value(get(oid, "Name").result), "Ann");  // nothing was damaged

  // Random bytes never break the session: every reply is whole elements.
  std::mt19937 rng(12345);
  const char* codes[] = {"B0", "B1", "B2", "B3", "B4", "B6", "B7", "B8", "B9", "BB", "BG", "BH", "BI", "BJ"};
  for (int i = 0; i < 3000; ++i) {
    std::string payload(rng() % 40, '\0');
    for (char& c : payload) c = static_cast<char>(rng() % 8 == 0 ? rng() % 6 : rng());
    const std::string reply = s.request(codes[rng() % std::size(codes)], payload);
    reader r(reply);
    element e;
    EXPECT_FALSE(reply.empty());
    while (r.next(e)) {
    }
    EXPECT_TRUE(r.at_end());
  }
  EXPECT_EQ(value(get(saved_person("Bob"), "Name").result), "Bob");
}

TEST_F(session_test, collection_iteration_ends_with_a_null_key_and_value) {
  const int tags = std::stoi(value(get(saved_person("Ann"), "Tags").result));
  for (const char* t : {"b", "c"})
    EXPECT_EQ(call(tags, "%ListOfDataTypes", "Insert", writer().bytes(t).str(), 1).code, 0);
  const head next_key = call(tags, "%ListOfDataTypes", "GetNext", writer().integer(1).str(), 1, {1});
  EXPECT_EQ(next_key.result, hex("03 01 63 03 04 02"));
  EXPECT_EQ(call(tags, "%ListOfDataTypes", "GetNext", writer().integer(2).str(), 1, {1}).result, hex("02 01 02 01"));
}

TEST_F(session_test, status_decoding) {
  const auto decode = [&](const std::string& status) {
    test::owned r(send("BJ", writer().bytes(status).bytes("text")));
    EXPECT_TRUE(next(r).is_null());
    const std::int64_t code = next_int(r);
    return std::to_string(code) + " " + next_text(r);
  };
  EXPECT_EQ(decode(""), "0 ");
  EXPECT_EQ(decode("1"), "0 ");
  EXPECT_EQ(decode(session::status_bytes(-5, "five")), "-5 five");
  EXPECT_EQ(decode(hex("05 01")), "-1 malformed status");
  EXPECT_EQ(session::status_bytes(-5, "five"), hex("0D 01 01 00 03 05 FB 06 01") + "five");
}

TEST_F(session_test, cached_session_sections_and_flush_groups) {
  send("B0", writer().real(2.08).integer(1).integer(0).integer(0));
  const std::string nothing_pending = hex("03 04 00 03 04 00 03 04 00");
  prefix = nothing_pending;
  const int oid = saved_person("Ann");
  EXPECT_EQ(set(oid, "Height", writer().real(1.75).str()).code, 0);
  // A section as "<objects>: <id> <slots>: <slot>=<value> ...".
  const auto section = [](const head& h) {
    reader c(h.cache);
    std::string out = std::to_string(next_int(c)) + ":";
    out += " " + std::to_string(next_int(c));
    out += " " + std::to_string(next_int(c)) + ":";
    while (!c.at_end()) {
      out += " " + std::to_string(next_int(c));
      out += "=" + next_text(c);
    }
    return out;
  };
  // Stored properties but the null references (Home, Spouse).
  EXPECT_EQ(section(get(oid, "Birthday")), "1: 1 9: 0=Ann 1= 2=1.750000000000000 3= 4= 5= 6= 7= 8=");

  // Changes and closes at the head of a request are applied first.
  const int spouse = saved_person("Bob");
  writer flush;
  flush.integer(2).integer(oid).integer(1).integer(0).integer(0).integer(30);  // Age = 30
  flush.integer(oid).integer(6).integer(0).integer(0).integer(58133);          // Birthday
  flush.integer(1).integer(oid).bytes("Spouse").integer(spouse).integer(0);
  prefix = flush.str();
  const head after = get(oid, "Age");
  EXPECT_EQ(value(after.result), "30");
  EXPECT_EQ(section(after), "1: 1 10: 0=Ann 1=30 2=1.750000000000000 3= 4= 5= 6=58133 7= 8= 10=2@Sample.Person");

  prefix = writer().integer(0).integer(0).integer(1).integer(spouse).str();
  EXPECT_EQ(get(oid, "Name").code, 0);
  prefix = nothing_pending;
  EXPECT_EQ(get(spouse, "Name").code, err_unknown_object);
  prefix = hex("03 04 01 03 04 01");  // a group cut short
  EXPECT_EQ(get(oid, "Name").code, err_malformed);
  EXPECT_EQ(send("B1", writer().raw(nothing_pending).integer(1).integer(1)), hex("02 01 02 01"));
}

TEST_F(session_test, flush_groups_set_elements_of_list_properties) {
  send("B0", writer().real(2.08).integer(1).integer(0).integer(0));
  const std::string nothing_pending = hex("03 04 00 03 04 00 03 04 00");
  prefix = nothing_pending;
  const int oid = saved_person("Ann");
  EXPECT_EQ(set(oid, "Codes", writer().bytes(writer().integer(7).str()).str()).code, 0);
  // (id, slot 5 = Codes, position, 0, value): element 3 of a one-element
  // list pads element 2 with a null; element 1 is then replaced.
  const auto element_at = [&](int slot, int pos, const std::string& value) {
    prefix = writer().integer(1).integer(oid).integer(slot).integer(pos).integer(0).raw(value).str() + hex("03 04 00 03 04 00");
    const head h = get(oid, "Codes");
    prefix = nothing_pending;
    return h;
  };
  EXPECT_EQ(element_at(5, 3, writer().bytes("x").str()).result, hex("0A 01 03 04 07 02 01 03 01 78"));
  EXPECT_EQ(element_at(5, 1, writer().integer(-2).str()).result, hex("0A 01 03 05 FE 02 01 03 01 78"));
  EXPECT_EQ(get(oid, "Codes").result, hex("0A 01 03 05 FE 02 01 03 01 78"));
  EXPECT_EQ(element_at(1, 1, writer().integer(1).str()).code, err_argument);  // Age is no list
  EXPECT_EQ(element_at(5, 40000, writer().bytes("x").str()).code, err_too_long);
  EXPECT_EQ(element_at(5, -1, writer().bytes("x").str()).code, err_unknown_property);
  EXPECT_EQ(get(oid, "Codes").result, hex("0A 01 03 05 FE 02 01 03 01 78"));  // the refused changes left it alone
}

TEST_F(session_test, a_lock_is_waited_for_up_to_the_timeout) {
  connection other_conn(dir.path(), {}, "torqa", "torqa");
  session other(other_conn);
  saved_person("Ann");
  const auto open = [](session& in, int concurrency, int timeout) {
    return common(in.request("BG", writer().bytes("Sample.Person").bytes("1").integer(concurrency).integer(timeout).str()));
  };
  const head mine = open(s, 2, 0);
  ASSERT_EQ(mine.code, 0);
  // The other session, on its own thread, waits for the exclusive lock to go.
  head theirs;
  std::thread waiter([&] { theirs = open(other, 1, 1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(send("B6", writer().integer(std::stoi(value(mine.result)))), hex("02 01"));
  waiter.join();
  EXPECT_EQ(theirs.code, 0) << theirs.msg;
  // Its shared lock outlasts a one-second wait for an exclusive one.
  const head refused = open(s, 2, 1);
  EXPECT_EQ(std::to_string(refused.code) + " " + refused.info, "-9 " + hex("04 04 AB 16"));
}

TEST(session_schema, on_new_initialises_new_objects) {
  test::temp_dir dir;
  std::ofstream(dir / "things.tq") << R"(class Test.Thing
  property Name: string
  method OnNew(init: string)
    if init == "bad" then torqa.error(-1100, "bad init") end
    self.Name = init
  end method
end class
)";
  connection conn(dir / "ns", {.fasthash = true, .schema_file = dir / "things.tq"}, "torqa", "torqa");
  session s(conn);
  const auto make = [&](const std::string& args, int nargs) {
    writer w;
    w.integer(-1).bytes("Test.Thing").bytes("%New").integer(0).integer(nargs).raw(args).integer(0).integer(0);
    const head h = common(s.request("B7", w.str()));
    if (h.code != 0) return std::to_string(h.code) + " " + h.msg;
    const int oid = std::stoi(value(h.result));
    return value(common(s.request("BH", writer().integer(oid).bytes("Name").integer(0).str())).result);
  };
  EXPECT_EQ(make(writer().bytes("Ann").str(), 1), "Ann");
  EXPECT_EQ(make("", 0), "");
  EXPECT_EQ(make(writer().bytes("bad").str(), 1), "-1100 bad init");
}

TEST_F(session_test, channel_serves_replies_in_chunks) {
  channel ch(conn, 5);
  unsigned len = 0;
  bool final = false;
  EXPECT_FALSE(ch.next_chunk(len, final));  // nothing sent yet
  const std::string msg = std::string(14, ' ') + writer().real(2.08).integer(0).integer(0).integer(0).str();
  ch.begin("B0");
  ASSERT_TRUE(ch.send(msg.data(), msg.size()));
  std::string reply;
  char buf[8];
  do {
    ASSERT_TRUE(ch.next_chunk(len, final));
    EXPECT_LE(len, 5u);
    EXPECT_FALSE(ch.read(len + 1, buf));
    ASSERT_TRUE(ch.read(len, buf));
    reply.append(buf, len);
  } while (!final);
  EXPECT_FALSE(ch.next_chunk(len, final));
  EXPECT_EQ(reply, hex("03 04 01 13 01") + "2.080000000000000" + hex("03 04 00 07 01") + "TORQA");
  EXPECT_FALSE(ch.send(msg.data(), 13));
  EXPECT_FALSE(ch.next_chunk(len, final));
}

}  // namespace
}  // namespace torqa::server
