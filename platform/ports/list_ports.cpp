// The port list as a person or a script reads it. A line:
//   /dev/ttyUSB0: FT232R USB UART 0403:6001 serial A50285BI, made by FTDI,
//   /dev/serial/by-id/usb-FTDI_…, mapped as COM1:, in use by picocom (pid 4711)
// (one line; parts that are not known are left out).
#include "ports/list_ports.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "kernel/stderr_lines.h"
#include "kernel/text.h"
#include "ports/present_ports.h"
#include "registry/registry.h"
#include "serial/port_users.h"

namespace kov02::ports {
namespace {

using kernel::json_string;

struct Listed {
  PresentPort port;
  std::vector<std::string> names;  // the device map's names for it: "COM1:"
  std::optional<serial::PortUser> user;
};

// Device names are compared without regard to case and kept folded; they are shown as the
// handset writes them, in capitals.
std::string shown_name(std::wstring_view name) {
  return kernel::to_utf8(kernel::upper_case(name));
}

std::vector<std::string> mapped_names(const PresentPort& port) {
  constexpr std::wstring_view kDeviceMapKey = L"Platform\\Devices";
  std::vector<std::string> names;
  for (const std::wstring& name : registry::value_names(kDeviceMapKey)) {
    const std::optional<std::wstring> value = registry::lookup_string(kDeviceMapKey, name);
    if (!value || value->empty()) continue;
    if (port.is_at(kernel::native_bytes(*value))) names.push_back(shown_name(name));
  }
  return names;
}

std::string user_text(const serial::PortUser& user) {
  return "in use by " + user.name + " (pid " + std::to_string(user.pid) + ")";
}

std::string line_of(const Listed& listed) {
  const PresentPort& port = listed.port;
  std::string line = port.device + ": " + port.label();
  if (!port.vendor_id.empty()) line += " " + port.vendor_id + ":" + port.product_id;
  if (!port.serial.empty()) line += " serial " + port.serial;
  if (!port.interface.empty()) line += ", interface " + port.interface;
  if (!port.manufacturer.empty()) line += ", made by " + port.manufacturer;
  if (!port.stable_name.empty()) line += ", " + port.stable_name;
  if (!listed.names.empty()) {
    line += ", mapped as";
    for (const std::string& name : listed.names) line += " " + name;
  }
  if (listed.user) line += ", " + user_text(*listed.user);
  return line;
}

std::string json_text_or_null(const std::string& text) {
  return text.empty() ? "null" : json_string(text);
}

std::string json_of(const Listed& listed) {
  const PresentPort& port = listed.port;
  std::string names;
  for (const std::string& name : listed.names) {
    if (!names.empty()) names += ',';
    names += json_string(name);
  }
  const std::string user = listed.user ? "{\"name\":" + json_string(listed.user->name) +
                                             ",\"pid\":" + std::to_string(listed.user->pid) + "}"
                                       : "null";
  return "{\"device\":" + json_string(port.device) +
         ",\"stable_name\":" + json_text_or_null(port.stable_name) +
         ",\"vendor_id\":" + json_text_or_null(port.vendor_id) +
         ",\"product_id\":" + json_text_or_null(port.product_id) +
         ",\"manufacturer\":" + json_text_or_null(port.manufacturer) +
         ",\"product\":" + json_text_or_null(port.product) + ",\"serial\":" + json_text_or_null(port.serial) +
         ",\"interface\":" + json_text_or_null(port.interface) + ",\"registry_names\":[" + names +
         "],\"in_use_by\":" + user + "}";
}

}  // namespace

int list_ports(bool json) {
  std::vector<Listed> listed;
  for (PresentPort& port : present_ports()) {
    Listed entry{std::move(port), {}, std::nullopt};
    entry.names = mapped_names(entry.port);
    entry.user = serial::current_user(entry.port.device);
    listed.push_back(std::move(entry));
  }
  if (listed.empty()) kernel::stderr_notice("no serial ports found");
  if (json) {
    std::string array = "[";
    for (std::size_t i = 0; i < listed.size(); ++i) {
      if (i > 0) array += ",\n ";
      array += json_of(listed[i]);
    }
    std::printf("%s]\n", array.c_str());
  } else {
    for (const Listed& entry : listed) std::printf("%s\n", line_of(entry).c_str());
  }
  return 0;
}

}  // namespace kov02::ports
