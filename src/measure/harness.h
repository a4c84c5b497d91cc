// State shared between the test thread and the rest of the program.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// True from program load until the message loop has ended; test loops stop once it is false.
extern std::atomic<bool> g_appRunning;
// True while a test thread runs; the window procedure sets it before it starts the thread
// (and clears it again when the thread cannot start); the thread clears it when it ends.
extern std::atomic<bool> g_testRunning;

constexpr size_t kTitleTextSize = 500;
constexpr size_t kProgressTextSize = 100;

// The current test's title and progress, which the main window shows. The test thread
// writes them and the paint reads them, both under one small lock, so a paint never
// shows half of one text and half of another.
void setCurrentTitle(const char* title);    // also empties the progress text
void setProgressText(const char* progress);

// The title immediately followed by the progress, cut to fit out (size bytes).
void formatTestLine(char* out, size_t size);

// Logs a test's framed title: an empty line, a rule of the title's length plus 8 '='
// (at most 100), "=== title ===", the rule again and an empty line.
void logTitleFrame(const char* title);

// " -- on %d of %d (%.*f%%)": one decimal when n is above 3000, none otherwise.
void formatProgress(char* out, size_t size, int32_t i, int32_t n);

// Writes the progress text and tells whether a test loop goes on: while the application
// runs and i is below n.
bool testProgress(int32_t i, int32_t n);
