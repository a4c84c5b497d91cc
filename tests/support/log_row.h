// One line as the log holds it: printf-formatted, its tabs expanded to stops of 12 columns.
#pragma once

#include "core/logtext.h"

#include <cstdarg>
#include <cstdio>
#include <string>

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
