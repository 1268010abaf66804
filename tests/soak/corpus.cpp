#include "corpus.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string_view>

namespace vork::soak {

namespace {

namespace fs = std::filesystem;

std::vector<std::byte> RandomContent(std::size_t size, std::mt19937_64& generator) {
  std::vector<std::byte> bytes(size);
  for (auto& b : bytes) b = static_cast<std::byte>(generator() & 0xFF);
  return bytes;
}

// Lines of words, like a log or a CSV export; line ends are "\r\n" or "\n".
std::vector<std::byte> TextContent(std::size_t size, std::mt19937_64& generator) {
  static constexpr std::array<std::string_view, 16> kWords = {
      "stock", "item",   "4711",  "pallet", "scan", "ok",     "12.50", "EUR",
      "shelf", "aisle",  "batch", "0042",   "due",  "picked", "count", "terminal"};
  std::vector<std::byte> bytes;
  bytes.reserve(size);
  auto put = [&](std::string_view text) {
    for (char c : text) {
      if (bytes.size() == size) return;
      bytes.push_back(static_cast<std::byte>(c));
    }
  };
  while (bytes.size() < size) {
    const std::size_t words = 3 + generator() % 9;
    for (std::size_t i = 0; i < words; ++i) {
      if (i > 0) put(generator() % 4 == 0 ? ";" : " ");
      put(kWords[generator() % kWords.size()]);
    }
    put(generator() % 2 == 0 ? "\r\n" : "\n");
  }
  return bytes;
}

}  // namespace

Corpus::Corpus(std::span<const std::size_t> sizes, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    CorpusFile file;
    file.content = i % 2 == 0 ? Content::kRandom : Content::kText;
    file.name = "f" + std::to_string(i) + "-" + std::to_string(sizes[i]) +
                (file.content == Content::kText ? ".txt" : ".bin");
    file.bytes = file.content == Content::kText ? TextContent(sizes[i], generator)
                                                : RandomContent(sizes[i], generator);
    files_.push_back(std::move(file));
  }
}

void Corpus::WriteAll(const fs::path& folder) const {
  for (const auto& file : files_) WriteWhole(folder / file.name, file.bytes);
}

std::vector<std::size_t> StandardSizes() {
  // 0 and 1 byte; one chunk (1024) and one block (2048) and their
  // neighbours; then files of many blocks with odd remainders.
  return {0,     1,     1023,  1024,  1025,   2047,   2048,   2049,
          5000,  12345, 40000, 65543, 100000, 150001, 230000, 307200};
}

std::vector<std::size_t> SmallSizes() { return {0, 1, 1024, 2049, 5000, 12345}; }

FolderSnapshot Snapshot(const fs::path& folder) {
  FolderSnapshot snapshot;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!entry.is_regular_file()) {
      snapshot[entry.path().filename().string()] = {};
      continue;
    }
    const auto bytes = ReadWhole(entry.path());
    FileSummary summary;
    if (bytes) {
      summary.size = bytes->size();
      summary.crc = static_cast<std::uint32_t>(
          ::crc32(0, reinterpret_cast<const Bytef*>(bytes->data()), static_cast<uInt>(bytes->size())));
    }
    snapshot[entry.path().filename().string()] = summary;
  }
  return snapshot;
}

std::vector<std::string> Changes(const FolderSnapshot& before, const FolderSnapshot& after,
                                 const std::string& ignored) {
  std::vector<std::string> changed;
  for (const auto& [name, summary] : before) {
    if (name == ignored) continue;
    const auto found = after.find(name);
    if (found == after.end() || !(found->second == summary)) changed.push_back(name);
  }
  for (const auto& [name, summary] : after) {
    if (name != ignored && !before.contains(name)) changed.push_back(name);
  }
  return changed;
}

std::optional<Difference> Compare(std::span<const std::byte> sent,
                                  std::span<const std::byte> received) {
  if (sent.size() == received.size() && std::equal(sent.begin(), sent.end(), received.begin())) {
    return std::nullopt;
  }
  Difference difference;
  difference.size_sent = sent.size();
  difference.size_received = received.size();
  const std::size_t common = std::min(sent.size(), received.size());
  difference.first_offset = common;
  for (std::size_t i = 0; i < common; ++i) {
    if (sent[i] != received[i]) {
      if (difference.bytes_differing == 0) difference.first_offset = i;
      ++difference.bytes_differing;
    }
  }
  return difference;
}

std::optional<std::vector<std::byte>> ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<std::byte> bytes;
  std::array<char, 65536> buffer;
  while (in) {
    in.read(buffer.data(), buffer.size());
    const auto got = static_cast<std::size_t>(in.gcount());
    const auto* first = reinterpret_cast<const std::byte*>(buffer.data());
    bytes.insert(bytes.end(), first, first + got);
  }
  if (in.bad()) return std::nullopt;
  return bytes;
}

void WriteWhole(const fs::path& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace vork::soak
