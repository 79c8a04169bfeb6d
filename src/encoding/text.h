// Conversion of server 16-bit text of any length to 8-bit (UTF-8) text.
//
// The driver converts at most 65535 bytes per call and cuts its result at the
// capacity it is given; converting piece by piece straight into a
// std::string keeps text of any length whole. Uses no shared scratch.
#pragma once

#include <cstddef>
#include <string>

namespace torqa::detail {

/// Bytes of server 16-bit text converted per driver call: 8192 units, which
/// give at most 24576 UTF-8 bytes (3 per unit, 4 per surrogate pair).
constexpr std::size_t srv_piece_bytes = 16384;

/// Appends the UTF-8 form of the server 16-bit text [src, src + bytes) to
/// `out`. A surrogate pair is never split between driver calls.
/// With `more` set the text continues after `bytes` (it is being read in
/// parts): a trailing odd byte and a trailing high surrogate are left for the
/// next call. Otherwise an odd last byte is dropped.
/// Returns the number of bytes of `src` consumed.
std::size_t append_srv_as_mb(const char* src, std::size_t bytes, std::string& out, bool more = false);

}  // namespace torqa::detail
