// Menus as data, CheckMenuItem, and the menu bar's state as backends see it.
#include "windowing/menus.h"

#include <memory>
#include <mutex>
#include <unordered_map>

#include "windowing/window_table.h"

namespace kov02::windowing {
namespace {

constexpr DWORD kNoItem = 0xFFFFFFFFu;

struct MenuItem {
  UINT flags = 0;
  WORD id = 0;
  std::wstring text;
  HMENU submenu = nullptr;
};

struct MenuTable {
  std::mutex mutex;
  std::unordered_map<HMENU, std::vector<MenuItem>> menus;
};

MenuTable& table() {
  static MenuTable* const instance = new MenuTable;
  return *instance;
}

HMENU load_locked(MenuTable& t, const MENU_RESOURCE& resource) {
  const auto handle = reinterpret_cast<HMENU>(next_handle_value());
  std::vector<MenuItem> items;
  for (std::size_t i = 0; i < resource.count; ++i) {
    const MENU_ITEM_RESOURCE& r = resource.items[i];
    MenuItem item{r.flags, r.id, r.text != nullptr ? r.text : L"", nullptr};
    if ((r.flags & MF_POPUP) != 0) item.submenu = load_locked(t, MENU_RESOURCE{r.children, r.childCount});
    items.push_back(std::move(item));
  }
  t.menus.emplace(handle, std::move(items));
  return handle;
}

void free_locked(MenuTable& t, HMENU menu) {
  auto it = t.menus.find(menu);
  if (it == t.menus.end()) return;
  std::vector<MenuItem> items = std::move(it->second);
  t.menus.erase(it);
  for (const MenuItem& item : items) {
    if (item.submenu != nullptr) free_locked(t, item.submenu);
  }
}

// The item with command `id` in `menu` or its drop-downs, depth first; drop-downs themselves
// are not found by id.
MenuItem* find_locked(MenuTable& t, HMENU menu, WORD id) {
  auto it = t.menus.find(menu);
  if (it == t.menus.end()) return nullptr;
  for (MenuItem& item : it->second) {
    if (item.submenu != nullptr) {
      if (MenuItem* found = find_locked(t, item.submenu, id)) return found;
    } else if ((item.flags & MF_SEPARATOR) == 0 && item.id == id) {
      return &item;
    }
  }
  return nullptr;
}

MenuItemView view_of(const MenuItem& item) {
  MenuItemView view;
  view.text = item.text;
  view.id = item.id;
  view.separator = (item.flags & MF_SEPARATOR) != 0;
  view.checked = (item.flags & MF_CHECKED) != 0;
  view.grayed = (item.flags & MF_GRAYED) != 0;
  view.submenu = item.submenu;
  return view;
}

}  // namespace

HMENU load_menu(const MENU_RESOURCE& resource) {
  MenuTable& t = table();
  std::lock_guard lock(t.mutex);
  return load_locked(t, resource);
}

void free_menu(HMENU menu) {
  MenuTable& t = table();
  std::lock_guard lock(t.mutex);
  free_locked(t, menu);
}

std::vector<MenuItemView> menu_items(HMENU menu) {
  MenuTable& t = table();
  std::lock_guard lock(t.mutex);
  std::vector<MenuItemView> views;
  auto it = t.menus.find(menu);
  if (it == t.menus.end()) return views;
  for (const MenuItem& item : it->second) views.push_back(view_of(item));
  return views;
}

std::optional<MenuItemView> find_menu_item(HMENU menu, WORD id) {
  MenuTable& t = table();
  std::lock_guard lock(t.mutex);
  const MenuItem* item = find_locked(t, menu, id);
  if (item == nullptr) return std::nullopt;
  return view_of(*item);
}

std::optional<MenuBarState> menu_bar_of(HWND bar) {
  WindowPtr window = find_window(bar);
  if (!window || !window->menu_bar) return std::nullopt;
  return *window->menu_bar;
}

}  // namespace kov02::windowing

using namespace kov02::windowing;

DWORD CheckMenuItem(HMENU menu, UINT id, UINT check) {
  MenuTable& t = table();
  std::lock_guard lock(t.mutex);
  if (t.menus.find(menu) == t.menus.end()) {
    SetLastError(ERROR_INVALID_MENU_HANDLE);
    return kNoItem;
  }
  MenuItem* item = find_locked(t, menu, static_cast<WORD>(id));
  if (item == nullptr) return kNoItem;
  const DWORD previous = item->flags & MF_CHECKED;
  item->flags = (item->flags & ~MF_CHECKED) | (check & MF_CHECKED);
  return previous;
}
