#pragma once
// Command-line lists such as "flip,drop" or "1e-6,1e-5": empty items skipped.

#include <sstream>
#include <string>
#include <vector>

namespace vork::soak {

inline std::vector<std::string> SplitCommaList(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

}  // namespace vork::soak
