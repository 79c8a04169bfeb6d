// Collection and stream properties. Each is an object of its own on the
// server (a list, an array, a character or binary stream) reached through
// its property; every operation is a method call on it, and the owner's
// %Save stores them with the owner.
#include "example.h"

using example::check;

int main(int argc, char** argv) {
  Handle<Conn_t> conn = example::connect(argc, argv);
  Database db(conn, false);
  return example::run([&] {
    d_ref<Dyn_obj> ann = Dyn_obj::create(db, "Sample.Person");
    ann->set("Name", "Ann");

    // A list of strings: keys are positions from 1.
    d_ref<d_collection> tags = ann->get<d_ref<d_collection>>("Tags");
    tags->ins(d_string("red"), d_int(1));
    tags->ins(d_string("green"), d_int(2));
    tags->ins(d_string("blue"), d_int(1));  // inserted before "red"
    tags->set(d_string("yellow"), d_int(3));  // replaces "green"
    tags->del(d_int(1));
    d_int count;
    count.get(tags->run_method_by_name(m_Count, nullptr, 0), &db);
    std::cout << "Tags (" << count.value() << "):";
    for (int i = 1; i <= count.value(); ++i) {
      d_string tag;
      tag.get(tags->get(d_int(i)), &db);
      std::cout << ' ' << tag.mb_str();
    }
    std::cout << '\n';
    check(count.value() == 2, "two tags");

    // An array of integers: keys are texts, walked in key order with GetNext,
    // whose key argument is an output argument (null: start from the first;
    // null again after the last).
    d_ref<d_collection> scores = ann->get<d_ref<d_collection>>("Scores");
    scores->set(d_int(90), d_string("math"));
    scores->set(d_int(75), d_string("art"));
    scores->set(d_int(82), d_string("history"));
    std::cout << "Scores:";
    d_string key;
    key.set_null();
    D_type* next[] = {&key};
    int total = 0;
    while (true) {
      d_int score;
      score.get(scores->run_method_by_name(m_GetNext, next, 1), &db);
      if (key.is_null() || key.size() == 0) break;
      std::cout << ' ' << key.mb_str() << '=' << score.value();
      total += score.value();
    }
    std::cout << '\n';
    check(total == 247, "three scores");

    // A list of objects: elements are references.
    d_ref<Dyn_obj> bob = Dyn_obj::create(db, "Sample.Person");
    bob->set("Name", "Bob");
    d_ref<d_collection> friends = ann->get<d_ref<d_collection>>("Friends");
    D_type* one[] = {&bob};
    friends->run_method_by_name(m_Insert, one, 1);
    d_ref<Dyn_obj> first;
    first.get(friends->get(d_int(1)), &db);
    check(first.get_proxy() == bob.get_proxy(), "the friend is Bob");

    // A character stream: written in pieces (at most 65535 bytes each),
    // read back line by line. ReadLine's length is an output argument: the
    // characters read, or -1 at the end.
    d_ref<d_stream> notes = ann->get<d_ref<d_stream>>("Notes");
    notes->write(d_string("First line\nSecond "));
    notes->write(d_string("line, caf\xC3\xA9\n"));
    notes->run_method_by_name(m_Rewind, nullptr, 0);
    std::cout << "Notes:\n";
    int lines = 0;
    while (true) {
      d_int len(100);
      d_string line;
      notes->readline(len, line);
      if (len.value() < 0) break;
      std::cout << "  " << line.mb_str() << '\n';
      ++lines;
    }
    check(lines == 2, "two lines");

    // A binary stream, read in pieces of at most 4 bytes.
    d_ref<d_stream> picture = ann->get<d_ref<d_stream>>("Picture");
    picture->write(d_binary("\x89PNG\r\n\x1a\n", 8));
    picture->run_method_by_name(m_Rewind, nullptr, 0);
    std::size_t bytes = 0;
    while (true) {
      d_int len(4);
      d_binary piece;
      picture->read(len, piece);
      if (len.value() < 0) break;
      bytes += piece.size();
    }
    std::cout << "Picture: " << bytes << " bytes\n";
    check(bytes == 8, "eight bytes");

    check(ann->call<d_status>("%Save").get_code() == 0, "saved");  // stores Bob, the tags, the streams
    std::cout << "Saved Sample.Person " << ann->call<std::string>("%Id") << " with its collections and streams\n";
  });
}
