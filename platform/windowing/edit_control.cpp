// The built-in "edit" class: the log pane's procedure over its EditText, mirrored to the backend.
#include <cstdint>

#include "windowing/backend.h"
#include "windowing/edit_text.h"
#include "windowing/windows.h"

namespace kov02::windowing {
namespace {

// Positions travel as 32-bit values on the handset, so (DWORD)-1 and (WPARAM)-1 both mean -1.
long position_argument(std::uintptr_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

void mirror_selection(HWND hwnd, const EditText& edit) {
  if (ui::Backend* backend = ui::backend_here()) backend->edit_selected(hwnd, edit.anchor(), edit.caret());
}

void mirror_change(HWND hwnd, const EditText& edit, const EditText::Change& change,
                   std::wstring_view inserted) {
  ui::Backend* backend = ui::backend_here();
  if (backend == nullptr) return;
  backend->edit_replaced(hwnd, change.pos, change.removed, inserted);
  if (change.shed != 0) backend->edit_replaced(hwnd, 0, change.shed, {});
  backend->edit_selected(hwnd, edit.anchor(), edit.caret());
}

LRESULT get_selection(const EditText& edit, WPARAM wParam, LPARAM lParam) {
  const std::size_t start = edit.selection_start();
  const std::size_t end = edit.selection_end();
  if (auto* out = reinterpret_cast<DWORD*>(wParam)) *out = static_cast<DWORD>(start);
  if (auto* out = reinterpret_cast<DWORD*>(lParam)) *out = static_cast<DWORD>(end);
  if (start > 0xFFFF || end > 0xFFFF) return -1;
  return static_cast<LRESULT>(MAKEWPARAM(start, end));
}

}  // namespace

LRESULT edit_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowPtr window = find_window(hwnd);
  if (!window || !window->edit) return DefWindowProcW(hwnd, message, wParam, lParam);
  EditText& edit = *window->edit;
  const auto* text = reinterpret_cast<LPCWSTR>(lParam);
  switch (message) {
    case EM_REPLACESEL:
      if (text != nullptr) mirror_change(window->handle, edit, edit.replace_selection(text), text);
      return 0;
    case WM_SETTEXT: {
      const std::wstring_view value = text != nullptr ? text : L"";
      mirror_change(window->handle, edit, edit.set_text(value), value);
      return TRUE;
    }
    case WM_GETTEXT:
      return copy_text_out(edit.text(), wParam, lParam);
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(edit.text().size());
    case EM_SETSEL:
      edit.set_selection(position_argument(wParam), position_argument(static_cast<std::uintptr_t>(lParam)));
      mirror_selection(window->handle, edit);
      return 0;
    case EM_GETSEL:
      return get_selection(edit, wParam, lParam);
    case EM_SCROLLCARET:
      mirror_selection(window->handle, edit);
      return TRUE;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace kov02::windowing
