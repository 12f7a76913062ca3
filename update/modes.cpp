// The program's update modes and the look-up by command id.
#include "update/modes.h"

#include "common/state.h"
#include "update/package.h"
#include "update/update.h"

// Both modes test the same files: the Flash-only image stands for the package even when
// EEP+Flash is chosen, whose own files are first opened as the image is sent.
static constexpr LPCWSTR HANDSET_PACKAGE[] = {BOOT1_FILE, BOOT2_FILE, FLASH_ONLY_FILE};

static const UpdateMode BUILT_IN_MODES[] = {
    {.commandId = IDM_UPD_EEP_FLASH,
     .flashOnly = 0,
     .image = EEP_FLASH_FILE,
     .sizeSource = SIZE_FROM_FILE,
     .fixedSizeRecord = {},
     .packageFiles = HANDSET_PACKAGE},
    // The fixed record is the value 4169728.
    {.commandId = IDM_UPD_FLASH_ONLY,
     .flashOnly = 1,
     .image = FLASH_ONLY_FILE,
     .sizeSource = SIZE_FIXED,
     .fixedSizeRecord = {0x3F, 0xA0, 0x00},
     .packageFiles = HANDSET_PACKAGE},
};

// Until a command chooses one, the mode that g_bFlashOnly's first value 0 names.
std::atomic<const UpdateMode*> g_pUpdateMode{&BUILT_IN_MODES[0]};

std::span<const UpdateMode> g_UpdateModes{BUILT_IN_MODES};

const UpdateMode* FindUpdateMode(WORD commandId) {
  for (const UpdateMode& mode : g_UpdateModes)
    if (mode.commandId == commandId) return &mode;
  return nullptr;
}

int SelectUpdateMode(WORD commandId) {
  const UpdateMode* mode = FindUpdateMode(commandId);
  if (mode == nullptr) return 0;
  g_pUpdateMode.store(mode, std::memory_order_relaxed);
  g_bFlashOnly.store(mode->flashOnly, std::memory_order_relaxed);
  return 1;
}
