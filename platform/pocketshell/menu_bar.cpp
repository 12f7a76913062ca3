// The shell's menu bar: built from the menu-bar record, its menu and its captions, shown by the
// backend along the bottom of its window. CommandBar_GetMenu hands out the bar's whole menu, in
// which every item is found by id, drop-downs included.
#include <memory>

#include "pocketshell/menu_bar_record.h"
#include "windowing/menus.h"
#include "windowing/resources.h"
#include "windowing/windows.h"

namespace kov02::pocketshell {
namespace {

constexpr std::size_t kWordsPerButton = 7;
constexpr int kMenuBarHeight = 26;

WORD word_at(const unsigned char* bytes, std::size_t index) {
  return static_cast<WORD>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

// The bar's buttons from the record: each names a drop-down of the menu and a caption from the
// string table (the drop-down's own text when the string is missing). False for an index that
// names no drop-down.
bool make_buttons(const MenuBarRecord& record, HMENU menu, std::vector<windowing::MenuBarButton>* buttons) {
  const auto items = windowing::menu_items(menu);
  for (const MenuBarButtonRecord& b : record.buttons) {
    if (b.submenu_index >= items.size() || items[b.submenu_index].submenu == nullptr) return false;
    const auto& drop_down = items[b.submenu_index];
    auto caption = windowing::load_string(b.caption_id);
    buttons->push_back({caption ? *caption : drop_down.text, b.command, drop_down.submenu});
  }
  return true;
}

std::unique_ptr<windowing::MenuBarState> load_menu_bar(UINT record_id) {
  const MODULE_RESOURCE* raw = windowing::find_module_resource(RT_RCDATA, MAKEINTRESOURCEW(record_id));
  auto record = raw != nullptr ? parse_menu_bar_record(raw->data, raw->size) : std::nullopt;
  const MODULE_RESOURCE* menu =
      record ? windowing::find_module_resource(RT_MENU, MAKEINTRESOURCEW(record->menu_id)) : nullptr;
  if (menu == nullptr || menu->data == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  auto state = std::make_unique<windowing::MenuBarState>();
  state->menu = windowing::load_menu(*static_cast<const MENU_RESOURCE*>(menu->data));
  if (!make_buttons(*record, state->menu, &state->buttons)) {
    windowing::free_menu(state->menu);
    SetLastError(ERROR_BAD_FORMAT);
    return nullptr;
  }
  return state;
}

windowing::WindowPtr menu_bar_window(HWND hwnd) {
  windowing::WindowPtr window = windowing::find_window(hwnd);
  return window && window->menu_bar ? window : nullptr;
}

}  // namespace

std::optional<MenuBarRecord> parse_menu_bar_record(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (bytes == nullptr || size < 4) return std::nullopt;
  MenuBarRecord record;
  record.menu_id = word_at(bytes, 0);
  const std::size_t count = word_at(bytes, 1);
  if (size < 2 * (2 + kWordsPerButton * count)) return std::nullopt;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t first = 2 + kWordsPerButton * i;
    record.buttons.push_back(
        {word_at(bytes, first + 1), word_at(bytes, first + 4), word_at(bytes, first + 6)});
  }
  return record;
}

}  // namespace kov02::pocketshell

using namespace kov02;

BOOL SHCreateMenuBar(SHMENUBARINFO* info) {
  if (info == nullptr || !windowing::find_window_or_fail(info->hwndParent)) {
    if (info == nullptr) SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto state = pocketshell::load_menu_bar(info->nToolBarId);
  if (!state) return FALSE;
  windowing::CreateParams p;
  p.class_name = windowing::kMenuBarClass;
  p.parent = info->hwndParent;
  p.prepare = [&state](windowing::Window& window) { window.menu_bar = std::move(state); };
  const HWND bar = windowing::create_window(p);
  if (bar == nullptr) return FALSE;
  info->hwndMB = bar;
  return TRUE;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
  if (init == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

// The menu bar lies outside the client area: a bar reports its height, anything else 0.
int CommandBar_Height(HWND commandBar) {
  return pocketshell::menu_bar_window(commandBar) ? pocketshell::kMenuBarHeight : 0;
}

HMENU CommandBar_GetMenu(HWND commandBar, WORD button) {
  windowing::WindowPtr bar = pocketshell::menu_bar_window(commandBar);
  if (!bar || button >= bar->menu_bar->buttons.size()) {
    SetLastError(bar ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return bar->menu_bar->menu;
}
