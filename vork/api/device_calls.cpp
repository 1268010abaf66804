// Link control and the device-information calls.
#include <cstring>

#include "path_field.h"
#include "remote_calls.h"

namespace vork::api {

using link::Command;
using link::ExactLength;
using link::Outcome;
using link::Transact;

namespace {

// One exchange whose whole response payload, of exactly record_bytes
// bytes, is the caller's record.
std::int32_t FetchRecord(CallContext& ctx, Command code, link::PayloadPieces payload,
                         void* record, std::size_t record_bytes) {
  if (Transact(ctx, code, payload, ExactLength(record_bytes)) != Outcome::kAccepted) return 0;
  // A null record is not written, as with the file calls' null outputs.
  if (record != nullptr) std::memcpy(record, ctx.response_payload().data(), record_bytes);
  return 1;
}

}  // namespace

std::int32_t VorkInit(CallContext& ctx, std::int32_t port, std::int32_t baud,
                      std::int32_t compress) {
  if (!ctx.link().OpenPort(port, baud)) return 0;
  ctx.link().SetCompression(compress);
  return 1;
}

std::int32_t VorkUninit(CallContext& ctx) {
  ctx.link().ClosePort();
  return 1;
}

std::int32_t SetBaudrate(CallContext& ctx, std::int32_t baud) {
  return ctx.link().ChangeBaudrate(baud) ? 1 : 0;
}

std::int32_t GetVersion(CallContext& ctx, void* record12) {
  return FetchRecord(ctx, Command::kGetVersion, {}, record12, 12);
}

std::int32_t GlobalMemoryStatus(CallContext& ctx, void* record12) {
  return FetchRecord(ctx, Command::kGlobalMemoryStatus, {}, record12, 12);
}

std::int32_t GetSystemPowerStatus(CallContext& ctx, void* record24) {
  return FetchRecord(ctx, Command::kGetSystemPowerStatus, {}, record24, 24);
}

std::int32_t GetStoreInformation(CallContext& ctx, void* record8, std::uint32_t value) {
  std::array<std::byte, 4> payload{};
  link::put_u32le(payload, value);
  return FetchRecord(ctx, Command::kGetStoreInformation, {payload}, record8, 8);
}

std::int32_t GetSystemInfo(CallContext& ctx, void* record80) {
  return FetchRecord(ctx, Command::kGetSystemInfo, {}, record80, 80);
}

std::int32_t RingW(CallContext& ctx, const char16_t* text) {
  std::array<std::byte, 4 + kMaxTextBytes> payload{};
  const auto n = WideToCodePage(text, {reinterpret_cast<char*>(payload.data() + 4), kMaxTextBytes});
  if (!n) return 0;
  link::put_u32le(payload, static_cast<std::uint32_t>(*n));
  if (Transact(ctx, Command::kRing, {std::span(payload).first(4 + *n)}, ExactLength(4)) !=
      Outcome::kAccepted) {
    return 0;
  }
  return static_cast<std::int32_t>(link::get_u32le(ctx.response_payload()));
}

std::int32_t Ring(CallContext& ctx, const char* text) {
  return WithWidened(text, 0, [&](const char16_t* wide) { return RingW(ctx, wide); });
}

}  // namespace vork::api
