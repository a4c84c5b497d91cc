// Reading a whole file in the Win32 and end-to-end tests.
#pragma once

#include <windows.h>

#include <string>

// The file's bytes; empty, with *exists false when asked, when it cannot be opened.
inline std::string readWholeFile(const std::string& path, bool* exists = nullptr)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (exists != nullptr)
        *exists = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    return text;
}
