// A main window with a log pane (edit control 5) on the calling thread, for tests of code that
// writes to the pane or runs in window procedures. The constructor makes the calling thread the
// UI thread, installs a WinTestBackend (nothing is shown; every box and dialog is answered with
// `auto_answer`, or left open with 0), and points XDG_RUNTIME_DIR at a private temporary folder
// so no test touches the user's own.
#pragma once

#include <poll.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "temp_dir.h"
#include "win_test_backend.h"
#include "windowing/backend.h"
#include "windowing/message_queue.h"

class WinTestWindow {
 public:
  static constexpr int kLogPaneId = 5;

  explicit WinTestWindow(WNDPROC proc = DefWindowProcW, int auto_answer = IDOK) {
    use_private_runtime_dir();
    auto backend = std::make_unique<WinTestBackend>(auto_answer);
    backend_ = backend.get();
    kov02::ui::install_backend(std::move(backend));
    class_name_ = class_for(proc);
    hwnd_ = CreateWindowExW(0, class_name_.c_str(), L"KOV02Tool test", WS_VISIBLE, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    pane_ =
        CreateWindowExW(WS_EX_CLIENTEDGE, L"edit", L"", 0x50200884, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<std::intptr_t>(kLogPaneId)), nullptr, nullptr);
  }
  ~WinTestWindow() {
    if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
    pump();
  }
  WinTestWindow(const WinTestWindow&) = delete;
  WinTestWindow& operator=(const WinTestWindow&) = delete;

  HWND hwnd() const { return hwnd_; }
  HWND pane() const { return pane_; }
  WinTestBackend& backend() const { return *backend_; }
  const std::wstring& class_name() const { return class_name_; }

  // Runs what waits for this thread now: messages sent by other threads, posted messages.
  void pump() { kov02::windowing::pump_pending(); }

  // Pumps until `done()` holds; false when `limit` passes first.
  bool pump_until(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      pump();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd fd{kov02::windowing::current_queue()->wake_fd(), POLLIN, 0};
      ::poll(&fd, 1, 10);
    }
  }

  // Points XDG_RUNTIME_DIR at a private temporary folder (once per process; removed at exit).
  static void use_private_runtime_dir() {
    struct Folder : test_support::TempDir {
      Folder() : TempDir("win-test") { ::setenv("XDG_RUNTIME_DIR", path().c_str(), 1); }
    };
    static Folder folder;
  }

  // The pane's whole text.
  std::wstring text() const {
    std::wstring text(static_cast<std::size_t>(SendMessageW(pane_, WM_GETTEXTLENGTH, 0, 0)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        SendMessageW(pane_, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
  }

  // One window class per procedure, registered on first use.
  static std::wstring class_for(WNDPROC proc) {
    static std::mutex mutex;
    static std::map<WNDPROC, std::wstring> classes;
    std::lock_guard lock(mutex);
    const auto [found, added] = classes.try_emplace(proc, L"WinTestMain" + std::to_wstring(classes.size()));
    if (added) {
      WNDCLASSW wc = {};
      wc.lpfnWndProc = proc;
      wc.lpszClassName = found->second.c_str();
      RegisterClassW(&wc);
    }
    return found->second;
  }

 private:
  WinTestBackend* backend_ = nullptr;
  std::wstring class_name_;
  HWND hwnd_ = nullptr;
  HWND pane_ = nullptr;
};
