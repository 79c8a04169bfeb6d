// The built-in methods: those of every persistent class (%New, %Save, %Id,
// %Oid, %DeleteId, %Delete, %OpenId, %ExistsId), of the collection classes
// and of the stream classes.
#include "server/core/session.h"

#include <algorithm>
#include <charconv>

namespace torqa::server {

namespace {

// Longest data one Read or ReadLine answers, in wire bytes, so that the
// result (data and length) fits the client's 32768-byte result buffer.
constexpr std::size_t max_read_bytes = 32000;

item value(datum d) { return item{std::move(d), nullptr}; }
item ok() { return {}; }
item failed(int code, const std::string& msg) { return value(session::status_bytes(code, msg)); }

// A positive row id from its decimal text; 0 when it is not one.
std::int64_t parse_row(const datum& d) {
  if (const auto* i = std::get_if<std::int64_t>(&d)) return *i > 0 ? *i : 0;
  const auto* s = std::get_if<std::string>(&d);
  if (s == nullptr) return 0;
  std::int64_t row = 0;
  const auto r = std::from_chars(s->data(), s->data() + s->size(), row);
  return r.ec == std::errc{} && r.ptr == s->data() + s->size() && row > 0 ? row : 0;
}

std::int64_t int_of(const item& v, std::int64_t fallback) {
  const auto* i = std::get_if<std::int64_t>(&v.d);
  return i ? *i : fallback;
}

std::string text_of(const item& v) {
  if (const auto* s = std::get_if<std::string>(&v.d)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&v.d)) return std::to_string(*i);
  return {};
}

bool same(const item& a, const item& b) {
  if (a.obj || b.obj) return a.obj == b.obj;
  return a.d == b.d;
}

// Bytes of stream data from `pos` that make at most `wanted` characters
// (bytes for binary streams) and at most max_read_bytes on the wire, never
// splitting a UTF-8 sequence; `chars` receives the character count.
std::size_t take(const std::string& data, std::size_t pos, std::int64_t wanted, bool binary, bool uni,
                 std::int64_t& chars) {
  const std::size_t avail = data.size() - pos;
  if (binary) {
    const std::size_t n = std::min<std::size_t>({avail, static_cast<std::size_t>(wanted), max_read_bytes});
    chars = static_cast<std::int64_t>(n);
    return n;
  }
  std::size_t n = 0, wire = 0;
  chars = 0;
  while (n < avail && chars < wanted) {
    const auto lead = static_cast<unsigned char>(data[pos + n]);
    std::size_t len = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    len = std::min(len, avail - n);
    const std::size_t w = uni ? (len == 4 ? 4 : 2) : len;
    if (wire + w > max_read_bytes) break;
    wire += w;
    n += len;
    ++chars;
  }
  return n;
}

}  // namespace

value_type session::element_type(const object& coll) {
  if (coll.prop != nullptr) return coll.prop->type;
  if (coll.cls->of_objects) return {data_type::object, "%RegisteredObject"};
  return {data_type::string, {}};
}

item session::builtin(const object_ptr& self, const class_def& c, const method& m, std::vector<item>& args) {
  if (c.is_collection() && m.builtin != builtin_method::new_) return collection_method(self, m, args);
  if (c.is_stream() && m.builtin != builtin_method::new_) return stream_method(self, m, args);
  storage& st = conn_.store();
  switch (m.builtin) {
    case builtin_method::new_:
      return item{{}, make_new(c, args.empty() ? item{} : args[0])};
    case builtin_method::save:
      return value(save(self));
    case builtin_method::id:
      return self->row == 0 ? item{} : value(std::to_string(self->row));
    case builtin_method::oid: {
      const std::string id = persistent_id(*self);
      return id.empty() ? item{} : value(id);
    }
    case builtin_method::delete_id:
    case builtin_method::delete_oid: {
      std::int64_t row = 0;
      const class_def* target = &c;
      if (m.builtin == builtin_method::delete_id) {
        row = parse_row(args[0].d);
      } else {
        const std::string id = text_of(args[0]);
        const std::size_t bar = id.rfind("||");
        target = bar == std::string::npos ? nullptr : get_schema().find_class(id.substr(0, bar));
        if (target != nullptr) row = parse_row(datum{id.substr(bar + 2)});
      }
      if (target == nullptr || !target->is_persistent() || row == 0) return failed(err_argument, "invalid id");
      if (!st.delete_row(*target, row)) return failed(err_open, "object not found");
      if (const object_ptr gone = rows_[{target, row}].lock()) gone->row = 0;
      rows_.erase({target, row});
      return ok();
    }
    case builtin_method::open_id: {
      const std::int64_t row = parse_row(args[0].d);
      return item{{}, row == 0 ? nullptr : open(c, row, static_cast<int>(int_of(args[1], 1)))};
    }
    case builtin_method::exists_id: {
      const std::int64_t row = parse_row(args[0].d);
      return value(std::int64_t{row != 0 && st.row_exists(c, row)});
    }
    default:
      throw server_error(err_unknown_method, "method " + m.name + " is not available on " + c.name);
  }
}

item session::collection_method(const object_ptr& self, const method& m, std::vector<item>& args) {
  object& o = *self;
  const bool array = o.cls->kind == class_kind::array_collection;
  const auto changed = [&] {
    mark_owner_dirty(o);
    return ok();
  };
  if (m.builtin == builtin_method::count)
    return value(static_cast<std::int64_t>(array ? o.array.size() : o.list.size()));
  if (m.builtin == builtin_method::clear) {
    o.list.clear();
    o.array.clear();
    return changed();
  }
  if (array) {
    const std::string key = m.args.empty() ? std::string() : text_of(args[m.args.size() - 1]);
    switch (m.builtin) {
      case builtin_method::get_at: {
        const auto it = o.array.find(key);
        return it == o.array.end() ? item{} : it->second;
      }
      case builtin_method::set_at:
        if (key.empty()) return failed(err_argument, "an array key is not empty");
        o.array[key] = args[0];
        return changed();
      case builtin_method::remove_at: {
        const auto it = o.array.find(key);
        if (it == o.array.end()) return {};
        item removed = std::move(it->second);
        o.array.erase(it);
        changed();
        return removed;
      }
      case builtin_method::get_next:
      case builtin_method::get_previous: {
        auto it = o.array.end();
        if (m.builtin == builtin_method::get_next) {
          it = key.empty() ? o.array.begin() : o.array.upper_bound(key);
        } else {
          auto lb = key.empty() ? o.array.end() : o.array.lower_bound(key);
          if (lb != o.array.begin()) it = std::prev(lb);
        }
        if (it == o.array.end()) {
          args[0] = {};
          return {};
        }
        args[0] = value(it->first);
        return it->second;
      }
      default:
        break;
    }
  } else {
    const auto n = static_cast<std::int64_t>(o.list.size());
    const std::int64_t key = m.args.empty() ? 0 : int_of(args[m.args.size() - 1], 0);
    switch (m.builtin) {
      case builtin_method::get_at:
        return key >= 1 && key <= n ? o.list[static_cast<std::size_t>(key - 1)] : item{};
      case builtin_method::set_at:
        if (key < 1 || key > n + 1) return failed(err_argument, "no element at position " + std::to_string(key));
        if (key == n + 1)
          o.list.push_back(args[0]);
        else
          o.list[static_cast<std::size_t>(key - 1)] = args[0];
        return changed();
      case builtin_method::insert_at:
        if (key < 1 || key > n + 1) return failed(err_argument, "no position " + std::to_string(key));
        o.list.insert(o.list.begin() + (key - 1), args[0]);
        return changed();
      case builtin_method::insert:
        o.list.push_back(args[0]);
        return changed();
      case builtin_method::remove_at: {
        if (key < 1 || key > n) return {};
        item removed = std::move(o.list[static_cast<std::size_t>(key - 1)]);
        o.list.erase(o.list.begin() + (key - 1));
        changed();
        return removed;
      }
      case builtin_method::remove: {
        const auto it = std::find_if(o.list.begin(), o.list.end(), [&](const item& e) { return same(e, args[0]); });
        if (it == o.list.end()) return failed(err_argument, "no such element");
        o.list.erase(it);
        return changed();
      }
      case builtin_method::get_next:
      case builtin_method::get_previous: {
        const bool next = m.builtin == builtin_method::get_next;
        const bool from_edge = is_null(args[0].d) || key == 0;
        const std::int64_t k = from_edge ? (next ? 1 : n) : key + (next ? 1 : -1);
        if (k < 1 || k > n) {
          args[0] = {};
          return {};
        }
        args[0] = value(k);
        return o.list[static_cast<std::size_t>(k - 1)];
      }
      default:
        break;
    }
  }
  throw server_error(err_unknown_method, "method " + m.name + " is not available on " + o.cls->name);
}

item session::stream_method(const object_ptr& self, const method& m, std::vector<item>& args) {
  object& s = *self;
  storage& st = conn_.store();
  const bool binary = s.cls->kind == class_kind::binary_stream;
  switch (m.builtin) {
    case builtin_method::read:
    case builtin_method::read_line: {
      const std::int64_t asked = int_of(args[0], 0);
      const std::int64_t wanted = asked > 0 ? asked : static_cast<std::int64_t>(max_read_bytes);
      // The bytes one answer may take, and one character more to show
      // whether a line that fits ends there: at most max_read_bytes wire
      // bytes (1.5 times as many UTF-8 bytes), at most 4 bytes a character.
      const std::size_t cap = static_cast<std::size_t>(
          std::min<std::int64_t>(wanted, max_read_bytes) * 4 + 4);
      std::string window;
      while (window.size() < cap) {
        const std::string piece = s.stream.read(st, s.pos + static_cast<std::int64_t>(window.size()),
                                                std::min(cap - window.size(), st.stream_chunk()));
        if (piece.empty()) break;
        window += piece;
        if (m.builtin == builtin_method::read_line && piece.find('\n') != std::string::npos) break;
      }
      if (window.empty()) {
        args[0] = value(std::int64_t{-1});
        return value(datum{});
      }
      std::int64_t chars = 0;
      if (m.builtin == builtin_method::read) {
        const std::size_t n = take(window, 0, wanted, binary, unicode(), chars);
        s.pos += static_cast<std::int64_t>(n);
        args[0] = value(chars);
        return value(window.substr(0, n));
      }
      const std::size_t nl = window.find('\n');
      const std::string line = window.substr(0, nl);
      const std::size_t n = take(line, 0, wanted, binary, unicode(), chars);
      s.pos += static_cast<std::int64_t>(n);
      std::string out = line.substr(0, n);
      if (n == line.size()) {
        if (nl != std::string::npos) ++s.pos;
        if (!out.empty() && out.back() == '\r') {
          out.pop_back();
          --chars;
        }
      }
      args[0] = value(chars);
      return value(std::move(out));
    }
    case builtin_method::write:
      if (const auto* d = std::get_if<std::string>(&args[0].d)) s.stream.append(st, *d);
      mark_owner_dirty(s);
      return ok();
    case builtin_method::rewind:
      s.pos = 0;
      return ok();
    case builtin_method::move_to_end:
      s.pos = s.stream.size();
      return ok();
    case builtin_method::clear:
      s.stream.clear();
      s.pos = 0;
      mark_owner_dirty(s);
      return ok();
    case builtin_method::copy_from: {
      const object_ptr& src = args[0].obj;
      if (!src || !src->cls->is_stream()) return failed(err_argument, "CopyFrom takes a stream");
      s.stream.copy_from(st, src->stream);
      s.pos = 0;
      mark_owner_dirty(s);
      return ok();
    }
    case builtin_method::size_get:
      return value(binary ? s.stream.size() : s.stream.length());
    default:
      throw server_error(err_unknown_method, "method " + m.name + " is not available on " + s.cls->name);
  }
}

}  // namespace torqa::server
