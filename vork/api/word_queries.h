// The two shapes most calls share: a request naming a handle, or a path
// field (with an optional u32 behind it), answered by one u32.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "exchange.h"

namespace vork::api {

[[nodiscard]] std::array<std::byte, 4> U32Bytes(std::uint32_t value);

// Payload: the handle. Accepts exactly 4 bytes; the u32, or nothing.
[[nodiscard]] std::optional<std::uint32_t> HandleQuery(link::CallContext& ctx, link::Command code,
                                                       std::uint32_t handle);

// Payload: the path field, then `value` when given. Accepts exactly 4
// bytes; the u32, or nothing (also when the path is refused: nothing sent).
[[nodiscard]] std::optional<std::uint32_t> PathQuery(
    link::CallContext& ctx, link::Command code, const char16_t* path,
    std::optional<std::uint32_t> value = std::nullopt);

// The terminal's word as the export returns it, or the call's failure value.
[[nodiscard]] inline std::int32_t AsResult(std::optional<std::uint32_t> word,
                                           std::int32_t failure) {
  return word ? static_cast<std::int32_t>(*word) : failure;
}

}  // namespace vork::api
