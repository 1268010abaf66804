#include "code_page.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace vork::api {

namespace {

constexpr char16_t kReplacement = u'\uFFFD';

bool IsUtf8(std::string_view name) {
  std::string folded;
  for (char c : name) {
    if (c != '-' && c != '_') folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return folded == "utf8";
}

std::size_t WideLength(const char16_t* text) {
  std::size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

// One Unicode character from UTF-16; unpaired surrogates give nothing.
std::optional<char32_t> NextCodePoint(const char16_t* text, std::size_t& at) {
  const char16_t unit = text[at++];
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit <= 0xDBFF && text[at] >= 0xDC00 && text[at] <= 0xDFFF) {
    const char16_t low = text[at++];
    return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
  }
  return std::nullopt;
}

std::optional<std::size_t> WideToUtf8(const char16_t* text, std::span<char> out) {
  std::size_t written = 0;
  auto put = [&](std::initializer_list<unsigned> bytes) {
    if (out.size() - written < bytes.size()) return false;
    for (unsigned b : bytes) out[written++] = static_cast<char>(b);
    return true;
  };
  for (std::size_t at = 0; text[at] != 0;) {
    const auto cp = NextCodePoint(text, at);
    bool fits = false;
    if (!cp) {
      fits = put({'?'});
    } else if (*cp < 0x80) {
      fits = put({static_cast<unsigned>(*cp)});
    } else if (*cp < 0x800) {
      fits = put({0xC0 | (*cp >> 6), 0x80 | (*cp & 0x3F)});
    } else if (*cp < 0x10000) {
      fits = put({0xE0 | (*cp >> 12), 0x80 | ((*cp >> 6) & 0x3F), 0x80 | (*cp & 0x3F)});
    } else {
      fits = put({0xF0 | (*cp >> 18), 0x80 | ((*cp >> 12) & 0x3F), 0x80 | ((*cp >> 6) & 0x3F),
                  0x80 | (*cp & 0x3F)});
    }
    if (!fits) return std::nullopt;
  }
  return written;
}

// Decodes one UTF-8 sequence; invalid or overlong input takes one byte and
// gives U+FFFD.
char32_t NextUtf8(const unsigned char* text, std::size_t length, std::size_t& at) {
  const unsigned lead = text[at];
  std::size_t extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07;
  } else {
    ++at;
    return kReplacement;
  }
  if (length - at <= extra) {
    ++at;
    return kReplacement;
  }
  for (std::size_t i = 1; i <= extra; ++i) {
    if ((text[at + i] & 0xC0) != 0x80) {
      ++at;
      return kReplacement;
    }
    cp = (cp << 6) | (text[at + i] & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++at;
    return kReplacement;
  }
  at += 1 + extra;
  return cp;
}

bool PutWide(WideBuffer& out, std::size_t& written, char32_t cp) {
  // The last slot is the terminator.
  if (cp >= 0x10000) {
    if (written + 2 > kWideBufferChars - 1) return false;
    cp -= 0x10000;
    out[written++] = static_cast<char16_t>(0xD800 + (cp >> 10));
    out[written++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    return true;
  }
  if (written + 1 > kWideBufferChars - 1) return false;
  out[written++] = static_cast<char16_t>(cp);
  return true;
}

class Iconv {
 public:
  Iconv(const std::string& to, const char* from) : cd_(iconv_open(to.c_str(), from)) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  [[nodiscard]] bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts in[0, *in_left) as far as it goes; returns iconv's errno or 0.
  int Convert(char** in, std::size_t* in_left, char** out, std::size_t* out_left) {
    if (iconv(cd_, in, in_left, out, out_left) != static_cast<std::size_t>(-1)) return 0;
    return errno;
  }

 private:
  iconv_t cd_;
};

std::optional<std::size_t> WideToOther(const std::string& code_page, const char16_t* text,
                                       std::span<char> out) {
  Iconv cd(code_page, "UTF-16LE");
  if (!cd.ok()) return WideToUtf8(text, out);
  const std::size_t units = WideLength(text);
  std::size_t written = 0;
  for (std::size_t at = 0; at < units;) {
    const std::size_t start = at;
    const bool valid = NextCodePoint(text, at).has_value();
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text + start));
    std::size_t in_left = (at - start) * sizeof(char16_t);
    char scratch[16];
    char* put = scratch;
    std::size_t room = sizeof scratch;
    std::size_t produced = 1;
    if (valid && cd.Convert(&in, &in_left, &put, &room) == 0) {
      produced = sizeof scratch - room;
    } else {
      scratch[0] = '?';
    }
    if (out.size() - written < produced) return std::nullopt;
    std::memcpy(out.data() + written, scratch, produced);
    written += produced;
  }
  return written;
}

std::optional<WideBuffer> WidenOther(const std::string& code_page, const char* text) {
  Iconv cd("UTF-32LE", code_page.c_str());
  if (!cd.ok()) return std::nullopt;
  WideBuffer out{};
  std::size_t written = 0;
  char* in = const_cast<char*>(text);
  std::size_t in_left = std::strlen(text);
  while (in_left > 0) {
    char32_t cp = 0;
    char* put = reinterpret_cast<char*>(&cp);
    std::size_t room = sizeof cp;
    const int error = cd.Convert(&in, &in_left, &put, &room);
    if (room == 0) {
      if (!PutWide(out, written, cp)) return std::nullopt;
      continue;
    }
    if (error == 0) break;
    // A byte the code page does not know: stand in for it and go on.
    if (!PutWide(out, written, kReplacement)) return std::nullopt;
    ++in;
    --in_left;
  }
  return out;
}

}  // namespace

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
    std::string code_page = nl_langinfo_l(CODESET, locale);
    freelocale(locale);
    return code_page;
  }
  // A locale that is not installed still names its character set.
  std::string_view spec(name);
  const auto dot = spec.find('.');
  if (dot == std::string_view::npos) return "UTF-8";
  spec.remove_prefix(dot + 1);
  return std::string(spec.substr(0, spec.find('@')));
}

std::optional<std::size_t> WideToCodePage(const char16_t* text, std::span<char> out) {
  if (text == nullptr) return std::nullopt;
  const std::string code_page = SystemCodePage();
  return IsUtf8(code_page) ? WideToUtf8(text, out) : WideToOther(code_page, text, out);
}

std::optional<WideBuffer> Widen(const char* text) {
  if (text == nullptr) return std::nullopt;
  const std::string code_page = SystemCodePage();
  if (!IsUtf8(code_page)) return WidenOther(code_page, text);
  WideBuffer out{};
  std::size_t written = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const std::size_t length = std::strlen(text);
  for (std::size_t at = 0; at < length;) {
    if (!PutWide(out, written, NextUtf8(bytes, length, at))) return std::nullopt;
  }
  return out;
}

}  // namespace vork::api
