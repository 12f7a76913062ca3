// Ids of the resource table the windowing tests define (test_resources.cpp): a menu, menu bar,
// strings and accelerator shaped like the program's own, plus a few broken records.
#pragma once

#include <kov02/ce.h>

inline constexpr WORD kMenuId = 105;
inline constexpr WORD kShortBarId = 106;        // a menu-bar record cut short
inline constexpr WORD kBadIndexBarId = 107;     // a menu-bar record naming a missing drop-down
inline constexpr WORD kCaptionlessBarId = 108;  // a record whose captions are not in the string table
inline constexpr WORD kSystemButton = 40001;
inline constexpr WORD kToolsButton = 40004;
inline constexpr WORD kExit = 101;
inline constexpr WORD kSuspend = 152;
inline constexpr WORD kBtuart = 110;
inline constexpr WORD kRawIr = 111;
inline constexpr WORD kIrda = 116;
inline constexpr WORD kDebugBoth = 115;
inline constexpr WORD kEepFlash = 117;
inline constexpr WORD kFlashOnly = 118;
inline constexpr const wchar_t* kAccelName = L"ID_ACCEL";
