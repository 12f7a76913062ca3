// The UI thread and its backend: the thread that first asks becomes the UI thread and gets the
// backend ui/ chooses for this process; other threads reach it through the UI thread's queue.
#include "windowing/backend.h"

#include <mutex>
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
