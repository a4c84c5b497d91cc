// Reading back what the code under test wrote into the process log, and handing
// stand-in functions to the binder.
#pragma once

#include "core/bound.h"
#include "core/log.h"
#include "core/logtext.h"
#include "support/log_row.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Lines that other causes write in between: the binder's, the virtual display's
// announcement and the vsync server's (its display-mode line included).
inline bool isBackgroundLine(const std::string& line)
{
    for (const char* prefix : {"...fnBind(", "virtual.display ", "vsync.", "+vsync", "-vsync", "VSYNC "})
        if (line.compare(0, std::strlen(prefix), prefix) == 0)
            return true;
    return false;
}

// The log as far as it is written now, read without writing to it (other threads may be
// appending: the length comes with the text, so no half line is read).
inline std::string logText()
{
    int32_t length = 0;
    const char* text = logPeek(&length);
    return std::string(text, static_cast<size_t>(length));
}

// The lines appended to the log since the watch was made, without line ends and without
// background lines.
class LogWatch {
public:
    LogWatch() : mark_(logText().size()) {}

    std::vector<std::string> lines() const
    {
        const std::string text = logText().substr(mark_);
        std::vector<std::string> result;
        for (size_t from = 0, end; (end = text.find("\r\n", from)) != std::string::npos;
             from = end + 2) {
            const std::string line = text.substr(from, end - from);
            if (!isBackgroundLine(line))
                result.push_back(line);
        }
        return result;
    }

private:
    size_t mark_;
};

// How often `what` stands in a text (overlapping places counted).
inline int count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// How often text stands in the whole log.
inline int countInLog(const std::string& text)
{
    return count(logText(), text);
}

// The five lines of a test's framed title.
inline std::vector<std::string> titleFrame(const std::string& title)
{
    const std::string rule(title.size() + 8, '=');
    return {"", rule, "=== " + title + " ===", rule, ""};
}

// Expects lines to begin with the framed title and, when given, the header row (its tabs
// expanded as the log holds it). Returns the index of the line after them.
inline size_t expectTitleAndHeader(const std::vector<std::string>& lines, const std::string& title,
                                   const char* header = nullptr)
{
    std::vector<std::string> expected = titleFrame(title);
    if (header != nullptr)
        expected.push_back(logRow("%s", header));
    EXPECT_GE(lines.size(), expected.size()) << "no framed title '" << title << "'";
    if (lines.size() < expected.size())
        return lines.size();
    EXPECT_EQ(expected, std::vector<std::string>(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(expected.size())));
    return expected.size();
}

// Hands the binder a resolver of stand-in functions (null: the system's own lookup) and
// forgets what it bound before.
inline void useResolver(bound::Resolver resolver)
{
    bound::setResolver(resolver);
    bound::resetBindingsForTest();
}

// A stand-in function as the binder's resolver returns it.
template <typename Function>
FARPROC asFarproc(Function function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}
