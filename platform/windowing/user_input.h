// What the person does, as a backend reports it on the UI thread. Each action becomes what the
// handset would have made of it: a queued key, a WM_COMMAND, a WM_CLOSE, a moved caret.
#pragma once

#include <kov02/ce.h>

#include <cstddef>

#include "windowing/message_queue.h"

namespace kov02::windowing {

// Queues WM_KEYDOWN and WM_KEYUP for `vk` to `target` with the modifiers held.
bool press_key(HWND target, WORD vk, KeyModifiers modifiers);
// The title bar's OK button: WM_COMMAND IDOK to the window.
bool press_title_ok(HWND hwnd);
// The window manager's close button: WM_CLOSE to the window.
bool close_by_user(HWND hwnd);
// A menu item of the menu bar: WM_COMMAND with its id to the bar's window. False (nothing sent)
// for an id the bar's menu lacks, a drop-down, or a grayed item.
bool choose_menu_command(HWND menu_bar, WORD id);
// A tap or arrow key in an edit control: the caret (and selection anchor) move, clamped to the text.
bool move_caret(HWND edit, std::size_t anchor, std::size_t caret);

}  // namespace kov02::windowing
