// Lua's pattern functions (string.find, match, gmatch, gsub) with the same
// behaviour, over a matcher that calls back every few thousand steps so
// that a pattern that backtracks for ever can be stopped.
#pragma once

struct lua_State;

namespace torqa::server {

/// Replaces the pattern functions of L's string table. `tick` is called
/// with the matching state every 4096 steps; it may raise a Lua error.
void open_patterns(lua_State* L, void (*tick)(lua_State*));

}  // namespace torqa::server
