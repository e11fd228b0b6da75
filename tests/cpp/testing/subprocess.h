// Test helper: runs one test of this same test binary in a fresh process with
// extra environment variables. For what is fixed once per process: the global
// pool's size and stack, state made on first use.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace velk::test {

inline constexpr char kChildMarker[] = "VELK_TEST_CHILD";

// True in a process started by run_self_in_child.
inline bool in_child_process() { return std::getenv(kChildMarker) != nullptr; }

struct ChildResult {
  int status;          // as from waitpid
  std::string output;  // its standard output and error, interleaved

  // Exited with 0 after running (not skipping) exactly one test: a filter
  // that matches nothing exits with 0 too.
  bool passed() const {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           output.find("[  PASSED  ] 1 test.") != std::string::npos &&
           output.find("[  SKIPPED ]") == std::string::npos;
  }
};

// Runs /proc/self/exe --gtest_filter=`test_name` with the current environment
// plus `env` (overriding) and the child marker. A child that hangs is ended by
// an alarm after two minutes.
inline ChildResult run_self_in_child(const std::string& test_name,
                                     const std::vector<std::pair<std::string, std::string>>& env) {
  std::vector<std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    bool overridden = false;
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

  ChildResult result{-1, ""};
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    alarm(120);  // survives the exec
    execve(exe, argv, envp.data());
    _exit(127);
  }
  close(fds[1]);
  char buffer[4096];
  for (ssize_t got; pid > 0 && (got = read(fds[0], buffer, sizeof buffer)) > 0;) {
    result.output.append(buffer, static_cast<size_t>(got));
  }
  close(fds[0]);
  if (pid > 0) waitpid(pid, &result.status, 0);
  return result;
}

}  // namespace velk::test
