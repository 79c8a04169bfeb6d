// Points the binding's driver loader at another library for one test.
#pragma once

#include "transport/driver.h"

#include <cstdlib>
#include <optional>
#include <string>

namespace torqa::test {

/// Sets TORQA_DRIVER to `path` (nullptr: unset) and forgets the loaded
/// driver; on destruction removes any installed table and restores both.
class driver_env {
 public:
  explicit driver_env(const char* path) {
    if (const char* value = std::getenv("TORQA_DRIVER")) saved_ = value;
    set(path);
  }
  ~driver_env() {
    torqa::detail::install_driver(nullptr);
    set(saved_ ? saved_->c_str() : nullptr);
  }
  driver_env(const driver_env&) = delete;
  driver_env& operator=(const driver_env&) = delete;

  /// Changes TORQA_DRIVER; the next use of the driver loads it again.
  static void set(const char* path) {
#ifdef _WIN32
    _putenv_s("TORQA_DRIVER", path ? path : "");  // empty removes it
#else
    if (path)
      setenv("TORQA_DRIVER", path, 1);
    else
      unsetenv("TORQA_DRIVER");
#endif
    torqa::detail::reset_driver_for_tests();
  }

 private:
  std::optional<std::string> saved_;
};

}  // namespace torqa::test
