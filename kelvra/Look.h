// The window's deep-blue look, as one Qt style sheet for TFormRpc and its
// children (the popup menu included).
#pragma once

#include <QString>

namespace kelvra {

[[nodiscard]] QString DeepBlueStyleSheet();

}  // namespace kelvra
