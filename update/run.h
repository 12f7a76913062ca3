// What one update run is given and how it ends: the bounds on the module's silence read from the
// registry, the reason a run failed, and the report of that failure.
#pragma once

#include <kov02/ce.h>

// Bounds on the module's silence, in milliseconds, and the number of handshake cycles (0: no
// limit). Read once at the start of each run; the update thread only.
struct UpdateBounds {
  DWORD romMs;     // for 0xA0 after the reset
  DWORD answerMs;  // for each stage's acceptance, the memory check and the file-size answers
  DWORD chunkMs;   // for each 0xAA and for the image's acceptance
  DWORD attempts;  // handshake cycles before the run gives up
};
inline constexpr UpdateBounds DEFAULT_UPDATE_BOUNDS = {10000, 5000, 15000, 10};
extern UpdateBounds g_UpdateBounds;

// HKEY_LOCAL_MACHINE\Platform\Update's dword values; a value that is absent keeps its default.
UpdateBounds ReadUpdateBounds();

// The module holds firmware again, or never lost it: quitting, the radio requests and the
// machine's sleep are free (g_bUpdateBusy 0, the sleep guard released).
void ReleaseQuitGuard();

// Why a run ended without the module's acceptance.
enum UpdateFailure {
  UPDATE_NOT_FAILED,
  UPDATE_NO_ANSWER,        // the handshake cycles ran out
  UPDATE_NO_IMAGE_ANSWER,  // a chunk or the image itself was not acknowledged
  UPDATE_PORT_LOST,
  UPDATE_PORT_NOT_OPENED,
  UPDATE_FILE_UNREADABLE,
};

// The failure the run met last; the update thread only.
void NoteUpdateFailure(UpdateFailure failure);
UpdateFailure LastUpdateFailure();
void ClearUpdateFailure();

// The pane line "Firmware update failed: REASON" and the "Update failed" box (on the calling
// thread, no owner, so the user-interface thread keeps running).
void ReportUpdateFailure(HWND hwnd, UpdateFailure failure);
