// The client-side property cache.
//
// Cached values arrive in the cache sections of replies: per object, per slot,
// the data of the string element the server sent. Changes wait in per-key
// buffers (one group per object, slot and position; the latest value wins)
// and deferred closes in one buffer; `flush` writes all three groups at the
// head of the next request.
#include <torqa/cache.h>
#include <torqa/errors.h>
#include <torqa/session.h>

#include "encoding/element.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

using namespace torqa::detail;

// An integer of the cache section: its low 32 bits.
int read_int32(t_istream& is) {
  std::int64_t v = 0;
  bool null_flag = false;
  is.read_int(v, null_flag);
  return static_cast<int>(static_cast<std::uint32_t>(v));
}

// Copies already encoded elements into `os` as they stand.
void write_raw(t_ostream& os, const t_ostrstream& bytes) {
  const auto n = static_cast<std::streamsize>(bytes.size());
  if (n == 0) return;
  std::streambuf* sb = os.rdbuf();
  if (sb == nullptr || sb->sputn(bytes.data(), n) != n) os.setstate(std::ios_base::badbit);
}

// Where the list held in the element at p (of `size` bytes) continues from
// its inner element `pos` (1-based): offset and length, both within the
// outer element and within `size`. No such element, or an inner element
// running past the outer one, gives a length of 0.
std::pair<std::size_t, std::size_t> list_from(const unsigned char* p, std::size_t size, int pos) {
  elem_header outer;
  if (!decode_header(p, size, outer)) return {0, 0};
  const std::size_t end = std::min(outer.total(), size);
  std::size_t at = outer.header;
  for (int i = 1; i < pos && at < end; ++i) {
    const std::size_t len = element_length(p + at, end - at);
    if (len == 0) return {0, 0};
    at += len;
  }
  if (at >= end) return {0, 0};
  return {at, end - at};
}

}  // namespace

Cache::~Cache() = default;

Cache_ant::Cache_ant(Database* session) : Cache(session) {}

Cache_ant::~Cache_ant() = default;

bool Cache_ant::is_active() { return true; }

void Cache_ant::load(t_istream& is) {
  const int n = read_int32(is);
  for (int i = 0; i < n; ++i) {
    const int oid = read_int32(is);
    Obj_vals vals;
    read_obj_vals(is, vals);
    // A section cut short (an in-memory stream at its end) adds nothing more.
    if (is.fail()) return;
    objects[oid] = std::move(vals);
  }
}

void Cache_ant::read_obj_vals(t_istream& is, Obj_vals& vals) {
  const int m = read_int32(is);
  for (int i = 0; i < m && !is.fail(); ++i) {
    const int slot = read_int32(is);
    const auto [it, fresh] = vals.try_emplace(slot);
    if (!fresh) {
      is.skip();  // a repeated slot keeps its first value
      continue;
    }
    it->second.valid = true;
    it->second.value.get(is, nullptr);
  }
}

void Cache_ant::flush(t_ostream& os) {
  write_pending(os);
  sent();
}

void Cache_ant::write_pending(t_ostream& os) {
  os.put_int(static_cast<std::int64_t>(pending.size()));
  for (const auto& [key, change] : pending) {
    const auto [oid, slot, pos] = key;
    os << oid << slot << pos << change.aux;
    write_raw(os, change.buf);
  }
  os.put_int(static_cast<std::int64_t>(pending_refs.size()));
  for (const auto& [key, change] : pending_refs) {
    os << std::get<0>(key);
    change.name.put(os, nullptr);
    write_raw(os, change.buf);
  }
  os.put_int(static_cast<std::int64_t>(closes.size()));
  for (const int oid : closes) os << oid;
}

void Cache_ant::sent() {
  // The values of a changed object are stale once the server has the
  // change; a closed object's are of no further use (opening it again
  // brings fresh ones), and keeping them would grow with the session.
  for (const auto& entry : pending) drop(std::get<0>(entry.first));
  for (const auto& entry : pending_refs) drop(std::get<0>(entry.first));
  for (const int oid : closes) drop(oid);
  pending.clear();
  pending_refs.clear();
  closes.clear();
}

void Cache_ant::drop_all() { objects.clear(); }

void Cache_ant::drop(int oid) { objects.erase(oid); }

bool Cache_ant::get_property(int oid, int slot, int pos, bool is_obj, bool, t_istrstream* out) {
  if (slot == -1 || slot == -2) return false;
  if (const auto obj = objects.find(oid); obj != objects.end()) {
    const auto cached = obj->second.find(slot);
    if (cached != obj->second.end() && cached->second.valid) {
      place(obj->second, slot, pos, out);
      if (!is_obj) return true;
      // A reference is answered here only when this client has the object
      // open; otherwise the server is asked, and opens it with its answer.
      const int ref = read_int32(*out);
      place(obj->second, slot, pos, out);
      return db != nullptr && db->get_proxies().open_count(ref) > 0;
    }
  }
  // A pending reference holds only the object id its reference wrote, not the
  // reference text a reader needs, so that read goes to the server, which
  // receives the pending change first.
  if (is_obj) return false;
  const auto it = pending.find(Slot_key{oid, slot, pos});
  if (it == pending.end()) return false;
  // A copy: a later change of the same property rewrites its buffer without
  // a request, and the answer must stand until the next request.
  answer.assign(it->second.buf.data(), it->second.buf.size());
  out->reset(answer.data(), static_cast<int>(answer.size()));
  out->use_list_fmt();
  return true;
}

void Cache_ant::place(Obj_vals& vals, int slot, int pos, t_istrstream* out) {
  const auto it = vals.find(slot);
  if (it == vals.end()) throw Db_err(-1, "internal error in $zobjval");
  const d_string& value = it->second.value;
  // The stream only reads the bytes.
  char* const bytes = const_cast<char*>(value.data());
  if (pos <= 0) {
    out->reset(bytes, static_cast<int>(value.size()));
    out->use_str_fmt(value.kind() != 0);
    return;
  }
  const auto [at, len] = list_from(reinterpret_cast<const unsigned char*>(bytes), value.size(), pos);
  out->reset(bytes + at, static_cast<int>(len));
  out->use_list_fmt();
}

bool Cache_ant::set_property(int oid, int slot, int pos, int aux, bool is_obj, const unsigned short* name,
                             D_type* value) {
  if (slot == -1) throw Db_err(-1000, "cannot change a calculated property");
  if (slot == -2) return false;
  // Encoded first: a value that cannot be written leaves nothing recorded.
  encoded.reset();
  encoded.set_uni_srv(db != nullptr && db->is_uni_srv());
  value->put(encoded, nullptr);

  if (const auto obj = objects.find(oid); obj != objects.end()) {
    if (const auto cached = obj->second.find(slot); cached != obj->second.end()) cached->second.valid = false;
  }
  const Slot_key key{oid, slot, pos};
  t_ostrstream* buf;
  if (is_obj) {
    const auto [it, fresh] = pending_refs.try_emplace(key);
    if (fresh) it->second.name = name;
    buf = &it->second.buf;
  } else {
    const auto [it, fresh] = pending.try_emplace(key);
    if (fresh) it->second.aux = aux;
    buf = &it->second.buf;
  }
  buf->reset();
  write_raw(*buf, encoded);
  return true;
}

void Cache_ant::close_obj(int oid) { closes.push_back(oid); }
