// The path field of a request: u8 n, then the n bytes of the path in the
// system code page, no terminator.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>

#include "code_page.h"

namespace vork::api {

// Room for the field and up to 4 bytes that follow it.
using PathFieldBuffer = std::array<std::byte, 1 + kMaxPathBytes + 4>;

// Writes the field for a wide path into out; its length (1 + n), or nothing
// when the path is null or longer than 255 bytes in the code page.
[[nodiscard]] std::optional<std::size_t> BuildPathField(const char16_t* path,
                                                        std::span<std::byte> out);

// Calls f(wide) with an 8-bit text widened, or returns failure when it
// cannot be widened (null, or longer than 255 characters).
template <typename F>
auto WithWidened(const char* text, decltype(std::declval<F>()(nullptr)) failure, F&& f) {
  const auto wide = Widen(text);
  return wide ? f(wide->data()) : failure;
}

}  // namespace vork::api
