// UTF-8 <-> wide text, the lossless mapping of Linux names, and the path mappers built on it.
#include "kernel/text.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>

#include "kernel/paths.h"

namespace kov02::kernel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEscapedByte = 0xDC00;  // + a byte that does not decode (0x80..0xFF)

bool valid_code_point(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

bool escaped_byte(char32_t c) {
  return c >= kEscapedByte + 0x80 && c <= kEscapedByte + 0xFF;
}

void append_utf8(std::string& out, char32_t c) {
  if (!valid_code_point(c)) c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes one sequence at `text[i]` and advances `i` past it; a byte that starts no valid
// sequence is consumed alone and comes back as kEscapedByte + byte.
char32_t decode_one(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const int length = lead < 0x80           ? 1
                     : (lead >> 5) == 0x6  ? 2
                     : (lead >> 4) == 0xE  ? 3
                     : (lead >> 3) == 0x1E ? 4
                                           : 0;
  const auto malformed = [&] {
    ++i;
    return kEscapedByte + lead;
  };
  if (length == 0 || i + length > text.size()) return malformed();
  constexpr char32_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  char32_t c = lead & kLeadMask[length];
  for (int k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return malformed();
    c = (c << 6) | (next & 0x3F);
  }
  if (c < kMinimum[length] || !valid_code_point(c)) return malformed();
  i += length;
  return c;
}

bool control_character(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

}  // namespace

std::string to_utf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) append_utf8(out, static_cast<char32_t>(static_cast<std::uint32_t>(c)));
  return out;
}

std::wstring from_utf8(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = decode_one(text, i);
    out += static_cast<wchar_t>(escaped_byte(c) ? kReplacement : c);
  }
  return out;
}

std::wstring native_text(std::string_view bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) out += static_cast<wchar_t>(decode_one(bytes, i));
  return out;
}

std::string native_bytes(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wide : text) {
    const auto c = static_cast<char32_t>(static_cast<std::uint32_t>(wide));
    if (escaped_byte(c)) {
      out += static_cast<char>(c - kEscapedByte);
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

std::string printable(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t c = decode_one(text, i);
    if (!escaped_byte(c) && !control_character(c)) {
      out.append(text.substr(start, i - start));
      continue;
    }
    for (std::size_t k = start; k < i; ++k) {
      const auto byte = static_cast<unsigned char>(text[k]);
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out;
}

std::string json_string(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t c = decode_one(text, i);
    if (c == U'"' || c == U'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else if (escaped_byte(c)) {
      out += "\\ufffd";
    } else {
      out.append(text.substr(start, i - start));
    }
  }
  return out + "\"";
}

std::wstring upper_case(std::wstring_view text) {
  std::wstring out(text);
  for (wchar_t& c : out) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return out;
}

std::size_t copy_out(std::wstring_view from, wchar_t* out, std::size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  const std::size_t count = std::min(from.size(), capacity - 1);
  from.copy(out, count);
  out[count] = L'\0';
  return count;
}

std::string linux_path(std::wstring_view handset) {
  std::string path = native_bytes(handset);
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::wstring handset_path(std::string_view linux) {
  std::wstring path = native_text(linux);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

}  // namespace kov02::kernel
