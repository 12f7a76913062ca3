// A backend for tests: shows nothing, records what would be shown, and answers boxes and
// dialogs either at once (a preset answer) or when the test says so.
#pragma once

#include <poll.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/threads.h"
#include "windowing/backend.h"

class WinTestBackend final : public kov02::ui::Backend {
 public:
  struct Shown {
    std::wstring caption;
    std::wstring text;
    kov02::ui::Buttons buttons;
    bool stop_icon;
    bool dialog;
    bool modal;
  };

  // 0 leaves boxes and dialogs open until answer_oldest(); otherwise each is answered with it.
  explicit WinTestBackend(int auto_answer = 0) : auto_answer_(auto_answer) {}

  void wait(int wake_fd, int timeout_ms) override {
    pollfd fd{wake_fd, POLLIN, 0};
    kov02::kernel::consent_poll(&fd, 1, timeout_ms);
  }
  void window_created(HWND) override {}
  void window_changed(HWND) override {}
  void window_destroyed(HWND) override {}
  void edit_replaced(HWND, std::size_t, std::size_t, std::wstring_view) override {}
  void edit_selected(HWND, std::size_t, std::size_t) override {}

  void prompt_opened(const std::shared_ptr<kov02::ui::Prompt>& prompt) override {
    {
      std::lock_guard lock(mutex_);
      shown_.push_back({prompt->caption, prompt->text, prompt->buttons, prompt->stop_icon,
                        prompt->dialog != nullptr, prompt->modal});
      open_.push_back(prompt);
    }
    if (auto_answer_ != 0) prompt->answer(auto_answer_);
  }
  void prompt_closed(const std::shared_ptr<kov02::ui::Prompt>& prompt) override {
    std::lock_guard lock(mutex_);
    std::erase(open_, prompt);
  }
  void raise(HWND hwnd) override {
    std::lock_guard lock(mutex_);
    raised_.push_back(hwnd);
  }

  // Answers the oldest open box or dialog (call on the UI thread); false when none is open.
  bool answer_oldest(int id) {
    std::shared_ptr<kov02::ui::Prompt> prompt;
    {
      std::lock_guard lock(mutex_);
      if (open_.empty()) return false;
      prompt = open_.front();
    }
    prompt->answer(id);
    return true;
  }

  std::vector<Shown> shown() const { return locked(shown_); }
  std::size_t open_count() const { return locked(open_).size(); }
  std::vector<HWND> raised() const { return locked(raised_); }

 private:
  // A copy of `value`, taken under the lock the backend's callers on other threads share.
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  const int auto_answer_;
  mutable std::mutex mutex_;
  std::vector<Shown> shown_;
  std::vector<std::shared_ptr<kov02::ui::Prompt>> open_;
  std::vector<HWND> raised_;
};
