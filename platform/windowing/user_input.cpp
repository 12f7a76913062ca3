// The person's actions turned into messages (see user_input.h).
#include "windowing/user_input.h"

#include "windowing/edit_text.h"
#include "windowing/menus.h"
#include "windowing/windows.h"

namespace kov02::windowing {

bool press_key(HWND target, WORD vk, KeyModifiers modifiers) {
  return post_message(target, WM_KEYDOWN, vk, 1, modifiers) &&
         post_message(target, WM_KEYUP, vk, 1, modifiers);
}

bool press_title_ok(HWND hwnd) {
  return PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0) != FALSE;
}

bool close_by_user(HWND hwnd) {
  return PostMessageW(hwnd, WM_CLOSE, 0, 0) != FALSE;
}

bool choose_menu_command(HWND menu_bar, WORD id) {
  WindowPtr bar = find_window(menu_bar);
  if (!bar || !bar->menu_bar) return false;
  auto item = find_menu_item(bar->menu_bar->menu, id);
  if (!item || item->grayed) return false;
  return PostMessageW(bar->parent, WM_COMMAND, MAKEWPARAM(id, 0), 0) != FALSE;
}

bool move_caret(HWND edit, std::size_t anchor, std::size_t caret) {
  WindowPtr window = find_window(edit);
  if (!window || !window->edit || !window->owner->owned_by_caller()) return false;
  window->edit->select(anchor, caret);
  return true;
}

}  // namespace kov02::windowing
