// The remote calls behind the exports, on an explicit call context.
//
// Each function is what its QMT_ export does, minus the serialization and
// the exception barrier that the export adds; tests run them on contexts
// of their own (with a short response time-out, say). Failure values are
// those of the exports.
#pragma once

#include <cstdint>
#include <optional>

#include "exchange.h"

namespace vork::api {

using link::CallContext;

// Link control and device information.
std::int32_t VorkInit(CallContext& ctx, std::int32_t port, std::int32_t baud, std::int32_t compress);
std::int32_t VorkUninit(CallContext& ctx);
std::int32_t SetBaudrate(CallContext& ctx, std::int32_t baud);
std::int32_t GetVersion(CallContext& ctx, void* record12);
std::int32_t GlobalMemoryStatus(CallContext& ctx, void* record12);
std::int32_t GetSystemPowerStatus(CallContext& ctx, void* record24);
std::int32_t GetStoreInformation(CallContext& ctx, void* record8, std::uint32_t value);
std::int32_t GetSystemInfo(CallContext& ctx, void* record80);
std::int32_t RingW(CallContext& ctx, const char16_t* text);
std::int32_t Ring(CallContext& ctx, const char* text);

// Remote file handles.
std::int32_t CreateFileW(CallContext& ctx, const char16_t* path, std::uint32_t access);
std::int32_t OpenFileW(CallContext& ctx, const char16_t* path, std::uint32_t mode);
std::int32_t CreateFile(CallContext& ctx, const char* path, std::uint32_t access);
std::int32_t OpenFile(CallContext& ctx, const char* path, std::uint32_t mode);
std::int32_t ReadFile(CallContext& ctx, std::uint32_t handle, void* buffer, std::uint32_t count,
                      std::uint32_t* read);
std::int32_t WriteFile(CallContext& ctx, std::uint32_t handle, const void* buffer,
                       std::uint32_t count, std::uint32_t* written);
std::int32_t CloseFile(CallContext& ctx, std::uint32_t handle);
std::int32_t SetFilePointer(CallContext& ctx, std::uint32_t handle, std::int32_t distance,
                            std::uint32_t method);
std::int32_t SetEndOfFile(CallContext& ctx, std::uint32_t handle);
std::int32_t GetFileSize(CallContext& ctx, std::uint32_t handle);
std::int32_t GetFileTime(CallContext& ctx, std::uint32_t handle, std::uint32_t* creation,
                         std::uint32_t* access, std::uint32_t* write);
std::int32_t SetFileTime(CallContext& ctx, std::uint32_t handle, const std::uint32_t* creation,
                         const std::uint32_t* access, const std::uint32_t* write);
std::int32_t SetFilePosToPre(CallContext& ctx, std::uint32_t handle, std::uint32_t sequence,
                             std::uint32_t* answer);
// The size query of the copy engine: unlike GetFileSize it tells a failed
// query from an empty file.
std::optional<std::uint32_t> QueryFileSize(CallContext& ctx, std::uint32_t handle);

// Remote file system.
std::int32_t FindFirstFileW(CallContext& ctx, const char16_t* path, void* record120);
std::int32_t FindFirstFile(CallContext& ctx, const char* path, void* record120);
std::int32_t FindNextFile(CallContext& ctx, std::uint32_t handle, void* record120);
std::int32_t FindClose(CallContext& ctx, std::uint32_t handle);
std::int32_t GetFileAttributesW(CallContext& ctx, const char16_t* path);
std::int32_t GetFileAttributes(CallContext& ctx, const char* path);
std::int32_t SetFileAttributesW(CallContext& ctx, const char16_t* path, std::uint32_t attributes);
std::int32_t SetFileAttributes(CallContext& ctx, const char* path, std::uint32_t attributes);
std::int32_t CreateDirectoryW(CallContext& ctx, const char16_t* path);
std::int32_t CreateDirectory(CallContext& ctx, const char* path);
std::int32_t RemoveDirectoryW(CallContext& ctx, const char16_t* path);
std::int32_t RemoveDirectory(CallContext& ctx, const char* path);
std::int32_t DeleteFileW(CallContext& ctx, const char16_t* path);
std::int32_t DeleteFile(CallContext& ctx, const char* path);

}  // namespace vork::api
