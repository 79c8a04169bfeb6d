// Encodes and decodes a value through the installed library.
#include <torqa/torqa.h>

#include <cstdio>

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
  std::puts("consumer: linked torqa::torqa and round-tripped two values");
  return 0;
}
