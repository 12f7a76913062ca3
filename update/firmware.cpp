// The firmware image transfer: the command bytes, the two size records, the image in chunks
// with its two checksums, and the closing offer to reset the module and reboot the handset.
#include "common/output.h"
#include "common/state.h"
#include "device/device.h"
#include "update/modes.h"
#include "update/package.h"
#include "update/progress.h"
#include "update/run.h"
#include "update/update.h"
#include "update/update_port.h"

// The image stream stops at the size the file system reported, and reports every chunk.
static ChunkPlan ImagePlan(DWORD size) {
  return {.chunk = IMAGE_CHUNK,
          .limit = size,
          .lastSectionFormat = L" The last section sent; %d chars!!\r\n",
          .lastShowsWritten = true,
          .emptyReadTrace = L" Break because dwBytesRead=0!!\r\n",
          .reportEachChunk = true};
}

// 0x54's record, as the mode makes it. 0 when file_size.bin does not open, whatever the mode.
static int SendFileSizeRecord(const UpdateMode& mode, BYTE (&record)[3]) {
  HANDLE file = OpenPackageFile(FILE_SIZE_FILE);
  if (file == INVALID_HANDLE_VALUE) {
    Trace(L"file_size.bin open fail!!!!\r\n");
    NoteUpdateFailure(UPDATE_FILE_UNREADABLE);
    return 0;
  }
  if (mode.sizeSource == SIZE_FIXED) {
    for (int i = 0; i < 3; ++i) record[i] = mode.fixedSizeRecord[i];
    Trace(L"Write fixed file size\r\n");
  } else {
    DWORD got = 0;
    ReadFile(file, record, sizeof record, &got, nullptr);
    Trace(L"Write file size from file\r\n");
  }
  WriteBlock(record, sizeof record);
  CloseHandle(file);
  return 1;
}

// After the module accepted the image: the success lines and the Yes/No question. The module
// holds its firmware now, so quitting, the bridge and the reboot are free again.
static void OfferResetAndReboot(HWND hwnd) {
  ReleaseQuitGuard();
  Trace(L"Send firmware....ok");
  LogPaneIfDebug(hwnd, L"\r\nSend firmware....ok\r\n");
  Sleep(200);
  if (MessageBoxW(nullptr, L"Reboot device/Reset module !", L"Successful", MB_YESNO) == IDYES) {
    ResetRadioModule(nullptr);
    RebootDevice(nullptr);
  }
}

// Sends the image's size record, its chunks and checksums; returns with the file closed, 0 when a
// chunk went unanswered or the port was lost (no checksum then follows).
static int SendImage(HANDLE image, HWND hwnd) {
  Trace(L"Download.bin open succeed!!!! \r\n");
  DWORD size = GetFileSize(image, nullptr);
  BYTE record[3];
  PutBigEndian(size, record);
  WriteBlock(record, sizeof record);
  Trace(L"Write the compressed file size\r\n");
  Sleep(20);
  BeginProgressStep(STEP_IMAGE, size);
  ChunkTally tally = SendChunks(image, ImagePlan(size), hwnd);
  EndProgressStep(tally.total);
  if (tally.stopped) {
    CloseHandle(image);
    return 0;
  }
  // The acceptance can only follow the checksums: whatever came before them is not it.
  DiscardReceived();
  Trace(L" Sending Checksum %X  %X !!\r\n", tally.even, tally.odd);
  SendByte(tally.even);
  SendByte(tally.odd);
  Trace(L"File upload complete!! file size %d , %X h , Size char %X  %X  %X\r\n", static_cast<int>(size),
        size, record[0], record[1], record[2]);
  CloseHandle(image);
  return 1;
}

int SendFirmware(HWND hwnd) {
  const UpdateMode& mode = *g_pUpdateMode.load(std::memory_order_relaxed);
  BYTE record[3] = {0x00, 0x00, 0x00};
  SendByte(CMD_BAUDRATE);
  Trace(L"Send 0x50 to configure baudrate as 115.2k !!!\r\n");
  Sleep(100);
  Trace(L"Memory Check, We would get 3 char here !!!!\r\n");
  WaitForByte(ACK_DONE, g_UpdateBounds.answerMs);
  Trace(L"Memory Check, We should get 3 char above !!!!\r\n");
  SendByte(CMD_FILE_SIZE);
  if (!SendFileSizeRecord(mode, record)) return 0;
  for (int i = 0; i < 3; ++i) WaitForByte(ACK_DONE, g_UpdateBounds.answerMs);
  if (UpdatePortLost()) return 0;
  HANDLE image = OpenPackageFile(mode.image);
  if (image == INVALID_HANDLE_VALUE) {
    Trace(L"download.bin open fail!!!!\r\n");
    NoteUpdateFailure(UPDATE_FILE_UNREADABLE);
    return 0;
  }
  if (!SendImage(image, hwnd) || !WaitForByte(ACK_DONE, g_UpdateBounds.chunkMs)) {
    Trace(L"Send firmware....fail");
    return 0;
  }
  OfferResetAndReboot(hwnd);
  return 1;
}
