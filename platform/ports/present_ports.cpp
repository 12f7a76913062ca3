// The port list through GUdev. Labels come from udev's properties when udevd ran and from the
// USB parent's sysfs attributes otherwise; stable names from the device's links, or from the
// /dev/serial folders when udev's database has none.
#include "ports/present_ports.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "kernel/files.h"
#include "ports/udev_device.h"

namespace kov02::ports {
namespace {

template <class T>
struct Unref {
  void operator()(T* object) const { g_object_unref(object); }
};
template <class T>
using Owned = std::unique_ptr<T, Unref<T>>;

std::string text_or_empty(const char* text) {
  return text ? std::string(text) : std::string();
}

std::string property(GUdevDevice* device, const char* name) {
  return text_or_empty(g_udev_device_get_property(device, name));
}

std::string attribute(GUdevDevice* device, const char* name) {
  if (!device) return {};
  std::string value = text_or_empty(g_udev_device_get_sysfs_attr(device, name));
  while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
  return value;
}

// udev's *_ENC properties keep the device's own string with blanks and odd bytes as \xNN.
std::string decode_escaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string first_of(std::initializer_list<std::string> candidates) {
  for (const std::string& candidate : candidates)
    if (!candidate.empty()) return candidate;
  return {};
}

// A link in /dev/serial/by-id or by-path that leads to `device`; empty when none does.
std::string link_in_folders(const std::string& device) {
  const std::string target = kernel::real_path(device).value_or(device);
  for (const char* folder : {"/dev/serial/by-id", "/dev/serial/by-path"}) {
    std::unique_ptr<DIR, int (*)(DIR*)> entries(::opendir(folder), ::closedir);
    if (!entries) continue;
    while (const dirent* entry = ::readdir(entries.get())) {
      if (entry->d_name[0] == '.') continue;
      const std::string link = std::string(folder) + "/" + entry->d_name;
      if (kernel::real_path(link).value_or(link) == target) return link;
    }
  }
  return {};
}

std::string stable_name(GUdevDevice* device, const std::string& device_file) {
  const gchar* const* links = g_udev_device_get_device_file_symlinks(device);
  for (const char* prefix : {"/dev/serial/by-id/", "/dev/serial/by-path/"}) {
    for (std::size_t i = 0; links && links[i]; ++i)
      if (std::string_view(links[i]).starts_with(prefix)) return links[i];
  }
  return link_in_folders(device_file);
}

// Virtual terminals, the console and ptmx live below /devices/virtual; a UART whose "type" is 0
// (PORT_UNKNOWN) is a slot the 8250 driver keeps without hardware behind it.
bool real_line(GUdevDevice* device) {
  const std::string sysfs = text_or_empty(g_udev_device_get_sysfs_path(device));
  if (sysfs.find("/devices/virtual/") != std::string::npos) return false;
  return attribute(device, "type") != "0";
}

void read_usb_labels(GUdevDevice* device, PresentPort* port) {
  Owned<GUdevDevice> usb(g_udev_device_get_parent_with_subsystem(device, "usb", "usb_device"));
  Owned<GUdevDevice> usb_interface(g_udev_device_get_parent_with_subsystem(device, "usb", "usb_interface"));
  port->vendor_id = first_of({property(device, "ID_VENDOR_ID"), attribute(usb.get(), "idVendor")});
  port->product_id = first_of({property(device, "ID_MODEL_ID"), attribute(usb.get(), "idProduct")});
  port->manufacturer =
      first_of({property(device, "ID_VENDOR_FROM_DATABASE"),
                decode_escaped(property(device, "ID_VENDOR_ENC")), attribute(usb.get(), "manufacturer")});
  port->product = first_of({decode_escaped(property(device, "ID_MODEL_ENC")), attribute(usb.get(), "product"),
                            property(device, "ID_MODEL_FROM_DATABASE")});
  port->serial = first_of({property(device, "ID_SERIAL_SHORT"), attribute(usb.get(), "serial")});
  port->interface = first_of(
      {property(device, "ID_USB_INTERFACE_NUM"), attribute(usb_interface.get(), "bInterfaceNumber")});
}

Owned<GUdevClient> query_client() {
  // No subsystems: a client that only answers queries and listens for no events.
  return Owned<GUdevClient>(g_udev_client_new(nullptr));
}

}  // namespace

std::optional<PresentPort> read_port(GUdevDevice* device) {
  PresentPort port;
  port.device = text_or_empty(g_udev_device_get_device_file(device));
  if (port.device.empty() || !real_line(device)) return std::nullopt;
  port.sysfs_path = text_or_empty(g_udev_device_get_sysfs_path(device));
  port.stable_name = stable_name(device, port.device);
  read_usb_labels(device, &port);
  return port;
}

PresentPort read_removed(GUdevDevice* device) {
  PresentPort port;
  port.device = text_or_empty(g_udev_device_get_device_file(device));
  port.sysfs_path = text_or_empty(g_udev_device_get_sysfs_path(device));
  return port;
}

std::string PresentPort::label() const {
  if (!product.empty()) return product;
  const std::size_t slash = device.rfind('/');
  return slash == std::string::npos ? device : device.substr(slash + 1);
}

bool PresentPort::same_adapter(const PresentPort& other) const {
  if (!stable_name.empty() && stable_name == other.stable_name) return true;
  return !vendor_id.empty() && vendor_id == other.vendor_id && product_id == other.product_id &&
         serial == other.serial && interface == other.interface;
}

bool PresentPort::is_at(const std::string& path) const {
  return path == device ||
         kernel::real_path(path).value_or(path) == kernel::real_path(device).value_or(device);
}

std::vector<PresentPort> present_ports() {
  std::vector<PresentPort> ports;
  Owned<GUdevClient> client = query_client();
  GList* devices = g_udev_client_query_by_subsystem(client.get(), "tty");
  for (GList* item = devices; item; item = item->next) {
    auto* device = G_UDEV_DEVICE(item->data);
    if (std::optional<PresentPort> port = read_port(device)) ports.push_back(std::move(*port));
    g_object_unref(device);
  }
  g_list_free(devices);
  std::sort(ports.begin(), ports.end(),
            [](const PresentPort& a, const PresentPort& b) { return a.device < b.device; });
  return ports;
}

std::optional<PresentPort> describe_port(const std::string& path) {
  for (PresentPort& port : present_ports()) {
    if (port.is_at(path)) return std::move(port);
  }
  return std::nullopt;
}

std::string present_ports_text() {
  std::string text;
  for (const PresentPort& port : present_ports()) {
    if (!text.empty()) text += ", ";
    text += port.device + " (" + port.label();
    if (!port.stable_name.empty()) text += ", " + port.stable_name;
    text += ")";
  }
  return text;
}

}  // namespace kov02::ports
