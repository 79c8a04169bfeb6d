// The stoppable pattern functions against Lua's own, expression by expression.
#include "server/methods/lua_patterns.h"

#include <gtest/gtest.h>
#include <lua.hpp>

#include <string>

namespace torqa::server {
namespace {

// The results of `expr` (or its error message) as text.
std::string evaluate(lua_State* L, const std::string& expr) {
  const std::string chunk = "local r = table.pack(pcall(function() return " + expr +
                            " end)) for i = 1, r.n do r[i] = tostring(r[i]) end return table.concat(r, ',', 1, r.n)";
  if (luaL_dostring(L, chunk.c_str()) != LUA_OK) return "chunk failed";
  std::string out = lua_tostring(L, -1);
  lua_pop(L, 1);
  return out;
}

TEST(lua_patterns, answer_as_the_library_does) {
  lua_State* own = luaL_newstate();
  lua_State* ours = luaL_newstate();
  luaL_openlibs(own);
  luaL_openlibs(ours);
  int ticks = 0;
  static int* counter = &ticks;
  open_patterns(ours, [](lua_State*) { ++*counter; });
  const char* const cases[] = {
      R"x(("key = value; x=(1 (2) 3) [%] end"):find("%b()"))x",
      R"x(("key = value"):find("(%w+)%s*=%s*(%w+)"))x",
      R"x(("a.b"):find(".", 1, true))x",
      R"x(("a+b"):find("+", -2))x",
      R"x(("abc"):find("b", 10))x",
      R"x(("abc"):find("", 4))x",
      R"x(("hello"):match("()ll()"))x",
      R"x(("abcabc"):match("^(a.-)%1$"))x",
      R"x(("  trim  "):match("^%s*(.-)%s*$"))x",
      R"x(("THE (quick) fox"):find("%f[%a]%a+%f[%A]"))x",
      R"x(("x = [[a]]"):match("%[(=*)%[(.-)%]%1%]"))x",
      R"x(("0x1F zz"):match("^0[xX](%x+)"))x",
      R"x(("a-b-c"):match("[%w%-]+$"))x",
      R"x(("[]"):match("[]]"))x",
      R"x(("abc"):match("[^a-b]"))x",
      R"x(("aaa"):match("a-b"))x",
      R"x(("aaab"):match("a*b?$"))x",
      R"x(("abc"):match("%"))x",
      R"x(("abc"):match("[a"))x",
      R"x(("abc"):match("(()"))x",
      R"x(("abc"):match("%1"))x",
      R"x(("abc"):match("a)"))x",
      R"x(("abc"):match("%g+%z?"))x",
      R"x(("a\0b"):find("\0", 1, true))x",
      R"x(("a\0b"):match("%z"))x",
      R"x(("hello world"):gsub("o", "0"))x",
      R"x(("hello world"):gsub("(%w+)", "<%1>", 1))x",
      R"x(("hello world"):gsub("%w+", "%0 %0"))x",
      R"x(("hello"):gsub("", "-"))x",
      R"x(("abc"):gsub("%w", "%2"))x",
      R"x(("abc"):gsub("%w", "%"))x",
      R"x(("abc"):gsub("()", "%1"))x",
      R"x(("key=K x=X"):gsub("(%w+)=(%w+)", {key = "k", x = false}))x",
      R"x(("abc"):gsub("%w", function(c) return c:upper() .. "." end))x",
      R"x(("abc"):gsub("%w", function() return {} end))x",
      R"x(("abc"):gsub("^a", "A"))x",
      R"x(("abc"):gsub("b*", "-"))x",
      R"x(("abc"):gsub("x", 5))x",
      R"x(("abc"):gsub("a", true))x",
      R"x((function() local t = {} for k, v in ("a=1, b=2, c"):gmatch("(%w+)=(%w+)") do t[#t + 1] = k .. v end return table.concat(t, ";") end)())x",
      R"x((function() local t = {} for w in ("one two  three"):gmatch("%a*") do t[#t + 1] = "<" .. w .. ">" end return table.concat(t) end)())x",
      R"x((function() local t = {} for p in ("abc"):gmatch("()", 2) do t[#t + 1] = p end return table.concat(t, ",") end)())x",
      R"x((function() local t = {} for w in ("^a^a"):gmatch("^a") do t[#t + 1] = w end return #t end)())x",
      R"x(string.rep("(", 40):find(string.rep("%(", 40)))x",
      R"x(string.rep("a", 300):match(string.rep("a?", 300) .. string.rep("a", 300)))x",
      R"x(string.rep("a", 200):find(".-.-b"))x",
  };
  for (const char* c : cases) EXPECT_EQ(evaluate(ours, c), evaluate(own, c)) << c;
  EXPECT_GT(ticks, 100);  // the long backtracking case called back
  lua_close(own);
  lua_close(ours);
}

}  // namespace
}  // namespace torqa::server
