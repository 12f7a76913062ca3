// Whether a file may say what this program runs. An exec: hook runs a command with this
// process's rights, so the registry file naming it and the program itself must be files only
// root or the user running the program can change.
#pragma once

#include <string>

namespace kov02::registry {

// Empty when `path` (links followed) and the folder holding it are each owned by root or by
// this process's user and writable by neither their group nor others; otherwise one phrase
// saying why not, without the path, to follow it in a reason line ("it is owned by uid 1000",
// "its folder is writable by others"). A path that cannot be looked at is reported with the
// system's reason ("it cannot be looked at: No such file or directory").
std::string untrusted_reason(const std::string& path);

}  // namespace kov02::registry
