// The handset's path form on Linux: no drive, '\' separators ("\opt\kov02\kov02tool" is
// /opt/kov02/kov02tool). Every file call takes its name through linux_path.
#pragma once

#include <string>
#include <string_view>

namespace kov02::kernel {

// A path as the app writes it -> the Linux path (UTF-8, '\' turned into '/').
std::string linux_path(std::wstring_view handset);
// A Linux path -> the form shown to the app ('/' turned into '\').
std::wstring handset_path(std::string_view linux);

}  // namespace kov02::kernel
