// Reading the tool's page back from a capture of its window: the ink a line of text leaves
// when drawn as the tool's paint draws it (the default font of a DC, the system font), and
// whether a line of the page begins with a given text.
#pragma once

#include "e2e/driver.h"

#include <windows.h>

#include <string>
#include <vector>

// Which pixels of a line of text are ink, as the tool's paint draws it: the default font
// of a DC (the system font), dark on the window's light background. Rows from the top.
struct Ink {
    int width = 0;
    int height = 0;
    std::vector<bool> at;   // width * height
    bool operator()(int x, int y) const { return at[static_cast<size_t>(y) * width + x]; }
};

inline Ink renderInk(const std::string& text)
{
    Ink ink;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    SelectObject(dc, GetStockObject(SYSTEM_FONT));
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = -size.cy;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(dc, bitmap);
        RECT all = {0, 0, size.cx, size.cy};
        FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(0, 0, 0));
        TextOutA(dc, 0, 0, text.c_str(), static_cast<int>(text.size()));
        GdiFlush();
        ink.width = size.cx;
        ink.height = size.cy;
        const unsigned* pixels = static_cast<const unsigned*>(bits);
        for (int i = 0; i < size.cx * size.cy; ++i)
            ink.at.push_back((pixels[i] & 0xFFFFFF) != 0xFFFFFF);
        SelectObject(dc, old);
        DeleteObject(bitmap);
    }
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return ink;
}

// Whether text line `line` of the page (0: the status line, 2: the test line) begins with
// this text: the rendered text's ink, from its first inked column on, against the line's
// from its first inked column on (the marker in the top left corner left out). Gives the
// share of pixels that differ; 1 when there is nothing to compare.
inline double textLineDiffers(const Capture& capture, int line, const std::string& text)
{
    const Ink ink = renderInk(text);
    if (ink.width == 0 || capture.height < ink.height)
        return 1.0;
    // The background from the page's empty second line (the window may reach past the
    // screen, where the capture is black).
    const int top = line * ink.height;
    if (capture.height < top + ink.height || capture.height < 2 * ink.height)
        return 1.0;
    const unsigned background = capture.at(20, ink.height + ink.height / 2);
    const auto firstInked = [](int width, int height, auto inked) {
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y)
                if (inked(x, y))
                    return x;
        return -1;
    };
    const int rendered = firstInked(ink.width, ink.height, [&](int x, int y) { return ink(x, y); });
    const int captured = firstInked(capture.width, ink.height, [&](int x, int y) {
        return x >= 8 && capture.at(x, top + y) != background;
    });
    if (rendered < 0 || captured < 0 || captured - rendered + ink.width > capture.width)
        return 1.0;
    int differ = 0, compared = 0;
    for (int x = rendered; x < ink.width; ++x) {
        for (int y = 0; y < ink.height; ++y) {
            const bool shown = capture.at(captured - rendered + x, top + y) != background;
            differ += shown != ink(x, y) ? 1 : 0;
            ++compared;
        }
    }
    return static_cast<double>(differ) / compared;
}

