// The window's handlers: port, baud rate, compression, folder pickers, the
// settings-group toggle, and what the window looks like.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSerialPort>
#include <QStatusBar>
#include <QTest>

#include "harness.h"

namespace kelvra::testing {
namespace {

using vork::testing::Bytes;
using vork::testing::VirtualSerialPair;

class Handlers : public ::testing::Test {
 protected:
  void SetUp() override {
    k_.workers = Kelvra::Workers::kHold;
    k_.Start();
    ASSERT_TRUE(k_.form().Listening());
  }
  std::string Ini() const { return ReadText(k_.ini_path()); }
  bool IniHas(const std::string& line) const {
    return Ini().find("\n" + line + "\n") != std::string::npos;
  }
  // A user's choice in a drop-down list.
  static void Choose(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
  }
  // A complete request from the terminal: the window goes busy with a held job.
  void MakeBusy() {
    com1_.Send(Bytes({'@', 'a', '#'}));
    ASSERT_TRUE(PumpUntil([&] { return !k_.held_jobs.empty(); }, 2s));
    ASSERT_TRUE(k_.form().RpcBusy());
  }

  VirtualSerialPair com1_{1};
  VirtualSerialPair com3_{3};
  Kelvra k_;
};

TEST_F(Handlers, PortChangeReopensTheListeningPortWhenIdle) {
  Choose(k_.Control<QComboBox>("cb_port"), 2);
  EXPECT_TRUE(IniHas("ComPort=3"));
  EXPECT_EQ(k_.form().settings().ComPort, 3);
  ASSERT_TRUE(k_.form().Listening());
  com3_.Send(Bytes({'$', 'b', '#'}));
  ASSERT_TRUE(PumpUntil([&] { return !k_.held_jobs.empty(); }, 2s));
  EXPECT_EQ(k_.held_jobs[0].request, "$b#");
  EXPECT_EQ(k_.held_jobs[0].port, 3);
}

TEST_F(Handlers, PortChangeWhileBusyIsOnlySaved) {
  MakeBusy();
  Choose(k_.Control<QComboBox>("cb_port"), 2);
  EXPECT_TRUE(IniHas("ComPort=3"));
  EXPECT_EQ(k_.form().settings().ComPort, 1);
  EXPECT_FALSE(k_.form().Listening());  // left closed for the job
}

TEST_F(Handlers, BaudChangeWhileBusyIsOnlySaved) {
  MakeBusy();
  Choose(k_.Control<QComboBox>("cb_Baudrate"), 0);
  EXPECT_TRUE(IniHas("BaudRate=9600"));
  EXPECT_EQ(k_.form().settings().BaudRate, 115200);
  EXPECT_FALSE(k_.form().Listening());  // left closed for the job
}

// A port that cannot be opened is named in the status list, with the number
// it was opened by; the window stays up without a listening port.
TEST_F(Handlers, APortThatCannotBeOpenedIsNamed) {
  ::setenv("VORK_COM3", "/nonexistent/com3", 1);
  Choose(k_.Control<QComboBox>("cb_port"), 2);
  ::unsetenv("VORK_COM3");
  EXPECT_EQ(k_.status, std::vector<std::string>{"+ Can't Open Com3"});
  EXPECT_FALSE(k_.form().Listening());
  EXPECT_TRUE(k_.errors.empty());
}

TEST(StartUpPort, APortThatCannotBeOpenedAtStartIsNamed) {
  ::setenv("VORK_COM9", "/nonexistent/com9", 1);
  Kelvra k;
  k.workers = Kelvra::Workers::kHold;
  WriteText(k.ini_path(), "[Setting]\nComPort=9\n");
  k.Start();
  ::unsetenv("VORK_COM9");
  EXPECT_EQ(k.status, std::vector<std::string>{"+ Can't Open Com9"});
  EXPECT_FALSE(k.form().Listening());
  EXPECT_TRUE(k.errors.empty());
  EXPECT_EQ(k.Panel(), "Idlesse");
}

TEST_F(Handlers, AUnsavedPortChangeIsNotApplied) {
  std::filesystem::remove(k_.ini_path());
  std::filesystem::create_directory(k_.ini_path());  // setup.ini can no longer be written
  Choose(k_.Control<QComboBox>("cb_port"), 2);
  EXPECT_EQ(k_.errors, std::vector<std::string>{"Unable to write to " + k_.ini_path().string()});
  EXPECT_EQ(k_.form().settings().ComPort, 1);
  MakeBusy();  // still listening on COM1
  EXPECT_EQ(k_.held_jobs[0].port, 1);

  k_.Control<QCheckBox>("cb_compress")->click();
  EXPECT_EQ(k_.errors.size(), 2u);
}

TEST_F(Handlers, BaudChoiceIsSavedAndApplied) {
  Choose(k_.Control<QComboBox>("cb_Baudrate"), 0);
  EXPECT_TRUE(IniHas("BaudRate=9600"));
  EXPECT_EQ(k_.form().settings().BaudRate, 9600);
  EXPECT_TRUE(k_.form().Listening());
  EXPECT_EQ(k_.Control<QSerialPort>("ComPort")->baudRate(), 9600);
}

TEST_F(Handlers, TypedBaudTextThatSelectsNoItemIsAnError) {
  auto* edit = k_.Control<QComboBox>("cb_Baudrate")->lineEdit();
  edit->clear();
  QTest::keyClicks(edit, "4800");  // every keystroke is a change
  EXPECT_EQ(k_.errors, std::vector<std::string>(4, "'' is not a valid integer value"));
  EXPECT_TRUE(IniHas("BaudRate=115200"));
  EXPECT_EQ(k_.Control<QSerialPort>("ComPort")->baudRate(), 115200);

  edit->clear();
  QTest::keyClicks(edit, "9600");  // spells an item at the last keystroke
  EXPECT_TRUE(IniHas("BaudRate=9600"));
  EXPECT_EQ(k_.Control<QSerialPort>("ComPort")->baudRate(), 9600);
}

// Enter, or leaving the box, is no change of the baud box: its handler
// does not run. With setup.ini unwritable every run would say so.
TEST(BaudBox, EnterOrLeavingTheBoxIsNoChange) {
  VirtualSerialPair com1(1);
  Kelvra k;
  k.workers = Kelvra::Workers::kHold;
  WriteText(k.ini_path(), "[Setting]\nBaudRate=0x2580\n");  // an item, not the box's first pick
  k.Start();
  ASSERT_TRUE(k.errors.empty());
  std::filesystem::remove(k.ini_path());
  std::filesystem::create_directory(k.ini_path());
  auto* box = k.Control<QComboBox>("cb_Baudrate");
  auto* edit = box->lineEdit();
  auto leave = [&] {
    QFocusEvent out(QEvent::FocusOut, Qt::OtherFocusReason);
    QCoreApplication::sendEvent(edit, &out);
  };
  const std::string unwritable = "Unable to write to " + k.ini_path().string();

  QTest::keyClick(edit, Qt::Key_Return);
  leave();
  EXPECT_TRUE(k.errors.empty()) << k.errors.front();
  EXPECT_EQ(edit->text(), "9600");

  edit->clear();
  k.errors.clear();
  QTest::keyClicks(edit, "19200");  // an item at the last keystroke: one run that writes
  QTest::keyClick(edit, Qt::Key_Return);
  leave();
  const std::vector<std::string> typed(4, "'' is not a valid integer value");
  std::vector<std::string> expected = typed;
  expected.push_back(unwritable);
  EXPECT_EQ(k.errors, expected);
}

// Taken down without a close, the window hides its controls on the way: a
// focused baud box must not run its handler on a half-destroyed window.
TEST(BaudBox, DestroyedWhileTheBoxHasFocus) {
  VirtualSerialPair com1(1);
  Kelvra k;
  k.workers = Kelvra::Workers::kHold;
  WriteText(k.ini_path(), "[Setting]\nBaudRate=9600\n");
  k.Start();
  auto* edit = k.Control<QComboBox>("cb_Baudrate")->lineEdit();
  k.form().activateWindow();
  QTest::mouseClick(edit, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return edit->hasFocus(); }, 2000));
  k.Destroy();
  SUCCEED() << "no crash";
}

TEST_F(Handlers, CompressionIsSavedAtOnceButJobsKeepTheStartUpValue) {
  auto* box = k_.Control<QCheckBox>("cb_compress");
  box->click();
  EXPECT_TRUE(IniHas("Compress=1"));  // the key keeps the file's spelling
  EXPECT_EQ(Ini().find("ComPress"), std::string::npos);
  MakeBusy();
  EXPECT_FALSE(k_.held_jobs[0].compress);
  box->click();
  EXPECT_TRUE(IniHas("Compress=0"));
}

TEST_F(Handlers, CompressionKeyIsAddedAsComPressWhenTheFileHasNone) {
  WriteText(k_.ini_path(), "[Setting]\nComPort=1\n");
  k_.Control<QCheckBox>("cb_compress")->click();
  EXPECT_EQ(Ini(), "[Setting]\nComPort=1\nComPress=1\n");
}

TEST_F(Handlers, PickerConfirmAppendsASlashAndSaves) {
  k_.pick_answers = {QString("/srv/in"), QString("/")};
  k_.Control<QPushButton>("butUpload")->click();
  EXPECT_EQ(k_.pick_titles, std::vector<std::string>{"Please Select FileUpload Path："});
  EXPECT_EQ(k_.pick_starts, std::vector<std::string>{k_.FolderText("Upload").toStdString()});
  EXPECT_EQ(k_.Control<QLineEdit>("edtUpload")->text(), "/srv/in/");
  EXPECT_TRUE(IniHas("UploadPath=/srv/in/"));

  k_.Control<QPushButton>("butDownload")->click();  // a root gets its slash all the same
  EXPECT_EQ(k_.pick_titles.back(), "Please Select FileDownload Path：");
  EXPECT_EQ(k_.Control<QLineEdit>("edtDownload")->text(), "//");
  EXPECT_TRUE(IniHas("DownloadPath=//"));
}

TEST_F(Handlers, PickerCancelChangesNothing) {
  const std::string before = Ini();
  k_.Control<QPushButton>("butDownload")->click();
  EXPECT_EQ(k_.pick_titles.size(), 1u);
  EXPECT_EQ(k_.Control<QLineEdit>("edtDownload")->text(), k_.FolderText("Download"));
  EXPECT_EQ(Ini(), before);
}

TEST_F(Handlers, PickerStartsEmptyWhenTheRememberedFolderIsGone) {
  std::filesystem::remove(k_.folder() / "Upload");
  k_.Control<QPushButton>("butUpload")->click();
  EXPECT_EQ(k_.pick_starts, std::vector<std::string>{""});
}

TEST_F(Handlers, SettingsGroupTogglesByMenuKeyAndLabel) {
  auto* group = k_.Control<QGroupBox>("gbNetSet");
  auto* list = k_.Control<QListWidget>("LBStatus");
  auto* label = k_.Control<QLabel>("LabNetSet");
  auto* entry = k_.Control<QAction>("PM_NetSet");
  auto colour = [&] {
    label->ensurePolished();
    return label->palette().color(label->foregroundRole());
  };
  EXPECT_FALSE(group->isHidden());
  EXPECT_EQ(list->geometry(), QRect(232, 54, 261, 100));
  EXPECT_EQ(colour(), QColor(Qt::red));
  EXPECT_FALSE(entry->isChecked());

  k_.form().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&k_.form()));
  QTest::keyClick(&k_.form(), Qt::Key_S, Qt::ControlModifier);
  EXPECT_TRUE(group->isHidden());
  EXPECT_FALSE(entry->isChecked());
  EXPECT_EQ(list->geometry(), QRect(23, 54, 468, 100));
  EXPECT_EQ(colour(), QColor(Qt::blue));

  QTest::mouseClick(label, Qt::LeftButton);
  EXPECT_FALSE(group->isHidden());
  EXPECT_TRUE(entry->isChecked());
  EXPECT_EQ(list->geometry(), QRect(232, 54, 259, 100));
  EXPECT_EQ(colour(), QColor(Qt::red));
}

TEST_F(Handlers, WindowLayoutAndTexts) {
  auto& form = k_.form();
  EXPECT_EQ(form.size(), QSize(527, 308));
  EXPECT_EQ(form.windowTitle(), "QMT-RPC Zentap-Communication");
  struct Place {
    const char* name;
    QRect geometry;
    QString text;
  };
  const Place places[] = {
      {"sForm", {1, 0, 517, 280}, {}},
      {"LabNetSet", {25, 33, 161, 19}, "Communication Setup"},
      {"gbNetSet", {23, 48, 196, 107}, {}},
      {"Label3", {19, 22, 64, 16}, "ComPort:"},
      {"cb_port", {97, 18, 80, 24}, {}},
      {"Label4", {18, 53, 72, 16}, "BaudRate:"},
      {"cb_Baudrate", {98, 49, 79, 24}, {}},
      {"cb_compress", {20, 79, 133, 22}, " ComPress Link"},
      {"LBStatus", {232, 54, 261, 100}, {}},
      {"LabUpload", {23, 161, 122, 13}, "Upload Path:"},
      {"edtUpload", {24, 181, 394, 19}, {}},
      {"butUpload", {432, 179, 64, 22}, "Brow"},
      {"LabDownload", {23, 213, 114, 13}, "Download Path:"},
      {"edtDownload", {24, 228, 394, 19}, {}},
      {"butDownload", {432, 226, 64, 22}, "Brow"},
      {"StatusBar", {0, 261, 517, 19}, {}},
  };
  for (const Place& p : places) {
    auto* w = k_.Control<QWidget>(p.name);
    ASSERT_NE(w, nullptr) << p.name;
    EXPECT_EQ(w->geometry(), p.geometry) << p.name;
    if (p.text.isNull())
      continue;
    if (auto* label = qobject_cast<QLabel*>(w)) {
      EXPECT_EQ(label->text(), p.text) << p.name;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
      EXPECT_EQ(button->text(), p.text) << p.name;
    }
  }
  QStringList ports, bauds;
  for (int i = 0; i < 4; ++i)
    ports << k_.Control<QComboBox>("cb_port")->itemText(i);
  for (int i = 0; i < 5; ++i)
    bauds << k_.Control<QComboBox>("cb_Baudrate")->itemText(i);
  EXPECT_EQ(ports, QStringList({"COM1", "COM2", "COM3", "COM4"}));
  EXPECT_EQ(bauds, QStringList({"9600", "19200", "38400", "57600", "115200"}));

  EXPECT_EQ(k_.Control<QLabel>("StatusBarPanel0")->text(), "Status：");
  EXPECT_EQ(k_.Control<QLabel>("StatusBarPanel0")->width(), 80);
  EXPECT_EQ(k_.Control<QLabel>("StatusBarPanel1")->text(), "Idlesse");
  EXPECT_EQ(k_.Control<QLabel>("StatusBarPanel1")->width(), 122);
  EXPECT_EQ(k_.Control<QLabel>("StatusBarPanel2")->width(), 50);

  const auto entries = k_.Control<QMenu>("PMenu")->actions();
  ASSERT_EQ(entries.size(), 3);
  EXPECT_EQ(entries[0]->objectName(), "PM_NetSet");
  EXPECT_EQ(entries[0]->text(), "通讯设置");
  EXPECT_EQ(entries[0]->shortcut(), QKeySequence("Ctrl+S"));
  EXPECT_TRUE(entries[1]->isSeparator());
  EXPECT_EQ(entries[2]->objectName(), "N2");
  EXPECT_EQ(entries[2]->text(), "退出");
}

}  // namespace
}  // namespace kelvra::testing
