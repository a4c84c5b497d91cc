// A zero-terminated copy of a fixed-size text field of a system record (a device name,
// a description), which need not be terminated itself.
#pragma once

#include <cstddef>
#include <cstring>

template <size_t Size>
struct FieldText {
    char text[Size + 1];
    explicit FieldText(const char (&field)[Size])
    {
        std::memcpy(text, field, Size);
        text[Size] = '\0';
    }
};
