// kelvra-grab FILE.png: saves the whole screen of the X display in $DISPLAY
// as a PNG (used under Xvfb to picture the window). Exit status 1 on failure.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kelvra-grab FILE.png\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr || !screen->grabWindow(0).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "kelvra-grab: cannot grab the screen\n");
    return 1;
  }
  return 0;
}
