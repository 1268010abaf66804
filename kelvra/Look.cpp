#include "Look.h"

namespace kelvra {

QString DeepBlueStyleSheet() {
  // Deep-blue frame and title bar, a pale body so the red and blue of the
  // settings label stay readable.
  return QStringLiteral(R"(
#FormRpc { background: #0b2a6f; }
#sForm { background: #dbe4f4; border: 2px solid #0b2a6f; }
#sFormTitleBar {
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4a7bd8, stop:0.5 #1f4fae, stop:1 #0b2a6f);
}
#sFormCaption { color: white; font-weight: bold; }
#sFormTitleBar QToolButton {
  color: white; background: transparent; border: 1px solid transparent; border-radius: 3px;
  font-weight: bold;
}
#sFormTitleBar QToolButton:hover { background: #5f8ee6; border-color: #a9c3f2; }
#sFormTitleBar QToolButton::menu-indicator { image: none; }
QGroupBox#gbNetSet { background: #e8eefa; border: 1px solid #4a6fb8; border-radius: 3px; }
QListWidget#LBStatus { background: white; border: 1px solid #0b2a6f; color: #0b2a6f; }
QLineEdit { background: white; border: 1px solid #4a6fb8; color: black; padding: 0 2px; }
QComboBox { background: white; border: 1px solid #4a6fb8; color: black; padding: 0 4px; }
QComboBox QAbstractItemView { background: white; selection-background-color: #1f4fae; }
QPushButton {
  color: white; border: 1px solid #0b2a6f; border-radius: 3px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #6b95e6, stop:1 #1f4fae);
}
QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #86aaf0, stop:1 #2c5fc4); }
QPushButton:pressed { background: #0b2a6f; }
QStatusBar#StatusBar { background: #0b2a6f; }
QStatusBar#StatusBar QLabel { color: white; padding-left: 3px; }
QStatusBar#StatusBar::item { border: 1px solid #4a6fb8; }
QLabel#StatusBarPanel2 { padding-left: 1px; font-size: 7pt; }
QMenu { background: #e8eefa; border: 1px solid #0b2a6f; color: #0b2a6f; }
QMenu::item:selected { background: #1f4fae; color: white; }
QMenu::separator { height: 1px; background: #4a6fb8; margin: 3px 6px; }
)");
}

}  // namespace kelvra
