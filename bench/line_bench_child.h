// A child program of the line benchmark (sz, rz):
// started with chosen standard descriptors and folder, waited for with a
// time limit, and never left running behind the benchmark.
//
// Threads: one owner thread. Blocking: only Wait() and Terminate(), each
// for at most the time they are given.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace vork::bench {

class ChildProcess {
 public:
  struct Options {
    std::vector<std::string> argv;  // argv[0] is looked up in PATH
    std::filesystem::path folder;   // working folder; empty: the benchmark's
    int stdin_fd = -1;              // -1: /dev/null
    int stdout_fd = -1;             // -1: /dev/null
    int stderr_fd = -1;             // -1: /dev/null
  };

  // Starts the program. The descriptors are only borrowed: the child gets
  // copies. Throws std::system_error when it cannot be started (nothing is
  // left running then).
  explicit ChildProcess(const Options& options);
  // Terminate() when the child still runs.
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits up to `limit` for the child to end; its wait status, or nothing
  // when it still runs. Once it has ended, returns the same status again.
  std::optional<int> Wait(std::chrono::milliseconds limit);
  // SIGTERM, then SIGKILL after `grace`; returns the wait status.
  int Terminate(std::chrono::milliseconds grace = std::chrono::seconds(3));

  [[nodiscard]] pid_t pid() const { return pid_; }
  // Readable (POLLIN) once the child has ended; owned by this object.
  [[nodiscard]] int ended_fd() const { return pidfd_.get(); }

 private:
  pid_t pid_ = -1;
  link::UniqueFd pidfd_;  // readable once the child has ended
  std::optional<int> status_;
};

// "exit 0", "exit 3", "signal 15": a wait status for messages.
[[nodiscard]] std::string DescribeStatus(int status);

}  // namespace vork::bench
