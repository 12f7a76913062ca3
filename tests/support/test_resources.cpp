// The resource table of the windowing tests (the program defines its own).
#include "test_resources.h"

#include <iterator>

namespace {

constexpr MENU_ITEM_RESOURCE kSystemItems[] = {
    {MF_STRING, kSuspend, L"Suspend RIL", nullptr, 0},
    {MF_SEPARATOR, 0, nullptr, nullptr, 0},
    {MF_STRING, kExit, L"Exit", nullptr, 0},
};
constexpr MENU_ITEM_RESOURCE kSourceItems[] = {
    {MF_STRING, kBtuart, L"COM(BTUART)", nullptr, 0},
    {MF_STRING | MF_CHECKED, kIrda, L"IRDA", nullptr, 0},
    {MF_STRING | MF_GRAYED, kRawIr, L"Raw Irda", nullptr, 0},
};
constexpr MENU_ITEM_RESOURCE kDebugItems[] = {
    {MF_STRING | MF_CHECKED, kDebugBoth, L"Bi-direction", nullptr, 0},
};
constexpr MENU_ITEM_RESOURCE kUpdateItems[] = {
    {MF_STRING | MF_GRAYED, kEepFlash, L"EEP+Flash", nullptr, 0},
    {MF_STRING, kFlashOnly, L"Flash only", nullptr, 0},
};
constexpr MENU_ITEM_RESOURCE kToolsItems[] = {
    {MF_POPUP, 0, L"Select Source", kSourceItems, std::size(kSourceItems)},
    {MF_POPUP, 0, L"Debug Message", kDebugItems, std::size(kDebugItems)},
    {MF_POPUP, 0, L"Update Firmware", kUpdateItems, std::size(kUpdateItems)},
};
constexpr MENU_ITEM_RESOURCE kMenuItems[] = {
    {MF_POPUP, 0, L"System", kSystemItems, std::size(kSystemItems)},
    {MF_POPUP, 0, L"Tools", kToolsItems, std::size(kToolsItems)},
};
constexpr MENU_RESOURCE kMenu = {kMenuItems, std::size(kMenuItems)};

constexpr WORD kMenuBar[] = {
    kMenuId, 2,  //
    0xFFFE,  kSystemButton,
    4,       0x18,
    40003,   0,
    0,  //
    0xFFFE,  kToolsButton,
    4,       0x18,
    40006,   0,
    1,  //
};
constexpr WORD kShortBar[] = {kMenuId, 2, 0xFFFE, kSystemButton, 4, 0x18, 40003, 0, 0};
constexpr WORD kBadIndexBar[] = {kMenuId, 1, 0xFFFE, kSystemButton, 4, 0x18, 40003, 0, 7};
constexpr WORD kCaptionlessBar[] = {kMenuId, 1, 0xFFFE, kToolsButton, 4, 0x18, 999, 0, 1};

constexpr STRING_RESOURCE kStrings[] = {{40003, L"System"}, {40006, L"Tools"}};
constexpr STRING_TABLE_RESOURCE kStringTable = {kStrings, std::size(kStrings)};

constexpr ACCEL kAccelerators[] = {{FVIRTKEY | FNOINVERT | FCONTROL | 0x80, 0x51, kExit}};
constexpr ACCEL_TABLE_RESOURCE kAccelTable = {kAccelerators, std::size(kAccelerators)};

constexpr DIALOG_ITEM_RESOURCE kDialogItems[] = {
    {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 12, 5, 114, 20, 0xFFFF, L"static", L"First line"},
    {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 12, 25, 114, 20, 0xFFFF, L"static", L"Second line"},
};
constexpr DLGTEMPLATEW kDialog[] = {
    {WS_POPUP | WS_VISIBLE | WS_CAPTION, 0, 10, 10, 136, 56, L"About", 10, L"System", kDialogItems, 2},
};

}  // namespace

const MODULE_RESOURCE g_ModuleResources[] = {
    {RT_MENU, MAKEINTRESOURCEW(kMenuId), &kMenu, sizeof(kMenu)},
    {RT_RCDATA, MAKEINTRESOURCEW(kMenuId), kMenuBar, sizeof(kMenuBar)},
    {RT_RCDATA, MAKEINTRESOURCEW(kShortBarId), kShortBar, sizeof(kShortBar)},
    {RT_RCDATA, MAKEINTRESOURCEW(kBadIndexBarId), kBadIndexBar, sizeof(kBadIndexBar)},
    {RT_RCDATA, MAKEINTRESOURCEW(kCaptionlessBarId), kCaptionlessBar, sizeof(kCaptionlessBar)},
    {RT_STRING, MAKEINTRESOURCEW(40003 / 16 + 1), &kStringTable, sizeof(kStringTable)},
    {RT_ACCELERATOR, kAccelName, &kAccelTable, sizeof(kAccelTable)},
    {RT_DIALOG, L"TESTBOX", kDialog, sizeof(kDialog)},
};
const std::size_t g_ModuleResourceCount = std::size(g_ModuleResources);
