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
//
// Two programs started at the same moment would both ask before either answers. So a look-up
// that finds no window first takes the class's start-up claim (a lock on CLASS.lock in the same
// folder) and keeps it until the class is published; a second look-up waits on the claim and so
// asks only once the first answers, or once the first has died and the kernel dropped its lock.
#pragma once

#include <optional>
#include <string>

#include "windowing/window_table.h"

namespace kov02::windowing {

// From now on this process neither looks for other instances' windows nor answers for its own:
// a one-shot run that must leave an open window elsewhere as it is.
void keep_windows_private();
bool windows_private();

// Asks the window's thread to bring it to the front.
void raise_window(const WindowPtr& window);

// Starts answering for `class_name` (once per class; later calls do nothing), then gives up the
// class's start-up claim.
void publish_class(const std::wstring& class_name);

// Waits (bounded) until this process holds the start-up claim for `class_name`; true when it
// does. A claim already held here is taken again at once.
bool take_claim(const std::wstring& class_name);
// Gives the claim up, if this process holds it.
void drop_claim(const std::wstring& class_name);

// Makes the private folder if it is missing and checks it is a folder of this user with mode
// 0700; false with one line naming the folder and the fault in `reason` otherwise. Start-up
// stops on it, since with a folder someone else controls the rule would silently not hold.
bool check_private_folder(std::string* reason);

// The socket path for a class, or nullopt when the private folder cannot be made safely or the
// path would be too long.
std::optional<std::string> instance_socket_path(const std::wstring& class_name);

// Whether the peer on a connected local socket runs as the calling process's user.
bool peer_is_same_user(int fd);

// Reads one line (without its '\n') from `fd` within `timeout_ms`; nullopt on time-out, error,
// end of file or a line longer than `limit`.
std::optional<std::string> read_line(int fd, int timeout_ms, std::size_t limit);

}  // namespace kov02::windowing
