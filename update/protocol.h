// The bytes of the update wire that are not data: what the module answers and the commands the
// handset sends. Only the update speaks this protocol.
#pragma once

#include <kov02/ce.h>

inline constexpr BYTE SYNC_BYTE = 0x55;      // streamed by the caster while the module restarts
inline constexpr BYTE ROM_READY = 0xA0;      // the boot ROM caught the stream
inline constexpr BYTE ACK_DONE = 0xA5;       // a stage, a record or the image was accepted
inline constexpr BYTE ACK_CHUNK = 0xAA;      // a full chunk was taken
inline constexpr BYTE CMD_BAUDRATE = 0x50;   // first byte of the image transfer
inline constexpr BYTE CMD_FILE_SIZE = 0x54;  // announces the file-size record
