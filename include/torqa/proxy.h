// Typed proxies: the base of the classes `torqa generate` writes, one per
// server class.
//
// A generated class knows from the schema what Dyn_obj learns at run time:
// each property's cache slot, position and index, and whether it holds data
// or a reference. It passes them straight to the session, so no class
// metadata is fetched. Failures are thrown as Db_err.
#pragma once

#include <torqa/call.h>
#include <torqa/collections.h>
#include <torqa/datetime.h>
#include <torqa/list.h>
#include <torqa/session.h>
#include <torqa/text16.h>
#include <torqa/types.h>

#include <string_view>
#include <utility>

namespace torqa {

/// The base of a generated proxy class Self, which names its server class
/// in `static constexpr char16_t class_name[]`.
template <class Self>
class proxy : public Obj_t {
 public:
  /// Builds the proxy of an object the session has open under `oid`;
  /// d_ref<Self> calls it when it reads a reference. An object of another
  /// class than Self's (`cls`, as the server names it) is released again
  /// and throws Db_err -1000, so a d_ref<Self> never holds another class.
  static Self* make_proxy(Database* db, int oid, const unsigned short* cls) {
    auto* p = new Self;
    p->init_openref(db, oid);
    if (cls != nullptr && db_name::cmp(cls, name(Self::class_name)) != 0) {
      // Named before the close, which may reuse the scratch `cls` points into.
      const std::string what = "the object is a " + d_string(cls).mb_str() + ", not a " +
                               d_string(Self::class_name).mb_str();
      { const d_ref<Self> last(p); }  // closes the object, as any last reference does
      throw Db_err(-1000, what);
    }
    return p;
  }

  /// A new object ("%New"); it is stored by its first Save().
  static d_ref<Self> create(Database& db) {
    Db_err err;
    t_istream& reply = db.make_obj(name(Self::class_name), nullptr, &err);
    return first_ref(db, reply, err);
  }

  /// A stored object by its id text. `concurrency`: 0 no lock, 1 shared, 2
  /// exclusive; a lock another session holds is waited for up to `timeout`
  /// seconds. A failed open throws Err_open_obj.
  static d_ref<Self> open(Database& db, std::string_view id, int concurrency = 1, int timeout = 0) {
    const text16 units(id);
    Db_err err;
    t_istream& reply = db.openid_obj(name(Self::class_name), units.c_str(), concurrency, timeout, &err);
    return first_ref(db, reply, err);
  }

 protected:
  static const unsigned short* name(const char16_t* s) { return reinterpret_cast<const unsigned short*>(s); }

  template <class T>
  T get_property(int slot, int pos, db_ret_type rt, const char16_t* prop) {
    T value;
    value.get(db->get_property(oid, slot, pos, rt, name(prop)), db);
    return value;
  }
  void set_property(int slot, int pos, int index, db_ret_type rt, const char16_t* prop, const D_type& value) {
    db->set_property(oid, slot, pos, index, rt, name(prop), detail::slot_of(value));
  }

  template <class R, class... A>
  R call(const char16_t* method, db_ret_type rt, A&&... args) {
    return detail::call_method<R>(*db, oid, name(Self::class_name), name(method), rt, std::forward<A>(args)...);
  }
  template <class R, class... A>
  static R call_class(Database& db, const char16_t* method, db_ret_type rt, A&&... args) {
    return detail::call_method<R>(db, -1, name(Self::class_name), name(method), rt, std::forward<A>(args)...);
  }

 private:
  static d_ref<Self> first_ref(Database& db, t_istream& reply, const Db_err& err) {
    if (err.is_error()) {
      if (err.code == -9) throw Err_open_obj(err);
      throw err;
    }
    d_ref<Self> ref;
    ref.get(reply, &db);
    return ref;
  }
};

}  // namespace torqa
