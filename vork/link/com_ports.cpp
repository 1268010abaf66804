#include "com_ports.h"

#include <cstdlib>

namespace vork::link {

std::optional<std::string> ComDevicePath(int number) {
  const std::string variable = "VORK_COM" + std::to_string(number);
  if (const char* path = std::getenv(variable.c_str()); path != nullptr) {
    return std::string(path);
  }
  if (number <= 0) return std::nullopt;
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace vork::link
