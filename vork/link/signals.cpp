#include "signals.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <system_error>

namespace vork::link {

void ManualResetEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

void ManualResetEvent::Interrupt() {
  {
    std::lock_guard lock(mutex_);
    ++interrupts_;
  }
  changed_.notify_all();
}

std::uint64_t ManualResetEvent::InterruptTicket() const {
  std::lock_guard lock(mutex_);
  return interrupts_;
}

ManualResetEvent::WaitResult ManualResetEvent::WaitFor(std::chrono::milliseconds timeout,
                                                       std::uint64_t ticket) {
  std::unique_lock lock(mutex_);
  const bool woke = changed_.wait_for(lock, timeout, [&] { return set_ || interrupts_ != ticket; });
  if (set_) return WaitResult::kSignalled;
  return woke ? WaitResult::kInterrupted : WaitResult::kTimeout;
}

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!fd_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Wakeup::Wakeup(std::nothrow_t) : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool Wakeup::Ready() {
  if (!fd_) fd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  return static_cast<bool>(fd_);
}

void Wakeup::Raise() {
  const std::uint64_t one = 1;
  // A full counter already wakes every poller; nothing to do on EAGAIN.
  [[maybe_unused]] auto written = ::write(fd_.get(), &one, sizeof one);
}

void Wakeup::Clear() {
  std::uint64_t value = 0;
  [[maybe_unused]] auto got = ::read(fd_.get(), &value, sizeof value);
}

void Wakeup::WaitRaised() const {
  pollfd raised = {fd_.get(), POLLIN, 0};
  while (::poll(&raised, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace vork::link
