#include "CodePage.h"

#include "code_page.h"

namespace kelvra {

std::string ToCodePage(const QString& text) {
  return vork::api::ToCodePage(
      std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                          static_cast<std::size_t>(text.size())));
}

QString FromCodePage(std::string_view bytes) {
  const std::u16string wide = vork::api::FromCodePage(bytes);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

}  // namespace kelvra
