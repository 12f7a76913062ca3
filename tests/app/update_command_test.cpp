// The update command on a test window: the package test and its pane line, a command refused
// while a run is under way, and whole runs on the fake line with the closing question answered.
#include <gtest/gtest.h>

#include <memory>

#include "common/output.h"
#include "common/state.h"
#include "e2e_sim.h"
#include "upd_wire.h"
#include "update/modes.h"
#include "update/package.h"
#include "update/update.h"
#include "win_test_window.h"

namespace {

using namespace std::chrono_literals;
using upd::Bytes;
using Write = kov02::serial::FakePort::Write;

const std::string SUSPEND = "ril 0x03001F80";
const std::string RESET = "ril 0x03001F88";
const std::string REBOOT = "reboot 0x0101003C";

class UpdateCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.put("boot1_v3.bin", boot1);
    rig.put("boot2_v3_KOV02A.bin", boot2);
    rig.put("flash_only.bin", image);
    rig.put("file_size.bin", {0x3F, 0xA0, 0x00});
    g_nDebugDir = 3;
    g_hUpdateThread = INVALID_HANDLE_VALUE;
  }
  void TearDown() override {
    HANDLE thread = g_hUpdateThread.load();
    if (thread == INVALID_HANDLE_VALUE) return;
    rig.port().hang_up();
    EXPECT_TRUE(RunEnded()) << "the update thread did not end";
    CloseHandle(thread);
    g_hUpdateThread = INVALID_HANDLE_VALUE;
  }

  // Pumps the window (the update thread's pane lines wait for it) until the run has ended.
  bool RunEnded(std::chrono::milliseconds limit = 30s) {
    return window->pump_until(
        [] {
          DWORD code = 0;
          return GetExitCodeThread(g_hUpdateThread.load(), &code) && code != STILL_ACTIVE;
        },
        limit);
  }
  std::wstring Missing(const std::wstring& dir) {
    return L"Cannot get firmware files from " + dir + L" directory\r\n";
  }

  // Plays the module from the first reset on: 0xA0 on the next sync byte, then every answer of
  // a Flash-only run, the write calls counted from the stage-1 frame.
  void PlayModule() {
    module = std::make_unique<std::thread>([this] {
      if (!upd::eventually([&] { return rig.count_requests(RESET) >= 1; }, 20s)) return;
      const std::size_t from = rig.port().writes().size();
      if (!upd::eventually([&] { return rig.port().writes().size() > from; }, 5s)) return;
      rig.port().inject({0xA0});
      std::size_t base = 0;
      upd::eventually(
          [&] {
            auto writes = rig.port().writes();
            base = 0;
            for (const Write& w : writes) {
              if (w.bytes.size() >= 2) return true;
              base += w.bytes.size();
            }
            return false;
          },
          20s);
      upd::Responder answers(rig.port(), upd::flash_only_wire(boot1, boot2, image).answers, base);
      upd::eventually([&] { return answers.answered() == answersDue; }, 60s);
    });
  }

  const Bytes boot1 = upd::pattern(100, 1);
  const Bytes boot2 = upd::pattern(1500, 2);
  const Bytes image = upd::pattern(29 * 4000 + 2000, 3);  // 30 chunks
  const int answersDue = static_cast<int>(upd::flash_only_wire(boot1, boot2, image).answers.size());
  upd::TraceLog traces;
  upd::Rig rig;
  std::unique_ptr<WinTestWindow> window;
  std::unique_ptr<std::thread> module;

  void JoinModule() {
    if (module) module->join();
    module.reset();
  }
};

TEST_F(UpdateCommand, AMissingPackageFileShowsTheDirectoryOnlyWhileDebugIsOnAndStartsNothing) {
  window = std::make_unique<WinTestWindow>();
  const std::wstring dir = g_szWorkDir;
  for (const char* missing : {"boot1_v3.bin", "boot2_v3_KOV02A.bin", "flash_only.bin"}) {
    Bytes kept = upd::pattern(10);
    rig.remove(missing);
    for (WORD command : {117, 118}) {
      SendMessageW(window->pane(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
      g_nDebugDir = 3;
      EXPECT_EQ(OnUpdateFirmware(window->hwnd(), command), 1);
      EXPECT_EQ(window->text(), Missing(dir)) << missing;
      g_nDebugDir = 0;
      EXPECT_EQ(OnUpdateFirmware(window->hwnd(), command), 1);
      EXPECT_EQ(window->text(), Missing(dir)) << missing << " with debug messages off";
    }
    rig.put(missing, kept);
  }
  EXPECT_TRUE(rig.requests().empty());
  EXPECT_EQ(g_hUpdateThread.load(), INVALID_HANDLE_VALUE);
}

TEST_F(UpdateCommand, ALongWorkingDirectoryIsCutToItsLineAndItsPathsCountAsMissing) {
  window = std::make_unique<WinTestWindow>();
  std::wmemset(g_szWorkDir, L'd', std::size(g_szWorkDir));  // not even terminated
  EXPECT_EQ(CheckFirmwarePackage(*FindUpdateMode(118)), 0);
  EXPECT_EQ(OnUpdateFirmware(window->hwnd(), 118), 1);
  const std::wstring text = window->text();
  EXPECT_EQ(text.size(), 99u) << "the 100-character buffer, terminator included";
  EXPECT_EQ(text.rfind(L"Cannot get firmware files from dddd", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");

  WCHAR path[PACKAGE_PATH_CHARS];
  const std::wstring longName(150, L'n');
  EXPECT_EQ(FormPackagePath(path, longName.c_str()), 0);
  EXPECT_EQ(std::wcslen(path), PACKAGE_PATH_CHARS - 1u);
  EXPECT_EQ(FormPackagePath(path, L"boot1_v3.bin"), 1);
  EXPECT_EQ(std::wstring(path), std::wstring(100, L'd') + L"boot1_v3.bin");
}

TEST_F(UpdateCommand, ASecondCommandWhileARunIsUnderWayIsRefusedAndLeavesItAlone) {
  window = std::make_unique<WinTestWindow>();
  EXPECT_EQ(OnUpdateFirmware(window->hwnd(), 118), 1);
  const HANDLE first = g_hUpdateThread.load();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  for (WORD command : {117, 118}) EXPECT_EQ(OnUpdateFirmware(window->hwnd(), command), 1);
  EXPECT_EQ(g_hUpdateThread.load(), first);
  EXPECT_EQ(rig.count_requests(SUSPEND), 1);
  EXPECT_EQ(
      window->text(),
      L"RIL has been suspended\r\nFirmware update already running\r\nFirmware update already running\r\n");

  // Once the run has ended, the next command starts a new one.
  rig.port().hang_up();
  ASSERT_TRUE(RunEnded());
  EXPECT_EQ(traces.count(L"Open com port succeed!!"), 1);
  EXPECT_EQ(OnUpdateFirmware(window->hwnd(), 118), 1);
  EXPECT_NE(g_hUpdateThread.load(), first);
  EXPECT_EQ(rig.count_requests(SUSPEND), 2);
  CloseHandle(first);
}

TEST_F(UpdateCommand, AWholeRunShowsItsProgressAndYesResetsTheModuleThenRebootsTheHandset) {
  struct Case {
    int debugDir;
    int answer;
    std::wstring pane;
    std::vector<std::string> requests;
  };
  const std::wstring stars = std::wstring(23, L'*') + L"\r\n" + std::wstring(7, L'*');
  const Case cases[] = {
      {3,
       IDYES,
       L"RIL has been suspended\r\nSending Bootload1 succeed!!\r\nSending Bootload2 succeed!!\r\n" + stars +
           L"\r\nSend firmware....ok\r\n",
       {SUSPEND, RESET, RESET, REBOOT}},
      {0, IDNO, L"RIL has been suspended\r\n", {SUSPEND, RESET}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.debugDir);
    window = std::make_unique<WinTestWindow>(DefWindowProcW, c.answer);
    g_nDebugDir = c.debugDir;
    rig.port().clear_writes();
    std::filesystem::remove(rig.dir() / "requests.log");
    PlayModule();
    EXPECT_EQ(OnUpdateFirmware(window->hwnd(), 118), 1);
    ASSERT_TRUE(RunEnded(60s));
    JoinModule();
    EXPECT_EQ(window->text(), c.pane);
    EXPECT_EQ(rig.requests(), c.requests);
    ASSERT_EQ(window->backend().shown().size(), 1u);
    EXPECT_EQ(window->backend().shown()[0].caption, L"Successful");
    EXPECT_EQ(window->backend().shown()[0].text, L"Reboot device/Reset module !");
    EXPECT_EQ(window->backend().shown()[0].buttons, kov02::ui::Buttons::yes_no);
    EXPECT_EQ(traces.count(L" Communication Port Closed!!\r\n"), 2);
    CloseHandle(g_hUpdateThread.load());
    g_hUpdateThread = INVALID_HANDLE_VALUE;
    window.reset();
    traces.clear();
  }
}

// A mode only this test knows, with its own command, image, fixed record and package, runs
// through the same command and driver as the program's own, against the module simulator.
TEST_F(UpdateCommand, AModeAddedAsOneRowRunsAgainstTheSimulator) {
  constexpr WORD TEST_MODE = 0x7E57;
  static constexpr LPCWSTR TEST_PACKAGE[] = {L"boot1_v3.bin", L"boot2_v3_KOV02A.bin", L"test_image.bin"};
  RegisterUpdateMode({TEST_MODE, 0, L"test_image.bin", SIZE_FIXED, {0x12, 0x34, 0x56}, TEST_PACKAGE});
  ASSERT_NE(FindUpdateMode(TEST_MODE), nullptr);
  const Bytes testImage = upd::pattern(2 * 4000 + 321, 9);
  rig.put("test_image.bin", testImage);
  rig.remove("flash_only.bin");  // the program's own package is not this mode's

  e2e::Sim sim(rig.dir());
  std::string error;
  ASSERT_TRUE(kov02::registry::load_string("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"" +
                                               sim.module_pty() + "\"\n\"RIL1:\"=\"" + sim.ril_hook() +
                                               "\"\n",
                                           &error))
      << error;
  window = std::make_unique<WinTestWindow>(DefWindowProcW, IDNO);
  EXPECT_EQ(OnUpdateFirmware(window->hwnd(), TEST_MODE), 1);
  ASSERT_TRUE(RunEnded(60s));
  CloseHandle(g_hUpdateThread.exchange(INVALID_HANDLE_VALUE));

  EXPECT_EQ(g_bFlashOnly.load(), 0);
  EXPECT_TRUE(e2e::eventually([&] { return !e2e::run_outcomes(sim.summary()).empty(); }));
  const std::string summary = sim.summary();
  ASSERT_FALSE(e2e::run_outcomes(summary).empty());
  EXPECT_EQ(e2e::run_outcomes(summary).back(), "accepted") << summary;  // after any retried cycle
  EXPECT_NE(summary.find("\"file_size_record\":[18,52,86]"), std::string::npos) << summary;
  EXPECT_TRUE(e2e::read_file(sim.received_image()) == std::string(testImage.begin(), testImage.end()));
}

}  // namespace
