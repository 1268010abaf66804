// The main window: controls, settings handlers, the listening port and the
// one-key trigger.
//
// Model: TFormRpc builds its controls, reads or creates setup.ini and listens
// on COM<n> with its own serial port. When the bytes it has collected end
// with "#", it answers "ok", closes the port and hands the request to a
// transfer job (RpcThread.h), which reports back through a JobBridge; when
// the job's end-of-job notice arrives the window listens again. Everything
// here runs on the GUI thread, including the fixed pauses around closing
// the listening port (300 ms before and after), during which the window does
// not respond.
//
// The services that need a person or the platform (folder picker, error
// report, starting a worker thread) come in through FormServices, so that
// tests can stand in for them.
#pragma once

#include "RequestCollector.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "JobBridge.h"
#include "RpcThread.h"
#include "uRpc.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPushButton;
class QSerialPort;
class QStatusBar;

namespace kelvra {

class ClickLabel;

// One change of the status list or the status panel.
enum class StatusEvent { kLineAdded, kLastLineReplaced, kListCleared, kPanelText };

struct FormServices {
  Locations locations;
  // Modal folder picker: the chosen folder without a trailing "/" (except
  // the root "/"), or nothing when cancelled. start may be empty.
  std::function<std::optional<QString>(QWidget* owner, const QString& title, const QString& start)>
      pick_folder;
  // The application's error report; returns when the user has seen it.
  std::function<void(QWidget* owner, const QString& message)> report_error;
  // Starts a transfer job; false when its thread cannot be created.
  std::function<bool(JobSpec job)> start_worker;
  // Told of every status change, in order, from start-up on (may be empty).
  std::function<void(StatusEvent event, const QString& text)> status_echo;
};

// The real program's services: QFileDialog, a message box (stderr on a
// platform without a screen), TRpcThread::Start.
[[nodiscard]] FormServices ProgramServices(const Locations& locations);

class TFormRpc : public QWidget, private JobWindow {
  Q_OBJECT

 public:
  // The trigger kind of "bytes have arrived".
  static constexpr quint16 kDataAvailableTrigger = 32257;

  // Builds the window and runs start-up; errors of start-up are reported
  // through services.report_error before this returns.
  explicit TFormRpc(FormServices services, QWidget* parent = nullptr);
  ~TFormRpc() override;

  [[nodiscard]] const Settings& settings() const { return settings_; }
  [[nodiscard]] bool RpcBusy() const { return rpc_busy_; }
  // Whether the listening port is open.
  [[nodiscard]] bool Listening() const;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  QWidget* BuildTitleBar();
  void WireHandlers();

  void FormCreate();
  void FormCloseQuery();
  void butUploadClick();
  void butDownloadClick();
  void cb_portChange(int index);
  void cb_BaudrateChange(int index);
  void cb_compressClick();
  void PM_NetSetClick();
  void LabNetSetClick();
  void ComPortTrigger(QSerialPort& CP, quint16 Msg, quint16 TriggerHandle, quint16 Data);
  void WaitOutBuffer(int count);

  bool OpenListenPort(int port, int baud);
  bool CloseListenPort();
  void BrowseFolder(QString& folder, QLineEdit& edit, const char* key, const QString& title);
  // Writes one value of section "Setting"; false (after the error report)
  // when it cannot be written.
  bool SaveSetting(const char* key, const QString& value);

  // JobWindow, reached through the bridge.
  void AddStatusLine(const QString& line) override;
  void ReplaceLastStatusLine(const QString& line) override;
  void SetStatusPanel(const QString& text) override;
  QString FolderText(Direction direction) override;
  void ListenAfterFailedStart() override;
  void WMRpcDone() override;

  FormServices services_;
  Settings settings_;
  std::unique_ptr<ProfileFile> ini_;  // from FormCreate to FormCloseQuery
  bool rpc_busy_ = false;
  bool closed_ = false;
  QString baud_text_;  // the baud box's text as last handled or set
  RequestCollector RequestText;  // bytes collected by the trigger
  std::shared_ptr<JobBridge> bridge_;

  // Controls, owned by their Qt parents.
  QWidget* sForm = nullptr;
  ClickLabel* LabNetSet = nullptr;
  QGroupBox* gbNetSet = nullptr;
  QLabel* Label3 = nullptr;
  QComboBox* cb_port = nullptr;
  QLabel* Label4 = nullptr;
  QComboBox* cb_Baudrate = nullptr;
  QCheckBox* cb_compress = nullptr;
  QListWidget* LBStatus = nullptr;
  QLabel* LabUpload = nullptr;
  QLineEdit* edtUpload = nullptr;
  QPushButton* butUpload = nullptr;
  QLabel* LabDownload = nullptr;
  QLineEdit* edtDownload = nullptr;
  QPushButton* butDownload = nullptr;
  QStatusBar* StatusBar = nullptr;
  QLabel* status_panel_ = nullptr;
  QMenu* PMenu = nullptr;
  QAction* PM_NetSet = nullptr;
  QAction* N1 = nullptr;
  QAction* N2 = nullptr;
  QSerialPort* ComPort = nullptr;

  void Echo(StatusEvent event, const QString& text) const {
    if (services_.status_echo)
      services_.status_echo(event, text);
  }
};

}  // namespace kelvra
