// The update serial link on COM1: the port record, opening and closing, the byte primitives
// every update stage uses, and the caster thread that streams the sync byte.
#pragma once

#include <kov02/ce.h>

#include <atomic>

struct UpdatePort {
  WCHAR szPort[8];    // "COM1:"
  DWORD dwReserved;   // 0; read by nothing
  DCB dcb;            // the line settings, applied as a whole
  HANDLE hPort;       // the open port; 0 while not open
};

// The current run's record; written by the update thread before the caster starts.
extern std::atomic<UpdatePort*> g_pUpdatePort;

int OpenUpdatePort();
void CloseUpdatePort();
void SendByte(BYTE byte);
int WaitForByte(BYTE byte);
DWORD CasterThread(LPVOID parameter);
// 1 once the update port has gone away under the run (the device was pulled or its far end
// closed): the waits then fail at once, so the update thread ends its run instead of spinning.
int UpdatePortLost();
// One write call of a whole frame or chunk to the open update port; returns the count written.
DWORD WriteBlock(const BYTE* data, DWORD size);
// Every purge of the update port: abort and clear both directions.
inline constexpr DWORD UPDATE_PURGE_MASK = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
