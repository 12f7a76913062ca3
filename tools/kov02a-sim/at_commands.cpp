#include "at_commands.hpp"

#include <algorithm>
#include <array>
#include <cctype>

namespace kov02a_sim {
namespace {

Bytes text_bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// Commands that need nothing but OK: the plain attention, echo off (already so) and reset.
constexpr std::array<std::string_view, 3> kPlainCommands{"AT", "ATE0", "ATZ"};

}  // namespace

Bytes AtResponder::feed(std::uint8_t byte) {
  const bool ends_line = byte == '\r' || byte == '\n';
  if (line_.empty()) {
    if (byte == 'A' || byte == 'a') {
      line_ += static_cast<char>(byte);
    } else if (!ends_line) {
      ++dropped_;
      if (byte == kSync) ++sync_dropped_;
    }
    return {};
  }
  if (ends_line) return answer();
  if (line_.size() < kMaxLine) {
    line_ += static_cast<char>(byte);
  } else {
    overflow_ = true;
  }
  return {};
}

Bytes AtResponder::answer() {
  ++commands_;
  std::string command = line_;
  const bool overflow = overflow_;
  line_.clear();
  overflow_ = false;
  if (overflow) return text_bytes("\r\nERROR\r\n");
  std::transform(command.begin(), command.end(), command.begin(),
                 [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
  if (command == "ATI") return text_bytes("\r\n" + std::string(kIdentity) + "\r\n\r\nOK\r\n");
  // One call for each answer: GCC 12 at -O3 mixes the two literals' sizes up in a single call
  // and warns of an overflow that cannot happen (-Wstringop-overflow).
  if (std::find(kPlainCommands.begin(), kPlainCommands.end(), command) != kPlainCommands.end())
    return text_bytes("\r\nOK\r\n");
  return text_bytes("\r\nERROR\r\n");
}

}  // namespace kov02a_sim
