// Thread hand-off primitives: a manual-reset event and a poll()-able wake-up.
//
// ManualResetEvent stays set until Reset(); Interrupt() wakes the current
// waiters without setting it, so a closing link can end a wait at once.
// Wakeup is an eventfd that a blocking poll() watches beside a device, so
// another thread can stop a receiver or an unfinished write.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>

#include "unique_fd.h"

namespace vork::link {

class ManualResetEvent {
 public:
  enum class WaitResult { kSignalled, kTimeout, kInterrupted };

  void Set();
  void Reset();
  [[nodiscard]] bool IsSet() const;
  // Wakes the threads that wait now with kInterrupted; the event stays as it is.
  void Interrupt();
  // A ticket taken before a check makes an Interrupt() that comes between the
  // check and the wait end the wait all the same.
  [[nodiscard]] std::uint64_t InterruptTicket() const;
  // Blocks until the event is set, the time runs out or an Interrupt() has
  // come since the ticket was taken.
  WaitResult WaitFor(std::chrono::milliseconds timeout, std::uint64_t ticket);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
  std::uint64_t interrupts_ = 0;
};

class Wakeup {
 public:
  Wakeup();  // throws std::system_error when no eventfd can be made
  // Without an eventfd when none can be made (the process is out of
  // descriptors); Ready() tries again.
  explicit Wakeup(std::nothrow_t);
  // True once the eventfd exists, making it when it does not yet.
  [[nodiscard]] bool Ready();
  void Raise();
  void Clear();
  // Blocks until Raise() (returns at once when raised already).
  void WaitRaised() const;
  [[nodiscard]] int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};

}  // namespace vork::link
