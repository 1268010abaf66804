#include "word_queries.h"

#include "path_field.h"

namespace vork::api {

using link::ExactLength;
using link::Outcome;

std::array<std::byte, 4> U32Bytes(std::uint32_t value) {
  std::array<std::byte, 4> bytes{};
  link::put_u32le(bytes, value);
  return bytes;
}

std::optional<std::uint32_t> HandleQuery(link::CallContext& ctx, link::Command code,
                                         std::uint32_t handle) {
  const auto payload = U32Bytes(handle);
  if (Transact(ctx, code, {payload}, ExactLength(4)) != Outcome::kAccepted) return std::nullopt;
  return link::get_u32le(ctx.response_payload());
}

std::optional<std::uint32_t> PathQuery(link::CallContext& ctx, link::Command code,
                                       const char16_t* path, std::optional<std::uint32_t> value) {
  PathFieldBuffer payload{};
  auto length = BuildPathField(path, payload);
  if (!length) return std::nullopt;
  if (value) {
    link::put_u32le(std::span(payload).subspan(*length), *value);
    *length += 4;
  }
  if (Transact(ctx, code, {std::span(payload).first(*length)}, ExactLength(4)) !=
      Outcome::kAccepted) {
    return std::nullopt;
  }
  return link::get_u32le(ctx.response_payload());
}

}  // namespace vork::api
