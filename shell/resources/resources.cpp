// The program's resources as data: the menu, the shell's menu-bar record, the string table,
// the accelerator table and the About box.
//
// The menu's initial check marks must agree with the start values of g_nSource (SOURCE_IRDA)
// and g_nDebugDir (DEBUG_BOTH): nothing sets the marks at start.
#include <iterator>

#include "shell/resources/resource_ids.h"

static constexpr MENU_ITEM_RESOURCE SYSTEM_ITEMS[] = {
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

static constexpr MENU_ITEM_RESOURCE SOURCE_ITEMS[] = {
    {MF_STRING, IDM_SRC_BTUART, L"COM(BTUART)", nullptr, 0},
    {MF_STRING | MF_CHECKED, IDM_SRC_IRDA, L"IRDA", nullptr, 0},
    {MF_STRING | MF_GRAYED, IDM_SRC_RAWIR, L"Raw Irda", nullptr, 0},
};

static constexpr MENU_ITEM_RESOURCE DEBUG_ITEMS[] = {
    {MF_STRING, IDM_DBG_NONE, L"None", nullptr, 0},
    {MF_STRING | MF_CHECKED, IDM_DBG_BOTH, L"Bi-direction", nullptr, 0},
    {MF_STRING, IDM_DBG_BT_TO_FF, L"-> BT -> FF", nullptr, 0},
    {MF_STRING, IDM_DBG_FF_TO_BT, L"BT <- FF <-", nullptr, 0},
};

static constexpr MENU_ITEM_RESOURCE UPDATE_ITEMS[] = {
    {MF_STRING | MF_GRAYED, IDM_UPD_EEP_FLASH, L"EEP+Flash", nullptr, 0},
    {MF_STRING, IDM_UPD_FLASH_ONLY, L"Flash only", nullptr, 0},
};

static constexpr MENU_ITEM_RESOURCE TOOLS_ITEMS[] = {
    {MF_POPUP, 0, L"Select Source", SOURCE_ITEMS, std::size(SOURCE_ITEMS)},
    {MF_POPUP, 0, L"Debug Message", DEBUG_ITEMS, std::size(DEBUG_ITEMS)},
    {MF_POPUP, 0, L"Update Firmware", UPDATE_ITEMS, std::size(UPDATE_ITEMS)},
};

static constexpr MENU_ITEM_RESOURCE MENU_ITEMS[] = {
    {MF_POPUP, 0, L"System", SYSTEM_ITEMS, std::size(SYSTEM_ITEMS)},
    {MF_POPUP, 0, L"Tools", TOOLS_ITEMS, std::size(TOOLS_ITEMS)},
};

static constexpr MENU_RESOURCE MAIN_MENU = {MENU_ITEMS, std::size(MENU_ITEMS)};

// The shell's menu-bar record: menu id, button count, then per button the bitmap index
// (I_IMAGENONE), command, state (enabled), style (drop-down, autosize), caption string,
// a reserved word and the submenu index.
static constexpr WORD MENU_BAR[] = {
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
static_assert(sizeof(MENU_BAR) == 32);

static constexpr STRING_RESOURCE STRINGS[] = {
    {IDS_SYSTEM, L"System"},
    {IDS_TOOLS, L"Tools"},
};
static constexpr STRING_TABLE_RESOURCE STRING_TABLE = {STRINGS, std::size(STRINGS)};

// Ctrl+Q is Exit; 0x80 marks the table's last entry.
static constexpr ACCEL ACCELERATORS[] = {
    {FVIRTKEY | FNOINVERT | FCONTROL | 0x80, 0x51, IDM_EXIT},
};
static constexpr ACCEL_TABLE_RESOURCE ACCEL_TABLE = {ACCELERATORS, std::size(ACCELERATORS)};

static constexpr DIALOG_ITEM_RESOURCE ABOUT_ITEMS[] = {
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 12, 5, 114, 46, 0xFFFF, L"static", L""},
};
static constexpr DLGTEMPLATEW ABOUT_DIALOG = {
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME | DS_SETFONT,
    0,
    10,
    10,
    136,
    56,
    L"About",
    10,
    L"System",
    ABOUT_ITEMS,
    std::size(ABOUT_ITEMS),
};

// String tables are stored in blocks of sixteen ids: block id / 16 + 1.
static constexpr WORD STRING_BLOCK = IDS_SYSTEM / 16 + 1;
static_assert(IDS_TOOLS / 16 + 1 == STRING_BLOCK);

const MODULE_RESOURCE g_ModuleResources[] = {
    {RT_MENU, MAKEINTRESOURCEW(ID_MENU), &MAIN_MENU, sizeof(MAIN_MENU)},
    {RT_RCDATA, MAKEINTRESOURCEW(ID_MENU), MENU_BAR, sizeof(MENU_BAR)},
    {RT_STRING, MAKEINTRESOURCEW(STRING_BLOCK), &STRING_TABLE, sizeof(STRING_TABLE)},
    {RT_ACCELERATOR, ID_ACCEL, &ACCEL_TABLE, sizeof(ACCEL_TABLE)},
    {RT_DIALOG, ABOUTBOX, &ABOUT_DIALOG, sizeof(ABOUT_DIALOG)},
};
const std::size_t g_ModuleResourceCount = std::size(g_ModuleResources);
