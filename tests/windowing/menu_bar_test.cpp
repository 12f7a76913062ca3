// Menus, the shell's menu bar built from its record, and the accelerator table.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "pocketshell/menu_bar_record.h"
#include "test_resources.h"
#include "win_test_window.h"
#include "windowing/menus.h"
#include "windowing/user_input.h"

namespace {

using kov02::windowing::find_menu_item;

// Records the WM_COMMAND ids the window receives.
std::vector<WORD> g_commands;

LRESULT CALLBACK RecordCommands(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) g_commands.push_back(LOWORD(wParam));
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

class MenuBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_commands.clear();
    SHMENUBARINFO info = {};
    info.cbSize = sizeof info;
    info.hwndParent = window_.hwnd();
    info.nToolBarId = kMenuId;
    ASSERT_TRUE(SHCreateMenuBar(&info));
    bar_ = info.hwndMB;
    menu_ = CommandBar_GetMenu(bar_, 0);
    ASSERT_NE(menu_, nullptr);
  }

  WinTestWindow window_{RecordCommands};
  HWND bar_ = nullptr;
  HMENU menu_ = nullptr;
};

TEST_F(MenuBarTest, ItemsAreFoundByIdInNestedDropDownsWithTheirInitialState) {
  struct Case {
    WORD id;
    bool checked;
    bool grayed;
  };
  for (const Case& c :
       {Case{kSuspend, false, false}, Case{kIrda, true, false}, Case{kRawIr, false, true},
        Case{kDebugBoth, true, false}, Case{kEepFlash, false, true}, Case{kFlashOnly, false, false}}) {
    auto item = find_menu_item(menu_, c.id);
    ASSERT_TRUE(item.has_value()) << c.id;
    EXPECT_EQ(item->checked, c.checked) << c.id;
    EXPECT_EQ(item->grayed, c.grayed) << c.id;
  }
  EXPECT_FALSE(find_menu_item(menu_, 0).has_value()) << "separators and drop-downs carry no id";
}

TEST_F(MenuBarTest, CheckMenuItemReturnsThePreviousStateAndChangesOnlyTheMarkAndChoosingSendsTheCommand) {
  EXPECT_EQ(CheckMenuItem(menu_, kIrda, MF_BYCOMMAND | MF_UNCHECKED), MF_CHECKED);
  EXPECT_EQ(CheckMenuItem(menu_, kIrda, MF_BYCOMMAND | MF_UNCHECKED), MF_UNCHECKED);
  EXPECT_EQ(CheckMenuItem(menu_, kRawIr, MF_BYCOMMAND | MF_CHECKED), MF_UNCHECKED);
  auto raw = find_menu_item(menu_, kRawIr);
  EXPECT_TRUE(raw->checked);
  EXPECT_TRUE(raw->grayed) << "checking does not enable";
  EXPECT_FALSE(find_menu_item(menu_, kIrda)->checked);
  EXPECT_EQ(CheckMenuItem(menu_, 4242, MF_CHECKED), 0xFFFFFFFFu);
  EXPECT_EQ(CheckMenuItem(reinterpret_cast<HMENU>(0x1234), kIrda, MF_CHECKED), 0xFFFFFFFFu);
  EXPECT_TRUE(kov02::windowing::choose_menu_command(bar_, kFlashOnly));
  EXPECT_FALSE(kov02::windowing::choose_menu_command(bar_, kRawIr))
      << "a grayed item is refused, checked or not";
  EXPECT_FALSE(kov02::windowing::choose_menu_command(bar_, 4242));
  window_.pump();
  EXPECT_EQ(g_commands, std::vector<WORD>{kFlashOnly});
}

TEST_F(MenuBarTest, GetMenuAnswersForEachButtonOnlyHeightIsZeroForNoBarAndTheBarGoesWithItsWindow) {
  EXPECT_EQ(CommandBar_GetMenu(bar_, 1), menu_);
  EXPECT_EQ(CommandBar_GetMenu(bar_, 2), nullptr);
  EXPECT_EQ(CommandBar_GetMenu(window_.hwnd(), 0), nullptr);
  EXPECT_EQ(CommandBar_Height(nullptr), 0);
  EXPECT_EQ(CommandBar_Height(GetDlgItem(window_.hwnd(), 4)), 0);
  EXPECT_GT(CommandBar_Height(bar_), 0);
  DestroyWindow(window_.hwnd());
  EXPECT_FALSE(IsWindow(bar_)) << "the bar goes with its window";
  EXPECT_EQ(CheckMenuItem(menu_, kIrda, MF_CHECKED), 0xFFFFFFFFu);
}

TEST_F(MenuBarTest, BrokenRecordsRefuseTheBarAndAMissingCaptionFallsBackToTheDropDownsText) {
  for (UINT id : {UINT{kShortBarId}, UINT{kBadIndexBarId}, UINT{999}}) {
    SHMENUBARINFO info = {};
    info.hwndParent = window_.hwnd();
    info.nToolBarId = id;
    EXPECT_FALSE(SHCreateMenuBar(&info)) << id;
    EXPECT_EQ(info.hwndMB, nullptr) << id;
  }
  SHMENUBARINFO orphan = {};
  orphan.nToolBarId = kMenuId;
  EXPECT_FALSE(SHCreateMenuBar(&orphan));
  // A caption missing from the string table falls back to the drop-down's text.
  SHMENUBARINFO captionless = {};
  captionless.hwndParent = window_.hwnd();
  captionless.nToolBarId = kCaptionlessBarId;
  ASSERT_TRUE(SHCreateMenuBar(&captionless));
  EXPECT_EQ(kov02::windowing::menu_bar_of(captionless.hwndMB)->buttons.at(0).caption, L"Tools");
}

TEST(MenuBarRecord, ParsesLittleEndianWordsAndRefusesShortRecords) {
  const std::array<unsigned char, 18> one = {105, 0,    1, 0,    0xFE, 0xFF, 0x41, 0x9C, 4,
                                             0,   0x18, 0, 0x43, 0x9C, 0,    0,    1,    0};
  auto record = kov02::pocketshell::parse_menu_bar_record(one.data(), one.size());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->menu_id, 105);
  ASSERT_EQ(record->buttons.size(), 1u);
  EXPECT_EQ(record->buttons[0].command, 40001);
  EXPECT_EQ(record->buttons[0].caption_id, 40003);
  EXPECT_EQ(record->buttons[0].submenu_index, 1);
  EXPECT_FALSE(kov02::pocketshell::parse_menu_bar_record(one.data(), one.size() - 1));
  EXPECT_FALSE(kov02::pocketshell::parse_menu_bar_record(one.data(), 3));
  EXPECT_FALSE(kov02::pocketshell::parse_menu_bar_record(nullptr, 0));
}

// Key messages as the backends queue them, through the program's own loop shape.
class AcceleratorTest : public MenuBarTest {
 protected:
  // Queues the key, then runs the queue as the message loop would; returns the commands seen.
  std::vector<WORD> press(WORD vk, kov02::windowing::KeyModifiers held) {
    g_commands.clear();
    kov02::windowing::press_key(window_.pane(), vk, held);
    const HACCEL accel = LoadAcceleratorsW(nullptr, kAccelName);
    MSG msg = {};
    for (int i = 0; i < 2; ++i) {
      GetMessageW(&msg, nullptr, 0, 0);
      if (!TranslateAcceleratorW(window_.hwnd(), accel, &msg)) DispatchMessageW(&msg);
    }
    return g_commands;
  }
};

TEST_F(AcceleratorTest, CtrlQBecomesTheExitCommandAndOtherCombinationsDoNotAndTablesAreFoundByNameInAnyCase) {
  EXPECT_EQ(press('Q', {.ctrl = true}), std::vector<WORD>{kExit});
  EXPECT_TRUE(press('Q', {}).empty());
  EXPECT_TRUE(press('Q', {.ctrl = true, .shift = true}).empty());
  EXPECT_TRUE(press('W', {.ctrl = true}).empty());
  EXPECT_NE(LoadAcceleratorsW(nullptr, L"id_accel"), nullptr);
  EXPECT_EQ(LoadAcceleratorsW(nullptr, L"NO_SUCH_TABLE"), nullptr);
  MSG msg = {window_.hwnd(), WM_KEYDOWN, 'Q', 0, 0, {0, 0}};
  EXPECT_EQ(TranslateAcceleratorW(window_.hwnd(), nullptr, &msg), 0);
}

}  // namespace
