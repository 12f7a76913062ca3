// The menu bar as the console shows and walks it: items named by captions, "/" between levels.
#pragma once

#include <kov02/ce.h>

#include <string>
#include <variant>
#include <vector>

#include "windowing/menus.h"

namespace kov02::ui::console {

// The command id of the item at `path` (first step: a bar button's caption), or a one-line
// reason: no such item, a drop-down rather than an item, or a grayed item (unless
// `grayed_too`).
std::variant<WORD, std::string> resolve_menu_path(const windowing::MenuBarState& bar,
                                                  const std::vector<std::wstring>& path,
                                                  bool grayed_too = false);

// The bar's menus as indented lines: "Caption = id", then " [checked]" and " [grayed]" as they
// apply; a separator is "-"; each level is indented two more spaces.
std::string format_menu_tree(const windowing::MenuBarState& bar);

}  // namespace kov02::ui::console
