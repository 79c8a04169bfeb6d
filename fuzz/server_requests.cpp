// Requests from a hostile client, through the driver's channel entry points
// to the embedded server.
//
// Input: one byte choosing the reply chunk size, then requests, each a
// two-character code, a payload length (2 bytes, least significant first)
// and the payload. Every iteration is a new connection and session on the
// same namespace, so what one input leaves open (objects, locks, a
// transaction) is undone before the next.
//
// Checked: a request is answered, its reply comes in chunks no longer than
// the connection's chunk size and is a whole run of list elements (the
// binding reads nothing else), and the channel refuses reads past a chunk
// and chunks past the final one.
#include "namespace_fixture.h"

#include "server/wire/wire.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void fail(const char* what, const std::string& code) {
  std::fprintf(stderr, "request %s: %s\n", code.c_str(), what);
  std::abort();
}

// Reads the whole reply of the request just sent.
std::string read_reply(void* ch, unsigned chunk, const std::string& code) {
  std::string reply;
  std::vector<char> buf(32768 + 1);
  for (int chunks = 0;; ++chunks) {
    unsigned length = 0;
    unsigned char final = 0;
    if (DrvNextChunk(ch, &length, &final) != 0) fail("no chunk", code);
    if (length > chunk) fail("chunk longer than the chunk size", code);
    // Read in two pieces, then one byte too many.
    const unsigned first = length / 2;
    if (DrvReadChunk(ch, first, buf.data()) != 0 || DrvReadChunk(ch, length - first, buf.data() + first) != 0)
      fail("chunk shorter than announced", code);
    if (DrvReadChunk(ch, 1, buf.data()) == 0) fail("read past the chunk", code);
    reply.append(buf.data(), length);
    if (final) break;
    if (length == 0) fail("empty chunk before the final one", code);
  }
  unsigned length = 0;
  unsigned char final = 0;
  if (DrvNextChunk(ch, &length, &final) == 0) fail("chunk after the final one", code);
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const unsigned chunk_sizes[] = {32768, 1, 7, 300};
  const unsigned chunk = chunk_sizes[data[0] % 4];
  const auto& ns = fuzz::sample_namespace::get();
  SQLHDBC dbc = ns.open(fuzz::environment(), ";chunk=" + std::to_string(chunk));
  if (dbc == nullptr) std::abort();
  void* ch = nullptr;
  if (DrvOpenChannel(dbc, &ch) != 0) std::abort();

  std::size_t at = 1;
  for (int n = 0; n < 32 && size - at >= 4; ++n) {
    const std::string code(reinterpret_cast<const char*>(data + at), 2);
    std::size_t len = data[at + 2] | (data[at + 3] << 8);
    at += 4;
    if (len > size - at) len = size - at;
    // The 14 reserved bytes the binding leaves for the driver, then the payload.
    std::string message(14, '\0');
    message.append(reinterpret_cast<const char*>(data + at), len);
    at += len;
    if (DrvBeginMessage(ch, (code + '\0').c_str(), static_cast<unsigned>(len)) != 0) fail("begin refused", code);
    // The server answers every request of 14 bytes or more, malformed or not.
    if (DrvSendMessage(ch, message.data(), static_cast<unsigned>(message.size())) != 0) fail("no reply", code);
    const std::string reply = read_reply(ch, chunk, code);
    torqa::server::reader r(reply);
    torqa::server::element e;
    while (r.next(e)) {
    }
    if (!r.at_end()) fail("reply is not a run of list elements", code);
  }
  DrvCloseChannel(ch);
  SQLFreeConnect(dbc);
  return 0;
}
