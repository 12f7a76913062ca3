// Firmware update benchmarks: the built tool (console front-end) runs "Flash only" against the
// module simulator on ptys, and this program times it.
//
//   update_bench --tool PATH --sim PATH [--runs N]
//     A 4,169,728-byte image on unpaced ptys: wall time from the menu command to the closing
//     question over the floor of the protocol's fixed pauses, and the tool's CPU seconds for
//     the run (from /proc/PID/stat) and for its whole life (from wait4).
//     The simulator's summary adds the tool's turnaround: from each 0xAA leaving the simulator
//     to the first byte of the next image chunk (median and p99), set beside the round trip of
//     one byte through a pty to a process that echoes it, measured here after each run.
//   update_bench --tool PATH --sim PATH --baud 115200 [--image BYTES]
//     The simulator paces both directions at the given rate (10 bits a byte): the byte rate
//     achieved during the image phase over the line's rate.
//   update_bench --tool PATH --sim PATH --scripted [--runs N] [--image BYTES]
//     The same Flash-only run, once driven over the console's stdin as a person would and once
//     as `kov02tool --update flash-only --progress json`, alternately: each one's wall time from
//     the tool's start to its exit, the scripted over the interactive.
//   update_bench --tool PATH --sim PATH --silent [--idle-seconds N]
//     A module that goes silent after five image chunks: the time from the last chunk to the
//     failure box over the chunk bound (15000 ms by default), and the tool's CPU while it waits
//     beside its CPU while idle before the run.
//
// Each figure is a ratio measured in the same run as its reference.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "tests/support/e2e_sim.h"
#include "tests/support/e2e_tool.h"

namespace {

using namespace e2e;

// The fixed pauses of one Flash-only run, in ms: the UI thread's 500 before the update thread
// starts, 1000 of casting before the reset, the boot ROM's three sync bytes 10 ms apart after
// it, 20 after the stage-2 size, 100 after 0x50, 20 after the image size, 200 before the box.
constexpr double FLOOR_MS = 500 + 1000 + 30 + 20 + 100 + 20 + 200;
constexpr std::size_t FLASH_IMAGE = 4169728;

struct Options {
  std::string tool, sim;
  int runs = 3;
  unsigned baud = 0;
  std::size_t image = 0;
  int idleSeconds = 5;
  bool silent = false;
  bool scripted = false;
};

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--silent" || key == "--scripted") {
      (key == "--silent" ? o.silent : o.scripted) = true;
      continue;
    }
    if (i + 1 == argc) break;
    const std::string value = argv[++i];
    if (key == "--tool") o.tool = value;
    if (key == "--sim") o.sim = value;
    if (key == "--runs") o.runs = std::stoi(value);
    if (key == "--baud") o.baud = static_cast<unsigned>(std::stoul(value));
    if (key == "--image") o.image = std::stoul(value);
    if (key == "--idle-seconds") o.idleSeconds = std::stoi(value);
  }
  if (o.image == 0) o.image = o.baud ? 256 * 1024 : FLASH_IMAGE;
  if (o.tool.empty() || o.sim.empty())
    throw std::runtime_error("usage: update_bench --tool PATH --sim PATH ...");
  o.tool = fs::absolute(o.tool).string();  // the children start in folders of their own
  o.sim = fs::absolute(o.sim).string();
  return o;
}

// User + system CPU seconds of a running process.
double ProcessCpu(pid_t pid) {
  std::istringstream stat(read_file("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  for (int i = 1; i <= 13; ++i) stat >> field;  // the name holds no blank: "(kov02tool)"
  double utime = 0, stime = 0;
  stat >> utime >> stime;
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Milliseconds since midnight of a debug-output line ("2026-12-06 20:14:31.807 [thread-1] ...").
double LineMs(const std::string& line) {
  int h = 0, m = 0;
  double s = 0;
  std::sscanf(line.c_str() + 11, "%d:%d:%lf", &h, &m, &s);
  return ((h * 60 + m) * 60 + s) * 1000;
}

double FirstLineMs(const fs::path& log, const std::string& text) {
  std::ifstream in(log);
  for (std::string line; std::getline(in, line);)
    if (line.find(text) != std::string::npos) return LineMs(line);
  throw std::runtime_error("no debug line \"" + text + "\"");
}

// Time the update thread spent waiting for the module's chunk acknowledgements during the image
// phase: from each "Waiting for char -> AA h" to the next received byte.
double AckWaitMs(const fs::path& log) {
  std::ifstream in(log);
  bool image = false;
  double waiting = -1, total = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find("Write the compressed file size") != std::string::npos) image = true;
    if (!image) continue;
    if (line.find("Waiting for char -> AA h") != std::string::npos) waiting = LineMs(line);
    if (line.find("A byte got from") != std::string::npos && waiting >= 0) {
      total += LineMs(line) - waiting;
      waiting = -1;
    }
    if (line.find(" Sending Checksum") != std::string::npos) break;
  }
  return total;
}

struct RunFigures {
  double wallMs = 0, runCpu = 0, lifeCpu = 0, imageMs = 0, ackWaitMs = 0;
  double turnaroundMs = 0, turnaroundP99Ms = 0;
  bool clean = false;
};

// A number in the simulator's JSON summary: `key` of the first object after `anchor`.
double SummaryNumber(const std::string& json, const std::string& anchor, const std::string& key) {
  const std::size_t at = json.find("\"" + key + "\":", json.find(anchor));
  if (json.find(anchor) == std::string::npos || at == std::string::npos)
    throw std::runtime_error("no " + key + " in the simulator's summary: " + json);
  return std::stod(json.substr(at + key.size() + 3));
}

double Percentile(std::vector<double> v, int percent) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, v.size() * static_cast<std::size_t>(percent) / 100)];
}

double Median(std::vector<double> v) {
  return Percentile(std::move(v), 50);
}

// A child that echoes every byte it reads on a raw pty slave.
[[noreturn]] void EchoChild(const char* slave) {
  const int fd = ::open(slave, O_RDWR | O_NOCTTY);
  termios t{};
  if (fd < 0 || ::tcgetattr(fd, &t) != 0) ::_exit(1);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  if (::write(fd, "R", 1) != 1) ::_exit(1);
  for (unsigned char byte; ::read(fd, &byte, 1) == 1;)
    if (::write(fd, &byte, 1) != 1) break;
  ::_exit(0);
}

// Reads one byte from the pty master within 3 s.
bool ReadOne(int master, unsigned char& byte) {
  pollfd p{master, POLLIN, 0};
  return ::poll(&p, 1, 3000) == 1 && ::read(master, &byte, 1) == 1;
}

// Milliseconds of `count` one-byte round trips through a pty to an echoing process: the least a
// turnaround can cost, one pty crossing and one wake-up of another process each way.
std::vector<double> PtyEchoMs(int count) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
    throw std::runtime_error("posix_openpt");
  const std::string slave = ::ptsname(master);
  const pid_t child = ::fork();
  if (child == 0) EchoChild(slave.c_str());
  std::vector<double> ms;
  unsigned char byte = 0;
  bool ok = ReadOne(master, byte) && byte == 'R';
  for (int i = 0; ok && i < count; ++i) {
    byte = static_cast<unsigned char>(i);
    const auto t0 = Clock::now();
    ok = ::write(master, &byte, 1) == 1 && ReadOne(master, byte);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  ::close(master);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  if (!ok) throw std::runtime_error("the pty echo did not answer");
  return ms;
}

// One Flash-only run: the simulator, the tool, the menu command, No at the closing question.
RunFigures RunOnce(const Options& o) {
  ProgramFolder folder(o.tool);
  TempDir simDir("kov02-bench-sim");
  folder.put_package(o.image, 9500);
  std::vector<std::string> simOptions;
  if (o.baud) simOptions = {"--baud", std::to_string(o.baud)};
  Sim sim(o.sim, simDir.path(), simOptions);
  Registry registry = folder.base_registry();
  wire(registry, sim);
  auto tool = folder.start(registry);
  if (!ui_ready(*tool)) throw std::runtime_error("the tool did not start: " + tool->transcript());

  RunFigures f;
  const double cpu0 = ProcessCpu(tool->pid());
  const auto t0 = Clock::now();
  tool->send_line("menu Tools/Update Firmware/Flash only");
  if (!tool->wait_for("box: Successful", 600s))
    throw std::runtime_error("no closing question: " + tool->transcript());
  f.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  f.runCpu = ProcessCpu(tool->pid()) - cpu0;
  tool->send_line("answer no");
  eventually([&] { return folder.count_debug_lines(" Communication Port Closed!!") == 2; }, 30s);
  tool->send_line("command 101");
  tool->wait_exit(30s);
  f.lifeCpu = tool->cpu_seconds();
  f.imageMs = FirstLineMs(folder.debug_log(), "Send firmware....ok") -
              FirstLineMs(folder.debug_log(), "Write the compressed file size");
  f.ackWaitMs = AckWaitMs(folder.debug_log());
  f.clean = read_file(sim.received_image()) == read_file(folder / "flash_only.bin");
  f.turnaroundMs = SummaryNumber(sim.summary(), "\"image\":", "median_ms");
  f.turnaroundP99Ms = SummaryNumber(sim.summary(), "\"image\":", "p99_ms");
  return f;
}

const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

// Per run, the pty echo is measured right after the update, so that both see the same load.
void FlashOnly(const Options& o) {
  std::vector<double> ratios, cpus, turnarounds, turnaroundP99s, echoes, echoP99s, overEcho;
  for (int i = 0; i < o.runs; ++i) {
    RunFigures f = RunOnce(o);
    const std::vector<double> echo = PtyEchoMs(1000);
    std::printf(
        "update flash-only run %d: %zu bytes, wall %.0f ms over floor %.0f ms = %.3f, tool CPU %.2f s "
        "(whole life %.2f s); image phase %.0f ms, %.0f ms of it waiting for chunk acks; turnaround "
        "median %.3f ms, p99 %.3f ms, over a pty echo's %.3f ms = %.2f; image %s\n",
        i + 1, o.image, f.wallMs, FLOOR_MS, f.wallMs / FLOOR_MS, f.runCpu, f.lifeCpu, f.imageMs, f.ackWaitMs,
        f.turnaroundMs, f.turnaroundP99Ms, Median(echo), f.turnaroundMs / Median(echo),
        f.clean ? "received intact" : "DIFFERS");
    ratios.push_back(f.wallMs / FLOOR_MS);
    cpus.push_back(f.runCpu);
    turnarounds.push_back(f.turnaroundMs);
    turnaroundP99s.push_back(f.turnaroundP99Ms);
    echoes.push_back(Median(echo));
    echoP99s.push_back(Percentile(echo, 99));
    overEcho.push_back(f.turnaroundMs / Median(echo));
  }
  std::printf(
      "update flash-only: wall/floor %.3f (goal <= 1.05) %s, tool CPU %.2f s (goal <= 0.25) %s, median of "
      "%d\n",
      Median(ratios), Verdict(Median(ratios) <= 1.05), Median(cpus), Verdict(Median(cpus) <= 0.25), o.runs);
  std::printf(
      "update turnaround 0xAA -> next chunk: median %.3f ms, p99 %.3f ms (simulator, median of %d runs); "
      "pty echo round trip median %.3f ms, p99 %.3f ms; turnaround/echo %.2f x; goal median <= 0.100 ms %s\n",
      Median(turnarounds), Median(turnaroundP99s), o.runs, Median(echoes), Median(echoP99s), Median(overEcho),
      Verdict(Median(turnarounds) <= 0.1));
}

// The image phase, from the compressed-size record to the acceptance: the record's tail, the
// image and both checksums cross the line, with the 20 ms pause after the record in between.
void Paced(const Options& o) {
  RunFigures f = RunOnce(o);
  const double lineRate = o.baud / 10.0;
  const double achieved = (static_cast<double>(o.image) + 2) / ((f.imageMs - 20) / 1000);
  std::printf(
      "update paced at %u baud: %zu-byte image in %.0f ms, %.0f B/s over the line's %.0f B/s = %.4f "
      "(goal >= 0.99) %s, image %s\n",
      o.baud, o.image, f.imageMs, achieved, lineRate, achieved / lineRate,
      Verdict(achieved / lineRate >= 0.99), f.clean ? "received intact" : "DIFFERS");
}

constexpr double CHUNK_BOUND_MS = 15000;

// Milliseconds since `from`.
double MsSince(Clock::time_point from) {
  return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

void Silent(const Options& o) {
  ProgramFolder folder(o.tool);
  TempDir simDir("kov02-bench-sim");
  folder.put_package(200000, 9500);
  Sim sim(o.sim, simDir.path(), {"--silent-after", "5"});
  Registry registry = folder.base_registry();
  wire(registry, sim);
  auto tool = folder.start(registry);
  if (!ui_ready(*tool)) throw std::runtime_error("the tool did not start: " + tool->transcript());

  const double idle0 = ProcessCpu(tool->pid());
  const auto idleFrom = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
  const double idleShare = (ProcessCpu(tool->pid()) - idle0) / (MsSince(idleFrom) / 1000);

  tool->send_line("menu Tools/Update Firmware/Flash only");
  if (!eventually([&] { return folder.count_debug_lines("Write 4000 bytes!") >= 6; }, 60s))
    throw std::runtime_error("the image did not start");
  const double wait0 = ProcessCpu(tool->pid());
  const auto silentFrom = Clock::now();
  if (!tool->wait_for("box: Update failed", 60s))
    throw std::runtime_error("no failure box: " + tool->transcript());
  const double waitedMs = MsSince(silentFrom);
  const double waitShare = (ProcessCpu(tool->pid()) - wait0) / (waitedMs / 1000);
  std::printf(
      "update silent module: failure box %.0f ms after the last chunk, over the %.0f ms bound = %.3f "
      "(goal <= bound + 2 s) %s; tool CPU while waiting %.2f %% of a core, idle before the run %.2f %%\n",
      waitedMs, CHUNK_BOUND_MS, waitedMs / CHUNK_BOUND_MS, Verdict(waitedMs <= CHUNK_BOUND_MS + 2000),
      100 * waitShare, 100 * idleShare);
  tool->send_line("answer ok");
  tool->send_line("command 101");
  tool->wait_exit(30s);
}

// A program folder with the package and a registry wired to a fresh simulator, for one run.
struct Bench {
  explicit Bench(const Options& o) : folder(o.tool), sim(o.sim, simDir.path(), {}) {
    folder.put_package(o.image, 9500);
    Registry registry = folder.base_registry();
    wire(registry, sim);
    write_file(folder.registry_file(), registry.text());
  }
  bool Intact() { return read_file(sim.received_image()) == read_file(folder / "flash_only.bin"); }
  ProgramFolder folder;
  TempDir simDir{"kov02-bench-sim"};
  Sim sim;
};

// Start to exit of a run a person drives at the console: the menu command, No, Exit.
double InteractiveMs(const Options& o) {
  Bench b(o);
  const auto t0 = Clock::now();
  auto tool = b.folder.spawn();
  if (!ui_ready(*tool)) throw std::runtime_error("the tool did not start: " + tool->transcript());
  tool->send_line("menu Tools/Update Firmware/Flash only");
  if (!tool->wait_for("box: Successful", 600s)) throw std::runtime_error("no closing question");
  tool->send_line("answer no");
  eventually([&] { return b.folder.count_debug_lines(" Communication Port Closed!!") == 2; }, 30s);
  tool->send_line("command 101");
  if (tool->wait_exit(30s) != 0 || !b.Intact()) throw std::runtime_error("the interactive run failed");
  return MsSince(t0);
}

// Start to exit of `kov02tool --update flash-only --progress json`.
double ScriptedMs(const Options& o) {
  Bench b(o);
  const auto t0 = Clock::now();
  auto tool = b.folder.spawn({}, 1 << 20, {"--update", "flash-only", "--progress", "json"});
  if (tool->wait_exit(600s) != 0 || !b.Intact())
    throw std::runtime_error("the scripted run failed: " + tool->drain_stderr(100ms));
  return MsSince(t0);
}

void Scripted(const Options& o) {
  std::vector<double> scripted, interactive;
  for (int i = 0; i < o.runs; ++i) {
    interactive.push_back(InteractiveMs(o));
    scripted.push_back(ScriptedMs(o));
  }
  std::printf(
      "update scripted over interactive: %zu-byte image, scripted %.0f ms, interactive %.0f ms, start to "
      "exit = %.3f (median of %d each)\n",
      o.image, Median(scripted), Median(interactive), Median(scripted) / Median(interactive), o.runs);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options o = Parse(argc, argv);
    if (o.silent)
      Silent(o);
    else if (o.scripted)
      Scripted(o);
    else if (o.baud)
      Paced(o);
    else
      FlashOnly(o);
  } catch (const std::exception& e) {
    std::cerr << "update_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
