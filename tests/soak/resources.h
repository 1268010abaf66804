#pragma once
// Descriptors and threads of this process, to show that nothing is left
// behind once the link is closed.

#include <cstddef>
#include <ostream>

namespace vork::soak {

struct Resources {
  std::size_t descriptors = 0;
  std::size_t threads = 0;
  friend bool operator==(const Resources&, const Resources&) = default;
};

std::ostream& operator<<(std::ostream& out, const Resources& r);

// The counts to compare with later. A runtime that starts a helper thread
// of its own with the process's first thread (ThreadSanitizer does) has
// started it by then.
Resources Baseline();

Resources Now();

// Now(), once it equals `expected` or after 3 s: an ended thread leaves
// /proc/self/task a moment later.
Resources Settled(const Resources& expected);

}  // namespace vork::soak
