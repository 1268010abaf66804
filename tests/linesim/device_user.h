// A program's side of a virtual serial device, as the tests drive it: opened
// like a serial port, non-blocking, with bounded waits.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "line_clock.h"
#include "unique_fd.h"

namespace vork::linesim::testing {

using std::chrono::milliseconds;

class DeviceUser {
 public:
  // Opens path read-write without making it a controlling terminal; throws
  // std::system_error when it cannot.
  explicit DeviceUser(const std::string& path);

  [[nodiscard]] int fd() const { return fd_.get(); }
  void Close() { fd_.reset(); }

  // Writes every byte unless `timeout` passes first; returns whether it did.
  bool WriteAll(std::span<const std::byte> bytes, milliseconds timeout) const;

  // One read as the bytes arrive: how many came and when.
  struct Arrival {
    TimePoint at;
    std::size_t count;
  };
  // Reads until `count` bytes came or `timeout` passed; returns what came.
  // With `arrivals`, notes every read.
  std::vector<std::byte> Read(std::size_t count, milliseconds timeout,
                              std::vector<Arrival>* arrivals = nullptr) const;

  // Empties the device's input queue (what arrived while nobody listened).
  void DiscardInput() const;

 private:
  link::UniqueFd fd_;
};

// Reproducible test data.
std::vector<std::byte> RandomBytes(std::size_t count, std::uint32_t seed);

}  // namespace vork::linesim::testing
