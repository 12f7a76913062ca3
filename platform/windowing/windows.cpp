// Windows: classes, creation and destruction, showing, focus, geometry and the default procedure.
#include "windowing/windows.h"

#include <algorithm>
#include <cstring>

#include "kernel/text.h"
#include "windowing/backend.h"
#include "windowing/edit_text.h"
#include "windowing/single_instance.h"

namespace kov02::windowing {
namespace {

constexpr DWORD kErrorControlIdNotFound = 1421;
constexpr UINT kSizeRestored = 0;
constexpr WPARAM kActivated = 1;
// A top-level window of default size gets the handset screen less its title and menu bars.
constexpr LONG kDefaultWidth = 240;
constexpr LONG kDefaultHeight = 268;

thread_local HWND t_focus = nullptr;

LONG default_extent(int value, bool top_level, LONG fallback) {
  if (value != CW_USEDEFAULT) return value;
  return top_level ? fallback : 0;
}

WindowPtr make_window(std::shared_ptr<const WindowClass> window_class, const CreateParams& p) {
  auto window = std::make_shared<Window>();
  window->handle = reinterpret_cast<HWND>(next_handle_value());
  window->proc = window_class->proc;
  window->window_class = std::move(window_class);
  window->parent = p.parent;
  window->id = p.id;
  window->style = p.style & ~WS_VISIBLE;
  window->ex_style = p.ex_style;
  window->owner = current_queue();
  window->title = p.title != nullptr ? p.title : L"";
  const bool top_level = (p.style & WS_CHILD) == 0;
  const LONG x = p.x == CW_USEDEFAULT ? 0 : p.x;
  const LONG y = p.y == CW_USEDEFAULT ? 0 : p.y;
  window->rect = {x, y, x + default_extent(p.width, top_level, kDefaultWidth),
                  y + default_extent(p.height, top_level, kDefaultHeight)};
  if (window->kind() == WindowKind::edit) window->edit = std::make_unique<EditText>();
  return window;
}

LPARAM size_lparam(const RECT& r) {
  return static_cast<LPARAM>(MAKEWPARAM(r.right - r.left, r.bottom - r.top));
}

// Destroys a window and its children and owned windows, which it owns on this thread. The
// window's own WM_DESTROY comes first, then its children's, as on the handset.
void destroy_tree(const WindowPtr& window, bool send_destroy) {
  window->destroying = true;
  if (ui::Backend* backend = ui::backend_here()) backend->window_destroyed(window->handle);
  if (send_destroy) call_procedure(window, WM_DESTROY, 0, 0);
  for (HWND hwnd : children_of(*window)) {
    WindowPtr child = find_window(hwnd);
    if (child && !child->destroying && child->owner->owned_by_caller()) destroy_tree(child, true);
  }
  window->owner->remove_timers(window->handle);
  if (t_focus == window->handle) t_focus = nullptr;
  remove_window(window);
}

bool refused_by_create(const WindowPtr& window, LPVOID param) {
  if (call_procedure(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(param)) != -1) return false;
  if (window->alive.load()) destroy_tree(window, false);
  return true;
}

}  // namespace

WindowPtr owned_window_or_fail(HWND hwnd) {
  WindowPtr window = find_window_or_fail(hwnd);
  if (window && !window->owner->owned_by_caller()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return window;
}

LRESULT call_procedure(const WindowPtr& window, UINT message, WPARAM wParam, LPARAM lParam) {
  return window->proc(window->handle, message, wParam, lParam);
}

void notify_changed(const Window& window) {
  if (!window.alive.load()) return;
  if (ui::Backend* backend = ui::backend_here()) backend->window_changed(window.handle);
}

HWND create_window(const CreateParams& p) {
  auto window_class = find_class(p.class_name);
  if (!window_class) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if (p.parent == nullptr && (p.style & WS_CHILD) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (p.parent != nullptr && !find_window_or_fail(p.parent)) return nullptr;
  WindowPtr window = make_window(window_class, p);
  if (p.prepare) p.prepare(*window);
  insert_window(window);
  // Published as soon as it can be found, before WM_CREATE: a second start that waits on this
  // one's look-up must not wait through whatever the window does while it is created.
  if (window->kind() == WindowKind::application && p.parent == nullptr && window->is_top_level()) {
    publish_class(window_class->name);
  }
  if (ui::Backend* backend = ui::backend_here()) backend->window_created(window->handle);
  if (refused_by_create(window, p.param) || !window->alive.load()) return nullptr;
  call_procedure(window, WM_SIZE, kSizeRestored, size_lparam(window->rect));
  if ((p.style & WS_VISIBLE) != 0 && window->alive.load()) show_window(window, true);
  if (!window->alive.load()) return nullptr;
  return window->handle;
}

bool show_window(const WindowPtr& window, bool visible) {
  const bool was_visible = window->visible;
  window->visible = visible;
  notify_changed(*window);
  const bool activate =
      visible && !window->activated && window->is_top_level() && window->kind() == WindowKind::application;
  if (activate) {
    window->activated = true;
    call_procedure(window, WM_ACTIVATE, kActivated, 0);
    SetFocus(window->handle);
  }
  return was_visible;
}

HWND focus_window() {
  return t_focus;
}

BOOL post_message(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, KeyModifiers modifiers) {
  QueuedMessage queued;
  queued.msg = {hwnd, message, wParam, lParam, 0, {0, 0}};
  queued.modifiers = modifiers;
  std::shared_ptr<ThreadQueue> target;
  if (hwnd == nullptr) {
    target = current_queue();
  } else {
    WindowPtr window = find_window_or_fail(hwnd);
    if (!window) return FALSE;
    queued.msg.hwnd = window->handle;
    target = window->owner;
  }
  if (!target->post(queued)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

LRESULT copy_text_out(std::wstring_view text, WPARAM capacity, LPARAM buffer) {
  return static_cast<LRESULT>(kernel::copy_out(text, reinterpret_cast<wchar_t*>(buffer), capacity));
}

std::optional<WindowView> window_view(HWND hwnd) {
  WindowPtr window = find_window(hwnd);
  if (!window) return std::nullopt;
  WindowView view;
  view.handle = window->handle;
  view.parent = window->parent;
  view.kind = window->kind();
  view.id = window->id;
  view.style = window->style;
  view.title = title_of(*window);
  view.width = window->rect.right - window->rect.left;
  view.height = window->rect.bottom - window->rect.top;
  view.visible = window->visible;
  view.ok_button = window->ok_button;
  if (window->kind() == WindowKind::progress) {
    view.progress_range = window->progress_high - window->progress_low;
    view.progress_done = std::min(window->progress_pos - window->progress_low, view.progress_range);
    view.progress_stopped = window->progress_state != PBST_NORMAL;
  }
  return view;
}

}  // namespace kov02::windowing

using namespace kov02::windowing;

ATOM RegisterClassW(const WNDCLASSW* wndClass) {
  if (wndClass == nullptr || wndClass->lpfnWndProc == nullptr || wndClass->lpszClassName == nullptr ||
      wndClass->lpszClassName[0] == L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const ATOM atom = register_class(wndClass->lpszClassName, wndClass->lpfnWndProc);
  if (atom == 0) SetLastError(ERROR_CLASS_ALREADY_EXISTS);
  return atom;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE, LPVOID param) {
  CreateParams p;
  p.ex_style = exStyle;
  p.class_name = className;
  p.title = windowName;
  p.style = style;
  p.x = x;
  p.y = y;
  p.width = width;
  p.height = height;
  p.parent = parent;
  // A child's "menu" is its control id.
  if ((style & WS_CHILD) != 0) p.id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(menu));
  p.param = param;
  return create_window(p);
}

BOOL DestroyWindow(HWND hwnd) {
  WindowPtr window = owned_window_or_fail(hwnd);
  if (!window) return FALSE;
  if (!window->destroying) destroy_tree(window, true);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  return find_window(hwnd) ? TRUE : FALSE;
}

// Another thread's window is shown or hidden by its owner thread, when that thread next looks at
// its queue; the caller does not wait for it, so the result then says nothing of before.
BOOL ShowWindow(HWND hwnd, int command) {
  WindowPtr window = find_window_or_fail(hwnd);
  if (!window) return FALSE;
  const bool visible = command != SW_HIDE;
  if (!window->owner->owned_by_caller()) {
    return window->owner->post_task([window, visible] { show_window(window, visible); }) ? TRUE : FALSE;
  }
  return show_window(window, visible) ? TRUE : FALSE;
}

BOOL UpdateWindow(HWND hwnd) {
  return owned_window_or_fail(hwnd) ? TRUE : FALSE;
}

HWND GetDlgItem(HWND parent, int id) {
  WindowPtr window = find_window_or_fail(parent);
  if (!window) return nullptr;
  for (HWND hwnd : children_of(*window)) {
    WindowPtr child = find_window(hwnd);
    if (child && child->is_child() && child->id == static_cast<WORD>(id)) return child->handle;
  }
  SetLastError(kErrorControlIdNotFound);
  return nullptr;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
  if (rect == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  WindowPtr window = owned_window_or_fail(hwnd);
  if (!window) return FALSE;
  *rect = {0, 0, window->rect.right - window->rect.left, window->rect.bottom - window->rect.top};
  return TRUE;
}

BOOL SetWindowPos(HWND hwnd, HWND, int x, int y, int cx, int cy, UINT flags) {
  WindowPtr window = owned_window_or_fail(hwnd);
  if (!window) return FALSE;
  RECT& r = window->rect;
  const RECT before = r;
  if ((flags & SWP_NOMOVE) == 0) r = {x, y, x + (r.right - r.left), y + (r.bottom - r.top)};
  if ((flags & SWP_NOSIZE) == 0) r = {r.left, r.top, r.left + std::max(cx, 0), r.top + std::max(cy, 0)};
  const bool resized = (r.right - r.left) != (before.right - before.left) ||
                       (r.bottom - r.top) != (before.bottom - before.top);
  if (resized) call_procedure(window, WM_SIZE, kSizeRestored, size_lparam(r));
  return TRUE;
}

HWND SetFocus(HWND hwnd) {
  const HWND previous = t_focus;
  if (hwnd == nullptr) {
    t_focus = nullptr;
    return previous;
  }
  WindowPtr window = owned_window_or_fail(hwnd);
  if (!window) return nullptr;
  t_focus = window->handle;
  if (previous != window->handle) call_procedure(window, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
  return previous;
}

HCURSOR LoadCursorW(HINSTANCE, LPCWSTR) {
  // The pointer's look is the backend's; the class only needs a non-null cursor.
  static const char arrow = 0;
  return const_cast<char*>(&arrow);
}

HGDIOBJ GetStockObject(int object) {
  static const char stock[20] = {};
  if (object < 0 || object >= static_cast<int>(sizeof stock)) return nullptr;
  return const_cast<char*>(&stock[object]);
}

LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_SETTEXT: {
      WindowPtr window = find_window(hwnd);
      if (!window) return FALSE;
      auto* text = reinterpret_cast<LPCWSTR>(lParam);
      set_title(*window, text != nullptr ? text : L"");
      notify_changed(*window);
      return TRUE;
    }
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH: {
      WindowPtr window = find_window(hwnd);
      if (!window) return 0;
      const std::wstring title = title_of(*window);
      if (message == WM_GETTEXTLENGTH) return static_cast<LRESULT>(title.size());
      return copy_text_out(title, wParam, lParam);
    }
    default:
      return 0;
  }
}
