// A virtual serial device: a pseudo-terminal pair whose far end (the master)
// plays the other side of the cable.
//
// The near end (the slave device, e.g. /dev/pts/7) is what a program opens as
// its serial port. The pair keeps one descriptor of the near end open itself,
// in raw mode, so the program may close and reopen the device at will: the
// far end never sees a hang-up and nothing is echoed while nobody listens.
#pragma once

#include <string>

#include "unique_fd.h"

namespace vork::tools {

class PseudoTerminal {
 public:
  // Throws std::system_error when no pair can be made.
  PseudoTerminal();

  // Path of the near end, for the program under test.
  [[nodiscard]] const std::string& device() const { return device_; }
  // The far end, non-blocking. Owned by the pair.
  [[nodiscard]] int far_end() const { return master_.get(); }
  // Hands the far end over (the pair still keeps the near end alive).
  link::UniqueFd TakeFarEnd() { return std::move(master_); }

 private:
  link::UniqueFd master_;
  link::UniqueFd slave_keeper_;
  std::string device_;
};

}  // namespace vork::tools
