// Collection and stream properties. A d_collection or d_stream is a Dyn_obj
// opened on the server's collection or stream object; each operation is one
// server method call. Obtain one from its property:
//   d_ref<d_collection> c = obj->get_ref<d_collection>(u"Tags");
// Threads: a session, its proxies, references and queries belong to one
// thread at a time; separate sessions may run on separate threads.
#pragma once

#include <torqa/dynamic.h>
#include <torqa/export.h>
#include <torqa/names.h>

class TORQA_API d_collection : public Dyn_obj {
 public:
  static d_collection* make_proxy(Database* db, int oid, const unsigned short* cls);

  /// "SetAt"(a, b). Db_err -1 "assertion failed in collections" when b is null.
  void set(const D_type& a, const D_type& b);
  /// "InsertAt"(a, b). Same check as set.
  virtual void ins(const D_type& a, const D_type& b);
  /// "GetAt"(a): the reply positioned at the element; read it with its get.
  t_istream& get(const D_type& a);
  /// "RemoveAt"(a).
  void del(const D_type& a);

 protected:
  using Dyn_obj::Dyn_obj;
};

class TORQA_API d_stream : public Dyn_obj {
 public:
  static d_stream* make_proxy(Database* db, int oid, const unsigned short* cls);

  /// "Read"(len): up to `len` characters; `len` receives the amount read
  /// when the method declares it an output argument.
  void read(d_int& len, d_string& data);
  /// "ReadLine"(len).
  void readline(d_int& len, d_string& data);
  void read(d_int& len, d_binary& data);
  /// "Write"(data): at most 65535 bytes per call.
  void write(const d_string& data);
  void write(const d_binary& data);
  /// "CopyFrom"(source); answers this stream.
  d_stream& copy(const abs_d_ref& source);

  /// Scratch text for application code, one per thread.
  /// On Windows only the library itself can name it (a DLL cannot export
  /// a thread-local variable).
  static thread_local d_string temp;

 protected:
  using Dyn_obj::Dyn_obj;
};
