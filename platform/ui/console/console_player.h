// Someone at the console other than a person: a player that is shown what the console shows and,
// whenever the program is idle, may type the next command line in place of stdin. A scripted
// update is one (scripted_run.h).
#pragma once

#include <kov02/ce.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "windowing/backend.h"
#include "windowing/windows.h"

namespace kov02::ui::console {

// The command id of a menu item named by its captions ("Tools/Update Firmware/Flash only"),
// grayed or not; nullopt when there is no such item.
using MenuLookup = std::function<std::optional<WORD>(std::string_view path)>;

class Player {
 public:
  virtual ~Player() = default;

  // What the console shows, as it shows it. All calls come on the UI thread.
  virtual void pane_text(std::wstring_view text) = 0;
  virtual void prompt_opened(const Prompt& prompt) = 0;
  virtual void window_changed(const windowing::WindowView& view) = 0;
  // The bar moved; `report` when a progress line is due (a step's start and end, and at most
  // once a second between).
  virtual void progress_moved(const windowing::WindowView& bar, bool report) = 0;

  // The program is idle: the next command line, or nullopt to wait. `box_holds_input` while a
  // modal box or dialog is shown.
  virtual std::optional<std::string> next_line(bool box_holds_input, const MenuLookup& lookup) = 0;
  // A descriptor whose turning readable is something for next_line to see; -1 for none.
  virtual int wake_fd() const = 0;
};

// The console with `player` in place of stdin (which it leaves unread).
std::unique_ptr<Backend> make_console_backend(int out_fd, int err_fd, std::shared_ptr<Player> player);

}  // namespace kov02::ui::console
