#include "uRpc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <array>
#include <charconv>
#include <cstdlib>

#include "CodePage.h"
#include "vork.h"

namespace kelvra {

namespace {

constexpr std::string_view kSetting = "Setting";
constexpr std::string_view kInformation = "Information";

// Section "Information" is written once, for whoever opens the file.
constexpr std::string_view kAppTitle = "QMT-RPC Zentap-ommunication";
constexpr std::string_view kVersion = "1.0";
constexpr std::string_view kCopyRight = "版权所有 ©Zentap";

QString UnableToWrite(const ProfileFile& file) {
  return QStringLiteral("Unable to write to %1").arg(file.path());
}

void Write(ProfileFile& file, std::string_view section, std::string_view key,
           const std::string& value) {
  if (!file.Write(section, key, value))
    throw UserError(UnableToWrite(file));
}

std::optional<QString> XdgFolder(const char* variable, const char* fallback_under_home) {
  if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/') {
    return QString::fromLocal8Bit(value);
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/')
    return std::nullopt;
  return QString::fromLocal8Bit(home) + QLatin1Char('/') + QLatin1String(fallback_under_home);
}

void ReadInteger(const ProfileFile& file, std::string_view key, std::int32_t& field) {
  if (const auto raw = file.Read(kSetting, key)) {
    if (const auto value = ParseInteger(*raw))
      field = *value;
  }
}

void ReadString(const ProfileFile& file, std::string_view key, QString& field) {
  if (const auto raw = file.Read(kSetting, key))
    field = FromCodePage(*raw);
}

}  // namespace

Locations ResolveLocations(const QString& program_folder) {
  const QByteArray folder = program_folder.toLocal8Bit();
  return ResolveLocations(program_folder, ::access(folder.constData(), W_OK) == 0);
}

Locations ResolveLocations(const QString& program_folder, bool program_folder_writable) {
  const Locations beside_program{program_folder + QStringLiteral("setup.ini"), program_folder};
  if (program_folder_writable)
    return beside_program;
  const auto config = XdgFolder("XDG_CONFIG_HOME", ".config");
  const auto data = XdgFolder("XDG_DATA_HOME", ".local/share");
  if (!config || !data)
    return beside_program;
  const QString config_folder = *config + QStringLiteral("/kelvra/");
  const QString data_folder = *data + QStringLiteral("/kelvra/");
  if (!QDir().mkpath(config_folder) || !QDir().mkpath(data_folder))
    return beside_program;
  return Locations{config_folder + QStringLiteral("setup.ini"), data_folder};
}

Settings DefaultSettings(const Locations& where) {
  Settings s;
  s.UploadPath = where.folder_base + QStringLiteral("Upload/");
  s.DownloadPath = where.folder_base + QStringLiteral("Download/");
  return s;
}

std::optional<std::int32_t> ParseInteger(std::string_view text) {
  std::int64_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    if (*first == '+' || *first == '-')
      return std::nullopt;
    const auto [end, ec] = std::from_chars(first, last, value, 16);
    if (ec != std::errc() || end != last)
      return std::nullopt;
  } else {
    if (first != last && *first == '+') {
      ++first;
      if (first != last && (*first == '+' || *first == '-'))
        return std::nullopt;
    }
    const auto [end, ec] = std::from_chars(first, last, value, 10);
    if (first == last || ec != std::errc() || end != last)
      return std::nullopt;
  }
  if (value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

void ReadSettings(const ProfileFile& file, Settings& settings) {
  ReadInteger(file, "ComPort", settings.ComPort);
  ReadInteger(file, "BaudRate", settings.BaudRate);
  std::int32_t compress = settings.Compress ? 1 : 0;
  ReadInteger(file, "Compress", compress);
  settings.Compress = compress != 0;
  ReadString(file, "UploadPath", settings.UploadPath);
  ReadString(file, "DownloadPath", settings.DownloadPath);
}

void WriteInitialSettings(ProfileFile& file, const Settings& settings) {
  Write(file, kInformation, "AppTitle", std::string(kAppTitle));
  Write(file, kInformation, "Version", std::string(kVersion));
  // The file is in the system code page, the notice included.
  Write(file, kInformation, "CopyRight",
        ToCodePage(QString::fromUtf8(kCopyRight.data(), static_cast<qsizetype>(kCopyRight.size()))));
  Write(file, kSetting, "ComPort", std::to_string(settings.ComPort));
  Write(file, kSetting, "BaudRate", std::to_string(settings.BaudRate));
  Write(file, kSetting, "Compress", settings.Compress ? "1" : "0");
  Write(file, kSetting, "UploadPath", ToCodePage(settings.UploadPath));
  Write(file, kSetting, "DownloadPath", ToCodePage(settings.DownloadPath));
}

void WriteSetting(ProfileFile& file, std::string_view key, const QString& value) {
  Write(file, kSetting, key, ToCodePage(value));
}

bool EnsureDir(const QString& folder, bool create) {
  const bool existed = QFileInfo(folder).isDir();
  if (create && !existed) {
    const std::string path = ToCodePage(folder);
    if (::mkdir(path.c_str(), 0777) != 0)
      throw UserError(folder);
  }
  return existed;
}

bool StartRpcLink(std::int32_t port, std::int32_t baud, bool compress) {
  QMT_VorkUninit();
  if (QMT_VorkInit(port, baud, compress ? 1 : 0) != 1)
    return false;
  std::array<std::byte, 12> version{};
  return QMT_GetVersion(version.data()) == 1;
}

}  // namespace kelvra
