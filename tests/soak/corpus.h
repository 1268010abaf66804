// The files a soak copies, and what it compares them with.
//
// A Corpus is a fixed, seeded mix of file sizes from empty to a few hundred
// KiB, half random bytes (which compress to nothing and carry every byte
// value, the five escaped ones included) and half text lines (which
// compress well and carry many line ends, escaped on the wire). Its
// contents live in memory, so a copy is judged against the bytes as made,
// never against another copy.
//
// A FolderSnapshot is the name, size and CRC-32 of every file in a folder:
// enough to tell that a copy touched nothing but its own target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vork::soak {

enum class Content { kRandom, kText };

struct CorpusFile {
  std::string name;  // plain file name, the same on the PC and the terminal
  Content content = Content::kRandom;
  std::vector<std::byte> bytes;
};

class Corpus {
 public:
  // Every size in `sizes`, alternately random and text, seeded.
  Corpus(std::span<const std::size_t> sizes, std::uint64_t seed);

  [[nodiscard]] const std::vector<CorpusFile>& files() const { return files_; }
  // Writes every file into folder (which must exist).
  void WriteAll(const std::filesystem::path& folder) const;

 private:
  std::vector<CorpusFile> files_;
};

// Sizes that exercise the block and chunk edges, then larger files.
[[nodiscard]] std::vector<std::size_t> StandardSizes();
// Small files only, for quick runs.
[[nodiscard]] std::vector<std::size_t> SmallSizes();

struct FileSummary {
  std::uintmax_t size = 0;
  std::uint32_t crc = 0;
  friend bool operator==(const FileSummary&, const FileSummary&) = default;
};

using FolderSnapshot = std::map<std::string, FileSummary>;

// Every regular file directly in folder. Throws std::filesystem_error when
// the folder cannot be read.
[[nodiscard]] FolderSnapshot Snapshot(const std::filesystem::path& folder);
// Names that differ between the two (changed, added or missing), except `ignored`.
[[nodiscard]] std::vector<std::string> Changes(const FolderSnapshot& before,
                                               const FolderSnapshot& after,
                                               const std::string& ignored);

// How a received file differs from what was sent.
struct Difference {
  std::size_t size_sent = 0;
  std::size_t size_received = 0;
  std::size_t first_offset = 0;     // first byte that differs (or where one file ends)
  std::size_t bytes_differing = 0;  // over the common length
};

// Nothing when both are identical.
[[nodiscard]] std::optional<Difference> Compare(std::span<const std::byte> sent,
                                                std::span<const std::byte> received);

// The whole file; nothing when it cannot be read.
[[nodiscard]] std::optional<std::vector<std::byte>> ReadWhole(const std::filesystem::path& path);
// Writes the file whole (replacing it); throws std::runtime_error on failure.
void WriteWhole(const std::filesystem::path& path, std::span<const std::byte> bytes);

}  // namespace vork::soak
