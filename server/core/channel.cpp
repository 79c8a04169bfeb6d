#include "server/core/channel.h"

namespace torqa::server {

bool channel::send(const char* message, std::size_t length) {
  constexpr std::size_t reserved = 14;
  reply_.drop();
  if (message == nullptr || length < reserved) return false;
  reply_.set(session_.request(code_, std::string_view(message + reserved, length - reserved)));
  return true;
}

}  // namespace torqa::server
