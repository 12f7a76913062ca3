// Whether a file may say what this program runs. An exec: hook runs a command with this
// process's rights, so the registry file naming it and the program itself must be files only
// root or the user running the program can change: the file, and every folder from / down to it.
#pragma once

#include <string>

namespace kov02::registry {

// A file opened (O_PATH, close-on-exec) and checked through that descriptor, so that what was
// checked is what is used later even if the names on its path change meanwhile.
class TrustedFile {
 public:
  // Links in `path` are resolved first; then each step from / down is opened below the one
  // before, never following a link, and checked: a folder must be owned by root or this
  // process's user and be writable by neither its group nor others, unless it is sticky (as
  // /tmp is: others may add names but not replace ours) and the next step is owned by root or
  // the user; the file must be a regular file owned by root or the user and writable by
  // neither its group nor others.
  explicit TrustedFile(const std::string& path);
  ~TrustedFile();
  TrustedFile(const TrustedFile&) = delete;
  TrustedFile& operator=(const TrustedFile&) = delete;

  // The descriptor when the file is trusted, else -1.
  int fd() const { return fd_; }
  // Empty when trusted; otherwise one phrase saying why not that does not start with the
  // path, so a caller can write "hook PATH refused: REASON": "it is owned by uid 1000", "it is
  // writable by group or others", "its folder is writable by others", "the folder /srv above
  // it is writable by others", "it is not a regular file", or the system's reason.
  const std::string& reason() const { return reason_; }
  // False when there is no regular file at `path` (or it cannot be looked at): a hook that is
  // not a program at all fails as not found rather than as untrusted.
  bool found() const { return found_; }

 private:
  void refuse(std::string reason, bool found = true);
  void walk(const std::string& resolved);

  int fd_ = -1;
  std::string reason_;
  bool found_ = true;
};

// TrustedFile(path).reason(): empty when `path` may be trusted.
std::string untrusted_reason(const std::string& path);

}  // namespace kov02::registry
