// The one place a backend is chosen: KOV02_UI=gtk or console; unset, gtk where a display is
// reachable and the console otherwise. The thread that first asks becomes the UI thread.
#include "ui/backend.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>

#include "windowing/message_queue.h"

namespace kov02::ui {
namespace {

struct Active {
  std::mutex mutex;
  bool bound = false;
  std::thread::id ui_thread;
  std::shared_ptr<windowing::ThreadQueue> ui_queue;
  std::unique_ptr<Backend> backend;
};

Active& active() {
  static Active* const instance = new Active;
  return *instance;
}

bool display_named() {
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x11 != nullptr && x11[0] != '\0') || (wayland != nullptr && wayland[0] != '\0');
}

std::unique_ptr<Backend> choose_backend() {
  const char* variable = std::getenv("KOV02_UI");
  const std::string_view choice = variable != nullptr ? variable : "";
  if (!choice.empty() && choice != "gtk" && choice != "console") {
    std::fprintf(stderr, "KOV02_UI must be gtk or console, not \"%s\": choosing by display\n", variable);
  }
  if (choice != "console" && (choice == "gtk" || display_named())) {
    if (auto gtk = make_gtk_backend()) return gtk;
    if (choice == "gtk") std::fprintf(stderr, "KOV02_UI=gtk: no display can be opened, using the console\n");
  }
  return make_console_backend(STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO);
}

}  // namespace

Backend* backend_here() {
  Active& a = active();
  std::unique_lock lock(a.mutex);
  if (!a.bound) {
    a.bound = true;
    a.ui_thread = std::this_thread::get_id();
    a.ui_queue = windowing::current_queue();
    lock.unlock();
    // Only this thread gets past the test below, so the choice is made once, unlocked.
    auto chosen = choose_backend();
    lock.lock();
    a.backend = std::move(chosen);
  }
  return a.ui_thread == std::this_thread::get_id() ? a.backend.get() : nullptr;
}

Backend* backend_on_ui_thread() {
  return on_ui_thread() ? backend_here() : nullptr;
}

bool on_ui_thread() {
  Active& a = active();
  std::lock_guard lock(a.mutex);
  return a.bound && a.ui_thread == std::this_thread::get_id();
}

bool run_on_ui_thread(std::function<void()> task) {
  std::shared_ptr<windowing::ThreadQueue> queue;
  {
    Active& a = active();
    std::lock_guard lock(a.mutex);
    if (!a.bound) return false;
    if (a.ui_thread != std::this_thread::get_id()) queue = a.ui_queue;
  }
  if (!queue) {
    task();
    return true;
  }
  return queue->post_task(std::move(task));
}

void install_backend(std::unique_ptr<Backend> backend) {
  Active& a = active();
  std::unique_ptr<Backend> previous;
  std::lock_guard lock(a.mutex);
  a.bound = true;
  a.ui_thread = std::this_thread::get_id();
  a.ui_queue = windowing::current_queue();
  previous = std::move(a.backend);
  a.backend = std::move(backend);
}

}  // namespace kov02::ui
