// setup.ini: reading any file a user (or a broken disk) may leave, and
// writing one value into it.
//
// Input: the file's bytes, then (from the end) which section, key and value
// to write. Checks: a value read never exceeds its bound; integers are read
// exactly as the settings rules say; a value written reads back; every other
// key keeps its value; every other line stays byte for byte.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ProfileFile.h"
#include "fuzz_check.h"
#include "uRpc.h"

namespace vork::fuzz {
namespace {

// The integer rules, written out independently: optional "+" or "-" and
// decimal digits, or "0x"/"0X" and hexadecimal digits; 32 bits signed.
std::optional<std::int32_t> ReferenceInteger(std::string_view text) {
  int base = 10;
  bool negative = false;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    int digit = -1;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    if (digit < 0)
      return std::nullopt;
    value = value * base + digit;
    if (value > (std::int64_t{1} << 32))
      return std::nullopt;
  }
  if (negative)
    value = -value;
  if (value < INT32_MIN || value > INT32_MAX)
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Lines cut at "\n" (a final empty piece dropped), without their "\n".
std::vector<std::string> RawLines(const std::string& content) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < content.size()) {
    const std::size_t nl = content.find('\n', at);
    const std::size_t end = nl == std::string::npos ? content.size() : nl;
    lines.push_back(content.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// A name as the program writes it: no blanks around it, no line end, and
// nothing that would make it something else ("]" ends a section name, "="
// a key name, a key starting "[" looks like a section).
std::string Name(FuzzedDataProvider& data, std::initializer_list<const char*> usual, char stop) {
  const auto pick = data.ConsumeIntegralInRange<std::size_t>(0, usual.size());
  if (pick < usual.size())
    return usual.begin()[pick];
  std::string name = data.ConsumeRandomLengthString(16);
  std::erase_if(name, [stop](char c) { return c == stop || c == '\n' || c == '\r' || c == '\0'; });
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t'))
    name.erase(0, 1);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
    name.pop_back();
  // A key line that starts with "[" would read as a section line.
  if (stop == '=' && !name.empty() && name.front() == '[')
    name.front() = '_';
  return name;
}

class Folder {
 public:
  Folder() {
    // fuzz/run.sh points TMPDIR at a folder of its own, in memory when it can.
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vork-ini-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  [[nodiscard]] std::string File() const { return path_ + "/setup.ini"; }

 private:
  std::string path_;
};

const char* const kSettingKeys[] = {"ComPort", "BaudRate", "Compress", "UploadPath",
                                    "DownloadPath"};

void CheckReading(const kelvra::ProfileFile& file) {
  for (const char* key : kSettingKeys) {
    const auto value = file.Read("setting", key);
    if (!value)
      continue;
    FUZZ_CHECK(value->size() <= kelvra::ProfileFile::kMaxValueBytes);
    FUZZ_CHECK(value->find('\n') == std::string::npos);
    FUZZ_CHECK(kelvra::ParseInteger(*value) == ReferenceInteger(*value));
  }
  // A missing or malformed value keeps the field as it was.
  kelvra::Settings settings;
  settings.ComPort = 7;
  kelvra::ReadSettings(file, settings);
  const auto port = file.Read("Setting", "ComPort");
  const auto parsed = port ? ReferenceInteger(*port) : std::nullopt;
  FUZZ_CHECK(settings.ComPort == parsed.value_or(7));
}

void CheckWriting(kelvra::ProfileFile& file, const std::string& path, const std::string& before,
                  FuzzedDataProvider& data) {
  const std::string section = Name(data, {"Setting", "setting", "Information"}, ']');
  const std::string key = Name(data, {"ComPort", "ComPress", "UploadPath", "AppTitle"}, '=');
  if (key.empty())
    return;
  std::string value = data.ConsumeRandomLengthString(64);
  // Values are texts: no line ends, no NUL.
  std::erase_if(value, [](char c) { return c == '\n' || c == '\r' || c == '\0'; });
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
    value.erase(0, 1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
    value.pop_back();

  // Every other key that a reader may ask for, before and after.
  std::vector<std::pair<std::string, std::string>> probes;
  for (const char* k : kSettingKeys)
    probes.emplace_back("Setting", k);
  for (const char* k : {"AppTitle", "Version", "CopyRight"})
    probes.emplace_back("Information", k);
  probes.emplace_back(section, "Other");
  probes.emplace_back("Other", key);
  const auto same = [](std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
      const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
      return fold(x) == fold(y);
    });
  };
  std::vector<std::optional<std::string>> values;
  for (const auto& [s, k] : probes)
    values.push_back(file.Read(s, k));

  FUZZ_CHECK(file.Write(section, key, value));
  FUZZ_CHECK(file.Read(section, key) == value);
  for (std::size_t i = 0; i < probes.size(); ++i) {
    if (same(probes[i].first, section) && same(probes[i].second, key))
      continue;
    FUZZ_CHECK(file.Read(probes[i].first, probes[i].second) == values[i]);
  }

  // The old lines are all still there, in order, but the one that held the
  // key; at most a section line and a key line are new. A last line that
  // had no line end gets one ("\r" of a "\r\n" shows here), and one that
  // ended in a lone "\r" has it made a whole line end.
  const std::string after = Slurp(path);
  const auto old_lines = RawLines(before);
  const auto new_lines = RawLines(after);
  const bool open_end = !before.empty() && before.back() != '\n';
  const auto matches = [&](const std::string& line, std::size_t j) {
    const bool last_open = open_end && j + 1 == old_lines.size();
    return line == old_lines[j] ||
           (last_open && (line == old_lines[j] + "\r" || line + "\r" == old_lines[j]));
  };
  std::size_t next = 0;
  bool skipped = false;
  for (const std::string& line : new_lines) {
    if (next < old_lines.size() && matches(line, next)) {
      ++next;
    } else if (!skipped && next + 1 < old_lines.size() && matches(line, next + 1)) {
      skipped = true;  // the line that held the key
      next += 2;
    }
  }
  FUZZ_CHECK(old_lines.size() - next + (skipped ? 1 : 0) <= 1);
  FUZZ_CHECK(new_lines.size() <= old_lines.size() + 2);
}

}  // namespace
}  // namespace vork::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static vork::fuzz::Folder folder;
  FuzzedDataProvider provider(data, size);
  const std::string content = provider.ConsumeRandomLengthString(8192);
  {
    std::ofstream out(folder.File(), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  const std::string text(content);
  FUZZ_CHECK(vork::fuzz::ReferenceInteger(text) == kelvra::ParseInteger(text));
  kelvra::ProfileFile file(QString::fromStdString(folder.File()));
  vork::fuzz::CheckReading(file);
  vork::fuzz::CheckWriting(file, folder.File(), content, provider);
  return 0;
}
