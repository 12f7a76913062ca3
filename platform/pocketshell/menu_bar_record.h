// The shell's menu-bar record (an RT_RCDATA resource of little-endian 16-bit words): word 0 the
// menu id, word 1 the button count, then seven words per button: bitmap index, command id,
// state, style, caption string id, a reserved word and the drop-down's index in the menu.
#pragma once

#include <kov02/ce.h>

#include <cstddef>
#include <optional>
#include <vector>

namespace kov02::pocketshell {

struct MenuBarButtonRecord {
  WORD command = 0;
  WORD caption_id = 0;
  WORD submenu_index = 0;
};

struct MenuBarRecord {
  WORD menu_id = 0;
  std::vector<MenuBarButtonRecord> buttons;
};

// nullopt when the bytes are too few for the button count they give.
std::optional<MenuBarRecord> parse_menu_bar_record(const void* data, std::size_t size);

}  // namespace kov02::pocketshell
