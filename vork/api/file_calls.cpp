// Remote file handles: create, open, chunked read and write, and the
// single-exchange handle calls.
#include <algorithm>
#include <cstring>

#include "path_field.h"
#include "remote_calls.h"
#include "word_queries.h"

namespace vork::api {

using link::Command;
using link::ExactLength;
using link::get_u32le;
using link::Outcome;
using link::put_u32le;
using link::Transact;

namespace {

constexpr std::uint32_t kChunkBytes = 1024;
constexpr std::int32_t kNoHandle = -1;

// Before a chunk goes again, the terminal puts the file back to where the
// lost chunk began; the last request begun was that chunk.
auto Reposition(CallContext& ctx, std::uint32_t handle) {
  return [&ctx, handle] {
    std::uint32_t answer = 0;
    return SetFilePosToPre(ctx, handle, ctx.CurrentSequence(), &answer) != 0;
  };
}

// Read chunk (12): the terminal's result, 0 on failure; moved = m.
std::uint32_t ReadChunk(CallContext& ctx, std::uint32_t handle, std::byte* into,
                        std::uint32_t count, std::uint32_t& moved) {
  if (count > kChunkBytes) return 0;
  std::array<std::byte, 8> payload{};
  put_u32le(payload, handle);
  put_u32le(std::span(payload).subspan(4), count);
  const auto accepts = [count](std::span<const std::byte> answer) {
    if (answer.size() < 8) return false;
    const std::uint32_t m = get_u32le(answer);
    // Never more than was asked for: the caller's buffer ends there.
    return m <= kChunkBytes && m <= count && answer.size() == m + 8;
  };
  if (Transact(ctx, Command::kReadChunk, {payload}, accepts, Reposition(ctx, handle)) !=
      Outcome::kAccepted) {
    return 0;
  }
  const auto answer = ctx.response_payload();
  moved = get_u32le(answer);
  std::memcpy(into, answer.data() + 4, moved);
  return get_u32le(answer.subspan(4 + moved));
}

// Write chunk (13): the terminal's result, 0 on failure; moved = bytes written.
std::uint32_t WriteChunk(CallContext& ctx, std::uint32_t handle, const std::byte* from,
                         std::uint32_t count, std::uint32_t& moved) {
  if (count > kChunkBytes) return 0;
  std::array<std::byte, 8> head{};
  put_u32le(head, handle);
  put_u32le(std::span(head).subspan(4), count);
  if (Transact(ctx, Command::kWriteChunk, {head, std::span(from, count)}, ExactLength(8),
               Reposition(ctx, handle)) != Outcome::kAccepted) {
    return 0;
  }
  moved = get_u32le(ctx.response_payload());
  return get_u32le(ctx.response_payload().subspan(4));
}

// Cuts count bytes into chunks of 1024 and the rest; stops at the first
// chunk that fails or comes short. done always holds the bytes moved.
template <typename Chunk>
std::int32_t MoveInChunks(std::uint32_t count, std::uint32_t* done, Chunk chunk) {
  std::uint32_t total = 0;
  auto finish = [done](std::uint32_t value, std::int32_t result) {
    if (done != nullptr) *done = value;
    return result;
  };
  while (total < count) {
    const std::uint32_t size = std::min(kChunkBytes, count - total);
    std::uint32_t moved = 0;
    if (chunk(total, size, moved) == 0) return finish(total, 0);
    if (moved < size) return finish(total + moved, 0);
    total += size;
  }
  return finish(count, 1);
}

}  // namespace

std::int32_t CreateFileW(CallContext& ctx, const char16_t* path, std::uint32_t access) {
  return AsResult(PathQuery(ctx, Command::kCreateFile, path, access), kNoHandle);
}

std::int32_t OpenFileW(CallContext& ctx, const char16_t* path, std::uint32_t mode) {
  return AsResult(PathQuery(ctx, Command::kOpenFile, path, mode), kNoHandle);
}

std::int32_t CreateFile(CallContext& ctx, const char* path, std::uint32_t access) {
  return WithWidened(path, kNoHandle,
                     [&](const char16_t* wide) { return CreateFileW(ctx, wide, access); });
}

std::int32_t OpenFile(CallContext& ctx, const char* path, std::uint32_t mode) {
  return WithWidened(path, kNoHandle,
                     [&](const char16_t* wide) { return OpenFileW(ctx, wide, mode); });
}

std::int32_t ReadFile(CallContext& ctx, std::uint32_t handle, void* buffer, std::uint32_t count,
                      std::uint32_t* read) {
  if (buffer == nullptr && count != 0) {
    if (read != nullptr) *read = 0;
    return 0;
  }
  auto* bytes = static_cast<std::byte*>(buffer);
  return MoveInChunks(count, read, [&](std::uint32_t at, std::uint32_t size, std::uint32_t& moved) {
    return ReadChunk(ctx, handle, bytes + at, size, moved);
  });
}

std::int32_t WriteFile(CallContext& ctx, std::uint32_t handle, const void* buffer,
                       std::uint32_t count, std::uint32_t* written) {
  if (buffer == nullptr && count != 0) {
    if (written != nullptr) *written = 0;
    return 0;
  }
  const auto* bytes = static_cast<const std::byte*>(buffer);
  return MoveInChunks(count, written,
                      [&](std::uint32_t at, std::uint32_t size, std::uint32_t& moved) {
                        return WriteChunk(ctx, handle, bytes + at, size, moved);
                      });
}

std::int32_t CloseFile(CallContext& ctx, std::uint32_t handle) {
  return AsResult(HandleQuery(ctx, Command::kCloseFile, handle), 0);
}

std::int32_t SetFilePointer(CallContext& ctx, std::uint32_t handle, std::int32_t distance,
                            std::uint32_t method) {
  std::array<std::byte, 12> payload{};
  put_u32le(payload, handle);
  put_u32le(std::span(payload).subspan(4), static_cast<std::uint32_t>(distance));
  put_u32le(std::span(payload).subspan(8), method);
  if (Transact(ctx, Command::kSetFilePointer, {payload}, ExactLength(4)) != Outcome::kAccepted) {
    return 0;
  }
  return static_cast<std::int32_t>(get_u32le(ctx.response_payload()));
}

std::int32_t SetEndOfFile(CallContext& ctx, std::uint32_t handle) {
  return AsResult(HandleQuery(ctx, Command::kSetEndOfFile, handle), 0);
}

std::int32_t GetFileSize(CallContext& ctx, std::uint32_t handle) {
  return AsResult(QueryFileSize(ctx, handle), 0);
}

std::optional<std::uint32_t> QueryFileSize(CallContext& ctx, std::uint32_t handle) {
  return HandleQuery(ctx, Command::kGetFileSize, handle);
}

std::int32_t GetFileTime(CallContext& ctx, std::uint32_t handle, std::uint32_t* creation,
                         std::uint32_t* access, std::uint32_t* write) {
  const auto payload = U32Bytes(handle);
  if (Transact(ctx, Command::kGetFileTime, {payload}, ExactLength(16)) != Outcome::kAccepted) {
    return 0;
  }
  const auto answer = ctx.response_payload();
  std::uint32_t* times[] = {creation, access, write};
  for (std::size_t i = 0; i < 3; ++i) {
    if (times[i] != nullptr) *times[i] = get_u32le(answer.subspan(4 * i));
  }
  return static_cast<std::int32_t>(get_u32le(answer.subspan(12)));
}

std::int32_t SetFileTime(CallContext& ctx, std::uint32_t handle, const std::uint32_t* creation,
                         const std::uint32_t* access, const std::uint32_t* write) {
  std::array<std::byte, 16> payload{};
  put_u32le(payload, handle);
  const std::uint32_t* times[] = {creation, access, write};
  for (std::size_t i = 0; i < 3; ++i) {
    put_u32le(std::span(payload).subspan(4 + 4 * i), times[i] != nullptr ? *times[i] : 0);
  }
  // No answer at all is a failure like any other.
  if (Transact(ctx, Command::kSetFileTime, {payload}, ExactLength(4)) != Outcome::kAccepted) {
    return 0;
  }
  return static_cast<std::int32_t>(get_u32le(ctx.response_payload()));
}

std::int32_t SetFilePosToPre(CallContext& ctx, std::uint32_t handle, std::uint32_t sequence,
                             std::uint32_t* answer) {
  std::array<std::byte, 8> payload{};
  put_u32le(payload, handle);
  put_u32le(std::span(payload).subspan(4), sequence);
  if (Transact(ctx, Command::kSetFilePosToPre, {payload}, ExactLength(4)) != Outcome::kAccepted) {
    return 0;
  }
  if (answer != nullptr) *answer = get_u32le(ctx.response_payload());
  return 1;
}

}  // namespace vork::api
