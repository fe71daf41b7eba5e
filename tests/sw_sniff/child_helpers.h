// Test helpers: work run in a child process under a deadline, and the peak memory of a process.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

namespace kvtest {

/// Runs f in a child process and returns the text it gave. Nothing when the child did not finish
/// within the deadline (it is killed: a hang fails the test instead of stalling it) or did not
/// end cleanly (a crash). Call it while the test runs no threads of its own.
inline std::optional<std::string> runInChild(const std::function<std::string()>& f,
                                             std::chrono::seconds deadline) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    close(fds[0]);
    const std::string out = f();
    for (size_t done = 0; done < out.size();) {
      const ssize_t n = write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) _exit(2);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  bool ended = false;
  const auto end = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n <= 0) {
      ended = true;
      break;
    }
    out.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

/// A "kB" figure of /proc/self/status (VmRSS, VmHWM), in bytes; 0 when it cannot be read.
inline size_t procStatusBytes(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1)) * 1024;
  return 0;
}

/// Restarts the peak resident memory (VmHWM) at what the process holds now. False where the
/// kernel does not allow it.
inline bool resetPeakMemory() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.close();
  return static_cast<bool>(out);
}

}  // namespace kvtest
