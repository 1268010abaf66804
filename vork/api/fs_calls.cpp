// Remote file system: directory search, attributes, directories, delete.
#include <cstring>

#include "path_field.h"
#include "remote_calls.h"
#include "word_queries.h"

namespace vork::api {

using link::Command;
using link::ExactLength;
using link::get_u32le;
using link::Outcome;
using link::Transact;

namespace {

constexpr std::size_t kFindRecordBytes = 120;
constexpr std::int32_t kNone = -1;

// A 124-byte answer: the find record, then a u32. A null record is not
// written; the handle or word still counts.
std::uint32_t TakeFindRecord(CallContext& ctx, void* record120) {
  const auto answer = ctx.response_payload();
  if (record120 != nullptr) std::memcpy(record120, answer.data(), kFindRecordBytes);
  return get_u32le(answer.subspan(kFindRecordBytes));
}

}  // namespace

std::int32_t FindFirstFileW(CallContext& ctx, const char16_t* path, void* record120) {
  PathFieldBuffer payload{};
  const auto length = BuildPathField(path, payload);
  if (!length) return kNone;
  if (Transact(ctx, Command::kFindFirstFile, {std::span(payload).first(*length)},
               ExactLength(kFindRecordBytes + 4)) != Outcome::kAccepted) {
    return kNone;
  }
  const std::uint32_t handle = TakeFindRecord(ctx, record120);
  return handle == 0 ? kNone : static_cast<std::int32_t>(handle);
}

std::int32_t FindFirstFile(CallContext& ctx, const char* path, void* record120) {
  return WithWidened(path, kNone,
                     [&](const char16_t* wide) { return FindFirstFileW(ctx, wide, record120); });
}

std::int32_t FindNextFile(CallContext& ctx, std::uint32_t handle, void* record120) {
  const auto payload = U32Bytes(handle);
  if (Transact(ctx, Command::kFindNextFile, {payload}, ExactLength(kFindRecordBytes + 4)) !=
      Outcome::kAccepted) {
    return 0;
  }
  return static_cast<std::int32_t>(TakeFindRecord(ctx, record120));
}

std::int32_t FindClose(CallContext& ctx, std::uint32_t handle) {
  return AsResult(HandleQuery(ctx, Command::kFindClose, handle), 0);
}

std::int32_t GetFileAttributesW(CallContext& ctx, const char16_t* path) {
  return AsResult(PathQuery(ctx, Command::kGetFileAttributes, path), kNone);
}

std::int32_t GetFileAttributes(CallContext& ctx, const char* path) {
  return WithWidened(path, kNone,
                     [&](const char16_t* wide) { return GetFileAttributesW(ctx, wide); });
}

std::int32_t SetFileAttributesW(CallContext& ctx, const char16_t* path, std::uint32_t attributes) {
  return AsResult(PathQuery(ctx, Command::kSetFileAttributes, path, attributes), 0);
}

std::int32_t SetFileAttributes(CallContext& ctx, const char* path, std::uint32_t attributes) {
  return WithWidened(
      path, 0, [&](const char16_t* wide) { return SetFileAttributesW(ctx, wide, attributes); });
}

std::int32_t CreateDirectoryW(CallContext& ctx, const char16_t* path) {
  return AsResult(PathQuery(ctx, Command::kCreateDirectory, path), 0);
}

std::int32_t CreateDirectory(CallContext& ctx, const char* path) {
  return WithWidened(path, 0, [&](const char16_t* wide) { return CreateDirectoryW(ctx, wide); });
}

std::int32_t RemoveDirectoryW(CallContext& ctx, const char16_t* path) {
  return AsResult(PathQuery(ctx, Command::kRemoveDirectory, path), 0);
}

std::int32_t RemoveDirectory(CallContext& ctx, const char* path) {
  return WithWidened(path, 0, [&](const char16_t* wide) { return RemoveDirectoryW(ctx, wide); });
}

std::int32_t DeleteFileW(CallContext& ctx, const char16_t* path) {
  return AsResult(PathQuery(ctx, Command::kDeleteFile, path), 0);
}

std::int32_t DeleteFile(CallContext& ctx, const char* path) {
  return WithWidened(path, 0, [&](const char16_t* wide) { return DeleteFileW(ctx, wide); });
}

}  // namespace vork::api
