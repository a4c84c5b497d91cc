// State shared between the test thread and the rest of the program.
#pragma once

#include <atomic>

// True from program load until the message loop has ended; test loops stop once it is false.
extern std::atomic<bool> g_appRunning;
