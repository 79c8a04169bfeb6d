// Frames: the unit the daemon and the driver exchange over a stream socket.
//
//   length  4 bytes, unsigned, most significant first: the bytes after it
//   type    1 byte
//   body    length - 1 bytes
//
// A length of 0 (no type) or above max_frame_length is malformed: the
// receiver closes the connection rather than reading or allocating for it.
#pragma once

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

/// The frame of `type` and `body` (at most max_frame_length - 1 bytes).
std::string make_frame(std::uint8_t type, std::string_view body);

/// Unsigned integers most significant byte first, as frames and bodies
/// carry them. The getters read 4 bytes at p (the caller checks the limit).
void put_u32(std::string& out, std::uint32_t v);
std::uint32_t get_u32(const char* p);

}  // namespace torqa::net
