// Encodes and decodes a value through the installed library, and compiles
// against proxies the installed tool generated.
#include <torqa/torqa.h>

#include <Sample/Person.h>

#include <cstdio>
#include <type_traits>

int main() {
  t_ostrstream out;
  out << 2147483647 << d_string("installed");
  t_istrstream in(const_cast<char*>(out.data()), static_cast<int>(out.size()));
  int n = 0;
  d_string s;
  in >> n >> s;
  if (n != 2147483647 || s.bytes() != "installed") {
    std::puts("consumer: round trip failed");
    return 1;
  }
  static_assert(std::is_base_of_v<Obj_t, Sample::Person>);
  std::puts("consumer: linked torqa::torqa, round-tripped two values and compiled generated proxies");
  return 0;
}
