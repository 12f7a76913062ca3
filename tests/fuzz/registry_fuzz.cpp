// Registry files as a careless or hostile user might write them: the parser must end with a
// hive or one error on a line that exists, never crash or hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "registry/reg_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kov02::registry::Hive hive;
  kov02::registry::ParseError error;
  if (!kov02::registry::parse_registry(text, &hive, &error)) {
    // A line number past the text's last line (one per byte at most, plus one) is a wrong report.
    if (error.line < 1 || static_cast<std::size_t>(error.line) > size + 1 || error.message.empty())
      std::abort();
  }
  return 0;
}
