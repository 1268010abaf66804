// Text between Kelvra's window and the 8-bit world of Vork and setup.ini.
//
// Vork's own conversions (its system code page rule), so a folder typed into
// the window reaches the library as the bytes it expects. Any thread.
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
