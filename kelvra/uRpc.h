// Kelvra's settings: the settings record, where setup.ini and the transfer
// folders live, reading and writing setup.ini, the folder check of start-up,
// and the start of Vork's link for a job.
//
// Model: the settings record is a plain value. The window owns the one that
// lives as long as the program and hands a job a copy; setup.ini is written
// at once on every change and never cached. Folder texts are prefixes: a
// file name is appended to them without a separator, so they are stored and
// shown with their trailing "/".
//
// Failures the user must see are thrown as UserError carrying the text of
// the report; everything else is a return value.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "ProfileFile.h"

namespace kelvra {

// The text of an error report, thrown where start-up or a handler stops.
class UserError : public std::runtime_error {
 public:
  explicit UserError(const QString& message)
      : std::runtime_error(message.toStdString()), message_(message) {}
  [[nodiscard]] const QString& message() const { return message_; }

 private:
  QString message_;
};

struct Settings {
  std::int32_t ComPort = 1;
  std::int32_t BaudRate = 115200;
  bool Compress = false;
  QString UploadPath;
  QString DownloadPath;
};

// Where setup.ini lives and what the default folders start with.
struct Locations {
  QString settings_file;  // full path of setup.ini
  QString folder_base;    // ends with "/": + "Upload/", + "Download/"
};

// Next to the program (program_folder ends with "/"), or, when the program
// folder cannot be written, $XDG_CONFIG_HOME/kelvra/setup.ini and
// $XDG_DATA_HOME/kelvra/ (made here, with their parents; when that fails or
// no home is known, the program folder stays).
[[nodiscard]] Locations ResolveLocations(const QString& program_folder);
[[nodiscard]] Locations ResolveLocations(const QString& program_folder,
                                         bool program_folder_writable);

// ComPort 1, BaudRate 115200, no compression, folder_base + "Upload/" and
// + "Download/".
[[nodiscard]] Settings DefaultSettings(const Locations& where);

// An integer of setup.ini or of the baud box: optional sign and decimal
// digits, or "0x"/"0X" and hexadecimal digits; anything else, or a value
// outside 32 bits, is nothing.
[[nodiscard]] std::optional<std::int32_t> ParseInteger(std::string_view text);

// Reads ComPort, BaudRate, Compress, UploadPath and DownloadPath of section
// "Setting", in this order; a missing or malformed value keeps the field.
void ReadSettings(const ProfileFile& file, Settings& settings);

// Writes the eight values of a new setup.ini in their order (which creates
// the file). Throws UserError("Unable to write to <path>") at the first
// write that fails.
void WriteInitialSettings(ProfileFile& file, const Settings& settings);

// One value of section "Setting"; throws UserError("Unable to write to
// <path>") when it cannot be written.
void WriteSetting(ProfileFile& file, std::string_view key, const QString& value);

// Whether folder existed as a folder before the call. With create, a missing
// folder is made with one mkdir (its parent must exist); when that fails,
// throws UserError(folder).
bool EnsureDir(const QString& folder, bool create);

// Closes Vork's link, opens it on COM<port> at baud with the compression
// flag, and asks the terminal for its version. True only when the terminal
// answered. Blocks for Vork's attempts (up to about 20 s when the terminal
// stays silent); any thread, one job at a time.
bool StartRpcLink(std::int32_t port, std::int32_t baud, bool compress);

}  // namespace kelvra
