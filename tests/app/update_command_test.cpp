// The update command on a test window: the package test and its pane line, and a whole run of
// a mode added as one row, against the module simulator, with the closing question answered.
#include <gtest/gtest.h>

#include <memory>

#include "common/output.h"
#include "e2e_sim.h"
#include "upd_rig.h"
#include "update/modes.h"
#include "update/package.h"
#include "update/update.h"
#include "update_test_hooks.h"
#include "win_test_window.h"

namespace {

using namespace std::chrono_literals;
using upd::Bytes;

class UpdateCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.put("boot1_v3.bin", upd::pattern(100, 1));
    rig.put("boot2_v3_KOV02A.bin", upd::pattern(1500, 2));
    rig.put("flash_only.bin", upd::pattern(4000, 3));
    rig.put("file_size.bin", {0x3F, 0xA0, 0x00});
    g_nDebugDir = DEBUG_BOTH;
    g_hUpdateThread = INVALID_HANDLE_VALUE;
  }
  void TearDown() override {
    g_nDebugDir = DEBUG_BOTH;
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

  upd::TraceLog traces;
  upd::Rig rig;
  std::unique_ptr<WinTestWindow> window;
};

TEST_F(UpdateCommand, AMissingPackageFileShowsTheDirectoryOnlyWhileDebugIsOnAndStartsNothing) {
  window = std::make_unique<WinTestWindow>();
  const std::wstring dir(g_szWorkDir);
  std::wstring folder = dir.substr(0, dir.size() - 1);
  std::replace(folder.begin(), folder.end(), L'\\', L'/');
  for (const std::string missing : {"boot1_v3.bin", "boot2_v3_KOV02A.bin", "flash_only.bin"}) {
    const std::wstring line = L"Cannot get firmware files from " + dir +
                              L" directory\r\nfirmware package folder " + folder + L": missing " +
                              std::wstring(missing.begin(), missing.end()) +
                              L" (PackageDir in no registry file)\r\n";
    rig.remove(missing);
    for (WORD command : {117, 118}) {
      SendMessageW(window->pane(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
      g_nDebugDir = DEBUG_BOTH;
      EXPECT_EQ(OnUpdateFirmware(window->hwnd(), command), 1);
      EXPECT_EQ(window->text(), line) << missing;
      g_nDebugDir = DEBUG_NONE;
      EXPECT_EQ(OnUpdateFirmware(window->hwnd(), command), 1);
      EXPECT_EQ(window->text(), line) << missing << " with debug messages off";
    }
    rig.put(missing, upd::pattern(10));
  }
  EXPECT_TRUE(rig.requests().empty());
  EXPECT_EQ(g_hUpdateThread.load(), INVALID_HANDLE_VALUE);
}

TEST_F(UpdateCommand, ALongWorkingDirectoryIsCutToItsLineAndItsPathsCountAsMissing) {
  window = std::make_unique<WinTestWindow>();
  std::wmemset(g_szWorkDir, L'd', std::size(g_szWorkDir));  // not even terminated
  EXPECT_EQ(CheckFirmwarePackage(*FindUpdateMode(118)), 0);
  EXPECT_EQ(OnUpdateFirmware(window->hwnd(), 118), 1);
  const std::wstring text = window->text().substr(0, window->text().find(L"\r\n") + 2);
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

// A mode only this test knows, with its own command, image, fixed record and package, runs
// through the same command and driver as the program's own, against the module simulator. With
// debug messages off the pane shows only the RIL line, and the closing question comes all the
// same. (The pane lines of a run with them on, and the answer Yes, are the end-to-end suite's.)
TEST_F(UpdateCommand, AModeAddedAsOneRowRunsAgainstTheSimulator) {
  constexpr WORD TEST_MODE = 0x7E57;
  static constexpr LPCWSTR TEST_PACKAGE[] = {L"boot1_v3.bin", L"boot2_v3_KOV02A.bin", L"test_image.bin"};
  RegisterUpdateMode({.commandId = TEST_MODE,
                      .flashOnly = 0,
                      .image = L"test_image.bin",
                      .sizeSource = SIZE_FIXED,
                      .fixedSizeRecord = {0x12, 0x34, 0x56},
                      .packageFiles = TEST_PACKAGE});
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
  g_nDebugDir = DEBUG_NONE;
  EXPECT_EQ(OnUpdateFirmware(window->hwnd(), TEST_MODE), 1);
  ASSERT_TRUE(RunEnded(60s));
  CloseHandle(g_hUpdateThread.exchange(INVALID_HANDLE_VALUE));
  EXPECT_EQ(window->text(), L"RIL has been suspended\r\n");
  const auto shown = window->backend().shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].caption, L"Successful");
  EXPECT_EQ(shown[0].text, L"Reboot device/Reset module !");
  EXPECT_EQ(shown[0].buttons, kov02::ui::Buttons::yes_no);
  EXPECT_EQ(traces.count(L" Communication Port Closed!!\r\n"), 2);

  EXPECT_EQ(g_bFlashOnly.load(), 0);
  ASSERT_TRUE(e2e::eventually([&] { return !e2e::run_outcomes(sim.summary()).empty(); }));
  const std::string summary = sim.summary();
  EXPECT_EQ(e2e::run_outcomes(summary).back(), "accepted") << summary;  // after any retried cycle
  EXPECT_NE(summary.find("\"file_size_record\":[18,52,86]"), std::string::npos) << summary;
  EXPECT_TRUE(e2e::read_file(sim.received_image()) == std::string(testImage.begin(), testImage.end()));
}

}  // namespace
