// Decoding arbitrary bytes: every read of t_istream (in the list form and in
// both string forms), every value class's get and a list walk, over every
// prefix of valid and corrupted messages, over messages with flipped bytes
// and over oversized elements. Nothing may throw, every read loop must end
// and no result may break its contract. Inputs are exactly as long as their
// bytes, so the sanitizer build catches any read past them.
#include "encoding/decode_reads.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace torqa::test;

namespace {

// Valid messages: integers of every width, nulls in every header form,
// decimals, numbers as text, 16-bit text, long forms, nested records (a list,
// an error record, a status), and types no reader knows.
std::vector<std::string> valid_messages() {
  return {unhex("03 04 05 02 01 01 00 01 00 01 03 05 FF 04 05 FF FE 02 05 02 04 04 04 34 12 05 04 56 34 12 06 04 78 "
                "56 34 12 07 04 9A 78 56 34 12 08 04 BC 9A 78 56 34 12 09 04 DE BC 9A 78 56 34 12 0A 04 FF FF FF "
                "FF FF FF FF 7F 0A 05 00 00 00 00 00 00 00 80 06 05 00 00 00 80"),
          unhex("04 06 FF 19 04 07 FE 9C") + element("hello") + element("12abc") + element("2.5") + element(" -42"),
          element(units16(u"42"), 2) + element(units16(u"a\u00E9!"), 2) + element("", 2),
          element(std::string(254, 'x')) + element(units16(std::u16string(150, u'A')), 2),
          element(unhex("03 04 05 03 05 FF")) + element(unhex("03 05 F7 05 01 62 61 64 06 01 04 04 B1 16")) +
              element(unhex("03 01 30 00 03 05 F7 05 01 62 61 64")) + unhex("04 03 AA BB 03 7F 00 02 00 02 FF")};
}

// Corrupted messages, fed prefix by prefix like the valid ones.
const char* const corrupt_messages[] = {
    "10 04 05",                                     // length beyond the data
    "FF 01 61 62",                                  //
    "00 FF FF 01 61",                               // long form: 65534 bytes announced
    "00 00 00 02 61 00 62",                         // long form: 65535 bytes of 16-bit text
    "00 00 00 04 01 02",                            // integer with 65535 bytes announced
    "00 FF FF 06 FF 01",                            // decimal with 65534 bytes announced
    "03 00 05 03 08 05 03 80 05 03 FF 05 02 F0",    // type bytes out of range
    "02 06 02 07 03 06 FF 03 07 00",                // decimals without mantissa
    "0C 04 01 02 03 04 05 06 07 08 09 0A",          // integers longer than 8 bytes
    "0C 05 01 02 03 04 05 06 07 08 09 0A",          //
    "0D 06 FF 01 02 03 04 05 06 07 08 09 0A",       // decimal mantissa longer than 8 bytes
    "04 06 00 7F 0B 06 01 FF FF FF FF FF FF FF 7F", // smallest exponents
    "0B 07 FF 00 00 00 00 00 00 00 80",             // most negative mantissa
    "01 01 01 00",                                  // one-byte forms, then a cut header
    "00 00",                                        //
    "05 02 61 00 62 03 02 61",                      // 16-bit text with odd lengths
    "0A 02 3D D8 3D D8 00 DE 00 DE",                // unpaired surrogates
    "08 01 C3 28 E2 82 F0 9F",                      // broken 8-bit sequences
    "06 01 04 04 E8 03 0E 01 03 01 30 00 03 05",    // records and statuses cut short
    "05 01 01 03 04 05 01 31 03 01 01",             // statuses of odd shapes
    "15 01 39 39 39 39 2D 39 39 2D 39 39 20 39 39 3A 39 39 3A 39 39",  // timestamp 9999-99-99 99:99:99
};

// Whole messages too large to feed prefix by prefix: numbers as text longer
// than the scratch buffers, and the longest elements.
std::vector<std::string> large_messages() {
  return {unhex("00 41 9C 01") + std::string(40000, '9'), unhex("00 41 9C 01") + std::string(39998, '1') + ".5",
          unhex("00 41 9C 02") + repeat(std::string("7\0", 2), 20000),
          unhex("00 00 00 02") + repeat(unhex("3D D8 00 DE"), 16383) + unhex("3D D8 41"),
          unhex("00 00 00 01") + std::string(65535, '-')};
}

// Reads `bytes` with `read` until the input is used up, once more past its
// end, then discards the rest. Returns what went wrong, or nothing.
std::string drive(const std::string& bytes, int form, bool (*read)(t_istream&)) {
  try {
    input in(bytes);
    if (form != 0) in.is.use_str_fmt(form == 2);
    // A list read consumes at least one byte; a string-form read may not move.
    const std::size_t limit = form == 0 ? bytes.size() + 1 : 4;
    for (std::size_t reads = 0; !in.is.at_end() && reads < limit; ++reads)
      if (!read(in.is)) return "result breaks its contract";
    if (form == 0 && !in.is.at_end()) return "reads did not reach the end";
    if (!read(in.is)) return "result past the end breaks its contract";
    in.is.skip_rest();
    if (!in.is.at_end()) return "skip_rest left input";
  } catch (const Db_err& e) {
    return "threw Db_err " + std::to_string(e.code) + " " + e.msg;
  } catch (...) {
    return "threw";
  }
  return {};
}

// A list walk that throws nothing.
std::string walk(const std::string& bytes) {
  try {
    return walk_list(bytes);
  } catch (...) {
    return "list walk threw";
  }
}

// Feeds `bytes` to every operation in every form (list, 8-bit and 16-bit
// text), and to a list walk; collects what went wrong.
void feed(const std::string& bytes, const std::string& label, std::vector<std::string>& failures) {
  static const char* const forms[] = {"list", "text8", "text16"};
  for (int form = 0; form < 3; ++form)
    for (const auto& op : read_ops)
      if (std::string what = drive(bytes, form, op.read); !what.empty())
        failures.push_back(label + " " + forms[form] + " " + op.name + ": " + what);
  if (std::string what = walk(bytes); !what.empty()) failures.push_back(label + ": " + what);
}

std::string report(const std::vector<std::string>& failures) {
  std::string out = std::to_string(failures.size()) + " failures";
  for (std::size_t i = 0; i < failures.size() && i < 20; ++i) out += "\n  " + failures[i];
  return out;
}

}  // namespace

TEST(decode_robustness, every_prefix_of_valid_and_corrupt_messages_reads_safely) {
  std::vector<std::string> inputs = valid_messages();
  for (const char* c : corrupt_messages) inputs.push_back(unhex(c));
  std::vector<std::string> failures;
  for (std::size_t k = 0; k < inputs.size(); ++k)
    for (std::size_t n = 0; n <= inputs[k].size(); ++n)
      feed(inputs[k].substr(0, n), "input " + std::to_string(k) + " prefix " + std::to_string(n), failures);
  EXPECT_TRUE(failures.empty()) << report(failures);
}

TEST(decode_robustness, flipped_bytes_and_oversized_elements_read_safely) {
  std::vector<std::string> failures;
  const auto messages = valid_messages();
  for (std::size_t k = 0; k < messages.size(); ++k) {
    const std::string& bytes = messages[k];
    for (std::size_t pos = 0; pos < bytes.size(); ++pos)
      for (unsigned char mask : {0xFF, 0x80, 0x01}) {
        std::string flipped = bytes;
        flipped[pos] = static_cast<char>(flipped[pos] ^ mask);
        feed(flipped, "message " + std::to_string(k) + " byte " + std::to_string(pos) + " ^ " + std::to_string(mask),
             failures);
      }
  }
  const auto large = large_messages();
  for (std::size_t k = 0; k < large.size(); ++k) feed(large[k], "large " + std::to_string(k), failures);
  EXPECT_TRUE(failures.empty()) << report(failures);
}
