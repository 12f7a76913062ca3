// The firmware package's files and the chunked sender of stage 2 and the image.
#include "update/package.h"

#include <iterator>

#include "common/output.h"
#include "common/state.h"
#include "update/progress.h"
#include "update/run.h"
#include "update/update_port.h"

// The working directory is read no further than its 100 characters ("%.100s"), so a full,
// unterminated one cannot run the formatter past it.
static_assert(std::size(g_szWorkDir) == 100);

int FormPackagePath(WCHAR (&path)[PACKAGE_PATH_CHARS], LPCWSTR name) {
  // Without a working directory the name alone would be looked up wherever the process stands.
  if (g_szWorkDir[0] == L'\0') {
    path[0] = L'\0';
    return 0;
  }
  // The handset's formatter: -1 when the text was cut to the buffer.
  return wnsprintfW(path, PACKAGE_PATH_CHARS, L"%.100s%s", g_szWorkDir, name) < 0 ? 0 : 1;
}

HANDLE OpenPackageFile(LPCWSTR name, WCHAR (&path)[PACKAGE_PATH_CHARS]) {
  if (!FormPackagePath(path, name)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

HANDLE OpenPackageFile(LPCWSTR name) {
  WCHAR path[PACKAGE_PATH_CHARS];
  return OpenPackageFile(name, path);
}

// A chunk is answered with ACK_CHUNK before the next may go; a module silent past the bound, or a
// port that went away, ends the stream. A break or line error without a byte counts as an
// answer, as it did on the handset: only silence or a lost port stops the stream.
static bool ChunkAnswered() {
  const WaitEnd end = AwaitAnswer(ACK_CHUNK, g_UpdateBounds.chunkMs);
  return end == WaitEnd::BYTE_CAME || end == WaitEnd::LINE_EVENT;
}

// Trace and star after one chunk of a stream that reports each chunk.
static void ReportChunk(ChunkTally& tally, DWORD written, HWND hwnd) {
  Trace(L"Write %d bytes!, Totally write %d bytes\r\n", static_cast<int>(written),
        static_cast<int>(tally.total));
  LogPaneIfDebug(hwnd, L"*");
  if (CountStar(tally)) LogPaneIfDebug(hwnd, L"\r\n");
}

ChunkTally SendChunks(HANDLE file, const ChunkPlan& plan, HWND hwnd) {
  static constexpr DWORD BUFFER = IMAGE_CHUNK > STAGE2_CHUNK ? IMAGE_CHUNK : STAGE2_CHUNK;
  BYTE buffer[BUFFER];
  ChunkTally tally;
  while (tally.total != plan.limit) {
    DWORD want = NextChunkRequest(tally.total, plan.limit, plan.chunk < BUFFER ? plan.chunk : BUFFER);
    DWORD got = 0;
    if (!ReadFile(file, buffer, want, &got, nullptr)) got = 0;
    if (got == 0) {
      if (plan.emptyReadTrace != nullptr) Trace(plan.emptyReadTrace);
      break;
    }
    FoldChunk(tally, {buffer, got});
    DWORD written = WriteBlock(buffer, got);
    if (UpdatePortLost()) {
      tally.stopped = true;
      break;
    }
    if (plan.reportEachChunk) ReportChunk(tally, written, hwnd);
    AdvanceProgress(tally.total);
    if (got < plan.chunk) {
      Trace(plan.lastSectionFormat, static_cast<int>(plan.lastShowsWritten ? written : got));
      break;
    }
    if (!ChunkAnswered()) {
      tally.stopped = true;
      break;
    }
  }
  return tally;
}
