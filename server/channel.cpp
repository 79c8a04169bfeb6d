#include "channel.h"

#include <algorithm>
#include <cstring>

namespace torqa::server {

bool channel::send(const char* message, std::size_t length) {
  constexpr std::size_t reserved = 14;
  pending_ = false;
  if (message == nullptr || length < reserved) return false;
  reply_ = session_.request(code_, std::string_view(message + reserved, length - reserved));
  pos_ = chunk_end_ = 0;
  pending_ = true;
  return true;
}

bool channel::next_chunk(unsigned& length, bool& final) {
  if (!pending_) return false;
  pos_ = chunk_end_;
  const std::size_t n = std::min(chunk_, reply_.size() - pos_);
  chunk_end_ = pos_ + n;
  final = chunk_end_ == reply_.size();
  pending_ = !final;
  length = static_cast<unsigned>(n);
  return true;
}

bool channel::read(std::size_t n, char* dest) {
  if (n > chunk_end_ - pos_ || (n != 0 && dest == nullptr)) return false;
  if (n != 0) std::memcpy(dest, reply_.data() + pos_, n);
  pos_ += n;
  return true;
}

}  // namespace torqa::server
