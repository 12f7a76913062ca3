// Measures byte bridges between pairs of pseudo-terminals: the tool's UART bridge (FFUART and
// IrDA mapped onto the slaves of two pairs), socat (its default buffer, and -b 1024, the tool's
// chunk size) and the minimal poll bridge (poll_bridge, built beside this probe), each on pairs
// of its own, all running at once so that every ratio compares like with like.
//
// Throughput of random bytes (0xFF included) in each direction, checked byte for byte, in rounds
// that take the bridges in turn (and the tool again with "Bi-direction" lines), the median round
// of each; the round trip of one byte (out through one pump, back through the other), median and
// 99th percentile; the CPU of the tool, socat and the poll bridge idle side by side over the same
// seconds; and with "Bi-direction" on, the time from a console `show menu` to the last line of
// its tree, with the tool's bridge idle and with it forwarding at full rate both ways.
//
// Usage: bridge_probe --tool PATH --poll-bridge PATH [--socat PATH] [--mib N] [--rounds N]
//                     [--trips N] [--idle-seconds N] [--menu-samples N]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options {
  std::string tool;
  std::string poll_bridge;
  std::string socat = "socat";
  std::size_t mib = 32;  // each pass, each direction
  int rounds = 3;
  int trips = 2000;
  int idle_seconds = 10;
  int menu_samples = 50;
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bridge_probe: %s\n", what.c_str());
  std::exit(2);
}

// One pseudo-terminal pair: the probe keeps the master, the bridge opens the slave.
struct PtyPair {
  int master = -1;
  std::string slave;
};

PtyPair open_pty() {
  PtyPair pair;
  pair.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pair.master < 0 || ::grantpt(pair.master) != 0 || ::unlockpt(pair.master) != 0) fail("posix_openpt");
  pair.slave = ::ptsname(pair.master);
  return pair;
}

// Writes all of `size` bytes to a blocking fd.
void write_all(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(std::string("write: ") + std::strerror(errno));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Reads at least one byte within `limit`; returns the count, 0 on time-out.
std::size_t read_some(int fd, unsigned char* data, std::size_t size, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return 0;
  ssize_t n = ::read(fd, data, size);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
  if (n <= 0) fail(std::string("read: ") + std::strerror(errno));
  return static_cast<std::size_t>(n);
}

// A child process with its stdin on a pipe and its stdout read into lines by a thread, so a
// chatty child (the tool's log pane on stdout) never stalls on a full pipe.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) exec_child(argv, env, in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { read_lines(fd); });
  }
  ~Process() {
    stop();
    if (reader_.joinable()) reader_.join();
  }

  pid_t pid() const { return pid_; }
  void send(const std::string& line) {
    std::string text = line + "\n";
    write_all(in_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  // Waits for a line holding `text` after the previous match.
  bool wait_for(const std::string& text, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      for (; cursor_ < lines_.size(); ++cursor_)
        if (lines_[cursor_].find(text) != std::string::npos) return ++cursor_, true;
      return false;
    });
  }
  // Exit status, or -1 when it did not end within `limit`.
  int wait_exit(std::chrono::milliseconds limit) {
    for (auto deadline = Clock::now() + limit; Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
    }
    return -1;
  }
  void stop() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (wait_exit(3s) < 0) {
      ::kill(pid_, SIGKILL);
      wait_exit(3s);
    }
  }

 private:
  [[noreturn]] static void exec_child(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& env, int in, int out) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a probe that dies takes its bridge with it
    ::dup2(in, 0);
    ::dup2(out, 1);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    std::_Exit(127);
  }
  void read_lines(int fd) {
    std::string tail;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      std::lock_guard lock(mutex_);
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] == '\n') {
          lines_.push_back(std::move(tail));
          tail.clear();
        } else if (buffer[i] != '\r') {
          tail += buffer[i];
        }
      }
      changed_.notify_all();
    }
    ::close(fd);
  }

  pid_t pid_ = -1;
  int in_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::size_t cursor_ = 0;
};

// CPU nanoseconds used so far by each thread of a live process, by thread id.
std::map<std::string, double> thread_cpu_ns(pid_t pid) {
  std::map<std::string, double> ns;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long used = 0;
    if (in >> used) ns[task.path().filename().string()] = static_cast<double>(used);
  }
  return ns;
}

// CPU seconds a process's threads used since `before` was taken. A thread that ended meanwhile
// is left out rather than taken away: its time is no longer listed.
double cpu_seconds_since(pid_t pid, const std::map<std::string, double>& before) {
  double total = 0;
  for (const auto& [tid, ns] : thread_cpu_ns(pid)) {
    const auto then = before.find(tid);
    total += ns - (then == before.end() ? 0 : then->second);
  }
  return total / 1e9;
}

// Waits until the bridge has made the pair's slave raw: before that it echoes what it is sent.
bool wait_raw(const PtyPair& pair, std::chrono::milliseconds limit) {
  for (auto deadline = Clock::now() + limit; Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
    termios t{};
    if (::tcgetattr(pair.master, &t) == 0 && (t.c_lflag & (ECHO | ICANON)) == 0) return true;
  }
  return false;
}

// Sends one byte each way and waits for it, so a measurement starts on a bridge that moves bytes.
bool bridge_answers(const PtyPair& a, const PtyPair& b) {
  for (auto [from, to] : {std::pair{a.master, b.master}, std::pair{b.master, a.master}}) {
    unsigned char byte = 0x5A;
    write_all(from, &byte, 1);
    if (read_some(to, &byte, 1, 3s) != 1 || byte != 0x5A) return false;
  }
  return true;
}

// Random bytes (0xFF among them) from `from` to `to`; MiB/s, or a failure when a byte differs.
double throughput(int from, int to, const std::vector<unsigned char>& data) {
  std::size_t mismatch_at = data.size();
  std::size_t got = 0;
  const auto start = Clock::now();
  std::thread writer([&] { write_all(from, data.data(), data.size()); });
  std::vector<unsigned char> buffer(65536);
  while (got < data.size()) {
    std::size_t n = read_some(to, buffer.data(), std::min(buffer.size(), data.size() - got), 10s);
    if (n == 0) fail("bridge stalled after " + std::to_string(got) + " bytes");
    if (mismatch_at == data.size() && std::memcmp(buffer.data(), data.data() + got, n) != 0) {
      mismatch_at = got;
      while (buffer[mismatch_at - got] == data[mismatch_at]) ++mismatch_at;
      std::fprintf(stderr, "bridge_probe: at %zu got %02X, sent %02X\n", mismatch_at,
                   buffer[mismatch_at - got], data[mismatch_at]);
    }
    got += n;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  if (mismatch_at != data.size()) fail("bytes differ from offset " + std::to_string(mismatch_at));
  return static_cast<double>(data.size()) / (1024.0 * 1024.0) / seconds;
}

struct Spread {
  double median = 0, p95 = 0, p99 = 0;
};

Spread spread_of(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](std::size_t percent) {
    return samples[std::min(samples.size() - 1, samples.size() * percent / 100)];
  };
  return {at(50), at(95), at(99)};
}

// One byte out from a's master through the bridge to b's master, echoed back the other way;
// microseconds.
Spread round_trips(const PtyPair& a, const PtyPair& b, int count) {
  std::vector<double> us;
  for (int i = 0; i < count; ++i) {
    unsigned char byte = static_cast<unsigned char>(i);
    const auto start = Clock::now();
    write_all(a.master, &byte, 1);
    if (read_some(b.master, &byte, 1, 3s) != 1) fail("round trip lost on the way out");
    write_all(b.master, &byte, 1);
    if (read_some(a.master, &byte, 1, 3s) != 1) fail("round trip lost on the way back");
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return spread_of(std::move(us));
}

// CPU percent of each process over the same idle seconds.
std::vector<double> idle_cpu_percent(const std::vector<pid_t>& pids, int seconds) {
  std::vector<std::map<std::string, double>> before;
  for (pid_t pid : pids) before.push_back(thread_cpu_ns(pid));
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::vector<double> percent;
  for (std::size_t i = 0; i < pids.size(); ++i)
    percent.push_back(cpu_seconds_since(pids[i], before[i]) * 100.0 / seconds);
  return percent;
}

struct Figures {
  double a_to_b = 0, b_to_a = 0, a_to_b_logged = 0, b_to_a_logged = 0;
  Spread trips{};
  double idle_cpu = 0;
  Spread menu_idle{}, menu_loaded{};  // milliseconds
  double flood_rate = 0;              // MiB/s both ways together while menu_loaded was taken
};

// Random bytes written into both pairs' masters and drained from both, as fast as the bridge
// takes them, until the flood goes out of scope. The drains outlast the writers, so a writer
// never blocks on a bridge whose far side nobody reads.
class Flood {
 public:
  Flood(const PtyPair& a, const PtyPair& b, const std::vector<unsigned char>& data) {
    for (auto [from, to] : {std::pair{a.master, b.master}, std::pair{b.master, a.master}}) {
      writers_.emplace_back([this, from, &data] {
        while (!stop_writing_) write_all(from, data.data(), std::min<std::size_t>(data.size(), 65536));
      });
      drains_.emplace_back([this, to] {
        std::vector<unsigned char> buffer(65536);
        while (!stop_draining_) drained_ += read_some(to, buffer.data(), buffer.size(), 100ms);
      });
    }
  }
  // MiB/s arrived on both sides together since the flood began.
  double rate() const {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    return static_cast<double>(drained_) / (1024.0 * 1024.0) / seconds;
  }
  ~Flood() {
    stop_writing_ = true;
    for (auto& thread : writers_) thread.join();
    stop_draining_ = true;
    for (auto& thread : drains_) thread.join();
  }

 private:
  const Clock::time_point start_ = Clock::now();
  std::atomic<bool> stop_writing_{false}, stop_draining_{false};
  std::atomic<std::size_t> drained_{0};
  std::vector<std::thread> writers_, drains_;
};

// A bridge under measurement between the slaves of two fresh pairs, running until it goes out
// of scope. For the tool, `dir` is its registry's folder.
struct Bridge {
  PtyPair a = open_pty(), b = open_pty();
  std::unique_ptr<Process> process;
  fs::path dir;

  ~Bridge() {
    process.reset();
    ::close(a.master);
    ::close(b.master);
    if (!dir.empty()) fs::remove_all(dir);
  }
};

// The command line of a reference bridge between the two slaves.
using BridgeCommand = std::function<std::vector<std::string>(const std::string&, const std::string&)>;

std::unique_ptr<Bridge> start_reference(const BridgeCommand& command) {
  auto bridge = std::make_unique<Bridge>();
  const std::vector<std::string> argv = command(bridge->a.slave, bridge->b.slave);
  bridge->process = std::make_unique<Process>(argv, std::vector<std::string>{});
  if (!wait_raw(bridge->a, 5s) || !wait_raw(bridge->b, 5s)) fail(argv[0] + " did not open both ports");
  if (!bridge_answers(bridge->a, bridge->b)) fail(argv[0] + " does not move bytes");
  return bridge;
}

// socat with both sides raw, with its default buffer (8192 bytes) or, when `block` is not 0,
// with transfers of at most `block` bytes.
BridgeCommand socat_command(const Options& options, int block) {
  return [&options, block](const std::string& a, const std::string& b) {
    std::vector<std::string> argv = {options.socat, a + ",rawer", b + ",rawer"};
    if (block != 0) argv.insert(argv.begin() + 1, {"-b", std::to_string(block)});
    return argv;
  };
}

BridgeCommand poll_bridge_command(const Options& options) {
  return [&options](const std::string& a, const std::string& b) {
    return std::vector<std::string>{options.poll_bridge, a, b};
  };
}

}  // namespace

namespace {

// The console front-end's lines that choose the menu items.
const char* const kCommandDebugNone = "menu Tools/Debug Message/None";
const char* const kCommandDebugBoth = "menu Tools/Debug Message/Bi-direction";
const char* const kCommandGetComs = "menu System/Get COMs";
const char* const kCommandExit = "menu System/Exit";
const char* const kMenuTreeEnd = "Flash only = ";  // the last line `show menu` prints

// The tool bridging FFUART (COM1:) and IrDA (COM3:), mapped onto the two slaves, debug None.
std::unique_ptr<Bridge> start_tool(const Options& options) {
  auto bridge = std::make_unique<Bridge>();
  bridge->dir = fs::temp_directory_path() / ("bridge-probe-" + std::to_string(::getpid()));
  const fs::path& dir = bridge->dir;
  fs::create_directories(dir / "run");
  fs::permissions(dir / "run", fs::perms::owner_all);
  std::ofstream(dir / "kov02tool.reg")
      << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n"
      << "\"COM1:\"=\"" << bridge->a.slave << "\"\n\"COM3:\"=\"" << bridge->b.slave << "\"\n"
      << "\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=dword:00000001\n"
      << "\n[HKEY_LOCAL_MACHINE\\Platform\\Debug]\n\"Output\"=\"file:" << (dir / "debug.log").string()
      << "\"\n";
  bridge->process = std::make_unique<Process>(
      std::vector<std::string>{options.tool},
      std::vector<std::string>{"KOV02_UI=console", "KOV02_REGISTRY=" + (dir / "kov02tool.reg").string(),
                               "XDG_RUNTIME_DIR=" + (dir / "run").string()});
  bridge->process->send(kCommandDebugNone);
  bridge->process->send(kCommandGetComs);
  if (!bridge->process->wait_for("Stopbits:1,Databits:8")) fail("the tool did not open its bridge");
  if (!bridge_answers(bridge->a, bridge->b)) fail("the tool's bridge does not move bytes");
  return bridge;
}

// Chooses a debug direction and waits until the tool has taken it: console commands run in
// order, so once the menu tree of a later `show menu` is out, the choice is made.
void choose_debug(Process& tool, const char* command) {
  tool.send(command);
  tool.send("show menu");
  if (!tool.wait_for(kMenuTreeEnd)) fail("no menu tree after show menu");
}

// Milliseconds from each console `show menu` to the last line of the tree it prints.
Spread menu_latency(Process& tool, int samples) {
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    const auto start = Clock::now();
    tool.send("show menu");
    if (!tool.wait_for(kMenuTreeEnd)) fail("no menu tree after show menu");
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    std::this_thread::sleep_for(10ms);
  }
  return spread_of(std::move(ms));
}

double median_of(std::vector<double> v) {
  return spread_of(std::move(v)).median;
}

// Throughput both ways of every bridge, and of the tool with "Bi-direction" lines, in rounds
// that take the bridges in turn, so that load coming and going on the machine weighs on all of
// them alike; each figure is the median round. bridges[0] is the tool.
void throughput_rounds(const std::vector<Bridge*>& bridges, const std::vector<unsigned char>& data,
                       int rounds, std::vector<Figures>& figures) {
  std::vector<std::vector<double>> rates(2 * bridges.size() + 2);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < bridges.size(); ++i) {
      rates[2 * i].push_back(throughput(bridges[i]->a.master, bridges[i]->b.master, data));
      rates[2 * i + 1].push_back(throughput(bridges[i]->b.master, bridges[i]->a.master, data));
    }
    Bridge& tool = *bridges[0];
    choose_debug(*tool.process, kCommandDebugBoth);
    rates[2 * bridges.size()].push_back(throughput(tool.a.master, tool.b.master, data));
    rates[2 * bridges.size() + 1].push_back(throughput(tool.b.master, tool.a.master, data));
    choose_debug(*tool.process, kCommandDebugNone);
  }
  for (std::size_t i = 0; i < bridges.size(); ++i) {
    figures[i].a_to_b = median_of(rates[2 * i]);
    figures[i].b_to_a = median_of(rates[2 * i + 1]);
  }
  figures[0].a_to_b_logged = median_of(rates[2 * bridges.size()]);
  figures[0].b_to_a_logged = median_of(rates[2 * bridges.size() + 1]);
}

// With "Bi-direction" on, `show menu` with the tool's bridge idle and then at full rate.
void window_latency(Bridge& tool, const Options& options, const std::vector<unsigned char>& data,
                    Figures& figures) {
  choose_debug(*tool.process, kCommandDebugBoth);
  figures.menu_idle = menu_latency(*tool.process, options.menu_samples);
  Flood flood(tool.a, tool.b, data);
  std::this_thread::sleep_for(500ms);  // the bridge at full rate before the first sample
  figures.menu_loaded = menu_latency(*tool.process, options.menu_samples);
  figures.flood_rate = flood.rate();
}

// Every bridge running at once; each measurement takes them in turn or side by side.
// Order of `figures`: tool, socat, socat -b 1024, poll bridge.
std::vector<Figures> measure(const Options& options, const std::vector<unsigned char>& data) {
  std::vector<Figures> figures(4);
  auto tool = start_tool(options);
  auto socat = start_reference(socat_command(options, 0));
  auto socat1k = start_reference(socat_command(options, 1024));
  auto poll = start_reference(poll_bridge_command(options));
  const std::vector<Bridge*> bridges = {tool.get(), socat.get(), socat1k.get(), poll.get()};
  throughput_rounds(bridges, data, options.rounds, figures);
  for (std::size_t i = 0; i < bridges.size(); ++i)
    if (i != 2) figures[i].trips = round_trips(bridges[i]->a, bridges[i]->b, options.trips);
  const std::vector<double> idle = idle_cpu_percent(
      {tool->process->pid(), socat->process->pid(), poll->process->pid()}, options.idle_seconds);
  figures[0].idle_cpu = idle[0];
  figures[1].idle_cpu = idle[1];
  figures[3].idle_cpu = idle[2];
  window_latency(*tool, options, data, figures[0]);
  tool->process->send(kCommandExit);
  if (tool->process->wait_exit(10s) != 0) fail("the tool did not end with status 0");
  return figures;
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i], value = argv[i + 1];
    if (name == "--tool")
      options.tool = value;
    else if (name == "--poll-bridge")
      options.poll_bridge = value;
    else if (name == "--menu-samples")
      options.menu_samples = std::stoi(value);
    else if (name == "--socat")
      options.socat = value;
    else if (name == "--mib")
      options.mib = std::stoul(value);
    else if (name == "--rounds")
      options.rounds = std::stoi(value);
    else if (name == "--trips")
      options.trips = std::stoi(value);
    else if (name == "--idle-seconds")
      options.idle_seconds = std::stoi(value);
    else
      fail("unknown option " + name);
  }
  if (options.tool.empty() || options.poll_bridge.empty())
    fail(
        "usage: bridge_probe --tool PATH --poll-bridge PATH [--socat PATH] [--mib N] [--rounds N] "
        "[--trips N] [--idle-seconds N] [--menu-samples N]");
  return options;
}

void print(const char* name, const Figures& f) {
  std::printf("%-6s throughput A->B %8.1f MiB/s   B->A %8.1f MiB/s\n", name, f.a_to_b, f.b_to_a);
  std::printf("%-6s round trip median %7.0f us   p99 %7.0f us\n", name, f.trips.median, f.trips.p99);
  std::printf("%-6s idle CPU %6.2f %% of a core\n", name, f.idle_cpu);
}

const char* verdict(bool met) {
  return met ? "met" : "MISSED";
}

// The worse direction's ratio of two throughputs.
double worse_ratio(double a_to_b, double b_to_a, const Figures& base) {
  return std::min(a_to_b / base.a_to_b, b_to_a / base.b_to_a);
}

void print_goals(const Figures& tool, const Figures& socat, const Figures& socat1k, const Figures& poll) {
  const double ratio = worse_ratio(tool.a_to_b, tool.b_to_a, socat);
  const double ratio1k = worse_ratio(tool.a_to_b, tool.b_to_a, socat1k);
  const double logged = worse_ratio(tool.a_to_b_logged, tool.b_to_a_logged, tool);
  const double extra_ms = (tool.trips.median - socat.trips.median) / 1000.0;
  const double idle = tool.idle_cpu / poll.idle_cpu;
  std::printf("throughput ratio tool/socat (worse direction) %.2f x   goal >= 1.00  %s\n", ratio,
              verdict(ratio >= 1.0));
  std::printf("throughput ratio tool/socat -b 1024 (worse direction) %.2f x   goal >= 1.00  %s\n", ratio1k,
              verdict(ratio1k >= 1.0));
  std::printf(
      "throughput ratio with \"Bi-direction\" lines over without (worse direction) %.2f x   goal >= 0.50  "
      "%s\n",
      logged, verdict(logged >= 0.5));
  std::printf("round-trip median tool - socat %+.2f ms   goal <= +1.00 ms  %s\n", extra_ms,
              verdict(extra_ms <= 1.0));
  std::printf("idle CPU of the tool %.2f %%   goal <= 2.00 %%  %s\n", tool.idle_cpu,
              verdict(tool.idle_cpu <= 2.0));
  std::printf(
      "idle CPU ratio tool/poll bridge %.2f x (%.2f %% over %.2f %%, side by side)   goal <= 1.20  %s\n",
      idle, tool.idle_cpu, poll.idle_cpu, verdict(idle <= 1.2));
  std::printf("window latency, show menu with \"Bi-direction\", bridge idle: median %.1f ms   p95 %.1f ms\n",
              tool.menu_idle.median, tool.menu_idle.p95);
  std::printf(
      "window latency, show menu with \"Bi-direction\", bridge at full rate both ways (%.1f MiB/s): median "
      "%.1f ms   p95 %.1f ms   (p95 %.1f x idle)   goal p95 <= 100 ms  %s\n",
      tool.flood_rate, tool.menu_loaded.median, tool.menu_loaded.p95,
      tool.menu_loaded.p95 / tool.menu_idle.p95, verdict(tool.menu_loaded.p95 <= 100));
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  const Options options = parse(argc, argv);
  std::vector<unsigned char> data(options.mib * 1024 * 1024);
  std::mt19937_64 random(20261206);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());

  const std::vector<Figures> figures = measure(options, data);
  const Figures &tool = figures[0], &socat = figures[1], &socat1k = figures[2], &poll = figures[3];
  print("tool", tool);
  std::printf("tool   throughput with \"Bi-direction\" lines: A->B %8.1f MiB/s   B->A %8.1f MiB/s\n",
              tool.a_to_b_logged, tool.b_to_a_logged);
  print("socat", socat);
  std::printf("socat -b 1024 (the bridge's chunk size): A->B %8.1f MiB/s   B->A %8.1f MiB/s\n",
              socat1k.a_to_b, socat1k.b_to_a);
  print("poll", poll);
  print_goals(tool, socat, socat1k, poll);
  return 0;
}
