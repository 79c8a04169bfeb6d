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

#include <torqa/export.h>
#include <torqa/objects.h>
#include <torqa/session.h>

#include <string>

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

 protected:
  Dyn_obj(Database* db, const Class_def* cls) : cls(cls) { this->db = db; }
  static t_istream& run_method(Database* db, const Class_def* cls, const Method_def& m, int oid, D_type** args,
                               int n);

  const Prop_def& prop(const unsigned short* name) const;
  t_istream& get_property(const Prop_def& p);
  void set_property(const Prop_def& p, D_type* value);

  const Class_def* cls;

  friend TORQA_API t_istream& run_class_method(Database& db, const unsigned short* cls, const unsigned short* name,
                                               D_type** args, int n);
};

/// Calls a class method of `cls` by name (object id -1).
TORQA_API t_istream& run_class_method(Database& db, const unsigned short* cls, const unsigned short* name,
                                      D_type** args, int n);
