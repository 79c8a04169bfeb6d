#include "session/raise.h"

namespace torqa::detail {

void raise(const Db_err& e) {
  switch (e.code) {
    case -9: throw Err_open_obj(e);
    case -7: throw Err_close_obj(e);
    default: throw Db_err(e);
  }
}

}  // namespace torqa::detail
