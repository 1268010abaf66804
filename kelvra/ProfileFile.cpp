#include "ProfileFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <vector>

namespace kelvra {

namespace {

struct Line {
  std::string text;  // without its line end
  std::string end;   // "\n", "\r\n"; for the last line also "\r" or ""
};

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  std::size_t at = 0;
  while (at < content.size()) {
    const std::size_t nl = content.find('\n', at);
    if (nl == std::string::npos) {
      // A carriage return that ends the file ends its last line, as one
      // before a line feed does.
      std::string text = content.substr(at);
      std::string end;
      if (!text.empty() && text.back() == '\r') {
        text.pop_back();
        end = "\r";
      }
      lines.push_back({std::move(text), std::move(end)});
      break;
    }
    std::size_t stop = nl;
    if (stop > at && content[stop - 1] == '\r')
      --stop;
    lines.push_back({content.substr(at, stop - at), content.substr(stop, nl + 1 - stop)});
    at = nl + 1;
  }
  return lines;
}

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && blank(s.back()))
    s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i]))
      return false;
  }
  return true;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[')
    return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos)
    return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

struct Entry {
  std::string_view key;
  std::string_view value;
};

std::optional<Entry> KeyLine(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos)
    return std::nullopt;
  const std::string_view key = Trim(line.substr(0, eq));
  if (key.empty())
    return std::nullopt;
  return Entry{key, Trim(line.substr(eq + 1))};
}

std::optional<std::string> Load(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return std::nullopt;
  const QByteArray bytes = file.readAll();
  if (file.error() != QFileDevice::NoError)
    return std::nullopt;
  return bytes.toStdString();
}

// Where the lines of a section run: [first, end) after its header line.
struct SectionSpan {
  std::size_t header;
  std::size_t end;
};

std::optional<SectionSpan> FindSection(const std::vector<Line>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i].text);
    if (!name || !SameName(*name, section))
      continue;
    std::size_t end = i + 1;
    while (end < lines.size() && !SectionName(lines[end].text))
      ++end;
    return SectionSpan{i, end};
  }
  return std::nullopt;
}

}  // namespace

bool ProfileFile::Exists() const {
  return QFileInfo(path_).isFile();
}

std::optional<std::string> ProfileFile::Read(std::string_view section, std::string_view key) const {
  const auto content = Load(path_);
  if (!content)
    return std::nullopt;
  const std::vector<Line> lines = SplitLines(*content);
  const auto span = FindSection(lines, section);
  if (!span)
    return std::nullopt;
  for (std::size_t i = span->header + 1; i < span->end; ++i) {
    const auto entry = KeyLine(lines[i].text);
    if (entry && SameName(entry->key, key)) {
      return std::string(entry->value.substr(0, kMaxValueBytes));
    }
  }
  return std::nullopt;
}

bool ProfileFile::Write(std::string_view section, std::string_view key, std::string_view value) {
  std::vector<Line> lines;
  if (QFileInfo(path_).exists()) {
    auto content = Load(path_);
    if (!content)
      return false;
    lines = SplitLines(*content);
  }
  // New lines follow the file's own line ends.
  std::string eol = "\n";
  for (const Line& l : lines) {
    if (l.end.find('\n') != std::string::npos) {
      eol = l.end;
      break;
    }
  }
  // A line that gets a successor needs a whole line end.
  const auto complete = [&](Line& line) {
    if (line.end.find('\n') == std::string::npos) line.end = eol;
  };
  const std::string assignment = std::string(value);

  const auto span = FindSection(lines, section);
  if (span) {
    std::size_t last_filled = span->header;
    bool replaced = false;
    for (std::size_t i = span->header + 1; i < span->end && !replaced; ++i) {
      if (!Trim(lines[i].text).empty())
        last_filled = i;
      const auto entry = KeyLine(lines[i].text);
      if (entry && SameName(entry->key, key)) {
        // Keep the key as the file spells it; only the value changes.
        const std::size_t eq = lines[i].text.find('=');
        lines[i].text = lines[i].text.substr(0, eq + 1) + assignment;
        replaced = true;
      }
    }
    if (!replaced) {
      complete(lines[last_filled]);
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(last_filled) + 1,
                   Line{std::string(key) + "=" + assignment, eol});
    }
  } else {
    if (!lines.empty())
      complete(lines.back());
    lines.push_back({"[" + std::string(section) + "]", eol});
    lines.push_back({std::string(key) + "=" + assignment, eol});
  }

  std::string out;
  for (const Line& l : lines)
    out += l.text + l.end;
  QSaveFile file(path_);
  // A folder that cannot take the temporary file still lets the file itself
  // be rewritten in place.
  file.setDirectWriteFallback(true);
  if (!file.open(QIODevice::WriteOnly))
    return false;
  if (file.write(out.data(), static_cast<qint64>(out.size())) != static_cast<qint64>(out.size())) {
    file.cancelWriting();
    return false;
  }
  return file.commit();
}

}  // namespace kelvra
