// Bytes from a hostile client of torqad, read as the daemon reads them:
// frames off a socket, then the login's bodies and SCRAM messages.
//
// Input: the client's bytes, written to a socket the daemon's frame reader
// reads until the client's side is shut down.
//
// Checked: each frame received is the next run of the input bytes, with a
// length within the limit; a login start's client-first message that parses
// names a user whose honest login (the client's own messages for that name,
// escaped) succeeds and is verified by the client, and the input's own
// client-final proof is never accepted.
#include "server/auth/scram.h"
#include "server/net/stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

namespace scram = torqa::server::scram;
namespace net = torqa::net;

void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// The keys of every user, from one password; one iteration keeps runs fast.
const scram::secret& keys() {
  static const scram::secret s = scram::derive("password", "salt-of-the-fuzzer", 1);
  return s;
}

// The daemon's side of a login on one client-first message: an honest
// client for the same user logs in; the input's proof (if any) does not.
void login(std::string_view client_first, const std::optional<std::string_view>& client_final) {
  std::string user, nonce;
  if (!scram::server::parse_first(client_first, user, nonce)) return;
  const scram::server daemon(keys(), client_first, "SERVERNONCE");
  if (client_final && daemon.final(*client_final)) fail("a proof made without the password was accepted");

  scram::client honest(user, "password", "CLIENTNONCE");
  std::string parsed_user, parsed_nonce;
  if (!scram::server::parse_first(honest.first(), parsed_user, parsed_nonce) || parsed_user != user)
    fail("a user name does not survive its escaping");
  const scram::server for_honest(keys(), honest.first(), "SERVERNONCE");
  std::string why;
  const auto proof = honest.final(for_honest.first(), why);
  if (!proof) fail(("an honest client refused the challenge: " + why).c_str());
  const auto signature = for_honest.final(*proof);
  if (!signature || !honest.verify(*signature)) fail("an honest login failed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  // What the socket's buffer takes is what the daemon reads.
  const int buffer = 1 << 20;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  const ssize_t sent = send(pair[1], data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  const std::string_view input(reinterpret_cast<const char*>(data), sent > 0 ? static_cast<std::size_t>(sent) : 0);
  shutdown(pair[1], SHUT_WR);

  net::frame_stream stream(pair[0]);
  net::frame f;
  std::size_t offset = 0;
  std::optional<std::string> pending_first;  // a login start waiting for its proof
  while (stream.receive(f, 1000) == net::receive_status::frame) {
    const std::size_t length = f.body.size() + 1;
    if (length > net::max_frame_length || offset + net::frame_header + f.body.size() > input.size() ||
        static_cast<char>(f.type) != input[offset + 4] || f.body != input.substr(offset + net::frame_header, f.body.size()))
      fail("a frame is not the next run of the bytes sent");
    offset += net::frame_header + f.body.size();

    std::uint32_t version = 0;
    std::string_view name, first, proof;
    if (f.type == net::frame_type::login_start && net::read_login_start(f.body, version, name, first)) {
      if (pending_first) login(*pending_first, std::nullopt);
      pending_first = std::string(first);
    } else if (f.type == net::frame_type::login_proof && pending_first && net::read_one_str(f.body, proof)) {
      login(*pending_first, proof);
      pending_first.reset();
    }
  }
  if (pending_first) login(*pending_first, std::nullopt);
  close(pair[0]);
  close(pair[1]);
  return 0;
}
