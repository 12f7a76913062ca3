// Ports are left as they were found even when the process ends without closing them: at exit
// and on SIGTERM, SIGINT and SIGHUP every tty still held gets back the settings it had when it
// was opened, and this process's lock files are removed. The table the signal handler reads is
// fixed-size and lock-free, since a handler may call nothing else.
#pragma once

#include <termios.h>

#include <string>

namespace kov02::serial {

// Records an open tty's settings as found, its lock file (empty: none) and whether low latency
// was set on it and must be taken back. Returns the entry's
// number for forget_port, or -1 when the table is full (the port is then restored only when it
// is closed). The first call installs the exit and signal handlers; a signal this process
// ignores (started with nohup) stays ignored.
int remember_port(int fd, const termios& found, const std::string& lock_path, bool low_latency);

// Drops an entry before its tty is restored and closed normally.
void forget_port(int entry);

// Gives every tty still held its settings as found and removes the lock files, at once; safe in
// a signal handler. For a handler of the ending signals other than this file's own.
void leave_ports_as_found();

}  // namespace kov02::serial
