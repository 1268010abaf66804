// A virtual serial device: a pseudo-terminal pair, optionally published under
// a path of the user's choice.
//
// The near end (the slave, e.g. /dev/pts/7) is what a program opens as its
// serial port; the far end (the master) is where the relay reads what that
// program sends and writes what it receives. The device keeps a descriptor of
// the near end open for its whole life, in raw mode without echo, so programs
// may close and reopen the near end at any time: the far end never sees a
// hang-up, and settings made by one program stay for the next.
//
// Bytes written to the far end while no program has the near end open wait
// in the terminal's input queue for the next program, which normally empties
// it when it configures the port.
//
// Publishing: the link path becomes a symbolic link to the near end, made
// atomically; an existing symbolic link there is replaced (left over from an
// earlier run), any other file is refused. The link is removed when the
// device goes, unless it no longer points to this device.
#pragma once

#include <string>

#include "unique_fd.h"

namespace vork::linesim {

class VirtualDevice {
 public:
  // Makes the pair and the link (none when link_path is empty). Throws
  // std::system_error when either cannot be made; nothing is left behind.
  explicit VirtualDevice(const std::string& link_path);
  ~VirtualDevice();
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  // The path programs should open: the link when there is one, else the near end.
  [[nodiscard]] const std::string& path() const { return link_path_.empty() ? device_ : link_path_; }
  // The near end itself (/dev/pts/N).
  [[nodiscard]] const std::string& device() const { return device_; }
  // The far end, non-blocking, owned by the device.
  [[nodiscard]] int far_end() const { return master_.get(); }

  // Ends an exclusive hold (TIOCEXCL) on the near end. A program that takes
  // the port exclusively and dies without releasing it would otherwise keep
  // every later open (except root's) out, because this device keeps the
  // terminal alive. Returns false when the terminal refused. Any thread.
  bool ReleaseExclusive() const;

 private:
  link::UniqueFd master_;
  link::UniqueFd near_keeper_;
  std::string device_;
  std::string link_path_;
};

}  // namespace vork::linesim
