// Typed method calls: arguments as value classes or plain C++ values
// (strings, integers, doubles, booleans, std::optional), output arguments
// marked with out(), the result read as the caller's type: a value class, a
// plain C++ value it converts to, or a d_ref. Generated proxies and
// Dyn_obj::call use them. Failures are thrown as Db_err.
#pragma once

#include <torqa/session.h>
#include <torqa/types.h>

#include <cstddef>
#include <functional>
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

template <class T>
inline constexpr bool is_out = false;
template <class T>
inline constexpr bool is_out<out_arg<T>> = true;

/// A method argument as a value class: value classes are passed as they
/// are, plain C++ values become the value class that holds them
/// (value_class_t, <torqa/types.h>).
template <class A>
auto hold(A&& a) {
  using B = std::remove_cvref_t<A>;
  if constexpr (std::is_base_of_v<D_type, B>) {
    return std::cref(a);
  } else if constexpr (is_out<B>) {
    return a;
  } else {
    using V = value_class_t<B>;
    static_assert(!std::is_void_v<V>, "no value class holds this argument type");
    return V(std::forward<A>(a));
  }
}

/// Reads a result as R: a value class or reference as it is, a plain C++
/// value through the value class that holds it (as<R>()).
template <class R>
R read_result(t_istream& is, Database* db) {
  value_class_t<R> v;
  v.get(is, db);
  if constexpr (std::is_base_of_v<D_type, R>) return v;
  else return v.template as<R>();
}

// Arguments are only written to the request (put is const); the array the
// session takes is not const because output arguments are read back into it.
inline D_type* slot_of(const D_type& v) { return const_cast<D_type*>(&v); }
template <class T>
D_type* slot_of(std::reference_wrapper<T> v) {
  return slot_of(v.get());
}
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
          R result = read_result<R>(reply, &db);
          for (int j = 0; j < k; ++j) slots[positions[j] - 1]->get(reply, &db);
          return result;
        }
      },
      held);
}

}  // namespace detail

}  // namespace torqa
