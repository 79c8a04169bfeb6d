// torqad: serves the namespaces under a data directory to clients over TCP,
// and each namespace it has open on the Unix socket in its directory.
//   torqad --listen ADDRESS:PORT --data DIR [--schema FILE] [--unicode] [--fasthash]
//          [--idle SECONDS] [--max-connections N] [--max-namespaces N]
// An IPv6 address is written in brackets: [::1]:0. Prints "listening on
// ADDRESS:PORT" when ready; SIGTERM or SIGINT stop it.
#include "service.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace {

int stop_pipe[2] = {-1, -1};

void on_signal(int) {
  const char c = 's';
  [[maybe_unused]] const ssize_t n = write(stop_pipe[1], &c, 1);
}

int usage(const std::string& why) {
  std::fprintf(stderr,
               "torqad: %s\nUsage: torqad --listen ADDRESS:PORT --data DIR [--schema FILE] [--unicode] [--fasthash]\n"
               "              [--idle SECONDS] [--max-connections N] [--max-namespaces N]\n"
               "ADDRESS is a name, an IPv4 address or an IPv6 address in brackets ([::1]:0); port 0 picks a\n"
               "free port. --max-namespaces (default 100) bounds the namespaces open at once: a client naming\n"
               "another is refused. Each namespace created is logged.\n",
               why.c_str());
  return 2;
}

bool positive(std::string_view text, int& out) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc{} && r.ptr == text.data() + text.size() && out > 0;
}

}  // namespace

int main(int argc, char** argv) {
  torqa::daemon::options o;
  bool listen_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--unicode") {
      o.namespaces.unicode = true;
    } else if (a == "--fasthash") {
      o.namespaces.fasthash = true;
    } else if (!has_value) {
      return usage("unknown option or missing value: " + std::string(a));
    } else if (a == "--listen") {
      const std::string_view v = argv[++i];
      const std::size_t colon = v.rfind(':');
      std::string_view host = v.substr(0, colon == std::string_view::npos ? 0 : colon);
      if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
      if (colon == std::string_view::npos || host.empty() || host.find_first_of("[]") != std::string_view::npos ||
          (host.find(':') != std::string_view::npos && v.front() != '['))
        return usage("--listen takes ADDRESS:PORT ([ADDRESS]:PORT for an IPv6 address)");
      o.address = std::string(host);
      o.port = std::string(v.substr(colon + 1));
      listen_given = true;
    } else if (a == "--data") {
      o.data = argv[++i];
    } else if (a == "--schema") {
      o.namespaces.schema_file = std::filesystem::absolute(argv[++i]).string();
    } else if (a == "--idle") {
      if (!positive(argv[++i], o.idle_seconds)) return usage("--idle takes a number of seconds");
    } else if (a == "--max-connections") {
      if (!positive(argv[++i], o.max_connections)) return usage("--max-connections takes a number");
    } else if (a == "--max-namespaces") {
      if (!positive(argv[++i], o.max_namespaces)) return usage("--max-namespaces takes a number");
    } else {
      return usage("unknown option " + std::string(a));
    }
  }
  if (!listen_given || o.data.empty()) return usage("--listen and --data are required");
  std::error_code ec;
  std::filesystem::create_directories(o.data, ec);
  o.data = std::filesystem::absolute(o.data).string();

  if (pipe2(stop_pipe, O_CLOEXEC) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  try {
    torqa::daemon::service s(o);
    std::printf("listening on %s\n", s.endpoint().c_str());
    std::fflush(stdout);
    torqa::daemon::log("serving " + o.data);
    s.run(stop_pipe[0]);
  } catch (const std::exception& e) {
    torqa::daemon::log(e.what());
    return 1;
  }
  return 0;
}
