// Decoding arbitrary bytes: every read of t_istream, in the list form and in
// both string forms, and every value class's get, over every prefix of valid
// messages, over corrupted messages and over messages with flipped bytes.
// Nothing may throw, every read loop must end, and valid messages must decode
// to their values. Input buffers are exactly as long as the bytes, so the
// sanitizer build catches any read past them.
#include <torqa/datetime.h>
#include <torqa/errors.h>
#include <torqa/list.h>
#include <torqa/streams.h>
#include <torqa/types.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Bytes from hex text such as "03 04 05".
std::string hex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return out;
}

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// Start values that show whether a read left its target unchanged.
constexpr std::int64_t kept_int = 0x5A5A;
constexpr double kept_double = 1234.5;

// One element and what each read gives for it.
struct element {
  std::string bytes;
  std::int64_t i;             // read_int
  bool i_null;
  std::optional<double> d;    // read_double; nullopt: value not specified
  bool d_null;
  std::string str;            // read_str
  bool uni;
  std::string mb;             // read_mb_str
};

element number(const char* h, std::int64_t i, double d, std::string str) {
  return {hex(h), i, false, d, false, str, false, str};
}

element null_value(std::string bytes) { return {std::move(bytes), 0, true, 0.0, true, "", false, ""}; }

element unknown_type(const char* h) { return {hex(h), kept_int, true, kept_double, true, "", false, ""}; }

// 8-bit text; `d` nullopt means it does not read as a double.
element text8(std::string text, std::int64_t i, std::optional<double> d) {
  std::string bytes = text.size() < 254 ? std::string{static_cast<char>(text.size() + 2), 1}
                                        : std::string{0, static_cast<char>((text.size() + 1) & 0xFF),
                                                      static_cast<char>((text.size() + 1) >> 8), 1};
  return {bytes + text, i, false, d, !d, text, false, text};
}

// Server 16-bit text of ASCII or Latin-1 characters.
element text16(std::u16string_view text, std::int64_t i, std::optional<double> d, std::string mb) {
  std::string raw;
  for (char16_t c : text) {
    raw.push_back(static_cast<char>(c & 0xFF));
    raw.push_back(static_cast<char>(c >> 8));
  }
  std::string bytes = raw.size() < 254 ? std::string{static_cast<char>(raw.size() + 2), 2}
                                       : std::string{0, static_cast<char>((raw.size() + 1) & 0xFF),
                                                     static_cast<char>((raw.size() + 1) >> 8), 2};
  return {bytes + raw, i, false, d, !d, raw, true, std::move(mb)};
}

using message = std::vector<element>;

std::string bytes_of(const message& m) {
  std::string out;
  for (const auto& e : m) out += e.bytes;
  return out;
}

const std::vector<message>& valid_messages() {
  static const std::vector<message> all = {
      // Integers of every width, nulls in every header form.
      {number("03 04 05", 5, 5.0, "5"), null_value(hex("02 01")), null_value(hex("01")),
       null_value(hex("00 01 00 01")), number("03 05 FF", -1, -1.0, "-1"),
       number("04 05 FF FE", -257, -257.0, "-257"), number("02 05", -1, -1.0, "-1"), number("02 04", 0, 0.0, "0"),
       number("04 04 34 12", 0x1234, 0x1234, "4660"), number("05 04 56 34 12", 0x123456, 0x123456, "1193046"),
       number("06 04 78 56 34 12", 0x12345678, 0x12345678, "305419896"),
       number("07 04 9A 78 56 34 12", 0x123456789A, 0x123456789A, "78187493530"),
       number("08 04 BC 9A 78 56 34 12", 0x123456789ABC, 0x123456789ABC, "20015998343868"),
       number("09 04 DE BC 9A 78 56 34 12", 0x123456789ABCDE, 0x123456789ABCDE, "5124095576030430"),
       number("0A 04 FF FF FF FF FF FF FF 7F", std::numeric_limits<std::int64_t>::max(),
              static_cast<double>(std::numeric_limits<std::int64_t>::max()), "9223372036854775807"),
       number("0A 05 00 00 00 00 00 00 00 80", std::numeric_limits<std::int64_t>::min(),
              static_cast<double>(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"),
       number("06 05 00 00 00 80", -2147483648LL, -2147483648.0, "-2147483648")},
      // Decimals and numbers sent as 8-bit text.
      {number("04 06 FF 19", 2, 2.5, "2.500000000000000"), number("04 07 FE 9C", -1, -1.0, "-1.000000000000000"),
       text8("hello", 0, std::nullopt), text8("12abc", 12, 12.0), text8("2.5", 2, 2.5), text8(" -42", -42, -42.0)},
      // 16-bit text.
      {text16(u"42", 42, 42.0, "42"), text16(u"a\u00E9!", 0, std::nullopt, "a\xC3\xA9!"),
       text16(u"", 0, std::nullopt, "")},
      // Long-form headers.
      {text8(std::string(254, 'x'), 0, std::nullopt), text16(std::u16string(150, u'A'), 0, std::nullopt,
                                                              std::string(150, 'A'))},
      // A nested list, an error record, a status, and types no reader knows.
      {text8(hex("03 04 05 03 05 FF"), 0, std::nullopt),
       text8(hex("03 05 F7 05 01 62 61 64 06 01 04 04 B1 16"), 0, std::nullopt),
       text8(hex("03 01 30 00 03 05 F7 05 01 62 61 64"), 0, std::nullopt), unknown_type("04 03 AA BB"),
       unknown_type("03 7F 00"), unknown_type("02 00"), unknown_type("02 FF")},
  };
  return all;
}

// Corrupted messages, fed prefix by prefix like the valid ones.
const std::vector<std::string>& corrupt_messages() {
  static const std::vector<std::string> all = {
      hex("10 04 05"),                                     // length beyond the data
      hex("FF 01 61 62"),                                  //
      hex("00 FF FF 01 61"),                               // long form: 65534 bytes announced
      hex("00 00 00 02 61 00 62"),                         // long form: 65535 bytes of 16-bit text
      hex("00 00 00 04 01 02"),                            // integer with 65535 bytes announced
      hex("00 FF FF 06 FF 01"),                            // decimal with 65534 bytes announced
      hex("03 00 05 03 08 05 03 80 05 03 FF 05 02 F0"),    // type bytes out of range
      hex("02 06 02 07 03 06 FF 03 07 00"),                // decimals without mantissa
      hex("0C 04 01 02 03 04 05 06 07 08 09 0A"),          // integers longer than 8 bytes
      hex("0C 05 01 02 03 04 05 06 07 08 09 0A"),          //
      hex("0D 06 FF 01 02 03 04 05 06 07 08 09 0A"),       // decimal mantissa longer than 8 bytes
      hex("04 06 00 7F 0B 06 01 FF FF FF FF FF FF FF 7F"), // smallest exponents
      hex("0B 07 FF 00 00 00 00 00 00 00 80"),             // most negative mantissa
      hex("01 01 01 00"),                                  // one-byte forms, then a cut header
      hex("00 00"),                                        //
      hex("05 02 61 00 62 03 02 61"),                      // 16-bit text with odd lengths
      hex("0A 02 3D D8 3D D8 00 DE 00 DE"),                // unpaired surrogates
      hex("08 01 C3 28 E2 82 F0 9F"),                      // broken 8-bit sequences
      hex("06 01 04 04 E8 03 0E 01 03 01 30 00 03 05"),    // records and statuses cut short
      hex("05 01 01 03 04 05 01 31 03 01 01"),             // statuses of odd shapes
  };
  return all;
}

// Whole messages too large to feed prefix by prefix: numbers as text longer
// than the scratch buffers, and the longest elements.
std::vector<std::string> large_messages() {
  std::vector<std::string> all;
  all.push_back(hex("00 41 9C 01") + std::string(40000, '9'));  // 8-bit digits
  all.push_back(hex("00 41 9C 01") + std::string(39998, '1') + ".5");
  all.push_back(hex("00 41 9C 02") + repeat(std::string("7\0", 2), 20000));  // 16-bit digits
  all.push_back(hex("00 00 00 02") + repeat(hex("3D D8 00 DE"), 16383) + hex("3D D8 41"));
  all.push_back(hex("00 00 00 01") + std::string(65535, '-'));
  return all;
}

// One read operation applied to a stream; false when its result breaks its
// own contract (a length beyond the capacity, a broken value).
struct read_op {
  const char* name;
  std::function<bool(t_istream&)> read;
};

bool bytes_read(t_istream& is, unsigned short cap) {
  static std::vector<char> big(65535);
  std::vector<char> small(cap <= 16 ? cap : 0);
  char* buf = cap <= 16 ? small.data() : big.data();
  bool uni = true;
  unsigned short len = 0xFFFF;
  is.read_bytes(uni, buf, cap, len);
  return len <= cap;
}

template <class T>
std::function<bool(t_istream&)> value_get() {
  return [](t_istream& is) {
    T v;
    v.get(is, nullptr);
    return true;
  };
}

const std::vector<read_op>& read_ops() {
  static const std::vector<read_op> all = {
      {"read_int",
       [](t_istream& is) {
         std::int64_t v = 0;
         bool null = false;
         is.read_int(v, null);
         return true;
       }},
      {"read_double",
       [](t_istream& is) {
         double v = 0;
         bool null = false;
         is.read_double(v, null);
         return true;
       }},
      {"read_bytes(3)", [](t_istream& is) { return bytes_read(is, 3); }},
      {"read_bytes(0)", [](t_istream& is) { return bytes_read(is, 0); }},
      {"read_bytes(65535)", [](t_istream& is) { return bytes_read(is, 65535); }},
      {"read_str",
       [](t_istream& is) {
         bool uni = false;
         std::string s;
         is.read_str(uni, s);
         return true;
       }},
      {"read_mb_str",
       [](t_istream& is) {
         std::string s;
         is.read_mb_str(s);
         return true;
       }},
      {"skip",
       [](t_istream& is) {
         is.skip();
         return true;
       }},
      {"d_binary", value_get<d_binary>()},
      {"d_string",
       [](t_istream& is) {
         d_string s;
         s.get(is, nullptr);
         s.mb_str();
         return s.kind() == 0 || s.kind() == 1;
       }},
      {"d_int", value_get<d_int>()},
      {"d_double", value_get<d_double>()},
      {"d_status",
       [](t_istream& is) {
         d_status s;
         s.get(is, nullptr);
         return s.get_msg().kind() == 0 || s.get_msg().kind() == 1;
       }},
      {"db_name",
       [](t_istream& is) {
         db_name n;
         n.get(is, nullptr);
         return n.c_str()[n.length()] == 0;
       }},
      {"Db_err",
       [](t_istream& is) {
         Db_err e;
         e.get(is);
         Err_open_obj open(e);
         Err_close_obj close(e);
         return true;
       }},
      {"d_date", value_get<d_date>()},
      {"d_time", value_get<d_time>()},
      {"d_timestamp", value_get<d_timestamp>()},
  };
  return all;
}

enum class form { list, text8, text16 };
constexpr form all_forms[] = {form::list, form::text8, form::text16};

// Reads `bytes` with `op` until the input is used up, then once more past
// its end, then discards the rest. Returns a description of what went wrong,
// or nothing.
std::string drive(const std::string& bytes, form f, const read_op& op) {
  std::vector<char> buf(bytes.begin(), bytes.end());  // exactly as long as the input
  try {
    t_istrstream is(buf.data(), static_cast<int>(buf.size()));
    if (f != form::list) is.use_str_fmt(f == form::text16);
    // A list read consumes at least one byte; the string form may not move.
    const std::size_t limit = f == form::list ? buf.size() + 1 : 4;
    std::size_t reads = 0;
    for (; !is.at_end() && reads < limit; ++reads)
      if (!op.read(is)) return "result breaks its contract";
    if (f == form::list && !is.at_end()) return "reads did not reach the end";
    if (!op.read(is)) return "result past the end breaks its contract";
    is.skip_rest();
    if (!is.at_end()) return "skip_rest left input";
  } catch (const Db_err& e) {
    return "threw Db_err " + std::to_string(e.code) + " " + e.msg;
  } catch (const std::exception& e) {
    return std::string("threw ") + e.what();
  } catch (...) {
    return "threw";
  }
  return {};
}

// Walks a list over the bytes and decodes every element it finds.
std::string walk_list(const std::string& bytes) {
  try {
    const d_list list(bytes.data(), bytes.size());
    std::size_t steps = 0;
    for (list.move_to(0); !list.at_list_end() && steps <= bytes.size(); list.next_elem(), ++steps) {
      std::int64_t i = 0;
      double d = 0;
      d_string s;
      d_binary b;
      list.get_elem(&i);
      list.get_elem(&d);
      list.get_elem(s);
      list.get_elem(b);
    }
    if (!list.at_list_end()) return "list walk did not reach the end";
    list.count();
  } catch (...) {
    return "list walk threw";
  }
  return {};
}

const char* form_name(form f) { return f == form::list ? "list" : f == form::text8 ? "text8" : "text16"; }

// Feeds `bytes` to every operation in every form, and to a list walk.
void feed(const std::string& bytes, const std::string& label, std::vector<std::string>& failures) {
  for (form f : all_forms)
    for (const auto& op : read_ops())
      if (std::string what = drive(bytes, f, op); !what.empty())
        failures.push_back(label + " " + form_name(f) + " " + op.name + ": " + what);
  if (std::string what = walk_list(bytes); !what.empty()) failures.push_back(label + ": " + what);
}

std::string report(const std::vector<std::string>& failures) {
  std::string out = std::to_string(failures.size()) + " failures";
  for (std::size_t i = 0; i < failures.size() && i < 20; ++i) out += "\n  " + failures[i];
  return out;
}

t_istrstream stream_over(std::string& bytes) { return t_istrstream(bytes.data(), static_cast<int>(bytes.size())); }

}  // namespace

TEST(decode_robustness, valid_messages_decode_to_their_values) {
  for (const message& m : valid_messages()) {
    std::string bytes = bytes_of(m);
    SCOPED_TRACE(testing::PrintToString(bytes));
    {
      t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
      for (const auto& e : m) {
        std::int64_t v = kept_int;
        bool null = !e.i_null;
        is.read_int(v, null);
        EXPECT_EQ(v, e.i) << testing::PrintToString(e.bytes);
        EXPECT_EQ(null, e.i_null) << testing::PrintToString(e.bytes);
      }
      EXPECT_TRUE(is.at_end());
      std::int64_t past = kept_int;
      bool null = false;
      is.read_int(past, null);
      EXPECT_TRUE(null);
      EXPECT_TRUE(is.eof() && is.fail());
    }
    {
      t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
      for (const auto& e : m) {
        double v = kept_double;
        bool null = !e.d_null;
        is.read_double(v, null);
        if (e.d) {
          EXPECT_EQ(v, *e.d) << testing::PrintToString(e.bytes);
        }
        EXPECT_EQ(null, e.d_null) << testing::PrintToString(e.bytes);
      }
      EXPECT_TRUE(is.at_end());
    }
    {
      t_istrstream strs(bytes.data(), static_cast<int>(bytes.size()));
      t_istrstream mbs(bytes.data(), static_cast<int>(bytes.size()));
      t_istrstream whole(bytes.data(), static_cast<int>(bytes.size()));
      t_istrstream cut(bytes.data(), static_cast<int>(bytes.size()));
      for (const auto& e : m) {
        bool uni = !e.uni;
        std::string s;
        strs.read_str(uni, s);
        EXPECT_EQ(s, e.str);
        EXPECT_EQ(uni, e.uni);
        mbs.read_mb_str(s);
        EXPECT_EQ(s, e.mb);
        std::vector<char> buf(65535);
        unsigned short len = 0;
        whole.read_bytes(uni, buf.data(), 65535, len);
        EXPECT_EQ(std::string(buf.data(), len), e.str);
        cut.read_bytes(uni, buf.data(), 3, len);
        EXPECT_EQ(std::string(buf.data(), len), e.str.substr(0, 3));
      }
      EXPECT_TRUE(strs.at_end() && mbs.at_end() && whole.at_end() && cut.at_end());
    }
    {
      t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
      for (std::size_t k = 0; k < m.size(); ++k) {
        EXPECT_FALSE(is.at_end()) << k;
        is.skip();
      }
      EXPECT_TRUE(is.at_end());
    }
    {
      // The value classes, element by element.
      t_istrstream is(bytes.data(), static_cast<int>(bytes.size()));
      t_istrstream ds(bytes.data(), static_cast<int>(bytes.size()));
      t_istrstream ss(bytes.data(), static_cast<int>(bytes.size()));
      t_istrstream bs(bytes.data(), static_cast<int>(bytes.size()));
      for (const auto& e : m) {
        d_int i(77);
        i.get(is, nullptr);
        EXPECT_EQ(i.is_null(), e.i_null);
        if (!e.i_null) {
          EXPECT_EQ(i.value(), static_cast<int>(static_cast<std::uint32_t>(e.i)));
        }
        d_double d(kept_double);
        d.get(ds, nullptr);
        EXPECT_EQ(d.is_null(), e.d_null);
        if (e.d) {
          EXPECT_EQ(d.value(), *e.d);
        }
        d_string s;
        s.get(ss, nullptr);
        EXPECT_EQ(s.bytes(), e.str);
        EXPECT_EQ(s.kind(), e.uni ? 1 : 0);
        d_binary b;
        b.get(bs, nullptr);
        EXPECT_EQ(b.bytes(), e.str);
        EXPECT_FALSE(b.is_null());
      }
    }
    {
      // A list over the same bytes, through both element decoders.
      const d_list list(bytes.data(), bytes.size());
      EXPECT_EQ(list.count(), static_cast<int>(m.size()));
      list.move_to(0);
      for (const auto& e : m) {
        std::int64_t v = kept_int, w = kept_int;
        d_list::get_elem(list.cur_elem(), &v);
        list.get_elem(&w);
        EXPECT_EQ(v, e.i);
        EXPECT_EQ(w, e.i);
        d_string s;
        d_list::get_elem(list.cur_elem(), s);
        EXPECT_EQ(s.bytes(), e.str);
        list.next_elem();
      }
      EXPECT_TRUE(list.at_list_end());
    }
  }

  // The records that travel nested in one element.
  std::string records = hex("10 01 03 05 F7 05 01 62 61 64 06 01 04 04 B1 16") +
                        hex("0E 01 03 01 30 00 03 05 F7 05 01 62 61 64") + hex("06 02 34 00 32 00");
  t_istrstream is = stream_over(records);
  Db_err e;
  e.get(is);
  EXPECT_EQ(e.code, -9);
  EXPECT_EQ(e.msg, "bad");
  EXPECT_EQ(Err_open_obj(e).msg, "object not found");
  d_status st(is);
  EXPECT_EQ(st.get_code(), -9);
  EXPECT_EQ(st.get_msg().bytes(), "bad");
  db_name n;
  n.get(is, nullptr);
  EXPECT_EQ(std::u16string(n.c_str(), n.c_str() + n.length()), u"42");
  EXPECT_TRUE(is.at_end());
}

TEST(decode_robustness, every_prefix_of_valid_and_corrupt_messages_reads_safely) {
  std::vector<std::string> inputs;
  for (const message& m : valid_messages()) inputs.push_back(bytes_of(m));
  for (const std::string& c : corrupt_messages()) inputs.push_back(c);
  std::vector<std::string> failures;
  for (std::size_t k = 0; k < inputs.size(); ++k)
    for (std::size_t n = 0; n <= inputs[k].size(); ++n)
      feed(inputs[k].substr(0, n), "input " + std::to_string(k) + " prefix " + std::to_string(n), failures);
  EXPECT_TRUE(failures.empty()) << report(failures);
}

TEST(decode_robustness, flipped_bytes_and_oversized_elements_read_safely) {
  std::vector<std::string> failures;
  for (std::size_t k = 0; k < valid_messages().size(); ++k) {
    const std::string bytes = bytes_of(valid_messages()[k]);
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

  // Numbers longer than the scratch buffers: the first 32767 bytes count.
  std::string digits = large[0];
  t_istrstream is = stream_over(digits);
  std::int64_t v = 0;
  bool null = true;
  is.read_int(v, null);
  EXPECT_EQ(v, std::numeric_limits<std::int64_t>::max());
  EXPECT_FALSE(null);
  EXPECT_TRUE(is.at_end());
}
