// End-to-end test support: the module simulator on pseudo-terminals, the hooks that reach it
// (RIL1: and the reboot service), and what its JSON summary says.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>

#include "child_process.h"
#include "e2e_tool.h"
#include "temp_dir.h"

namespace e2e {

using namespace test_support;

// kov02a-sim started in `dir` with its module pty linked at dir/module, its control socket at
// dir/sim.sock, each received image saved at dir/received.bin and its latest JSON summary kept
// at dir/summary.json. `extra` adds options (faults, --baud, --null-modem ...).
class Sim {
 public:
#ifdef KOV02A_SIM_PATH
  Sim(const fs::path& dir, std::vector<std::string> extra = {})
      : Sim(program_under_test("KOV02_TEST_SIM", KOV02A_SIM_PATH), dir, std::move(extra)) {}
#endif
  Sim(const fs::path& program, const fs::path& dir, std::vector<std::string> extra)
      : program_(program), dir_(dir) {
    std::vector<std::string> argv = {
        program_.string(),       "--link",       link().string(),           "--control",
        control().string(),      "--save-image", received_image().string(), "--summary-file",
        summary_file().string(), "--json"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_ = std::make_unique<Child>(Spawn{argv, {}, dir_, dir_ / "sim-stderr.txt"});
    auto module = child_->wait_for("module ", 20s);
    if (!module || !child_->wait_for("ready", 20s))
      throw std::runtime_error("kov02a-sim did not start: " + child_->transcript() +
                               read_file(dir_ / "sim-stderr.txt"));
    module_pty_ = module->substr(module->find("module ") + 7);
  }
  ~Sim() {
    stop();
  }
  Sim(const Sim&) = delete;
  Sim& operator=(const Sim&) = delete;

  // The pty the tool opens as COM1:.
  const std::string& module_pty() const {
    return module_pty_;
  }
  fs::path link() const {
    return dir_ / "module";
  }
  fs::path control() const {
    return dir_ / "sim.sock";
  }
  fs::path received_image() const {
    return dir_ / "received.bin";
  }
  fs::path summary_file() const {
    return dir_ / "summary.json";
  }

  // Registry values for the tool's RIL1: device and reboot service.
  std::string ril_hook() const {
    return "exec:" + program_.string() + " ctl --control " + control().string() + " ril";
  }
  std::string reboot_hook() const {
    return "exec:" + program_.string() + " ctl --control " + control().string() + " reboot";
  }

  // The latest JSON summary (rewritten after every attempt and control request).
  std::string summary() const {
    return read_file(summary_file());
  }
  Child& process() {
    return *child_;
  }

  // Stops the simulator (SIGTERM); its status. Its last summary stays in process().
  int stop() {
    return child_ ? child_->stop(10s) : -1;
  }

 private:
  fs::path program_;
  fs::path dir_;
  std::unique_ptr<Child> child_;
  std::string module_pty_;
};

// `registry` with the tool's COM1: and RIL1: on `sim`, its reboot service the simulator's, and
// `bounds` in Platform\Update; that key is left open for further values.
inline Registry& wire(Registry& registry, const Sim& sim,
                      const std::map<std::string, std::uint32_t>& bounds = {}) {
  registry.key(REG_DEVICES).sz("COM1:", sim.module_pty()).sz("RIL1:", sim.ril_hook());
  registry.key(REG_KERNEL).sz("Reboot", sim.reboot_hook());
  registry.key(REG_UPDATE);
  for (const auto& [name, value] : bounds) registry.dword(name, value);
  return registry;
}

// Field `field` of each entry of the summary's list `list`, in order; `absent` while there is no
// whole summary to read (none written yet, or one being rewritten).
inline std::vector<std::string> summary_fields(const std::string& summary, const char* list,
                                               const char* field, std::vector<std::string> absent = {}) {
  std::vector<std::string> out;
  try {
    const nlohmann::json document = nlohmann::json::parse(summary);
    for (const nlohmann::json& entry : document.at(list)) out.push_back(entry.at(field).get<std::string>());
  } catch (const std::exception&) {
    return absent;
  }
  return out;
}

// The simulator's control requests by name ("suspend", "reset", "reboot" ...), in order.
inline std::vector<std::string> control_names(const std::string& summary) {
  return summary_fields(summary, "control", "name");
}

// The outcome of each update attempt ("accepted", "stage1-rejected" ...), in order.
inline std::vector<std::string> run_outcomes(const std::string& summary) {
  return summary_fields(summary, "runs", "outcome");
}

// The violation codes the simulator recorded, in order.
inline std::vector<std::string> violation_codes(const std::string& summary) {
  return summary_fields(summary, "violations", "code", {"(no summary)"});
}

}  // namespace e2e
