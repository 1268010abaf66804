// Which device "COM<n>" is. Vork's link and Kelvra's listening port both
// use this, so both ends of the port hand-over open the same device.
#pragma once

#include <optional>
#include <string>

namespace vork::link {

// $VORK_COM<n> when set, even to nothing (read at every call), else
// /dev/ttyS<n-1>. COM0 and negative numbers have no default device.
[[nodiscard]] std::optional<std::string> ComDevicePath(int number);

}  // namespace vork::link
