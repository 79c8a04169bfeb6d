// The requests "B0" to "BJ": decoding their payloads, carrying them out on
// the session's objects and writing the replies.
//
// Replies with a common head ("B7", "B8", "B9", "BB", "BG", "BH", "BI"):
// the result (one element whose data are the result values), the error
// record, an empty second error field, the server output and, in a session
// with a cache, the cache section. An error record is empty, or one element
// whose data are the code, the message and optionally a detail list.
#include "server/core/session.h"

#include <algorithm>
#include <cmath>

namespace torqa::server {

namespace {

// Largest result a client reads into its result buffer.
constexpr std::size_t max_result = 32768;
// Largest argument count of one method call.
constexpr std::int64_t max_args = 128;

std::int64_t need_int(reader& in, const char* what) {
  std::int64_t v = 0;
  if (!in.read_int(v)) throw server_error(err_malformed, std::string("malformed request: expected ") + what);
  return v;
}

int need_int32(reader& in, const char* what) {
  const std::int64_t v = need_int(in, what);
  if (v < INT32_MIN || v > INT32_MAX) throw server_error(err_malformed, std::string("malformed request: bad ") + what);
  return static_cast<int>(v);
}

std::string need_text(reader& in, const char* what) {
  std::string s;
  if (!in.read_text(s)) throw server_error(err_malformed, std::string("malformed request: expected ") + what);
  return s;
}

element need_element(reader& in, const char* what) {
  element e;
  if (!in.next(e)) throw server_error(err_malformed, std::string("malformed request: expected ") + what);
  return e;
}

std::string error_record(const server_error& e) {
  writer inner;
  inner.integer(e.code).text(e.msg, false);
  if (!e.info.empty()) inner.bytes(e.info);
  writer w;
  w.bytes(inner.str());
  return w.str();
}

bool is_one_of(std::string_view code, std::initializer_list<std::string_view> codes) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

bool returns_element(builtin_method b) {
  return b == builtin_method::get_at || b == builtin_method::remove_at || b == builtin_method::get_next ||
         b == builtin_method::get_previous;
}

}  // namespace

// Carries out one request on a session; members are the request's state.
class request_handler {
 public:
  request_handler(session& s, std::string_view payload) : s_(s), in_(payload) {}

  std::string run(std::string_view code) {
    if (code == "B0") return startup();
    if (code == "B1") return finish();
    if (is_one_of(code, {"B2", "B3", "B4"})) return metadata(code[1]);
    if (code == "B6") return close();
    if (code == "BJ") return status();
    return common(code);
  }

 private:
  const schema& sch() const { return s_.get_schema(); }
  bool uni() const { return s_.unicode(); }

  const class_def& find_class(const std::string& name) const {
    const class_def* c = sch().find_class(name);
    if (c == nullptr) throw server_error(err_unknown_class, "class " + name + " does not exist");
    return *c;
  }

  // ---- values ----

  // The type a collection method really takes or gives where its
  // declaration names the generic element type.
  static value_type effective(const object_ptr& self, const value_type& declared, bool is_element) {
    if (self && self->cls->is_collection() && is_element) return session::element_type(*self);
    return declared;
  }

  item decode(const element& e, const value_type& t, const std::string& what) {
    if (t.type == data_type::object) {
      if (e.is_null()) return {};
      const auto oid = element_int(e);
      if (!oid || *oid < INT32_MIN || *oid > INT32_MAX)
        throw server_error(err_argument, what + ": expected an object id");
      object_ptr o = s_.by_oid(static_cast<int>(*oid));
      const bool any = t.cls == "%RegisteredObject" || (t.cls == "%Library.AbstractStream" && o->cls->is_stream());
      if (!any && !same_name(o->cls->name, t.cls))
        throw server_error(err_argument, what + ": expected a " + t.cls + ", not a " + o->cls->name);
      return item{{}, std::move(o)};
    }
    auto d = from_element(e, t.type);
    if (!d) throw server_error(err_argument, what + ": not a " + type_name(t) + " value");
    return item{std::move(*d), nullptr};
  }

  void put(writer& w, const item& v, const value_type& t) {
    if (t.type != data_type::object) {
      put_datum(w, v.d, t.type, uni());
      return;
    }
    const object_ptr o = s_.resolve(v, t.cls);
    if (o)
      w.bytes(s_.reference_text(o));
    else
      w.null();
  }

  // The value a property takes from an element.
  item decode_property(const property& p, const element& e) {
    switch (p.kind) {
      case prop_kind::calculated:
        throw server_error(err_read_only, "property " + p.name + " is calculated");
      case prop_kind::collection:
      case prop_kind::stream:
        return decode(e, {data_type::object, p.object_class()}, "property " + p.name);
      default:
        return decode(e, p.type, "property " + p.name);
    }
  }

  // ---- cache sections ----

  // Pending changes and deferred closes that head a cached session's
  // requests.
  void apply_flush() {
    const std::int64_t n = need_int(in_, "a change count");
    for (std::int64_t i = 0; i < n; ++i) {
      const int oid = need_int32(in_, "an object id");
      const int slot = need_int32(in_, "a slot");
      const int pos = need_int32(in_, "a position");
      need_int(in_, "an auxiliary number");
      const element e = need_element(in_, "a value");
      const object_ptr o = s_.by_oid(oid);
      const property* p = o->cls->by_slot(slot);
      if (p == nullptr || pos < 0)
        throw server_error(err_unknown_property, "class " + o->cls->name + " has no slot " + std::to_string(slot) +
                                                     " position " + std::to_string(pos));
      s_.set_property(o, *p, pos == 0 ? decode_property(*p, e) : list_element(o, *p, pos, e));
      s_.touch(o);
    }
    const std::int64_t m = need_int(in_, "a reference change count");
    for (std::int64_t i = 0; i < m; ++i) {
      const int oid = need_int32(in_, "an object id");
      const std::string name = need_text(in_, "a property name");
      const element e = need_element(in_, "a value");
      const object_ptr o = s_.by_oid(oid);
      const property* p = o->cls->find_property(name);
      if (p == nullptr) throw server_error(err_unknown_property, "class " + o->cls->name + " has no property " + name);
      s_.set_property(o, *p, decode_property(*p, e));
      s_.touch(o);
    }
    const std::int64_t k = need_int(in_, "a close count");
    for (std::int64_t i = 0; i < k; ++i) s_.close(need_int32(in_, "an object id"));
  }

  // A list property's value with element `pos` (from 1) replaced by `e`.
  item list_element(const object_ptr& o, const property& p, int pos, const element& e) {
    if (p.kind != prop_kind::data || p.type.type != data_type::list)
      throw server_error(err_argument, "property " + p.name + " is not a list: it has no element " + std::to_string(pos));
    const item current = s_.get_property(o, p);
    const auto* bytes = std::get_if<std::string>(&current.d);
    std::string changed;
    if (!set_list_element(bytes ? *bytes : std::string_view{}, static_cast<std::size_t>(pos), e, changed))
      throw server_error(err_too_long, "property " + p.name + ": element " + std::to_string(pos) +
                                           " cannot be set (the list is malformed or would be too long)");
    return item{std::move(changed), nullptr};
  }

  // The current values of the objects the request touched.
  std::string cache_section() {
    writer w;
    std::vector<std::pair<int, std::string>> objects;
    for (const object_ptr& o : s_.touched_) {
      if (o->oid == 0 || !o->cls->is_persistent()) continue;
      s_.refresh(*o);
      writer slots;
      std::int64_t count = 0;
      for (std::size_t i = 0; i < o->cls->props.size(); ++i) {
        const property& p = o->cls->props[i];
        if (p.slot < 0) continue;
        const item& v = o->values[i];
        if (p.kind == prop_kind::reference) {
          object_ptr target = v.obj;
          const auto* row = std::get_if<std::int64_t>(&v.d);
          if (!target && row != nullptr) {
            const auto it = s_.rows_.find({sch().find_class(p.type.cls), *row});
            if (it != s_.rows_.end()) target = it->second.lock();
          }
          if (!target || target->oid == 0) continue;
          slots.integer(p.slot).bytes(std::to_string(target->oid) + "@" + target->cls->name);
        } else {
          const std::string text = datum_text(v.d, p.type.type);
          const bool uni_text = uni() && p.type.type == data_type::string;
          // A value too long for one element is left out: the client asks
          // for it and gets the error.
          const bool maybe_long = text.size() > (uni_text ? max_elem_data / 2 : max_elem_data);
          if (maybe_long && !fits(uni_text ? utf8_to_utf16le(text) : text)) continue;
          slots.integer(p.slot).text(text, uni_text);
        }
        ++count;
      }
      writer entry;
      entry.integer(o->oid).integer(count).raw(slots.str());
      objects.emplace_back(o->oid, entry.str());
    }
    w.integer(static_cast<std::int64_t>(objects.size()));
    for (const auto& [oid, bytes] : objects) w.raw(bytes);
    return w.str();
  }

  // ---- requests ----

  std::string startup() {
    writer w;
    std::int64_t cache = 0;
    element version;
    const bool ok = in_.next(version) && in_.read_int(cache);
    const auto v = ok ? element_double(version) : std::nullopt;
    const bool accepted = v && std::fabs(*v - 2.08) < 1e-9;
    if (accepted) s_.cached_ = cache != 0;
    w.integer(accepted ? 1 : 0).real(2.08).integer(uni() ? 1 : 0).bytes("TORQA");
    return w.str();
  }

  std::string finish() {
    std::string first;
    try {
      if (s_.cached_) apply_flush();
    } catch (const server_error& e) {
      first = error_record(e);
    }
    while (!s_.open_.empty()) s_.close(s_.open_.begin()->first);
    connection& c = s_.conn();
    if (c.tx_level > 0) {
      c.tx_level = 0;
      try {
        c.store().exec("ROLLBACK");
      } catch (const server_error&) {
      }
    }
    writer w;
    if (first.empty()) w.null(); else w.raw(first);
    w.null();
    return w.str();
  }

  std::string metadata(char kind) {
    writer w;
    std::string name;
    if (!in_.read_text(name)) {
      w.raw(error_record(server_error(err_malformed, "malformed request: expected a class name")));
      return w.str();
    }
    w.null();
    const class_def* c = sch().find_class(name);
    if (c == nullptr) {
      w.bytes(session::status_bytes(err_unknown_class, "class " + name + " does not exist"));
      return w.str();
    }
    writer recs;
    if (kind == '2') {
      for (std::size_t i = 0; i < c->props.size(); ++i) {
        const property& p = c->props[i];
        const bool data = p.kind == prop_kind::data || p.kind == prop_kind::calculated;
        const value_type t = data || p.kind == prop_kind::reference ? p.type : value_type{data_type::object, p.object_class()};
        recs.bytes(type_name(t)).integer(type_code(t)).bytes(p.column).integer(data ? 1 : 0);
        recs.text(p.name, uni()).integer(p.slot).integer(0).integer(static_cast<std::int64_t>(i));
      }
    } else if (kind == '3') {
      for (const method& m : c->methods) {
        recs.integer(m.class_method ? 1 : 0).bytes(c->name).integer(type_code(m.result));
        recs.integer(m.result.type == data_type::object ? 0 : 1).integer(0).text(m.name, uni());
        recs.integer(static_cast<std::int64_t>(m.args.size()));
        for (const argument& a : m.args) {
          recs.bytes(type_name(a.type)).integer(type_code(a.type)).integer(0).integer(a.output ? 1 : 0);
          recs.text(a.name, uni()).integer(0).bytes("");
        }
      }
    } else {
      for (const query& q : c->queries)
        recs.text(q.name, uni()).text(q.sql_name, uni()).integer(static_cast<std::int64_t>(q.params.size()));
    }
    if (recs.size() == 0) {
      static const char* const kinds[] = {"properties", "methods", "queries"};
      w.bytes(session::status_bytes(err_unknown_property, "class " + c->name + " has no " + kinds[kind - '2']));
      return w.str();
    }
    w.null().raw(recs.str());
    return w.str();
  }

  std::string close() {
    writer w;
    int oid = 0;
    if (!in_.read_int32(oid)) {
      w.raw(error_record(server_error(err_malformed, "malformed request: expected an object id")));
    } else if (!s_.close(oid)) {
      writer info;
      info.integer(oid).integer(0);
      w.raw(error_record(server_error(err_close, "object id " + std::to_string(oid) + " is not open", info.str())));
    } else {
      w.null();
    }
    return w.str();
  }

  std::string status() {
    writer w;
    element st;
    if (!in_.next(st) || (st.type != t_text && st.type != t_uni)) {
      w.raw(error_record(server_error(err_malformed, "malformed request: expected a status"))).integer(-1).bytes("");
      return w.str();
    }
    std::int64_t code = 0;
    std::string msg;
    session::decode_status(st.data, code, msg);
    w.null().integer(code).text(msg, uni());
    return w.str();
  }

  std::string common(std::string_view code) {
    writer result;
    std::string err;
    try {
      if (!is_one_of(code, {"B7", "B8", "B9", "BB", "BG", "BH", "BI"}))
        throw server_error(err_unknown_request, "unknown request " + std::string(code));
      if (s_.cached_) apply_flush();
      if (code == "B7" || code == "B8") call(result, code == "B8");
      if (code == "B9") open_by_oid(result);
      if (code == "BG") open_by_id(result);
      if (code == "BB") transaction();
      if (code == "BH") get(result);
      if (code == "BI") set();
      if (result.size() > max_result) throw server_error(err_too_long, "result too long for one reply");
    } catch (const server_error& e) {
      result.clear();
      err = error_record(e);
    } catch (const std::exception& e) {
      result.clear();
      err = error_record(server_error(err_storage, e.what()));
    }
    writer w;
    w.bytes(result.str());
    if (err.empty()) w.null(); else w.raw(err);
    w.null();
    w.bytes(s_.output_.substr(0, max_result));
    if (s_.cached_) w.raw(cache_section());
    return w.str();
  }

  void call(writer& result, bool no_result) {
    const int oid = need_int32(in_, "an object id");
    const std::string cls = need_text(in_, "a class name");
    const std::string name = need_text(in_, "a method name");
    need_int(in_, "the result flag");
    const std::int64_t nargs = need_int(in_, "an argument count");
    if (nargs < 0 || nargs > max_args) throw server_error(err_malformed, "malformed request: bad argument count");
    std::vector<element> given(static_cast<std::size_t>(nargs));
    for (auto& e : given) e = need_element(in_, "an argument");
    const std::int64_t nout = need_int(in_, "an output count");
    if (nout < 0 || nout > nargs) throw server_error(err_malformed, "malformed request: bad output count");
    std::vector<int> outs(static_cast<std::size_t>(nout));
    for (int& p : outs) {
      p = need_int32(in_, "an output position");
      if (p < 1 || p > nargs) throw server_error(err_malformed, "malformed request: bad output position");
    }
    const std::int64_t nrefs = need_int(in_, "a reference count");
    if (nrefs < 0 || nrefs > nargs) throw server_error(err_malformed, "malformed request: bad reference count");
    for (std::int64_t i = 0; i < nrefs; ++i) need_int(in_, "a reference position");

    const class_def* c = &find_class(cls);
    object_ptr self;
    if (oid != -1) {
      self = s_.by_oid(oid);
      c = self->cls;
    }
    const method* m = c->find_method(name);
    if (m == nullptr) throw server_error(err_unknown_method, "class " + c->name + " has no method " + name);
    if (!m->class_method && !self) throw server_error(err_argument, "method " + name + " needs an object");
    if (m->class_method) self = nullptr;
    if (given.size() > m->args.size())
      throw server_error(err_argument, "method " + name + " takes " + std::to_string(m->args.size()) + " arguments");

    std::vector<item> args(m->args.size());
    std::vector<value_type> types(m->args.size());
    for (std::size_t i = 0; i < m->args.size(); ++i) {
      types[i] = effective(self, m->args[i].type, m->args[i].name == "element");
      if (i < given.size()) args[i] = decode(given[i], types[i], "argument " + std::to_string(i + 1) + " of " + name);
    }
    const item ret = s_.invoke(self, *c, *m, args);
    if (no_result)
      result.null();
    else
      put(result, ret, effective(self, m->result, returns_element(m->builtin)));
    for (const int p : outs) put(result, args[static_cast<std::size_t>(p - 1)], types[static_cast<std::size_t>(p - 1)]);
  }

  [[noreturn]] static void not_found() {
    writer info;
    info.integer(open_not_found);
    throw server_error(err_open, "not found", info.str());
  }

  void open_and_answer(writer& result, const class_def* c, std::int64_t row, int concurrency, std::int64_t timeout) {
    if (c == nullptr || !c->is_persistent() || row <= 0) not_found();
    const object_ptr o = s_.open(*c, row, concurrency, timeout);
    if (!o) not_found();
    result.bytes(s_.reference_text(o));
  }

  static std::int64_t row_number(std::string_view s) {
    std::int64_t row = 0;
    for (const char ch : s) {
      if (ch < '0' || ch > '9' || row > (INT64_MAX - 9) / 10) return 0;
      row = row * 10 + (ch - '0');
    }
    return row;
  }

  void open_by_oid(writer& result) {
    const element pid = need_element(in_, "a persistent id");
    const int opt1 = need_int32(in_, "a concurrency");
    const std::int64_t opt2 = need_int(in_, "a timeout");
    const std::string id = element_text(pid).value_or("");
    const std::size_t bar = id.rfind("||");
    if (bar == std::string::npos) not_found();
    open_and_answer(result, sch().find_class(id.substr(0, bar)), row_number(id.substr(bar + 2)), opt1, opt2);
  }

  void open_by_id(writer& result) {
    const std::string cls = need_text(in_, "a class name");
    const std::string id = need_text(in_, "an id");
    const int opt1 = need_int32(in_, "a concurrency");
    const std::int64_t opt2 = need_int(in_, "a timeout");
    const class_def* c = sch().find_class(cls);
    if (c == nullptr) throw server_error(err_unknown_class, "class " + cls + " does not exist");
    open_and_answer(result, c, row_number(id), opt1, opt2);
  }

  void transaction() {
    const std::int64_t flag = need_int(in_, "a transaction flag");
    connection& c = s_.conn();
    if (flag == 1) {
      if (c.tx_level == 0) c.store().exec("BEGIN");
      ++c.tx_level;
    } else if (flag == 2 || flag == 3) {
      if (c.tx_level == 0) throw server_error(err_transaction, "no transaction is open");
      if (flag == 3) {
        c.tx_level = 0;
        c.store().exec("ROLLBACK");
      } else if (--c.tx_level == 0) {
        c.store().exec("COMMIT");
      }
    } else {
      throw server_error(err_argument, "unknown transaction flag " + std::to_string(flag));
    }
  }

  const property& find_property(const object_ptr& o, const std::string& name) const {
    const property* p = o->cls->find_property(name);
    if (p == nullptr) throw server_error(err_unknown_property, "class " + o->cls->name + " has no property " + name);
    return *p;
  }

  void get(writer& result) {
    const object_ptr o = s_.by_oid(need_int32(in_, "an object id"));
    const property& p = find_property(o, need_text(in_, "a property name"));
    need_int(in_, "the reference flag");
    s_.touch(o);
    const item v = s_.get_property(o, p);
    if (p.kind == prop_kind::collection || p.kind == prop_kind::stream)
      result.bytes(s_.reference_text(v.obj));
    else
      put(result, v, p.type);
  }

  void set() {
    const object_ptr o = s_.by_oid(need_int32(in_, "an object id"));
    const property& p = find_property(o, need_text(in_, "a property name"));
    need_int(in_, "the reference flag");
    const element e = need_element(in_, "a value");
    s_.touch(o);
    s_.set_property(o, p, decode_property(p, e));
  }

  session& s_;
  reader in_;
};

std::string session::request(std::string_view code, std::string_view payload) {
  touched_.clear();
  output_.clear();
  return request_handler(*this, payload).run(code);
}

}  // namespace torqa::server
