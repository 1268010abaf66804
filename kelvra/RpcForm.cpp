#include "RpcForm.h"

#include <poll.h>

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSerialPort>
#include <QStatusBar>
#include <QThread>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <utility>

#include "CodePage.h"
#include "com_ports.h"
#include "Look.h"
#include "vork.h"

namespace kelvra {

// A label that acts on a click (the settings label).
class ClickLabel : public QLabel {
 public:
  using QLabel::QLabel;
  std::function<void()> on_click;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        on_click) {
      on_click();
    }
    QLabel::mouseReleaseEvent(event);
  }
};

namespace {

// Whether the device behind an open descriptor has gone.
bool DeviceHungUp(int fd) {
  pollfd state = {fd, POLLIN, 0};
  return ::poll(&state, 1, 0) == 1 && (state.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}


const QString kCaption = QStringLiteral("QMT-RPC Zentap-Communication");
// The maker's notice in the third panel of the status bar.
const QString kNotice = QStringLiteral("©Zentap");

constexpr int kInputBufferBytes = 40960;
constexpr qint64 kOutputBufferBytes = 4096;
constexpr unsigned long kClosePauseMs = 300;
constexpr int kReplyWriteTimeoutMs = 1000;

// The frame's title bar moves the window, since the window has no other.
class TitleBar : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && window()->windowHandle() != nullptr) {
      window()->windowHandle()->startSystemMove();
    }
    QWidget::mousePressEvent(event);
  }
};

template <typename W, typename... Args>
W* Place(QWidget* parent, const char* name, QRect geometry, Args&&... args) {
  auto* widget = new W(std::forward<Args>(args)..., parent);
  widget->setObjectName(QLatin1String(name));
  widget->setGeometry(geometry);
  return widget;
}

void Paint(QLabel& label, const char* colour) {
  label.setStyleSheet(QStringLiteral("color: %1;").arg(QLatin1String(colour)));
}

}  // namespace

FormServices ProgramServices(const Locations& locations) {
  FormServices services;
  services.locations = locations;
  services.pick_folder = [](QWidget* owner, const QString& title,
                            const QString& start) -> std::optional<QString> {
    QString chosen =
        QFileDialog::getExistingDirectory(owner, title, start, QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
      return std::nullopt;
    while (chosen.size() > 1 && chosen.endsWith(QLatin1Char('/')))
      chosen.chop(1);
    return chosen;
  };
  services.report_error = [](QWidget* owner, const QString& message) {
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
      // Nobody could close a box on a platform without a screen.
      std::fprintf(stderr, "kelvra: %s\n", message.toLocal8Bit().constData());
      std::fflush(stderr);
      return;
    }
    QMessageBox::critical(owner, QCoreApplication::applicationName(), message);
  };
  services.start_worker = [](JobSpec job) { return TRpcThread::Start(std::move(job)); };
  return services;
}

TFormRpc::TFormRpc(FormServices services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint),
      services_(std::move(services)) {
  bridge_ = JobBridge::Create(this, this);
  BuildControls();
  WireHandlers();
  FormCreate();
}

TFormRpc::~TFormRpc() {
  // The base class destructor hides the controls, and a focused box would
  // run its handler on members already gone.
  for (QObject* control : findChildren<QObject*>()) control->disconnect(this);
  if (!closed_) {
    // Destroyed without being closed: no job may reach this window any more,
    // and a running job's link is closed under it.
    bridge_->Detach();
    if (rpc_busy_)
      QMT_VorkUninit();
  }
}

bool TFormRpc::Listening() const {
  return ComPort->isOpen();
}

// ---- Building -----------------------------------------------------------------

void TFormRpc::BuildControls() {
  setObjectName(QStringLiteral("FormRpc"));
  setAttribute(Qt::WA_StyledBackground);
  setWindowTitle(kCaption);
  setFixedSize(527, 308);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }

  sForm = Place<QFrame>(this, "sForm", {1, 0, 517, 280});
  BuildTitleBar();

  LabNetSet = Place<ClickLabel>(sForm, "LabNetSet", {25, 33, 161, 19},
                                QStringLiteral("Communication Setup"));
  LabNetSet->setCursor(Qt::PointingHandCursor);
  Paint(*LabNetSet, "#ff0000");

  gbNetSet = Place<QGroupBox>(sForm, "gbNetSet", {23, 48, 196, 107});
  Label3 = Place<QLabel>(gbNetSet, "Label3", {19, 22, 64, 16}, QStringLiteral("ComPort:"));
  cb_port = Place<QComboBox>(gbNetSet, "cb_port", {97, 18, 80, 24});
  cb_port->addItems({QStringLiteral("COM1"), QStringLiteral("COM2"), QStringLiteral("COM3"),
                     QStringLiteral("COM4")});
  Label4 = Place<QLabel>(gbNetSet, "Label4", {18, 53, 72, 16}, QStringLiteral("BaudRate:"));
  cb_Baudrate = Place<QComboBox>(gbNetSet, "cb_Baudrate", {98, 49, 79, 24});
  cb_Baudrate->setEditable(true);
  cb_Baudrate->setInsertPolicy(QComboBox::NoInsert);
  // No inline completion: the box would show an item the text does not select.
  cb_Baudrate->setCompleter(nullptr);
  cb_Baudrate->addItems({QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
                         QStringLiteral("57600"), QStringLiteral("115200")});
  cb_Baudrate->setCurrentIndex(4);
  cb_compress = Place<QCheckBox>(gbNetSet, "cb_compress", {20, 79, 133, 22},
                                 QStringLiteral(" ComPress Link"));

  LBStatus = Place<QListWidget>(sForm, "LBStatus", {232, 54, 261, 100});
  LabUpload = Place<QLabel>(sForm, "LabUpload", {23, 161, 122, 13}, QStringLiteral("Upload Path:"));
  // The boxes' own text until start-up fills them.
  edtUpload = Place<QLineEdit>(sForm, "edtUpload", {24, 181, 394, 19}, QStringLiteral("/"));
  butUpload = Place<QPushButton>(sForm, "butUpload", {432, 179, 64, 22}, QStringLiteral("Brow"));
  LabDownload =
      Place<QLabel>(sForm, "LabDownload", {23, 213, 114, 13}, QStringLiteral("Download Path:"));
  edtDownload = Place<QLineEdit>(sForm, "edtDownload", {24, 228, 394, 19}, QStringLiteral("/"));
  butDownload =
      Place<QPushButton>(sForm, "butDownload", {432, 226, 64, 22}, QStringLiteral("Brow"));

  StatusBar = Place<QStatusBar>(sForm, "StatusBar", {0, 261, 517, 19});
  StatusBar->setSizeGripEnabled(false);
  const std::pair<const char*, int> panels[] = {
      {"StatusBarPanel0", 80}, {"StatusBarPanel1", 122}, {"StatusBarPanel2", 50}};
  const QString texts[] = {QStringLiteral("Status："), QStringLiteral("Idlesse"), kNotice};
  for (int i = 0; i < 3; ++i) {
    auto* panel = new QLabel(texts[i], StatusBar);
    panel->setObjectName(QLatin1String(panels[i].first));
    panel->setFixedWidth(panels[i].second);
    StatusBar->addWidget(panel);
    if (i == 1)
      status_panel_ = panel;
  }

  PMenu = new QMenu(this);
  PMenu->setObjectName(QStringLiteral("PMenu"));
  PM_NetSet = PMenu->addAction(QStringLiteral("通讯设置"));
  PM_NetSet->setObjectName(QStringLiteral("PM_NetSet"));
  PM_NetSet->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  PM_NetSet->setCheckable(true);
  N1 = PMenu->addSeparator();
  N1->setObjectName(QStringLiteral("N1"));
  N2 = PMenu->addAction(QStringLiteral("退出"));
  N2->setObjectName(QStringLiteral("N2"));
  addAction(PM_NetSet);  // Ctrl+S works while the menu is closed

  ComPort = new QSerialPort(this);
  ComPort->setObjectName(QStringLiteral("ComPort"));
  ComPort->setReadBufferSize(kInputBufferBytes);
  ComPort->setPortName(QStringLiteral("COM1"));
  ComPort->setBaudRate(115200);

  setStyleSheet(DeepBlueStyleSheet());
}

QWidget* TFormRpc::BuildTitleBar() {
  auto* bar = Place<TitleBar>(sForm, "sFormTitleBar", {2, 2, 513, 26});
  bar->setAttribute(Qt::WA_StyledBackground);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(4, 0, 4, 0);
  layout->setSpacing(2);

  auto* control_box = new QToolButton(bar);
  control_box->setObjectName(QStringLiteral("sFormControlBox"));
  control_box->setText(QStringLiteral("≡"));
  control_box->setFixedSize(22, 20);
  connect(control_box, &QToolButton::clicked, this, [this, control_box] {
    PMenu->popup(control_box->mapToGlobal(QPoint(0, control_box->height())));
  });
  auto* caption = new QLabel(kCaption, bar);
  caption->setObjectName(QStringLiteral("sFormCaption"));
  auto* minimise = new QToolButton(bar);
  minimise->setObjectName(QStringLiteral("sFormMinimize"));
  minimise->setText(QStringLiteral("_"));
  minimise->setFixedSize(22, 20);
  connect(minimise, &QToolButton::clicked, this, &QWidget::showMinimized);
  auto* close_button = new QToolButton(bar);
  close_button->setObjectName(QStringLiteral("sFormClose"));
  close_button->setText(QStringLiteral("×"));
  close_button->setFixedSize(22, 20);
  connect(close_button, &QToolButton::clicked, this, &QWidget::close);

  layout->addWidget(control_box);
  layout->addWidget(caption, 1);
  layout->addWidget(minimise);
  layout->addWidget(close_button);
  return bar;
}

void TFormRpc::WireHandlers() {
  connect(butUpload, &QPushButton::clicked, this, &TFormRpc::butUploadClick);
  connect(butDownload, &QPushButton::clicked, this, &TFormRpc::butDownloadClick);
  // User actions only: start-up fills the boxes without running handlers.
  connect(cb_port, &QComboBox::activated, this, &TFormRpc::cb_portChange);
  // A change is a pick from the list that changes the text, or a keystroke.
  // Enter and leaving the box make the combo box report its text once more
  // as a pick; that is no change.
  connect(cb_Baudrate, &QComboBox::activated, this, [this](int index) {
    if (cb_Baudrate->itemText(index) == baud_text_) return;
    baud_text_ = cb_Baudrate->itemText(index);
    cb_BaudrateChange(index);
  });
  connect(cb_Baudrate->lineEdit(), &QLineEdit::textEdited, this, [this](const QString& text) {
    // Typed text selects the item it spells exactly, if any.
    const int index = cb_Baudrate->findText(text, Qt::MatchExactly);
    baud_text_ = text;
    {
      // Selecting (or unselecting) the item rewrites the text; put it and
      // the cursor back as typed.
      const QSignalBlocker quiet(cb_Baudrate);
      const int cursor = cb_Baudrate->lineEdit()->cursorPosition();
      cb_Baudrate->setCurrentIndex(index);
      cb_Baudrate->setEditText(text);
      cb_Baudrate->lineEdit()->setCursorPosition(cursor);
    }
    cb_BaudrateChange(index);
  });
  connect(cb_compress, &QCheckBox::clicked, this, &TFormRpc::cb_compressClick);
  connect(PM_NetSet, &QAction::triggered, this, &TFormRpc::PM_NetSetClick);
  connect(N2, &QAction::triggered, this, &QWidget::close);
  LabNetSet->on_click = [this] { LabNetSetClick(); };

  sForm->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(sForm, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { PMenu->popup(sForm->mapToGlobal(at)); });

  // A device that goes away (an adapter pulled out) stays readable for ever,
  // each read finding nothing, and would keep the event loop spinning: stop
  // listening and say so; the next port or baud change tries again.
  connect(ComPort, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError error) {
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError) return;
    if (!ComPort->isOpen() || !DeviceHungUp(ComPort->handle())) return;
    ComPort->close();
    AddStatusLine(QStringLiteral("Can't Open Com") + QString::number(settings_.ComPort));
  });
  connect(ComPort, &QSerialPort::readyRead, this, [this] {
    const qint64 waiting = ComPort->bytesAvailable();
    ComPortTrigger(*ComPort, kDataAvailableTrigger, 0,
                   static_cast<quint16>(std::min<qint64>(waiting, 0xFFFF)));
  });
}

// ---- Start-up and close -----------------------------------------------------

void TFormRpc::FormCreate() {
  const Locations& where = services_.locations;
  settings_ = DefaultSettings(where);
  ini_ = std::make_unique<ProfileFile>(where.settings_file);
  try {
    if (ini_->Exists()) {
      ReadSettings(*ini_, settings_);
    } else {
      WriteInitialSettings(*ini_, settings_);
    }
    EnsureDir(settings_.UploadPath, true);
    EnsureDir(settings_.DownloadPath, true);
    rpc_busy_ = false;
    edtUpload->setText(settings_.UploadPath);
    edtDownload->setText(settings_.DownloadPath);
    const int port = settings_.ComPort;
    cb_port->setCurrentIndex(port >= 1 && port <= cb_port->count() ? port - 1 : -1);
    baud_text_ = QString::number(settings_.BaudRate);
    cb_Baudrate->setCurrentIndex(cb_Baudrate->findText(baud_text_, Qt::MatchExactly));
    cb_Baudrate->setEditText(baud_text_);
    cb_compress->setChecked(settings_.Compress);
    OpenListenPort(settings_.ComPort, settings_.BaudRate);
  } catch (const UserError& error) {
    services_.report_error(this, error.message());
  }
}

void TFormRpc::closeEvent(QCloseEvent* event) {
  FormCloseQuery();
  event->accept();
}

void TFormRpc::FormCloseQuery() {
  if (closed_)
    return;
  closed_ = true;
  // First cut the job off from the window, then close its link: a job that
  // opens the link after this sees the bridge detached and closes it again.
  bridge_->Detach();
  if (rpc_busy_)
    QMT_VorkUninit();
  ini_.reset();
  CloseListenPort();
}

// ---- Settings handlers -----------------------------------------------------------

bool TFormRpc::SaveSetting(const char* key, const QString& value) {
  if (!ini_)
    return false;
  try {
    WriteSetting(*ini_, key, value);
    return true;
  } catch (const UserError& error) {
    services_.report_error(this, error.message());
    return false;
  }
}

void TFormRpc::BrowseFolder(QString& folder, QLineEdit& edit, const char* key,
                            const QString& title) {
  if (!QFileInfo(folder).isDir())
    folder.clear();
  const auto chosen = services_.pick_folder(this, title, folder);
  if (!chosen)
    return;
  folder = *chosen;
  edit.setText(folder + QLatin1Char('/'));
  SaveSetting(key, folder + QLatin1Char('/'));
}

void TFormRpc::butUploadClick() {
  BrowseFolder(settings_.UploadPath, *edtUpload, "UploadPath",
               QStringLiteral("Please Select FileUpload Path："));
}

void TFormRpc::butDownloadClick() {
  BrowseFolder(settings_.DownloadPath, *edtDownload, "DownloadPath",
               QStringLiteral("Please Select FileDownload Path："));
}

void TFormRpc::cb_portChange(int index) {
  if (!SaveSetting("ComPort", QString::number(index + 1)))
    return;
  if (rpc_busy_)
    return;  // applies from the next start or change
  settings_.ComPort = index + 1;
  OpenListenPort(settings_.ComPort, settings_.BaudRate);
}

void TFormRpc::cb_BaudrateChange(int index) {
  const QString item = index >= 0 ? cb_Baudrate->itemText(index) : QString();
  const auto baud = ParseInteger(ToCodePage(item));
  if (!baud) {
    services_.report_error(this, QStringLiteral("'%1' is not a valid integer value").arg(item));
    return;
  }
  if (!SaveSetting("BaudRate", QString::number(*baud)))
    return;
  if (rpc_busy_)
    return;
  settings_.BaudRate = *baud;
  OpenListenPort(settings_.ComPort, settings_.BaudRate);
}

void TFormRpc::cb_compressClick() {
  // Saved only: jobs keep the value read at start-up.
  SaveSetting("ComPress", cb_compress->isChecked() ? QStringLiteral("1") : QStringLiteral("0"));
}

void TFormRpc::PM_NetSetClick() {
  gbNetSet->setVisible(gbNetSet->isHidden());
  PM_NetSet->setChecked(!gbNetSet->isHidden());
  if (PM_NetSet->isChecked()) {
    LBStatus->setGeometry(232, 54, 259, 100);
    Paint(*LabNetSet, "#ff0000");
  } else {
    LBStatus->setGeometry(23, 54, 468, 100);
    Paint(*LabNetSet, "#0000ff");
  }
}

void TFormRpc::LabNetSetClick() {
  // The toggle is all: the frame needs no synthetic click to follow it.
  PM_NetSetClick();
}

// ---- Listening port and trigger -------------------------------------------------

bool TFormRpc::OpenListenPort(int port, int baud) {
  CloseListenPort();
  bool opened = false;
  if (const auto device = vork::link::ComDevicePath(port)) {
    ComPort->setPortName(QString::fromLocal8Bit(*device));
    opened =
        ComPort->setBaudRate(baud) && ComPort->setParity(QSerialPort::NoParity) &&
        ComPort->setDataBits(QSerialPort::Data8) && ComPort->setStopBits(QSerialPort::OneStop) &&
        ComPort->setFlowControl(QSerialPort::NoFlowControl) && ComPort->open(QIODevice::ReadWrite);
  }
  if (!opened) {
    AddStatusLine(QStringLiteral("Can't Open Com") + QString::number(settings_.ComPort));
    return false;
  }
  return ComPort->isOpen();
}

bool TFormRpc::CloseListenPort() {
  QThread::msleep(kClosePauseMs);
  if (ComPort->isOpen())
    ComPort->close();
  QThread::msleep(kClosePauseMs);
  return true;
}

void TFormRpc::WaitOutBuffer(int count) {
  // The pauses that follow keep the event loop from writing: hand the queued
  // bytes to the driver now, waiting (bounded) only if it will not take them.
  ComPort->flush();
  while (ComPort->isOpen() && kOutputBufferBytes - ComPort->bytesToWrite() < count) {
    if (!ComPort->waitForBytesWritten(kReplyWriteTimeoutMs))
      break;
  }
}

void TFormRpc::ComPortTrigger(QSerialPort& CP, quint16 Msg, quint16 /*TriggerHandle*/,
                              quint16 Data) {
  if (Msg != kDataAvailableTrigger)
    return;
  for (quint16 i = 0; i < Data; ++i) {
    char byte = 0;
    if (!CP.getChar(&byte))
      return;
    RequestText.Add(std::string_view(&byte, 1));
  }
  auto request = RequestText.TakeIfComplete();
  if (!request)
    return;

  rpc_busy_ = true;
  AddStatusLine(QStringLiteral("Received valid char. Starting....."));
  SetStatusPanel(QStringLiteral("Starting..."));
  if (CP.write("ok", 2) != 2) {
    // The terminal did not get its answer: drop the request and keep
    // listening rather than stay busy with the port open.
    rpc_busy_ = false;
    return;
  }
  WaitOutBuffer(2);
  CloseListenPort();

  // The job takes the request: the port stays closed until it is done, so
  // nothing is collected meanwhile.
  JobSpec job{settings_.ComPort, settings_.BaudRate, settings_.Compress, *std::move(request),
              bridge_};
  if (!services_.start_worker(std::move(job))) {
    AddStatusLine(QStringLiteral("Create RPC Thread Fail."));
    // Listen again: without a job nothing else would ever reopen the port.
    OpenListenPort(settings_.ComPort, settings_.BaudRate);
    rpc_busy_ = false;
  }
}

// ---- What a job asks of the window ------------------------------------------

void TFormRpc::AddStatusLine(const QString& line) {
  LBStatus->addItem(line);
  LBStatus->scrollToBottom();
  Echo(StatusEvent::kLineAdded, line);
}

void TFormRpc::ReplaceLastStatusLine(const QString& line) {
  if (LBStatus->count() == 0)
    return;
  LBStatus->item(LBStatus->count() - 1)->setText(line);
  Echo(StatusEvent::kLastLineReplaced, line);
}

void TFormRpc::SetStatusPanel(const QString& text) {
  status_panel_->setText(text);
  Echo(StatusEvent::kPanelText, text);
}

QString TFormRpc::FolderText(Direction direction) {
  return direction == Direction::kUpload ? edtUpload->text() : edtDownload->text();
}

void TFormRpc::ListenAfterFailedStart() {
  OpenListenPort(settings_.ComPort, settings_.BaudRate);
  rpc_busy_ = false;
}

void TFormRpc::WMRpcDone() {
  OpenListenPort(settings_.ComPort, settings_.BaudRate);
  rpc_busy_ = false;
  LBStatus->clear();
  Echo(StatusEvent::kListCleared, {});
  SetStatusPanel(QStringLiteral("Idlesse"));
}

}  // namespace kelvra
