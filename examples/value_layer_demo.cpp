// A tour of the value layer: how values become bytes and back, with no server.
//
// Every value the binding sends travels as one list element: a length byte,
// a type byte and the data (values of 254 bytes or more use a four-byte
// header: 0x00, a 16-bit length, the type). This program writes a few values
// into an in-memory message with t_ostrstream, prints each element in hex,
// then reads the message back with t_istrstream and prints the values.
//
// Texts are converted by the driver library, so run it from the build tree
// (libTorqaODBC.so sits beside libtorqa.so) or set TORQA_DRIVER.
#include <torqa/torqa.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>

namespace {

// Writes one value with `write` and prints the bytes it added to `msg` in
// hex, sixteen to a line.
void show(t_ostrstream& msg, const char* what, const std::function<void(t_ostream&)>& write) {
  const std::size_t before = msg.size();
  write(msg);
  std::printf("  %-32s", what);
  for (std::size_t i = before; i < msg.size(); ++i) {
    if (i > before && (i - before) % 16 == 0) std::printf("\n  %-32s", "");
    std::printf(" %02X", static_cast<unsigned char>(msg.data()[i]));
  }
  std::printf("\n");
}

}  // namespace

int main() {
  // A list value: its elements are held already encoded, and the whole list
  // travels as one type-1 element whose data are those elements.
  d_list list;
  list.append_elem(std::int64_t{5});
  list.append_elem("abc", 3);
  list.append_elem(-0.5);

  std::puts("Encoding (value, then its element in hex: length, type, data)");
  t_ostrstream msg;
  show(msg, "int 42 (type 4: >= 0)", [](t_ostream& os) { os << 42; });
  show(msg, "int -257 (type 5: < 0)", [](t_ostream& os) { os << -257; });
  show(msg, "int64 2^40 (6 data bytes)", [](t_ostream& os) { os << (std::int64_t{1} << 40); });
  show(msg, "text \"hello\" (type 1)", [](t_ostream& os) { os << d_string("hello"); });
  show(msg, "double 2.08 (as fixed text)", [](t_ostream& os) { os << 2.08; });
  show(msg, "list [5, \"abc\", -0.5]", [&](t_ostream& os) { os << list; });
  show(msg, "date 2000-02-29 (day 58133)", [](t_ostream& os) { os << d_date(2000, 2, 29); });
  show(msg, "timestamp 2001-02-03 04:05:06", [](t_ostream& os) { os << d_timestamp(2001, 2, 3, 4, 5, 6); });
  std::printf("Whole message: %zu bytes\n\n", msg.size());

  std::puts("Decoding the same bytes");
  std::string bytes(msg.data(), msg.size());
  t_istrstream in(bytes.data(), static_cast<int>(bytes.size()));
  int small = 0, negative = 0;
  std::int64_t big = 0;
  bool null = false;
  d_string text;
  double real = 0;
  d_list got;
  d_date date;
  d_timestamp stamp;
  in >> small >> negative;
  in.read_int(big, null);
  in >> text >> real >> got >> date >> stamp;

  std::cout << "  int        " << small << "\n"
            << "  int        " << negative << "\n"
            << "  int64      " << big << "\n"
            << "  text       " << text << "\n"
            << "  double     " << real << "\n"
            << "  list       " << got.count() << " elements:";
  for (got.move_to(0); !got.at_list_end(); got.next_elem()) {
    d_string element;  // any element can be read as text
    got.get_elem(element);
    std::cout << " [" << element << "]";
  }
  std::cout << "\n"
            << "  date       " << date << " (weekday " << date.get_tm()->tm_wday << ", 0 = Sunday)\n"
            << "  timestamp  " << stamp << "\n"
            << "  at end     " << (in.at_end() ? "yes" : "no") << "\n";
  return in.at_end() ? 0 : 1;
}
