// Proxies, the references that share them, and the session's registry of
// live proxies and open counts.
//
// A proxy is owned jointly by the references sharing one heap count; the last
// of them closes and deletes it. Closing a proxy also removes its own entry
// from the registry, so that no entry ever points at a proxy that gave up its
// id or was deleted.
#include <torqa/errors.h>
#include <torqa/objects.h>
#include <torqa/session.h>

#include <cstdint>
#include <memory>

// Obj_t

Obj_t::~Obj_t() {
  // A destructor cannot report a failed close; release() closes proxies
  // before deleting them, so errors reach callers of set_null and assignment.
  try {
    close();
  } catch (...) {
  }
}

void Obj_t::init_openref(Database* session, int id) {
  db = session;
  oid = id;
  if (id != 0) {
    closed = false;
    db->get_proxies().inc_ref_cnt(id);
  }
}

void Obj_t::close() {
  if (oid != 0) {
    Proxies_info& reg = db->get_proxies();
    Obj_t* registered = nullptr;
    int* count = nullptr;
    if (reg.get_proxy_info(oid, typeid(*this), &registered, &count) && registered == this)
      reg.erase_proxy_info(oid, typeid(*this));
    if (reg.dec_ref_cnt(oid) == 0) db->close_obj(oid);
  }
  oid = 0;
  closed = true;
}

// abs_d_ref

abs_d_ref::abs_d_ref(Obj_t* proxy) : obj(proxy), ref_cnt(new int(1)) {
  null_ = false;
  if (!check_null()) proxy->db->get_proxies().insert_proxy_info(proxy->oid, typeid(*proxy), proxy, ref_cnt);
}

abs_d_ref::abs_d_ref(const abs_d_ref& other) : D_type(other), obj(other.obj), ref_cnt(other.ref_cnt) {
  ++*ref_cnt;
}

abs_d_ref::~abs_d_ref() {
  if (--*ref_cnt != 0) return;
  try {
    release(obj, ref_cnt);
  } catch (...) {
    // The proxy and the count are gone; a failed server close is dropped.
  }
}

abs_d_ref& abs_d_ref::operator=(const abs_d_ref& other) {
  if (obj == other.obj) return *this;
  // Take the new proxy before giving up the old one: `other` may live inside
  // the proxy being released, and a failed close leaves this reference whole.
  Obj_t* const old_obj = obj;
  int* const old_cnt = ref_cnt;
  obj = other.obj;
  ref_cnt = other.ref_cnt;
  ++*ref_cnt;
  null_ = other.null_;
  if (--*old_cnt == 0) release(old_obj, old_cnt);
  return *this;
}

bool abs_d_ref::join_registered(Database* db, int oid, const std::type_info& type) {
  Obj_t* proxy = nullptr;
  int* count = nullptr;
  if (db == nullptr || !db->get_proxies().get_proxy_info(oid, type, &proxy, &count)) return false;
  if (proxy == obj) return true;
  Obj_t* const old_obj = obj;
  int* const old_cnt = ref_cnt;
  obj = proxy;
  ref_cnt = count;
  ++*ref_cnt;
  null_ = false;
  check_null();
  if (--*old_cnt == 0) release(old_obj, old_cnt);
  return true;
}

void abs_d_ref::release(Obj_t* proxy, int* count) {
  const std::unique_ptr<int> count_owner(count);
  const std::unique_ptr<Obj_t> proxy_owner(proxy);
  if (proxy == nullptr) return;
  try {
    proxy->close();
  } catch (...) {
    // Its open count is already gone: deleting it must not close it again.
    proxy->oid = 0;
    proxy->closed = true;
    throw;
  }
}

void abs_d_ref::set_null() {
  // A count of its own, as a new null reference has: a count shared by the
  // null references of every session would be written by several threads.
  *this = abs_d_ref(nullptr);
}

void abs_d_ref::get(t_istream&, Database*) { throw Db_err(-1, "assertion failed in abs_d_type"); }

void abs_d_ref::put(t_ostream& os, Database*) const {
  if (null_ || obj == nullptr) return os.put_null();
  os.put_int(obj->oid);
}

bool abs_d_ref::check_null() {
  if (obj != nullptr && !obj->closed) return false;
  D_type::set_null();
  return true;
}

void abs_d_ref::get_oref_n_name(t_istream& is, int* oid, const unsigned short** cls) {
  db_name& text = db_name::cmn;
  text.get(is, nullptr);
  const unsigned short* p = text.c_str();
  const std::size_t n = text.length();
  *oid = 0;
  if (n == 0) {
    *cls = nullptr;
    return;
  }
  // Digits are not checked; the id wraps like the server's 32-bit arithmetic.
  std::uint32_t id = 0;
  std::size_t i = 0;
  for (; i < n && p[i] != '@'; ++i) id = id * 10u + (p[i] - std::uint32_t{'0'});
  *oid = static_cast<int>(id);
  // A text without '@' names no class: the caller treats it as no reference.
  *cls = i < n ? p + i + 1 : nullptr;
}

void torqa_throw_null_reference() { throw Db_err(-1000, "null reference"); }

// Proxies_info

bool Proxies_info::get_proxy_info(int oid, const std::type_info& type, Obj_t** proxy, int** ref_cnt) {
  const auto it = proxies.find({oid, type.name()});
  if (it == proxies.end()) return false;
  *proxy = it->second.first;
  *ref_cnt = it->second.second;
  return true;
}

void Proxies_info::insert_proxy_info(int oid, const std::type_info& type, Obj_t* proxy, int* ref_cnt) {
  proxies.emplace(std::pair<int, std::string>{oid, type.name()}, std::pair<Obj_t*, int*>{proxy, ref_cnt});
}

void Proxies_info::erase_proxy_info(int oid, const std::type_info& type) { proxies.erase({oid, type.name()}); }

int* Proxies_info::inc_ref_cnt(int oid) { return &++open_cnts[oid]; }

int Proxies_info::dec_ref_cnt(int oid) {
  const auto it = open_cnts.find(oid);
  if (it == open_cnts.end()) throw Db_err(-1, "assertion failed in dec_ref_cnt()");
  const int left = --it->second;
  if (left <= 0) open_cnts.erase(it);
  return left;
}

int Proxies_info::open_count(int oid) const {
  const auto it = open_cnts.find(oid);
  return it == open_cnts.end() ? 0 : it->second;
}
