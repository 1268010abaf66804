#include "copy_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "remote_calls.h"
#include "unique_fd.h"

namespace vork::api {

namespace {

constexpr std::uint32_t kSourceOpenMode = 2;
constexpr std::uint32_t kTargetAccess = 0xC0000000;  // generic read and write
constexpr std::size_t kMaxTerminalPathBytes = 255;

// A terminal path as the terminal resolves it: after "QMT" and an optional
// ":", parts separated by "\" or "/", empty and "." parts dropped, ".."
// taking the part before it away, letters folded (its file system ignores
// case). Only for telling whether two paths name one file.
std::vector<std::string> TerminalParts(std::string_view path) {
  path.remove_prefix(3);
  if (!path.empty() && path.front() == ':') path.remove_prefix(1);
  std::vector<std::string> parts;
  std::string part;
  auto end_part = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (const char c : path) {
    if (c == '\\' || c == '/') {
      end_part();
    } else {
      part.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    }
  }
  end_part();
  return parts;
}

// Whether both paths name one file: the same inode on the PC, the same
// resolved name on the terminal.
bool SameFile(const CopyPath& source, const CopyPath& target) {
  if (source.on_terminal() != target.on_terminal()) return false;
  if (source.on_terminal()) return TerminalParts(source.narrow()) == TerminalParts(target.narrow());
  struct stat a {}, b{};
  if (::stat(source.narrow(), &a) != 0 || ::stat(target.narrow(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A read-only file (no write permission for its owner) is kept, as callers
// expect a read-only target or source to survive a copy or move; root's
// unlink would ignore that.
bool DeletePcFile(const char* path) {
  struct stat info {};
  if (::lstat(path, &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & S_IWUSR) == 0) {
    return false;
  }
  return ::unlink(path) == 0;
}

// An open file on either side. Reads, writes and closes go by its kind;
// remote operations take the call lock each, as exported calls do.
class Endpoint {
 public:
  Endpoint(CallContext& ctx, const CopyPath& path) : ctx_(ctx), path_(path) {}
  ~Endpoint() { Close(); }
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  [[nodiscard]] bool OpenForReading() {
    if (path_.on_terminal()) {
      remote_ = Remote([&] { return OpenFileW(ctx_, path_.wide(), kSourceOpenMode); });
      return remote_ != -1;
    }
    // Non-blocking, so that a FIFO cannot hold the open; only a regular file
    // is a source (a folder or a device would replace the target with
    // nothing).
    pc_.reset(::open(path_.narrow(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat info {};
    if (pc_.valid() && (::fstat(pc_.get(), &info) != 0 || !S_ISREG(info.st_mode))) pc_.reset();
    return pc_.valid();
  }

  // Creates the file new; an existing one is deleted and the create tried
  // once more.
  [[nodiscard]] bool CreateNew() {
    if (TryCreate()) return true;
    if (!Delete()) return false;
    return TryCreate();
  }

  // The size, or nothing when it cannot be known or needs more than 32 bits.
  [[nodiscard]] std::optional<std::uint32_t> Size() {
    if (path_.on_terminal()) {
      return Remote([&] { return QueryFileSize(ctx_, static_cast<std::uint32_t>(remote_)); });
    }
    struct stat info {};
    if (::fstat(pc_.get(), &info) != 0) return std::nullopt;
    if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) >
                                std::numeric_limits<std::uint32_t>::max()) {
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(info.st_size);
  }

  // Bytes read into the front of `into`; fewer than asked means a failure.
  [[nodiscard]] std::size_t Read(std::span<std::byte> into) {
    if (path_.on_terminal()) {
      std::uint32_t got = 0;
      Remote([&] {
        return ReadFile(ctx_, static_cast<std::uint32_t>(remote_), into.data(),
                        static_cast<std::uint32_t>(into.size()), &got);
      });
      return got;
    }
    return Repeat(into.size(), [&](std::size_t done) {
      return ::read(pc_.get(), into.data() + done, into.size() - done);
    });
  }

  [[nodiscard]] std::size_t Write(std::span<const std::byte> from) {
    if (path_.on_terminal()) {
      std::uint32_t put = 0;
      Remote([&] {
        return WriteFile(ctx_, static_cast<std::uint32_t>(remote_), from.data(),
                         static_cast<std::uint32_t>(from.size()), &put);
      });
      return put;
    }
    return Repeat(from.size(), [&](std::size_t done) {
      return ::write(pc_.get(), from.data() + done, from.size() - done);
    });
  }

  void Close() {
    if (remote_ != -1) {
      Remote([&] { return CloseFile(ctx_, static_cast<std::uint32_t>(remote_)); });
      remote_ = -1;
    }
    pc_.reset();
  }

 private:
  // Repeats a read or write that may move fewer bytes than asked until all
  // `total` have moved, the file ends or it fails; the bytes moved.
  template <typename Io>
  static std::size_t Repeat(std::size_t total, Io io) {
    std::size_t done = 0;
    while (done < total) {
      const ssize_t moved = io(done);
      if (moved < 0 && errno == EINTR) continue;
      if (moved <= 0) break;
      done += static_cast<std::size_t>(moved);
    }
    return done;
  }

  template <typename F>
  std::invoke_result_t<F&> Remote(F&& f) {
    std::lock_guard lock(ctx_.call_mutex());
    return f();
  }

  bool TryCreate() {
    if (path_.on_terminal()) {
      remote_ = Remote([&] { return CreateFileW(ctx_, path_.wide(), kTargetAccess); });
      return remote_ != -1;
    }
    pc_.reset(::open(path_.narrow(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    return pc_.valid();
  }

  bool Delete() {
    if (path_.on_terminal()) return Remote([&] { return DeleteFileW(ctx_, path_.wide()); }) != 0;
    return DeletePcFile(path_.narrow());
  }

  CallContext& ctx_;
  const CopyPath& path_;
  link::UniqueFd pc_;
  std::int32_t remote_ = -1;
};


}  // namespace

std::optional<CopyPath> CopyPath::FromWide(const char16_t* wide) {
  CopyPath path;
  const auto n = WideToCodePage(wide, {path.narrow_.data(), kMaxCopyPathBytes});
  if (!n) return std::nullopt;
  path.wide_ = wide;
  if (path.on_terminal() && *n > kMaxTerminalPathBytes) return std::nullopt;
  return path;
}

std::optional<CopyPath> CopyPath::FromNarrow(const char* narrow) {
  if (narrow == nullptr) return std::nullopt;
  const std::size_t n = std::strlen(narrow);
  if (n > kMaxCopyPathBytes) return std::nullopt;
  CopyPath path;
  std::memcpy(path.narrow_.data(), narrow, n);
  if (path.on_terminal()) {
    if (n > kMaxTerminalPathBytes) return std::nullopt;
    const auto wide = Widen(narrow);
    if (!wide) return std::nullopt;
    path.own_wide_ = *wide;
  }
  return path;
}

bool CopyPath::on_terminal() const { return std::strncmp(narrow_.data(), "QMT", 3) == 0; }

CopyStatus RunCopy(CallContext& ctx, const CopyPath& source, const CopyPath& target,
                   CopyObserver* observer) {
  if (SameFile(source, target)) return CopyStatus::kTargetFailure;
  Endpoint from(ctx, source);
  if (!from.OpenForReading()) return CopyStatus::kReadFailure;
  // A PC source too large for 32-bit sizes is refused before any target is
  // touched. A terminal source is asked for its size only after the target
  // exists, as the terminal sees the requests in that order.
  if (!source.on_terminal() && !from.Size()) return CopyStatus::kReadFailure;
  Endpoint to(ctx, target);
  if (!to.CreateNew()) return CopyStatus::kTargetFailure;  // the source closes on the way out

  auto finish = [&](CopyStatus status) {
    from.Close();
    to.Close();
    return status;
  };
  const auto size = from.Size();
  if (!size) return finish(CopyStatus::kReadFailure);
  const auto blocks = static_cast<std::uint32_t>(*size / kBlockBytes);
  const std::size_t remainder = *size % kBlockBytes;

  std::array<std::byte, kBlockBytes> block;
  for (std::uint32_t k = 0; k < blocks; ++k) {
    if (from.Read(block) != kBlockBytes) return finish(CopyStatus::kReadFailure);
    if (to.Write(block) != kBlockBytes) return finish(CopyStatus::kWriteFailure);
    if (observer != nullptr) {
      if (observer->StopRequested()) return finish(CopyStatus::kCancelled);
      observer->BlockDone(k, blocks);
    }
  }
  const auto rest = std::span(block).first(remainder);
  if (from.Read(rest) != remainder) return finish(CopyStatus::kReadFailure);
  if (to.Write(rest) != remainder) return finish(CopyStatus::kWriteFailure);
  return finish(CopyStatus::kDone);
}

std::int32_t CopyFileW(CallContext& ctx, const char16_t* source, const char16_t* target) {
  const auto from = CopyPath::FromWide(source);
  const auto to = CopyPath::FromWide(target);
  if (!from || !to) return 0;
  return RunCopy(ctx, *from, *to, nullptr) == CopyStatus::kDone ? 1 : 0;
}

std::int32_t CopyFile(CallContext& ctx, const char* source, const char* target) {
  const auto from = Widen(source);
  const auto to = Widen(target);
  if (!from || !to) return 0;
  return CopyFileW(ctx, from->data(), to->data());
}

std::int32_t MoveFileW(CallContext& ctx, const char16_t* source, const char16_t* target) {
  const auto from = CopyPath::FromWide(source);
  if (!from || CopyFileW(ctx, source, target) == 0) return 0;
  if (from->on_terminal()) return DeleteFileW(ctx, source);
  return DeletePcFile(from->narrow()) ? 1 : 0;
}

std::int32_t MoveFile(CallContext& ctx, const char* source, const char* target) {
  const auto from = Widen(source);
  const auto to = Widen(target);
  if (!from || !to) return 0;
  return MoveFileW(ctx, from->data(), to->data());
}

bool BackgroundCopy::Start(std::optional<CopyPath> source, std::optional<CopyPath> target,
                           std::int32_t* status, std::int32_t* cancel) {
  std::lock_guard lock(mutex_);
  if (running_) return false;
  // The last copy has published its final status; let its thread end.
  if (thread_.joinable()) thread_.join();
  abort_ = false;
  running_ = true;
  try {
    thread_ = std::thread([this, source, target, status, cancel] {
      Run(source, target, status, cancel);
    });
  } catch (...) {
    running_ = false;
    return false;
  }
  return true;
}

void BackgroundCopy::AbortAndWait() {
  abort_ = true;
  std::thread running;
  {
    std::lock_guard lock(mutex_);
    running = std::move(thread_);
  }
  // Joined outside the lock: the thread takes it once more on its way out.
  if (running.joinable()) running.join();
}

void BackgroundCopy::Run(std::optional<CopyPath> source, std::optional<CopyPath> target,
                         std::int32_t* status, std::int32_t* cancel) {
  auto publish = [&](std::int32_t value) {
    if (probe_) probe_(value);
    if (status != nullptr) std::atomic_ref<std::int32_t>(*status).store(value);
  };
  CopyStatus outcome = CopyStatus::kReadFailure;
  class Observer final : public CopyObserver {
   public:
    Observer(std::function<void(std::int32_t)> publish, std::int32_t* cancel,
             const std::atomic<bool>& abort)
        : publish_(std::move(publish)), cancel_(cancel), abort_(abort) {}
    void BlockDone(std::uint32_t block, std::uint32_t blocks) override {
      const auto percent = static_cast<std::int32_t>(100ULL * block / blocks);
      publish_(std::max(2, percent));
    }
    bool StopRequested() override {
      if (abort_.load()) return true;
      return cancel_ != nullptr && std::atomic_ref<std::int32_t>(*cancel_).load() == 1;
    }

   private:
    std::function<void(std::int32_t)> publish_;
    std::int32_t* cancel_;
    const std::atomic<bool>& abort_;
  } observer(publish, cancel, abort_);

  if (!source) {
    outcome = CopyStatus::kReadFailure;
  } else if (!target) {
    outcome = CopyStatus::kTargetFailure;
  } else {
    try {
      outcome = RunCopy(ctx_, *source, *target, &observer);
    } catch (...) {
      // Out of memory on the way; the files are closed by now. An exception
      // must not end the caller's process from this thread.
      outcome = CopyStatus::kReadFailure;
    }
  }
  {
    // Not running any more before the final value shows: a caller who sees
    // it may start the next copy at once.
    std::lock_guard lock(mutex_);
    running_ = false;
  }
  publish(static_cast<std::int32_t>(outcome));
}

std::int32_t CopyFileExW(BackgroundCopy& background, const char16_t* source,
                         const char16_t* target, std::int32_t* status, std::int32_t* cancel) {
  // The thread works from 8-bit copies of the paths; the caller's strings
  // may be gone by the time it runs.
  auto narrowed = [](const char16_t* wide) -> std::optional<CopyPath> {
    const auto path = CopyPath::FromWide(wide);
    return path ? CopyPath::FromNarrow(path->narrow()) : std::nullopt;
  };
  return background.Start(narrowed(source), narrowed(target), status, cancel) ? 1 : 0;
}

std::int32_t CopyFileEx(BackgroundCopy& background, const char* source, const char* target,
                        std::int32_t* status, std::int32_t* cancel) {
  const auto from = Widen(source);
  const auto to = Widen(target);
  return CopyFileExW(background, from ? from->data() : nullptr, to ? to->data() : nullptr, status,
                     cancel);
}

}  // namespace vork::api
