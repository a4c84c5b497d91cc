#include "core/shellrecord.h"

#include <cstdio>
#include <cstdlib>

bool shellRecording()
{
    const char* record = std::getenv(kShellRecordVariable);
    return record != nullptr && *record != '\0';
}

bool shellRecord(const std::string& line)
{
    if (!shellRecording())
        return false;
    if (std::FILE* file = std::fopen(std::getenv(kShellRecordVariable), "ab")) {
        std::fprintf(file, "%s\r\n", line.c_str());
        std::fclose(file);
    }
    return true;
}
