// Text between Kelvra's window and the 8-bit world of Vork and setup.ini.
//
// The system code page is the character set of the locale that the
// environment names (LC_ALL, then LC_CTYPE, then LANG), UTF-8 when that is C,
// POSIX or unset: the same rule as Vork's, so a folder typed into the window
// reaches the library as the bytes it expects. Looked up at every call; any
// thread.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace kelvra {

// Characters the code page cannot represent become '?'.
[[nodiscard]] std::string ToCodePage(const QString& text);
// Bytes that are not valid in the code page become U+FFFD.
[[nodiscard]] QString FromCodePage(std::string_view bytes);

}  // namespace kelvra
