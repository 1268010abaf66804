// Which device "COM<n>" is, for Kelvra's listening port: the same mapping as
// Vork's, so both ends of the hand-over open one device.
#pragma once

#include <QString>
#include <optional>

namespace kelvra {

// $VORK_COM<n> when it is set and not empty (read at every call), else
// /dev/ttyS<n-1>; COM0 and negative numbers have no default device.
[[nodiscard]] std::optional<QString> ComDevicePath(int number);

}  // namespace kelvra
