// The serial ports present on this machine, as udev knows them (GUdev): each tty that stands for
// a real line (USB adapters, UARTs with hardware behind them), with the labels a person
// recognises it by. Where udevd has not run (containers, CI) the labels come from the USB
// parent's sysfs attributes instead.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kov02::ports {

struct PresentPort {
  std::string device;       // the device file: "/dev/ttyUSB0"
  std::string stable_name;  // "/dev/serial/by-id/…", else "/dev/serial/by-path/…", else empty
  std::string vendor_id;    // USB ids as four hex digits ("0403", "6001"); empty off USB
  std::string product_id;
  std::string manufacturer;  // "FTDI"
  std::string product;       // "FT232R USB UART"
  std::string serial;        // the adapter's serial number: "A50285BI"
  std::string interface;     // the USB interface number of a multi-port adapter: "00"
  std::string sysfs_path;

  // What a person calls it: the product name, else the kernel's name for the tty.
  std::string label() const;
  // The same adapter, wherever the kernel put it now: the same stable name, or the same USB
  // vendor, product, serial number and interface. Never by kernel name, which the next adapter
  // plugged in may get.
  bool same_adapter(const PresentPort& other) const;
  // Whether `path` names this port's device file, directly or through links.
  bool is_at(const std::string& path) const;
};

// Every serial port present, in the order of their device files.
std::vector<PresentPort> present_ports();

// The present port behind a device path (links such as by-id names followed); nullopt when udev
// knows no serial port there (a pty, a path that does not exist).
std::optional<PresentPort> describe_port(const std::string& path);

// "/dev/ttyUSB0 (FT232R USB UART, /dev/serial/by-id/usb-FTDI_…)", each present port so, joined
// by ", "; empty when none is present.
std::string present_ports_text();

}  // namespace kov02::ports
