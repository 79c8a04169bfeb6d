// Connection strings as a user or a configuration file gives them.
//
// The binding splits the text "HOST[OPTIONS]sPATH" (s: any one character)
// and hands the three parts to the driver: here the scripted driver, which
// records them. When the text is valid UTF-8 the parts must be exactly
// what a plain split of the text gives. The host and options then reach the
// real driver's connect, whose option parser and connect run for real on
// the run's namespace (the path is always that namespace's, so that no
// input creates directories elsewhere).
#include "namespace_fixture.h"
#include "support/scripted_driver.h"

#include <torqa/torqa.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace torqa::test;

namespace {

// Valid UTF-8 without NUL (which ends the text), or not.
bool plain_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c == 0 ? 0 : c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    char32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Bytes of the UTF-8 character starting at s[0].
std::size_t char_len(std::string_view s) {
  const auto c = static_cast<unsigned char>(s[0]);
  return c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
}

void mismatch(const char* part, const std::string& got, const std::string& want) {
  std::fprintf(stderr, "%s: driver got '%s', the text has '%s'\n", part, got.c_str(), want.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> parts;
  {
    scripted_driver drv;
    Db_err err;
    Handle<Conn_t> conn = tcp_conn::connect(d_string(text.c_str()), "torqa", "torqa", &err);
    if (drv.connect_args.empty()) return 0;
    parts.assign(drv.connect_args.begin(), drv.connect_args.begin() + 3);
  }
  if (plain_utf8(text)) {
    const std::size_t open = text.find('['), close = text.find(']', open + 1);
    if (open == std::string::npos || close == std::string::npos || close + 1 >= text.size())
      mismatch("connect", "called", "no split");
    if (parts[0] != text.substr(0, open)) mismatch("host", parts[0], text.substr(0, open));
    if (parts[1] != text.substr(open + 1, close - open - 1))
      mismatch("options", parts[1], text.substr(open + 1, close - open - 1));
    // The separator is one 16-bit unit: a character outside the BMP leaves
    // its second half at the start of the path.
    const std::size_t sep = char_len(std::string_view(text).substr(close + 1));
    const std::string path = text.substr(close + 1 + sep);
    if (sep < 4 && parts[2] != path) mismatch("path", parts[2], path);
  }

  SQLHDBC dbc = nullptr;
  if (SQLAllocConnect(fuzz::environment(), &dbc) != SQL_SUCCESS) std::abort();
  const auto& ns = fuzz::sample_namespace::get();
  static bool created = false;
  if (!created) {  // the namespace exists before any input's options meet it
    fuzz::connect(dbc, u"local", ns.options(), ns.path());
    SQLFreeConnect(dbc);
    SQLAllocConnect(fuzz::environment(), &dbc);
    created = true;
  }
  const auto wide = [](const std::string& s) {
    std::u16string out(s.size(), u'\0');
    out.resize(DrvMbToUni(s.data(), static_cast<unsigned short>(s.size()), reinterpret_cast<unsigned short*>(out.data()),
                          static_cast<unsigned short>(out.size())));
    return out;
  };
  fuzz::connect(dbc, wide(parts[0]), wide(parts[1]), ns.path());
  SQLFreeConnect(dbc);
  return 0;
}
