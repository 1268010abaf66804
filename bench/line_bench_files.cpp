#include "line_bench_files.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vork::bench {

namespace {

constexpr std::size_t kPieceBytes = 64 * 1024;

// Collects bytes in a fixed piece and writes it out when full, so a file of
// any size costs one piece of memory.
class PieceWriter {
 public:
  PieceWriter(const std::filesystem::path& path, std::uint64_t bytes)
      : out_(path, std::ios::binary | std::ios::trunc), path_(path), left_(bytes) {
    if (!out_) throw std::runtime_error("cannot write " + path.string());
    piece_.reserve(kPieceBytes);
  }
  [[nodiscard]] bool full() const { return left_ == 0; }
  // Takes as much of `text` as the file still has room for.
  void Put(std::string_view text) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(text.size(), left_));
    piece_.insert(piece_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(take));
    left_ -= take;
    if (piece_.size() >= kPieceBytes || left_ == 0) Flush();
  }
  void Finish() {
    Flush();
    out_.close();
    if (!out_) throw std::runtime_error("cannot write " + path_.string());
  }

 private:
  void Flush() {
    out_.write(piece_.data(), static_cast<std::streamsize>(piece_.size()));
    piece_.clear();
  }

  std::ofstream out_;
  std::filesystem::path path_;
  std::uint64_t left_;
  std::vector<char> piece_;
};

// Draws below n; the plain modulo keeps the bytes identical across standard
// libraries, which the distributions of <random> do not promise.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : generator_(seed) {}
  std::uint64_t Below(std::uint64_t n) { return generator_() % n; }
  std::uint64_t Raw() { return generator_(); }

 private:
  std::mt19937_64 generator_;
};

struct Product {
  std::string ean;
  std::string description;
  unsigned price_cents;
};

std::string Ean13(Draw& draw) {
  std::string digits = "40";
  for (int i = 0; i < 10; ++i) digits.push_back(static_cast<char>('0' + draw.Below(10)));
  int sum = 0;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    sum += (digits[i] - '0') * (i % 2 == 0 ? 1 : 3);
  }
  digits.push_back(static_cast<char>('0' + (10 - sum % 10) % 10));
  return digits;
}

std::vector<Product> Catalogue(Draw& draw) {
  static constexpr std::array<const char*, 12> kBrands = {
      "Alpina", "Brookfield", "Castello", "Delmonte", "Edelhof",   "Fjordland",
      "Granja", "Hollandia",  "Isola",    "Juniper",  "Karlsberg", "Lindholm"};
  static constexpr std::array<const char*, 24> kItems = {"Mineral water still",
                                                         "Mineral water sparkling",
                                                         "Orange juice",
                                                         "Apple juice",
                                                         "Whole milk",
                                                         "Semi-skimmed milk",
                                                         "Natural yoghurt",
                                                         "Butter unsalted",
                                                         "Cheddar mature",
                                                         "Gouda young",
                                                         "Pasta fusilli",
                                                         "Pasta spaghetti",
                                                         "Basmati rice",
                                                         "Tomato passata",
                                                         "Olive oil extra virgin",
                                                         "Sunflower oil",
                                                         "Coffee beans",
                                                         "Black tea",
                                                         "Muesli fruit",
                                                         "Oat flakes",
                                                         "Dark chocolate",
                                                         "Salted crackers",
                                                         "Paper towels",
                                                         "Dish soap"};
  static constexpr std::array<const char*, 8> kSizes = {"1 l",  "1.5 l", "500 g",     "250 g",
                                                        "1 kg", "400 g", "6 x 0.5 l", "750 ml"};
  std::vector<Product> products;
  for (int i = 0; i < 400; ++i) {
    Product p;
    p.ean = Ean13(draw);
    p.description = std::string(kBrands[draw.Below(kBrands.size())]) + " " +
                    kItems[draw.Below(kItems.size())] + " " + kSizes[draw.Below(kSizes.size())];
    p.price_cents = static_cast<unsigned>(49 + draw.Below(1200));
    products.push_back(std::move(p));
  }
  return products;
}

std::string ScanTime(std::chrono::sys_seconds at) {
  const auto day = std::chrono::floor<std::chrono::days>(at);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss time{at - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02lld",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long>(time.hours().count()),
                static_cast<long>(time.minutes().count()),
                static_cast<long long>(time.seconds().count()));
  return text;
}

}  // namespace

void WriteRandomFile(const std::filesystem::path& path, std::uint64_t bytes, std::uint64_t seed) {
  PieceWriter out(path, bytes);
  Draw draw(seed);
  std::string word(8, '\0');
  while (!out.full()) {
    std::uint64_t value = draw.Raw();
    for (char& c : word) {
      c = static_cast<char>(value & 0xFF);
      value >>= 8;
    }
    out.Put(word);
  }
  out.Finish();
}

void WriteScanRecordFile(const std::filesystem::path& path, std::uint64_t bytes,
                         std::uint64_t seed) {
  PieceWriter out(path, bytes);
  Draw draw(seed);
  const std::vector<Product> products = Catalogue(draw);
  using std::chrono::sys_days;
  auto at =
      std::chrono::sys_seconds(sys_days(std::chrono::year{2026} / 12 / 11)) + std::chrono::hours(7);
  out.Put("scanned;store;shelf;ean;description;qty;price;operator\r\n");
  char line[256];
  while (!out.full()) {
    at += std::chrono::seconds(1 + draw.Below(40));
    const Product& p = products[draw.Below(products.size())];
    const auto quantity = draw.Below(8) == 0 ? 12 + draw.Below(60) : 1 + draw.Below(6);
    const int length = std::snprintf(
        line, sizeof line, "%s;0412;%c%02u-%02u;%s;%s;%u;%u.%02u;OP%02u\r\n", ScanTime(at).c_str(),
        static_cast<char>('A' + draw.Below(8)), static_cast<unsigned>(1 + draw.Below(40)),
        static_cast<unsigned>(1 + draw.Below(12)), p.ean.c_str(), p.description.c_str(),
        static_cast<unsigned>(quantity), p.price_cents / 100, p.price_cents % 100,
        static_cast<unsigned>(1 + draw.Below(12)));
    out.Put(std::string_view(line, static_cast<std::size_t>(length)));
  }
  out.Finish();
}

bool SameContents(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::ifstream first(a, std::ios::binary);
  std::ifstream second(b, std::ios::binary);
  if (!first || !second) return false;
  std::vector<char> x(kPieceBytes), y(kPieceBytes);
  for (;;) {
    first.read(x.data(), static_cast<std::streamsize>(x.size()));
    second.read(y.data(), static_cast<std::streamsize>(y.size()));
    const auto got = first.gcount();
    if (got != second.gcount()) return false;
    if (!std::equal(x.begin(), x.begin() + got, y.begin())) return false;
    // Equal counts short of a piece: both files ended here.
    if (got < static_cast<std::streamsize>(x.size())) return true;
  }
}

}  // namespace vork::bench
