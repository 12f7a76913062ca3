// The program's own module handle: what WinMain receives as its instance and what
// GetModuleFileNameW and the resource look-ups accept for "this program".
#pragma once

#include <kov02/ce.h>

namespace kov02::kernel {

// 0x00010000, the load address of a handset program's image; any non-null value would do, this
// one reads familiarly in a debugger.
HMODULE program_module();
// True for the program's module and for null, which means the program too.
bool is_program_module(HMODULE module);

}  // namespace kov02::kernel
