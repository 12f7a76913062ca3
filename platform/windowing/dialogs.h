// Modal dialogs and message boxes: the state of a dialog window and the prompts shown for both.
#pragma once

#include <kov02/ce.h>

#include <atomic>
#include <memory>

#include "windowing/backend.h"

namespace kov02::windowing {

struct DialogState {
  DLGPROC proc = nullptr;
  std::atomic<bool> ended{false};
  std::atomic<int> result{0};
};

// Held while a modal box or dialog runs its message loop on the calling thread. Each nested box
// runs on the same stack as the one below it, so a script that asks for boxes faster than it
// answers them would otherwise end in a stack overflow: past kMaxModalDepth a new box is
// refused, as if it could not be created (ERROR_NOT_ENOUGH_MEMORY).
class ModalSlot {
 public:
  static constexpr int kMaxModalDepth = 16;

  ModalSlot();
  ~ModalSlot();
  ModalSlot(const ModalSlot&) = delete;
  ModalSlot& operator=(const ModalSlot&) = delete;

  // False when kMaxModalDepth boxes were already nested here; the last error is then set.
  bool admitted() const { return admitted_; }

 private:
  bool admitted_;
};

// Shows or withdraws a prompt through the backend; the caller is the UI thread (elsewhere
// there is nothing to show it with, and false is returned).
bool open_prompt(const std::shared_ptr<ui::Prompt>& prompt);
void close_prompt(const std::shared_ptr<ui::Prompt>& prompt);

}  // namespace kov02::windowing
