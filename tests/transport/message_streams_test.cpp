// The request stream and the reply stream on a message channel.
#include "support/scripted_driver.h"
#include "support/thrown.h"

#include <torqa/message_streams.h>

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using namespace torqa::test;

namespace {

// A request stream and a reply stream on one channel of the scripted driver.
class message_streams : public ::testing::Test {
 protected:
  void SetUp() override {
    out.set_channel(&channel);
    in.set_channel(&channel);
  }

  // Sends a request, which makes the next queued reply current, and reads
  // its first chunk header, as the session does.
  void exchange() {
    out.send("BH");
    out.restart();
    in.clear_reply();
    in.next_chunk();
  }

  std::string read(std::size_t n) {
    std::string s(n, '\0');
    in.rdbuf()->sgetn(s.data(), static_cast<std::streamsize>(n));
    return s;
  }

  scripted_driver drv;
  int channel = 0;
  t_otcpstream out;
  t_itcpstream in;
};

TEST_F(message_streams, requests_carry_reserved_bytes_and_their_length_and_grow_keeping_their_storage) {
  out.send("B1");
  out.restart();
  out.setstate(std::ios_base::badbit);
  out.restart();
  EXPECT_TRUE(out.good());
  const std::string value(300, 'v');
  for (int i = 0; i < 300; ++i) out.put_str(0, value.data(), 300);
  out.send("BI");
  const char* storage = out.message().data();
  out.restart();
  out << 5 << -1;
  out.send("B7");

  ASSERT_EQ(drv.requests.size(), 3u);
  const char* codes[] = {"B1", "BI", "B7"};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(drv.requests[i].code, codes[i]);
    EXPECT_EQ(drv.requests[i].reserved, std::string(14, ' '));
    EXPECT_EQ(drv.requests[i].announced, drv.requests[i].payload.size());
  }
  const std::string& big = drv.requests[1].payload;
  ASSERT_EQ(big.size(), 300u * 304u);
  EXPECT_EQ(hex(big.substr(0, 5)) + " | " + hex(big.substr(304, 4)), "00 2D 01 01 76 | 00 2D 01 01");
  EXPECT_EQ(hex(drv.requests[2].payload), "03 04 05 03 05 FF");
  EXPECT_EQ(out.message().data(), storage);  // the storage is kept
}

TEST_F(message_streams, chunk_borders_are_invisible_to_readers) {
  std::string bytes;
  for (int i = 0; i < 40; ++i) bytes += static_cast<char>(i * 7);
  // Two chunks split at every byte, and three with a 1-byte or a long middle.
  for (std::size_t a = 1; a < bytes.size(); ++a) {
    for (std::size_t b : {std::size_t{0}, std::size_t{1}, bytes.size() - a - 1}) {
      if (b != 0 && a + b >= bytes.size()) continue;
      SCOPED_TRACE("chunks of " + std::to_string(a) + " and " + std::to_string(b));
      drv.reply(bytes, b == 0 ? std::vector<std::size_t>{a} : std::vector<std::size_t>{a, b});
      exchange();
      EXPECT_EQ(read(3), bytes.substr(0, 3));
      EXPECT_EQ(in.rdbuf()->sbumpc(), static_cast<unsigned char>(bytes[3]));
      EXPECT_EQ(read(bytes.size() - 4), bytes.substr(4));
      EXPECT_TRUE(in.at_end());
    }
  }
  // An empty chunk, in the middle or at the end, is a transport failure.
  for (bool final_empty : {false, true}) {
    std::vector<chunk> chunks{{"ab", false}, {"", final_empty}};
    if (!final_empty) chunks.push_back({"cd", true});
    drv.reply_chunks(chunks);
    exchange();
    EXPECT_EQ(read(2), "ab");
    EXPECT_EQ(thrown([&] { in.rdbuf()->sbumpc(); }), "-1 assertion failed in t_itcpbuf::underflow()");
  }
}

TEST_F(message_streams, at_end_waits_for_the_final_chunk_and_three_characters_go_back_across_a_refill) {
  drv.reply_chunks({{"abcdef", false}, {"ghi", true}});
  exchange();
  EXPECT_EQ(read(6), "abcdef");
  EXPECT_FALSE(in.at_end());  // buffer empty, but the reply goes on
  EXPECT_EQ(in.rdbuf()->sbumpc(), 'g');
  std::streambuf* sb = in.rdbuf();
  EXPECT_EQ(sb->sungetc(), 'g');
  EXPECT_EQ(sb->sungetc(), 'f');
  EXPECT_EQ(sb->sputbackc('E'), 'E');  // a different character is stored
  EXPECT_EQ(sb->sungetc(), 'd');
  EXPECT_EQ(sb->sungetc(), std::char_traits<char>::eof());
  EXPECT_EQ(read(6), "dEfghi");
  EXPECT_TRUE(in.at_end());
}

TEST_F(message_streams, one_driver_read_brings_at_most_32765_bytes) {
  for (std::size_t size : {std::size_t{32765}, std::size_t{32766}, std::size_t{65530}}) {
    std::string bytes(size, 'x');
    bytes.back() = 'z';
    drv.reply(bytes);
    exchange();
    const int before = drv.chunk_reads;
    EXPECT_EQ(read(size), bytes);
    EXPECT_EQ(drv.chunk_reads - before, size == 32765 ? 1 : 2) << size;
    EXPECT_TRUE(in.at_end());
  }
}

TEST_F(message_streams, skip_rest_discards_the_reply_in_pieces_of_at_most_32768_bytes) {
  drv.reply_chunks({{std::string(10, 'a'), false}, {std::string(70000, 'b'), false}, {"ccccc", true}});
  drv.reply("next");
  exchange();
  EXPECT_EQ(read(4), "aaaa");
  const int before = drv.chunk_reads;
  in.skip_rest();
  EXPECT_EQ(drv.chunk_reads - before, 4);  // 32768 + 32768 + 4464, then 5
  EXPECT_TRUE(in.at_end());

  const std::size_t calls = drv.calls.size();
  in.skip_rest();  // nothing left: no driver call
  EXPECT_EQ(drv.calls.size(), calls);

  exchange();
  EXPECT_EQ(read(4), "next");
}

}  // namespace
