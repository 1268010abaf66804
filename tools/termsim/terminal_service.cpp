#include "terminal_service.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "wire.h"

namespace vork::termsim {

namespace {

using link::get_u32le;
using link::put_u32le;

constexpr std::uint32_t kFailure = 0xFFFFFFFF;
constexpr std::uint32_t kReadOnly = 0x01;
constexpr std::uint32_t kDirectory = 0x10;
constexpr std::uint32_t kArchive = 0x20;
constexpr std::size_t kChunkBytes = 1024;

std::vector<std::byte> Words(std::initializer_list<std::uint32_t> values) {
  std::vector<std::byte> out(4 * values.size());
  std::size_t at = 0;
  for (std::uint32_t value : values) {
    put_u32le(std::span(out).subspan(at), value);
    at += 4;
  }
  return out;
}

std::vector<std::byte> Result(bool ok) { return Words({ok ? 1u : 0u}); }

std::uint32_t Low32(std::int64_t value) { return static_cast<std::uint32_t>(value & 0xFFFFFFFF); }

std::uint32_t AttributesOf(const struct stat& info) {
  std::uint32_t attributes = S_ISDIR(info.st_mode) ? kDirectory : kArchive;
  if ((info.st_mode & S_IWUSR) == 0) attributes |= kReadOnly;
  return attributes;
}

void FillFindRecord(std::span<std::byte> record, const std::filesystem::path& path) {
  std::fill(record.begin(), record.end(), std::byte{0});
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  put_u32le(record.subspan(0), AttributesOf(info));
  put_u32le(record.subspan(4), Low32(info.st_ctime));
  put_u32le(record.subspan(8), Low32(info.st_atime));
  put_u32le(record.subspan(12), Low32(info.st_mtime));
  put_u32le(record.subspan(16), static_cast<std::uint32_t>(static_cast<std::uint64_t>(info.st_size) >> 32));
  put_u32le(record.subspan(20), Low32(info.st_size));
  const std::string name = path.filename().string();
  std::memcpy(record.data() + 24, name.data(), std::min<std::size_t>(name.size(), 95));
}

}  // namespace

TerminalService::TerminalService(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path TerminalService::Resolve(std::string_view terminal_path) const {
  if (terminal_path.substr(0, 3) == "QMT") {
    terminal_path.remove_prefix(3);
    if (!terminal_path.empty() && terminal_path.front() == ':') terminal_path.remove_prefix(1);
  }
  std::filesystem::path resolved = root_;
  std::size_t start = 0;
  while (start <= terminal_path.size()) {
    const std::size_t end = std::min(terminal_path.find_first_of("\\/", start), terminal_path.size());
    const std::string_view part = terminal_path.substr(start, end - start);
    if (part == "..") return {};
    if (part.find('\0') != std::string_view::npos) return {};
    if (!part.empty() && part != ".") resolved /= std::string(part);
    start = end + 1;
  }
  return resolved;
}

std::uint32_t TerminalService::NewHandle() {
  while (next_handle_ == 0 || next_handle_ == kFailure || files_.count(next_handle_) != 0 ||
         searches_.count(next_handle_) != 0) {
    ++next_handle_;
  }
  return next_handle_++;
}

std::vector<std::byte> TerminalService::Answer(std::uint16_t code, std::uint16_t sequence,
                                               std::span<const std::byte> payload) {
  switch (code) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
      return Device(code, payload);
    case 5:
    case 8:
    case 9:
    case 10:
    case 11:
    case 17:
    case 18:
    case 19: {
      if (payload.empty()) return Result(false);
      const std::size_t n = std::to_integer<std::size_t>(payload[0]);
      if (payload.size() < 1 + n) return Result(false);
      const std::string_view path(reinterpret_cast<const char*>(payload.data() + 1), n);
      return ByPath(code, path, payload.subspan(1 + n));
    }
    case 24: {
      if (payload.size() < 4 || get_u32le(payload) != payload.size() - 4) return Result(false);
      rings_.emplace_back(reinterpret_cast<const char*>(payload.data() + 4), payload.size() - 4);
      return Result(true);
    }
    default:
      return ByHandle(code, sequence, payload);
  }
}

std::vector<std::byte> TerminalService::Device(std::uint16_t code,
                                               std::span<const std::byte> payload) {
  switch (code) {
    case 0:  // version: major, minor, build
      return Words({1, 2, 20261211});
    case 1:  // memory: load in percent, total, available
      return Words({37, 64u << 20, 40u << 20});
    case 2: {  // power: on AC, battery high, 87 %, full life times unknown
      std::vector<std::byte> record(24);
      record[0] = std::byte{1};
      record[1] = std::byte{1};
      record[2] = std::byte{87};
      put_u32le(std::span(record).subspan(4), kFailure);
      put_u32le(std::span(record).subspan(8), kFailure);
      record[13] = std::byte{1};
      record[14] = std::byte{100};
      put_u32le(std::span(record).subspan(16), kFailure);
      put_u32le(std::span(record).subspan(20), kFailure);
      return record;
    }
    case 3: {  // store size and free size of the served folder
      if (payload.size() != 4) return Result(false);
      struct statvfs info {};
      if (::statvfs(root_.c_str(), &info) != 0) return Words({0, 0});
      const auto clamp = [](unsigned long long bytes) {
        return static_cast<std::uint32_t>(std::min<unsigned long long>(bytes, kFailure - 1));
      };
      return Words({clamp(static_cast<unsigned long long>(info.f_blocks) * info.f_frsize),
                    clamp(static_cast<unsigned long long>(info.f_bavail) * info.f_frsize)});
    }
    default: {  // system information: an ARM device with 4 KiB pages
      std::vector<std::byte> record(80);
      put_u32le(std::span(record).subspan(0), 5);      // processor architecture: ARM
      put_u32le(std::span(record).subspan(4), 4096);   // page size
      put_u32le(std::span(record).subspan(8), 0x10000);
      put_u32le(std::span(record).subspan(12), 0x7FFFFFFF);
      put_u32le(std::span(record).subspan(16), 1);     // active processor mask
      put_u32le(std::span(record).subspan(20), 1);     // processors
      put_u32le(std::span(record).subspan(24), 2577);  // processor type
      put_u32le(std::span(record).subspan(28), 0x10000);
      return record;
    }
  }
}

std::vector<std::byte> TerminalService::ByPath(std::uint16_t code, std::string_view path,
                                               std::span<const std::byte> rest) {
  if (code == 5) return FindFirst(path);
  const std::filesystem::path where = Resolve(path);
  const bool inside = !where.empty();
  switch (code) {
    case 8: {
      struct stat info {};
      if (!inside || ::stat(where.c_str(), &info) != 0) return Words({kFailure});
      return Words({AttributesOf(info)});
    }
    case 9: {
      if (rest.size() != 4) return Result(false);
      struct stat info {};
      if (!inside || ::stat(where.c_str(), &info) != 0) return Result(false);
      const mode_t writable = S_IWUSR | S_IWGRP;
      const mode_t mode = (get_u32le(rest) & kReadOnly) ? (info.st_mode & ~writable)
                                                         : (info.st_mode | S_IWUSR);
      return Result(::chmod(where.c_str(), mode & 07777) == 0);
    }
    case 10:
    case 11: {
      if (rest.size() != 4 || !inside) return Words({kFailure});
      link::UniqueFd fd;
      if (code == 10) {
        fd.reset(::open(where.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
      } else {
        fd.reset(::open(where.c_str(), O_RDWR | O_CLOEXEC));
        if (!fd) fd.reset(::open(where.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (fd && (::fstat(fd.get(), &info) != 0 || S_ISDIR(info.st_mode))) fd.reset();
      }
      if (!fd) return Words({kFailure});
      const std::uint32_t handle = NewHandle();
      files_[handle].fd = std::move(fd);
      return Words({handle});
    }
    case 17:
      return Result(inside && ::mkdir(where.c_str(), 0755) == 0);
    case 18:
      return Result(inside && ::rmdir(where.c_str()) == 0);
    default:  // 19
      return Result(inside && ::unlink(where.c_str()) == 0);
  }
}

std::vector<std::byte> TerminalService::FindFirst(std::string_view pattern) {
  std::vector<std::byte> answer(kFindRecordBytes + 4);
  const std::filesystem::path where = Resolve(pattern);
  if (where.empty()) return answer;
  Search search;
  const std::string mask = where.filename().string();
  std::error_code error;
  if (mask.find_first_of("*?[") == std::string::npos) {
    if (std::filesystem::exists(where, error)) search.matches.push_back(where);
  } else {
    for (const auto& entry : std::filesystem::directory_iterator(where.parent_path(), error)) {
      if (::fnmatch(mask.c_str(), entry.path().filename().c_str(), FNM_CASEFOLD) == 0) {
        search.matches.push_back(entry.path());
      }
    }
    std::sort(search.matches.begin(), search.matches.end());
  }
  if (search.matches.empty()) return answer;  // handle 0: nothing found
  FillFindRecord(std::span(answer).first(kFindRecordBytes), search.matches[0]);
  search.next = 1;
  const std::uint32_t handle = NewHandle();
  searches_[handle] = std::move(search);
  put_u32le(std::span(answer).subspan(kFindRecordBytes), handle);
  return answer;
}

std::vector<std::byte> TerminalService::FindNext(std::uint32_t handle) {
  std::vector<std::byte> answer(kFindRecordBytes + 4);
  const auto found = searches_.find(handle);
  if (found == searches_.end() || found->second.next >= found->second.matches.size()) {
    return answer;
  }
  FillFindRecord(std::span(answer).first(kFindRecordBytes),
                 found->second.matches[found->second.next++]);
  put_u32le(std::span(answer).subspan(kFindRecordBytes), 1);
  return answer;
}

std::vector<std::byte> TerminalService::ByHandle(std::uint16_t code, std::uint16_t sequence,
                                                 std::span<const std::byte> payload) {
  if (payload.size() < 4) return Result(false);
  const std::uint32_t handle = get_u32le(payload);
  if (code == 6) return FindNext(handle);
  if (code == 7) return Result(searches_.erase(handle) == 1);
  const auto found = files_.find(handle);
  OpenFile* file = found == files_.end() ? nullptr : &found->second;
  const int fd = file != nullptr ? file->fd.get() : -1;
  auto mark_chunk = [&] {
    file->has_last_chunk = true;
    file->last_chunk_sequence = sequence;
    file->before_last_chunk = ::lseek(fd, 0, SEEK_CUR);
  };
  switch (code) {
    case 12: {  // read chunk: m, the bytes, result
      if (payload.size() != 8) return Result(false);
      const std::uint32_t count = get_u32le(payload.subspan(4));
      if (file == nullptr || count > kChunkBytes) return Words({0, 0});
      mark_chunk();
      std::vector<std::byte> answer(8 + count);
      const ssize_t got = ::read(fd, answer.data() + 4, count);
      const std::uint32_t m = got < 0 ? 0 : static_cast<std::uint32_t>(got);
      answer.resize(8 + m);
      put_u32le(answer, m);
      put_u32le(std::span(answer).subspan(4 + m), got < 0 ? 0 : 1);
      return answer;
    }
    case 13: {  // write chunk: bytes written, result
      if (payload.size() < 8) return Words({0, 0});
      const std::uint32_t count = get_u32le(payload.subspan(4));
      if (file == nullptr || count > kChunkBytes || payload.size() != 8 + count) {
        return Words({0, 0});
      }
      mark_chunk();
      const ssize_t put = ::write(fd, payload.data() + 8, count);
      if (put < 0) return Words({0, 0});
      return Words({static_cast<std::uint32_t>(put), 1});
    }
    case 14:
      return Result(files_.erase(handle) == 1);
    case 15: {
      if (payload.size() != 12 || file == nullptr) return Words({kFailure});
      const auto distance = static_cast<std::int32_t>(get_u32le(payload.subspan(4)));
      const std::uint32_t method = get_u32le(payload.subspan(8));
      if (method > 2) return Words({kFailure});
      const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
      const off_t at = ::lseek(fd, distance, whence[method]);
      return Words({at < 0 ? kFailure : Low32(at)});
    }
    case 16: {
      if (file == nullptr) return Result(false);
      return Result(::ftruncate(fd, ::lseek(fd, 0, SEEK_CUR)) == 0);
    }
    case 20: {
      struct stat info {};
      if (file == nullptr || ::fstat(fd, &info) != 0) return Words({kFailure});
      return Words({Low32(info.st_size)});
    }
    case 21: {
      struct stat info {};
      if (file == nullptr || ::fstat(fd, &info) != 0) return Words({0, 0, 0, 0});
      return Words({Low32(info.st_ctime), Low32(info.st_atime), Low32(info.st_mtime), 1});
    }
    case 22: {
      if (payload.size() != 16 || file == nullptr) return Result(false);
      timespec times[2];
      const std::uint32_t access = get_u32le(payload.subspan(8));
      const std::uint32_t write = get_u32le(payload.subspan(12));
      times[0] = access != 0 ? timespec{static_cast<time_t>(access), 0} : timespec{0, UTIME_OMIT};
      times[1] = write != 0 ? timespec{static_cast<time_t>(write), 0} : timespec{0, UTIME_OMIT};
      return Result(::futimens(fd, times) == 0);
    }
    case 23: {
      if (payload.size() != 8 || file == nullptr) return Words({0});
      const auto wanted = static_cast<std::uint16_t>(get_u32le(payload.subspan(4)) & 0xFFFF);
      if (file->has_last_chunk && file->last_chunk_sequence == wanted) {
        ::lseek(fd, file->before_last_chunk, SEEK_SET);
        file->has_last_chunk = false;
      }
      return Words({1});
    }
    default:
      return Result(false);
  }
}

}  // namespace vork::termsim
