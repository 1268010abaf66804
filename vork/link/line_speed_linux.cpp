#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "line_speed.h"

namespace vork::link {

bool SetLineSpeed(int fd, int baud) {
  if (baud <= 0) return false;
  termios2 tio{};
  if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = static_cast<speed_t>(baud);
  tio.c_ospeed = static_cast<speed_t>(baud);
  return ::ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace vork::link
