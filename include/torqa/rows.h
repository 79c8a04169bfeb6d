// SQL queries as a C++ programmer reads them: the statement as UTF-8 or
// UTF-16 text, the parameters bound in one call, and the rows in a range-for
// with each column read by number or by name as the type asked for,
// std::optional for a column that may be null:
//
//   torqa::query q(db, "SELECT Name, Age FROM Sample_Person WHERE Age > ?");
//   for (auto& row : q.execute(30).rows())
//     std::cout << row.get<std::string>("Name") << ' ' << row.get<std::optional<int>>(2).value_or(0);
//
// A torqa::query is a d_seq_query; everything it adds reports failure by
// throwing Db_err.
#pragma once

#include <torqa/datetime.h>
#include <torqa/query.h>
#include <torqa/text16.h>
#include <torqa/types.h>

#include <cstddef>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace torqa {

class query : public d_seq_query {
 public:
  /// Prepares SQL text; a statement the driver refuses throws its
  /// diagnostic (last_err()).
  query(Database& db, const text16& sql) : d_seq_query(db) {
    prepare(sql.c_str(), SQL_NTS);
    throw_if_failed();
  }
  /// Prepares the named query of a server class (`query(db,
  /// "Sample.Person", "ByName")`); a failure is thrown likewise.
  query(Database& db, const text16& cls, const text16& name) : d_seq_query(db) {
    prepare(cls.c_str(), name.c_str());
    throw_if_failed();
  }

  /// Sets every parameter, in order, and runs the statement. A parameter is
  /// a value class, an integer, a double, text (UTF-8 or UTF-16),
  /// std::nullopt or a std::optional of these. A count other than
  /// param_count() throws Db_err -1000 and runs nothing. Without parameters
  /// this is d_seq_query::execute(), which answers nothing: call rows()
  /// after it.
  template <class... P>
  query& execute(P&&... params) {
    if (static_cast<int>(sizeof...(P)) != param_count())
      throw Db_err(-1000, "the statement takes " + std::to_string(param_count()) + " parameters, not " +
                              std::to_string(sizeof...(P)));
    int i = 0;
    (bind(++i, std::forward<P>(params)), ...);
    d_seq_query::execute();
    throw_if_failed();
    return *this;
  }
  using d_seq_query::execute;

  /// The number of the column called `name` (case as the driver wrote it,
  /// compared without case for ASCII letters); Db_err -1000 when none is.
  int column_number(std::string_view name) const {
    const text16 wanted(name);
    const std::u16string_view w = wanted.view();
    for (int i = 1; i <= column_count(); ++i) {
      const column& c = column_info(i);
      const std::size_t n = static_cast<std::size_t>(c.name_len);
      if (c.name_len < 0 || n > std::size(c.name) || n != w.size()) continue;
      bool same = true;
      for (std::size_t k = 0; k < n && same; ++k) same = lower(c.name[k]) == lower(w[k]);
      if (same) return i;
    }
    throw Db_err(-1000, "no column " + std::string(name));
  }

  /// The current row.
  class row {
   public:
    explicit row(query* q) : q_(q) {}
    /// Column `i` (1 to column_count()) as T: a value class, or what the
    /// value classes convert to with as<T>() (<torqa/types.h>): an
    /// arithmetic type, std::string (UTF-8), std::u16string, or a
    /// std::optional of one of them. A null column read as anything but
    /// std::optional or a value class, or a value T does not hold exactly,
    /// throws Db_err -1000.
    template <class T>
    T get(int i) const {
      auto v = q_->read<T>(i);
      if constexpr (std::is_base_of_v<D_type, T>) {
        return v;
      } else {
        if (!detail::is_optional<T> && v.is_null()) throw Db_err(-1000, "column " + std::to_string(i) + " is null");
        return v.template as<T>();
      }
    }
    template <class T>
    T get(std::string_view column) const {
      return get<T>(q_->column_number(column));
    }

   private:
    query* q_;
  };

  /// Walks the rows of the last execute; ending the walk closes the result.
  class iterator {
   public:
    using value_type = row;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    explicit iterator(query* q) : q_(q), row_(q) {
      q_->throw_if_failed();  // an execute that failed has no rows to walk
      if (q_->column_count() == 0) q_ = nullptr;  // a statement without a result
      else advance();
    }
    row& operator*() { return row_; }
    iterator& operator++() {
      advance();
      return *this;
    }
    void operator++(int) { advance(); }
    bool operator==(std::default_sentinel_t) const { return q_ == nullptr; }

   private:
    void advance() {
      if (q_->fetch()) return;
      query* q = std::exchange(q_, nullptr);
      q->close();
      if (q->failed()) throw q->last_err();
    }
    query* q_ = nullptr;
    row row_{nullptr};
  };
  struct row_range {
    query* q;
    iterator begin() const { return iterator(q); }
    std::default_sentinel_t end() const { return {}; }
  };
  row_range rows() { return {this}; }

  /// Throws the driver's diagnostic when the last prepare, execute or
  /// fetch failed.
  void throw_if_failed() const {
    if (failed()) throw last_err();
  }

 private:
  static char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

  template <class T>
  detail::value_class_t<T> read(int i) {
    if (i < 1 || i > column_count()) throw Db_err(-1000, "no column " + std::to_string(i));
    detail::value_class_t<T> v;
    next_col = i;
    if constexpr (std::is_same_v<decltype(v), d_string>) get_data(&v, str_auto);
    else get_data(&v);
    return v;
  }

  template <class P>
  void bind(int i, P&& p) {
    using B = std::remove_cvref_t<P>;
    if constexpr (std::is_same_v<B, std::nullopt_t>) {
      set_par(i);
    } else if constexpr (detail::is_optional<B>) {
      if (p) bind(i, *p);
      else set_par(i);
    } else if constexpr (std::is_base_of_v<D_type, B>) {
      set_par(i, p);
    } else {
      if constexpr (std::is_integral_v<B> && !std::is_same_v<B, bool>)
        if (!detail::fits<int>(p)) throw Db_err(-1000, "parameter " + std::to_string(i) + " is out of range");
      using V = detail::value_class_t<B>;
      static_assert(!std::is_void_v<V>, "no value class holds this parameter type");
      set_par(i, V(p));
    }
  }
};

}  // namespace torqa
