// The machine's reboot and its sleep and shutdown guard, through systemd-logind (or elogind,
// which answers the same calls). reboot(2) is never used: it needs CAP_SYS_BOOT, syncs nothing
// and loses data; logind asks polkit and shuts the system down in order.
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "devices/devices.h"
#include "devices/system_bus.h"
#include "kernel/text.h"

namespace kov02::devices {
namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

// The guard is asked for on the UI thread as a run starts: a logind that does not answer soon
// must not hold the window up for long.
constexpr int kGuardTimeoutMs = 5000;

std::atomic<bool> g_agent_can_ask{false};

BOOL refuse(const bus::Failure& failure, const std::string& what) {
  const bus::Refusal refusal = bus::classify(failure);
  if (refusal == bus::Refusal::absent)
    return devices::refuse(L"Reboot", ERROR_NOT_SUPPORTED, "logind is not running");
  return devices::refuse(L"Reboot", bus::error_for(refusal),
                         what + ": " + failure.name + ": " + failure.message);
}

// The sleep and shutdown guard held while an update runs: logind's block inhibitor lasts while
// its file descriptor is open.
struct Guard {
  std::mutex mutex;
  int fd = -1;
};

Guard& guard() {
  static auto* instance = new Guard;  // never destroyed: the process's end closes the fd
  return *instance;
}

}  // namespace

void set_interactive_authorisation(bool agent_can_ask) {
  g_agent_can_ask = agent_can_ask;
}

BOOL logind_reboot() {
  bus::Failure failure;
  std::unique_ptr<bus::Connection> connection = bus::Connection::open(&failure);
  if (!connection)
    return refuse(L"Reboot", ERROR_NOT_SUPPORTED, "no system bus, so no logind to reboot through");
  bus::Variant answer = connection->call({kService, kPath, kManager, "CanReboot", nullptr, "(s)"}, &failure);
  if (!answer) return refuse(failure, "logind's CanReboot failed");
  const gchar* answered = nullptr;
  g_variant_get(answer.get(), "(&s)", &answered);
  const std::string can(answered);
  const bool challenge = can == "challenge";
  if (can != "yes" && !challenge) {
    return refuse(L"Reboot", ERROR_ACCESS_DENIED,
                  "logind says this user may not reboot (CanReboot: " + can + ")");
  }
  if (challenge && !g_agent_can_ask) {
    return refuse(L"Reboot", ERROR_ACCESS_DENIED,
                  "rebooting needs an administrator's password, which the console cannot ask for; "
                  "reboot from the desktop front-end or allow it with a polkit rule");
  }
  // With a challenge the desktop's polkit agent asks for the password: no time limit then.
  if (!connection->call({kService, kPath, kManager, "Reboot", g_variant_new("(b)", challenge), "()",
                         challenge ? -1 : 25000, challenge},
                        &failure)) {
    return refuse(failure, "logind refused to reboot");
  }
  return TRUE;
}

void hold_sleep_guard(bool hold) {
  Guard& held = guard();
  std::lock_guard lock(held.mutex);
  if (!hold) {
    if (held.fd >= 0) ::close(held.fd);
    held.fd = -1;
    return;
  }
  if (held.fd >= 0) return;
  bus::Failure failure;
  std::unique_ptr<bus::Connection> connection = bus::Connection::open(&failure);
  bus::Variant reply;
  if (connection) {
    reply = connection->call(
        {kService, kPath, kManager, "Inhibit",
         g_variant_new("(ssss)", "shutdown:sleep", "KOV02Tool", "Firmware update running", "block"), "(h)",
         kGuardTimeoutMs},
        &failure, &held.fd);
  }
  // Without logind there is nothing to guard against; a refusal is worth a debug line only.
  if (!reply && bus::classify(failure) != bus::Refusal::absent) {
    OutputDebugStringW(
        kernel::from_utf8("logind refused the sleep and shutdown guard: " + failure.message + "\r\n")
            .c_str());
  }
  if (!reply && held.fd >= 0) {
    ::close(held.fd);
    held.fd = -1;
  }
}

}  // namespace kov02::devices
