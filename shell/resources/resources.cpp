// The program's resources as data: the menu, the shell's menu-bar record, the string table,
// the accelerator table and the About box.
//
// The menu's initial check marks must agree with the start values of g_nSource (3, IrDA) and
// g_nDebugDir (3, both directions): nothing sets the marks at start.
#include <iterator>

#include "shell/resources/resource_ids.h"

namespace {

constexpr MENU_ITEM_RESOURCE kSystemItems[] = {
    {MF_STRING, IDM_SUSPEND_RIL, L"Suspend RIL", nullptr, 0},
    {MF_STRING, IDM_RESUME_RIL, L"Resume RIL", nullptr, 0},
    {MF_STRING, IDM_RESET_RIL, L"Reset RIL Module", nullptr, 0},
    {MF_SEPARATOR, 0, nullptr, nullptr, 0},
    {MF_STRING, IDM_GET_COMS, L"Get COMs", nullptr, 0},
    {MF_STRING, IDM_RELEASE_COMS, L"Release COMs", nullptr, 0},
    {MF_SEPARATOR, 0, nullptr, nullptr, 0},
    {MF_STRING, IDM_REBOOT, L"Reboot Device", nullptr, 0},
    {MF_STRING, IDM_EXIT, L"Exit", nullptr, 0},
};

constexpr MENU_ITEM_RESOURCE kSourceItems[] = {
    {MF_STRING, IDM_SRC_BTUART, L"COM(BTUART)", nullptr, 0},
    {MF_STRING | MF_CHECKED, IDM_SRC_IRDA, L"IRDA", nullptr, 0},
    {MF_STRING | MF_GRAYED, IDM_SRC_RAWIR, L"Raw Irda", nullptr, 0},
};

constexpr MENU_ITEM_RESOURCE kDebugItems[] = {
    {MF_STRING, IDM_DBG_NONE, L"None", nullptr, 0},
    {MF_STRING | MF_CHECKED, IDM_DBG_BOTH, L"Bi-direction", nullptr, 0},
    {MF_STRING, IDM_DBG_BT_TO_FF, L"-> BT -> FF", nullptr, 0},
    {MF_STRING, IDM_DBG_FF_TO_BT, L"BT <- FF <-", nullptr, 0},
};

constexpr MENU_ITEM_RESOURCE kUpdateItems[] = {
    {MF_STRING | MF_GRAYED, IDM_UPD_EEP_FLASH, L"EEP+Flash", nullptr, 0},
    {MF_STRING, IDM_UPD_FLASH_ONLY, L"Flash only", nullptr, 0},
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

// The shell's menu-bar record: menu id, button count, then per button the bitmap index
// (I_IMAGENONE), command, state (enabled), style (drop-down, autosize), caption string,
// a reserved word and the submenu index.
constexpr WORD kMenuBar[] = {
    ID_MENU,    2,  //
    0xFFFE,     IDM_MENU_SYSTEM,
    4,          0x18,
    IDS_SYSTEM, 0,
    0,  //
    0xFFFE,     IDM_MENU_TOOLS,
    4,          0x18,
    IDS_TOOLS,  0,
    1,  //
};
static_assert(sizeof(kMenuBar) == 32);

constexpr STRING_RESOURCE kStrings[] = {
    {IDS_SYSTEM, L"System"},
    {IDS_TOOLS, L"Tools"},
};
constexpr STRING_TABLE_RESOURCE kStringTable = {kStrings, std::size(kStrings)};

// Ctrl+Q is Exit; 0x80 marks the table's last entry.
constexpr ACCEL kAccelerators[] = {
    {FVIRTKEY | FNOINVERT | FCONTROL | 0x80, 0x51, IDM_EXIT},
};
constexpr ACCEL_TABLE_RESOURCE kAccelTable = {kAccelerators, std::size(kAccelerators)};

constexpr DIALOG_ITEM_RESOURCE kAboutItems[] = {
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 12, 5, 114, 46, 0xFFFF, L"static", L""},
};
constexpr DLGTEMPLATEW kAboutBox = {
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME | DS_SETFONT,
    0,
    10,
    10,
    136,
    56,
    L"About",
    10,
    L"System",
    kAboutItems,
    std::size(kAboutItems),
};

// String tables are stored in blocks of sixteen ids: block id / 16 + 1.
constexpr WORD kStringBlock = IDS_SYSTEM / 16 + 1;
static_assert(IDS_TOOLS / 16 + 1 == kStringBlock);

}  // namespace

const MODULE_RESOURCE g_ModuleResources[] = {
    {RT_MENU, MAKEINTRESOURCEW(ID_MENU), &kMenu, sizeof(kMenu)},
    {RT_RCDATA, MAKEINTRESOURCEW(ID_MENU), kMenuBar, sizeof(kMenuBar)},
    {RT_STRING, MAKEINTRESOURCEW(kStringBlock), &kStringTable, sizeof(kStringTable)},
    {RT_ACCELERATOR, ID_ACCEL, &kAccelTable, sizeof(kAccelTable)},
    {RT_DIALOG, ABOUTBOX, &kAboutBox, sizeof(kAboutBox)},
};
const std::size_t g_ModuleResourceCount = std::size(g_ModuleResources);
