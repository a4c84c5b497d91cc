// The vsync server's status line, which the main window shows as its first line.
#pragma once

#include <cstddef>

constexpr size_t kStatusTextSize = 104;

// Copies the status line (empty until the server has published one) into buffer, which
// holds at least kStatusTextSize bytes, and returns buffer.
char* vsyncGetStatus(char* buffer);

// Publishes a new status line, cut to kStatusTextSize - 1 characters.
void vsyncSetStatusText(const char* text);
