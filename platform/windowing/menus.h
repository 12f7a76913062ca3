// Menus as data: items with ids, captions, check and gray state, and drop-downs that are menus
// of their own. Any thread may read or change them (one lock); backends read copies.
#pragma once

#include <kov02/ce.h>

#include <optional>
#include <string>
#include <vector>

namespace kov02::windowing {

// Builds a menu (and a menu for every drop-down in it) from a menu resource.
HMENU load_menu(const MENU_RESOURCE& resource);
// Frees a menu and its drop-downs.
void free_menu(HMENU menu);

struct MenuItemView {
  std::wstring text;
  WORD id = 0;
  bool separator = false;
  bool checked = false;
  bool grayed = false;
  HMENU submenu = nullptr;  // a drop-down's own menu
};

// The items of one menu, in order; empty for a handle that is not a menu.
std::vector<MenuItemView> menu_items(HMENU menu);
// The item with command `id` in `menu` or any of its drop-downs (depth first).
std::optional<MenuItemView> find_menu_item(HMENU menu, WORD id);

// The shell's menu bar: its menu and one button per drop-down it shows.
struct MenuBarButton {
  std::wstring caption;
  WORD command = 0;
  HMENU drop_down = nullptr;
};
// The menu is freed with the menu bar's window.
struct MenuBarState {
  HMENU menu = nullptr;
  std::vector<MenuBarButton> buttons;
};

// A copy of a menu bar window's state; nullopt when `bar` is not a menu bar.
std::optional<MenuBarState> menu_bar_of(HWND bar);

}  // namespace kov02::windowing
