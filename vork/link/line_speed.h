// Arbitrary baud rates through termios2. Kept in its own translation unit:
// the kernel's termbits header clashes with the C library's termios.h.
#pragma once

namespace vork::link {

// Sets input and output speed of the terminal on fd to baud bits per second.
[[nodiscard]] bool SetLineSpeed(int fd, int baud);

}  // namespace vork::link
