// Conversions between the handset's wide texts (wchar_t, one code point each on Linux) and the
// UTF-8 bytes Linux speaks.
#pragma once

#include <string>
#include <string_view>

namespace kov02::kernel {

// Invalid code points become U+FFFD.
std::string to_utf8(std::wstring_view text);
// Malformed sequences become U+FFFD, one per offending byte.
std::wstring from_utf8(std::string_view text);

// Linux names (files, folders) are bytes, not always UTF-8. These two map them to wide text and
// back without loss: a byte that does not decode becomes the lone surrogate U+DC00 + byte, which
// no decoded text contains, and turns back into that byte. So native_bytes(native_text(b)) == b
// for every byte string b. Shown to a person (through to_utf8) such a byte reads as U+FFFD.
std::wstring native_text(std::string_view bytes);
std::string native_bytes(std::wstring_view text);

// `text` made safe to write to a terminal: control characters (C0, DEL, C1) and bytes that are
// not UTF-8 are written as \xNN, one escape per byte; the rest is kept.
std::string printable(std::string_view text);

// `text` (UTF-8, any bytes) as a JSON string literal: quotes, backslashes and control characters
// escaped, bytes that are not UTF-8 written as U+FFFD.
std::string json_string(std::string_view text);

// `text` with every character in upper case (towupper): device names are compared and shown so.
std::wstring upper_case(std::wstring_view text);

// Gives text out as the Win32 calls do: what fits of `from` into `out`, `capacity` characters
// with the terminator, and the number of characters copied. Nothing without a buffer or room.
std::size_t copy_out(std::wstring_view from, wchar_t* out, std::size_t capacity);

}  // namespace kov02::kernel
