// A reply read back in chunks of at most a given size, as the driver's
// DrvNextChunk and DrvReadChunk give it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace torqa::server {

class reply_chunks {
 public:
  /// `chunk`: the largest chunk, 1..32768 bytes.
  explicit reply_chunks(std::size_t chunk) : chunk_(chunk) {}

  /// Makes `reply` the one read next.
  void set(std::string reply) {
    reply_ = std::move(reply);
    pos_ = chunk_end_ = 0;
    pending_ = true;
  }
  /// Drops the reply: nothing is pending.
  void drop() { pending_ = false; }
  /// Moves to the next chunk of the reply (the rest of the current one is
  /// dropped); false when no reply is pending or its final chunk was given.
  bool next_chunk(unsigned& length, bool& final) {
    if (!pending_) return false;
    pos_ = chunk_end_;
    const std::size_t n = std::min(chunk_, reply_.size() - pos_);
    chunk_end_ = pos_ + n;
    final = chunk_end_ == reply_.size();
    pending_ = !final;
    length = static_cast<unsigned>(n);
    return true;
  }
  /// Copies the next n bytes of the current chunk; false when the chunk
  /// has fewer left.
  bool read(std::size_t n, char* dest) {
    if (n > chunk_end_ - pos_ || (n != 0 && dest == nullptr)) return false;
    if (n != 0) std::memcpy(dest, reply_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::size_t chunk_;
  std::string reply_;
  std::size_t pos_ = 0;        // next byte to read
  std::size_t chunk_end_ = 0;  // end of the current chunk
  bool pending_ = false;       // a reply has chunks left to announce
};

}  // namespace torqa::server
