// The platform's configuration store: one registry file in REGEDIT4 syntax, found where Linux
// keeps configuration (registry_places) and loaded once at start-up. Only HKEY_LOCAL_MACHINE is
// kept. The handset's Reg* calls, the device map and the debug output all read it through here.
#pragma once

#include <kov02/ce.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kov02::registry {

struct Value {
  DWORD type = 0;
  // REG_SZ: the wide characters and their terminator; REG_DWORD: 4 bytes, little-endian;
  // REG_BINARY: the bytes as written.
  std::vector<BYTE> data;
};

// Replaces the registry with the file's content. On failure the registry is left as it was and
// `error` receives one line naming the file, the line and the fault ("/etc/x.reg:12: unterminated
// string"), or the file and why it cannot be read. Only a regular file of at most 4 MiB is read,
// and opening it never blocks. Warns once on stderr, and refuses exec: hooks from then on, when
// the file or a folder above it could be changed by someone other than root and this user (trust.h).
bool load_file(const std::string& path, std::string* error);

// As load_file, for text in hand; `origin` stands for the file name in errors. Hooks are allowed.
bool load_string(std::string_view text, std::string* error, std::string_view origin = "<string>");

// Sets string value `name` of `key` in memory (the file is not written), creating the key: a
// setting given for one run, over what the file says.
void set_string(std::wstring_view key, std::wstring_view name, std::wstring_view text);

// Empties the registry (what start-up has when no registry file is found).
void clear();

// The registry file in use, as it was named to load_file; empty while none is (nothing loaded,
// or a registry loaded from text).
std::string file_in_use();

// Where start-up looks for the registry file, first found first used: $KOV02_REGISTRY alone when
// it is set (and not empty); otherwise $XDG_CONFIG_HOME/kov02tool/kov02tool.reg (~/.config when
// unset), FOLDER/kov02tool/kov02tool.reg for each folder of $XDG_CONFIG_DIRS (/etc/xdg when
// unset), then /etc/kov02tool/kov02tool.reg.
std::vector<std::string> registry_places();
// The places as one phrase for the notices: "A, B, C".
std::string registry_places_text();

// `key` is a path below HKEY_LOCAL_MACHINE ("Platform\\Devices"; the root may be written too);
// `name` a value name ("" for the default value). Both are case-insensitive.
bool key_exists(std::wstring_view key);
std::optional<Value> lookup(std::wstring_view key, std::wstring_view name);
// The value as text when it is a string value; nullopt when missing or of another type.
std::optional<std::wstring> lookup_string(std::wstring_view key, std::wstring_view name);
// The value as a number when it is a dword value; nullopt when missing or of another type.
std::optional<std::uint32_t> lookup_dword(std::wstring_view key, std::wstring_view name);

// The names of the values under `key`, folded (lower case), in order; empty when it has none.
std::vector<std::wstring> value_names(std::wstring_view key);

// False while the loaded file could be changed by users other than root and this one: exec:
// hooks run commands, so they are refused then.
bool hooks_allowed();
// Why hooks are refused, for a reason line ("the registry file /x.reg: its folder is writable by
// others"); empty while they are allowed.
std::string hooks_refused_reason();

}  // namespace kov02::registry
