// Counts heap allocations, for the tests that check that a warm path
// allocates nothing. It replaces the global operator new: include it in one
// file per test executable, and only in builds without a sanitizer (which
// keeps operator new for itself).
#pragma once

#include <cstdlib>
#include <new>

namespace torqa::test {

inline std::size_t g_allocations = 0;
inline bool g_counting = false;

}  // namespace torqa::test

// Out of line: inlined into a caller, GCC would see the malloc behind a
// new and warn about the delete that frees it.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (torqa::test::g_counting) ++torqa::test::g_allocations;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace torqa::test {

/// True when the counter sees this executable's operator new (called
/// directly: a new-expression may be optimised away).
inline bool counter_works() {
  g_allocations = 0;
  g_counting = true;
  ::operator delete(::operator new(8));
  g_counting = false;
  return g_allocations == 1;
}

}  // namespace torqa::test
