// Methods that never end or take all memory are stopped at the namespace's limits.
#include "server/test_util.h"

#include "server/core/session.h"

#include <fstream>

namespace torqa::server {
namespace {

using namespace test;

constexpr const char* schema_text = R"(class Test.Hostile
  class method Spin(): integer
    while true do pcall(function() while true do end end) end
  end method
  class method Handler(): integer
    while true do xpcall(function() while true do end end, function() while true do end end) end
  end method
  class method Match(): integer
    return string.find(string.rep("a", 30000), ".-.-.-.-.-.-.-.-b")
  end method
  class method Fill(): integer
    local t = {}
    for i = 1, 1e8 do t[i] = i end
    return #t
  end method
  class method Huge(): integer
    return #string.rep("x", 1.5e9)
  end method
  class method Caught(): integer
    local ok = pcall(string.rep, "x", 1e8)
    return ok and 1 or 0
  end method
  class method Fine(): integer
    return 42
  end method
end class
)";

TEST(lua_limits, methods_past_the_time_or_memory_limit_fail_and_the_session_serves_on) {
  temp_dir dir;
  std::ofstream(dir / "hostile.tq") << schema_text;
  connection conn(dir / "ns",
                  {.fasthash = true, .schema_file = dir / "hostile.tq", .limits = {300, 16 << 20}},
                  "torqa", "torqa");
  session s(conn);
  // The method's error code and message, or its result.
  const auto call = [&](const char* method) {
    const writer w = writer().integer(-1).bytes("Test.Hostile").bytes(method).integer(0).integer(0);
    const head h = common(s.request("B7", writer(w).integer(0).integer(0).str()));
    return h.code != 0 ? std::to_string(h.code) + " " + h.msg : value(h.result);
  };
  const std::string slow = "-1009 the method ran longer than 300 ms";
  const std::string big = "-1009 the method needed more than 16777216 bytes";
  for (const auto& [method, expected] : {std::pair{"Spin", slow}, {"Handler", slow}, {"Match", slow},
                                         {"Fill", big}, {"Huge", big}, {"Caught", std::string("0")}}) {
    EXPECT_EQ(call(method), expected) << method;
    EXPECT_EQ(call("Fine"), "42") << "after " << method;
  }
}

}  // namespace
}  // namespace torqa::server
