// setup.ini as a profile file, integers as setup.ini and the baud box give
// them, and where the settings live.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ProfileFile.h"
#include "harness.h"
#include "uRpc.h"

namespace kelvra::testing {
namespace {

class ProfileFileTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path path_ = dir_.path() / "setup.ini";
  ProfileFile file_{QString::fromStdString(path_.string())};
};

TEST_F(ProfileFileTest, ReadsNamesWithoutCaseAndValuesRaw) {
  WriteText(path_,
            "; a comment\r\n"
            "[Information]\r\n"
            "ComPort=9\r\n"
            "  [ setting ]  \r\n"
            "  COMPORT =  3  \r\n"
            "UploadPath=\"/q u/\"\r\n"
            "Empty=\r\n"
            "[Setting]\r\n"
            "BaudRate=1\r\n");
  EXPECT_EQ(file_.Read("Setting", "ComPort"),
            "3");  // the first "Setting" section, not "Information"
  EXPECT_EQ(file_.Read("SETTING", "uploadpath"), "\"/q u/\"");
  EXPECT_EQ(file_.Read("Setting", "Empty"), "");
  EXPECT_EQ(file_.Read("Setting", "BaudRate"), std::nullopt);  // only in the second section
  EXPECT_EQ(file_.Read("Nothing", "ComPort"), std::nullopt);
}

TEST_F(ProfileFileTest, ReadsAValueUpTo2047Bytes) {
  WriteText(path_, "[Setting]\nUploadPath=" + std::string(3000, 'x') + "\n");
  EXPECT_EQ(file_.Read("Setting", "UploadPath"), std::string(2047, 'x'));
}

TEST_F(ProfileFileTest, MissingFileReadsNothing) {
  EXPECT_FALSE(file_.Exists());
  EXPECT_EQ(file_.Read("Setting", "ComPort"), std::nullopt);
}

TEST_F(ProfileFileTest, WriteChangesOnlyItsValueAndKeepsEveryOtherLine) {
  const std::string before =
      "; kept\r\n"
      "[Setting]\r\n"
      "Compress = 0\r\n"
      "junk line without equals\r\n"
      "UploadPath=/a/\r\n"
      "\r\n"
      "[Other]\r\n"
      "x=1";
  WriteText(path_, before);
  ASSERT_TRUE(file_.Write("setting", "ComPress", "1"));     // existing key: its spelling stays
  ASSERT_TRUE(file_.Write("Setting", "BaudRate", "9600"));  // new key: end of its section
  ASSERT_TRUE(file_.Write("Third", "k", "v"));              // new section: end of the file
  EXPECT_EQ(ReadText(path_),
            "; kept\r\n"
            "[Setting]\r\n"
            "Compress =1\r\n"
            "junk line without equals\r\n"
            "UploadPath=/a/\r\n"
            "BaudRate=9600\r\n"
            "\r\n"
            "[Other]\r\n"
            "x=1\r\n"
            "[Third]\r\n"
            "k=v\r\n");
}

TEST_F(ProfileFileTest, ACarriageReturnThatEndsTheFileEndsItsLastLine) {
  WriteText(path_, "[Setting]\nBaudRate=115200\r");
  EXPECT_EQ(file_.Read("Setting", "BaudRate"), "115200");
  ASSERT_TRUE(file_.Write("Setting", "ComPort", "2"));
  EXPECT_EQ(file_.Read("Setting", "BaudRate"), "115200") << "a write keeps other values";
  EXPECT_EQ(ReadText(path_), "[Setting]\nBaudRate=115200\nComPort=2\n");
}

TEST_F(ProfileFileTest, WriteCreatesTheFileAndFailsWithoutItsFolder) {
  ASSERT_TRUE(file_.Write("Setting", "ComPort", "1"));
  EXPECT_EQ(ReadText(path_), "[Setting]\nComPort=1\n");

  ProfileFile nowhere(QString::fromStdString((dir_.path() / "missing" / "setup.ini").string()));
  EXPECT_FALSE(nowhere.Write("Setting", "ComPort", "1"));
}

TEST(ParseInteger, DecimalAndHexadecimalOr32BitsOrNothing) {
  const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
      {"115200", 115200},
      {"0x3", 3},
      {"0X1f", 31},
      {"-5", -5},
      {"+7", 7},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", {}},
      {"0x80000000", {}},
      {"", {}},
      {"abc", {}},
      {"12abc", {}},
      {"0x", {}},
      {"0x-1", {}},
      {"+-1", {}},
      {"1.5", {}},
      {" 5", {}},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ParseInteger(text), expected) << "'" << text << "'";
  }
}

TEST(EnsureDir, CreatesOneLevelAndReportsTheFolderText) {
  TempDir dir;
  const QString made = QString::fromStdString((dir.path() / "Upload").string()) + "/";
  EXPECT_FALSE(EnsureDir(made, true));
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Upload"));
  EXPECT_TRUE(EnsureDir(made, true));

  const QString deep = QString::fromStdString((dir.path() / "no" / "Upload").string()) + "/";
  try {
    EnsureDir(deep, true);
    FAIL() << "no error for a folder whose parent is missing";
  } catch (const UserError& error) {
    EXPECT_EQ(error.message(), deep);
  }
  EXPECT_FALSE(EnsureDir(deep, false));
}

// Restores an environment variable at the end of a test.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name))
      old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(ResolveLocations, BesideTheProgramOrInTheUsersFolders) {
  TempDir dir;
  const std::string root = dir.path().string();
  ScopedEnv config("XDG_CONFIG_HOME", root + "/config");
  ScopedEnv data("XDG_DATA_HOME", root + "/data");

  const Locations beside = ResolveLocations("/opt/kelvra/", true);
  EXPECT_EQ(beside.settings_file, "/opt/kelvra/setup.ini");
  EXPECT_EQ(beside.folder_base, "/opt/kelvra/");

  const Locations fallback = ResolveLocations("/opt/kelvra/", false);
  EXPECT_EQ(fallback.settings_file.toStdString(), root + "/config/kelvra/setup.ini");
  EXPECT_EQ(fallback.folder_base.toStdString(), root + "/data/kelvra/");
  // Made, so that start-up can create Upload/ and Download/ in one step each.
  EXPECT_TRUE(std::filesystem::is_directory(root + "/config/kelvra"));
  EXPECT_TRUE(std::filesystem::is_directory(root + "/data/kelvra"));
  const Settings defaults = DefaultSettings(fallback);
  EXPECT_EQ(defaults.UploadPath.toStdString(), root + "/data/kelvra/Upload/");
  EXPECT_EQ(defaults.DownloadPath.toStdString(), root + "/data/kelvra/Download/");
}

TEST(ResolveLocations, WithoutXdgVariablesUsesTheHomeFolder) {
  TempDir dir;
  ScopedEnv home("HOME", dir.path().string());
  ::unsetenv("XDG_CONFIG_HOME");
  ::unsetenv("XDG_DATA_HOME");
  const Locations fallback = ResolveLocations("/opt/kelvra/", false);
  EXPECT_EQ(fallback.settings_file.toStdString(),
            dir.path().string() + "/.config/kelvra/setup.ini");
  EXPECT_EQ(fallback.folder_base.toStdString(), dir.path().string() + "/.local/share/kelvra/");
}

}  // namespace
}  // namespace kelvra::testing
