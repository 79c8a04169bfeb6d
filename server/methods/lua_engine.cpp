#include "server/methods/lua_engine.h"

#include "server/methods/lua_patterns.h"

#include <lua.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

namespace torqa::server {

namespace {

constexpr const char* object_mt = "torqa.object";
constexpr const char* class_mt = "torqa.class";
// Instructions between two looks at the clock.
constexpr int hook_step = 1000;

struct object_box {
  object_ptr p;
};

struct class_box {
  const class_def* c;
};

// A call (a method or a calculated property, with the calls it makes) runs
// until its deadline and with the state's memory bounded by the
// namespace's limits. Past the deadline the call is stopped for good: the
// count hook then raises an error at every instruction, so that no pcall
// can go on, and every allocation is refused, which also ends library
// functions that allocate. Memory past the limit is refused.
struct engine_state {
  lua_engine* engine = nullptr;
  int depth = 0;
  std::size_t used = 0;  // bytes the state holds
  run_limits limits;
  std::chrono::steady_clock::time_point deadline;
  bool stopped = false;  // past the deadline
};

engine_state& state(lua_State* L) { return **static_cast<engine_state**>(lua_getextraspace(L)); }
session& sess(lua_State* L) { return state(L).engine->owner(); }

void push_object(lua_State* L, const object_ptr& o) {
  if (!o) {
    lua_pushnil(L);
    return;
  }
  new (lua_newuserdatauv(L, sizeof(object_box), 0)) object_box{o};
  luaL_setmetatable(L, object_mt);
}

object_ptr to_object(lua_State* L, int idx) {
  auto* box = static_cast<object_box*>(luaL_testudata(L, idx, object_mt));
  return box ? box->p : nullptr;
}

std::string to_text(lua_State* L, int idx) {
  std::size_t n = 0;
  const char* s = lua_tolstring(L, idx, &n);
  return s ? std::string(s, n) : std::string();
}

[[noreturn]] void type_error(const value_type& t, const char* what) {
  throw server_error(err_argument, std::string(what) + ": expected a " + type_name(t) + " value");
}

void push_item(lua_State* L, const item& v, const value_type& t) {
  session& s = sess(L);
  if (t.type == data_type::object) {
    push_object(L, s.resolve(v, t.cls));
    return;
  }
  if (is_null(v.d)) {
    lua_pushnil(L);
    return;
  }
  if (const auto* i = std::get_if<std::int64_t>(&v.d)) {
    switch (t.type) {
      case data_type::boolean:
        lua_pushboolean(L, *i != 0);
        return;
      case data_type::date:
        lua_pushstring(L, format_date(*i).c_str());
        return;
      case data_type::time:
        lua_pushstring(L, format_time(*i).c_str());
        return;
      default:
        lua_pushinteger(L, *i);
        return;
    }
  }
  if (const auto* x = std::get_if<double>(&v.d)) {
    lua_pushnumber(L, *x);
    return;
  }
  const auto& str = std::get<std::string>(v.d);
  if (t.type != data_type::list) {
    lua_pushlstring(L, str.data(), str.size());
    return;
  }
  lua_newtable(L);
  reader r(str);
  element e;
  for (lua_Integer n = 1; r.next(e); ++n) {
    if (e.type == t_int_pos || e.type == t_int_neg)
      lua_pushinteger(L, *element_int(e));
    else if (e.type == t_dec_pos || e.type == t_dec_neg)
      lua_pushnumber(L, *element_double(e));
    else if (const auto text = element_text(e))
      lua_pushlstring(L, text->data(), text->size());
    else
      lua_pushnil(L);
    lua_rawseti(L, -2, n);
  }
}

item take_item(lua_State* L, int idx, const value_type& t, const char* what) {
  const int kind = lua_type(L, idx);
  if (kind == LUA_TNIL) return {};
  switch (t.type) {
    case data_type::object: {
      object_ptr o = to_object(L, idx);
      if (!o) type_error(t, what);
      const bool any = t.cls == "%RegisteredObject" || (t.cls == "%Library.AbstractStream" && o->cls->is_stream());
      if (!any && !same_name(o->cls->name, t.cls)) type_error(t, what);
      return item{{}, std::move(o)};
    }
    case data_type::integer:
    case data_type::boolean: {
      if (kind == LUA_TBOOLEAN) return item{std::int64_t{lua_toboolean(L, idx) != 0}, nullptr};
      int ok = 0;
      const lua_Integer v = lua_tointegerx(L, idx, &ok);
      if (ok) return item{t.type == data_type::boolean ? std::int64_t{v != 0} : std::int64_t{v}, nullptr};
      const lua_Number x = lua_tonumberx(L, idx, &ok);
      if (!ok || !std::isfinite(x) || std::fabs(x) > 9.2e18) type_error(t, what);
      return item{static_cast<std::int64_t>(x), nullptr};
    }
    case data_type::double_: {
      int ok = 0;
      const lua_Number x = lua_tonumberx(L, idx, &ok);
      if (!ok) type_error(t, what);
      return item{static_cast<double>(x), nullptr};
    }
    case data_type::date:
    case data_type::time: {
      std::optional<std::int64_t> v;
      if (kind == LUA_TSTRING) {
        const std::string s = to_text(L, idx);
        v = t.type == data_type::date ? parse_date(s) : parse_time(s);
      } else if (lua_isinteger(L, idx)) {
        v = lua_tointeger(L, idx);
      }
      if (!v) type_error(t, what);
      return item{*v, nullptr};
    }
    case data_type::list: {
      if (kind == LUA_TSTRING) return item{to_text(L, idx), nullptr};
      if (kind != LUA_TTABLE) type_error(t, what);
      writer w;
      const lua_Integer n = static_cast<lua_Integer>(lua_rawlen(L, idx));
      for (lua_Integer i = 1; i <= n; ++i) {
        lua_rawgeti(L, idx, i);
        if (lua_isinteger(L, -1))
          w.integer(lua_tointeger(L, -1));
        else if (lua_type(L, -1) == LUA_TNUMBER)
          w.real(lua_tonumber(L, -1));
        else if (lua_type(L, -1) == LUA_TBOOLEAN)
          w.integer(lua_toboolean(L, -1));
        else if (lua_type(L, -1) == LUA_TSTRING)
          w.bytes(to_text(L, -1));
        else
          w.null();
        lua_pop(L, 1);
      }
      if (w.size() == 0) return {};
      return item{w.str(), nullptr};
    }
    case data_type::status: {
      if (kind == LUA_TBOOLEAN && lua_toboolean(L, idx)) return {};
      if (kind == LUA_TTABLE) {
        lua_getfield(L, idx, "code");
        const lua_Integer code = lua_tointeger(L, -1);
        lua_getfield(L, idx, "message");
        const std::string msg = to_text(L, -1);
        lua_pop(L, 2);
        return item{session::status_bytes(code == 0 ? err_method : static_cast<int>(code), msg), nullptr};
      }
      return item{session::status_bytes(err_method, kind == LUA_TSTRING ? to_text(L, idx) : "failed"), nullptr};
    }
    default: {
      if (kind != LUA_TSTRING && kind != LUA_TNUMBER) type_error(t, what);
      std::string s = to_text(L, idx);
      if (s.empty()) return {};
      return item{std::move(s), nullptr};
    }
  }
}

// Runs f, turning a C++ exception into a Lua error raised once no C++
// object of this frame is alive any more.
template <int (*F)(lua_State*)>
int protect(lua_State* L) {
  try {
    return F(L);
  } catch (const server_error& e) {
    lua_createtable(L, 0, 2);
    lua_pushinteger(L, e.code);
    lua_setfield(L, -2, "code");
    lua_pushlstring(L, e.msg.data(), e.msg.size());
    lua_setfield(L, -2, "message");
  } catch (const std::exception& e) {
    lua_pushstring(L, e.what());
  }
  return lua_error(L);
}

// The receiver of a method call: an object or a class.
const class_def* receiver(lua_State* L, object_ptr& self) {
  self = to_object(L, 1);
  if (self) return self->cls;
  const auto* box = static_cast<class_box*>(luaL_testudata(L, 1, class_mt));
  if (box == nullptr) throw server_error(err_argument, "a method is called on an object or a class (use ':')");
  return box->c;
}

// Upvalue 1: the method name. Answers the result, then the output
// arguments' new values in declared order.
int call_method(lua_State* L) {
  object_ptr self;
  const class_def* c = receiver(L, self);
  const std::string name = to_text(L, lua_upvalueindex(1));
  const method* m = c->find_method(name);
  if (m == nullptr) throw server_error(err_unknown_method, "class " + c->name + " has no method " + name);
  if (m->class_method) self = nullptr;
  else if (!self) throw server_error(err_argument, "method " + name + " needs an object");
  const int given = lua_gettop(L) - 1;
  if (given > static_cast<int>(m->args.size()))
    throw server_error(err_argument, "method " + name + " takes " + std::to_string(m->args.size()) + " arguments");
  std::vector<item> args(m->args.size());
  std::vector<value_type> types(m->args.size());
  for (std::size_t i = 0; i < m->args.size(); ++i) {
    const bool element = self && self->cls->is_collection() && m->args[i].name == "element";
    types[i] = element ? session::element_type(*self) : m->args[i].type;
    if (static_cast<int>(i) < given) args[i] = take_item(L, static_cast<int>(i) + 2, types[i], "argument");
  }
  const item ret = sess(L).invoke(self, *c, *m, args);
  const bool element_result = self && self->cls->is_collection() && m->result.type != data_type::status &&
                              m->result.type != data_type::integer;
  push_item(L, ret, element_result ? session::element_type(*self) : m->result);
  int n = 1;
  for (std::size_t i = 0; i < m->args.size(); ++i) {
    if (!m->args[i].output) continue;
    push_item(L, args[i], types[i]);
    ++n;
  }
  return n;
}

int object_index(lua_State* L) {
  const object_ptr o = to_object(L, 1);
  const std::string key = lua_type(L, 2) == LUA_TSTRING ? to_text(L, 2) : std::string();
  if (const property* p = o->cls->find_property(key)) {
    const item v = sess(L).get_property(o, *p);
    const bool bound = p->kind == prop_kind::collection || p->kind == prop_kind::stream;
    push_item(L, v, bound ? value_type{data_type::object, p->object_class()} : p->type);
    return 1;
  }
  if (o->cls->find_method(key) == nullptr) {
    lua_pushnil(L);
    return 1;
  }
  lua_pushlstring(L, key.data(), key.size());
  lua_pushcclosure(L, protect<call_method>, 1);
  return 1;
}

int object_newindex(lua_State* L) {
  const object_ptr o = to_object(L, 1);
  const std::string key = to_text(L, 2);
  const property* p = o->cls->find_property(key);
  if (p == nullptr) throw server_error(err_unknown_property, "class " + o->cls->name + " has no property " + key);
  const bool bound = p->kind == prop_kind::collection || p->kind == prop_kind::stream;
  sess(L).set_property(o, *p, take_item(L, 3, bound ? value_type{data_type::object, p->object_class()} : p->type,
                                        p->name.c_str()));
  return 0;
}

int object_gc(lua_State* L) {
  static_cast<object_box*>(lua_touserdata(L, 1))->~object_box();
  return 0;
}

int object_eq(lua_State* L) {
  lua_pushboolean(L, to_object(L, 1) == to_object(L, 2));
  return 1;
}

int object_tostring(lua_State* L) {
  const object_ptr o = to_object(L, 1);
  const std::string s = o->cls->name + (o->row ? "||" + std::to_string(o->row) : std::string(" (new)"));
  lua_pushlstring(L, s.data(), s.size());
  return 1;
}

int class_index(lua_State* L) {
  const auto* box = static_cast<class_box*>(lua_touserdata(L, 1));
  const std::string key = to_text(L, 2);
  if (box->c->find_method(key) == nullptr) {
    lua_pushnil(L);
    return 1;
  }
  lua_pushlstring(L, key.data(), key.size());
  lua_pushcclosure(L, protect<call_method>, 1);
  return 1;
}

const class_def& class_arg(lua_State* L, int idx) {
  const std::string name = to_text(L, idx);
  const class_def* c = sess(L).get_schema().find_class(name);
  if (c == nullptr) throw server_error(err_unknown_class, "class " + name + " does not exist");
  return *c;
}

object_ptr object_arg(lua_State* L, int idx) {
  object_ptr o = to_object(L, idx);
  if (!o) throw server_error(err_argument, "expected an object");
  return o;
}

int lib_class(lua_State* L) {
  const class_def& c = class_arg(L, 1);
  static_cast<class_box*>(lua_newuserdatauv(L, sizeof(class_box), 0))->c = &c;
  luaL_setmetatable(L, class_mt);
  return 1;
}

int lib_new(lua_State* L) {
  const class_def& c = class_arg(L, 1);
  const item init = lua_isnoneornil(L, 2) ? item{} : take_item(L, 2, {data_type::string, {}}, "init");
  push_object(L, sess(L).make_new(c, init));
  return 1;
}

int lib_open(lua_State* L) {
  const class_def& c = class_arg(L, 1);
  const auto row = take_item(L, 2, {data_type::integer, {}}, "id");
  const auto* r = std::get_if<std::int64_t>(&row.d);
  const lua_Integer concurrency = lua_isnoneornil(L, 3) ? 0 : lua_tointeger(L, 3);
  const lua_Integer timeout = lua_isnoneornil(L, 4) ? 0 : lua_tointeger(L, 4);
  push_object(L, r ? sess(L).open(c, *r, static_cast<int>(std::clamp<lua_Integer>(concurrency, 0, 2)), timeout)
                   : nullptr);
  return 1;
}

int lib_id(lua_State* L) {
  const object_ptr o = object_arg(L, 1);
  if (o->row == 0)
    lua_pushnil(L);
  else
    lua_pushstring(L, std::to_string(o->row).c_str());
  return 1;
}

int lib_oid(lua_State* L) {
  const std::string id = session::persistent_id(*object_arg(L, 1));
  if (id.empty())
    lua_pushnil(L);
  else
    lua_pushlstring(L, id.data(), id.size());
  return 1;
}

int lib_save(lua_State* L) {
  const std::string st = sess(L).save(object_arg(L, 1));
  if (!st.empty()) {
    std::int64_t code = 0;
    std::string msg;
    element e;
    reader(st).next(e);
    session::decode_status(e.data, code, msg);
    throw server_error(static_cast<int>(code), msg);
  }
  lua_pushboolean(L, 1);
  return 1;
}

int lib_error(lua_State* L) {
  const lua_Integer code = luaL_optinteger(L, 1, err_method);
  const std::string msg = to_text(L, 2);
  throw server_error(static_cast<int>(code), msg);
}

int lib_print(lua_State* L) {
  // A reply carries at most this much output: the rest is not kept.
  constexpr std::size_t max_output = 32768;
  std::string& out = sess(L).output();
  const int n = lua_gettop(L);
  for (int i = 1; i <= n; ++i) {
    std::size_t len = 0;
    const char* s = luaL_tolstring(L, i, &len);
    if (i > 1) out += '\t';
    out.append(s, std::min(len, max_output - std::min(out.size(), max_output)));
    lua_pop(L, 1);
  }
  if (out.size() < max_output) out += '\n';
  return 0;
}

bool past_deadline(engine_state& st) {
  if (!st.stopped && std::chrono::steady_clock::now() > st.deadline) st.stopped = true;
  return st.stopped;
}

void count_hook(lua_State* L, lua_Debug*);

void stop(lua_State* L) {
  lua_sethook(L, count_hook, LUA_MASKCOUNT, 1);
  luaL_error(L, "stopped");
}

// Called by the count hook and by the pattern matcher.
void check_deadline(lua_State* L) {
  engine_state& st = state(L);
  if (st.depth > 0 && past_deadline(st)) stop(L);
}

void count_hook(lua_State* L, lua_Debug*) { check_deadline(L); }

void* limited_alloc(void* ud, void* ptr, std::size_t osize, std::size_t nsize) {
  auto& st = *static_cast<engine_state*>(ud);
  const std::size_t old = ptr != nullptr ? osize : 0;
  if (nsize == 0) {
    std::free(ptr);
    st.used -= old;
    return nullptr;
  }
  if (nsize > old && st.depth > 0 &&
      (st.used - old + nsize > static_cast<std::size_t>(st.limits.memory) || past_deadline(st)))
    return nullptr;
  void* p = std::realloc(ptr, nsize);
  if (p != nullptr) st.used = st.used - old + nsize;
  return p;
}

}  // namespace

lua_engine::lua_engine(session& s) : s_(s) {
  auto st = std::make_unique<engine_state>();
  st->engine = this;
  st->limits = s.conn().ns().limits();
  L_ = lua_newstate(limited_alloc, st.get());
  if (L_ == nullptr) throw server_error(err_method, "cannot start Lua");
  *static_cast<engine_state**>(lua_getextraspace(L_)) = st.release();
  const luaL_Reg libs[] = {{LUA_GNAME, luaopen_base},          {LUA_TABLIBNAME, luaopen_table},
                           {LUA_STRLIBNAME, luaopen_string},   {LUA_MATHLIBNAME, luaopen_math},
                           {LUA_UTF8LIBNAME, luaopen_utf8}};
  for (const auto& lib : libs) {
    luaL_requiref(L_, lib.name, lib.func, 1);
    lua_pop(L_, 1);
  }
  open_patterns(L_, check_deadline);
  for (const char* unsafe : {"dofile", "loadfile", "load", "require", "collectgarbage"}) {
    lua_pushnil(L_);
    lua_setglobal(L_, unsafe);
  }
  lua_pushcfunction(L_, protect<lib_print>);
  lua_setglobal(L_, "print");

  luaL_newmetatable(L_, object_mt);
  const luaL_Reg object_fns[] = {{"__index", protect<object_index>},
                                 {"__newindex", protect<object_newindex>},
                                 {"__gc", object_gc},
                                 {"__eq", object_eq},
                                 {"__tostring", protect<object_tostring>},
                                 {nullptr, nullptr}};
  luaL_setfuncs(L_, object_fns, 0);
  lua_pop(L_, 1);
  luaL_newmetatable(L_, class_mt);
  lua_pushcfunction(L_, protect<class_index>);
  lua_setfield(L_, -2, "__index");
  lua_pop(L_, 1);

  const luaL_Reg lib[] = {{"class", protect<lib_class>}, {"new", protect<lib_new>},   {"open", protect<lib_open>},
                          {"id", protect<lib_id>},       {"oid", protect<lib_oid>},   {"save", protect<lib_save>},
                          {"error", protect<lib_error>}, {nullptr, nullptr}};
  luaL_newlib(L_, lib);
  lua_setglobal(L_, "torqa");
  lua_sethook(L_, count_hook, LUA_MASKCOUNT, hook_step);
}

lua_engine::~lua_engine() {
  engine_state* st = &state(L_);
  lua_close(L_);
  delete st;
}

void lua_engine::push_function(const void* key, const std::string& params, const std::string& body, int line) {
  auto it = compiled_.find(key);
  if (it == compiled_.end()) {
    const std::string source =
        std::string(static_cast<std::size_t>(std::max(line - 1, 0)), '\n') + "return function(" + params + ") " +
        body + "\nend";
    if (luaL_loadbuffer(L_, source.data(), source.size(), "=schema.tq") != LUA_OK) {
      std::string msg = to_text(L_, -1);
      lua_pop(L_, 1);
      throw server_error(err_method, msg);
    }
    lua_call(L_, 0, 1);
    it = compiled_.emplace(key, luaL_ref(L_, LUA_REGISTRYINDEX)).first;
  }
  lua_rawgeti(L_, LUA_REGISTRYINDEX, it->second);
}

void lua_engine::run(int nargs, int nresults) {
  engine_state& st = state(L_);
  if (st.depth++ == 0) st.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(st.limits.time_ms);
  const int rc = lua_pcall(L_, nargs, nresults, 0);
  const bool stopped = st.stopped;
  if (--st.depth == 0 && stopped) {
    st.stopped = false;
    lua_sethook(L_, count_hook, LUA_MASKCOUNT, hook_step);
  }
  if (stopped)
    throw server_error(err_method, "the method ran longer than " + std::to_string(st.limits.time_ms) + " ms");
  if (rc == LUA_OK) return;
  int code = err_method;
  std::string msg;
  if (rc == LUA_ERRMEM) {
    msg = "the method needed more than " + std::to_string(st.limits.memory) + " bytes";
    if (st.depth == 0) lua_gc(L_, LUA_GCCOLLECT);
  } else if (lua_istable(L_, -1)) {
    lua_getfield(L_, -1, "code");
    code = static_cast<int>(lua_tointeger(L_, -1));
    lua_getfield(L_, -2, "message");
    msg = to_text(L_, -1);
    lua_pop(L_, 2);
  } else {
    msg = lua_type(L_, -1) == LUA_TSTRING ? to_text(L_, -1) : "method failed";
  }
  lua_pop(L_, 1);
  throw server_error(code, msg);
}

item lua_engine::call(const class_def&, const method& m, const object_ptr& self, std::vector<item>& args) {
  const int base = lua_gettop(L_);
  try {
    // The out table stays below the function so that it outlives the call.
    lua_newtable(L_);
    const int out = base + 1;
    for (std::size_t i = 0; i < m.args.size(); ++i) {
      if (!m.args[i].output) continue;
      push_item(L_, args[i], m.args[i].type);
      lua_setfield(L_, out, m.args[i].name.c_str());
    }
    std::string params = "self, out";
    for (const auto& a : m.args) params += ", " + a.name;
    push_function(&m, params, m.body, m.body_line);
    push_object(L_, self);
    lua_pushvalue(L_, out);
    for (std::size_t i = 0; i < m.args.size(); ++i) push_item(L_, args[i], m.args[i].type);
    run(2 + static_cast<int>(m.args.size()), 1);
    const item ret = m.result.type == data_type::none ? item{} : take_item(L_, -1, m.result, "result");
    for (std::size_t i = 0; i < m.args.size(); ++i) {
      if (!m.args[i].output) continue;
      lua_getfield(L_, out, m.args[i].name.c_str());
      args[i] = take_item(L_, -1, m.args[i].type, m.args[i].name.c_str());
      lua_pop(L_, 1);
    }
    lua_settop(L_, base);
    return ret;
  } catch (...) {
    lua_settop(L_, base);
    throw;
  }
}

item lua_engine::calculate(const class_def&, const property& p, const object_ptr& self) {
  const int base = lua_gettop(L_);
  try {
    push_function(&p, "self", p.body, p.body_line);
    push_object(L_, self);
    run(1, 1);
    item v = take_item(L_, -1, p.type, p.name.c_str());
    lua_settop(L_, base);
    return v;
  } catch (...) {
    lua_settop(L_, base);
    throw;
  }
}

}  // namespace torqa::server
