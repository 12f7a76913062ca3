#include "common/settings.h"

BOOL ReadDwordSetting(HKEY key, LPCWSTR name, DWORD* value) {
  DWORD type = 0;
  DWORD read = 0;
  DWORD size = sizeof read;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof read) {
    return FALSE;
  }
  *value = read;
  return TRUE;
}
