// Resource look-up over the program's resource table.
#include "windowing/resources.h"

#include <functional>

#include "windowing/window_table.h"

namespace kov02::windowing {
namespace {

bool same_resource_name(LPCWSTR a, LPCWSTR b) {
  if (a == nullptr || b == nullptr) return false;
  if (IS_INTRESOURCE(a) || IS_INTRESOURCE(b)) return a == b;
  return same_name(a, b);
}

}  // namespace

const MODULE_RESOURCE* find_module_resource(LPCWSTR type, LPCWSTR name) {
  for (std::size_t i = 0; i < g_ModuleResourceCount; ++i) {
    const MODULE_RESOURCE& r = g_ModuleResources[i];
    if (same_resource_name(r.type, type) && same_resource_name(r.name, name)) return &r;
  }
  return nullptr;
}

// String tables come in blocks whatever their names, so every block is searched.
std::optional<std::wstring> load_string(WORD id) {
  for (std::size_t i = 0; i < g_ModuleResourceCount; ++i) {
    const MODULE_RESOURCE& r = g_ModuleResources[i];
    if (r.type != RT_STRING || r.data == nullptr) continue;
    const auto* table = static_cast<const STRING_TABLE_RESOURCE*>(r.data);
    for (std::size_t k = 0; k < table->count; ++k) {
      if (table->strings[k].id == id && table->strings[k].text != nullptr) return table->strings[k].text;
    }
  }
  return std::nullopt;
}

}  // namespace kov02::windowing

using namespace kov02::windowing;

HRSRC FindResourceW(HMODULE, LPCWSTR name, LPCWSTR type) {
  const MODULE_RESOURCE* resource = find_module_resource(type, name);
  if (resource == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HRSRC>(const_cast<MODULE_RESOURCE*>(resource));
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
  const auto* entry = reinterpret_cast<const MODULE_RESOURCE*>(resource);
  const std::less<const MODULE_RESOURCE*> before;
  if (entry == nullptr || before(entry, g_ModuleResources) ||
      !before(entry, g_ModuleResources + g_ModuleResourceCount)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return entry->data;
}
