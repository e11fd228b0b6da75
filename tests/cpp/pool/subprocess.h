// Test helper: runs one test of this same test binary in a fresh process with
// extra environment variables (the global pool's size and stack are fixed per
// process, so tests of other sizes run in children).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace velk::pool {

inline constexpr char kChildMarker[] = "VELK_POOL_TEST_CHILD";

// True in a process started by run_self_in_child.
inline bool in_child_process() { return std::getenv(kChildMarker) != nullptr; }

struct ChildResult {
  int exit_code;       // the child's exit status; -1 if it was killed or timed out
  std::string output;  // its standard output and error, interleaved

  // The child exited with 0 after running (not skipping) exactly one test:
  // a filter that matches nothing also exits with 0.
  bool passed() const {
    return exit_code == 0 && output.find("[  PASSED  ] 1 test.") != std::string::npos &&
           output.find("[  SKIPPED ]") == std::string::npos;
  }
};

// Runs /proc/self/exe with --gtest_filter=`test_name`, the current environment
// plus `env` (overriding) and the child marker; waits at most `timeout`.
inline ChildResult run_self_in_child(const std::string& test_name,
                                     const std::vector<std::pair<std::string, std::string>>& env,
                                     std::chrono::seconds timeout = std::chrono::seconds(120)) {
  std::vector<std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool overridden = entry.rfind(std::string(kChildMarker) + "=", 0) == 0;
    for (const auto& [name, value] : env) overridden |= entry.rfind(name + "=", 0) == 0;
    if (!overridden) variables.push_back(std::move(entry));
  }
  for (const auto& [name, value] : env) variables.push_back(name + "=" + value);
  variables.push_back(std::string(kChildMarker) + "=1");
  std::vector<char*> envp;
  for (auto& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=" + test_name;
  char exe[] = "/proc/self/exe";
  char* argv[] = {exe, filter.data(), nullptr};

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {-1, "pipe failed"};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipe_fds[1], STDOUT_FILENO);
    dup2(pipe_fds[1], STDERR_FILENO);
    execve(exe, argv, envp.data());
    _exit(127);
  }
  close(pipe_fds[1]);
  if (pid < 0) {
    close(pipe_fds[0]);
    return {-1, "fork failed"};
  }

  ChildResult result{-1, ""};
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.output += "\n[timed out]";
      break;
    }
    pollfd p{pipe_fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
    if (got <= 0) break;
    result.output.append(buffer, static_cast<size_t>(got));
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && result.output.find("[timed out]") == std::string::npos) {
    result.exit_code = WEXITSTATUS(status);
  }
  return result;
}

}  // namespace velk::pool
