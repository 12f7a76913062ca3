// The process's windows and window classes.
//
// A window is an object of the platform; its HWND is a key into one process-wide table. Keys
// are even, non-null values that are never handed out twice (the application sets the lowest
// bit of a handle to ask for owned windows too). Fields fixed at creation (class, procedure,
// parent, id, style, owner thread) may be read by any thread; the title and the child lists
// change only under the table's lock; everything else belongs to the owner thread.
#pragma once

#include <kov02/ce.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kov02::windowing {

class ThreadQueue;
class EditText;
struct DialogState;
struct MenuBarState;

// What a window is to the platform: the program's own classes are `application`.
enum class WindowKind { application, edit, static_text, dialog, menu_bar, progress };

struct WindowClass {
  std::wstring name;
  WNDPROC proc = nullptr;
  WindowKind kind = WindowKind::application;
  ATOM atom = 0;
};

struct Window {
  HWND handle = nullptr;
  std::shared_ptr<const WindowClass> window_class;
  WNDPROC proc = nullptr;
  HWND parent = nullptr;  // the parent of a child, the owner of an owned window, or null
  WORD id = 0;
  DWORD style = 0;
  DWORD ex_style = 0;
  std::shared_ptr<ThreadQueue> owner;
  std::atomic<bool> alive{true};

  std::wstring title;          // under the table lock
  std::vector<HWND> children;  // under the table lock: children and owned windows, in creation order

  // Owner thread only.
  RECT rect{};
  bool visible = false;
  bool activated = false;
  bool destroying = false;
  bool ok_button = false;
  DWORD progress_low = 0, progress_high = 100, progress_pos = 0;  // a progress bar's range and place
  UINT progress_state = PBST_NORMAL;
  std::unique_ptr<EditText> edit;
  std::unique_ptr<DialogState> dialog;
  std::unique_ptr<MenuBarState> menu_bar;

  WindowKind kind() const { return window_class->kind; }
  bool is_child() const { return (style & WS_CHILD) != 0; }
  bool is_top_level() const { return !is_child(); }

  Window();
  ~Window();
};

using WindowPtr = std::shared_ptr<Window>;

// A fresh even, non-null handle value; shared by windows, menus and remote windows.
std::uintptr_t next_handle_value();

// The live window behind `hwnd` (the lowest bit ignored), or null.
WindowPtr find_window(HWND hwnd);
// As find_window, and sets ERROR_INVALID_WINDOW_HANDLE when there is none.
WindowPtr find_window_or_fail(HWND hwnd);

// Enters a new window into the table and into its parent's child list.
void insert_window(const WindowPtr& window);
// Takes a window out of the table and out of its parent's child list; marks it dead.
void remove_window(const WindowPtr& window);

std::vector<HWND> children_of(const Window& window);
std::wstring title_of(const Window& window);
void set_title(Window& window, std::wstring title);

// The first live top-level window (no parent, not a child) of class `class_name` (compared
// without regard to case) and, when `title` is given, with that title.
WindowPtr find_top_level(std::wstring_view class_name, const std::wstring* title);

// Class table. Built-in classes ("edit", "static", the dialog and menu-bar classes) are always there.
std::shared_ptr<const WindowClass> find_class(LPCWSTR name_or_atom);
ATOM register_class(const std::wstring& name, WNDPROC proc);

// Internal class names of the dialog box and the menu bar.
inline constexpr const wchar_t* kDialogClass = L"#32770";
inline constexpr const wchar_t* kMenuBarClass = L"menu_worker";

// Procedures of the built-in classes ("static" and the menu bar use DefWindowProcW).
LRESULT edit_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT dialog_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Compares two names without regard to case (ASCII letters).
bool same_name(std::wstring_view a, std::wstring_view b);

}  // namespace kov02::windowing
