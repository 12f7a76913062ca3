// The two bootloader stages: stage 1 as one framed block, stage 2 as a sized chunked stream.
// Each ends on the module's ACK_DONE, which alone decides its result.
#include "common/output.h"
#include "common/state.h"
#include "update/package.h"
#include "update/progress.h"
#include "update/run.h"
#include "update/update.h"
#include "update/update_port.h"

int SendBootload1() {
  WCHAR path[PACKAGE_PATH_CHARS];
  HANDLE file = OpenPackageFile(BOOT1_FILE, path);
  if (file == INVALID_HANDLE_VALUE) {
    Trace(L"Bootload1_v2.bin open fail %s!!!!\r\n", path);
    NoteUpdateFailure(UPDATE_FILE_UNREADABLE);
    return 0;
  }
  Trace(L"Bootload1_v2.bin open succeed!!!!\r\n");
  BYTE frame[STAGE1_FRAME_MAX];
  DWORD n = 0;
  if (!ReadFile(file, frame + 1, STAGE1_MAX_DATA, &n, nullptr)) n = 0;
  if (n == 0) {
    Trace(L"BootLoad_v2_BIN : Read File Error!!!");
    NoteUpdateFailure(UPDATE_FILE_UNREADABLE);
    CloseHandle(file);
    return 0;
  }
  BeginProgressStep(STEP_BOOT1, n);
  WriteBlock(frame, CloseStage1Frame(frame, n));
  EndProgressStep(n);
  CloseHandle(file);
  return WaitForByte(ACK_DONE, g_UpdateBounds.answerMs) ? 1 : 0;
}

// Stage 2 goes on until a read gives no bytes: the size announced does not bound it.
static constexpr ChunkPlan STAGE2_PLAN = {
    .chunk = STAGE2_CHUNK,
    .limit = MAXDWORD,
    .lastSectionFormat = L" The last section sent : %d chars!!\r\n",
    .lastShowsWritten = false,
    .emptyReadTrace = nullptr,
    .reportEachChunk = false,
};

int SendBootload2() {
  HANDLE file = OpenPackageFile(BOOT2_FILE);
  if (file == INVALID_HANDLE_VALUE) {
    Trace(L"Bootload2_v2.bin open fail!!!!\r\n");
    NoteUpdateFailure(UPDATE_FILE_UNREADABLE);
    return 0;
  }
  Trace(L"Bootload2_v3.bin open succeed!!!! \r\n");
  DWORD size = GetFileSize(file, nullptr);
  BYTE sizeBytes[2];
  PutBigEndian(size, sizeBytes);
  SendByte(sizeBytes[0]);
  SendByte(sizeBytes[1]);
  Sleep(20);
  BeginProgressStep(STEP_BOOT2, size);
  const ChunkTally tally = SendChunks(file, STAGE2_PLAN, nullptr);
  EndProgressStep(tally.total);
  if (tally.stopped) {
    CloseHandle(file);
    return 0;
  }
  BYTE check = AllBytesXor(tally);
  SendByte(check);
  Trace(L"Bootload2 : %X  %X  %d checkByte : %X\r\n", sizeBytes[0], sizeBytes[1], static_cast<int>(size),
        check);
  CloseHandle(file);
  return WaitForByte(ACK_DONE, g_UpdateBounds.answerMs) ? 1 : 0;
}
