// Text between the caller's strings and the wire.
//
// The system code page is the character set of the locale that the
// environment names (LC_ALL, then LC_CTYPE, then LANG), UTF-8 when that is
// C, POSIX or unset; it is looked up at every conversion. Wide strings are
// UTF-16. Characters the code page cannot represent become '?'; bytes that
// are not valid in the code page become U+FFFD when widened.
//
// Limits are refusals, never cuts: a cut path names another file.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vork::api {

inline constexpr std::size_t kWideBufferChars = 256;  // an 8-bit form's wide buffer
inline constexpr std::size_t kMaxPathBytes = 255;     // the wire's one-byte path length
inline constexpr std::size_t kMaxTextBytes = 259;     // a converted text, terminator aside

using WideBuffer = std::array<char16_t, kWideBufferChars>;

// Name of the system code page, as iconv knows it.
[[nodiscard]] std::string SystemCodePage();

// Converts text, up to its terminator, into out without a terminator.
// Returns the byte count, or nothing when text is null or its converted
// form is longer than out.size() bytes.
[[nodiscard]] std::optional<std::size_t> WideToCodePage(const char16_t* text, std::span<char> out);

// Widens an 8-bit text into a zeroed buffer, which keeps its terminator.
// Nothing when text is null or it widens to more than 255 characters.
[[nodiscard]] std::optional<WideBuffer> Widen(const char* text);

// The same conversions without a limit, for texts that are not paths (a
// folder shown in a window, a value in a settings file).
[[nodiscard]] std::string ToCodePage(std::u16string_view text);
[[nodiscard]] std::u16string FromCodePage(std::string_view bytes);

}  // namespace vork::api
