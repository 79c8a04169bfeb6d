// A property a fuzz target checks: when it does not hold, the run stops
// with a message, and libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace fuzz
