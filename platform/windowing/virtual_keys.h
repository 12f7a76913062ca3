// The virtual-key codes the back-ends produce for the keys a person can press, with the names
// they go by: the console reads the names as typed, GTK finds them from its own key names
// lower-cased. Letters and digits are their upper-case ASCII codes and need no row.
#pragma once

#include <kov02/ce.h>

#include <optional>
#include <string_view>

namespace kov02::windowing {

inline constexpr WORD VK_F1 = 0x70;  // F1..F12 follow on one by one
inline constexpr int FUNCTION_KEYS = 12;

struct NamedVirtualKey {
  std::string_view name;
  WORD vk;
};

inline constexpr NamedVirtualKey NAMED_VIRTUAL_KEYS[] = {
    {.name = "enter", .vk = 0x0D},     {.name = "return", .vk = 0x0D}, {.name = "escape", .vk = 0x1B},
    {.name = "esc", .vk = 0x1B},       {.name = "space", .vk = 0x20},  {.name = "tab", .vk = 0x09},
    {.name = "backspace", .vk = 0x08}, {.name = "delete", .vk = 0x2E}, {.name = "left", .vk = 0x25},
    {.name = "up", .vk = 0x26},        {.name = "right", .vk = 0x27},  {.name = "down", .vk = 0x28},
    {.name = "home", .vk = 0x24},      {.name = "end", .vk = 0x23},
};

// The code of the key called `name` (lower case), if a row has it.
inline std::optional<WORD> named_virtual_key(std::string_view name) {
  for (const NamedVirtualKey& key : NAMED_VIRTUAL_KEYS) {
    if (key.name == name) return key.vk;
  }
  return std::nullopt;
}

}  // namespace kov02::windowing
