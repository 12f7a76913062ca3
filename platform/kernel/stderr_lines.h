// The program's own lines on stderr, in one of two forms: plain text for a person ("kov02tool:
// warning: ..."), or, for a program that reads them, one JSON object a line. In the JSON form
// every line another part writes (a warning, a hook's output, a drop report) is wrapped as
// {"event":"message","text":...}, and the events a scripted run reports go out as they are.
#pragma once

#include <string>
#include <string_view>

namespace kov02::kernel {

// One line of the program's own on stderr, "kov02tool: LINE", queued: never waits for a reader.
void stderr_line(std::string_view line);
// The same, written at once while stderr is plain text (a warning as a port or file is opened, so
// it stands before what follows); queued like any other line while stderr carries JSON.
void stderr_notice(std::string_view line);

// From now on every line on stderr is one JSON object, and debug output bound for stderr is left
// out. Call it before anything is written to stderr.
void use_json_on_stderr();
bool json_on_stderr();

// One line of the program's own (without its line break) that goes out on stderr as it is,
// queued; while stderr carries JSON it must be one JSON object.
void stderr_record(std::string_view line);

}  // namespace kov02::kernel
