// One thread for every watched port: a GUdev client on the tty subsystem, dispatched by a
// GMainContext of the thread's own (the console front-end runs no GLib loop, and the GTK one
// belongs to the UI thread). It runs while at least one port is watched.
#include "ports/port_watch.h"

#include <kov02/ce.h>

#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel/text.h"
#include "ports/udev_device.h"

namespace kov02::ports {
namespace {

struct Watched {
  std::string name;  // "COM1:"
  PresentPort port;  // as last seen present
  bool present = true;
};

class Watcher {
 public:
  int add(Watched watched);
  void remove(int id);
  void set_sink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
  }

 private:
  void start();
  void stop();
  void run(std::promise<void>* ready);
  void handle(const std::string& action, GUdevDevice* device);
  std::vector<std::string> lines_for(const std::string& action, GUdevDevice* device);
  static void on_uevent(GUdevClient*, const gchar* action, GUdevDevice* device, gpointer self) {
    static_cast<Watcher*>(self)->handle(action ? action : "", device);
  }

  std::mutex lifecycle_;  // held while the thread starts or stops; never by the thread itself
  std::thread thread_;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::mutex mutex_;  // the watched ports, the ids and the sink
  std::map<int, Watched> watched_;
  int next_id_ = 1;
  std::function<void(const std::string&)> sink_;
};

// Never destroyed: a port still held at exit is still watched while the process ends.
Watcher& watcher() {
  static auto* instance = new Watcher;
  return *instance;
}

int Watcher::add(Watched watched) {
  std::lock_guard life(lifecycle_);
  int id = 0;
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    id = next_id_++;
    first = watched_.empty();
    watched_.emplace(id, std::move(watched));
  }
  if (first) start();
  return id;
}

void Watcher::remove(int id) {
  std::lock_guard life(lifecycle_);
  bool last = false;
  {
    std::lock_guard lock(mutex_);
    last = watched_.erase(id) == 1 && watched_.empty();
  }
  if (last) stop();
}

// Returns once the client listens, so an adapter pulled right after the open is seen.
void Watcher::start() {
  context_ = g_main_context_new();
  loop_ = g_main_loop_new(context_, FALSE);
  std::promise<void> ready;
  std::future<void> listening = ready.get_future();
  thread_ = std::thread([this, &ready] { run(&ready); });
  listening.wait();
}

// The quit goes in as a source of the thread's context, so it is seen even when the loop has
// not begun to run yet.
void Watcher::stop() {
  GSource* quit = g_idle_source_new();
  g_source_set_callback(
      quit,
      [](gpointer loop) {
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      loop_, nullptr);
  g_source_attach(quit, context_);
  g_source_unref(quit);
  thread_.join();
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
  loop_ = nullptr;
  context_ = nullptr;
}

void Watcher::run(std::promise<void>* ready) {
  g_main_context_push_thread_default(context_);
  const gchar* const subsystems[] = {"tty", nullptr};
  GUdevClient* client = g_udev_client_new(subsystems);
  g_signal_connect(client, "uevent", G_CALLBACK(on_uevent), this);
  ready->set_value();
  g_main_loop_run(loop_);
  g_object_unref(client);
  g_main_context_pop_thread_default(context_);
}

std::vector<std::string> Watcher::lines_for(const std::string& action, GUdevDevice* device) {
  std::vector<std::string> lines;
  std::lock_guard lock(mutex_);
  if (action == "remove") {
    const PresentPort gone = read_removed(device);
    for (auto& [id, watched] : watched_) {
      const bool same = (!gone.device.empty() && gone.device == watched.port.device) ||
                        (!gone.sysfs_path.empty() && gone.sysfs_path == watched.port.sysfs_path);
      if (!watched.present || !same) continue;
      watched.present = false;
      lines.push_back(watched.name + " " + watched.port.device + " (" + watched.port.label() +
                      ") was unplugged");
    }
  } else if (action == "add") {
    const std::optional<PresentPort> back = read_port(device);
    for (auto& [id, watched] : watched_) {
      if (!back || watched.present || !watched.port.same_adapter(*back)) continue;
      lines.push_back(watched.name + " " + watched.port.device + " (" + watched.port.label() +
                      ") is back as " + back->device);
      watched.port = *back;
      watched.present = true;
    }
  }
  return lines;
}

void Watcher::handle(const std::string& action, GUdevDevice* device) {
  const std::vector<std::string> lines = lines_for(action, device);
  if (lines.empty()) return;
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard lock(mutex_);
    sink = sink_;
  }
  for (const std::string& line : lines) {
    OutputDebugStringW(kernel::from_utf8(line + "\r\n").c_str());
    if (sink) sink(line);
  }
}

class Watch {
 public:
  explicit Watch(int id) : id_(id) {}
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;
  ~Watch() { watcher().remove(id_); }

 private:
  int id_;
};

}  // namespace

void set_notice_sink(std::function<void(const std::string& line)> sink) {
  watcher().set_sink(std::move(sink));
}

std::shared_ptr<void> watch_port(const std::string& name, const std::string& path) {
  // A pty (the simulator, a terminal) has no adapter to pull; udev need not be asked.
  if (path.starts_with("/dev/pts/")) return nullptr;
  std::optional<PresentPort> port = describe_port(path);
  if (!port) return nullptr;
  return std::make_shared<Watch>(watcher().add(Watched{name, std::move(*port), true}));
}

}  // namespace kov02::ports
