// setup.ini as a Windows profile file.
//
// Model: a text file of "[Section]" lines and "Key=value" lines. Section and
// key names are matched without regard to ASCII case and with surrounding
// blanks ignored; the first matching section and, inside it, the first
// matching key win. Values are raw bytes: surrounding blanks are dropped, no
// quotes or escapes are interpreted. Every other line (comments, blank lines,
// lines this reader does not understand) is kept byte for byte when a value
// is written. Nothing is cached: every read and every write goes to the file.
//
// Threads: one object is used on one thread. Nothing here blocks beyond
// local file I/O.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra {

class ProfileFile {
 public:
  // A value is read up to this many bytes.
  static constexpr std::size_t kMaxValueBytes = 2047;

  // Does not touch the file.
  explicit ProfileFile(QString path) : path_(std::move(path)) {}

  [[nodiscard]] const QString& path() const { return path_; }
  // True when the path names an existing file (a folder does not count).
  [[nodiscard]] bool Exists() const;

  // The value of key in section, or nothing when the file, the section or
  // the key is missing or the file cannot be read.
  [[nodiscard]] std::optional<std::string> Read(std::string_view section,
                                                std::string_view key) const;

  // Sets key in section to value: an existing key line gets the new value
  // (its spelling stays), a missing key is added at the end of its section,
  // a missing section is added at the end of the file, a missing file is
  // created (its folder must exist). The file is replaced as a whole, so a
  // failed write leaves the old content. False when it cannot be written.
  [[nodiscard]] bool Write(std::string_view section, std::string_view key, std::string_view value);

 private:
  QString path_;
};

}  // namespace kelvra
