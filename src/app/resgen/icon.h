// 16-colour icons: the pictures and the .ico file that carries them.
#pragma once

#include <cstdint>
#include <vector>

// The 16 colours every icon uses (red, green, blue), in the order of the classic
// 4-bit system palette.
enum IconColour : uint8_t {
    kIconBlack, kIconDarkRed, kIconDarkGreen, kIconDarkYellow,
    kIconDarkBlue, kIconDarkMagenta, kIconDarkCyan, kIconLightGrey,
    kIconDarkGrey, kIconRed, kIconGreen, kIconYellow,
    kIconBlue, kIconMagenta, kIconCyan, kIconWhite,
};
extern const uint8_t kIconPalette[16][3];

// One icon image: a palette index and a transparency flag per pixel, top row first.
struct IconImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> colour;         // 0..15
    std::vector<uint8_t> transparent;    // non-zero where the background shows through
};

// An image of the given size, wholly transparent.
IconImage iconBlank(int width, int height);

// Builds a complete .ico file holding the images in the given order: the icon
// directory, then per image a BITMAPINFOHEADER, the 16-entry palette, the 4-bit colour
// bitmap and the 1-bit AND mask, both bottom row first with rows padded to 4 bytes.
// Transparent pixels get colour 0, so that they leave the background untouched.
// Every field is written little-endian byte by byte.
std::vector<uint8_t> iconBuildFile(const std::vector<IconImage>& images);

// The tool's picture: a display whose screen shows a refresh wave over a train of vsync
// pulses. size is 16 or 32 (other sizes scale the same drawing); withStand adds the
// display's foot, the compact form without it suits the title bar.
IconImage iconDrawDisplay(int size, bool withStand);
