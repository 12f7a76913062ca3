// REGEDIT4 / "Windows Registry Editor Version 5.00" text: [key] lines, "name"=value lines with
// string, dword: and hex: data, '\' continuation of hex data, ';' comments. The program never
// guesses at a file it cannot read fully: the first fault ends the parse with its line number.
#include "registry/reg_parser.h"

#include <array>
#include <cwctype>
#include <vector>

#include "kernel/text.h"

namespace kov02::registry {
namespace {

constexpr std::wstring_view kBlank = L" \t\r";

std::wstring_view trim(std::wstring_view text) {
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::wstring_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

bool blank_or_comment(std::wstring_view rest) {
  rest = trim(rest);
  return rest.empty() || rest.front() == L';';
}

bool starts_with_folded(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && fold(text.substr(0, prefix.size())) == prefix;
}

int hex_digit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// UTF-16LE units to code points: a surrogate pair is one character outside the basic plane; a
// lone surrogate or an odd last byte becomes U+FFFD, so it shows in any text it lands in.
std::wstring decode_utf16le(std::string_view bytes) {
  std::wstring out;
  const auto unit = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) |
                                 static_cast<unsigned char>(bytes[i + 1]) << 8);
  };
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
        unit(i + 2) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    out += static_cast<wchar_t>(c);
  }
  if (i < bytes.size()) out += L'\uFFFD';
  return out;
}

// Decodes the whole file into wide text: UTF-16LE when it starts with that byte-order mark
// (what registry editors export), UTF-8 otherwise. Bytes that are not UTF-8 are kept as the
// platform keeps them in file names, so a path value naming such a folder still opens it.
std::wstring decode(std::string_view text) {
  if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') return decode_utf16le(text.substr(2));
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return kernel::native_text(text);
}

std::vector<std::wstring_view> split_lines(std::wstring_view text) {
  std::vector<std::wstring_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find(L'\n');
    lines.push_back(text.substr(0, end));
    if (end == std::wstring_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

class Parser {
 public:
  Parser(std::vector<std::wstring_view> lines, Hive* hive) : lines_(std::move(lines)), hive_(hive) {}
  bool run(ParseError* error);

 private:
  bool fail(std::string message) {
    error_ = {static_cast<int>(index_ + 1), std::move(message)};
    return false;
  }
  bool parse_line(std::wstring_view line);
  bool parse_key(std::wstring_view line);
  bool parse_value(std::wstring_view line);
  bool parse_quoted(std::wstring_view& rest, std::wstring* out);
  bool parse_data(std::wstring_view rest, Value* value);
  bool parse_dword(std::wstring_view rest, Value* value);
  bool parse_hex(std::wstring_view rest, Value* value);
  bool join_continued(std::wstring_view first, std::wstring* joined);

  std::vector<std::wstring_view> lines_;
  Hive* hive_;
  std::size_t index_ = 0;
  bool header_seen_ = false;
  bool in_key_ = false;
  KeyValues* key_ = nullptr;  // null inside a key of another root: its values are dropped
  ParseError error_;
};

bool Parser::run(ParseError* error) {
  for (index_ = 0; index_ < lines_.size(); ++index_) {
    if (!parse_line(trim(lines_[index_]))) {
      *error = error_;
      return false;
    }
  }
  if (header_seen_) return true;
  index_ = 0;
  fail("missing REGEDIT4 header");
  *error = error_;
  return false;
}

bool Parser::parse_line(std::wstring_view line) {
  if (line.empty() || line.front() == L';') return true;
  if (!header_seen_) {
    if (line != L"REGEDIT4" && line != L"Windows Registry Editor Version 5.00") {
      return fail("missing REGEDIT4 header");
    }
    header_seen_ = true;
    return true;
  }
  if (line.front() == L'[') return parse_key(line);
  if (line.front() == L'"' || line.front() == L'@') return parse_value(line);
  return fail("unrecognised line");
}

bool Parser::parse_key(std::wstring_view line) {
  const std::size_t close = line.find(L']');
  if (close == std::wstring_view::npos) return fail("unterminated key name");
  if (!blank_or_comment(line.substr(close + 1))) return fail("unexpected text after key name");
  if (line.substr(0, close).find(L'\0') != std::wstring_view::npos) return fail("NUL character in key name");
  const std::wstring path = fold(line.substr(1, close - 1));
  if (!path.empty() && path.front() == L'-') return fail("key deletion is not supported");
  const std::size_t slash = path.find(L'\\');
  const std::wstring root = path.substr(0, slash);
  constexpr std::array<std::wstring_view, 4> kOtherRoots = {L"hkey_current_user", L"hkey_classes_root",
                                                            L"hkey_users", L"hkey_current_config"};
  in_key_ = true;
  key_ = nullptr;
  if (root != L"hkey_local_machine") {
    for (std::wstring_view other : kOtherRoots) {
      if (root == other) return true;
    }
    return fail("unknown root key \"" +
                kernel::to_utf8(line.substr(1, slash == std::wstring::npos ? close - 1 : slash)) + "\"");
  }
  const std::wstring below = slash == std::wstring::npos ? L"" : path.substr(slash + 1);
  if (below.find(L"\\\\") != std::wstring::npos || (!below.empty() && below.back() == L'\\')) {
    return fail("empty key name in path");
  }
  key_ = &(*hive_)[below];
  return true;
}

bool Parser::parse_value(std::wstring_view line) {
  if (!in_key_) return fail("value outside a key");
  std::wstring name;
  std::wstring_view rest = line;
  if (rest.front() == L'@') {
    rest.remove_prefix(1);
  } else if (!parse_quoted(rest, &name)) {
    return false;
  }
  rest = trim(rest);
  if (rest.empty() || rest.front() != L'=') return fail("missing '=' after value name");
  Value value;
  if (!parse_data(trim(rest.substr(1)), &value)) return false;
  if (key_) (*key_)[fold(name)] = std::move(value);
  return true;
}

// Reads a quoted text at the start of `rest` (\\ and \" escapes) and leaves `rest` after it.
bool Parser::parse_quoted(std::wstring_view& rest, std::wstring* out) {
  for (std::size_t i = 1; i < rest.size(); ++i) {
    if (rest[i] == L'"') {
      rest.remove_prefix(i + 1);
      return true;
    }
    if (rest[i] == L'\\') {
      if (i + 1 >= rest.size()) break;
      if (rest[i + 1] != L'\\' && rest[i + 1] != L'"') return fail("unknown escape in string");
      ++i;
    }
    // A NUL would end the text early for every caller that reads it as a C string.
    if (rest[i] == L'\0') return fail("NUL character in string");
    *out += rest[i];
  }
  return fail("unterminated string");
}

bool Parser::parse_data(std::wstring_view rest, Value* value) {
  if (!rest.empty() && rest.front() == L'"') {
    std::wstring text;
    if (!parse_quoted(rest, &text)) return false;
    if (!blank_or_comment(rest)) return fail("unexpected text after value");
    value->type = REG_SZ;
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    value->data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return true;
  }
  if (starts_with_folded(rest, L"dword:")) return parse_dword(rest.substr(6), value);
  if (starts_with_folded(rest, L"hex:")) return parse_hex(rest.substr(4), value);
  if (starts_with_folded(rest, L"hex(")) return fail("unsupported value type (only string, dword: and hex:)");
  if (!rest.empty() && rest.front() == L'-') return fail("value deletion is not supported");
  return fail("unknown value type");
}

bool Parser::parse_dword(std::wstring_view rest, Value* value) {
  std::size_t digits = 0;
  DWORD number = 0;
  while (digits < rest.size() && hex_digit(rest[digits]) >= 0) {
    number = number << 4 | static_cast<DWORD>(hex_digit(rest[digits]));
    ++digits;
  }
  if (digits == 0 || digits > 8 || !blank_or_comment(rest.substr(digits))) return fail("bad dword value");
  value->type = REG_DWORD;
  value->data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8), static_cast<BYTE>(number >> 16),
                 static_cast<BYTE>(number >> 24)};
  return true;
}

// Gathers hex data over continuation lines (a trailing '\'), comments removed.
bool Parser::join_continued(std::wstring_view first, std::wstring* joined) {
  std::wstring_view piece = first;
  for (;;) {
    piece = trim(piece.substr(0, piece.find(L';')));
    if (piece.empty() || piece.back() != L'\\') {
      *joined += piece;
      return true;
    }
    *joined += piece.substr(0, piece.size() - 1);
    if (++index_ >= lines_.size()) {
      --index_;
      return fail("continuation at end of file");
    }
    piece = lines_[index_];
  }
}

bool Parser::parse_hex(std::wstring_view rest, Value* value) {
  std::wstring joined;
  if (!join_continued(rest, &joined)) return false;
  value->type = REG_BINARY;
  std::wstring_view list = joined;
  while (!list.empty()) {
    const std::size_t comma = list.find(L',');
    const std::wstring_view item = trim(list.substr(0, comma));
    const bool last = comma == std::wstring_view::npos;
    list = last ? std::wstring_view{} : list.substr(comma + 1);
    if (item.empty() && last) break;  // a trailing comma
    if (item.empty() || item.size() > 2 || hex_digit(item[0]) < 0 ||
        (item.size() == 2 && hex_digit(item[1]) < 0)) {
      return fail("bad hex byte \"" + kernel::to_utf8(item) + "\"");
    }
    value->data.push_back(static_cast<BYTE>(item.size() == 1 ? hex_digit(item[0])
                                                             : hex_digit(item[0]) << 4 | hex_digit(item[1])));
  }
  return true;
}

}  // namespace

std::wstring fold(std::wstring_view text) {
  std::wstring folded(text);
  for (wchar_t& c : folded) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return folded;
}

bool parse_registry(std::string_view text, Hive* hive, ParseError* error) {
  const std::wstring wide = decode(text);
  Parser parser(split_lines(wide), hive);
  return parser.run(error);
}

}  // namespace kov02::registry
