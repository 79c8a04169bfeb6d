// Text conversions between the client's 8-bit (UTF-8) and 16-bit (UTF-16)
// forms and the server's 16-bit form, and the shared scratch buffers they use.
//
// conv_buf and copy_buf are scratch areas shared by every conversion, number
// parse and double format of the library on one thread: a result left in one
// of them is valid only until the next conversion on that thread.
//
// Threads: each thread has its own conv_buf and copy_buf, so conversions may
// run on several threads at once.
#pragma once

#include <torqa/export.h>

#if defined(_WIN32)
// A DLL cannot export a thread-local variable, so on Windows each name stands
// for a call that answers the calling thread's array (sizeof still works).
/// conv_buf and copy_buf of the calling thread.
TORQA_API char (&torqa_conv_buf())[32768];
TORQA_API char (&torqa_copy_buf())[32768];
#  define conv_buf (torqa_conv_buf())
#  define copy_buf (torqa_copy_buf())
#else
/// 32768-byte conversion scratch of the calling thread (also read as 16384
/// 16-bit units).
alignas(8) TORQA_API extern thread_local char conv_buf[32768];
/// 32768-byte copy scratch of the calling thread for received 16-bit text and
/// date texts.
alignas(8) TORQA_API extern thread_local char copy_buf[32768];
#endif
/// Both point at the same empty, zero-terminated 16-bit string.
TORQA_API extern const unsigned short* const empty_str;
TORQA_API extern const unsigned short* const empty_name;

/// 8-bit text of `len` bytes to client 16-bit text through the driver.
/// `*out` points into conv_buf; `*out_len` is the count of units (at most 16384).
TORQA_API void mb_to_uni(const char* src, unsigned short len, unsigned short** out, unsigned short* out_len);

/// Server 16-bit text of `len` bytes to client 16-bit text, in place: `*out` is
/// `src`, `*out_len` is len / 2 (an odd byte is dropped), and a zero unit is
/// written right after the last character, so `src` needs two spare bytes.
TORQA_API void torqa_uni_to_uni(const char* src, unsigned short len, const unsigned short** out,
                                unsigned short* out_len);

/// Client 16-bit text of `len` characters to server 16-bit text: `*out` is
/// `src` and `*out_len` is 2 x len bytes.
TORQA_API void uni_to_torqa_uni(const unsigned short* src, unsigned short len, const char** out,
                                unsigned short* out_len);
