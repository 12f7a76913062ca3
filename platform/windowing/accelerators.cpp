// Keyboard accelerators: tables from the program's resources, and key messages turned into
// WM_COMMAND. An HACCEL is the table's resource entry itself.
#include "windowing/message_queue.h"
#include "windowing/resources.h"

namespace kov02::windowing {
namespace {

constexpr BYTE kModifierFlags = FSHIFT | FCONTROL | FALT;
constexpr WORD kFromAccelerator = 1;

const ACCEL_TABLE_RESOURCE* table_of(HACCEL accel) {
  const auto* entry = reinterpret_cast<const MODULE_RESOURCE*>(accel);
  for (std::size_t i = 0; i < g_ModuleResourceCount; ++i) {
    if (&g_ModuleResources[i] == entry && entry->type == RT_ACCELERATOR && entry->data != nullptr) {
      return static_cast<const ACCEL_TABLE_RESOURCE*>(entry->data);
    }
  }
  return nullptr;
}

BYTE held_modifiers(KeyModifiers held) {
  return static_cast<BYTE>((held.ctrl ? FCONTROL : 0) | (held.shift ? FSHIFT : 0) | (held.alt ? FALT : 0));
}

bool matches(const ACCEL& entry, const MSG& msg, BYTE held) {
  if ((entry.fVirt & FVIRTKEY) != 0) {
    return msg.message == WM_KEYDOWN && msg.wParam == entry.key && (entry.fVirt & kModifierFlags) == held;
  }
  // A character entry matches the character itself, whatever modifiers made it.
  return msg.message == WM_CHAR && msg.wParam == entry.key;
}

}  // namespace
}  // namespace kov02::windowing

using namespace kov02::windowing;

HACCEL LoadAcceleratorsW(HINSTANCE, LPCWSTR name) {
  const MODULE_RESOURCE* resource = find_module_resource(RT_ACCELERATOR, name);
  if (resource == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HACCEL>(const_cast<MODULE_RESOURCE*>(resource));
}

// The modifier keys are those held when the key message was queued, as the handset's key state
// follows the message queue.
int TranslateAcceleratorW(HWND hwnd, HACCEL accel, LPMSG msg) {
  const ACCEL_TABLE_RESOURCE* table = table_of(accel);
  if (hwnd == nullptr || msg == nullptr || table == nullptr) {
    SetLastError(table == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return 0;
  }
  const BYTE held = held_modifiers(last_key_modifiers());
  for (std::size_t i = 0; i < table->count; ++i) {
    if (!matches(table->entries[i], *msg, held)) continue;
    SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(table->entries[i].cmd, kFromAccelerator), 0);
    return 1;
  }
  return 0;
}
