// Settings the program reads from the registry through the handset's own calls.
#pragma once

#include <kov02/ce.h>

// Stores the dword value `name` of the open `key` in `*value` and returns TRUE; leaves `*value`
// as it was and returns FALSE when the value is missing or not a dword.
BOOL ReadDwordSetting(HKEY key, LPCWSTR name, DWORD* value);
