#include "core/log.h"

#include "core/logtext.h"

#include <cstdarg>

static LogStore logStore;

static const char* appendLine(int32_t* textLength, const char* format, va_list args)
{
    return logStoreVPrintf(logStore, textLength, format, args);
}

const char* logPrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const char* text = appendLine(nullptr, format, args);
    va_end(args);
    return text;
}

const char* logVPrintf(const char* format, va_list args)
{
    return appendLine(nullptr, format, args);
}

const char* logAppendLine(const char* line, int32_t length)
{
    return logStoreAdd(logStore, line, length, nullptr);
}

int32_t logRoom()
{
    int32_t length = 0;
    logPeek(&length);
    return kLogBufferSize - length;
}

static const char* fetchLine(int32_t* length, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const char* text = appendLine(length, format, args);
    va_end(args);
    return text;
}

const char* logFetch(int32_t* length)
{
    return fetchLine(length, "");
}

const char* logPeek(int32_t* length)
{
    return logStorePeek(logStore, length);
}
