// kelvaro-report for a user who starts it from Explorer (a log dropped onto it, or opened with
// it) rather than from a command prompt: whether that is how it was started, a file handed to
// the shell to open, and a problem shown in a message box. With KELVARO_SHELL_RECORD naming a
// file, the shell calls and messages are recorded there instead ("open PATH", "message TEXT"),
// as the tool's own are, so that tests see them and nothing starts or waits under Wine.
#pragma once

#include <string>

// True when the process's console is its own (Explorer started it); false from a command
// prompt, and always off Windows.
bool startedFromExplorer();
void openWithShell(const std::string& path);
void showProblem(const std::string& text);
