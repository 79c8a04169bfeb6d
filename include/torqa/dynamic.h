// Late-bound objects: Dyn_obj reaches a server object through its class
// definition fetched at run time, reading and writing properties and calling
// methods by name. Applications hold a Dyn_obj through d_ref<Dyn_obj>, which
// shares the proxy and closes the object with the last reference.
//
// Names are zero-terminated 16-bit text.
//
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads.
#pragma once

#include <torqa/call.h>
#include <torqa/export.h>
#include <torqa/objects.h>
#include <torqa/session.h>
#include <torqa/text16.h>

#include <string>
#include <utility>

class d_seq_query;

class TORQA_API Dyn_obj : public Obj_t {
 public:
  // Obtaining objects. Each throws the server's error (Err_open_obj for a
  // failed open) and answers the first reference to a new or shared proxy.
  // `concurrency`: 0 no lock, 1 shared, 2 exclusive; a lock another session
  // holds is waited for up to `timeout` seconds (0: not at all).

  /// Opens an object by persistent id.
  static d_ref<Dyn_obj> open_oid(Database& db, const d_binary& oid, int concurrency = 1, int timeout = 0);
  /// Opens an object of class `cls` by its id text.
  static d_ref<Dyn_obj> open(Database& db, const unsigned short* cls, const unsigned short* id,
                             int concurrency = 1, int timeout = 0);
  /// Creates a new object of class `cls` ("%New"; the embedded server hands
  /// `arg` to the class's OnNew method when it has one).
  static d_ref<Dyn_obj> create(Database& db, const unsigned short* cls, const unsigned short* arg = nullptr);
  /// Builds the proxy for an object the session has open under `oid`.
  static Dyn_obj* make_proxy(Database* db, int oid, const unsigned short* cls);

  /// The object's class definition.
  const Class_def* get_class() const { return cls; }

  // Properties by name: Db_err -1 "property not found" for an unknown name.
  /// The reply stream positioned at the value; read it with the value's get.
  t_istream& get(const unsigned short* prop);
  /// Reads the property into `value`.
  void get(const unsigned short* prop, D_type& value);
  void set(const unsigned short* prop, D_type& value);
  /// An object-valued, collection or stream property as a typed reference.
  template <class T>
  d_ref<T> get_ref(const unsigned short* prop) {
    d_ref<T> r;
    r.get(get(prop), db);
    return r;
  }

  /// Calls a method by name; the answered stream reads the return value
  /// first. Output arguments hold their new values on return.
  t_istream& run_method_by_name(const unsigned short* name, D_type** args, int n);

  /// Prepares `query` to run the class's named query.
  void get_query(const unsigned short* name, d_seq_query& query) const;

  // The same with names as UTF-8 or UTF-16 text ("Sample.Person",
  // u"Sample.Person", std::string...), values as value classes or plain
  // C++ values, temporaries included. These report every failure by
  // throwing Db_err.

  static d_ref<Dyn_obj> open(Database& db, const torqa::text16& cls, const torqa::text16& id, int concurrency = 1,
                             int timeout = 0) {
    return open(db, cls.c_str(), id.c_str(), concurrency, timeout);
  }
  static d_ref<Dyn_obj> create(Database& db, const torqa::text16& cls) { return create(db, cls.c_str()); }
  void get_query(const torqa::text16& name, d_seq_query& query) const { get_query(name.c_str(), query); }
  /// The property as T: a value class, a d_ref, or a plain C++ value the
  /// value class converts to (`obj->get<std::optional<int>>("Age")`, see
  /// as<T>() in <torqa/types.h>).
  template <class T>
  T get(const torqa::text16& prop) {
    return torqa::detail::read_result<T>(get(prop.c_str()), db);
  }
  /// Sets the property to a value class or a plain value (`set("Age", 40)`).
  template <class V>
  void set(const torqa::text16& prop, V&& value) {
    auto held = torqa::detail::hold(std::forward<V>(value));
    set_property(this->prop(prop.c_str()), torqa::detail::slot_of(held));
  }
  /// Calls a method with typed arguments, output arguments marked with
  /// torqa::out(), and answers its result as R (void: dropped): a value
  /// class, a plain C++ value it converts to, or a reference. An output
  /// argument the method does not declare, or one it declares and the call
  /// does not mark, throws Db_err -1000 before anything is sent. An object
  /// result is read as the R asked for: d_ref<Dyn_obj>, or the d_ref of a
  /// generated proxy (`call<d_ref<Sample::Person>>("Partner")`), which
  /// throws Db_err -1000 when the server answers an object of another class
  /// (the class metadata does not say a result's class).
  template <class R = void, class... A>
  R call(const torqa::text16& method, A&&... args) {
    return call_typed<R>(db, cls, oid, method.c_str(), std::forward<A>(args)...);
  }
  /// Calls a class method of `cls` by name, as call() does
  /// (`Dyn_obj::call_class<bool>(db, "Sample.Person", "%ExistsId", id)`).
  template <class R = void, class... A>
  static R call_class(Database& db, const torqa::text16& cls, const torqa::text16& method, A&&... args) {
    return call_typed<R>(&db, db.get_classes().open(&db, cls.c_str()), -1, method.c_str(), std::forward<A>(args)...);
  }

 protected:
  Dyn_obj(Database* db, const Class_def* cls) : cls(cls) { this->db = db; }
  static t_istream& run_method(Database* db, const Class_def* cls, const Method_def& m, int oid, D_type** args,
                               int n);

  const Prop_def& prop(const unsigned short* name) const;
  /// run_method on method `name` of `cls` after checking that `output`
  /// marks exactly the arguments the method declares as output.
  static t_istream& run_marked(Database* db, const Class_def* cls, int oid, const unsigned short* name,
                               D_type** args, const bool* output, int n);
  template <class R, class... A>
  static R call_typed(Database* db, const Class_def* cls, int oid, const unsigned short* method, A&&... args) {
    auto held = std::make_tuple(torqa::detail::hold(std::forward<A>(args))...);
    return std::apply(
        [&](auto&... h) -> R {
          D_type* slots[sizeof...(A) + 1] = {torqa::detail::slot_of(h)..., nullptr};
          const bool output[sizeof...(A) + 1] = {torqa::detail::is_out<std::remove_cvref_t<decltype(h)>>..., false};
          t_istream& reply = run_marked(db, cls, oid, method, slots, output, static_cast<int>(sizeof...(A)));
          if constexpr (!std::is_void_v<R>) return torqa::detail::read_result<R>(reply, db);
        },
        held);
  }
  t_istream& get_property(const Prop_def& p);
  void set_property(const Prop_def& p, D_type* value);

  const Class_def* cls;

  friend TORQA_API t_istream& run_class_method(Database& db, const unsigned short* cls, const unsigned short* name,
                                               D_type** args, int n);
};

/// Calls a class method of `cls` by name (object id -1).
TORQA_API t_istream& run_class_method(Database& db, const unsigned short* cls, const unsigned short* name,
                                      D_type** args, int n);
