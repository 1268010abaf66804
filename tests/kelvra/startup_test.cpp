// Start-up: setup.ini created or read, folders made, the boxes filled and the
// listening port opened on the right device at the right speed.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSerialPort>

#include "harness.h"

namespace kelvra::testing {
namespace {

using vork::testing::VirtualSerialPair;

// True when the window answers a request on pair: it listens on that device.
bool AnswersOn(Kelvra& k, const VirtualSerialPair& pair) {
  const std::size_t jobs = k.held_jobs.size();
  pair.Send(vork::testing::Bytes({'@', 'z', '#'}));
  if (!PumpUntil([&] { return k.held_jobs.size() > jobs; }, 2s))
    return false;
  const auto reply = pair.Receive(1000ms);
  return std::string(reinterpret_cast<const char*>(reply.data()), reply.size()) == "ok";
}

TEST(StartUp, WithoutSetupIniWritesTheEightValuesMakesTheFoldersAndListensOnCom1) {
  VirtualSerialPair com1(1);
  Kelvra k;
  k.workers = Kelvra::Workers::kHold;
  k.Start();

  const std::string base = k.folder().string();
  EXPECT_EQ(ReadText(k.ini_path()),
            "[Information]\n"
            "AppTitle=QMT-RPC Zentap-ommunication\n"
            "Version=1.0\n"
            "CopyRight=版权所有 ©Zentap\n"
            "[Setting]\n"
            "ComPort=1\n"
            "BaudRate=115200\n"
            "Compress=0\n"
            "UploadPath=" +
                base +
                "/Upload/\n"
                "DownloadPath=" +
                base + "/Download/\n");
  EXPECT_TRUE(std::filesystem::is_directory(k.folder() / "Upload"));
  EXPECT_TRUE(std::filesystem::is_directory(k.folder() / "Download"));
  EXPECT_EQ(k.Control<QLineEdit>("edtUpload")->text(), k.FolderText("Upload"));
  EXPECT_EQ(k.Control<QLineEdit>("edtDownload")->text(), k.FolderText("Download"));
  EXPECT_EQ(k.Control<QComboBox>("cb_port")->currentText(), "COM1");
  EXPECT_EQ(k.Control<QComboBox>("cb_Baudrate")->currentText(), "115200");
  EXPECT_FALSE(k.Control<QCheckBox>("cb_compress")->isChecked());
  EXPECT_TRUE(k.errors.empty());
  EXPECT_TRUE(k.status.empty());
  EXPECT_EQ(k.Panel(), "Idlesse");

  auto* port = k.Control<QSerialPort>("ComPort");
  ASSERT_TRUE(port->isOpen());
  EXPECT_EQ(port->baudRate(), 115200);
  EXPECT_EQ(port->dataBits(), QSerialPort::Data8);
  EXPECT_EQ(port->parity(), QSerialPort::NoParity);
  EXPECT_EQ(port->stopBits(), QSerialPort::OneStop);
  EXPECT_TRUE(AnswersOn(k, com1));
}

struct IniCase {
  const char* name;
  const char* lines;  // of section [Setting]
  int com;            // the COM number it must listen on
  int baud;
  bool compress;
  int port_index;  // selection of cb_port
  const char* baud_text;
};
void PrintTo(const IniCase& c, std::ostream* os) {
  *os << c.name;
}

class SetupIniVariant : public ::testing::TestWithParam<IniCase> {};

TEST_P(SetupIniVariant, IsReadAndApplied) {
  const IniCase& c = GetParam();
  VirtualSerialPair pair(c.com);
  Kelvra k;
  k.workers = Kelvra::Workers::kHold;
  WriteText(k.ini_path(), std::string("[Setting]\n") + c.lines + "\n");
  k.Start();

  EXPECT_TRUE(k.errors.empty());
  EXPECT_EQ(k.form().settings().ComPort, c.com);
  EXPECT_EQ(k.form().settings().BaudRate, c.baud);
  EXPECT_EQ(k.form().settings().Compress, c.compress);
  EXPECT_EQ(k.Control<QComboBox>("cb_port")->currentIndex(), c.port_index);
  EXPECT_EQ(k.Control<QComboBox>("cb_Baudrate")->currentText(), c.baud_text);
  EXPECT_EQ(k.Control<QCheckBox>("cb_compress")->isChecked(), c.compress);
  EXPECT_EQ(k.Control<QSerialPort>("ComPort")->baudRate(), c.baud);
  EXPECT_TRUE(AnswersOn(k, pair));
  // Read, not rewritten: the file is as it was.
  EXPECT_EQ(ReadText(k.ini_path()), std::string("[Setting]\n") + c.lines + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Kelvra, SetupIniVariant,
    ::testing::Values(IniCase{"ComPort7", "ComPort=7", 7, 115200, false, -1, "115200"},
                      IniCase{"BaudRate4800", "BaudRate=4800", 1, 4800, false, 0, "4800"},
                      IniCase{"BaudRateAbc", "BaudRate=abc", 1, 115200, false, 0, "115200"},
                      IniCase{"BaudRateEmpty", "BaudRate=", 1, 115200, false, 0, "115200"},
                      IniCase{"ComPortHex", "ComPort=0x3", 3, 115200, false, 2, "115200"},
                      IniCase{"Compress5", "Compress=5", 1, 115200, true, 0, "115200"},
                      IniCase{"NamesWithoutCase", "comport=2\nBAUDRATE=9600", 2, 9600, false, 1,
                              "9600"}),
    [](const ::testing::TestParamInfo<IniCase>& p) { return std::string(p.param.name); });

TEST(StartUp, AFolderWhoseParentIsMissingIsReportedAndNothingListens) {
  VirtualSerialPair com1(1);
  Kelvra k;
  k.workers = Kelvra::Workers::kHold;
  const std::string missing = (k.folder() / "gone" / "Upload").string() + "/";
  WriteText(k.ini_path(), "[Setting]\nComPort=2\nUploadPath=" + missing + "\n");
  k.Start();

  EXPECT_EQ(k.errors, std::vector<std::string>{missing});
  EXPECT_FALSE(k.form().Listening());
  EXPECT_FALSE(AnswersOn(k, com1));
  // The rest of start-up is skipped: the boxes keep their own values and the
  // download folder is not made.
  EXPECT_EQ(k.Control<QLineEdit>("edtUpload")->text(), "/");
  EXPECT_EQ(k.Control<QComboBox>("cb_port")->currentText(), "COM1");
  EXPECT_FALSE(std::filesystem::exists(k.folder() / "Download"));
}

TEST(StartUp, ASettingsFileThatCannotBeWrittenIsReported) {
  VirtualSerialPair com1(1);
  Kelvra k;
  const QString base = QString::fromStdString(k.folder().string()) + "/";
  const QString ini = base + "no-such-folder/setup.ini";
  k.Start(Locations{ini, base});

  EXPECT_EQ(k.errors, std::vector<std::string>{"Unable to write to " + ini.toStdString()});
  EXPECT_FALSE(k.form().Listening());
  EXPECT_FALSE(std::filesystem::exists(k.folder() / "Upload"));
}

}  // namespace
}  // namespace kelvra::testing
