// Salted challenge-response login (SCRAM-SHA-256, RFC 5802 and 7677, without
// channel binding). Neither the password nor anything that logs in in its
// place crosses the wire, and the server keeps only StoredKey and ServerKey,
// from which no proof can be made.
//
//   client → server  client-first   "n,,n=USER,r=CNONCE"
//   server → client  server-first   "r=CNONCE SNONCE,s=SALT64,i=ITERATIONS"
//   client → server  client-final   "c=biws,r=NONCE,p=PROOF64"
//   server → client  server-final   "v=SIGNATURE64"
//
// The server nonce is fresh for every login, so a recorded exchange does not
// log in again. For an unknown user the server answers with a salt derived
// from the name and a key of its own, so that both cases look and cost alike.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace torqa::server::scram {

using key = std::array<unsigned char, 32>;

/// What the server keeps for a user.
struct secret {
  std::string salt;  ///< raw bytes
  std::uint32_t iterations = 4096;
  key stored_key{}, server_key{};
};

/// Iteration counts a client accepts from a server (a bound on the work a
/// hostile server can ask for).
inline constexpr std::uint32_t min_iterations = 1, max_iterations = 1000000;
/// The iteration count of the keys the server makes.
inline constexpr std::uint32_t default_iterations = 4096;

/// PBKDF2-HMAC-SHA-256 of the password, then the two keys.
secret derive(std::string_view password, std::string_view salt, std::uint32_t iterations);
/// A secret as text, "SCRAM-SHA-256$ITER:SALT64$STORED64:SERVER64", and back.
std::string encode(const secret& s);
std::optional<secret> decode(std::string_view text);

/// A random nonce of printable characters without ','.
std::string make_nonce();

/// The client's side of one login.
class client {
 public:
  client(std::string user, std::string password, std::string nonce = make_nonce());
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  ~client();
  /// The client-first message.
  std::string first() const;
  /// The client-final message answering `server_first`; nothing, with a
  /// reason, when that is malformed, does not extend our nonce or asks for
  /// an iteration count out of bounds.
  std::optional<std::string> final(std::string_view server_first, std::string& why);
  /// Whether `server_final` proves the server knows our ServerKey.
  bool verify(std::string_view server_final) const;

 private:
  std::string user_, password_, nonce_, auth_message_;
  key server_key_{};
};

/// The server's side of one login.
class server {
 public:
  /// Reads a client-first message: user and client nonce. False when
  /// malformed (or asking for channel binding).
  static bool parse_first(std::string_view message, std::string& user, std::string& client_nonce);
  /// The secret answered for a user that does not exist, derived from the
  /// name and `mock_key` (random per server) so that it stays the same
  /// between attempts.
  static secret unknown_user(std::string_view user, const key& mock_key, std::uint32_t iterations);

  server(secret s, std::string_view client_first, std::string server_nonce = make_nonce());
  /// The server-first message.
  const std::string& first() const { return first_; }
  /// Checks a client-final message; on success the server-final message to
  /// send, otherwise nothing.
  std::optional<std::string> final(std::string_view client_final) const;

 private:
  secret secret_;
  std::string client_first_bare_, nonce_, first_;
};

}  // namespace torqa::server::scram
