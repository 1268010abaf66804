#include "path_field.h"

namespace vork::api {

std::optional<std::size_t> BuildPathField(const char16_t* path, std::span<std::byte> out) {
  if (out.size() < 1 + kMaxPathBytes) return std::nullopt;
  const auto n = WideToCodePage(
      path, {reinterpret_cast<char*>(out.data() + 1), kMaxPathBytes});
  if (!n) return std::nullopt;
  out[0] = static_cast<std::byte>(*n);
  return 1 + *n;
}

}  // namespace vork::api
