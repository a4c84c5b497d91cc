// Decoding the PNG screenshots a browser writes (8-bit RGB or RGBA, not interlaced) into
// RGB pixels, with zlib, for tests that look at what a page drew.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;   // row after row, 3 bytes a pixel

    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

namespace pngdetail {

inline uint32_t bigEndian(const std::string& s, size_t at)
{
    return (static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3]));
}

inline int paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

}   // namespace pngdetail

// The file's bytes decoded; false, with what was wrong, for anything else.
inline bool decodePng(const std::string& file, RgbImage* image, std::string* problem)
{
    using pngdetail::bigEndian;
    if (file.size() < 8 || file.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) {
        *problem = "not a PNG file (no PNG signature)";
        return false;
    }
    uint32_t width = 0, height = 0;
    int channels = 0;
    std::string data;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = bigEndian(file, at);
        const std::string type = file.substr(at + 4, 4);
        if (length > file.size() - at - 12) {
            *problem = "a chunk runs past the end of the file";
            return false;
        }
        const size_t body = at + 8;
        if (type == "IHDR" && length >= 13) {
            width = bigEndian(file, body);
            height = bigEndian(file, body + 4);
            const int depth = static_cast<uint8_t>(file[body + 8]);
            const int colour = static_cast<uint8_t>(file[body + 9]);
            const int interlace = static_cast<uint8_t>(file[body + 12]);
            channels = colour == 2 ? 3 : colour == 6 ? 4 : 0;
            if (depth != 8 || channels == 0 || interlace != 0 || width == 0 || height == 0 ||
                width > 20000 || height > 40000) {
                *problem = "expected an 8-bit RGB or RGBA PNG, not interlaced, of a sane size";
                return false;
            }
        } else if (type == "IDAT") {
            data.append(file, body, length);
        } else if (type == "IEND") {
            break;
        }
        at = body + length + 4;
    }
    if (channels == 0) {
        *problem = "no image header";
        return false;
    }
    const size_t stride = static_cast<size_t>(width) * channels;
    std::vector<uint8_t> raw(static_cast<size_t>(height) * (stride + 1));
    uLongf rawSize = static_cast<uLongf>(raw.size());
    if (uncompress(raw.data(), &rawSize, reinterpret_cast<const Bytef*>(data.data()),
                   static_cast<uLong>(data.size())) != Z_OK ||
        rawSize != raw.size()) {
        *problem = "the image data does not inflate to its size";
        return false;
    }
    // Undo each row's filter, in place.
    std::vector<uint8_t> previous(stride, 0);
    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    image->rgb.assign(static_cast<size_t>(width) * height * 3, 0);
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = &raw[y * (stride + 1) + 1];
        const int filter = row[-1];
        for (size_t i = 0; i < stride; ++i) {
            const int a = i >= static_cast<size_t>(channels) ? row[i - channels] : 0;
            const int b = previous[i];
            const int c = i >= static_cast<size_t>(channels) ? previous[i - channels] : 0;
            int add = 0;
            switch (filter) {
            case 0: add = 0; break;
            case 1: add = a; break;
            case 2: add = b; break;
            case 3: add = (a + b) / 2; break;
            case 4: add = pngdetail::paeth(a, b, c); break;
            default:
                *problem = "unknown row filter " + std::to_string(filter);
                return false;
            }
            row[i] = static_cast<uint8_t>(row[i] + add);
        }
        for (uint32_t x = 0; x < width; ++x)
            for (int k = 0; k < 3; ++k)
                image->rgb[(static_cast<size_t>(y) * width + x) * 3 + k] = row[x * channels + k];
        previous.assign(row, row + stride);
    }
    return true;
}
