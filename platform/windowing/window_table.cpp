// The window table and the class table (see window_table.h for who may touch what).
#include "windowing/window_table.h"

#include <algorithm>
#include <cwctype>
#include <mutex>
#include <unordered_map>

#include "windowing/dialogs.h"
#include "windowing/edit_text.h"
#include "windowing/menus.h"
#include "windowing/windows.h"

namespace kov02::windowing {
namespace {

struct Tables {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, WindowPtr> windows;
  std::vector<std::shared_ptr<const WindowClass>> classes;
  ATOM next_atom = 0xC000;
};

std::shared_ptr<const WindowClass> make_class(const wchar_t* name, WNDPROC proc, WindowKind kind) {
  auto c = std::make_shared<WindowClass>();
  c->name = name;
  c->proc = proc;
  c->kind = kind;
  return c;
}

Tables& tables() {
  static Tables* const instance = [] {
    auto* t = new Tables;
    t->classes = {
        make_class(L"edit", edit_window_proc, WindowKind::edit),
        make_class(L"static", DefWindowProcW, WindowKind::static_text),
        make_class(kDialogClass, dialog_window_proc, WindowKind::dialog),
        make_class(kMenuBarClass, DefWindowProcW, WindowKind::menu_bar),
        make_class(PROGRESS_CLASSW, progress_window_proc, WindowKind::progress),
    };
    return t;
  }();
  return *instance;
}

std::uintptr_t key_of(HWND hwnd) {
  return reinterpret_cast<std::uintptr_t>(hwnd) & ~std::uintptr_t{1};
}

}  // namespace

Window::Window() = default;
Window::~Window() {
  if (menu_bar) free_menu(menu_bar->menu);
}

std::uintptr_t next_handle_value() {
  static std::atomic<std::uintptr_t> counter{0};
  return 0x10000 + 4 * counter.fetch_add(1, std::memory_order_relaxed);
}

bool same_name(std::wstring_view a, std::wstring_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
    return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
  });
}

WindowPtr find_window(HWND hwnd) {
  if (hwnd == nullptr) return nullptr;
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  auto it = t.windows.find(key_of(hwnd));
  return it == t.windows.end() ? nullptr : it->second;
}

WindowPtr find_window_or_fail(HWND hwnd) {
  WindowPtr window = find_window(hwnd);
  if (!window) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
  return window;
}

void insert_window(const WindowPtr& window) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  t.windows[key_of(window->handle)] = window;
  if (window->parent == nullptr) return;
  auto parent = t.windows.find(key_of(window->parent));
  if (parent != t.windows.end()) parent->second->children.push_back(window->handle);
}

void remove_window(const WindowPtr& window) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  window->alive.store(false, std::memory_order_release);
  t.windows.erase(key_of(window->handle));
  if (window->parent == nullptr) return;
  auto parent = t.windows.find(key_of(window->parent));
  if (parent == t.windows.end()) return;
  auto& siblings = parent->second->children;
  siblings.erase(std::remove(siblings.begin(), siblings.end(), window->handle), siblings.end());
}

std::vector<HWND> children_of(const Window& window) {
  std::lock_guard lock(tables().mutex);
  return window.children;
}

std::wstring title_of(const Window& window) {
  std::lock_guard lock(tables().mutex);
  return window.title;
}

void set_title(Window& window, std::wstring title) {
  std::lock_guard lock(tables().mutex);
  window.title = std::move(title);
}

WindowPtr find_top_level(std::wstring_view class_name, const std::wstring* title) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  WindowPtr found;
  for (const auto& [key, window] : t.windows) {
    if (window->parent != nullptr || window->is_child()) continue;
    if (!same_name(window->window_class->name, class_name)) continue;
    if (title != nullptr && window->title != *title) continue;
    // The oldest window wins, so the answer does not depend on the table's order.
    if (!found || key < key_of(found->handle)) found = window;
  }
  return found;
}

std::shared_ptr<const WindowClass> find_class(LPCWSTR name_or_atom) {
  if (name_or_atom == nullptr) return nullptr;
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  for (const auto& c : t.classes) {
    const bool match =
        IS_INTRESOURCE(name_or_atom)
            ? c->atom != 0 && c->atom == (reinterpret_cast<std::uintptr_t>(name_or_atom) & 0xFFFF)
            : same_name(c->name, name_or_atom);
    if (match) return c;
  }
  return nullptr;
}

ATOM register_class(const std::wstring& name, WNDPROC proc) {
  Tables& t = tables();
  std::lock_guard lock(t.mutex);
  for (const auto& c : t.classes) {
    if (same_name(c->name, name)) return 0;
  }
  auto c = std::make_shared<WindowClass>();
  c->name = name;
  c->proc = proc;
  c->atom = t.next_atom++;
  t.classes.push_back(c);
  return c->atom;
}

}  // namespace kov02::windowing
