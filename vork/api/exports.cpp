// The exported C functions: each serializes on the call lock, runs its call
// on the one process-wide context, and turns anything unexpected into its
// failure value; no exception leaves the library.
#include "vork.h"

#include <exception>
#include <mutex>

#include "copy_engine.h"
#include "remote_calls.h"

namespace {

using vork::link::CallContext;

// The library's one process-wide object, built at load and torn down at
// unload: the link is closed first, so a call in progress and a background
// copy end at once, then the background copy is waited for, and only then
// do the context's events and areas go away.
struct Library {
  CallContext context;
  vork::api::BackgroundCopy background{context};
  ~Library() {
    context.link().ClosePort();
    background.AbortAndWait();
  }
};

Library library;

template <typename F>
std::int32_t Serialized(std::int32_t failure, F&& call) noexcept {
  try {
    std::lock_guard lock(library.context.call_mutex());
    return call(library.context);
  } catch (...) {
    return failure;
  }
}

}  // namespace

namespace api = vork::api;

extern "C" {

int32_t QMT_VorkInit(int32_t port, int32_t baud, int32_t compress) {
  return Serialized(0, [&](CallContext& c) { return api::VorkInit(c, port, baud, compress); });
}

int32_t QMT_VorkUninit(void) {
  // Never waits for a call in progress: it closes the link under it.
  try {
    return api::VorkUninit(library.context);
  } catch (...) {
    return 1;
  }
}

int32_t QMT_SetBaudrate(int32_t baud) {
  return Serialized(0, [&](CallContext& c) { return api::SetBaudrate(c, baud); });
}

int32_t QMT_GetVersion(void* record12) {
  return Serialized(0, [&](CallContext& c) { return api::GetVersion(c, record12); });
}

int32_t QMT_GlobalMemoryStatus(void* record12) {
  return Serialized(0, [&](CallContext& c) { return api::GlobalMemoryStatus(c, record12); });
}

int32_t QMT_GetSystemPowerStatus(void* record24) {
  return Serialized(0, [&](CallContext& c) { return api::GetSystemPowerStatus(c, record24); });
}

int32_t QMT_GetStoreInformation(void* record8, uint32_t value) {
  return Serialized(0, [&](CallContext& c) { return api::GetStoreInformation(c, record8, value); });
}

int32_t QMT_GetSystemInfo(void* record80) {
  return Serialized(0, [&](CallContext& c) { return api::GetSystemInfo(c, record80); });
}

int32_t QMT_RingW(const char16_t* text) {
  return Serialized(0, [&](CallContext& c) { return api::RingW(c, text); });
}

int32_t QMT_Ring(const char* text) {
  return Serialized(0, [&](CallContext& c) { return api::Ring(c, text); });
}

int32_t QMT_CreateFileW(const char16_t* path, uint32_t access) {
  return Serialized(-1, [&](CallContext& c) { return api::CreateFileW(c, path, access); });
}

int32_t QMT_OpenFileW(const char16_t* path, uint32_t mode) {
  return Serialized(-1, [&](CallContext& c) { return api::OpenFileW(c, path, mode); });
}

int32_t QMT_CreateFile(const char* path, uint32_t access) {
  return Serialized(-1, [&](CallContext& c) { return api::CreateFile(c, path, access); });
}

int32_t QMT_OpenFile(const char* path, uint32_t mode) {
  return Serialized(-1, [&](CallContext& c) { return api::OpenFile(c, path, mode); });
}

int32_t QMT_ReadFile(uint32_t handle, void* buffer, uint32_t count, uint32_t* read) {
  return Serialized(0, [&](CallContext& c) { return api::ReadFile(c, handle, buffer, count, read); });
}

int32_t QMT_WriteFile(uint32_t handle, const void* buffer, uint32_t count, uint32_t* written) {
  return Serialized(
      0, [&](CallContext& c) { return api::WriteFile(c, handle, buffer, count, written); });
}

int32_t QMT_CloseFile(uint32_t handle) {
  return Serialized(0, [&](CallContext& c) { return api::CloseFile(c, handle); });
}

int32_t QMT_SetFilePointer(uint32_t handle, int32_t distance, uint32_t method) {
  return Serialized(
      0, [&](CallContext& c) { return api::SetFilePointer(c, handle, distance, method); });
}

int32_t QMT_SetEndOfFile(uint32_t handle) {
  return Serialized(0, [&](CallContext& c) { return api::SetEndOfFile(c, handle); });
}

int32_t QMT_GetFileSize(uint32_t handle) {
  return Serialized(0, [&](CallContext& c) { return api::GetFileSize(c, handle); });
}

int32_t QMT_GetFileTime(uint32_t handle, uint32_t* creation, uint32_t* access, uint32_t* write) {
  return Serialized(
      0, [&](CallContext& c) { return api::GetFileTime(c, handle, creation, access, write); });
}

int32_t QMT_SetFileTime(uint32_t handle, const uint32_t* creation, const uint32_t* access,
                        const uint32_t* write) {
  return Serialized(
      0, [&](CallContext& c) { return api::SetFileTime(c, handle, creation, access, write); });
}

int32_t QMT_SetFilePosToPre(uint32_t handle, uint32_t sequence, uint32_t* answer) {
  return Serialized(
      0, [&](CallContext& c) { return api::SetFilePosToPre(c, handle, sequence, answer); });
}

int32_t QMT_FindFirstFileW(const char16_t* path, void* record120) {
  return Serialized(-1, [&](CallContext& c) { return api::FindFirstFileW(c, path, record120); });
}

int32_t QMT_FindFirstFile(const char* path, void* record120) {
  return Serialized(-1, [&](CallContext& c) { return api::FindFirstFile(c, path, record120); });
}

int32_t QMT_FindNextFile(uint32_t handle, void* record120) {
  return Serialized(0, [&](CallContext& c) { return api::FindNextFile(c, handle, record120); });
}

int32_t QMT_FindClose(uint32_t handle) {
  return Serialized(0, [&](CallContext& c) { return api::FindClose(c, handle); });
}

int32_t QMT_GetFileAttributesW(const char16_t* path) {
  return Serialized(-1, [&](CallContext& c) { return api::GetFileAttributesW(c, path); });
}

int32_t QMT_GetFileAttributes(const char* path) {
  return Serialized(-1, [&](CallContext& c) { return api::GetFileAttributes(c, path); });
}

int32_t QMT_SetFileAttributesW(const char16_t* path, uint32_t attributes) {
  return Serialized(
      0, [&](CallContext& c) { return api::SetFileAttributesW(c, path, attributes); });
}

int32_t QMT_SetFileAttributes(const char* path, uint32_t attributes) {
  return Serialized(0,
                    [&](CallContext& c) { return api::SetFileAttributes(c, path, attributes); });
}

int32_t QMT_CreateDirectoryW(const char16_t* path) {
  return Serialized(0, [&](CallContext& c) { return api::CreateDirectoryW(c, path); });
}

int32_t QMT_CreateDirectory(const char* path) {
  return Serialized(0, [&](CallContext& c) { return api::CreateDirectory(c, path); });
}

int32_t QMT_RemoveDirectoryW(const char16_t* path) {
  return Serialized(0, [&](CallContext& c) { return api::RemoveDirectoryW(c, path); });
}

int32_t QMT_RemoveDirectory(const char* path) {
  return Serialized(0, [&](CallContext& c) { return api::RemoveDirectory(c, path); });
}

int32_t QMT_DeleteFileW(const char16_t* path) {
  return Serialized(0, [&](CallContext& c) { return api::DeleteFileW(c, path); });
}

int32_t QMT_DeleteFile(const char* path) {
  return Serialized(0, [&](CallContext& c) { return api::DeleteFile(c, path); });
}

int32_t QMT_CopyFileW(const char16_t* source, const char16_t* target, int32_t /*unused*/) {
  return Serialized(0, [&](CallContext& c) { return api::CopyFileW(c, source, target); });
}

int32_t QMT_CopyFile(const char* source, const char* target, int32_t /*unused*/) {
  return Serialized(0, [&](CallContext& c) { return api::CopyFile(c, source, target); });
}

int32_t QMT_MoveFileW(const char16_t* source, const char16_t* target) {
  return Serialized(0, [&](CallContext& c) { return api::MoveFileW(c, source, target); });
}

int32_t QMT_MoveFile(const char* source, const char* target) {
  return Serialized(0, [&](CallContext& c) { return api::MoveFile(c, source, target); });
}

int32_t QMT_CopyFileExW(const char16_t* source, const char16_t* target, int32_t /*unused*/,
                        int32_t* status, int32_t* cancel, int32_t /*unused2*/) {
  // Not serialized as a whole: the copy runs on its own thread and takes the
  // call lock for each of its remote operations.
  try {
    return api::CopyFileExW(library.background, source, target, status, cancel);
  } catch (...) {
    return 0;
  }
}

int32_t QMT_CopyFileEx(const char* source, const char* target, int32_t /*unused*/,
                       int32_t* status, int32_t* cancel, int32_t /*unused2*/) {
  try {
    return api::CopyFileEx(library.background, source, target, status, cancel);
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
