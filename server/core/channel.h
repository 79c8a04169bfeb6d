// A message channel: one session and the reply of its last request, served
// in chunks of at most the connection's chunk size.
#pragma once

#include "server/wire/reply_chunks.h"
#include "server/core/session.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace torqa::server {

class channel {
 public:
  /// `chunk`: the largest chunk, 1..32768 bytes.
  channel(connection& c, std::size_t chunk) : session_(c), reply_(chunk) {}

  /// Records the request code (two characters) of the next send.
  void begin(std::string_view code) { code_ = std::string(code.substr(0, 2)); }
  /// Takes a whole request (14 reserved bytes, then the payload) and makes
  /// its reply readable. False, with no reply, for fewer than 14 bytes.
  bool send(const char* message, std::size_t length);
  bool next_chunk(unsigned& length, bool& final) { return reply_.next_chunk(length, final); }
  bool read(std::size_t n, char* dest) { return reply_.read(n, dest); }

  session& get_session() { return session_; }

 private:
  session session_;
  std::string code_;
  reply_chunks reply_;
};

}  // namespace torqa::server
