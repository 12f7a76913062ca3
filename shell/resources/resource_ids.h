// Identifiers of the program's resources and of the commands its menu sends.
#pragma once

#include <kov02/ce.h>

// IDM_UPD_EEP_FLASH and IDM_UPD_FLASH_ONLY: the update owns the ids of the commands that key its
// modes, so it needs nothing from the shell.
#include "update/update.h"
// IDM_SRC_BTUART, IDM_SRC_RAWIR and IDM_SRC_IRDA: the bridge owns the ids of the commands that
// choose its side B, for the same reason.
#include "bridge/bridge.h"

inline constexpr WORD ID_MENU = 105;  // the menu, and the menu-bar record built on it

inline constexpr WORD IDM_EXIT = 101;
inline constexpr WORD IDM_DBG_NONE = 112;
inline constexpr WORD IDM_DBG_BT_TO_FF = 113;
inline constexpr WORD IDM_DBG_FF_TO_BT = 114;
inline constexpr WORD IDM_DBG_BOTH = 115;
inline constexpr WORD IDM_ABOUT = 120;
inline constexpr WORD IDM_REBOOT = 150;
inline constexpr WORD IDM_RESUME_RIL = 151;
inline constexpr WORD IDM_SUSPEND_RIL = 152;
inline constexpr WORD IDM_GET_COMS = 153;
inline constexpr WORD IDM_RESET_RIL = 154;
inline constexpr WORD IDM_RELEASE_COMS = 155;
inline constexpr WORD IDM_MENU_SYSTEM = 40001;
inline constexpr WORD IDM_MENU_TOOLS = 40004;

inline constexpr WORD IDS_SYSTEM = 40003;
inline constexpr WORD IDS_TOOLS = 40006;

inline constexpr wchar_t ID_ACCEL[] = L"ID_ACCEL";
inline constexpr wchar_t ABOUTBOX[] = L"ABOUTBOX";
