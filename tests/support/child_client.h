// A client in a child process, for tests of what a server does when a
// client dies: the child sets something up, tells the parent it is ready,
// goes on holding it, and is killed with SIGKILL.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace torqa::test {

class child_client {
 public:
  /// Forks; the child runs `body(ready)`, where calling `ready()` tells the
  /// parent, and ends when `body` returns or throws. Returns once the child
  /// has called ready() or ended.
  template <class Body>
  explicit child_client(Body body) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(pipe_fds[0]);
      try {
        body([&] { return write(pipe_fds[1], "y", 1) == 1; });
      } catch (...) {
      }
      _exit(0);
    }
    close(pipe_fds[1]);
    char c = 0;
    ready_ = pid_ > 0 && read(pipe_fds[0], &c, 1) == 1;
    close(pipe_fds[0]);
  }
  child_client(const child_client&) = delete;
  child_client& operator=(const child_client&) = delete;
  ~child_client() { kill(); }

  /// Whether the child said it was ready.
  bool ready() const { return ready_; }
  /// Kills the child with SIGKILL and waits for it to end.
  void kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace torqa::test
