// Kelvra: the program body. One window, no command-line options.
//
// Without a display (no DISPLAY, no WAYLAND_DISPLAY, no QT_QPA_PLATFORM) the
// window runs on Qt's offscreen platform; then, or when KELVRA_ECHO=1, every
// status change is echoed on stdout. SIGINT, SIGTERM and SIGHUP close the
// window as its close button does.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "RpcForm.h"
#include "RpcThread.h"

namespace {

using kelvra::StatusEvent;

int signal_write_fd = -1;

void OnSignal(int /*signal*/) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(signal_write_fd, &byte, 1);
  errno = saved;
}

// Turns the termination signals into a close of the window, on the GUI
// thread, through a pipe (the only thing a handler may safely do).
class CloseOnSignal {
 public:
  explicit CloseOnSignal(QWidget& window) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
      return;
    signal_write_fd = fds_[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds_[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, &window, [this, &window] {
      char drain[16];
      while (::read(fds_[0], drain, sizeof drain) > 0) {
      }
      window.close();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
      ::sigaction(s, &action, nullptr);
  }
  CloseOnSignal(const CloseOnSignal&) = delete;
  CloseOnSignal& operator=(const CloseOnSignal&) = delete;
  ~CloseOnSignal() {
    for (int s : {SIGINT, SIGTERM, SIGHUP})
      ::signal(s, SIG_DFL);
    notifier_.reset();
    signal_write_fd = -1;
    for (int fd : fds_) {
      if (fd >= 0)
        ::close(fd);
    }
  }

 private:
  int fds_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
};

void EchoStatus(StatusEvent event, const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  switch (event) {
    case StatusEvent::kLineAdded:
      std::printf("kelvra: + %s\n", bytes.constData());
      break;
    case StatusEvent::kLastLineReplaced:
      std::printf("kelvra: ~ %s\n", bytes.constData());
      break;
    case StatusEvent::kListCleared:
      std::printf("kelvra: (status list cleared)\n");
      break;
    case StatusEvent::kPanelText:
      std::printf("kelvra: [%s]\n", bytes.constData());
      break;
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  // The application title: the task-bar entry and the caption of error boxes.
  QCoreApplication::setApplicationName(QStringLiteral("QMT-RPC ZentapCommunication"));

  const bool echo = QGuiApplication::platformName() == QLatin1String("offscreen") ||
                    qEnvironmentVariable("KELVRA_ECHO") == QLatin1String("1");
  const kelvra::Locations where =
      kelvra::ResolveLocations(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
  kelvra::FormServices services = kelvra::ProgramServices(where);
  if (echo)
    services.status_echo = EchoStatus;

  int result = 0;
  {
    kelvra::TFormRpc form(std::move(services));
    if (echo) {
      std::printf("kelvra: settings in %s\n", where.settings_file.toLocal8Bit().constData());
      std::printf("kelvra: %s COM%d at %d baud\n",
                  form.Listening() ? "listening on" : "not listening on", form.settings().ComPort,
                  form.settings().BaudRate);
      std::fflush(stdout);
    }
    CloseOnSignal close_on_signal(form);
    form.show();
    result = QApplication::exec();

    if (kelvra::TRpcThread::LiveCount() > 0) {
      // A job outlived the window: it may be inside Vork, whose state, like
      // the window's, would be torn down under it by a normal exit. The
      // window has closed Vork's link and setup.ini is written at once, so
      // nothing is left to save; end here without running destructors.
      std::fflush(nullptr);
      std::_Exit(result);
    }
  }
  return result;
}
