// The update serial link on COM1: the port record, opening and closing, the byte primitives
// every update stage uses, and the caster thread that streams the sync byte.
#pragma once

#include <kov02/ce.h>

#include <atomic>

#include "update/protocol.h"

struct UpdatePort {
  WCHAR szPort[8];   // "COM1:"
  DWORD dwReserved;  // 0; read by nothing
  DCB dcb;           // the line settings, applied as a whole
  HANDLE hPort;      // the open port; 0 while not open
};

// The current run's record; written by the update thread before the caster starts.
extern std::atomic<UpdatePort*> g_pUpdatePort;

int OpenUpdatePort();
// The current record's open port, 0 when there is no record or its port is closed. Any thread.
HANDLE UpdatePortHandle();
void CloseUpdatePort();
void SendByte(BYTE byte);
// Waits for `byte`, consuming and tracing every byte before it. Gives up once the line has been
// silent for `silenceMs` (INFINITE: never): any byte received starts the count again. Other
// bytes cannot hold it open for ever, though: it also gives up 4 x `silenceMs` after it began,
// however many came. A wait that ends on either bound returns 0; AwaitAnswer says which way a
// wait ended.
int WaitForByte(BYTE byte, DWORD silenceMs);
// Why a wait for a byte ended.
enum class WaitEnd {
  BYTE_CAME,   // the awaited byte was read
  LINE_EVENT,  // a break or line error came without a byte
  SILENCE,     // the silence bound, or the wait's whole allowance, passed
  PORT_LOST,   // the update port went away
};
// WaitForByte for the stages that must tell the ways a wait ends apart.
WaitEnd AwaitAnswer(BYTE byte, DWORD silenceMs);
DWORD CasterThread(LPVOID parameter);
// 1 once the update port has gone away under the run (the device was pulled or its far end
// closed): the waits then fail at once, so the update thread ends its run instead of spinning.
int UpdatePortLost();
// One write call of a whole frame or chunk to the open update port; returns the count written.
// A write the port refuses for any reason but its time-out marks the port lost.
DWORD WriteBlock(const BYTE* data, DWORD size);
// Discards what the module sent and nobody has read yet.
void DiscardReceived();
// Every purge of the update port: abort and clear both directions.
inline constexpr DWORD UPDATE_PURGE_MASK = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
// The events that end a wait for a byte: a character, a break, a line error.
inline constexpr DWORD UPDATE_EVENT_MASK = EV_RXCHAR | EV_BREAK | EV_ERR;

// The silence bound behind WaitForByte (answer_watch.cpp). The update thread arms it as a wait
// begins and for every byte received, and disarms it as the wait ends; WatchThread runs beside
// the caster for the whole run and wakes a wait whose bound has passed.
void ArmAnswerWatch(DWORD silenceMs);
void DisarmAnswerWatch();
int AnswerWatchFired();
DWORD WatchThread(LPVOID parameter);
