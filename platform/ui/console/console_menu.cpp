// Menu paths and the menu tree for the console (see console_menu.h).
#include "ui/console/console_menu.h"

#include <algorithm>

#include "kernel/text.h"

namespace kov02::ui::console {
namespace {

// The path in quotes, built by appending: GCC 12 at -O3 misreads `"\"" + std::string` as an
// overlapping copy (-Wrestrict).
std::string joined(const std::vector<std::wstring>& path) {
  std::wstring text;
  for (const std::wstring& step : path) {
    if (!text.empty()) text += L'/';
    text += step;
  }
  std::string quoted = "\"";
  quoted += kernel::to_utf8(text);
  quoted += '"';
  return quoted;
}

void format_items(HMENU menu, int depth, std::string* out) {
  const std::string indent(2 * depth, ' ');
  for (const windowing::MenuItemView& item : windowing::menu_items(menu)) {
    if (item.separator) {
      *out += indent + "-\n";
      continue;
    }
    std::string line = indent + kernel::to_utf8(item.text);
    if (item.submenu == nullptr) line += " = " + std::to_string(item.id);
    if (item.checked) line += " [checked]";
    if (item.grayed) line += " [grayed]";
    *out += line + "\n";
    if (item.submenu != nullptr) format_items(item.submenu, depth + 1, out);
  }
}

}  // namespace

std::variant<WORD, std::string> resolve_menu_path(const windowing::MenuBarState& bar,
                                                  const std::vector<std::wstring>& path, bool grayed_too) {
  const std::string name = joined(path);
  const auto button =
      std::find_if(bar.buttons.begin(), bar.buttons.end(),
                   [&](const windowing::MenuBarButton& b) { return !path.empty() && b.caption == path[0]; });
  if (button == bar.buttons.end()) return "no menu item " + name;
  HMENU menu = button->drop_down;
  for (std::size_t step = 1; step < path.size(); ++step) {
    const auto items = windowing::menu_items(menu);
    const auto item = std::find_if(items.begin(), items.end(), [&](const windowing::MenuItemView& i) {
      return !i.separator && i.text == path[step];
    });
    if (item == items.end()) return "no menu item " + name;
    if (step + 1 == path.size()) {
      if (item->submenu != nullptr) break;
      if (item->grayed && !grayed_too) return "menu item " + name + " is grayed";
      return item->id;
    }
    if (item->submenu == nullptr) return "no menu item " + name;
    menu = item->submenu;
  }
  return "menu item " + name + " opens a drop-down: name an item in it";
}

std::string format_menu_tree(const windowing::MenuBarState& bar) {
  std::string out;
  for (const windowing::MenuBarButton& button : bar.buttons) {
    out += kernel::to_utf8(button.caption) + "\n";
    format_items(button.drop_down, 1, &out);
  }
  return out;
}

}  // namespace kov02::ui::console
