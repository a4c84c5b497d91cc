// 16-colour icons: the pictures and the .ico file that carries them.
#include "app/resgen/icon.h"

#include <cmath>

const uint8_t kIconPalette[16][3] = {
    {0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
    {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
    {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
};

namespace {

constexpr uint32_t kIconDirSize = 6;
constexpr uint32_t kIconEntrySize = 16;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kPaletteSize = 16 * 4;

void putU8(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

void putU16(std::vector<uint8_t>& out, uint32_t value)
{
    putU8(out, value);
    putU8(out, value >> 8);
}

void putU32(std::vector<uint8_t>& out, uint32_t value)
{
    putU16(out, value & 0xFFFF);
    putU16(out, value >> 16);
}

// Row sizes, padded to whole 32-bit words.
uint32_t colourRowBytes(int width)
{
    return (static_cast<uint32_t>(width) * 4 + 31) / 32 * 4;
}

uint32_t maskRowBytes(int width)
{
    return (static_cast<uint32_t>(width) + 31) / 32 * 4;
}

uint32_t imageBytes(const IconImage& image)
{
    const uint32_t rows = static_cast<uint32_t>(image.height);
    const uint32_t rowBytes = colourRowBytes(image.width) + maskRowBytes(image.width);
    return kInfoHeaderSize + kPaletteSize + rows * rowBytes;
}

void putImage(std::vector<uint8_t>& out, const IconImage& image)
{
    const uint32_t colourRow = colourRowBytes(image.width);
    const uint32_t maskRow = maskRowBytes(image.width);
    const uint32_t rows = static_cast<uint32_t>(image.height);

    putU32(out, kInfoHeaderSize);
    putU32(out, static_cast<uint32_t>(image.width));
    putU32(out, 2 * rows);    // the colour bitmap and the mask, stacked
    putU16(out, 1);           // planes
    putU16(out, 4);           // bits per pixel
    putU32(out, 0);           // BI_RGB
    putU32(out, rows * (colourRow + maskRow));
    putU32(out, 0);    // pixels per metre, x and y
    putU32(out, 0);
    putU32(out, 0);    // colours used: 0 means all 16
    putU32(out, 0);    // colours important

    for (const auto& rgb : kIconPalette) {
        putU8(out, rgb[2]);
        putU8(out, rgb[1]);
        putU8(out, rgb[0]);
        putU8(out, 0);
    }

    // Colour bitmap, bottom row first, two pixels per byte with the left one high.
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(colourRow, 0);
        for (int x = 0; x < image.width; ++x) {
            const size_t at = static_cast<size_t>(y) * image.width + x;
            const uint8_t index =
                image.transparent[at] ? 0 : static_cast<uint8_t>(image.colour[at] & 0x0F);
            row[x / 2] |= static_cast<uint8_t>(x % 2 == 0 ? index << 4 : index);
        }
        out.insert(out.end(), row.begin(), row.end());
    }

    // AND mask, bottom row first, the leftmost pixel in the high bit; 1 is transparent.
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(maskRow, 0);
        for (int x = 0; x < image.width; ++x) {
            if (image.transparent[static_cast<size_t>(y) * image.width + x])
                row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
        out.insert(out.end(), row.begin(), row.end());
    }
}

// Drawing on an image; everything is clipped to the image.
struct Canvas {
    IconImage& image;

    void plot(int x, int y, uint8_t colour)
    {
        if (x < 0 || y < 0 || x >= image.width || y >= image.height)
            return;
        const size_t at = static_cast<size_t>(y) * image.width + x;
        image.colour[at] = colour;
        image.transparent[at] = 0;
    }

    void fill(int left, int top, int right, int bottom, uint8_t colour)
    {
        for (int y = top; y <= bottom; ++y)
            for (int x = left; x <= right; ++x)
                plot(x, y, colour);
    }

    void frame(int left, int top, int right, int bottom, uint8_t colour)
    {
        fill(left, top, right, top, colour);
        fill(left, bottom, right, bottom, colour);
        fill(left, top, left, bottom, colour);
        fill(right, top, right, bottom, colour);
    }

    // A vertical run from y0 to y1 in either order.
    void column(int x, int y0, int y1, uint8_t colour)
    {
        fill(x, y0 < y1 ? y0 : y1, x, y0 < y1 ? y1 : y0, colour);
    }
};

}    // namespace

IconImage iconBlank(int width, int height)
{
    IconImage image;
    image.width = width;
    image.height = height;
    const size_t pixels = static_cast<size_t>(width) * height;
    image.colour.assign(pixels, kIconBlack);
    image.transparent.assign(pixels, 1);
    return image;
}

std::vector<uint8_t> iconBuildFile(const std::vector<IconImage>& images)
{
    std::vector<uint8_t> out;
    putU16(out, 0);    // reserved
    putU16(out, 1);    // icon, not cursor
    putU16(out, static_cast<uint32_t>(images.size()));

    uint32_t offset = kIconDirSize + kIconEntrySize * static_cast<uint32_t>(images.size());
    for (const IconImage& image : images) {
        const uint32_t bytes = imageBytes(image);
        putU8(out, image.width >= 256 ? 0 : image.width);    // 0 stands for 256
        putU8(out, image.height >= 256 ? 0 : image.height);
        putU8(out, 16);    // colours
        putU8(out, 0);     // reserved
        putU16(out, 1);    // planes
        putU16(out, 4);    // bits per pixel
        putU32(out, bytes);
        putU32(out, offset);
        offset += bytes;
    }
    for (const IconImage& image : images)
        putImage(out, image);
    return out;
}

IconImage iconDrawDisplay(int size, bool withStand)
{
    IconImage image = iconBlank(size, size);
    Canvas canvas{image};
    const int unit = size / 16 > 0 ? size / 16 : 1;    // one pixel at 16, two at 32

    // Case: a dark grey body with a black outline and a light upper-left edge.
    const int caseTop = unit;
    const int caseBottom = size - 1 - (withStand ? 3 : 1) * unit;
    canvas.fill(0, caseTop, size - 1, caseBottom, kIconDarkGrey);
    canvas.frame(0, caseTop, size - 1, caseBottom, kIconBlack);
    if (size >= 32) {
        canvas.fill(1, caseTop + 1, size - 2, caseTop + 1, kIconLightGrey);
        canvas.fill(1, caseTop + 1, 1, caseBottom - 1, kIconLightGrey);
    }

    // Screen.
    const int screenLeft = 2 * unit;
    const int screenRight = size - 1 - 2 * unit;
    const int screenTop = caseTop + 2 * unit;
    const int screenBottom = caseBottom - 2 * unit;
    canvas.fill(screenLeft, screenTop, screenRight, screenBottom, kIconDarkBlue);

    // The vsync pulse train along the bottom of the screen: a few short high pulses,
    // centred, with the edges drawn as vertical runs.
    const int innerLeft = screenLeft + 1;
    const int innerRight = screenRight - 1;
    const int span = innerRight - innerLeft + 1;
    const int low = screenBottom - unit;
    const int high = low - (screenBottom - screenTop) / 3;
    const int period = size / 4;
    const int pulses = (span - unit - 2) / period + 1;
    const int firstPulse = innerLeft + (span - (pulses - 1) * period - unit) / 2;
    int previous = low;
    for (int x = innerLeft; x <= innerRight; ++x) {
        const int offset = x - firstPulse;
        const bool pulse = offset >= 0 && offset / period < pulses && offset % period < unit;
        const int level = pulse ? high : low;
        canvas.column(x, previous, level, kIconGreen);
        previous = level;
    }

    // The refresh wave above it: one and a half cycles of a sine, each column joined to
    // the one before so that the line has no gaps.
    const int waveTop = screenTop + unit - 1;
    const int waveBottom = high - 2;
    const double middle = (waveTop + waveBottom) / 2.0;
    const double amplitude = (waveBottom - waveTop) / 2.0;
    const double cycles = 1.5;
    int previousY = 0;
    for (int x = innerLeft; x <= innerRight; ++x) {
        const double angle = 2.0 * 3.14159265358979323846 * cycles * (x - innerLeft) / (span - 1);
        const int y = static_cast<int>(std::lround(middle - amplitude * std::sin(angle)));
        canvas.column(x, x == innerLeft ? y : previousY, y, kIconCyan);
        previousY = y;
    }

    if (withStand) {
        // Neck and foot below the case.
        const int neckLeft = size * 13 / 32;
        const int neckRight = size - 1 - neckLeft;
        const int footTop = size - 2 - unit / 2;
        canvas.fill(neckLeft, caseBottom + 1, neckRight, footTop - 1, kIconDarkGrey);
        canvas.fill(size / 4, footTop, size - 1 - size / 4, size - 1, kIconLightGrey);
        canvas.frame(size / 4, footTop, size - 1 - size / 4, size - 1, kIconBlack);
    }
    return image;
}
