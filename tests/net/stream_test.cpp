// Frames over a socket pair: a frame larger than the socket's buffers goes
// out in several writes and comes back whole; waits end in time.
#include "server/net/stream.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <thread>

namespace torqa::net {
namespace {

TEST(frame_stream, large_frames_cross_whole_and_waits_end_in_time) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  socket_fd a(fds[0]), b(fds[1]);
  frame_stream out(a.get()), in(b.get());
  std::string head = "head", big(3 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  bool sent = false;
  std::thread writer([&] { sent = out.send(0x4D, head, big) && out.send(0x72, "next"); });
  frame f;
  ASSERT_EQ(in.receive(f, 10000), receive_status::frame);
  EXPECT_EQ(f.type, 0x4D);
  EXPECT_TRUE(f.body == head + big);  // not EXPECT_EQ: 3 MiB in a failure message
  ASSERT_EQ(in.receive(f, 10000), receive_status::frame);
  EXPECT_TRUE(f.type == 0x72 && f.body == "next");
  writer.join();
  EXPECT_TRUE(sent);

  EXPECT_EQ(in.receive(f, 50), receive_status::timed_out);
  // Half a frame, then nothing: the wait for the rest ends too.
  ASSERT_EQ(::send(a.get(), "\0\0\0\5xab", 7, 0), 7);
  EXPECT_EQ(in.receive(f, 50), receive_status::timed_out);
  a = socket_fd();
  EXPECT_EQ(in.receive(f, -1), receive_status::closed);
}

}  // namespace
}  // namespace torqa::net
