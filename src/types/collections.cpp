// Collection and stream properties: each operation calls one server method
// of the collection or stream object through its class definition.
#include <torqa/collections.h>

#include <memory>

namespace {

// The arguments go out through D_type* as every method call takes them; the
// server methods called here declare none of them as output arguments, so
// the values are only read.
D_type* arg(const D_type& v) { return const_cast<D_type*>(&v); }

}  // namespace

// d_collection

d_collection* d_collection::make_proxy(Database* db, int oid, const unsigned short* cls) {
  std::unique_ptr<d_collection> p(new d_collection(db, db->get_classes().open(db, cls)));
  p->init_openref(db, oid);
  return p.release();
}

void d_collection::set(const D_type& a, const D_type& b) {
  if (b.is_null()) throw Db_err(-1, "assertion failed in collections");
  D_type* args[] = {arg(a), arg(b)};
  d_status{run_method_by_name(m_SetAt, args, 2)};
}

void d_collection::ins(const D_type& a, const D_type& b) {
  if (b.is_null()) throw Db_err(-1, "assertion failed in collections");
  D_type* args[] = {arg(a), arg(b)};
  d_status{run_method_by_name(m_InsertAt, args, 2)};
}

t_istream& d_collection::get(const D_type& a) {
  D_type* args[] = {arg(a)};
  return run_method_by_name(m_GetAt, args, 1);
}

void d_collection::del(const D_type& a) {
  D_type* args[] = {arg(a)};
  run_method_by_name(m_RemoveAt, args, 1);
}

// d_stream

thread_local d_string d_stream::temp;

d_stream* d_stream::make_proxy(Database* db, int oid, const unsigned short* cls) {
  std::unique_ptr<d_stream> p(new d_stream(db, db->get_classes().open(db, cls)));
  p->init_openref(db, oid);
  return p.release();
}

void d_stream::read(d_int& len, d_string& data) {
  D_type* args[] = {&len};
  data = d_string(run_method_by_name(m_Read, args, 1));
}

void d_stream::readline(d_int& len, d_string& data) {
  D_type* args[] = {&len};
  data = d_string(run_method_by_name(m_ReadLine, args, 1));
}

void d_stream::read(d_int& len, d_binary& data) {
  D_type* args[] = {&len};
  t_istream& reply = run_method_by_name(m_Read, args, 1);
  d_binary bytes;
  bytes.get(reply, db);
  data = bytes;
}

void d_stream::write(const d_string& data) {
  D_type* args[] = {arg(data)};
  d_status{run_method_by_name(m_Write, args, 1)};
}

void d_stream::write(const d_binary& data) {
  D_type* args[] = {arg(data)};
  d_status{run_method_by_name(m_Write, args, 1)};
}

d_stream& d_stream::copy(const abs_d_ref& source) {
  D_type* args[] = {arg(source)};
  d_status{run_method_by_name(m_CopyFrom, args, 1)};
  return *this;
}
