#include "code_page.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace vork::api {

namespace {

constexpr char16_t kReplacement = u'\uFFFD';
constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

bool IsUtf8(std::string_view name) {
  std::string folded;
  for (char c : name) {
    if (c != '-' && c != '_') folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return folded == "utf8";
}

// One Unicode character from UTF-16; an unpaired surrogate gives nothing.
std::optional<char32_t> NextCodePoint(std::u16string_view text, std::size_t& at) {
  const char16_t unit = text[at++];
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit <= 0xDBFF && at < text.size() && text[at] >= 0xDC00 && text[at] <= 0xDFFF) {
    const char16_t low = text[at++];
    return 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00);
  }
  return std::nullopt;
}

void AppendUtf8(std::string& out, char32_t cp) {
  auto put = [&](unsigned byte) { out += static_cast<char>(byte); };
  if (cp < 0x80) {
    put(cp);
  } else if (cp < 0x800) {
    put(0xC0 | (cp >> 6));
    put(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    put(0xE0 | (cp >> 12));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  } else {
    put(0xF0 | (cp >> 18));
    put(0x80 | ((cp >> 12) & 0x3F));
    put(0x80 | ((cp >> 6) & 0x3F));
    put(0x80 | (cp & 0x3F));
  }
}

// Decodes one UTF-8 sequence; invalid or overlong input takes one byte and
// gives U+FFFD.
char32_t NextUtf8(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
    extra = 1, cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, cp = lead & 0x07;
  } else {
    ++at;
    return kReplacement;
  }
  if (text.size() - at <= extra) {
    ++at;
    return kReplacement;
  }
  for (std::size_t i = 1; i <= extra; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) {
      ++at;
      return kReplacement;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++at;
    return kReplacement;
  }
  at += 1 + extra;
  return cp;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
}

class Iconv {
 public:
  Iconv(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Iconv() {
    if (ok()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  [[nodiscard]] bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  // Converts as far as it goes; iconv's errno, or 0 when all input went.
  int Convert(const char** in, std::size_t* in_left, char** out, std::size_t* out_left) {
    if (iconv(cd_, const_cast<char**>(in), in_left, out, out_left) != static_cast<std::size_t>(-1)) {
      return 0;
    }
    return errno;
  }

 private:
  iconv_t cd_;
};

// One character at a time, so that each one the code page lacks becomes '?'.
std::optional<std::string> Encode(std::u16string_view text, std::size_t max_bytes) {
  const std::string code_page = SystemCodePage();
  const bool utf8 = IsUtf8(code_page);
  std::optional<Iconv> iconv;
  if (!utf8) iconv.emplace(code_page, "UTF-16LE");
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t start = at;
    const auto cp = NextCodePoint(text, at);
    if (!cp) {
      out += '?';
    } else if (utf8 || !iconv->ok()) {
      // UTF-8, or a code page iconv does not know, which is taken as UTF-8.
      AppendUtf8(out, *cp);
    } else {
      const char* in = reinterpret_cast<const char*>(text.data() + start);
      std::size_t in_left = (at - start) * sizeof(char16_t);
      char scratch[16];
      char* put = scratch;
      std::size_t room = sizeof scratch;
      if (iconv->Convert(&in, &in_left, &put, &room) == 0) {
        out.append(scratch, sizeof scratch - room);
      } else {
        out += '?';
      }
    }
    if (out.size() > max_bytes) return std::nullopt;
  }
  return out;
}

// Bytes the code page does not know become U+FFFD, one byte at a time.
std::optional<std::u16string> Decode(std::string_view bytes, std::size_t max_units) {
  const std::string code_page = SystemCodePage();
  std::optional<Iconv> iconv;
  if (!IsUtf8(code_page)) iconv.emplace("UTF-32LE", code_page);
  std::u16string out;
  if (!iconv || !iconv->ok()) {
    // UTF-8, or a code page iconv does not know, which is taken as UTF-8.
    for (std::size_t at = 0; at < bytes.size();) {
      AppendUtf16(out, NextUtf8(bytes, at));
      if (out.size() > max_units) return std::nullopt;
    }
    return out;
  }
  const char* in = bytes.data();
  std::size_t in_left = bytes.size();
  while (in_left > 0) {
    char32_t cp = 0;
    char* put = reinterpret_cast<char*>(&cp);
    std::size_t room = sizeof cp;
    const int error = iconv->Convert(&in, &in_left, &put, &room);
    if (room == 0) {
      AppendUtf16(out, cp);
    } else if (error == 0) {
      break;
    } else {
      AppendUtf16(out, kReplacement);
      ++in;
      --in_left;
    }
    if (out.size() > max_units) return std::nullopt;
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
  std::string_view locale_name(name);
  const auto dot = locale_name.find('.');
  if (dot == std::string_view::npos) return "UTF-8";
  locale_name.remove_prefix(dot + 1);
  return std::string(locale_name.substr(0, locale_name.find('@')));
}

std::optional<std::size_t> WideToCodePage(const char16_t* text, std::span<char> out) {
  if (text == nullptr) return std::nullopt;
  const auto bytes = Encode(text, out.size());
  if (!bytes) return std::nullopt;
  std::memcpy(out.data(), bytes->data(), bytes->size());
  return bytes->size();
}

std::optional<WideBuffer> Widen(const char* text) {
  if (text == nullptr) return std::nullopt;
  // The buffer's last slot is the terminator.
  const auto wide = Decode(text, kWideBufferChars - 1);
  if (!wide) return std::nullopt;
  WideBuffer out{};
  std::copy(wide->begin(), wide->end(), out.begin());
  return out;
}

std::string ToCodePage(std::u16string_view text) { return *Encode(text, kUnbounded); }

std::u16string FromCodePage(std::string_view bytes) { return *Decode(bytes, kUnbounded); }

}  // namespace vork::api
