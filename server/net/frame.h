// Frames: the unit the daemon and the driver exchange over a stream socket.
//
//   length  4 bytes, unsigned, most significant first: the bytes after it
//   type    1 byte
//   body    length - 1 bytes
//
// A length of 0 (no type) or above max_frame_length is malformed: the
// receiver closes the connection rather than reading or allocating for it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace torqa::net {

/// Largest length field accepted: a type byte and 16 MiB of body.
inline constexpr std::uint32_t max_frame_length = (16u << 20) + 1;
inline constexpr std::size_t frame_header = 5;

struct frame {
  std::uint8_t type = 0;
  std::string_view body;  ///< inside the bytes given to parse_frame
};

enum class parse_result { complete, incomplete, malformed };

/// Reads one frame from the start of [p, p + n). complete: `out` and
/// `used` (header and body) are set. incomplete: more bytes are needed
/// (`used` is then the whole frame's size when the header is in, else 0).
/// malformed: a length of 0 or above max_frame_length.
parse_result parse_frame(const char* p, std::size_t n, frame& out, std::size_t& used);

/// The header of a frame of `type` whose body has `size` bytes; throws
/// std::length_error for a body of max_frame_length bytes or more.
std::array<char, frame_header> frame_head(std::uint8_t type, std::size_t size);
/// The frame of `type` and `body` (at most max_frame_length - 1 bytes).
std::string make_frame(std::uint8_t type, std::string_view body);

/// Unsigned integers most significant byte first, as frames and bodies
/// carry them. The getters read 4 bytes at p (the caller checks the limit).
void put_u32(std::string& out, std::uint32_t v);
void put_u64(std::string& out, std::uint64_t v);
std::uint32_t get_u32(const char* p);
/// A string in a body: its length as put_u32, then its bytes.
void put_str(std::string& out, std::string_view s);

/// Reads a frame body front to back; every getter answers false, taking
/// nothing, when the body has too few bytes left.
class body_reader {
 public:
  explicit body_reader(std::string_view body) : rest_(body) {}
  bool u8(std::uint8_t& v);
  bool u32(std::uint32_t& v);
  bool u64(std::uint64_t& v);
  bool str(std::string_view& s);
  bool bytes(std::size_t n, std::string_view& s);
  std::string_view rest() const { return rest_; }
  bool at_end() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

/// A login start body: version, namespace and client-first message; false
/// when the body does not hold exactly these.
bool read_login_start(std::string_view body, std::uint32_t& version, std::string_view& name,
                      std::string_view& client_first);
/// A body of exactly one string (login proof, challenge, welcome).
bool read_one_str(std::string_view body, std::string_view& s);

/// The frame types. Requests from the client are upper case, the daemon's
/// answers lower case; see server/PROTOCOL.md.
struct frame_type {
  static constexpr std::uint8_t login_start = 'L';    ///< version, namespace, client-first
  static constexpr std::uint8_t login_proof = 'P';    ///< client-final
  static constexpr std::uint8_t open_channel = 'O';   ///< (nothing)
  static constexpr std::uint8_t close_channel = 'X';  ///< channel
  static constexpr std::uint8_t message = 'M';  ///< channel, code (2 bytes), message (14 reserved bytes, payload)
  static constexpr std::uint8_t challenge = 'c';       ///< server-first
  static constexpr std::uint8_t welcome = 'w';         ///< server-final
  static constexpr std::uint8_t channel_opened = 'o';  ///< channel
  static constexpr std::uint8_t channel_closed = 'x';  ///< (nothing)
  static constexpr std::uint8_t reply = 'r';           ///< the reply's bytes
  static constexpr std::uint8_t failure = 'e';         ///< code (signed), message
  // SQL statements (server/net/sql_frames.h).
  static constexpr std::uint8_t prepare = 'Q';      ///< text
  static constexpr std::uint8_t execute = 'E';      ///< statement, parameters
  static constexpr std::uint8_t fetch = 'F';        ///< statement
  static constexpr std::uint8_t close_sql = 'C';    ///< statement
  static constexpr std::uint8_t free_sql = 'D';     ///< statement
  static constexpr std::uint8_t query_info = 'I';   ///< statement, class, query
  static constexpr std::uint8_t transaction = 'T';  ///< operation
  static constexpr std::uint8_t catalog = 'K';      ///< with columns
  static constexpr std::uint8_t sql_info = 'N';     ///< (nothing)
  static constexpr std::uint8_t described = 'd';    ///< statement, form, columns, parameters
  static constexpr std::uint8_t executed = 'y';     ///< changes, the first batch of rows
  static constexpr std::uint8_t rows = 'b';         ///< a batch of rows
  static constexpr std::uint8_t done = 'k';         ///< (nothing)
  static constexpr std::uint8_t info_reply = 'i';   ///< the query information reply
  static constexpr std::uint8_t transaction_state = 't';  ///< state
  static constexpr std::uint8_t tables = 'g';       ///< tables and their columns
  static constexpr std::uint8_t sql_facts = 'n';    ///< whether text is 16-bit
};

/// The protocol version a login starts with.
inline constexpr std::uint32_t protocol_version = 1;

}  // namespace torqa::net
