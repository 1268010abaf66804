#include "ComPorts.h"

#include <cstdlib>
#include <string>

namespace kelvra {

std::optional<QString> ComDevicePath(int number) {
  const std::string variable = "VORK_COM" + std::to_string(number);
  if (const char* path = std::getenv(variable.c_str()); path != nullptr && *path != '\0') {
    return QString::fromLocal8Bit(path);
  }
  if (number <= 0)
    return std::nullopt;
  return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

}  // namespace kelvra
