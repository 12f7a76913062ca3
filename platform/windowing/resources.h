// The program's resources (g_ModuleResources) looked up by type and name.
#pragma once

#include <kov02/ce.h>

#include <optional>
#include <string>

namespace kov02::windowing {

// The resource of `type` named `name`: ids compare as numbers, names without regard to case.
const MODULE_RESOURCE* find_module_resource(LPCWSTR type, LPCWSTR name);

// The string with `id` from any of the program's string tables.
std::optional<std::wstring> load_string(WORD id);

}  // namespace kov02::windowing
