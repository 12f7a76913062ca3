// MessageBoxW from any thread. On the UI thread the box is modal: a message loop runs until it
// is answered. A worker's box is shown by the UI thread on its behalf and is modal for the
// worker only: the worker waits (a consent point) while the UI thread runs on.
#include <poll.h>
#include <unistd.h>

#include <atomic>

#include "kernel/threads.h"
#include "windowing/dialogs.h"
#include "windowing/message_queue.h"

namespace kov02::windowing {
namespace {

constexpr UINT kButtonMask = 0x0F;
constexpr UINT kIconMask = 0xF0;

// The answer to one box; the first answer wins.
class BoxReply {
 public:
  BoxReply() : fd_(make_eventfd()) {}
  ~BoxReply() {
    if (fd_ >= 0) ::close(fd_);
  }
  BoxReply(const BoxReply&) = delete;
  BoxReply& operator=(const BoxReply&) = delete;

  bool complete(int id) {
    int expected = 0;
    if (!answer_.compare_exchange_strong(expected, id)) return false;
    signal_eventfd(fd_);
    return true;
  }
  bool done() const { return answer_.load() != 0; }
  int answer() const { return answer_.load(); }
  int fd() const { return fd_; }

 private:
  std::atomic<int> answer_{0};
  const int fd_;
};

// Button sets other than Yes/No are shown with an OK button: the program asks for no other.
std::shared_ptr<ui::Prompt> make_prompt(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type,
                                        const std::shared_ptr<BoxReply>& reply) {
  auto prompt = std::make_shared<ui::Prompt>();
  prompt->owner = owner;
  prompt->caption = caption != nullptr ? caption : L"Error";
  prompt->text = text != nullptr ? text : L"";
  prompt->buttons = (type & kButtonMask) == MB_YESNO ? ui::Buttons::yes_no : ui::Buttons::ok;
  prompt->stop_icon = (type & kIconMask) == MB_ICONHAND;
  prompt->modal = ui::on_ui_thread();
  std::weak_ptr<ui::Prompt> weak = prompt;
  prompt->answer = [reply, weak](int id) {
    if (!reply->complete(id)) return;
    if (auto shown = weak.lock()) close_prompt(shown);
  };
  return prompt;
}

// Withdraws a worker's box when the worker leaves its wait unanswered (it was terminated).
class WithdrawOnUnwind {
 public:
  WithdrawOnUnwind(std::shared_ptr<ui::Prompt> prompt, std::shared_ptr<BoxReply> reply)
      : prompt_(std::move(prompt)), reply_(std::move(reply)) {}
  ~WithdrawOnUnwind() {
    if (reply_->done()) return;
    ui::run_on_ui_thread([prompt = prompt_, reply = reply_] {
      if (reply->complete(IDCANCEL)) close_prompt(prompt);
    });
  }
  WithdrawOnUnwind(const WithdrawOnUnwind&) = delete;
  WithdrawOnUnwind& operator=(const WithdrawOnUnwind&) = delete;

 private:
  std::shared_ptr<ui::Prompt> prompt_;
  std::shared_ptr<BoxReply> reply_;
};

int wait_as_worker(const std::shared_ptr<ui::Prompt>& prompt, const std::shared_ptr<BoxReply>& reply) {
  WithdrawOnUnwind guard(prompt, reply);
  while (!reply->done()) {
    pollfd fd{reply->fd(), POLLIN, 0};
    kernel::consent_poll(&fd, 1, -1);
    drain_eventfd(reply->fd());
  }
  return reply->answer();
}

int show_modal_here(const std::shared_ptr<ui::Prompt>& prompt, const std::shared_ptr<BoxReply>& reply) {
  const ModalSlot slot;
  if (!slot.admitted()) return 0;
  if (!open_prompt(prompt)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  run_modal_loop([&] { return reply->done(); });
  // The loop also ends on a quit message: the box goes, unanswered.
  if (reply->complete(IDCANCEL)) {
    close_prompt(prompt);
    return 0;
  }
  return reply->answer();
}

}  // namespace
}  // namespace kov02::windowing

using namespace kov02;
using namespace kov02::windowing;

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  auto reply = std::make_shared<BoxReply>();
  if (reply->fd() < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  // Binds the UI thread when none is yet: a box shown before any window is the caller's own.
  ui::backend_here();
  auto prompt = make_prompt(owner, text, caption, type, reply);
  if (!ui::on_ui_thread()) {
    if (!ui::run_on_ui_thread([prompt] { open_prompt(prompt); })) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return 0;
    }
    return wait_as_worker(prompt, reply);
  }
  return show_modal_here(prompt, reply);
}
