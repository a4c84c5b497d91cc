// The in-memory log: one 10 MiB text buffer that every thread appends whole lines to.
#pragma once

#include <cstdarg>
#include <cstdint>

// Formats one printf-style line ("%I64d" prints a signed 64-bit value), expands its
// tabs to stops every 12 columns, appends "\r\n" and adds it to the log. Returns the
// whole log text, zero-terminated; the pointer is the same on every call. An empty
// format appends an empty line, which is how callers fetch the text.
const char* logPrintf(const char* format, ...);

// logPrintf with the values already gathered, for callers that wrap it.
const char* logVPrintf(const char* format, va_list args);

// Appends one line already built by formatLogLine ("\r\n" included), under the same fit
// rule: for callers that build a line before they know whether to log it.
const char* logAppendLine(const char* line, int32_t length);

// Bytes the log can still take: the buffer's size less its text.
int32_t logRoom();

// Appends an empty line like logPrintf("") and also gives the length of the text up to
// and including that line. Lines that other threads append afterwards are not part of
// that length, so the caller can copy exactly the text as it stood at the fetch.
const char* logFetch(int32_t* length);

// The text as far as it is written now, and its length, without appending anything: for
// tests that watch the log while other threads write to it.
const char* logPeek(int32_t* length);

// Writes the whole log into a new file in the temporary directory, opens it with the
// shell and deletes it a second later. Called once, at exit.
void writeReport();
