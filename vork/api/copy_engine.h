// Copying and moving whole files between the PC and the terminal.
//
// A path is a terminal path when its first three bytes in the system code
// page are "QMT"; every other path is a PC file. Both sides go through
// Endpoint, so one copy loop serves all four directions and both the
// synchronous and the background copy: 2048-byte blocks through one stack
// buffer, the target always created new (an existing one deleted first).
//
// Refusals (nothing is opened): a path longer than 259 bytes in the code
// page (255 for a terminal path), source and target naming the same file,
// a PC source of 4 GiB or more. A terminal source whose size cannot be
// asked fails the copy, so a move never deletes a source it did not copy.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "code_page.h"
#include "exchange.h"

namespace vork::api {

using link::CallContext;

inline constexpr std::size_t kBlockBytes = 2048;
inline constexpr std::size_t kMaxCopyPathBytes = 259;

// Final values of a copy, as a background copy reports them.
enum class CopyStatus : std::int32_t {
  kDone = 100,
  kReadFailure = 102,
  kWriteFailure = 103,
  kCancelled = 104,
  kTargetFailure = 105,
};

// One path of a copy: its 8-bit form (for the prefix test and the PC) and
// its wide form (for the terminal).
class CopyPath {
 public:
  // From a caller's wide path (kept by pointer: it must outlive the copy).
  static std::optional<CopyPath> FromWide(const char16_t* wide);
  // From an 8-bit path in the code page; the wide form is widened from it.
  static std::optional<CopyPath> FromNarrow(const char* narrow);

  [[nodiscard]] bool on_terminal() const;
  [[nodiscard]] const char* narrow() const { return narrow_.data(); }
  [[nodiscard]] const char16_t* wide() const { return wide_ != nullptr ? wide_ : own_wide_.data(); }

 private:
  std::array<char, kMaxCopyPathBytes + 1> narrow_{};
  const char16_t* wide_ = nullptr;
  WideBuffer own_wide_{};
};

// Watches a background copy: progress after each block, and whether to stop.
class CopyObserver {
 public:
  virtual void BlockDone(std::uint32_t block, std::uint32_t blocks) = 0;
  [[nodiscard]] virtual bool StopRequested() = 0;

 protected:
  ~CopyObserver() = default;
};

// Copies source to target; observer may be null (the synchronous copy).
// Every file opened is closed, the source first, before it returns.
CopyStatus RunCopy(CallContext& ctx, const CopyPath& source, const CopyPath& target,
                   CopyObserver* observer);

// The background copy: one at a time per context. The thread's remote
// operations each take the call lock, as exported calls do.
class BackgroundCopy {
 public:
  explicit BackgroundCopy(CallContext& ctx) : ctx_(ctx) {}
  ~BackgroundCopy() { AbortAndWait(); }
  BackgroundCopy(const BackgroundCopy&) = delete;
  BackgroundCopy& operator=(const BackgroundCopy&) = delete;

  // Starts a copy that reports through status and reads cancel. False when
  // a copy still runs (it is left alone) or no thread can be started.
  bool Start(std::optional<CopyPath> source, std::optional<CopyPath> target,
             std::int32_t* status, std::int32_t* cancel);
  // Makes a running copy stop after its current block and waits for it.
  void AbortAndWait();

  // Test seam: sees every value the copy writes to its status variable, on
  // the copy's thread, right before it is written. Set while no copy runs.
  void set_status_probe(std::function<void(std::int32_t)> probe) { probe_ = std::move(probe); }

 private:
  void Run(std::optional<CopyPath> source, std::optional<CopyPath> target, std::int32_t* status,
           std::int32_t* cancel);

  CallContext& ctx_;
  std::mutex mutex_;
  bool running_ = false;
  std::atomic<bool> abort_{false};
  std::function<void(std::int32_t)> probe_;
  std::thread thread_;
};

std::int32_t CopyFileW(CallContext& ctx, const char16_t* source, const char16_t* target);
std::int32_t CopyFile(CallContext& ctx, const char* source, const char* target);
std::int32_t MoveFileW(CallContext& ctx, const char16_t* source, const char16_t* target);
std::int32_t MoveFile(CallContext& ctx, const char* source, const char* target);
std::int32_t CopyFileExW(BackgroundCopy& background, const char16_t* source,
                         const char16_t* target, std::int32_t* status, std::int32_t* cancel);
std::int32_t CopyFileEx(BackgroundCopy& background, const char* source, const char* target,
                        std::int32_t* status, std::int32_t* cancel);

}  // namespace vork::api
