// Log lines: a format text made of literal text, tabs and the conversions the tool uses
// ("%d", "%I64d", "%.*f", "%c", "%s", "%u", "%.3f", "%f", "%%"), with any arguments, built,
// tab-expanded, cut at 997 characters and appended to a store whose room may be nearly
// gone. Nothing may be written past the line buffer; the line always ends in CR LF within
// 999 characters; the store never runs past its end.
#include "core/logtext.h"
#include "fuzz/fuzz_input.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kGuard = 2048;

int formatted(char* line, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = formatLogLine(line, format, args);
    va_end(args);
    return length;
}

void check(const char* format, const std::vector<char>& buffer, int length)
{
    (void)format;
    for (int i = kLogLineBufferSize; i < kLogLineBufferSize + kGuard; ++i)
        if (buffer[static_cast<size_t>(i)] != '#')
            std::abort();   // written past the line buffer
    if (length < 2 || length > kLogMaxLineChars + 2 || buffer[static_cast<size_t>(length)] != '\0' ||
        std::strlen(buffer.data()) != static_cast<size_t>(length) ||
        buffer[static_cast<size_t>(length) - 2] != '\r' || buffer[static_cast<size_t>(length) - 1] != '\n')
        std::abort();
    for (int i = 0; i < length - 2; ++i)
        if (buffer[static_cast<size_t>(i)] == '\t')
            std::abort();   // tabs are expanded
}

// Adds conversions one by one, each with an argument of its own type, up to three; then
// formats the whole.
template <int Left, typename... Args>
int build(FuzzInput& in, std::string& format, std::vector<std::string>& texts,
          std::vector<char>& buffer, Args... args)
{
    while (!in.empty()) {
        const uint8_t token = in.byte();
        if (token < 0x60) {
            format.push_back(token == '%' ? '.' : (token < 0x20 ? '\t' : static_cast<char>(token)));
            continue;
        }
        if constexpr (Left == 0) {
            format += token < 0x80 ? "%%" : "xyz";
            continue;
        } else {
        if (token < 0x68) {
            format += token < 0x64 ? "%%" : "xyz";
            continue;
        }
        switch (token % 9) {
        case 0:
            format += "%d";
            return build<Left - 1>(in, format, texts, buffer, args..., in.value<int>());
        case 1:
            format += "%I64d";
            return build<Left - 1>(in, format, texts, buffer, args..., in.value<long long>());
        case 2:
            format += "%.*f";
            return build<Left - 1>(in, format, texts, buffer, args...,
                         static_cast<int>(in.byte() % 40), in.value<double>());
        case 3:
            format += "%c";
            return build<Left - 1>(in, format, texts, buffer, args..., static_cast<int>(in.byte()));
        case 4: {
            format += "%s";
            texts.push_back(in.text(1500));
            return build<Left - 1>(in, format, texts, buffer, args..., texts.back().c_str());
        }
        case 5:
            format += "%u";
            return build<Left - 1>(in, format, texts, buffer, args..., in.value<unsigned>());
        case 6:
            format += "%.3f";
            return build<Left - 1>(in, format, texts, buffer, args..., in.value<double>());
        case 7:
            format += "%f";
            return build<Left - 1>(in, format, texts, buffer, args..., in.value<double>());
        default:
            format += "%x";
            return build<Left - 1>(in, format, texts, buffer, args..., in.value<unsigned>());
        }
        }
    }
    return formatted(buffer.data(), format.c_str(), args...);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    const int32_t room = in.value<uint16_t>();   // bytes the store has left
    std::vector<char> buffer(static_cast<size_t>(kLogLineBufferSize + kGuard), '#');
    std::string format;
    std::vector<std::string> texts;
    texts.reserve(8);   // the %s arguments keep their addresses
    const int length = build<3>(in, format, texts, buffer);
    check(format.c_str(), buffer, length);

    // The fit rule at the end of the store: the line goes in whole or not at all.
    static LogStore store = [] {
        LogStore made{};
        logStoreCreate(made, std::malloc);
        return made;
    }();
    if (store.buffer == nullptr)
        return 0;
    const int32_t start = room >= kLogBufferSize ? 0 : kLogBufferSize - 1 - room;
    store.used = start;
    store.buffer[start] = '\0';
    int32_t after = 0;
    logStoreAppend(store, buffer.data(), length, &after);
    if (after != start && after != start + length)
        std::abort();
    if (after >= kLogBufferSize || store.buffer[after] != '\0')
        std::abort();
    return 0;
}
