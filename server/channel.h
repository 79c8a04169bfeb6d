// A message channel: one session and the reply of its last request, served
// in chunks of at most the connection's chunk size.
#pragma once

#include "session.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace torqa::server {

class channel {
 public:
  /// `chunk`: the largest chunk, 1..32768 bytes.
  channel(connection& c, std::size_t chunk) : session_(c), chunk_(chunk) {}

  /// Records the request code (two characters) of the next send.
  void begin(std::string_view code) { code_ = std::string(code.substr(0, 2)); }
  /// Takes a whole request (14 reserved bytes, then the payload) and makes
  /// its reply readable. False, with no reply, for fewer than 14 bytes.
  bool send(const char* message, std::size_t length);
  /// Moves to the next chunk of the reply (the rest of the current one is
  /// dropped); false when no reply is pending or its final chunk was given.
  bool next_chunk(unsigned& length, bool& final);
  /// Copies the next n bytes of the current chunk; false when the chunk
  /// has fewer left.
  bool read(std::size_t n, char* dest);

  session& get_session() { return session_; }

 private:
  session session_;
  std::size_t chunk_;
  std::string code_;
  std::string reply_;
  std::size_t pos_ = 0;        // next byte to read
  std::size_t chunk_end_ = 0;  // end of the current chunk
  bool pending_ = false;       // a reply has chunks left to announce
};

}  // namespace torqa::server
