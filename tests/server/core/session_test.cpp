// Requests fed to a session as raw bytes, and the replies read back element by element.
#include "server/test_util.h"

#include "server/core/session.h"
#include "server/sql/sql.h"

#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace torqa::server {
namespace {

using namespace test;

const std::string nothing_pending = hex("03 04 00 03 04 00 03 04 00");  // the flush groups of a cached session

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

  temp_dir dir;
  connection conn;
  session s;
  std::string prefix;  // flush groups heading requests of a cached session
};

TEST_F(session_test, class_records_results_closes_iteration_and_opens_by_id) {
  // An unknown class, or one without properties, has no record but an error status.
  for (const auto& [cls, status] :
       {std::pair{"Nope.Nope", err_unknown_class}, {"%ListOfDataTypes", err_unknown_property}}) {
    owned r(send("B2", writer().bytes(cls)));
    std::int64_t code = 0;
    std::string msg;
    EXPECT_TRUE(next(r).is_null());
    session::decode_status(next(r).data, code, msg);
    EXPECT_TRUE(code == status && r.at_end()) << cls;
  }
  for (const char* code : {"B3", "B6"}) {  // no class name, no object id
    owned bad(s.request(code, ""));
    EXPECT_EQ(record(next(bad)).code, err_malformed) << code;
  }

  const int oid = saved_person("Ann");
  // A method without a result answers a null one.
  EXPECT_EQ(call(oid, "Sample.Person", "Grow", writer().integer(3).str(), 1, {}, "B8").result, hex("02 01"));
  // Iteration past the last element answers a null key and value.
  const int tags = std::stoi(value(get(oid, "Tags").result));
  EXPECT_EQ(call(tags, "%ListOfDataTypes", "Insert", writer().bytes("b").str(), 1).code, 0);
  EXPECT_EQ(call(tags, "%ListOfDataTypes", "GetNext", writer().integer(1).str(), 1, {1}).result, hex("02 01 02 01"));
  EXPECT_EQ(send("B6", writer().integer(oid)), hex("02 01"));
  owned again(send("B6", writer().integer(oid)));
  const head not_open = record(next(again));
  EXPECT_EQ(not_open.code, err_close);
  EXPECT_EQ(not_open.info, hex("03 04 01 03 04 00"));
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
  const auto bh = [oid](const char* prop) { return writer().integer(oid).bytes(prop).integer(0); };
  const std::tuple<const char*, std::string, int> cases[] = {
      {"B7", "", err_malformed}, {"B7", hex("03 04"), err_malformed}, {"ZZ", "", err_unknown_request},
      {"B7", b7(99, "Sample.Person", "%Id").integer(0).integer(0).integer(0).str(), err_unknown_object},
      {"B7", b7(-1, "No.Such", "%New").integer(0).integer(0).integer(0).str(), err_unknown_class},
      {"B7", b7(oid, "Sample.Person", "Fly").integer(0).integer(0).integer(0).str(), err_unknown_method},
      {"B7", b7(-1, "Sample.Person", "%Id").integer(0).integer(0).integer(0).str(), err_argument},
      {"B7", b7(oid, "Sample.Person", "%Id").integer(1).integer(5).integer(0).integer(0).str(), err_argument},
      {"B7", b7(oid, "Sample.Person", "%Id").integer(1000).str(), err_malformed},
      {"B7", b7(oid, "Sample.Person", "Describe").integer(2).bytes("x").null().integer(1).integer(3).integer(0).str(),
       err_malformed},
      {"BH", bh("Nope").str(), err_unknown_property}, {"BH", writer().integer(oid).str(), err_malformed},
      {"BI", bh("Spouse").integer(12345).str(), err_unknown_object},
      {"BI", bh("Birthday").integer(99999999).str(), err_argument},
      {"BI", bh("Name").str(), err_malformed},
      {"BB", writer().integer(7).str(), err_argument}, {"BG", writer().bytes("Sample.Person").str(), err_malformed},
  };
  for (const auto& [code, payload, expected] : cases) {
    const head h = common(s.request(code, payload));
    EXPECT_EQ(h.code, expected) << code << " " << payload.size();
    EXPECT_TRUE(!h.msg.empty() && h.cache.empty()) << code << " " << payload.size();
  }
  // Nothing was damaged. (Random requests are the server request fuzz target's.)
  EXPECT_EQ(value(get(oid, "Name").result), "Ann");
}

TEST_F(session_test, statuses_decode) {
  const auto decode = [&](const std::string& status) {
    owned r(send("BJ", writer().bytes(status).bytes("text")));
    EXPECT_TRUE(next(r).is_null());
    const std::int64_t code = next_int(r);
    return std::to_string(code) + " " + next_text(r);
  };
  EXPECT_EQ(decode("") + "/" + decode("1") + "/" + decode(hex("05 01")), "0 /0 /-1 malformed status");
  EXPECT_EQ(session::status_bytes(-5, "five"), hex("0D 01 01 00 03 05 FB 06 01") + "five");
  owned none(s.request("BJ", ""));  // no status at all
  EXPECT_EQ(record(next(none)).code, err_malformed);
}

TEST_F(session_test, cached_session_sections_and_flush_groups) {
  send("B0", writer().real(2.08).integer(1).integer(0).integer(0));
  prefix = nothing_pending;
  const int oid = saved_person("Ann");
  EXPECT_EQ(set(oid, "Height", writer().real(1.75).str()).code, 0);
  // A section: 1 object, its id, its slot count, then slot and value pairs
  // (values as text) of the stored properties but the null references.
  const std::string height = hex("03 04 02 13 01") + "1.750000000000000";
  const std::string empty_3_to_5 = hex("03 04 03 02 01 03 04 04 02 01 03 04 05 02 01"),
                    empty_7_8 = hex("03 04 07 02 01 03 04 08 02 01");
  EXPECT_EQ(get(oid, "Birthday").cache, hex("03 04 01 03 04 01 03 04 09 03 04 00 05 01") + "Ann" +
                                            hex("03 04 01 02 01") + height + empty_3_to_5 + hex("03 04 06 02 01") +
                                            empty_7_8);

  // Changes at the head of a request are applied first.
  const int spouse = saved_person("Bob");
  prefix = writer()
               .integer(2).integer(oid).integer(1).integer(0).integer(0).integer(30)  // Age = 30
               .integer(oid).integer(6).integer(0).integer(0).integer(58133)          // Birthday
               .integer(1).integer(oid).bytes("Spouse").integer(spouse).integer(0)
               .str();
  const head after = get(oid, "Age");
  EXPECT_EQ(value(after.result), "30");
  EXPECT_EQ(after.cache, hex("03 04 01 03 04 01 03 04 0A 03 04 00 05 01") + "Ann" + hex("03 04 01 04 01") + "30" +
                             height + empty_3_to_5 + hex("03 04 06 07 01") + "58133" + empty_7_8 +
                             hex("03 04 0A 11 01") + "2@Sample.Person");

  prefix = hex("03 04 01 03 04 01");  // a group cut short
  EXPECT_EQ(get(oid, "Name").code, err_malformed);
  prefix = nothing_pending;
  EXPECT_EQ(set(oid, "Codes", writer().bytes(writer().integer(7).str()).str()).code, 0);
  // (id, slot 5 = Codes, position, 0, value): element 3 of a one-element
  // list pads element 2 with a null; element 1 is then replaced.
  const auto element_at = [&](int slot, int pos, const std::string& value) {
    prefix = writer().integer(1).integer(oid).integer(slot).integer(pos).integer(0).raw(value).str() +
             hex("03 04 00 03 04 00");
    const head h = get(oid, "Codes");
    prefix = nothing_pending;
    return h;
  };
  const std::string both = hex("0A 01 03 05 FE 02 01 03 01 78");
  EXPECT_EQ(element_at(5, 3, writer().bytes("x").str()).result, hex("0A 01 03 04 07 02 01 03 01 78"));
  EXPECT_EQ(element_at(5, 1, writer().integer(-2).str()).result, both);
  EXPECT_EQ(element_at(1, 1, writer().integer(1).str()).code, err_argument);  // Age is no list
  EXPECT_EQ(element_at(5, 40000, writer().bytes("x").str()).code, err_too_long);
  EXPECT_EQ(element_at(5, -1, writer().bytes("x").str()).code, err_unknown_property);
  EXPECT_EQ(get(oid, "Codes").result, both);  // the refused changes left it alone
  EXPECT_EQ(send("B1", writer().raw(nothing_pending).integer(1).integer(1)), hex("02 01 02 01"));
}

TEST_F(session_test, a_lock_is_waited_for_up_to_the_timeout) {
  connection other_conn(dir.path(), {}, "torqa", "torqa");
  session other(other_conn);
  saved_person("Ann");
  const auto open = [](session& in, int concurrency, int timeout) {
    const writer w = writer().bytes("Sample.Person").bytes("1").integer(concurrency).integer(timeout);
    return common(in.request("BG", w.str()));
  };
  const head mine = open(s, 2, 0);
  ASSERT_EQ(mine.code, 0);
  // The other session, on its own thread, waits for the exclusive lock to go.
  head theirs;
  std::thread waiter([&] { theirs = open(other, 1, 1); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  send("B6", writer().integer(std::stoi(value(mine.result))));
  waiter.join();
  EXPECT_EQ(theirs.code, 0) << theirs.msg;
  // Its shared lock outlasts a one-second wait for an exclusive one.
  const head refused = open(s, 2, 1);
  EXPECT_EQ(std::to_string(refused.code) + " " + refused.info, "-9 " + hex("04 04 AB 16"));
}

TEST_F(session_test, a_save_writes_only_the_properties_it_changed) {
  const int mine = saved_person("Ann");
  ASSERT_EQ(set(mine, "Name", writer().bytes("Bea").str()).code, 0);
  // Meanwhile another session changes Age and saves; the Age this session
  // loaded is not written back over it.
  connection other_conn(dir.path(), {}, "torqa", "torqa");
  session other(other_conn);
  const auto in_other = [&](std::string_view code, const writer& w) { return common(other.request(code, w.str())); };
  const int theirs =
      std::stoi(value(in_other("BG", writer().bytes("Sample.Person").bytes("1").integer(0).integer(0)).result));
  ASSERT_EQ(in_other("BI", writer().integer(theirs).bytes("Age").integer(0).integer(50)).code, 0);
  ASSERT_EQ(in_other("B7", writer().integer(theirs).bytes("Sample.Person").bytes("%Save").integer(0).integer(0)
                               .integer(0).integer(0))
                .code,
            0);
  ASSERT_EQ(call(mine, "Sample.Person", "%Save").code, 0);
  const auto seen = [&](const char* prop) {
    return value(in_other("BH", writer().integer(theirs).bytes(prop).integer(0)).result);
  };
  EXPECT_EQ(seen("Name") + " " + seen("Age"), "Bea 50");
}

// Streams through the object model, with tiny chunks so that content
// crosses chunks and moves to a temporary file.
class session_streams : public session_test {
 protected:
  session_streams() { conn.store().set_stream_sizes(16, 4); }
  const class_def& person = *s.get_schema().find_class("Sample.Person");
  const property& notes = *person.find_property("Notes");

  // Calls a stream method: its result, with the output argument (if any)
  // appended after a '|'.
  static std::string call_on(session& in, const object_ptr& st, const char* name, std::vector<item> args = {}) {
    const item r = in.invoke(st, *st->cls, *st->cls->find_method(name), args);
    std::string out = r.obj ? "<object>" : datum_text(r.d, data_type::string);
    if (!args.empty() && std::holds_alternative<std::int64_t>(args[0].d)) out += "|" + datum_text(args[0].d, data_type::integer);
    return out;
  }
  // The Notes of person `row` read back by another session, line by line.
  std::string stored_notes(std::int64_t row) {
    session other(conn);
    const object_ptr o = other.open(person, row, 0);
    const object_ptr st = other.get_property(o, notes).obj;
    std::string all;
    for (;;) {
      std::vector<item> len{item{std::int64_t{1000}, nullptr}};
      const item line = other.invoke(st, *st->cls, *st->cls->find_method("ReadLine"), len);
      if (std::get<std::int64_t>(len[0].d) == -1) return all;
      all += datum_text(line.d, data_type::string) + "\n";
    }
  }
  std::string sql(const std::string& text) { return scalar(conn.store(), text); }
};

TEST_F(session_streams, content_crosses_chunks_and_a_failed_save_keeps_the_old) {
  std::string text;
  for (int i = 0; i < 12; ++i) text += "line \xC3\xA9 " + std::to_string(i) + "\r\n";
  const object_ptr p = s.create(person);
  const object_ptr st = s.get_property(p, notes).obj;
  for (std::size_t at = 0; at < text.size(); at += 7)  // pieces that split the two-byte character
    call_on(s, st, "Write", {item{text.substr(at, 7), nullptr}});
  EXPECT_EQ(call_on(s, st, "SizeGet"), std::to_string(text.size() - 12));
  ASSERT_EQ(s.save(p), "");
  std::string unix_text = text;
  std::erase(unix_text, '\r');
  EXPECT_EQ(stored_notes(p->row), unix_text);

  // Reads of a few characters never split one, across chunk boundaries.
  call_on(s, st, "Rewind");
  std::string pieces;
  for (std::string got; (got = call_on(s, st, "Read", {item{std::int64_t{3}, nullptr}})) != "|-1";)
    pieces += got.substr(0, got.rfind('|'));
  EXPECT_EQ(pieces, text);

  // Editing another property leaves the stored stream as it is.
  const std::string marker = sql("SELECT Notes FROM Sample_Person");
  const std::string chunks = sql("SELECT CAST(max(rowid) AS TEXT) FROM torqa_stream_chunks");
  s.set_property(p, *person.find_property("Age"), item{std::int64_t{40}, nullptr});
  ASSERT_EQ(s.save(p), "");
  EXPECT_EQ(sql("SELECT Notes FROM Sample_Person") + sql("SELECT CAST(max(rowid) AS TEXT) FROM torqa_stream_chunks"),
            marker + chunks);

  // A save that cannot be written (the database may not grow) fails and
  // keeps the old content; the new content stays with the object and is
  // saved once it can be.
  std::string more;
  for (int i = 0; i < 8000; ++i) more += "more " + std::to_string(i) + "\n";
  call_on(s, st, "Write", {item{more, nullptr}});
  conn.store().exec("PRAGMA max_page_count = 1");
  std::int64_t code = 0;
  std::string msg;
  session::decode_status(s.save(p), code, msg);
  EXPECT_EQ(code, err_storage) << msg;
  conn.store().exec("PRAGMA max_page_count = 1000000");
  EXPECT_EQ(stored_notes(p->row), unix_text);
  // The same when what fails comes after the stream: a referenced new
  // object with a value longer than SQLite takes.
  const class_def& address = *s.get_schema().find_class("Sample.Address");
  const object_ptr home = s.create(address);
  const property& street = *address.find_property("Street");
  s.set_property(home, street, item{std::string(2000, 's'), nullptr});
  s.set_property(p, *person.find_property("Home"), item{{}, home});
  sqlite3_limit(conn.store().db(), SQLITE_LIMIT_LENGTH, 1000);
  session::decode_status(s.save(p), code, msg);
  EXPECT_EQ(code, err_storage) << msg;
  EXPECT_EQ(home->row, 0);
  EXPECT_EQ(stored_notes(p->row), unix_text);
  sqlite3_limit(conn.store().db(), SQLITE_LIMIT_LENGTH, 1000000000);
  s.set_property(home, street, item{std::string("Main Street"), nullptr});
  ASSERT_EQ(s.save(p), "");
  EXPECT_TRUE(stored_notes(p->row) == unix_text + more);
  EXPECT_EQ(sql("SELECT CAST(count(*) AS TEXT) FROM torqa_streams"), "1");  // the old stream is gone
}

TEST_F(session_streams, rows_deleted_by_client_sql_take_their_streams_along) {
  const object_ptr p = s.create(person);
  call_on(s, s.get_property(p, notes).obj, "Write", {item{std::string(100, 'x'), nullptr}});
  ASSERT_EQ(s.save(p), "");
  ASSERT_EQ(sql("SELECT CAST(count(*) AS TEXT) FROM torqa_streams"), "1");
  // The server's own statements after the client's run by the server's rules.
  sql_statement(conn, "DELETE FROM Sample_Person WHERE ID > 0").execute();
  EXPECT_EQ(sql("SELECT CAST(count(*) AS TEXT) FROM torqa_streams"), "0");
}

TEST_F(session_test, closed_objects_that_hold_each_other_are_released) {
  const class_def& person = *s.get_schema().find_class("Sample.Person");
  const property& spouse = *person.find_property("Spouse");
  std::vector<std::weak_ptr<object>> gone;
  std::vector<int> ids;
  std::int64_t row = 0;
  {
    // Married to each other, and a friend of herself.
    const object_ptr a = s.create(person), b = s.create(person);
    s.set_property(a, *person.find_property("Name"), item{std::string("Ann"), nullptr});
    s.set_property(a, spouse, item{{}, b});
    s.set_property(b, spouse, item{{}, a});
    const object_ptr friends = s.get_property(a, *person.find_property("Friends")).obj;
    std::vector<item> args{item{{}, a}};
    s.invoke(friends, *friends->cls, *friends->cls->find_method("Insert"), args);
    ASSERT_EQ(s.save(a), "");
    row = a->row;
    ids = {s.hand_out(a), s.hand_out(b)};
    gone = {a, b, friends};
  }
  for (const int id : ids) EXPECT_TRUE(s.close(id));
  for (const auto& w : gone) EXPECT_TRUE(w.expired());
  // What they held is found again from their rows.
  const object_ptr ann = s.open(person, row, 0);
  const object_ptr bob = s.get_property(ann, spouse).obj;
  EXPECT_EQ(s.get_property(bob, spouse).obj, ann);
}

TEST(session_schema, on_new_initialises_new_objects) {
  temp_dir dir;
  std::ofstream(dir / "things.tq") << "class Test.Thing\n  property Name: string\n  method OnNew(init: string)\n"
                                      "    if init == \"bad\" then torqa.error(-1100, \"bad init\") end\n"
                                      "    self.Name = init\n  end method\nend class\n";
  connection conn(dir / "ns", {.fasthash = true, .schema_file = dir / "things.tq"}, "torqa", "torqa");
  session s(conn);
  const auto make = [&](const std::string& args, int nargs) {
    const writer w = writer().integer(-1).bytes("Test.Thing").bytes("%New").integer(0).integer(nargs).raw(args);
    const head h = common(s.request("B7", writer(w).integer(0).integer(0).str()));
    if (h.code != 0) return std::to_string(h.code) + " " + h.msg;
    const int oid = std::stoi(value(h.result));
    return value(common(s.request("BH", writer().integer(oid).bytes("Name").integer(0).str())).result);
  };
  EXPECT_EQ(make(writer().bytes("Ann").str(), 1) + "/" + make("", 0) + "/" + make(writer().bytes("bad").str(), 1),
            "Ann//-1100 bad init");
}

}  // namespace
}  // namespace torqa::server
