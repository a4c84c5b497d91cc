// kelvaro-report for a user who starts it from Explorer (a log dropped onto it, or opened with
// it) rather than from a command prompt: whether that is how it was started, a file handed to
// the shell to open, and a problem shown in a message box; under the shell record
// (core/shellrecord.h) recorded instead, as "open PATH" and "message TEXT".
#pragma once

#include <string>

// True when the process's console is its own (Explorer started it); false from a command
// prompt, and always off Windows.
bool startedFromExplorer();
void openWithShell(const std::string& path);
void showProblem(const std::string& text);
