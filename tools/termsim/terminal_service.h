// The terminal's RPC service, played by the PC for tests and demonstrations.
//
// Answer() turns one request message (command codes 0 to 24) into the
// payload of its response. A folder on the PC stands in for the terminal's
// file system: a terminal path "QMT:\a\b.txt" (the "QMT" prefix, an optional
// ':' and leading separators dropped; '\' and '/' separate folders) names
// root/a/b.txt. A name with a ".." component never leaves the folder: it is
// refused like a missing file.
//
// Values whose meaning is the terminal's are fixed here:
//   - create (10) makes a new file and fails when one exists; open (11)
//     opens an existing file for reading and writing (reading only when it
//     is read-only); the access and mode values are not looked at.
//   - handles are small numbers from 1 up, never 0 or 0xFFFFFFFF; failures
//     answer 0xFFFFFFFF for handles, sizes and attributes, 0 for result
//     words.
//   - times are Unix seconds (u32); attributes use the bits 0x01 read-only,
//     0x10 directory, 0x20 archive (a plain file), 0x80 normal (none else).
//   - the 120-byte find record: u32 attributes, u32 creation, u32 access,
//     u32 write time, u32 size high, u32 size low, then the name (96 bytes,
//     zero-terminated); a search pattern's last component may hold '*' and
//     '?' (matched without regard to case).
//   - re-position (23) puts a handle back to where it stood before the chunk
//     request with that sequence number, when that was the handle's last
//     chunk; otherwise the position stays.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace vork::termsim {

inline constexpr std::size_t kFindRecordBytes = 120;

class TerminalService {
 public:
  explicit TerminalService(std::filesystem::path root);

  // The response payload for a request. Unknown codes and malformed
  // payloads get a 4-byte result word of 0.
  std::vector<std::byte> Answer(std::uint16_t code, std::uint16_t sequence,
                                std::span<const std::byte> payload);

  // The texts received by Ring, in order.
  [[nodiscard]] const std::vector<std::string>& rings() const { return rings_; }
  [[nodiscard]] std::size_t open_handles() const { return files_.size() + searches_.size(); }

  // Where a terminal path lands under the root; empty when it would leave it.
  [[nodiscard]] std::filesystem::path Resolve(std::string_view terminal_path) const;

 private:
  struct OpenFile {
    link::UniqueFd fd;
    std::uint16_t last_chunk_sequence = 0;
    bool has_last_chunk = false;
    off_t before_last_chunk = 0;
  };
  struct Search {
    std::vector<std::filesystem::path> matches;
    std::size_t next = 0;
  };

  std::vector<std::byte> Device(std::uint16_t code, std::span<const std::byte> payload);
  std::vector<std::byte> ByPath(std::uint16_t code, std::string_view path,
                                std::span<const std::byte> rest);
  std::vector<std::byte> ByHandle(std::uint16_t code, std::uint16_t sequence,
                                  std::span<const std::byte> payload);
  std::vector<std::byte> FindFirst(std::string_view pattern);
  std::vector<std::byte> FindNext(std::uint32_t handle);
  std::uint32_t NewHandle();

  std::filesystem::path root_;
  std::map<std::uint32_t, OpenFile> files_;
  std::map<std::uint32_t, Search> searches_;
  std::uint32_t next_handle_ = 1;
  std::vector<std::string> rings_;
};

}  // namespace vork::termsim
