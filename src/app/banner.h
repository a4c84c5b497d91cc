// The startup banner's lines that need no system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

struct WindowsVersion {
    int major;
    int minor;
    int build;
};

// Splits a GetVersion result: major in bits 0-7, minor in bits 8-15, the build in bits
// 16-31 unless bit 31 is set, in which case the build is 0.
WindowsVersion decodeWindowsVersion(uint32_t version);

// Formats a broken-down time as the C standard's asctime does:
// "Www Mmm dd hh:mm:ss yyyy\n", the day padded with a blank to two places.
void formatAsctime(const std::tm& when, char* out, size_t outSize);

// Logs the current local time in the asctime form, without its newline.
void logLocalTime();

// Logs "Windows Version %d.%d build %d" for a GetVersion result.
void logVersionLine(uint32_t version);
