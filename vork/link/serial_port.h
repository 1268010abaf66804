// The serial device: the one place that knows POSIX terminals.
//
// A SerialPort owns one open device. Open() takes it exclusively: a second
// Open() of the same device fails while this one holds it, for root as well
// (an advisory lock); other programs are kept out by TIOCEXCL unless root.
// Configure() makes it raw 8N1 at a baud rate with no flow control and empties
// both queues. Reads never block; WaitReadable() and WriteAll() block with a
// bound and can be cut short from another thread through a Wakeup.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "signals.h"
#include "unique_fd.h"

namespace vork::link {

class SerialPort {
 public:
  enum class OpenError { kNone, kNoDevice, kBusy, kIo };
  enum class WaitResult { kReady, kTimeout, kWoken, kHangup };

  SerialPort() = default;
  // Opens the device exclusively, non-blocking, without making it the
  // controlling terminal. On failure the port is invalid and error says why.
  static SerialPort Open(const std::string& path, OpenError& error);
  // Takes over a descriptor that is already open (the far end of a
  // pseudo-terminal, say); it is made non-blocking.
  static SerialPort Adopt(UniqueFd fd);

  [[nodiscard]] bool valid() const { return fd_.valid(); }
  [[nodiscard]] int fd() const { return fd_.get(); }

  // Raw 8N1 at baud, no flow control, DTR and RTS on where the device has
  // them, both queues flushed. False when the device refuses any of it (the
  // port stays open). baud must be positive.
  [[nodiscard]] bool Configure(int baud);

  // Waits until bytes can be read, the wake-up is raised or the time is up
  // (no timeout: wait without bound). kHangup: the device is gone.
  WaitResult WaitReadable(std::optional<std::chrono::milliseconds> timeout,
                          const Wakeup& wake) const;
  // Reads what has arrived, at most into.size() bytes, without blocking.
  // Returns the count (0: nothing there), or -1 when the device failed.
  ssize_t ReadSome(std::span<std::byte> into) const;
  // Writes every byte unless the deadline passes, the wake-up is raised or
  // the device fails.
  [[nodiscard]] bool WriteAll(std::span<const std::byte> bytes,
                              std::chrono::steady_clock::time_point deadline,
                              const Wakeup& wake) const;
  // Blocks until the bytes written have left (tcdrain); a no-op elsewhere.
  void Drain() const;

  void Close();
  // Hands the descriptor over; the exclusive hold goes with it.
  UniqueFd Release() { return std::move(fd_); }

 private:
  explicit SerialPort(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace vork::link
