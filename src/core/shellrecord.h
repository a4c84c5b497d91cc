// The shell record: with KELVARO_SHELL_RECORD naming a file, what kelvaro and kelvaro-report
// would hand to the shell or show in a message box is appended there, a line each, instead, so
// that tests see it and no viewer, browser or dialog starts under Wine. Unset, nothing is
// recorded and the programs do the real thing.
#pragma once

#include <string>

constexpr const char* kShellRecordVariable = "KELVARO_SHELL_RECORD";

// Whether the record is on.
bool shellRecording();
// Appends the line and CR LF to the record; false when the record is off.
bool shellRecord(const std::string& line);
