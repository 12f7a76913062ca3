// Console input lines and the text helpers behind them: parsing never crashes, error lines
// written through printable() hold no control byte, and the lossless mapping of Linux names
// gives every byte string back unchanged.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>

#include "kernel/text.h"
#include "ui/console/console_command.h"

namespace {

bool holds_control_byte(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto parsed = kov02::ui::console::parse_line(bytes);
  if (const auto* error = std::get_if<kov02::ui::console::ParseError>(&parsed)) {
    if (error->message.empty() || holds_control_byte(kov02::kernel::printable(error->message))) std::abort();
  }
  if (kov02::kernel::native_bytes(kov02::kernel::native_text(bytes)) != bytes) std::abort();
  if (holds_control_byte(kov02::kernel::printable(bytes))) std::abort();
  return 0;
}
