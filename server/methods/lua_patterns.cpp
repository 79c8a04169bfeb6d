#include "server/methods/lua_patterns.h"

#include <lua.hpp>

#include <atomic>
#include <cctype>
#include <cstddef>
#include <cstring>

// The matcher raises Lua errors, which unwind through it: it keeps no
// object with a destructor.
namespace torqa::server {

namespace {

constexpr char esc = '%';
constexpr const char* specials = "^$*+?.([%-";
constexpr int max_captures = 32;
constexpr int max_depth = 200;
constexpr long tick_steps = 4096;
constexpr std::ptrdiff_t cap_unfinished = -1;
constexpr std::ptrdiff_t cap_position = -2;

// Every engine installs the same function; atomic because engines of
// separate sessions start on separate threads.
std::atomic<void (*)(lua_State*)> tick_fn{nullptr};

struct match_state {
  const char* src_init;
  const char* src_end;
  const char* p_end;
  lua_State* L;
  int depth;
  int level;
  long steps;
  struct {
    const char* init;
    std::ptrdiff_t len;
  } capture[max_captures];
};

int uc(char c) { return static_cast<unsigned char>(c); }

void prepare(match_state& ms, lua_State* L, const char* s, std::size_t ls, const char* p, std::size_t lp) {
  ms.L = L;
  ms.src_init = s;
  ms.src_end = s + ls;
  ms.p_end = p + lp;
  ms.steps = 0;
}

void restart(match_state& ms) {
  ms.level = 0;
  ms.depth = max_depth;
}

// A position argument as a 1-based position within a string of `len`.
std::size_t position(lua_Integer pos, std::size_t len) {
  if (pos > 0) return static_cast<std::size_t>(pos);
  if (pos == 0) return 1;
  if (pos < -static_cast<lua_Integer>(len)) return 1;
  return len + static_cast<std::size_t>(pos) + 1;
}

int check_capture(match_state& ms, int l) {
  l -= '1';
  if (l < 0 || l >= ms.level || ms.capture[l].len == cap_unfinished)
    return luaL_error(ms.L, "invalid capture index %%%d", l + 1);
  return l;
}

int capture_to_close(match_state& ms) {
  for (int level = ms.level - 1; level >= 0; --level)
    if (ms.capture[level].len == cap_unfinished) return level;
  return luaL_error(ms.L, "invalid pattern capture");
}

const char* class_end(match_state& ms, const char* p) {
  switch (*p++) {
    case esc:
      if (p == ms.p_end) luaL_error(ms.L, "malformed pattern (ends with '%%')");
      return p + 1;
    case '[':
      if (*p == '^') ++p;
      do {
        if (p == ms.p_end) luaL_error(ms.L, "malformed pattern (missing ']')");
        if (*(p++) == esc && p < ms.p_end) ++p;
      } while (*p != ']');
      return p + 1;
    default:
      return p;
  }
}

bool match_class(int c, int cl) {
  bool res;
  switch (std::tolower(cl)) {
    case 'a': res = std::isalpha(c); break;
    case 'c': res = std::iscntrl(c); break;
    case 'd': res = std::isdigit(c); break;
    case 'g': res = std::isgraph(c); break;
    case 'l': res = std::islower(c); break;
    case 'p': res = std::ispunct(c); break;
    case 's': res = std::isspace(c); break;
    case 'u': res = std::isupper(c); break;
    case 'w': res = std::isalnum(c); break;
    case 'x': res = std::isxdigit(c); break;
    case 'z': res = c == 0; break;
    default: return cl == c;
  }
  return std::isupper(cl) ? !res : res;
}

// `p` is at '[', `ec` at the closing ']'.
bool match_bracket(int c, const char* p, const char* ec) {
  bool sig = true;
  if (*(p + 1) == '^') {
    sig = false;
    ++p;
  }
  while (++p < ec) {
    if (*p == esc) {
      ++p;
      if (match_class(c, uc(*p))) return sig;
    } else if (*(p + 1) == '-' && p + 2 < ec) {
      p += 2;
      if (uc(*(p - 2)) <= c && c <= uc(*p)) return sig;
    } else if (uc(*p) == c) {
      return sig;
    }
  }
  return !sig;
}

bool single_match(const match_state& ms, const char* s, const char* p, const char* ep) {
  if (s >= ms.src_end) return false;
  const int c = uc(*s);
  switch (*p) {
    case '.': return true;
    case esc: return match_class(c, uc(*(p + 1)));
    case '[': return match_bracket(c, p, ep - 1);
    default: return uc(*p) == c;
  }
}

const char* match(match_state& ms, const char* s, const char* p);

const char* match_balance(match_state& ms, const char* s, const char* p) {
  if (p >= ms.p_end - 1) luaL_error(ms.L, "malformed pattern (missing arguments to '%%b')");
  if (s >= ms.src_end || *s != *p) return nullptr;
  const char b = *p, e = *(p + 1);
  int open = 1;
  while (++s < ms.src_end) {
    if (*s == e) {
      if (--open == 0) return s + 1;
    } else if (*s == b) {
      ++open;
    }
  }
  return nullptr;
}

const char* max_expand(match_state& ms, const char* s, const char* p, const char* ep) {
  std::ptrdiff_t i = 0;
  while (single_match(ms, s + i, p, ep)) ++i;
  for (; i >= 0; --i)
    if (const char* res = match(ms, s + i, ep + 1)) return res;
  return nullptr;
}

const char* min_expand(match_state& ms, const char* s, const char* p, const char* ep) {
  for (;;) {
    if (const char* res = match(ms, s, ep + 1)) return res;
    if (!single_match(ms, s, p, ep)) return nullptr;
    ++s;
  }
}

const char* start_capture(match_state& ms, const char* s, const char* p, std::ptrdiff_t what) {
  const int level = ms.level;
  if (level >= max_captures) luaL_error(ms.L, "too many captures");
  ms.capture[level].init = s;
  ms.capture[level].len = what;
  ms.level = level + 1;
  const char* res = match(ms, s, p);
  if (res == nullptr) --ms.level;
  return res;
}

const char* end_capture(match_state& ms, const char* s, const char* p) {
  const int l = capture_to_close(ms);
  ms.capture[l].len = s - ms.capture[l].init;
  const char* res = match(ms, s, p);
  if (res == nullptr) ms.capture[l].len = cap_unfinished;
  return res;
}

const char* match_capture(match_state& ms, const char* s, int l) {
  l = check_capture(ms, l);
  const auto len = static_cast<std::size_t>(ms.capture[l].len);
  if (static_cast<std::size_t>(ms.src_end - s) >= len && std::memcmp(ms.capture[l].init, s, len) == 0) return s + len;
  return nullptr;
}

const char* match(match_state& ms, const char* s, const char* p) {
  if (ms.depth-- == 0) luaL_error(ms.L, "pattern too complex");
  if (++ms.steps == tick_steps) {
    ms.steps = 0;
    tick_fn.load(std::memory_order_relaxed)(ms.L);
  }
  while (p != ms.p_end) {
    const char* ep = nullptr;
    switch (*p) {
      case '(':
        s = *(p + 1) == ')' ? start_capture(ms, s, p + 2, cap_position) : start_capture(ms, s, p + 1, cap_unfinished);
        goto done;
      case ')':
        s = end_capture(ms, s, p + 1);
        goto done;
      case '$':
        if (p + 1 != ms.p_end) break;
        s = s == ms.src_end ? s : nullptr;
        goto done;
      case esc:
        if (*(p + 1) == 'b') {
          s = match_balance(ms, s, p + 2);
          if (s == nullptr) goto done;
          p += 4;
          continue;
        }
        if (*(p + 1) == 'f') {
          p += 2;
          if (*p != '[') luaL_error(ms.L, "missing '[' after '%%f' in pattern");
          ep = class_end(ms, p);
          const char previous = s == ms.src_init ? '\0' : *(s - 1);
          const char current = s < ms.src_end ? *s : '\0';
          if (!match_bracket(uc(previous), p, ep - 1) && match_bracket(uc(current), p, ep - 1)) {
            p = ep;
            continue;
          }
          s = nullptr;
          goto done;
        }
        if (std::isdigit(uc(*(p + 1)))) {
          s = match_capture(ms, s, uc(*(p + 1)));
          if (s == nullptr) goto done;
          p += 2;
          continue;
        }
        break;
      default:
        break;
    }
    // A single character class, possibly followed by a repetition.
    ep = class_end(ms, p);
    if (!single_match(ms, s, p, ep)) {
      if (*ep == '*' || *ep == '?' || *ep == '-') {
        p = ep + 1;
        continue;
      }
      s = nullptr;
      goto done;
    }
    switch (*ep) {
      case '?':
        if (const char* res = match(ms, s + 1, ep + 1)) {
          s = res;
          goto done;
        }
        p = ep + 1;
        continue;
      case '+':
        s = max_expand(ms, s + 1, p, ep);
        goto done;
      case '*':
        s = max_expand(ms, s, p, ep);
        goto done;
      case '-':
        s = min_expand(ms, s, p, ep);
        goto done;
      default:
        ++s;
        p = ep;
        continue;
    }
  }
done:
  ++ms.depth;
  return s;
}

// Capture i of a match from s to e (the whole match when there is no
// capture); a position capture is pushed and answers cap_position.
std::ptrdiff_t get_capture(match_state& ms, int i, const char* s, const char* e, const char** cap) {
  if (i >= ms.level) {
    if (i != 0) luaL_error(ms.L, "invalid capture index %%%d", i + 1);
    *cap = s;
    return e - s;
  }
  const std::ptrdiff_t len = ms.capture[i].len;
  *cap = ms.capture[i].init;
  if (len == cap_unfinished) luaL_error(ms.L, "unfinished capture");
  if (len == cap_position) lua_pushinteger(ms.L, (ms.capture[i].init - ms.src_init) + 1);
  return len;
}

void push_capture(match_state& ms, int i, const char* s, const char* e) {
  const char* cap = nullptr;
  const std::ptrdiff_t len = get_capture(ms, i, s, e, &cap);
  if (len != cap_position) lua_pushlstring(ms.L, cap, static_cast<std::size_t>(len));
}

int push_captures(match_state& ms, const char* s, const char* e) {
  const int n = ms.level == 0 && s != nullptr ? 1 : ms.level;
  luaL_checkstack(ms.L, n, "too many captures");
  for (int i = 0; i < n; ++i) push_capture(ms, i, s, e);
  return n;
}

bool no_specials(const char* p, std::size_t l) {
  std::size_t upto = 0;
  do {
    if (std::strpbrk(p + upto, specials) != nullptr) return false;
    upto += std::strlen(p + upto) + 1;
  } while (upto <= l);
  return true;
}

const char* find_plain(const char* s1, std::size_t l1, const char* s2, std::size_t l2) {
  if (l2 == 0) return s1;
  if (l2 > l1) return nullptr;
  --l2;
  l1 -= l2;
  const char* init = nullptr;
  while (l1 > 0 && (init = static_cast<const char*>(std::memchr(s1, *s2, l1))) != nullptr) {
    ++init;
    if (std::memcmp(init, s2 + 1, l2) == 0) return init - 1;
    l1 -= static_cast<std::size_t>(init - s1);
    s1 = init;
  }
  return nullptr;
}

int find_or_match(lua_State* L, bool find) {
  std::size_t ls = 0, lp = 0;
  const char* s = luaL_checklstring(L, 1, &ls);
  const char* p = luaL_checklstring(L, 2, &lp);
  const std::size_t init = position(luaL_optinteger(L, 3, 1), ls) - 1;
  if (init > ls) {
    luaL_pushfail(L);
    return 1;
  }
  if (find && (lua_toboolean(L, 4) || no_specials(p, lp))) {
    if (const char* s2 = find_plain(s + init, ls - init, p, lp)) {
      lua_pushinteger(L, (s2 - s) + 1);
      lua_pushinteger(L, static_cast<lua_Integer>((s2 - s) + static_cast<std::ptrdiff_t>(lp)));
      return 2;
    }
  } else {
    match_state ms;
    const char* s1 = s + init;
    const bool anchor = *p == '^';
    if (anchor) {
      ++p;
      --lp;
    }
    prepare(ms, L, s, ls, p, lp);
    do {
      restart(ms);
      if (const char* res = match(ms, s1, p)) {
        if (!find) return push_captures(ms, s1, res);
        lua_pushinteger(L, (s1 - s) + 1);
        lua_pushinteger(L, res - s);
        return push_captures(ms, nullptr, nullptr) + 2;
      }
    } while (s1++ < ms.src_end && !anchor);
  }
  luaL_pushfail(L);
  return 1;
}

int str_find(lua_State* L) { return find_or_match(L, true); }
int str_match(lua_State* L) { return find_or_match(L, false); }

struct gmatch_state {
  const char* src;
  const char* p;
  const char* last;
  match_state ms;
};

int gmatch_next(lua_State* L) {
  auto* gm = static_cast<gmatch_state*>(lua_touserdata(L, lua_upvalueindex(3)));
  gm->ms.L = L;
  for (const char* src = gm->src; src <= gm->ms.src_end; ++src) {
    restart(gm->ms);
    const char* e = match(gm->ms, src, gm->p);
    if (e != nullptr && e != gm->last) {
      gm->src = gm->last = e;
      return push_captures(gm->ms, src, e);
    }
  }
  return 0;
}

int str_gmatch(lua_State* L) {
  std::size_t ls = 0, lp = 0;
  const char* s = luaL_checklstring(L, 1, &ls);
  const char* p = luaL_checklstring(L, 2, &lp);
  std::size_t init = position(luaL_optinteger(L, 3, 1), ls) - 1;
  lua_settop(L, 2);  // the strings stay alive as upvalues
  auto* gm = static_cast<gmatch_state*>(lua_newuserdatauv(L, sizeof(gmatch_state), 0));
  if (init > ls) init = ls + 1;
  prepare(gm->ms, L, s, ls, p, lp);
  gm->src = s + init;
  gm->p = p;
  gm->last = nullptr;
  lua_pushcclosure(L, gmatch_next, 3);
  return 1;
}

void add_replacement(match_state& ms, luaL_Buffer& b, const char* s, const char* e) {
  lua_State* L = ms.L;
  std::size_t l = 0;
  const char* news = lua_tolstring(L, 3, &l);
  const char* p = nullptr;
  while ((p = static_cast<const char*>(std::memchr(news, esc, l))) != nullptr) {
    luaL_addlstring(&b, news, static_cast<std::size_t>(p - news));
    ++p;
    if (*p == esc) {
      luaL_addchar(&b, *p);
    } else if (*p == '0') {
      luaL_addlstring(&b, s, static_cast<std::size_t>(e - s));
    } else if (std::isdigit(uc(*p))) {
      const char* cap = nullptr;
      const std::ptrdiff_t len = get_capture(ms, *p - '1', s, e, &cap);
      if (len == cap_position)
        luaL_addvalue(&b);
      else
        luaL_addlstring(&b, cap, static_cast<std::size_t>(len));
    } else {
      luaL_error(L, "invalid use of '%c' in replacement string", esc);
    }
    l -= static_cast<std::size_t>(p + 1 - news);
    news = p + 1;
  }
  luaL_addlstring(&b, news, l);
}

bool add_value(match_state& ms, luaL_Buffer& b, const char* s, const char* e, int tr) {
  lua_State* L = ms.L;
  if (tr == LUA_TFUNCTION) {
    lua_pushvalue(L, 3);
    lua_call(L, push_captures(ms, s, e), 1);
  } else if (tr == LUA_TTABLE) {
    push_capture(ms, 0, s, e);
    lua_gettable(L, 3);
  } else {
    add_replacement(ms, b, s, e);
    return true;
  }
  if (!lua_toboolean(L, -1)) {
    lua_pop(L, 1);
    luaL_addlstring(&b, s, static_cast<std::size_t>(e - s));
    return false;
  }
  if (!lua_isstring(L, -1)) luaL_error(L, "invalid replacement value (a %s)", luaL_typename(L, -1));
  luaL_addvalue(&b);
  return true;
}

int str_gsub(lua_State* L) {
  std::size_t srcl = 0, lp = 0;
  const char* src = luaL_checklstring(L, 1, &srcl);
  const char* p = luaL_checklstring(L, 2, &lp);
  const char* last = nullptr;
  const int tr = lua_type(L, 3);
  const lua_Integer max_s = luaL_optinteger(L, 4, static_cast<lua_Integer>(srcl) + 1);
  const bool anchor = *p == '^';
  lua_Integer n = 0;
  bool changed = false;
  luaL_argexpected(L, tr == LUA_TNUMBER || tr == LUA_TSTRING || tr == LUA_TFUNCTION || tr == LUA_TTABLE, 3,
                   "string/function/table");
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  if (anchor) {
    ++p;
    --lp;
  }
  match_state ms;
  prepare(ms, L, src, srcl, p, lp);
  while (n < max_s) {
    restart(ms);
    const char* e = match(ms, src, p);
    if (e != nullptr && e != last) {
      ++n;
      changed = add_value(ms, b, src, e, tr) || changed;
      src = last = e;
    } else if (src < ms.src_end) {
      luaL_addchar(&b, *src++);
    } else {
      break;
    }
    if (anchor) break;
  }
  if (!changed) {
    lua_pushvalue(L, 1);
  } else {
    luaL_addlstring(&b, src, static_cast<std::size_t>(ms.src_end - src));
    luaL_pushresult(&b);
  }
  lua_pushinteger(L, n);
  return 2;
}

}  // namespace

void open_patterns(lua_State* L, void (*tick)(lua_State*)) {
  tick_fn.store(tick, std::memory_order_relaxed);
  lua_getglobal(L, LUA_STRLIBNAME);
  const luaL_Reg fns[] = {
      {"find", str_find}, {"match", str_match}, {"gmatch", str_gmatch}, {"gsub", str_gsub}, {nullptr, nullptr}};
  luaL_setfuncs(L, fns, 0);
  lua_pop(L, 1);
}

}  // namespace torqa::server
