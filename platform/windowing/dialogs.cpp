// Modal dialogs from a template: the dialog window, its controls, WM_INITDIALOG, the modal loop
// and EndDialog. The dialog is shown as a prompt; its answer reaches the dialog procedure as
// WM_COMMAND, and closing it from its title bar is IDCANCEL, as on the handset.
#include "windowing/dialogs.h"

#include "windowing/windows.h"

namespace kov02::windowing {
namespace {

HWND create_dialog_window(const DLGTEMPLATEW& dialog, HWND owner, DLGPROC proc) {
  CreateParams p;
  p.ex_style = dialog.exStyle;
  p.class_name = kDialogClass;
  p.title = dialog.caption;
  // The dialog is shown as a prompt once initialised, not at creation.
  p.style = dialog.style & ~WS_VISIBLE;
  p.x = dialog.x;
  p.y = dialog.y;
  p.width = dialog.cx;
  p.height = dialog.cy;
  p.parent = owner;
  p.prepare = [proc](Window& window) {
    window.dialog = std::make_unique<DialogState>();
    window.dialog->proc = proc;
  };
  return create_window(p);
}

// Makes the template's controls; false when one cannot be made (an unknown class).
bool create_controls(const DLGTEMPLATEW& dialog, HWND hwnd) {
  for (std::size_t i = 0; i < dialog.itemCount; ++i) {
    const DIALOG_ITEM_RESOURCE& item = dialog.items[i];
    CreateParams p;
    p.ex_style = item.exStyle;
    p.class_name = item.className;
    p.title = item.text;
    p.style = item.style | WS_CHILD;
    p.x = item.x;
    p.y = item.y;
    p.width = item.cx;
    p.height = item.cy;
    p.parent = hwnd;
    p.id = item.id;
    if (create_window(p) == nullptr) return false;
  }
  return true;
}

// The dialog's texts as one prompt text: its static controls' texts, one a line.
std::wstring text_of_controls(const Window& dialog) {
  std::wstring text;
  for (HWND hwnd : children_of(dialog)) {
    WindowPtr child = find_window(hwnd);
    if (!child || child->kind() != WindowKind::static_text) continue;
    const std::wstring line = title_of(*child);
    if (line.empty()) continue;
    if (!text.empty()) text += L"\r\n";
    text += line;
  }
  return text;
}

int run_dialog(const WindowPtr& window) {
  DialogState& state = *window->dialog;
  const auto ended = [&] { return state.ended.load() || !window->alive.load(); };
  if (!ended()) {
    auto prompt = std::make_shared<ui::Prompt>();
    prompt->owner = window->parent;
    prompt->dialog = window->handle;
    prompt->caption = title_of(*window);
    prompt->text = text_of_controls(*window);
    prompt->modal = true;
    prompt->answer = [hwnd = window->handle](int id) {
      PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    };
    open_prompt(prompt);
    run_modal_loop(ended);
    close_prompt(prompt);
  }
  return state.result.load();
}

}  // namespace

namespace {
thread_local int t_modal_depth = 0;
}  // namespace

ModalSlot::ModalSlot() : admitted_(t_modal_depth < kMaxModalDepth) {
  if (admitted_) {
    ++t_modal_depth;
  } else {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }
}

ModalSlot::~ModalSlot() {
  if (admitted_) --t_modal_depth;
}

bool open_prompt(const std::shared_ptr<ui::Prompt>& prompt) {
  ui::Backend* backend = ui::backend_on_ui_thread();
  if (backend == nullptr) return false;
  backend->prompt_opened(prompt);
  return true;
}

void close_prompt(const std::shared_ptr<ui::Prompt>& prompt) {
  if (ui::Backend* backend = ui::backend_on_ui_thread()) backend->prompt_closed(prompt);
}

LRESULT dialog_window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  WindowPtr window = find_window(hwnd);
  const DLGPROC proc = window && window->dialog ? window->dialog->proc : nullptr;
  if (proc != nullptr && proc(window->handle, message, wParam, lParam)) return TRUE;
  if (message == WM_CLOSE) {
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace kov02::windowing

using namespace kov02::windowing;

int DialogBoxIndirectParamW(HINSTANCE, LPCDLGTEMPLATEW dialog, HWND owner, DLGPROC proc, LPARAM initParam) {
  if (dialog == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const ModalSlot slot;
  if (!slot.admitted()) return -1;
  const HWND hwnd = create_dialog_window(*dialog, owner, proc);
  WindowPtr window = find_window(hwnd);
  if (!window) return -1;
  if (!create_controls(*dialog, hwnd)) {
    DestroyWindow(hwnd);
    return -1;
  }
  const auto controls = children_of(*window);
  const HWND first = controls.empty() ? nullptr : controls.front();
  call_procedure(window, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), initParam);
  const int result = run_dialog(window);
  if (window->alive.load()) DestroyWindow(hwnd);
  return result;
}

BOOL EndDialog(HWND dialog, int result) {
  WindowPtr window = find_window_or_fail(dialog);
  if (!window || !window->dialog) {
    if (window) SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  window->dialog->result.store(result);
  window->dialog->ended.store(true);
  window->owner->wake();
  return TRUE;
}
