#include "devices/devices.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "eventually.h"
#include "kernel/paths.h"
#include "kernel/text.h"
#include "kernel/threads.h"
#include "registry/registry.h"
#include "temp_dir.h"
#include "test_objects.h"

namespace kov02::devices {
namespace {

using test_support::TempDir;
using namespace std::chrono_literals;

constexpr DWORD kResetModule = 0x03001F88;

// Processes of group `group` that have not ended (a killed orphan stays a zombie until whoever
// adopted it reaps it, which is not this program's doing).
std::vector<pid_t> live_group_members(pid_t group) {
  std::vector<pid_t> members;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    const std::size_t after_name = line.rfind(") ");
    if (after_name == std::string::npos) continue;
    std::istringstream fields(line.substr(after_name + 2));
    char state = 0;
    long parent = 0, process_group = 0;
    fields >> state >> parent >> process_group;
    if (process_group == group && state != 'Z' && state != 'X')
      members.push_back(std::stoi(entry.path().filename()));
  }
  return members;
}

// Hook scripts in a private folder and a registry that maps devices onto them.
class HookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    args_ = dir_.file("args");
    dir_.write("ok.sh", "#!/bin/sh\necho \"$@\" > " + args_ + "\n", 0700);
    dir_.write("fail.sh", "#!/bin/sh\nexit 3\n", 0700);
    // Hangs, and has started a process of its own by the time it names itself.
    dir_.write("hang.sh", "#!/bin/sh\nsleep 100 &\necho $$ > " + dir_.file("pid") + "\nwait\n", 0700);
    dir_.write("plain.sh", "#!/bin/sh\nexit 0\n", 0600);
  }
  void TearDown() override {
    registry::clear();
    set_hook_time_limit(30s);
  }
  void load(const std::string& body) {
    std::string error;
    ASSERT_TRUE(registry::load_string("REGEDIT4\n" + body, &error)) << error;
  }
  void map_ril(const std::string& command) {
    load("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"exec:" + command + "\"\n");
  }
  HANDLE open_ril() {
    return CreateFileW(L"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  // The calling thread's reason line, as UTF-8.
  static std::string failure() { return kernel::native_bytes(kernel::testing::device_failure()); }
  TempDir dir_;
  std::string args_;
};

TEST_F(HookTest, AControlRunsTheCommandWithTheCodeAppended) {
  map_ril(dir_.file("ok.sh") + "  --quiet\tnow");
  HANDLE ril = open_ril();
  ASSERT_NE(ril, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(DeviceIoControl(ril, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(test_support::read_file(args_), "--quiet now 0x03001F88\n");
  CloseHandle(ril);
}

TEST_F(HookTest, DevicesThatCannotRunDoNotOpen) {
  const std::string commands[] = {dir_.file("absent.sh"), dir_.file("plain.sh"), dir_.path(), "", " \t"};
  for (const std::string& command : commands) {
    map_ril(command);
    EXPECT_EQ(open_ril(), INVALID_HANDLE_VALUE) << command;
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << command;
  }
}

TEST_F(HookTest, AHungCommandIsKilledAtTheTimeLimit) {
  set_hook_time_limit(200ms);
  map_ril(dir_.file("hang.sh"));
  HANDLE ril = open_ril();
  EXPECT_FALSE(DeviceIoControl(ril, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  const pid_t pid = std::stoi(test_support::read_file(dir_.file("pid")));
  EXPECT_EQ(::kill(pid, 0), -1);  // killed and reaped
  test_support::eventually([&] { return live_group_members(pid).empty(); });
  EXPECT_EQ(live_group_members(pid), std::vector<pid_t>{}) << "what the hook started outlived it";
  CloseHandle(ril);
}

struct Control {
  HANDLE device;
  std::atomic<bool> returned{false};
};

DWORD ControlOnce(LPVOID parameter) {
  auto* control = static_cast<Control*>(parameter);
  DeviceIoControl(control->device, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr);
  control->returned = true;
  return 0;
}

TEST_F(HookTest, AThreadWaitingForACommandCanBeTerminated) {
  map_ril(dir_.file("hang.sh"));
  Control control{open_ril()};
  HANDLE thread = CreateThread(nullptr, 0, ControlOnce, &control, 0, nullptr);
  test_support::eventually([&] { return !test_support::read_file(dir_.file("pid")).empty(); });
  const std::string pid_text = test_support::read_file(dir_.file("pid"));
  ASSERT_FALSE(pid_text.empty());
  ASSERT_TRUE(TerminateThread(thread, 4));
  EXPECT_FALSE(control.returned);
  EXPECT_EQ(::kill(std::stoi(pid_text), 0), -1);
  CloseHandle(thread);
  CloseHandle(control.device);
}

TEST_F(HookTest, ControlsOnHandlesThatAreNoExecDeviceAndKernelControlsOtherThanRebootAreRefused) {
  const std::wstring file = kernel::handset_path(dir_.file("ok.sh"));
  HANDLE plain = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(plain, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeviceIoControl(plain, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  CloseHandle(plain);
  EXPECT_FALSE(DeviceIoControl(plain, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  load("[HKEY_LOCAL_MACHINE\\Platform\\Kernel]\n\"Reboot\"=\"exec:" + dir_.file("ok.sh") + "\"\n");
  EXPECT_FALSE(KernelIoControl(0x01010040, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(test_support::read_file(args_).empty()) << "a kernel control other than reboot runs no hook";
}

// Each row leaves one file that names or is a hook changeable by someone other than root and
// this user; the hook is then refused, with a warning naming that file and why.
TEST_F(HookTest, HooksAreRefusedUnlessTheRegistryAndTheProgramAreTrusted) {
  ::mkdir(dir_.file("open").c_str(), 0700);
  ::chmod(dir_.file("open").c_str(), 0777);
  dir_.write("open/ok.sh", "#!/bin/sh\nexit 0\n", 0700);
  dir_.write("shared.sh", "#!/bin/sh\nexit 0\n", 0777);
  struct Row {
    std::string program;
    mode_t registry_mode;
    uid_t registry_owner;  // 0: left as created
    std::string warning;
  };
  // A root-owned folder in a folder anyone may write: anyone can replace the folder itself.
  ::mkdir(dir_.file("open/sub").c_str(), 0755);
  dir_.write("open/sub/ok.sh", "#!/bin/sh\nexit 0\n", 0700);
  const std::string shared = "the registry file " + dir_.file("shared.reg") + ": it is ";
  std::vector<Row> rows = {
      {dir_.file("ok.sh"), 0664, 0, shared + "writable by group or others"},
      {dir_.file("shared.sh"), 0600, 0, "it is writable by group or others"},
      {dir_.file("open/ok.sh"), 0600, 0, "its folder is writable by others"},
      {dir_.file("open/sub/ok.sh"), 0600, 0,
       "the folder " + dir_.file("open") + " above it is writable by others"},
  };
  if (::geteuid() == 0) rows.push_back({dir_.file("ok.sh"), 0644, 4242, shared + "owned by uid 4242"});
  for (const Row& row : rows) {
    SCOPED_TRACE(row.warning);
    const std::string text =
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"exec:" + row.program +
        "\"\n[HKEY_LOCAL_MACHINE\\Platform\\Kernel]\n\"Reboot\"=\"exec:" + row.program + "\"\n";
    const std::string registry_file = dir_.write("shared.reg", text, row.registry_mode);
    if (row.registry_owner != 0) {
      ASSERT_EQ(::chown(registry_file.c_str(), row.registry_owner, -1), 0);
    }
    std::string error;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(registry::load_file(registry_file, &error)) << error;
    EXPECT_EQ(open_ril(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(failure(), "RIL1: hook " + row.program + " refused: " + row.warning);
    EXPECT_FALSE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(failure(), "Reboot: hook " + row.program + " refused: " + row.warning);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(row.warning), std::string::npos);
    ::unlink(registry_file.c_str());
  }
  const std::string trusted = dir_.write(
      "trusted.reg",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"exec:" + dir_.file("ok.sh") + "\"\n",
      0644);
  std::string error;
  ASSERT_TRUE(registry::load_file(trusted, &error)) << error;
  HANDLE ril = open_ril();
  EXPECT_NE(ril, INVALID_HANDLE_VALUE);
  CloseHandle(ril);
  // In a sticky folder others may add names but not replace ours: a folder of ours there is trusted.
  ::mkdir(dir_.file("sticky").c_str(), 0700);
  ::chmod(dir_.file("sticky").c_str(), 01777);
  ::mkdir(dir_.file("sticky/sub").c_str(), 0755);
  dir_.write("sticky/sub/ok.sh", "#!/bin/sh\nexit 0\n", 0700);
  EXPECT_EQ(hook_refusal({dir_.file("sticky/sub/ok.sh")}), static_cast<DWORD>(ERROR_SUCCESS));
}

// A thread swaps the hook's folder with one others may write, holding a program of the same
// name, while hooks run: each run is refused or runs the trusted program, never the other.
TEST_F(HookTest, AFolderSwappedWhileHooksRunNeverRunsAnotherProgram) {
  const std::string ran = dir_.file("ran");
  for (const char* folder : {"hook", "spare"}) ::mkdir(dir_.file(folder).c_str(), 0755);
  ::chmod(dir_.file("spare").c_str(), 0777);
  dir_.write("hook/run", "#!/bin/sh\necho trusted >> " + ran + "\n", 0700);
  dir_.write("spare/run", "#!/bin/sh\necho other >> " + ran + "\n", 0700);
  load("[HKEY_LOCAL_MACHINE\\Platform\\Kernel]\n\"Reboot\"=\"exec:" + dir_.file("hook/run") + "\"\n");
  std::atomic<bool> swapping{true};
  std::thread swapper([&] {
    for (int i = 0; i < 1000; ++i) {
      ::renameat2(AT_FDCWD, dir_.file("hook").c_str(), AT_FDCWD, dir_.file("spare").c_str(), RENAME_EXCHANGE);
      std::this_thread::sleep_for(200us);
    }
    swapping = false;
  });
  ::testing::internal::CaptureStderr();
  int runs = 0;
  for (; swapping; ++runs) KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr);
  swapper.join();
  ::testing::internal::GetCapturedStderr();
  const std::string lines = test_support::read_file(ran);
  EXPECT_EQ(lines.find("other"), std::string::npos) << "of " << runs << " runs:\n" << lines;
  EXPECT_NE(lines.find("trusted"), std::string::npos) << runs << " runs";
}

// What a hook started in a session of its own ends with the hook: at the time limit, and when
// the hook itself ends first.
TEST_F(HookTest, WhatAHookStartedInASessionOfItsOwnEndsWithIt) {
  set_hook_time_limit(500ms);
  const std::string pid_file = dir_.file("escaped");
  dir_.write("escape.sh",
             "#!/bin/sh\nsetsid sh -c 'echo $$ > " + pid_file + ".new; mv " + pid_file + ".new " + pid_file +
                 "; exec sleep 100' &\nwhile [ ! -s " + pid_file +
                 " ]; do sleep 0.01; done\n"
                 "[ \"$1\" = hang ] && sleep 100\nexit 0\n",
             0700);
  for (const bool hang : {true, false}) {
    SCOPED_TRACE(hang ? "at the limit" : "after the hook's end");
    ::unlink(pid_file.c_str());
    map_ril(dir_.file("escape.sh") + (hang ? " hang" : ""));
    HANDLE ril = open_ril();
    EXPECT_EQ(DeviceIoControl(ril, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr),
              hang ? FALSE : TRUE);
    if (hang) {
      EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    }
    CloseHandle(ril);
    const std::string written = test_support::read_file(pid_file);
    const pid_t escaped = written.empty() ? 0 : std::stoi(written);
    ASSERT_GT(escaped, 0);
    EXPECT_EQ(::kill(escaped, 0), -1) << "pid " << escaped << " outlived the hook";
    ::kill(escaped, SIGKILL);
  }
}

// A hung hook and a reboot without its value or its program leave reason lines (the pane tests
// show the rest).
TEST_F(HookTest, AHungHookAndAMissingRebootValueOrProgramLeaveReasonLines) {
  const std::string file = dir_.write(
      "kov02tool.reg",
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"exec:" + dir_.file("hang.sh") + "\"\n");
  std::string error;
  ASSERT_TRUE(registry::load_file(file, &error)) << error;
  set_hook_time_limit(200ms);
  HANDLE ril = open_ril();
  EXPECT_FALSE(DeviceIoControl(ril, kResetModule, nullptr, 0, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(failure(), "RIL1: hook " + dir_.file("hang.sh") + " timed out after 200 ms");
  CloseHandle(ril);
  EXPECT_FALSE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(failure(), "Reboot: no \"Reboot\" value under [HKEY_LOCAL_MACHINE\\Platform\\Kernel] in " + file);
  load("[HKEY_LOCAL_MACHINE\\Platform\\Kernel]\n\"Reboot\"=\"exec:" + dir_.file("absent.sh") + "\"\n");
  EXPECT_FALSE(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_EQ(failure(),
            "Reboot: hook " + dir_.file("absent.sh") + " could not be started: No such file or directory");
  registry::clear();
  EXPECT_EQ(open_ril(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(failure(), "RIL1: not mapped in no registry file");
}

TEST_F(HookTest, RebootRunsTheConfiguredHookOrIsRefused) {
  struct Row {
    std::string hook;  // empty: none configured
    BOOL result;
    DWORD error;
  };
  const Row rows[] = {
      {dir_.file("ok.sh"), TRUE, 0},
      {dir_.file("fail.sh"), FALSE, ERROR_GEN_FAILURE},
      {dir_.file("absent.sh"), FALSE, ERROR_FILE_NOT_FOUND},
      {"", FALSE, ERROR_NOT_SUPPORTED},
  };
  for (const Row& row : rows) {
    load(row.hook.empty() ? ""
                          : "[HKEY_LOCAL_MACHINE\\Platform\\Kernel]\n\"Reboot\"=\"exec:" + row.hook + "\"\n");
    SetLastError(0);
    EXPECT_EQ(KernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr), row.result) << row.hook;
    EXPECT_EQ(GetLastError(), row.error) << row.hook;
  }
  EXPECT_EQ(test_support::read_file(args_), "0x0101003C\n");
}

// The program reaches KernelIoControl through the core library, so the entry it finds there is
// the one the hook tests call directly.
TEST(Libraries, OnlyTheCoreLibraryAndItsKernelEntryExist) {
  EXPECT_EQ(LoadLibraryW(L"COREDLL.DLL"), LoadLibraryW(L"coredll.dll"));
  EXPECT_EQ(LoadLibraryW(L"user32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  HMODULE core = LoadLibraryW(L"COREDLL.DLL");
  EXPECT_EQ(GetProcAddress(core, L"KernelIoControlX"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(core, L"kernelIoControl"), nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(core, L"KernelIoControl")),
            reinterpret_cast<void*>(&KernelIoControl));
  EXPECT_EQ(GetProcAddress(nullptr, L"KernelIoControl"), nullptr);
  EXPECT_TRUE(FreeLibrary(core));
  EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(0x4321)));
}

}  // namespace
}  // namespace kov02::devices
