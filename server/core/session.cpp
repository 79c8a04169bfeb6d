#include "server/core/session.h"

#include "server/methods/lua_engine.h"

#include <algorithm>
#include <charconv>
#include <set>

namespace torqa::server {

namespace {

std::size_t index_of(const class_def& c, const property& p) { return static_cast<std::size_t>(&p - c.props.data()); }

// The row id a reference item stands for (0 for null).
std::int64_t row_of(const item& v) {
  if (v.obj) return v.obj->row;
  if (const auto* r = std::get_if<std::int64_t>(&v.d)) return *r;
  return 0;
}

datum row_datum(const item& v) {
  const std::int64_t r = row_of(v);
  return r == 0 ? datum{} : datum{r};
}

}  // namespace

session::session(connection& c) : conn_(c) {}

session::~session() {
  // Objects refer to each other through shared pointers, so a cycle (an
  // object referring to itself, a list holding its owner) would outlive the
  // session: take every reference out of the objects the session reaches.
  std::vector<object_ptr> pending;
  for (const auto& [oid, o] : open_) pending.push_back(o);
  for (auto& [key, weak] : rows_) {
    if (const object_ptr o = weak.lock()) {
      release_lock(*o);
      pending.push_back(o);
    }
  }
  std::set<const object*> seen;
  while (!pending.empty()) {
    const object_ptr o = std::move(pending.back());
    pending.pop_back();
    if (!seen.insert(o.get()).second) continue;
    const auto take = [&](item& i) {
      if (i.obj) pending.push_back(std::move(i.obj));
    };
    for (item& i : o->values) take(i);
    for (item& i : o->list) take(i);
    for (auto& [key, i] : o->array) take(i);
  }
}

object_ptr session::create(const class_def& c) {
  // Not make_shared: the weak pointers of rows_ would keep the whole
  // object's memory, not just the count, until they are swept.
  object_ptr o(new object);
  o->cls = &c;
  if (c.is_persistent()) {
    o->values.resize(c.props.size());
    o->changed.assign(c.props.size(), true);
    o->dirty = true;
  }
  return o;
}

object_ptr session::make_new(const class_def& c, const item& init) {
  object_ptr o = create(c);
  const method* on_new = c.is_persistent() ? c.find_method("OnNew") : nullptr;
  if (on_new != nullptr && on_new->builtin == builtin_method::none) {
    std::vector<item> args{init};
    invoke(o, c, *on_new, args);
  }
  return o;
}

object_ptr session::open(const class_def& c, std::int64_t row, int concurrency, std::int64_t timeout) {
  if (!c.is_persistent() || row <= 0) return nullptr;
  object_ptr o = rows_[{&c, row}].lock();
  if (o) {
    refresh(*o);
  } else {
    // The version is taken before the row is read: a change in between
    // makes the next use reload.
    const row_versions& versions = conn_.ns().versions();
    const std::uint64_t epoch = versions.epoch();
    const std::uint64_t version = versions.version(row_versions::slot_of(c.table, row));
    std::vector<datum> values;
    if (!conn_.store().load_row(c, row, values)) {
      rows_.erase({&c, row});
      return nullptr;
    }
    o = create(c);
    o->row = row;
    o->dirty = false;
    o->changed.assign(c.props.size(), false);
    o->seen_epoch = epoch;
    o->version = version;
    for (std::size_t i = 0; i < values.size(); ++i) o->values[i].d = std::move(values[i]);
    remember(o);
  }
  const int wanted = std::min(concurrency, 2);
  if (wanted > o->lock) {
    const int detail = conn_.ns().locks().acquire({c.table, row}, this, wanted == 2, timeout);
    if (detail != 0) {
      writer info;
      info.integer(detail);
      throw server_error(err_open, detail == open_exclusive_conflict ? "object is locked" : "object is locked exclusively",
                         info.str());
    }
    o->lock = wanted;
  }
  return o;
}

object_ptr session::resolve(const item& ref, const std::string& cls) {
  if (ref.obj) return ref.obj;
  const auto* row = std::get_if<std::int64_t>(&ref.d);
  const class_def* c = get_schema().find_class(cls);
  if (row == nullptr || c == nullptr) return nullptr;
  return open(*c, *row, 0);
}

int session::hand_out(const object_ptr& o) {
  if (o->oid == 0) {
    o->oid = next_oid_++;
    open_[o->oid] = o;
  }
  touch(o);
  return o->oid;
}

object_ptr session::by_oid(int oid) const {
  const auto it = open_.find(oid);
  if (it == open_.end()) throw server_error(err_unknown_object, "object id " + std::to_string(oid) + " is not open");
  return it->second;
}

bool session::close(int oid) {
  const auto it = open_.find(oid);
  if (it == open_.end()) return false;
  const object_ptr o = it->second;
  open_.erase(it);
  o->oid = 0;
  release_lock(*o);
  std::erase(touched_, o);
  if (!o->dirty && o->row != 0) unlink(*o);
  return true;
}

void session::remember(const object_ptr& o) {
  rows_[{o->cls, o->row}] = o;
  if (rows_.size() < sweep_at_) return;
  std::erase_if(rows_, [](const auto& entry) { return entry.second.expired(); });
  sweep_at_ = std::max<std::size_t>(1024, 2 * rows_.size());
}

void session::unlink(object& o) {
  // What the object holds can be found again from its row: references to
  // stored objects become row ids, and collections and streams nobody
  // else holds are let go. So closed objects that refer to each other do
  // not keep each other.
  for (std::size_t i = 0; i < o.values.size(); ++i) {
    item& v = o.values[i];
    if (!v.obj) continue;
    const prop_kind kind = o.cls->props[i].kind;
    if (kind == prop_kind::reference && v.obj->row != 0 && !v.obj->dirty)
      v = item{datum{v.obj->row}, nullptr};
    else if ((kind == prop_kind::collection || kind == prop_kind::stream) && v.obj->oid == 0 && v.obj.use_count() == 1)
      v.obj = nullptr;
  }
}

void session::release_lock(object& o) {
  if (o.lock == 0) return;
  conn_.ns().locks().release({o.cls->table, o.row}, this);
  o.lock = 0;
}

void session::refresh(object& o) {
  if (o.row == 0 || o.dirty || !o.cls->is_persistent()) return;
  const row_versions& versions = conn_.ns().versions();
  const std::uint64_t epoch = versions.epoch();
  if (epoch == o.seen_epoch) return;
  o.seen_epoch = epoch;
  const std::uint64_t version = versions.version(row_versions::slot_of(o.cls->table, o.row));
  if (version == o.version) return;
  o.version = version;
  std::vector<datum> values;
  if (!conn_.store().load_row(*o.cls, o.row, values)) return;  // a deleted row leaves the object as it was
  for (std::size_t i = 0; i < values.size(); ++i) {
    const property& p = o.cls->props[i];
    item& v = o.values[i];
    if (!p.stored_in_row()) continue;
    // A reference still to the same row keeps the object it holds.
    if (p.kind == prop_kind::reference && v.obj && values[i] == datum{v.obj->row}) continue;
    v = item{std::move(values[i]), nullptr};
  }
}

void session::touch(const object_ptr& o) {
  if (o->oid != 0 && std::find(touched_.begin(), touched_.end(), o) == touched_.end()) touched_.push_back(o);
}

object_ptr session::bound_object(const object_ptr& o, std::size_t i) {
  item& slot = o->values[i];
  if (slot.obj) return slot.obj;
  const property& p = o->cls->props[i];
  const class_def* c = get_schema().find_class(p.object_class());
  object_ptr b = create(*c);
  b->owner = o;
  b->prop = &p;
  if (o->row != 0) {
    if (p.kind == prop_kind::stream) {
      b->stream.load(conn_.store(), *o->cls, p, o->row);
    } else {
      for (auto& [key, elem] : conn_.store().load_collection(p, o->row)) {
        if (!p.is_array)
          b->list.push_back(item{std::move(elem), nullptr});
        else if (const auto* k = std::get_if<std::string>(&key))  // rows with an empty key are not elements
          b->array[*k] = item{std::move(elem), nullptr};
      }
    }
  }
  slot.obj = b;
  return b;
}

void session::mark_owner_dirty(const object& o) {
  if (const object_ptr owner = o.owner.lock()) owner->dirty = true;
}

item session::get_property(const object_ptr& o, const property& p) {
  refresh(*o);
  const std::size_t i = index_of(*o->cls, p);
  switch (p.kind) {
    case prop_kind::data:
      return o->values[i];
    case prop_kind::reference: {
      item& v = o->values[i];
      if (!v.obj && !server::is_null(v.d)) {
        v.obj = resolve(v, p.type.cls);
        if (!v.obj) return {};  // the referenced row is gone
      }
      return v;
    }
    case prop_kind::collection:
    case prop_kind::stream:
      return item{{}, bound_object(o, i)};
    case prop_kind::calculated:
      if (!lua_) lua_ = std::make_unique<lua_engine>(*this);
      return lua_->calculate(*o->cls, p, o);
  }
  return {};
}

void session::set_property(const object_ptr& o, const property& p, item v) {
  refresh(*o);  // the other properties are saved with this change
  const std::size_t i = index_of(*o->cls, p);
  switch (p.kind) {
    case prop_kind::calculated:
      throw server_error(err_read_only, "property " + p.name + " is calculated");
    case prop_kind::data:
    case prop_kind::reference:
      o->values[i] = std::move(v);
      o->changed[i] = true;
      break;
    case prop_kind::collection:
    case prop_kind::stream: {
      const object_ptr target = bound_object(o, i);
      if (v.obj && v.obj->cls != target->cls)
        throw server_error(err_argument, "property " + p.name + " takes a " + target->cls->name);
      if (v.obj == target) return;
      target->list = v.obj ? v.obj->list : std::vector<item>{};
      target->array = v.obj ? v.obj->array : std::map<std::string, item>{};
      if (p.kind == prop_kind::stream && v.obj)
        target->stream.copy_from(conn_.store(), v.obj->stream);
      else if (p.kind == prop_kind::stream)
        target->stream.clear();
      target->pos = 0;
      break;
    }
  }
  o->dirty = true;
}

void session::collect_unsaved(const object_ptr& o, std::vector<object_ptr>& out) {
  if (std::find(out.begin(), out.end(), o) != out.end()) return;
  out.push_back(o);
  const auto follow = [&](const item& v) {
    if (v.obj && v.obj->cls->is_persistent() && (v.obj->row == 0 || v.obj->dirty)) collect_unsaved(v.obj, out);
  };
  for (std::size_t i = 0; i < o->cls->props.size(); ++i) {
    const property& p = o->cls->props[i];
    const item& v = o->values[i];
    if (p.kind == prop_kind::reference) follow(v);
    if (p.kind == prop_kind::collection && v.obj && p.type.type == data_type::object) {
      for (const auto& e : v.obj->list) follow(e);
      for (const auto& [k, e] : v.obj->array) follow(e);
    }
  }
}

void session::save_one(object& o, std::vector<std::pair<object_ptr, stored_stream>>& streams) {
  const class_def& c = *o.cls;
  storage& st = conn_.store();
  std::vector<datum> row(c.props.size());
  for (std::size_t i = 0; i < c.props.size(); ++i) {
    const property& p = c.props[i];
    const item& v = o.values[i];
    if (p.kind == prop_kind::data) row[i] = v.d;
    if (p.kind == prop_kind::reference) row[i] = row_datum(v);
  }
  // The row first: a row that is gone is written again before its streams.
  st.update_row(c, o.row, row, &o.changed);
  for (std::size_t i = 0; i < c.props.size(); ++i) {
    const property& p = c.props[i];
    const item& v = o.values[i];
    if (!v.obj) continue;
    // Only a changed stream is written: other edits leave it alone.
    if (p.kind == prop_kind::stream && v.obj->stream.changed())
      streams.emplace_back(v.obj, v.obj->stream.save(st, c, p, o.row));
    if (p.kind != prop_kind::collection) continue;
    const bool objects = p.type.type == data_type::object;
    std::vector<std::pair<datum, datum>> items;
    std::int64_t n = 0;
    for (const auto& e : v.obj->list) items.emplace_back(++n, objects ? row_datum(e) : e.d);
    for (const auto& [k, e] : v.obj->array) items.emplace_back(k, objects ? row_datum(e) : e.d);
    st.save_collection(p, o.row, items);
  }
}

std::string session::save(const object_ptr& o) {
  if (const object_ptr owner = o->owner.lock()) return save(owner);
  if (!o->cls->is_persistent()) return {};
  refresh(*o);
  std::vector<object_ptr> all;
  collect_unsaved(o, all);
  std::vector<object_ptr> inserted;
  std::vector<std::pair<object_ptr, stored_stream>> streams;
  storage& st = conn_.store();
  try {
    st.exec("SAVEPOINT torqa_save");
    for (const auto& x : all) {
      if (x->row != 0) continue;
      x->row = st.insert_row(*x->cls);
      inserted.push_back(x);
    }
    for (const auto& x : all) save_one(*x, streams);
    st.exec("RELEASE torqa_save");
    // Marked saved only now: a failed save leaves every change to retry.
    for (const auto& x : all) {
      x->changed.assign(x->cls->props.size(), false);
      x->dirty = false;
    }
  } catch (const server_error& e) {
    try {
      st.exec("ROLLBACK TO torqa_save; RELEASE torqa_save");
    } catch (const server_error&) {
    }
    for (const auto& x : inserted) x->row = 0;
    return status_bytes(e.code, e.msg);
  }
  for (const auto& [s, stored] : streams) s->stream.saved(stored);
  for (const auto& x : inserted) remember(x);
  return {};
}

item session::invoke(const object_ptr& self, const class_def& c, const method& m, std::vector<item>& args) {
  if (self) touch(self);
  if (m.builtin != builtin_method::none) return builtin(self, c, m, args);
  if (!lua_) lua_ = std::make_unique<lua_engine>(*this);
  return lua_->call(c, m, self, args);
}

std::string session::persistent_id(const object& o) {
  if (o.row == 0 || !o.cls->is_persistent()) return {};
  return o.cls->name + "||" + std::to_string(o.row);
}

std::string session::reference_text(const object_ptr& o) {
  return std::to_string(hand_out(o)) + "@" + o->cls->name;
}

std::string session::status_bytes(int code, const std::string& msg) {
  if (code == 0) return {};
  writer inner;
  inner.integer(code).text(msg, false);
  writer outer;
  outer.element(t_text, std::string("\x01\x00", 2) + inner.str());
  return outer.str();
}

void session::decode_status(std::string_view b, std::int64_t& code, std::string& msg) {
  code = 0;
  msg.clear();
  if (b.empty() || (b.size() == 1 && (b[0] == 1 || b[0] == '1'))) return;
  const std::size_t skip = (b[0] == 1 ? 1 : b[0] == 0 ? 4 : 2) + 2;
  if (b.size() < skip) {
    code = -1;
    msg = "malformed status";
    return;
  }
  reader r(b.substr(skip));
  if (!r.read_int(code)) code = -1;
  r.read_text(msg);
}

}  // namespace torqa::server
