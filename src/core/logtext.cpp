#include "core/logtext.h"

#include "core/lock.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int expandTabs(char* line)
{
    char work[kLogLineBufferSize];
    int in = 0;
    int out = 0;
    for (; line[in] != '\0'; ++in) {
        if (line[in] == '\t') {
            while (out % kLogTabStop != 0 && out < kLogMaxLineChars)
                work[out++] = ' ';
        } else if (out < kLogMaxLineChars) {
            work[out++] = line[in];
        }
    }
    work[out] = '\0';
    std::memcpy(line, work, static_cast<size_t>(out) + 1);
    return out - in;
}

void rewriteLogFormat(const char* format, char* out, size_t outSize)
{
    if (outSize == 0)
        return;
    size_t o = 0;
    size_t specStart = 0;    // where the conversion being copied began in out
    bool inSpec = false;
    for (const char* p = format; *p != '\0'; ++p) {
        if (o + 1 >= outSize) {
            if (inSpec)
                o = specStart;    // never leave half a conversion behind
            break;
        }
        if (!inSpec) {
            if (*p == '%') {
                inSpec = true;
                specStart = o;
            }
            out[o++] = *p;
            continue;
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            out[o++] = 'l';
            out[o++] = 'l';
            p += 2;
            if (o + 1 >= outSize) {
                o = specStart;
                break;
            }
            continue;
        }
        out[o++] = *p;
        // A conversion ends with its conversion letter (or the second '%' of "%%").
        if (std::strchr("diouxXeEfFgGaAcspn%", *p) != nullptr)
            inSpec = false;
    }
    if (inSpec)
        o = specStart;    // a conversion cut short by the end of the format
    out[o] = '\0';
}

int formatLogLine(char* line, const char* format, va_list args)
{
    char rewritten[kLogLineBufferSize];
    rewriteLogFormat(format, rewritten, sizeof rewritten);
    if (std::vsnprintf(line, kLogLineBufferSize, rewritten, args) < 0)
        line[0] = '\0';
    // The line is the text up to its first zero, which a "%c" of 0 can put anywhere: measure
    // what is there, never trust the formatter's count. Tab expansion cuts it to 997.
    expandTabs(line);
    int length = static_cast<int>(std::strlen(line));
    line[length++] = '\r';
    line[length++] = '\n';
    line[length] = '\0';
    return length;
}

bool logLineFits(int32_t usedBytes, int32_t lineLength)
{
    return static_cast<int64_t>(usedBytes) + lineLength + 1 < kLogBufferSize;
}

void logStoreCreate(LogStore& store, void* (*allocate)(size_t))
{
    store.created = true;
    store.used = 0;
    store.buffer = static_cast<char*>(allocate(kLogBufferSize));
    if (store.buffer == nullptr)
        return;
    std::memset(store.buffer, '.', kLogBufferSize);
    store.buffer[0] = '\0';
    store.lock = lockCreate(100);
}

void logStoreRelease(LogStore& store)
{
    std::free(store.buffer);
    if (store.lock != nullptr)
        lockDestroy(store.lock);
    store = LogStore{};
}

const char* logStoreAppend(LogStore& store, const char* line, int32_t lineLength,
                           int32_t* textLength)
{
    if (store.buffer == nullptr) {
        if (textLength != nullptr)
            *textLength = 0;
        return "";
    }
    lockEnter(store.lock);
    const int32_t start = store.used;
    if (logLineFits(start, lineLength)) {
        std::memcpy(store.buffer + start, line, static_cast<size_t>(lineLength));
        store.used = start + lineLength;
    }
    store.buffer[store.used] = '\0';
    if (textLength != nullptr)
        *textLength = store.used;
    lockLeave(store.lock);
    return store.buffer;
}

const char* logStorePeek(LogStore& store, int32_t* textLength)
{
    if (store.buffer == nullptr) {
        *textLength = 0;
        return "";
    }
    lockEnter(store.lock);
    *textLength = store.used;
    lockLeave(store.lock);
    return store.buffer;
}

const char* logStoreAdd(LogStore& store, const char* line, int32_t lineLength,
                        int32_t* textLength)
{
    // Created lazily by the first call, which the startup banner makes before any
    // other thread exists.
    if (!store.created)
        logStoreCreate(store, std::malloc);
    return logStoreAppend(store, line, lineLength, textLength);
}

const char* logStoreVPrintf(LogStore& store, int32_t* textLength, const char* format,
                            va_list args)
{
    char line[kLogLineBufferSize];
    const int length = formatLogLine(line, format, args);
    return logStoreAdd(store, line, length, textLength);
}

bool appendReportName(char* path, size_t capacity, size_t dirLength, uint32_t lowHalf,
                      uint32_t highHalf)
{
    if (dirLength >= capacity)
        return false;
    char name[40];
    std::snprintf(name, sizeof name, "vs%ld%ld.txt",
                  static_cast<long>(static_cast<int32_t>(lowHalf)),
                  static_cast<long>(static_cast<int32_t>(highHalf)));
    const size_t nameLength = std::strlen(name);
    if (dirLength + nameLength + 1 > capacity)
        return false;
    std::memcpy(path + dirLength, name, nameLength + 1);
    return true;
}
