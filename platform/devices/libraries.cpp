// The one library the program loads, COREDLL.DLL, as a built-in export table, and the kernel's
// I/O-control entry behind it.
#include <cstdint>
#include <cwctype>
#include <iterator>
#include <optional>
#include <string_view>

#include "devices/devices.h"
#include "kernel/text.h"
#include "registry/registry.h"

namespace {

// Module values live apart from handles; any non-null value that is not the program's would do.
const HMODULE kCoreLibrary = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x01F60000u));

struct Export {
  std::wstring_view name;
  FARPROC address;
};

const Export kCoreExports[] = {
    {L"KernelIoControl", reinterpret_cast<FARPROC>(&KernelIoControl)},
};

bool equals_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
         });
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR name) {
  if (name && (equals_ignoring_case(name, L"COREDLL.DLL") || equals_ignoring_case(name, L"COREDLL"))) {
    return kCoreLibrary;
  }
  SetLastError(name ? ERROR_MOD_NOT_FOUND : ERROR_INVALID_PARAMETER);
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCWSTR name) {
  if (module != kCoreLibrary) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Ordinals (small integer "names") are not exported.
  if (name && !IS_INTRESOURCE(name)) {
    for (const Export& entry : kCoreExports) {
      if (entry.name == name) return entry.address;
    }
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == kCoreLibrary) return TRUE;
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

namespace {

// The reboot's reason lines start so.
void set_reboot_failure(std::string_view reason) {
  kov02::devices::set_device_failure(L"Reboot: " + kov02::kernel::from_utf8(reason));
}

// Why the Reboot setting names no hook, for its reason line; empty when it names one.
std::wstring missing_reboot_hook(const std::optional<std::wstring>& hook) {
  const std::wstring where =
      L"under [HKEY_LOCAL_MACHINE\\Platform\\Kernel] in " + kov02::devices::registry_file_phrase();
  if (!hook) return L"Reboot: no \"Reboot\" value " + where;
  if (!hook->starts_with(L"exec:"))
    return L"Reboot: the \"Reboot\" value " + where + L" is neither logind: nor an exec: command";
  return {};
}

}  // namespace

BOOL KernelIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD returned) {
  if (returned) *returned = 0;
  kov02::devices::set_device_failure({});
  if (code != IOCTL_HAL_REBOOT) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  const std::optional<std::wstring> hook = kov02::registry::lookup_string(L"Platform\\Kernel", L"Reboot");
  if (hook && *hook == L"logind:") return kov02::devices::logind_reboot();
  if (std::wstring missing = missing_reboot_hook(hook); !missing.empty()) {
    kov02::devices::set_device_failure(std::move(missing));
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  const std::vector<std::string> argv =
      kov02::devices::split_command(kov02::kernel::native_bytes(hook->substr(5)));
  std::string reason;
  const BOOL done = kov02::devices::run_allowed_hook(argv, code, &reason);
  if (!done) set_reboot_failure(reason);
  return done;
}

DWORD PowerPolicyNotify(DWORD message, DWORD data) {
  if (message == PPN_UNATTENDEDMODE) kov02::devices::hold_sleep_guard(data != 0);
  return ERROR_SUCCESS;
}
