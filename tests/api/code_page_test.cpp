#include "code_page.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace vork::api {
namespace {

// Sets the locale variables for one test and restores them afterwards.
class LocaleScope {
 public:
  explicit LocaleScope(const char* lang) {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char* value = ::getenv(name);
      saved_.emplace_back(name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
      ::unsetenv(name);
    }
    if (lang != nullptr) ::setenv("LANG", lang, 1);
  }
  ~LocaleScope() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name, value->c_str(), 1);
      } else {
        ::unsetenv(name);
      }
    }
  }

 private:
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

std::optional<std::string> Narrow(const std::u16string& wide, std::size_t limit) {
  std::string out(limit, '\0');
  const auto n = WideToCodePage(wide.c_str(), {out.data(), limit});
  if (!n) return std::nullopt;
  out.resize(*n);
  return out;
}

std::u16string WideOf(const WideBuffer& buffer) { return std::u16string(buffer.data()); }

TEST(CodePage, PlainAndPosixLocalesMeanUtf8) {
  for (const char* lang : {static_cast<const char*>(nullptr), "C", "POSIX", "C.UTF-8"}) {
    LocaleScope scope(lang);
    EXPECT_EQ(SystemCodePage(), "UTF-8") << (lang ? lang : "unset");
  }
  LocaleScope scope(nullptr);
  ::setenv("LC_ALL", "xx_YY.ISO-8859-15", 1);
  ::setenv("LANG", "C", 1);
  EXPECT_EQ(SystemCodePage(), "ISO-8859-15") << "LC_ALL comes first; its charset is taken";
}

TEST(CodePage, Utf8ConversionCountsBytesAndRefusesWhatDoesNotFit) {
  LocaleScope scope("C.UTF-8");
  EXPECT_EQ(Narrow(u"QMT:\\a.txt", 255), "QMT:\\a.txt");
  EXPECT_EQ(Narrow(u"Gr\u00FC\u00DFe\u6587", 255), "Gr\xC3\xBC\xC3\x9F" "e\xE6\x96\x87");
  EXPECT_EQ(Narrow(u"\U0001F600", 255), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Narrow(std::u16string(u"a") + char16_t(0xD800) + u"b", 255), "a?b")
      << "an unpaired surrogate cannot be represented";
  EXPECT_EQ(Narrow(std::u16string(255, u'x'), 255)->size(), 255u);
  EXPECT_FALSE(Narrow(std::u16string(256, u'x'), 255));
  EXPECT_FALSE(Narrow(std::u16string(128, u'\u00E9'), 255)) << "128 characters, 256 bytes";
  EXPECT_FALSE(WideToCodePage(nullptr, {}));
}

TEST(CodePage, WideningKeepsTheTerminatorAndRefusesMoreThan255Characters) {
  LocaleScope scope("C.UTF-8");
  const auto wide = Widen("QMT:\\\xC3\xA9t\xC3\xA9.txt");
  ASSERT_TRUE(wide);
  EXPECT_EQ(WideOf(*wide), u"QMT:\\\u00E9t\u00E9.txt");
  EXPECT_TRUE(Widen(std::string(255, 'a').c_str()));
  EXPECT_FALSE(Widen(std::string(256, 'a').c_str()));
  const auto two_hundred = Widen(std::string(200, 'b').c_str());
  ASSERT_TRUE(two_hundred);
  EXPECT_EQ(WideOf(*two_hundred).size(), 200u);
  EXPECT_TRUE(std::all_of(two_hundred->begin() + 200, two_hundred->end(),
                          [](char16_t c) { return c == 0; }));
  EXPECT_EQ(WideOf(*Widen("a\xFF" "b")), u"a\uFFFDb") << "a byte that is no UTF-8";
  EXPECT_FALSE(Widen(nullptr));
}

TEST(CodePage, SingleByteCodePageThroughIconv) {
  LocaleScope scope("xx_YY.ISO-8859-1");
  EXPECT_EQ(Narrow(u"caf\u00E9 \u20AC", 255), "caf\xE9 ?") << "the euro sign is not in Latin-1";
  const auto wide = Widen("caf\xE9");
  ASSERT_TRUE(wide);
  EXPECT_EQ(WideOf(*wide), u"caf\u00E9");
}

TEST(CodePage, UnlimitedConversionsForTextsThatAreNotPaths) {
  {
    LocaleScope scope("C.UTF-8");
    const std::u16string long_folder = u"/data/" + std::u16string(600, u'\u00E9');
    const std::string bytes = ToCodePage(long_folder);
    EXPECT_EQ(bytes.size(), 6u + 1200u);
    EXPECT_EQ(FromCodePage(bytes), long_folder);
    EXPECT_EQ(FromCodePage("a\xC3"), u"a\uFFFD") << "a sequence cut short";
  }
  LocaleScope scope("xx_YY.ISO-8859-1");
  EXPECT_EQ(ToCodePage(u"\u00FCber \u6587"), "\xFC" "ber ?");
  EXPECT_EQ(FromCodePage("\xFC" "ber"), u"\u00FC" "ber");
  LocaleScope unknown("xx_YY.NO-SUCH-CHARSET");
  EXPECT_EQ(ToCodePage(u"\u00E9"), "\xC3\xA9") << "an unknown code page is taken as UTF-8";
  EXPECT_EQ(FromCodePage("\xC3\xA9"), u"\u00E9");
}

}  // namespace
}  // namespace vork::api
