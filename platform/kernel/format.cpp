// The handset's wsprintfW semantics on top of one bounded formatter.
#include "kernel/format.h"

#include <kov02/ce.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <string_view>
#include <type_traits>

namespace kov02::kernel {
namespace {

// The handset's wsprintfW assumes this many characters of room.
constexpr std::size_t kWsprintfBufferChars = 1024;

// Appends into a bounded buffer, remembering whether anything had to be dropped.
class Output {
 public:
  Output(wchar_t* buffer, std::size_t size) : buffer_(buffer), room_(size == 0 ? 0 : size - 1) {}
  void put(wchar_t c) {
    if (length_ < room_) {
      buffer_[length_++] = c;
    } else {
      cut_ = true;
    }
  }
  void repeat(wchar_t c, int count) {
    for (int i = 0; i < count; ++i) put(c);
  }
  int finish(bool has_room) {
    if (has_room) buffer_[length_] = L'\0';
    return cut_ ? -1 : static_cast<int>(length_);
  }

 private:
  wchar_t* buffer_;
  std::size_t room_;
  std::size_t length_ = 0;
  bool cut_ = false;
};

struct Field {
  bool left = false;
  bool zero = false;
  bool alternate = false;
  int width = 0;
  int precision = -1;
  bool narrow = false;
  bool wide = false;
  wchar_t conversion = 0;
};

int read_digits(const wchar_t*& p) {
  int value = 0;
  while (*p >= L'0' && *p <= L'9') {
    if (value < 100000) value = value * 10 + (*p - L'0');
    ++p;
  }
  return value;
}

// Parses what follows a '%'; leaves `p` after the conversion character.
Field parse_field(const wchar_t*& p) {
  Field field;
  for (;; ++p) {
    if (*p == L'-') {
      field.left = true;
    } else if (*p == L'0') {
      field.zero = true;
    } else if (*p == L'#') {
      field.alternate = true;
    } else {
      break;
    }
  }
  field.width = read_digits(p);
  if (*p == L'.') {
    ++p;
    field.precision = read_digits(p);
  }
  for (;; ++p) {
    if (*p == L'l' || *p == L'w') {
      field.wide = true;
    } else if (*p == L'h') {
      field.narrow = true;
    } else {
      break;
    }
  }
  field.conversion = *p;
  if (*p != L'\0') ++p;
  return field;
}

// Writes `body` (already converted) padded to the field width. `prefix` (sign or 0x) goes before
// zero padding, which only numbers take.
void emit_field(Output& out, const Field& field, std::wstring_view prefix, std::wstring_view body,
                bool number) {
  const int length = static_cast<int>(prefix.size() + body.size());
  const int pad = field.width > length ? field.width - length : 0;
  const bool zero_pad = number && field.zero && !field.left;
  if (!field.left && !zero_pad) out.repeat(L' ', pad);
  for (wchar_t c : prefix) out.put(c);
  if (zero_pad) out.repeat(L'0', pad);
  for (wchar_t c : body) out.put(c);
  if (field.left) out.repeat(L' ', pad);
}

void emit_number(Output& out, const Field& field, std::uint32_t magnitude, bool negative) {
  const bool hex = field.conversion == L'x' || field.conversion == L'X';
  const wchar_t* digits = field.conversion == L'X' ? L"0123456789ABCDEF" : L"0123456789abcdef";
  const std::uint32_t base = hex ? 16 : 10;
  wchar_t text[48];
  int start = 48;
  do {
    text[--start] = digits[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  const int precision = field.precision > 32 ? 32 : field.precision;
  while (48 - start < precision) text[--start] = L'0';
  std::wstring_view prefix = negative ? L"-" : L"";
  if (hex && field.alternate) prefix = field.conversion == L'X' ? L"0X" : L"0x";
  emit_field(out, field, prefix, std::wstring_view(text + start, 48 - start), true);
}

// Reads at most `limit` characters of a string argument: with a precision the argument need
// not be terminated, so nothing past it may be touched.
template <class Char>
std::wstring read_string_arg(const Char* text, std::size_t limit) {
  std::wstring converted;
  for (const Char* c = text; converted.size() < limit && *c; ++c)
    converted += static_cast<wchar_t>(static_cast<std::make_unsigned_t<Char>>(*c));
  return converted;
}

void emit_string(Output& out, const Field& field, va_list& args) {
  const std::size_t limit = field.precision >= 0 ? static_cast<std::size_t>(field.precision) : SIZE_MAX;
  const bool narrow = field.narrow || (field.conversion == L'S' && !field.wide);
  std::wstring converted;
  if (narrow) {
    const char* text = va_arg(args, const char*);
    converted = read_string_arg(text ? text : "(null)", limit);
  } else {
    const wchar_t* text = va_arg(args, const wchar_t*);
    converted = read_string_arg(text ? text : L"(null)", limit);
  }
  emit_field(out, field, L"", converted, false);
}

void emit_conversion(Output& out, const Field& field, va_list& args) {
  switch (field.conversion) {
    case L'd':
    case L'i': {
      const int value = va_arg(args, int);
      const auto magnitude =
          value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
      emit_number(out, field, magnitude, value < 0);
      break;
    }
    case L'u':
    case L'x':
    case L'X':
      emit_number(out, field, va_arg(args, unsigned), false);
      break;
    case L's':
    case L'S':
      emit_string(out, field, args);
      break;
    case L'c':
    case L'C': {
      const int value = va_arg(args, int);
      const bool narrow = field.narrow || (field.conversion == L'C' && !field.wide);
      const wchar_t c =
          narrow ? static_cast<wchar_t>(static_cast<unsigned char>(value)) : static_cast<wchar_t>(value);
      emit_field(out, field, L"", std::wstring_view(&c, 1), false);
      break;
    }
    case L'\0':
      break;
    default:
      out.put(field.conversion);
  }
}

}  // namespace

int format_wide(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args) {
  if (!buffer) return -1;
  Output out(buffer, size);
  if (!format) return out.finish(size > 0);
  va_list cursor;
  va_copy(cursor, args);
  for (const wchar_t* p = format; *p;) {
    if (*p != L'%') {
      out.put(*p++);
      continue;
    }
    ++p;
    const Field field = parse_field(p);
    emit_conversion(out, field, cursor);
  }
  va_end(cursor);
  return out.finish(size > 0);
}

namespace {

int format_handset_buffer(wchar_t* buffer, const wchar_t* format, va_list args) {
  const int written = format_wide(buffer, kWsprintfBufferChars, format, args);
  // A cut wsprintfW still reports what it stored, as the handset's does.
  return written >= 0 ? written : static_cast<int>(std::wcslen(buffer));
}

}  // namespace

}  // namespace kov02::kernel

int wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
  if (!buffer) return 0;
  va_list args;
  va_start(args, format);
  const int written = kov02::kernel::format_handset_buffer(buffer, format, args);
  va_end(args);
  return written;
}

int wnsprintfW(LPWSTR buffer, int size, LPCWSTR format, ...) {
  if (!buffer || size <= 0) return -1;
  va_list args;
  va_start(args, format);
  const int written = kov02::kernel::format_wide(buffer, static_cast<std::size_t>(size), format, args);
  va_end(args);
  return written;
}
