#include "wire.hpp"

#include <charconv>
#include <cstdio>

namespace kov02a_sim {

std::string hex_byte(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

std::string hex_code(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
  return text;
}

std::string hex_bytes(ByteView bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02X", byte);
    if (!text.empty()) text += ' ';
    text += digits;
  }
  return text;
}

std::string format_ms(Micros time) {
  char text[32];
  const long long us = time.count();
  const char* sign = us < 0 ? "-" : "";
  const long long magnitude = us < 0 ? -us : us;
  std::snprintf(text, sizeof text, "%s%lld.%03lld", sign, magnitude / 1000, magnitude % 1000);
  return text;
}

std::optional<std::uint32_t> parse_number(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return value;
}

std::uint8_t xor_of(ByteView bytes) {
  std::uint8_t sum = 0;
  for (std::uint8_t byte : bytes) sum ^= byte;
  return sum;
}

}  // namespace kov02a_sim
