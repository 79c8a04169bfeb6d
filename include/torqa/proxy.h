// Typed proxies: the base of the classes `torqa generate` writes, one per
// server class, and the typed method call both they and Dyn_obj use.
//
// A generated class knows from the schema what Dyn_obj learns at run time:
// each property's cache slot, position and index, and whether it holds data
// or a reference. It passes them straight to the session, so no class
// metadata is fetched. Failures are thrown as Db_err.
#pragma once

#include <torqa/collections.h>
#include <torqa/datetime.h>
#include <torqa/list.h>
#include <torqa/session.h>
#include <torqa/text16.h>
#include <torqa/types.h>

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace torqa {

/// An output argument: sent with its current value and replaced by the
/// value the method leaves in it (`obj->call<d_string>("Describe", "Dr ", out(n))`).
template <class T>
struct out_arg {
  T& value;
};
template <class T>
  requires std::is_base_of_v<D_type, T>
out_arg<T> out(T& value) {
  return {value};
}

namespace detail {

/// An integer as d_int (32 bits); Db_err -1000 when it does not fit.
template <class I>
d_int to_int(I v) {
  if (std::cmp_less(v, std::numeric_limits<int>::min()) || std::cmp_greater(v, std::numeric_limits<int>::max()))
    throw Db_err(-1000, "integer out of range");
  return d_int(static_cast<int>(v));
}

template <class T>
inline constexpr bool is_out = false;
template <class T>
inline constexpr bool is_out<out_arg<T>> = true;

/// A method argument as a value class: value classes are passed as they
/// are, plain C++ values become the value class that holds them.
template <class A>
auto hold(A&& a) {
  using B = std::remove_cvref_t<A>;
  if constexpr (std::is_base_of_v<D_type, B>) {
    return std::cref(a);
  } else if constexpr (is_out<B>) {
    return a;
  } else if constexpr (std::is_same_v<B, bool>) {
    return d_int(a ? 1 : 0);
  } else if constexpr (std::is_integral_v<B>) {
    return to_int(a);
  } else if constexpr (std::is_floating_point_v<B>) {
    return d_double(static_cast<double>(a));
  } else {
    static_assert(std::is_convertible_v<const B&, std::string_view>, "no value class holds this argument type");
    const std::string_view s(a);
    return d_string(s.data(), s.size());
  }
}

// Arguments are only written to the request (put is const); the array the
// session takes is not const because output arguments are read back into it.
inline D_type* slot_of(const D_type& v) { return const_cast<D_type*>(&v); }
template <class T>
D_type* slot_of(out_arg<T>& o) {
  return &o.value;
}

/// Calls method `name` of object `oid` (-1: a class method of `cls`) with
/// `args` and reads the result R (void: none) and the output arguments.
template <class R, class... A>
R call_method(Database& db, int oid, const unsigned short* cls, const unsigned short* name, db_ret_type rt,
              A&&... args) {
  auto held = std::make_tuple(hold(std::forward<A>(args))...);
  return std::apply(
      [&](auto&... h) -> R {
        constexpr std::size_t n = sizeof...(A);
        D_type* slots[n + 1] = {slot_of(h)..., nullptr};
        constexpr bool output[n + 1] = {is_out<std::remove_cvref_t<decltype(h)>>..., false};
        int positions[n + 1] = {};
        int k = 0;
        for (std::size_t i = 0; i < n; ++i)
          if (output[i]) positions[k++] = static_cast<int>(i) + 1;
        t_istream& reply = db.run_method(oid, cls, name, n ? slots : nullptr, static_cast<int>(n),
                                         k ? positions : nullptr, k, rt);
        // The reply holds the result, then the output arguments in order.
        if constexpr (std::is_void_v<R>) {
          if (k > 0) reply.skip();
          for (int j = 0; j < k; ++j) slots[positions[j] - 1]->get(reply, &db);
        } else {
          R result;
          result.get(reply, &db);
          for (int j = 0; j < k; ++j) slots[positions[j] - 1]->get(reply, &db);
          return result;
        }
      },
      held);
}

}  // namespace detail

/// The base of a generated proxy class Self, which names its server class
/// in `static constexpr char16_t class_name[]`.
template <class Self>
class proxy : public Obj_t {
 public:
  /// Builds the proxy of an object the session has open under `oid`;
  /// d_ref<Self> calls it when it reads a reference.
  static Self* make_proxy(Database* db, int oid, const unsigned short*) {
    auto* p = new Self;
    p->init_openref(db, oid);
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

  /// Plain C++ values as the value classes setters take.
  static d_string text(std::string_view s) { return d_string(s.data(), s.size()); }
  static d_binary bytes(std::string_view s) { return d_binary(s.data(), s.size()); }
  static d_int integer(long long v) { return detail::to_int(v); }

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
