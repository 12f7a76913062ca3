// The window's side of the hot-plug lines: the watch thread queues a line and posts
// WM_DEVICECHANGE; the window takes the lines on its own thread, so no window call is made from
// the watch thread and the watch never waits for the UI.
#include <kov02/ce.h>

#include <deque>
#include <mutex>
#include <string>

#include "kernel/text.h"
#include "ports/port_watch.h"

namespace {

// A window that stopped taking lines (its thread busy in a long box) keeps only the newest.
constexpr std::size_t kMaxQueuedNotices = 64;

struct Notices {
  std::mutex mutex;
  std::deque<std::wstring> lines;
};

// Never destroyed: the watch thread may still queue while the process exits.
Notices& notices() {
  static auto* instance = new Notices;
  return *instance;
}

}  // namespace

void RequestDeviceNotices(HWND hwnd) {
  kov02::ports::set_notice_sink([hwnd](const std::string& line) {
    {
      std::lock_guard lock(notices().mutex);
      if (notices().lines.size() == kMaxQueuedNotices) notices().lines.pop_front();
      notices().lines.push_back(kov02::kernel::from_utf8(line));
    }
    PostMessageW(hwnd, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  });
}

DWORD GetDeviceNoticeW(LPWSTR text, DWORD size) {
  if (text == nullptr || size == 0) return 0;  // a notice is taken only when it can be given out
  std::wstring line;
  {
    std::lock_guard lock(notices().mutex);
    if (notices().lines.empty()) return 0;
    line = std::move(notices().lines.front());
    notices().lines.pop_front();
  }
  return static_cast<DWORD>(kov02::kernel::copy_out(line, text, size));
}
