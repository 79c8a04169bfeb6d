// A torqad started by a test: on 127.0.0.1 with a port of its choosing,
// serving a data directory, killed when the object goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace torqa::test {

class daemon_process {
 public:
  daemon_process() = default;
  daemon_process(const daemon_process&) = delete;
  daemon_process& operator=(const daemon_process&) = delete;
  ~daemon_process() {
    if (pid_ > 0) stop(SIGKILL);
  }

  /// Starts `program` with `args` after "--listen 127.0.0.1:0", its
  /// standard error appended to `log`, and waits (up to 20 s) for its
  /// "listening on" line. The port, or empty with `line` the daemon's
  /// first line when it did not start.
  std::string start(const std::string& program, std::vector<std::string> args, const std::string& log,
                    std::string* line = nullptr) {
    int out[2];
    if (pipe(out) != 0) return {};
    pid_ = fork();
    if (pid_ < 0) return {};
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      if (const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600); fd >= 0) dup2(fd, 2);
      args.insert(args.begin(), {program, "--listen", "127.0.0.1:0"});
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string first;
    char c = 0;
    for (pollfd p{out[0], POLLIN, 0}; poll(&p, 1, 20000) > 0 && read(out[0], &c, 1) == 1 && c != '\n';) first += c;
    close(out[0]);
    if (line != nullptr) *line = first;
    const std::string ready = "listening on 127.0.0.1:";
    return first.starts_with(ready) ? first.substr(ready.size()) : std::string();
  }

  /// Stops the daemon with `sig`; its exit status (128 + the signal when a
  /// signal ended it).
  int stop(int sig) {
    kill(pid_, sig);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace torqa::test
