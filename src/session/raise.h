// Throwing an error record as its proper class.
#pragma once

#include <torqa/errors.h>

namespace torqa::detail {

/// Throws `e` as Err_open_obj (code -9), Err_close_obj (code -7) or a
/// plain Db_err copy (any other code).
[[noreturn]] void raise(const Db_err& e);

}  // namespace torqa::detail
