// Little-endian fields and the message envelope shared by both directions.
//
// A message is a 7-byte header (u8 type, u16 command code, u16 sequence
// number, u16 payload length) followed by the payload. Fields are read and
// written one byte at a time: no struct is ever laid over wire bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vork::link {

inline constexpr std::size_t kMaxMessageBytes = 2048;   // a frame body, and a message
inline constexpr std::size_t kHeaderBytes = 7;
inline constexpr std::size_t kMaxPayloadBytes = kMaxMessageBytes - kHeaderBytes;  // 2041
inline constexpr std::byte kTypeRequest{0x10};
inline constexpr std::byte kTypeResponse{0x11};

inline void put_u16le(std::span<std::byte> at, std::uint16_t value) {
  at[0] = static_cast<std::byte>(value & 0xFF);
  at[1] = static_cast<std::byte>(value >> 8);
}

inline void put_u32le(std::span<std::byte> at, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i) at[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

[[nodiscard]] inline std::uint16_t get_u16le(std::span<const std::byte> at) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(at[0]) |
                                    (std::to_integer<unsigned>(at[1]) << 8));
}

[[nodiscard]] inline std::uint32_t get_u32le(std::span<const std::byte> at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= std::to_integer<std::uint32_t>(at[i]) << (8 * i);
  return value;
}

struct MessageHeader {
  std::byte type{0};
  std::uint16_t code = 0;
  std::uint16_t sequence = 0;
  std::uint16_t payload_length = 0;
};

// Reads the header of a message of at least kHeaderBytes bytes.
[[nodiscard]] inline MessageHeader ReadHeader(std::span<const std::byte> message) {
  return {message[0], get_u16le(message.subspan(1)), get_u16le(message.subspan(3)),
          get_u16le(message.subspan(5))};
}

inline void WriteHeader(std::span<std::byte> message, const MessageHeader& header) {
  message[0] = header.type;
  put_u16le(message.subspan(1), header.code);
  put_u16le(message.subspan(3), header.sequence);
  put_u16le(message.subspan(5), header.payload_length);
}

}  // namespace vork::link
