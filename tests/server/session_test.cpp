// Requests fed to a session as raw bytes, and the replies read back element
// by element.
#include "test_util.h"

#include "server/channel.h"
#include "server/session.h"

#include <random>

namespace torqa::server {
namespace {

using test::hex;
using test::next;
using test::next_int;
using test::next_text;

// A reply with a common head, taken apart.
struct head {
  std::string result;
  std::int64_t code = 0;
  std::string msg;
  std::string info;
  std::string output;
  std::string cache;  // the bytes after the head
};

// The code, message and detail of an error record element.
void record(const element& e, std::int64_t& code, std::string& msg, std::string* info = nullptr) {
  code = 0;
  msg.clear();
  if (e.data.empty()) return;
  reader r(e.data);
  code = next_int(r);
  msg = next_text(r);
  element i;
  if (info != nullptr && r.next(i)) *info = std::string(i.data);
}

head common(const std::string& reply) {
  head h;
  reader r(reply);
  h.result = std::string(next(r).data);
  record(next(r), h.code, h.msg, &h.info);
  EXPECT_TRUE(next(r).is_null());
  h.output = std::string(next(r).data);
  h.cache = std::string(r.rest());
  return h;
}

connect_options sample_options() {
  connect_options o;
  o.fasthash = true;
  o.schema_file = TORQA_SAMPLE_SCHEMA;
  return o;
}

class session_test : public ::testing::Test {
 protected:
  session_test() : conn(dir.path(), sample_options(), "torqa", "torqa"), s(conn) {}

  std::string send(std::string_view code, const writer& payload) { return s.request(code, payload.str()); }
  head ask(std::string_view code, const writer& payload) { return common(send(code, payload)); }

  // A method call: oid, class, method, args (already encoded), output positions.
  head call(int oid, const std::string& cls, const std::string& m, const std::string& args = {}, int nargs = 0,
            std::vector<int> outs = {}) {
    writer w;
    w.raw(prefix).integer(oid).bytes(cls).bytes(m).integer(0).integer(nargs).raw(args);
    w.integer(static_cast<std::int64_t>(outs.size()));
    for (int p : outs) w.integer(p);
    w.integer(0);
    return ask("B7", w);
  }
  head get(int oid, const std::string& prop) {
    writer w;
    w.raw(prefix).integer(oid).bytes(prop).integer(0);
    return ask("BH", w);
  }
  head set(int oid, const std::string& prop, const std::string& value) {
    writer w;
    w.raw(prefix).integer(oid).bytes(prop).integer(0).raw(value);
    return ask("BI", w);
  }
  // A new Sample.Person named `name`, saved; answers its object id.
  int saved_person(const std::string& name) {
    const head h = call(-1, "Sample.Person", "%New");
    reader r(h.result);
    const int oid = static_cast<int>(next_int(r));
    writer v;
    v.bytes(name);
    EXPECT_EQ(set(oid, "Name", v.str()).code, 0);
    EXPECT_EQ(call(oid, "Sample.Person", "%Save").code, 0);
    return oid;
  }

  test::temp_dir dir;
  connection conn;
  session s;
  std::string prefix;  // flush groups heading requests of a cached session
};

std::string value(std::string_view result) {
  reader r(result);
  return next_text(r);
}

TEST_F(session_test, startup_accepts_only_version_2_08) {
  writer w;
  w.real(2.08).integer(0).integer(0).integer(0);
  test::owned r(send("B0", w));
  EXPECT_EQ(next_int(r), 1);
  EXPECT_EQ(next_text(r), "2.080000000000000");
  EXPECT_EQ(next_int(r), 0);  // 8-bit namespace
  EXPECT_EQ(next_text(r), "TORQA");
  EXPECT_TRUE(r.at_end());

  for (const std::string& payload : {writer().real(2.07).integer(0).str(), std::string(), hex("05 01")}) {
    test::owned refused(s.request("B0", payload));
    EXPECT_EQ(next_int(refused), 0);
  }
}

TEST_F(session_test, class_metadata_records) {
  writer name;
  name.bytes("sample.person");
  test::owned props(send("B2", name));
  EXPECT_TRUE(next(props).is_null());  // error record
  EXPECT_TRUE(next(props).is_null());  // status: success
  EXPECT_EQ(next_text(props), "string");
  EXPECT_EQ(next_int(props), 1);
  EXPECT_EQ(next_text(props), "Name");
  EXPECT_EQ(next_int(props), 1);
  EXPECT_EQ(next_text(props), "Name");
  EXPECT_EQ(next_int(props), 0);  // slot
  EXPECT_EQ(next_int(props), 0);  // pos
  EXPECT_EQ(next_int(props), 0);  // aux_int
  int records = 1;
  while (!props.at_end()) {
    for (int i = 0; i < 8; ++i) next(props);
    ++records;
  }
  EXPECT_EQ(records, 17);

  test::owned methods(send("B3", name));
  next(methods);
  next(methods);
  bool found = false;
  while (!methods.at_end() && !found) {
    const std::int64_t is_class = next_int(methods);
    next(methods);
    const std::int64_t ret = next_int(methods);
    next(methods);
    next(methods);
    const std::string m = next_text(methods);
    const std::int64_t n = next_int(methods);
    std::vector<std::int64_t> outputs;
    for (std::int64_t i = 0; i < n; ++i) {
      next(methods), next(methods), next(methods);
      outputs.push_back(next_int(methods));
      next(methods), next(methods), next(methods);
    }
    if (m == "Describe") {
      found = true;
      EXPECT_EQ(is_class, 0);
      EXPECT_EQ(ret, static_cast<int>(data_type::string));
      EXPECT_EQ(outputs, (std::vector<std::int64_t>{0, 1}));
    }
  }
  EXPECT_TRUE(found);

  test::owned queries(send("B4", name));
  next(queries);
  next(queries);
  EXPECT_EQ(next_text(queries), "ByName");
  EXPECT_EQ(next_text(queries), "Sample_Person_ByName");
  EXPECT_EQ(next_int(queries), 1);

  // An unknown class, or one without properties: an error status.
  for (const char* cls : {"Nope.Nope", "%ListOfDataTypes"}) {
    writer w;
    w.bytes(cls);
    test::owned r(send("B2", w));
    EXPECT_TRUE(next(r).is_null());
    const element st = next(r);
    std::int64_t code = 0;
    std::string msg;
    session::decode_status(st.data, code, msg);
    EXPECT_NE(code, 0) << cls;
    EXPECT_TRUE(r.at_end());
  }
  test::owned bad(s.request("B3", ""));
  std::int64_t code = 0;
  std::string msg;
  record(next(bad), code, msg);
  EXPECT_EQ(code, err_malformed);
}

TEST_F(session_test, create_save_close_and_open) {
  const int oid = saved_person("Ann");
  EXPECT_EQ(oid, 1);
  EXPECT_EQ(value(call(oid, "Sample.Person", "%Id").result), "1");
  EXPECT_EQ(value(call(oid, "Sample.Person", "%Oid").result), "Sample.Person||1");
  EXPECT_EQ(value(get(oid, "Name").result), "Ann");
  EXPECT_EQ(value(get(oid, "Greeting").result), "Hello, Ann");

  writer close;
  close.integer(oid);
  test::owned closed(send("B6", close));
  EXPECT_TRUE(next(closed).is_null());
  test::owned again(send("B6", close));
  std::int64_t code = 0;
  std::string msg, info;
  record(next(again), code, msg, &info);
  EXPECT_EQ(code, err_close);
  EXPECT_EQ(info, hex("03 04 01 03 04 00"));

  writer by_oid;
  by_oid.bytes("Sample.Person||1").integer(1).integer(0);
  const head opened = ask("B9", by_oid);
  EXPECT_EQ(value(opened.result), "2@Sample.Person");
  writer by_id;
  by_id.bytes("Sample.Person").bytes("1").integer(0).integer(0);
  EXPECT_EQ(value(ask("BG", by_id).result), "2@Sample.Person");  // already open: same id

  for (const char* pid : {"Sample.Person||2", "Sample.Person||x", "Nope||1", "garbage"}) {
    writer w;
    w.bytes(pid).integer(0).integer(0);
    const head h = ask("B9", w);
    EXPECT_EQ(h.code, err_open) << pid;
    EXPECT_EQ(h.msg, "not found");
    EXPECT_EQ(h.info, hex("04 04 B1 16")) << pid;  // 5809
    EXPECT_TRUE(h.result.empty());
  }
}

TEST_F(session_test, malformed_requests_get_error_replies) {
  const int oid = saved_person("Ann");
  writer dbl;
  dbl.bytes("abc");
  const struct {
    const char* code;
    std::string payload;
    int expected;
  } cases[] = {
      {"B7", "", err_malformed},
      {"B7", hex("03 04"), err_malformed},
      {"B7", writer().integer(99).bytes("Sample.Person").bytes("%Id").integer(0).integer(0).integer(0).integer(0).str(),
       err_unknown_object},
      {"B7", writer().integer(-1).bytes("No.Such").bytes("%New").integer(0).integer(0).integer(0).integer(0).str(),
       err_unknown_class},
      {"B7", writer().integer(oid).bytes("Sample.Person").bytes("Fly").integer(0).integer(0).integer(0).integer(0).str(),
       err_unknown_method},
      {"B7", writer().integer(-1).bytes("Sample.Person").bytes("%Id").integer(0).integer(0).integer(0).integer(0).str(),
       err_argument},
      {"B7", writer().integer(oid).bytes("Sample.Person").bytes("%Id").integer(0).integer(1).integer(5).integer(0).integer(0).str(),
       err_argument},
      {"B7", writer().integer(oid).bytes("Sample.Person").bytes("%Id").integer(0).integer(1000).str(), err_malformed},
      {"B7", writer().integer(oid).bytes("Sample.Person").bytes("Describe").integer(0).integer(2).bytes("x").null()
                 .integer(1).integer(3).integer(0).str(),
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
}

TEST_F(session_test, random_bytes_never_break_the_session) {
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
    EXPECT_TRUE(r.at_end());  // every reply is whole elements
  }
  EXPECT_EQ(value(get(saved_person("Bob"), "Name").result), "Bob");
}

TEST_F(session_test, locks_between_sessions) {
  saved_person("Ann");
  connection other_conn(dir.path(), sample_options(), "torqa", "torqa");
  session other(other_conn);
  const auto open = [](session& who, int concurrency) {
    writer w;
    w.bytes("Sample.Person").bytes("1").integer(concurrency).integer(0);
    return common(who.request("BG", w.str()));
  };
  EXPECT_EQ(open(s, 2).code, 0);
  const head shared = open(other, 1);
  EXPECT_EQ(shared.code, err_open);
  EXPECT_EQ(shared.info, hex("04 04 AC 16"));  // 5804
  EXPECT_EQ(open(other, 0).code, 0);           // no lock wanted
  writer close;
  close.integer(1);
  s.request("B6", close.str());  // releases the exclusive lock
  EXPECT_EQ(open(other, 1).code, 0);
  const head exclusive = open(s, 2);
  EXPECT_EQ(exclusive.code, err_open);
  EXPECT_EQ(exclusive.info, hex("04 04 AB 16"));  // 5803
  EXPECT_EQ(open(s, 1).code, 0);                  // shared with shared is fine
}

TEST_F(session_test, transactions_nest_and_roll_back) {
  const auto bb = [&](int f) {
    writer w;
    w.integer(f);
    return ask("BB", w).code;
  };
  EXPECT_EQ(bb(2), err_transaction);
  EXPECT_EQ(bb(1), 0);
  EXPECT_EQ(bb(1), 0);
  const int oid = saved_person("Temp");
  EXPECT_EQ(bb(2), 0);  // inner level
  EXPECT_EQ(bb(3), 0);  // undoes everything
  EXPECT_EQ(bb(3), err_transaction);
  const head h = call(-1, "Sample.Person", "%ExistsId", writer().bytes("1").str(), 1);
  EXPECT_EQ(value(h.result), "0");
  // Saving again writes the row back under the same id.
  EXPECT_EQ(call(oid, "Sample.Person", "%Save").code, 0);
  EXPECT_EQ(value(call(-1, "Sample.Person", "%ExistsId", writer().bytes("1").str(), 1).result), "1");
}

TEST_F(session_test, lua_methods_outputs_and_errors) {
  const int oid = saved_person("Ann");
  EXPECT_EQ(set(oid, "Age", writer().integer(42).str()).code, 0);
  const head d = call(oid, "Sample.Person", "Describe", writer().bytes("Hi ").integer(0).str(), 2, {2});
  reader r(d.result);
  EXPECT_EQ(next_text(r), "Hi Ann (42)");
  EXPECT_EQ(next_int(r), 11);

  const head q = call(-1, "Sample.Person", "Divide", writer().integer(17).integer(5).null().null().str(), 4, {3, 4});
  reader qr(q.result);
  EXPECT_EQ(next_int(qr), 1);
  EXPECT_EQ(next_int(qr), 3);
  EXPECT_EQ(next_int(qr), 2);
  const head zero = call(-1, "Sample.Person", "Divide", writer().integer(1).integer(0).str(), 2);
  EXPECT_EQ(zero.code, -1100);
  EXPECT_EQ(zero.msg, "division by zero");

  writer grow;
  grow.integer(oid).bytes("Sample.Person").bytes("Grow").integer(0).integer(1).integer(3).integer(0).integer(0);
  const head g = common(s.request("B8", grow.str()));
  EXPECT_EQ(g.result, hex("02 01"));
  EXPECT_EQ(value(get(oid, "Age").result), "45");

  const head made = call(-1, "Sample.Person", "Make", writer().bytes("Kid").integer(3).str(), 2);
  EXPECT_EQ(value(made.result), "2@Sample.Person");
  EXPECT_EQ(value(get(2, "Name").result), "Kid");
  EXPECT_EQ(value(call(oid, "Sample.Person", "Partner").result), "");  // no spouse: null
  EXPECT_EQ(set(oid, "Spouse", writer().integer(2).str()).code, 0);
  EXPECT_EQ(value(call(oid, "Sample.Person", "Partner").result), "2@Sample.Person");
}

TEST_F(session_test, collections_and_streams_through_requests) {
  const int oid = saved_person("Ann");
  const int tags = std::stoi(value(get(oid, "Tags").result));
  EXPECT_EQ(value(get(oid, "Tags").result), std::to_string(tags) + "@%ListOfDataTypes");
  for (const char* t : {"b", "c"}) EXPECT_EQ(call(tags, "%ListOfDataTypes", "Insert", writer().bytes(t).str(), 1).code, 0);
  EXPECT_EQ(call(tags, "%ListOfDataTypes", "InsertAt", writer().bytes("a").integer(1).str(), 2).code, 0);
  EXPECT_EQ(value(call(tags, "%ListOfDataTypes", "Count").result), "3");
  EXPECT_EQ(value(call(tags, "%ListOfDataTypes", "GetAt", writer().integer(1).str(), 1).result), "a");
  const head next_key = call(tags, "%ListOfDataTypes", "GetNext", writer().integer(2).str(), 1, {1});
  reader nk(next_key.result);
  EXPECT_EQ(next_text(nk), "c");
  EXPECT_EQ(next_int(nk), 3);
  const head past = call(tags, "%ListOfDataTypes", "GetNext", writer().integer(3).str(), 1, {1});
  EXPECT_EQ(past.result, hex("02 01 02 01"));

  const int scores = std::stoi(value(get(oid, "Scores").result));
  EXPECT_EQ(call(scores, "%ArrayOfDataTypes", "SetAt", writer().integer(7).bytes("x").str(), 2).code, 0);
  EXPECT_EQ(call(scores, "%ArrayOfDataTypes", "SetAt", writer().bytes("seven").bytes("y").str(), 2).code,
            0);  // text read as an integer gives 0
  EXPECT_EQ(value(call(scores, "%ArrayOfDataTypes", "GetAt", writer().bytes("x").str(), 1).result), "7");

  const int notes = std::stoi(value(get(oid, "Notes").result));
  const std::string line(60000, 'n');
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(call(notes, "%Library.GlobalCharacterStream", "Write", writer().bytes(line + "\n").str(), 1).code, 0);
  EXPECT_EQ(value(call(notes, "%Library.GlobalCharacterStream", "SizeGet").result), "180003");
  EXPECT_EQ(call(oid, "Sample.Person", "%Save").code, 0);

  // Read back from another session: the content was stored.
  connection c2(dir.path(), sample_options(), "torqa", "torqa");
  session s2(c2);
  writer open;
  open.bytes("Sample.Person").bytes("1").integer(0).integer(0);
  const int oid2 = std::stoi(value(common(s2.request("BG", open.str())).result));
  writer h;
  h.integer(oid2).bytes("Notes").integer(0);
  const int notes2 = std::stoi(value(common(s2.request("BH", h.str())).result));
  std::size_t total = 0;
  while (true) {
    writer rd;
    rd.integer(notes2).bytes("%Library.GlobalCharacterStream").bytes("Read").integer(0).integer(1).integer(50000);
    rd.integer(1).integer(1).integer(0);
    const head got = common(s2.request("B7", rd.str()));
    ASSERT_EQ(got.code, 0) << got.msg;
    ASSERT_LE(got.result.size(), 32768u);
    reader rr(got.result);
    const std::string data = next_text(rr);
    const std::int64_t len = next_int(rr);
    if (len == -1) break;
    EXPECT_EQ(static_cast<std::size_t>(len), data.size());
    total += data.size();
  }
  EXPECT_EQ(total, 180003u);
  writer tags2;
  tags2.integer(oid2).bytes("Tags").integer(0);
  const int t2 = std::stoi(value(common(s2.request("BH", tags2.str())).result));
  writer count;
  count.integer(t2).bytes("%ListOfDataTypes").bytes("GetAt").integer(0).integer(1).integer(3).integer(0).integer(0);
  EXPECT_EQ(value(common(s2.request("B7", count.str())).result), "c");
}

TEST_F(session_test, status_decoding) {
  const auto decode = [&](const std::string& status) {
    writer w;
    w.bytes(status).bytes("text");
    test::owned r(send("BJ", w));
    EXPECT_TRUE(next(r).is_null());
    std::int64_t code = next_int(r);
    std::string msg = next_text(r);
    return std::make_pair(code, msg);
  };
  EXPECT_EQ(decode(""), std::make_pair(std::int64_t{0}, std::string()));
  EXPECT_EQ(decode("1"), std::make_pair(std::int64_t{0}, std::string()));
  EXPECT_EQ(decode(session::status_bytes(-5, "five")), std::make_pair(std::int64_t{-5}, std::string("five")));
  EXPECT_EQ(decode(hex("05 01")), std::make_pair(std::int64_t{-1}, std::string("malformed status")));
  EXPECT_EQ(session::status_bytes(-5, "five"), hex("0D 01 01 00 03 05 FB 06 01") + "five");
}

TEST_F(session_test, cached_session_sections_and_flush_groups) {
  writer b0;
  b0.real(2.08).integer(1).integer(0).integer(0);
  send("B0", b0);
  prefix = hex("03 04 00 03 04 00 03 04 00");  // nothing pending
  const int oid = saved_person("Ann");
  EXPECT_EQ(set(oid, "Height", writer().real(1.75).str()).code, 0);
  const head h = get(oid, "Birthday");
  reader c(h.cache);
  EXPECT_EQ(next_int(c), 1);  // one object
  EXPECT_EQ(next_int(c), oid);
  EXPECT_EQ(next_int(c), 9);  // stored properties but the null references
  std::map<std::int64_t, std::string> slots;
  for (int i = 0; i < 9; ++i) {
    const std::int64_t slot = next_int(c);
    slots[slot] = next_text(c);
  }
  EXPECT_TRUE(c.at_end());
  EXPECT_EQ(slots[0], "Ann");
  EXPECT_EQ(slots[2], "1.750000000000000");
  EXPECT_EQ(slots[1], "");
  EXPECT_EQ(slots.count(10), 0u);  // Spouse is null

  // Changes and closes at the head of a request are applied first.
  const int spouse = saved_person("Bob");
  writer flush;
  flush.integer(2).integer(oid).integer(1).integer(0).integer(0).integer(30);  // Age = 30
  flush.integer(oid).integer(6).integer(0).integer(0).integer(58133);          // Birthday
  flush.integer(1).integer(oid).bytes("Spouse").integer(spouse);
  flush.integer(0);
  prefix = flush.str();
  const head after = get(oid, "Age");
  EXPECT_EQ(value(after.result), "30");
  reader c2(after.cache);
  EXPECT_EQ(next_int(c2), 1);
  next_int(c2);
  EXPECT_EQ(next_int(c2), 10);
  std::string spouse_text;
  for (int i = 0; i < 10; ++i)
    if (next_int(c2) == 10) spouse_text = next_text(c2); else next(c2);
  EXPECT_EQ(spouse_text, std::to_string(spouse) + "@Sample.Person");

  writer closes;
  closes.integer(0).integer(0).integer(1).integer(spouse);
  prefix = closes.str();
  EXPECT_EQ(get(oid, "Name").code, 0);
  prefix = hex("03 04 00 03 04 00 03 04 00");
  EXPECT_EQ(get(spouse, "Name").code, err_unknown_object);
  prefix = hex("03 04 01 03 04 01");  // a group cut short
  EXPECT_EQ(get(oid, "Name").code, err_malformed);

  writer end;
  end.raw(hex("03 04 00 03 04 00 03 04 00")).integer(1).integer(1);
  test::owned bye(send("B1", end));
  EXPECT_TRUE(next(bye).is_null());
  EXPECT_TRUE(next(bye).is_null());
  EXPECT_TRUE(bye.at_end());
}

TEST_F(session_test, channel_serves_replies_in_chunks) {
  channel ch(conn, 5);
  unsigned len = 0;
  bool final = false;
  EXPECT_FALSE(ch.next_chunk(len, final));  // nothing sent yet
  std::string msg(14, ' ');
  msg += writer().real(2.08).integer(0).integer(0).integer(0).str();
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
