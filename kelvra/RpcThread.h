// The transfer job of one one-key request, on a worker thread of its own.
//
// Model: the window hands the job everything it needs by value (the port
// settings of the settings record and the request text) plus the bridge
// back to the window; the job then runs Vork's link on the serial port that
// the window has closed for it, copies the named files, closes the link and
// gives the port back with the end-of-job notice. The thread frees itself
// when the job ends; the program never waits for it, so a job may still be
// inside Vork when the window has closed (see main.cpp for how the process
// then ends).
//
// Names from the terminal are hostile: one that would reach outside its
// transfer folder on the PC (an absolute name, a ".." component, a NUL byte)
// is not copied.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "JobBridge.h"

namespace kelvra {

struct JobSpec {
  std::int32_t port = 1;
  std::int32_t baud = 115200;
  bool compress = false;
  std::string request;  // the request text as received, ending with "#"
  std::shared_ptr<JobBridge> bridge;
};

// The names of a request's name list: the pieces between ";", in order,
// empty pieces included; at least one.
[[nodiscard]] std::vector<std::string> SplitNames(std::string_view list);

// The PC side of a name from the terminal, relative to its transfer folder,
// with "\" turned into "/"; nothing when the name would leave the folder.
[[nodiscard]] std::optional<std::string> PcRelativeName(std::string_view name);

class TRpcThread {
 public:
  // Starts the job on a new thread that frees itself when the job ends.
  // False when the thread cannot be created; nothing runs then. GUI thread.
  static bool Start(JobSpec job);

  // Jobs whose thread has not yet finished with Vork and the bridge. Any
  // thread.
  [[nodiscard]] static int LiveCount();
  // Waits until LiveCount() is 0, at most timeout; true when it is.
  static bool WaitUntilNoneLive(std::chrono::milliseconds timeout);

  explicit TRpcThread(JobSpec job) : job_(std::move(job)) {}

 private:
  void Execute();
  bool FinishJob();
  void CopyOne(Direction direction, const std::string& name);
  void Post(JobBridge::Action action) { job_.bridge->Post(std::move(action)); }

  JobSpec job_;
};

}  // namespace kelvra
