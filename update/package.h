// The firmware package: the files that lie beside the program, reached as g_szWorkDir + name,
// and the one sender shape that streams a package file over the update port in chunks.
#pragma once

#include <kov02/ce.h>

#include "update/framing.h"

// Package paths are formed in buffers of this many characters, terminator included.
inline constexpr int PACKAGE_PATH_CHARS = 200;

inline constexpr WCHAR BOOT1_FILE[] = L"boot1_v3.bin";
inline constexpr WCHAR BOOT2_FILE[] = L"boot2_v3_KOV02A.bin";
inline constexpr WCHAR FLASH_ONLY_FILE[] = L"flash_only.bin";
inline constexpr WCHAR EEP_FLASH_FILE[] = L"eep_flash.bin";
inline constexpr WCHAR FILE_SIZE_FILE[] = L"file_size.bin";

// Forms g_szWorkDir followed by `name` in `path`. Returns 0 when the whole path does not fit;
// `path` then holds as much of it as fits, terminated, and names no package file.
int FormPackagePath(WCHAR (&path)[PACKAGE_PATH_CHARS], LPCWSTR name);

// Opens package file `name` for reading (others may read too, existing file only), leaving its
// full path in `path`. INVALID_HANDLE_VALUE when it does not open or its path does not fit.
HANDLE OpenPackageFile(LPCWSTR name, WCHAR (&path)[PACKAGE_PATH_CHARS]);
HANDLE OpenPackageFile(LPCWSTR name);

// How a chunked stream is cut and reported: stage 2 and the image differ only in these.
struct ChunkPlan {
  DWORD chunk;                // full chunk size; ACK_CHUNK is awaited after each full chunk
  DWORD limit;                // bytes to send; MAXDWORD: until a read gives 0 bytes
  LPCWSTR lastSectionFormat;  // traced after a short chunk, with the count below
  bool lastShowsWritten;      // that count is the count written (else the count read)
  LPCWSTR emptyReadTrace;     // traced when a read gives 0 bytes before the limit; may be null
  bool reportEachChunk;       // trace every chunk and append a progress star for it
};

// Reads `file` in chunks per `plan`, writes each chunk to the update port in one write, awaits
// ACK_CHUNK after every full chunk and returns the sums of what was sent. A chunk left unanswered
// past the run's chunk bound, or a lost port, stops the stream (`stopped`): nothing more is
// written. Stars go to `hwnd`'s pane through LogPaneIfDebug; the progress bar follows the bytes.
ChunkTally SendChunks(HANDLE file, const ChunkPlan& plan, HWND hwnd);
