// Finding and raising windows of other processes, for the single-instance rule.
//
// Once a top-level window of one of the program's classes exists, the process listens on a
// socket for that class in a folder private to the user: $XDG_RUNTIME_DIR/kov02tool, or
// /tmp/kov02tool-UID (mode 0700, owned by the user) when XDG_RUNTIME_DIR is unset. A client
// sends one line and reads one line back:
//   "find\n"          any window of the class?          -> "yes\n" or "no\n"
//   "find\tTITLE\n"   a window of the class titled TITLE?
//   "raise\n"         bring the class's window to the front -> "yes\n" or "no\n"
// Peers of another user are refused on both sides. A socket file left by a process that died is
// replaced; one that still answers belongs to a live instance and is left alone.
#pragma once

#include <optional>
#include <string>

#include "windowing/window_table.h"

namespace kov02::windowing {

// Asks the window's thread to bring it to the front.
void raise_window(const WindowPtr& window);

// Starts answering for `class_name` (once per class; later calls do nothing).
void publish_class(const std::wstring& class_name);

// The socket path for a class, or nullopt when the private folder cannot be made safely or the
// path would be too long.
std::optional<std::string> instance_socket_path(const std::wstring& class_name);

// Whether the peer on a connected local socket runs as the calling process's user.
bool peer_is_same_user(int fd);

// Reads one line (without its '\n') from `fd` within `timeout_ms`; nullopt on time-out, error,
// end of file or a line longer than `limit`.
std::optional<std::string> read_line(int fd, int timeout_ms, std::size_t limit);

}  // namespace kov02::windowing
