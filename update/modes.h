// The update modes as data: one row per menu command that starts a run, with everything the run
// reads from its mode. A new mode is one row in modes.cpp (and a menu item that sends its id).
#pragma once

#include <kov02/ce.h>

#include <atomic>
#include <span>

// Where a mode's file-size record, the 3 bytes after CMD_FILE_SIZE, comes from.
enum SizeSource {
  SIZE_FIXED,      // the row's own bytes (file_size.bin must still open)
  SIZE_FROM_FILE,  // the first 3 bytes of file_size.bin, 0x00 for any it lacks
};

struct UpdateMode {
  WORD commandId;                         // the command that chooses it
  int flashOnly;                          // g_bFlashOnly while it runs: 1 "Flash only", else 0
  LPCWSTR image;                          // the package file sent after stage 2
  SizeSource sizeSource;                  // how the file-size record is made
  BYTE fixedSizeRecord[3];                // the record itself when sizeSource is SIZE_FIXED
  std::span<const LPCWSTR> packageFiles;  // looked up, in order, before a run may start
};

// The mode of the latest run; the user-interface thread, before it starts the update thread.
extern std::atomic<const UpdateMode*> g_pUpdateMode;

// The table the look-up reads: the program's own rows. A span rather than the array itself so
// that a test can hand it a longer table with a mode of its own.
extern std::span<const UpdateMode> g_UpdateModes;

// The row of `commandId`, or null when no mode answers to it.
const UpdateMode* FindUpdateMode(WORD commandId);
// Makes the mode of `commandId` the next run's (g_pUpdateMode and g_bFlashOnly). 0, changing
// nothing, when no mode answers to it.
int SelectUpdateMode(WORD commandId);
