// The REGEDIT4 text parser behind registry.h (pure: text in, keys and values or one error out).
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "registry/registry.h"

namespace kov02::registry {

// Keys by folded path below HKEY_LOCAL_MACHINE ("platform\devices"); values by folded name.
// Only keys written in the file are listed: their parents exist without an entry of their own
// (a deep path would otherwise cost the square of its length).
using KeyValues = std::map<std::wstring, Value>;
using Hive = std::map<std::wstring, KeyValues>;

struct ParseError {
  int line = 0;
  std::string message;
};

// Parses a whole file's text (UTF-8, or UTF-16LE with its byte-order mark). Returns false with
// `error` set at the first fault; keys of other roots than HKEY_LOCAL_MACHINE are checked and
// dropped.
bool parse_registry(std::string_view text, Hive* hive, ParseError* error);

// Case folding for key paths and value names.
std::wstring fold(std::wstring_view text);

}  // namespace kov02::registry
