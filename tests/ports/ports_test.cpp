// The port list and the hot-plug watch against umockdev's test bed, which stands in for /sys and
// /dev without udevd (so the labels come from sysfs). The binary runs under umockdev-wrapper.
#include <gtest/gtest.h>
#include <kov02/ce.h>
#include <umockdev.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "eventually.h"
#include "ports/port_watch.h"
#include "registry/registry.h"
#include "temp_dir.h"
#include "test_objects.h"

namespace {

using test_support::Child;
using test_support::Spawn;
using test_support::TempDir;

// The adapter the tests plug in: an FT232R with its one interface and tty.
struct Adapter {
  std::string usb, interface, tty;
};

class PortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // umockdev_in_mock_environment() answers false under the wrapper too in this version.
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev-preload")) GTEST_SKIP() << "runs under umockdev-wrapper";
    bed_ = umockdev_testbed_new();
  }
  void TearDown() override {
    kov02::ports::set_notice_sink(nullptr);
    if (bed_) g_object_unref(bed_);
  }

  std::string add(const char* subsystem, const char* name, const std::string& parent,
                  const char* const* attributes, const char* const* properties) {
    gchar* path =
        umockdev_testbed_add_devicev(bed_, subsystem, name, parent.empty() ? nullptr : parent.c_str(),
                                     const_cast<gchar**>(attributes), const_cast<gchar**>(properties));
    std::string text = path ? path : "";
    g_free(path);
    return text;
  }

  Adapter plug(const char* usb_name, const char* serial, const char* tty) {
    const char* usb_attributes[] = {"idVendor",     "0403", "idProduct", "6001",
                                    "manufacturer", "FTDI", "product",   "FT232R USB UART",
                                    "serial",       serial, nullptr};
    const char* usb_properties[] = {"DEVTYPE", "usb_device", nullptr};
    Adapter adapter;
    adapter.usb = add("usb", usb_name, "", usb_attributes, usb_properties);
    const char* interface_attributes[] = {"bInterfaceNumber", "00", nullptr};
    const char* interface_properties[] = {"DEVTYPE", "usb_interface", nullptr};
    adapter.interface = add("usb", (std::string(usb_name) + ":1.0").c_str(), adapter.usb,
                            interface_attributes, interface_properties);
    adapter.tty = add_tty(tty, adapter.interface, nullptr);
    return adapter;
  }

  std::string add_tty(const char* name, const std::string& parent, const char* type) {
    const std::string devname = std::string("/dev/") + name;
    const char* attributes[] = {"type", type, nullptr};
    const char* properties[] = {"DEVNAME", devname.c_str(), nullptr};
    return add("tty", name, parent, type ? attributes : attributes + 2, properties);
  }

  UMockdevTestbed* bed_ = nullptr;
};

std::string run_tool(const std::vector<std::string>& arguments, const std::string& registry, int* status,
                     std::string* errors) {
  Spawn spawn;
  spawn.argv = {KOV02TOOL_PATH};
  spawn.argv.insert(spawn.argv.end(), arguments.begin(), arguments.end());
  spawn.env["KOV02_REGISTRY"] = registry;
  spawn.stderr_pipe_bytes = 65536;
  Child child(spawn);
  *status = child.wait_exit().value_or(-1);
  *errors = child.drain_stderr(std::chrono::milliseconds(100));
  return child.transcript();
}

// The tool as the user runs it: the adapter's tty with every label, a UART slot the driver keeps
// without hardware left out, a real UART kept, and the same list as JSON.
TEST_F(PortsTest, ListPortsShowsAdaptersWithTheirLabelsAndNames) {
  plug("1-1", "A50285BI", "ttyUSB0");
  add_tty("ttyS0", "", "0");
  add_tty("ttyS1", "", "4");
  TempDir dir;
  const std::string registry =
      dir.write("k.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"/dev/ttyUSB0\"\n");
  int status = -1;
  std::string errors;
  const std::string text = run_tool({"--list-ports"}, registry, &status, &errors);
  EXPECT_EQ(status, 0) << errors;
  EXPECT_NE(text.find("/dev/ttyUSB0: FT232R USB UART 0403:6001 serial A50285BI, interface 00, made by FTDI"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("mapped as COM1:"), std::string::npos) << text;
  EXPECT_NE(text.find("/dev/ttyS1: ttyS1"), std::string::npos) << text;
  EXPECT_EQ(text.find("ttyS0"), std::string::npos) << text;

  const std::string json = run_tool({"--list-ports", "--json"}, registry, &status, &errors);
  EXPECT_EQ(status, 0);
  EXPECT_NE(
      json.find("{\"device\":\"/dev/ttyUSB0\",\"stable_name\":null,\"vendor_id\":\"0403\",\"product_id\":"
                "\"6001\",\"manufacturer\":\"FTDI\",\"product\":\"FT232R USB UART\",\"serial\":\"A50285BI\","
                "\"interface\":\"00\",\"registry_names\":[\"COM1:\"],\"in_use_by\":null}"),
      std::string::npos)
      << json;
}

TEST_F(PortsTest, NoPortsIsAnEmptyListAndALineOnStderr) {
  TempDir dir;
  const std::string registry = dir.write("k.reg", "REGEDIT4\n");
  int status = -1;
  std::string errors;
  EXPECT_EQ(run_tool({"--list-ports", "--json"}, registry, &status, &errors), "[]\n");
  EXPECT_EQ(status, 0);
  EXPECT_NE(errors.find("no serial ports found"), std::string::npos);
}

// A held port's adapter pulled, another adapter plugged in (no line), then the first one back
// under another kernel name: the window is told each line through its notice queue.
TEST_F(PortsTest, WatchSaysUnpluggedAndBackUnderTheNewName) {
  const Adapter adapter = plug("1-1", "A50285BI", "ttyUSB0");
  RequestDeviceNotices(nullptr);
  std::shared_ptr<void> watch = kov02::ports::watch_port("COM1:", "/dev/ttyUSB0");
  ASSERT_TRUE(watch);
  auto next_notice = [] {
    std::string line;
    test_support::eventually([&] {
      WCHAR text[256];
      const DWORD length = GetDeviceNoticeW(text, 256);
      line.assign(text, text + length);
      return length > 0;
    });
    return line;
  };

  umockdev_testbed_uevent(bed_, adapter.tty.c_str(), "remove");
  umockdev_testbed_remove_device(bed_, adapter.tty.c_str());
  EXPECT_EQ(next_notice(), "COM1: /dev/ttyUSB0 (FT232R USB UART) was unplugged");

  const Adapter other = plug("1-2", "OTHER001", "ttyUSB1");
  umockdev_testbed_uevent(bed_, other.tty.c_str(), "add");
  const std::string back = add_tty("ttyUSB2", adapter.interface, nullptr);
  umockdev_testbed_uevent(bed_, back.c_str(), "add");
  EXPECT_EQ(next_notice(), "COM1: /dev/ttyUSB0 (FT232R USB UART) is back as /dev/ttyUSB2");
  watch.reset();
}

// A tty that did not open names the ports that are there, where the port may have gone.
TEST_F(PortsTest, FailedOpenNamesThePortsPresent) {
  plug("1-1", "A50285BI", "ttyUSB0");
  std::string error;
  ASSERT_TRUE(kov02::registry::load_string(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"/dev/ttyUSB5\"\n", &error));
  EXPECT_EQ(CreateFileW(L"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  const std::wstring text = kov02::kernel::testing::device_failure();
  EXPECT_NE(text.find(L"; ports present: /dev/ttyUSB0 (FT232R USB UART)"), std::wstring::npos);
  kov02::registry::clear();
}

}  // namespace
