// Modal dialogs and message boxes: the state of a dialog window and the prompts shown for both.
#pragma once

#include <kov02/ce.h>

#include <atomic>
#include <memory>

#include "ui/backend.h"

namespace kov02::windowing {

struct DialogState {
  DLGPROC proc = nullptr;
  std::atomic<bool> ended{false};
  std::atomic<int> result{0};
};

// Shows or withdraws a prompt through the backend; the caller is the UI thread (elsewhere
// there is nothing to show it with, and false is returned).
bool open_prompt(const std::shared_ptr<ui::Prompt>& prompt);
void close_prompt(const std::shared_ptr<ui::Prompt>& prompt);

}  // namespace kov02::windowing
