// Reading back what the code under test wrote into the process log, and handing
// stand-in functions to the binder.
#pragma once

#include "core/log.h"
#include "core/logtext.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// One line as the log holds it: formatted, tabs expanded.
inline std::string logRow(const char* format, ...)
{
    char line[kLogLineBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    expandTabs(line);
    return line;
}

// Lines that other causes write in between: the binder's, the virtual display's
// announcement and the vsync server's (its display-mode line included).
inline bool isBackgroundLine(const std::string& line)
{
    for (const char* prefix : {"...fnBind(", "virtual.display ", "vsync.", "+vsync", "-vsync", "VSYNC "})
        if (line.compare(0, std::strlen(prefix), prefix) == 0)
            return true;
    return false;
}

// The lines appended to the log since the watch was made, without line ends, without
// background lines and without the empty line of the fetch itself.
class LogWatch {
public:
    LogWatch() : mark_(std::strlen(logPrintf(""))) {}

    std::vector<std::string> lines() const
    {
        const std::string text = std::string(logPrintf("")).substr(mark_);
        std::vector<std::string> result;
        for (size_t from = 0, end; (end = text.find("\r\n", from)) != std::string::npos;
             from = end + 2) {
            const std::string line = text.substr(from, end - from);
            if (!isBackgroundLine(line))
                result.push_back(line);
        }
        if (!result.empty())
            result.pop_back();
        return result;
    }

private:
    size_t mark_;
};

// How often text stands in the whole log.
inline int countInLog(const std::string& text)
{
    const std::string log = logPrintf("");
    int count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++count;
    return count;
}

// A stand-in function as the binder's resolver returns it.
template <typename Function>
FARPROC asFarproc(Function function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}
