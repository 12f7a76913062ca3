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

}  // namespace kov02::kernel
