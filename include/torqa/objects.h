// Proxies and references.
//
// A proxy (a class derived from Obj_t) stands for one opened server object in
// one session. References (classes derived from abs_d_ref, such as d_ref<T>)
// are what the application copies: all references to one proxy share a
// heap-held count, and the last one deletes the proxy, which closes the
// object on the server when no other proxy holds it open. The session's
// Proxies_info registers live proxies per (object id, proxy type) so that a
// second reference to the same object shares the existing proxy, and counts
// how many proxies hold each id open. Proxies and references must be gone
// before their session.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads.
#pragma once

#include <torqa/export.h>
#include <torqa/types.h>

#include <map>
#include <string>
#include <typeinfo>
#include <utility>

class Database;

/// Base of every proxy.
class TORQA_API Obj_t {
 public:
  Obj_t() = default;
  Obj_t(const Obj_t&) = delete;
  Obj_t& operator=(const Obj_t&) = delete;
  /// Closes the proxy (see close()); a failed close is dropped.
  virtual ~Obj_t();

  Database* get_db() const { return db; }
  /// The session's object id; 0 when the proxy holds no object.
  int get_oid() const { return oid; }
  bool is_closed() const { return closed; }

 protected:
  /// Records the session and object id once the object has been opened or
  /// created; a non-zero id raises the object's open count.
  void init_openref(Database* db, int oid);
  /// Gives up the object id and the proxy's registration; the last proxy of
  /// an object closes it on the server (deferred with a property cache).
  /// A server error propagates and leaves the id in place.
  void close();

  Database* db = nullptr;
  int oid = 0;
  bool closed = true;

  friend class abs_d_ref;
};

/// Base of every reference.
class TORQA_API abs_d_ref : public D_type {
 public:
  /// The first reference to `proxy`: a new shared count of 1; a live proxy
  /// is registered in its session's Proxies_info.
  explicit abs_d_ref(Obj_t* proxy);
  /// Joins the references sharing `other`'s proxy.
  abs_d_ref(const abs_d_ref& other);
  /// The last reference closes and deletes the proxy; a failed server close
  /// is dropped here (use set_null() to see it).
  ~abs_d_ref() override;

  /// Drops the proxy (becomes the null reference). When this was the last
  /// reference, the proxy is closed and deleted; a failed server close is
  /// thrown after the proxy is gone.
  void set_null() override;
  /// Not supported on the abstract reference: Db_err -1
  /// "assertion failed in abs_d_type". Typed references override it.
  void get(t_istream& is, Database* db) override;
  /// Null: the null value; otherwise the object id as an integer.
  void put(t_ostream& os, Database* db) const override;

  /// False when a live proxy is held; otherwise marks the reference null.
  bool check_null();

  /// Parses a reference text "<id>@<class>" read from `is` into the object
  /// id and the class name (which points into shared scratch valid until the
  /// next call). An empty text gives 0 and a null class name; a text without
  /// '@' gives the id its characters spell and a null class name.
  static void get_oref_n_name(t_istream& is, int* oid, const unsigned short** cls);

 protected:
  /// Shares `other`'s proxy; the last reference to the old one releases it
  /// (as set_null()).
  abs_d_ref& operator=(const abs_d_ref& other);
  /// Shares a proxy registered in `db` for (oid, type); false when none is.
  bool join_registered(Database* db, int oid, const std::type_info& type);

  Obj_t* obj;
  int* ref_cnt;

 private:
  /// Closes and deletes a proxy whose last reference went, and its count.
  static void release(Obj_t* proxy, int* count);
};

/// Typed reference to a proxy class T. T provides
///   static T* make_proxy(Database* db, int oid, const unsigned short* cls);
/// which builds a proxy for an object the session already has open under
/// `oid` (calling init_openref). get() reads a reference text and shares a
/// registered proxy of type T for that id, or makes one.
template <class T>
class d_ref : public abs_d_ref {
 public:
  /// The null reference.
  d_ref() : abs_d_ref(nullptr) {}
  /// The first reference to a freshly built proxy.
  explicit d_ref(T* proxy) : abs_d_ref(proxy) {}
  d_ref(const d_ref& other) : abs_d_ref(other) {}
  d_ref& operator=(const d_ref& other) {
    abs_d_ref::operator=(other);
    return *this;
  }

  /// The proxy; null for a null reference.
  T* get_proxy() const { return null_ ? nullptr : static_cast<T*>(obj); }
  /// The proxy; throws Db_err -1000 "null reference" for a null reference.
  T* operator->() const { return checked(); }
  T& operator*() const { return *checked(); }

  void get(t_istream& is, Database* db) override {
    int id = 0;
    const unsigned short* cls = nullptr;
    get_oref_n_name(is, &id, &cls);
    if (id == 0 || cls == nullptr) {
      set_null();
      return;
    }
    if (join_registered(db, id, typeid(T))) return;
    d_ref fresh(T::make_proxy(db, id, cls));
    *this = fresh;
  }

 private:
  T* checked() const {
    if (null_ || obj == nullptr) throw_null_reference();
    return static_cast<T*>(obj);
  }
  [[noreturn]] static void throw_null_reference();
};

/// Throws Db_err -1000 "null reference" (out of line to keep headers light).
[[noreturn]] TORQA_API void torqa_throw_null_reference();

template <class T>
void d_ref<T>::throw_null_reference() {
  torqa_throw_null_reference();
}

/// The session's registry of live proxies and open counts.
class TORQA_API Proxies_info {
 public:
  /// The proxy of `type` registered for `oid` and its shared count.
  bool get_proxy_info(int oid, const std::type_info& type, Obj_t** proxy, int** ref_cnt);
  /// Registers a proxy; an existing entry for the same key is kept.
  void insert_proxy_info(int oid, const std::type_info& type, Obj_t* proxy, int* ref_cnt);
  void erase_proxy_info(int oid, const std::type_info& type);

  /// Raises the open count of `oid`; returns the count's address.
  int* inc_ref_cnt(int oid);
  /// Lowers it and returns the new count; Db_err -1 "assertion failed in
  /// dec_ref_cnt()" when the id is not open.
  int dec_ref_cnt(int oid);
  /// Number of proxies holding `oid` open (0 when none).
  int open_count(int oid) const;
  /// Number of registered proxies.
  std::size_t proxy_count() const { return proxies.size(); }

 private:
  std::map<std::pair<int, std::string>, std::pair<Obj_t*, int*>> proxies;
  std::map<int, int> open_cnts;
};
