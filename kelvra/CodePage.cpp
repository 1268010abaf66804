#include "CodePage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace kelvra {

namespace {

// The charset named by the locale variables, as iconv knows it.
std::string SystemCodePage() {
  const char* name = nullptr;
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') {
      name = value;
      break;
    }
  }
  if (name == nullptr || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) {
    return "UTF-8";
  }
  if (locale_t locale = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr))) {
    std::string charset = nl_langinfo_l(CODESET, locale);
    freelocale(locale);
    return charset;
  }
  // A locale that is not installed still names its character set.
  std::string_view spec(name);
  const auto dot = spec.find('.');
  if (dot == std::string_view::npos)
    return "UTF-8";
  spec.remove_prefix(dot + 1);
  return std::string(spec.substr(0, spec.find('@')));
}

bool IsUtf8(const std::string& charset) {
  std::string folded;
  for (char c : charset) {
    if (c != '-' && c != '_')
      folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return folded == "utf8";
}

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  ~Converter() {
    if (valid())
      iconv_close(cd_);
  }
  [[nodiscard]] bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts all of input; an input sequence that fails is replaced by
  // `replacement` (already in the target charset) and skipped: a whole UTF-8
  // character when the input is UTF-8, one byte otherwise.
  std::string Run(std::string_view input, std::string_view replacement, bool input_is_utf8) {
    std::string out;
    std::vector<char> buffer(input.size() * 4 + 16);
    auto* in = const_cast<char*>(input.data());
    std::size_t in_left = input.size();
    while (in_left > 0) {
      char* dst = buffer.data();
      std::size_t dst_left = buffer.size();
      const std::size_t r = iconv(cd_, &in, &in_left, &dst, &dst_left);
      out.append(buffer.data(), buffer.size() - dst_left);
      if (r != static_cast<std::size_t>(-1))
        break;
      if (errno == E2BIG)
        continue;
      out += replacement;
      std::size_t skip = 1;
      if (input_is_utf8) {
        while (skip < in_left && (static_cast<unsigned char>(in[skip]) & 0xC0) == 0x80)
          ++skip;
      }
      in += skip;
      in_left -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string ToCodePage(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  const std::string charset = SystemCodePage();
  if (IsUtf8(charset))
    return utf8.toStdString();
  Converter convert(charset, "UTF-8");
  if (!convert.valid())
    return utf8.toStdString();
  return convert.Run(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())), "?",
                     true);
}

QString FromCodePage(std::string_view bytes) {
  const std::string charset = SystemCodePage();
  if (IsUtf8(charset))
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  Converter convert("UTF-8", charset);
  if (!convert.valid()) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
  }
  const std::string utf8 = convert.Run(bytes, "\xEF\xBF\xBD", false);
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

}  // namespace kelvra
