// The handset's wide-character formatter, shared by wsprintfW, wnsprintfW and the app's Trace.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace kov02::kernel {

// Formats into `buffer`, which holds `size` characters including the terminator, and never
// writes past it. Returns the count of characters written (terminator excluded), or -1 when
// the output was cut; the buffer is terminated either way whenever `size` > 0.
//
// Conversions: %s (wide string; %hs and %S narrow), %c (wide character; %hc and %C narrow),
// %d %i %u %x %X, %%; flags '-', '0', '#'; a width and a precision in digits. 'l' means
// 32 bits on the handset, so %ld and %lX read an int or unsigned, exactly what DWORD callers pass.
// An unknown conversion character is written as itself.
int format_wide(wchar_t* buffer, std::size_t size, const wchar_t* format, va_list args);

}  // namespace kov02::kernel
