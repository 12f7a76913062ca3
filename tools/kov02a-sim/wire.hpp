// Bytes, times and the fixed values of the radio module's update protocol, shared by every
// part of the simulator.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kov02a_sim {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Times are durations since the simulator started, on the monotonic clock; the same type
// serves for time spans.
using Micros = std::chrono::microseconds;

inline constexpr std::uint8_t kSync = 0x55;
inline constexpr std::uint8_t kRomReady = 0xA0;
inline constexpr std::uint8_t kAckDone = 0xA5;
inline constexpr std::uint8_t kAckChunk = 0xAA;
inline constexpr std::uint8_t kCmdBaudrate = 0x50;
inline constexpr std::uint8_t kCmdFileSize = 0x54;

inline constexpr std::size_t kStage1MaxData = 255;
inline constexpr std::size_t kStage2Chunk = 1000;
inline constexpr std::size_t kImageChunk = 4000;

inline constexpr std::uint32_t kRilSuspend = 0x03001F80;
inline constexpr std::uint32_t kRilResume = 0x03001F84;
inline constexpr std::uint32_t kRilReset = 0x03001F88;
inline constexpr std::uint32_t kHalReboot = 0x0101003C;

// "0x3F".
std::string hex_byte(std::uint8_t byte);
// "0x03001F88": eight upper-case digits, the way the handset tool prints control codes.
std::string hex_code(std::uint32_t code);
// "3F A0 00".
std::string hex_bytes(ByteView bytes);
// Milliseconds with three decimals: "20.412".
std::string format_ms(Micros time);

// A number written in decimal or, with a 0x prefix, in hexadecimal; nothing when the text is
// not a whole number that fits in 32 bits.
std::optional<std::uint32_t> parse_number(std::string_view text);

// XOR of the bytes, starting from 0.
std::uint8_t xor_of(ByteView bytes);

}  // namespace kov02a_sim
