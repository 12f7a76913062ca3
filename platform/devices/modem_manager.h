// The radio's suspension on Linux: ModemManager lets go of the modem that owns a tty.
// InhibitDevice(uid, true) closes every port of that modem; the inhibition lasts while the caller
// stays on the bus, so it is made on a private connection held until the resume (InhibitDevice
// false, then close). A process that ends, even killed, ends it.
#pragma once

#include <kov02/ce.h>

#include <memory>
#include <string>

namespace kov02::devices {

namespace bus {
class Connection;
}

class ModemInhibition {
 public:
  // Makes ModemManager let go of the modem whose ports hold `port_name` (a tty's path below /dev
  // after realpath: "ttyACM0", "pts/5"). ERROR_SUCCESS with `held` set; or ERROR_SUCCESS with
  // `held` null and `note` saying why there was nothing to do (ModemManager not running, no modem
  // owns the tty); or the refusal's error with `reason` in plain words.
  static DWORD take(const std::string& port_name, std::unique_ptr<ModemInhibition>* held, std::string* note,
                    std::string* reason);
  ~ModemInhibition();

  // Lifts it: ERROR_SUCCESS, or the refusal's error with `reason`. The connection closes either
  // way, which lifts it too.
  DWORD lift(std::string* reason);
  const std::string& uid() const { return uid_; }

 private:
  ModemInhibition(std::unique_ptr<bus::Connection> connection, std::string uid);
  std::unique_ptr<bus::Connection> connection_;
  std::string uid_;
};

}  // namespace kov02::devices
