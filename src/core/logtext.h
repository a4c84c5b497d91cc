// The parts of the log that need no system call: building one line, the fit rule and
// the append into a store. logPrintf uses them on the process-wide store; tests use
// them on stores of their own.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

struct CriticalLock;

constexpr int32_t kLogBufferSize = 10485760;   // the whole log, in bytes
constexpr int kLogLineBufferSize = 1000;       // one line while it is built
constexpr int kLogMaxLineChars = 997;          // room left for "\r\n" and the zero
constexpr int kLogTabStop = 12;

// Rewrites a line in place: each tab becomes spaces up to the next multiple of 12
// columns (a tab already at such a column disappears). The result is cut at
// kLogMaxLineChars characters. Returns the new length minus the old length.
int expandTabs(char* line);

// Copies a printf format, turning the "I64" size prefix into "ll" so that the
// standard formatter prints signed 64-bit values the same way on every platform.
// A format that does not fit is cut before the conversion that would not fit.
void rewriteLogFormat(const char* format, char* out, size_t outSize);

// Formats, expands tabs and appends "\r\n" into a kLogLineBufferSize buffer.
// Returns the line length including the line end (2 to kLogMaxLineChars + 2).
int formatLogLine(char* line, const char* format, va_list args);

// True when a line of lineLength bytes, appended at usedBytes, still leaves room for
// the terminating zero inside the buffer.
bool logLineFits(int32_t usedBytes, int32_t lineLength);

struct LogStore {
    char* buffer;          // kLogBufferSize bytes, or null when it could not be had
    int32_t used;          // text bytes; the terminating zero sits at buffer[used]
    CriticalLock* lock;    // guards used and the bytes it covers
    bool created;          // creation was tried (it is tried once)
};

// Takes the buffer from allocate (filled with '.', text empty) and creates the lock.
// When allocate gives nothing, the store stays without buffer and drops every line.
void logStoreCreate(LogStore& store, void* (*allocate)(size_t));

// Frees the buffer and the lock of a store that is no longer used (tests' own stores;
// the process log is never released).
void logStoreRelease(LogStore& store);

// Appends one built line when it fits; a line that does not fit is dropped whole.
// The line is copied while the lock is held, so a fetch never sees half a line.
// Returns the text (an empty text for a store without buffer); textLength, when
// given, receives the text's length right after this append.
const char* logStoreAppend(LogStore& store, const char* line, int32_t lineLength,
                           int32_t* textLength);

// The text and its length now, appending nothing (an empty text before the store exists).
const char* logStorePeek(LogStore& store, int32_t* textLength);

// logStoreAppend, creating the store on first use.
const char* logStoreAdd(LogStore& store, const char* line, int32_t lineLength,
                        int32_t* textLength);

// formatLogLine and logStoreAdd together.
const char* logStoreVPrintf(LogStore& store, int32_t* textLength, const char* format,
                            va_list args);

// Appends the report's file name "vs%ld%ld.txt" (the two halves of a FILETIME, each as
// a signed 32-bit decimal) to the directory of dirLength characters at the start of
// path. Returns false, leaving path as it was, when the directory length is not below
// capacity or the name and its zero do not fit.
bool appendReportName(char* path, size_t capacity, size_t dirLength, uint32_t lowHalf,
                      uint32_t highHalf);
