// The generated resources: the alert sound's WAVE file and the .ico files, read back
// byte by byte as a loader would.
#include "app/resgen/icon.h"
#include "app/resgen/wave.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

uint32_t u8(const std::vector<uint8_t>& b, size_t at)
{
    return b.at(at);
}

uint32_t u16(const std::vector<uint8_t>& b, size_t at)
{
    return u8(b, at) | (u8(b, at + 1) << 8);
}

uint32_t u32(const std::vector<uint8_t>& b, size_t at)
{
    return u16(b, at) | (u16(b, at + 2) << 16);
}

int16_t s16(const std::vector<uint8_t>& b, size_t at)
{
    const int32_t raw = static_cast<int32_t>(u16(b, at));
    return static_cast<int16_t>(raw >= 0x8000 ? raw - 0x10000 : raw);
}

std::string tag(const std::vector<uint8_t>& b, size_t at)
{
    return std::string(b.begin() + at, b.begin() + at + 4);
}

// The left channel of a WAVE file's samples, read back from the bytes.
std::vector<int> leftChannel(const std::vector<uint8_t>& wave)
{
    std::vector<int> left;
    for (size_t at = 56; at + 4 <= wave.size(); at += 4)
        left.push_back(s16(wave, at));
    return left;
}

// ---- the WAVE file ---------------------------------------------------------------------

TEST(WaveFile, AlertHasTheExactRiffLayout)
{
    const std::vector<uint8_t> wave = waveBuildAlert();
    ASSERT_EQ(44664u, wave.size());

    EXPECT_EQ("RIFF", tag(wave, 0));
    EXPECT_EQ(44656u, u32(wave, 4));
    EXPECT_EQ("WAVE", tag(wave, 8));

    EXPECT_EQ("fmt ", tag(wave, 12));
    EXPECT_EQ(16u, u32(wave, 16));
    EXPECT_EQ(1u, u16(wave, 20));         // PCM
    EXPECT_EQ(2u, u16(wave, 22));         // channels
    EXPECT_EQ(44100u, u32(wave, 24));     // samples per second
    EXPECT_EQ(176400u, u32(wave, 28));    // bytes per second
    EXPECT_EQ(4u, u16(wave, 32));         // block alignment
    EXPECT_EQ(16u, u16(wave, 34));        // bits per sample

    EXPECT_EQ("fact", tag(wave, 36));
    EXPECT_EQ(4u, u32(wave, 40));
    EXPECT_EQ(11152u, u32(wave, 44));

    EXPECT_EQ("data", tag(wave, 48));
    EXPECT_EQ(44608u, u32(wave, 52));
}

TEST(WaveFile, WrapsWholeFramesLittleEndian)
{
    // Three frames and half of a fourth, which is dropped.
    const std::vector<int16_t> samples = {0x1234, -1, 32767, -32768, 0, -2, 99};
    const std::vector<uint8_t> wave = waveBuildFile(samples);
    ASSERT_EQ(56u + 12u, wave.size());
    EXPECT_EQ(60u, u32(wave, 4));
    EXPECT_EQ(3u, u32(wave, 44));
    EXPECT_EQ(12u, u32(wave, 52));

    const std::vector<uint8_t> data(wave.begin() + 56, wave.end());
    const std::vector<uint8_t> expected = {0x34, 0x12, 0xFF, 0xFF, 0xFF, 0x7F,
                                           0x00, 0x80, 0x00, 0x00, 0xFE, 0xFF};
    EXPECT_EQ(expected, data);

    const std::vector<uint8_t> empty = waveBuildFile({});
    ASSERT_EQ(56u, empty.size());
    EXPECT_EQ(48u, u32(empty, 4));
    EXPECT_EQ(0u, u32(empty, 44));
    EXPECT_EQ(0u, u32(empty, 52));
}

// ---- the alert sound -------------------------------------------------------------------

TEST(WaveAlert, StaysClearOfFullScaleYetIsClearlyAudible)
{
    const std::vector<uint8_t> wave = waveBuildAlert();
    int peak = 0;
    double energy = 0.0;
    size_t count = 0;
    for (size_t at = 56; at < wave.size(); at += 2) {
        const int sample = s16(wave, at);
        peak = std::max(peak, std::abs(sample));
        energy += static_cast<double>(sample) * sample;
        ++count;
    }
    // Headroom: nothing near the rails, where a clipped synthesis would sit.
    EXPECT_LT(peak, 29000);
    EXPECT_GT(peak, 8000);
    const double rms = std::sqrt(energy / count);
    EXPECT_GT(rms, 2000.0);
}

TEST(WaveAlert, StartsAndEndsInSilenceWithoutClicks)
{
    const std::vector<int> left = leftChannel(waveBuildAlert());
    ASSERT_EQ(11152u, left.size());
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_LE(std::abs(left[i]), 64) << "frame " << i;
        EXPECT_LE(std::abs(left[left.size() - 1 - i]), 64) << "frame from the end " << i;
    }
    // A jump of an eighth of full scale between neighbours would be heard as a click.
    int largestStep = 0;
    for (size_t i = 1; i < left.size(); ++i)
        largestStep = std::max(largestStep, std::abs(left[i] - left[i - 1]));
    EXPECT_LT(largestStep, 4096);
}

TEST(WaveAlert, BothChannelsCarryTheSameTone)
{
    const std::vector<uint8_t> wave = waveBuildAlert();
    for (size_t at = 56; at < wave.size(); at += 4)
        ASSERT_EQ(s16(wave, at), s16(wave, at + 2)) << "byte " << at;

    // Sign changes give the pitch: an alert lies between a few hundred Hz and a few kHz.
    const std::vector<int> left = leftChannel(wave);
    int crossings = 0;
    int lastSign = 0;
    size_t sounding = 0;
    for (int sample : left) {
        if (sample == 0)
            continue;
        ++sounding;
        const int sign = sample > 0 ? 1 : -1;
        if (lastSign != 0 && sign != lastSign)
            ++crossings;
        lastSign = sign;
    }
    const double hz = crossings / 2.0 / (static_cast<double>(sounding) / 44100.0);
    EXPECT_GT(hz, 300.0);
    EXPECT_LT(hz, 4000.0);
    EXPECT_GT(sounding, left.size() / 2) << "mostly silence";
}

// ---- the .ico files --------------------------------------------------------------------

// One image of an .ico file, decoded from its bytes as the system's loader reads it.
IconImage decodeImage(const std::vector<uint8_t>& ico, size_t offset, int width, int height)
{
    IconImage image = iconBlank(width, height);
    const size_t colourRow = (static_cast<size_t>(width) * 4 + 31) / 32 * 4;
    const size_t maskRow = (static_cast<size_t>(width) + 31) / 32 * 4;
    const size_t colourAt = offset + 40 + 64;
    const size_t maskAt = colourAt + colourRow * height;
    for (int y = 0; y < height; ++y) {
        const size_t row = static_cast<size_t>(height - 1 - y);    // bottom row first
        for (int x = 0; x < width; ++x) {
            const uint8_t pair = ico.at(colourAt + row * colourRow + x / 2);
            const size_t at = static_cast<size_t>(y) * width + x;
            image.colour[at] = static_cast<uint8_t>(x % 2 == 0 ? pair >> 4 : pair & 0x0F);
            const uint8_t maskByte = ico.at(maskAt + row * maskRow + x / 8);
            image.transparent[at] = static_cast<uint8_t>((maskByte >> (7 - x % 8)) & 1);
        }
    }
    return image;
}

// Checks the header, palette and sizes of image `index` and returns its offset.
size_t checkImageLayout(const std::vector<uint8_t>& ico, size_t index, int width, int height)
{
    const size_t entry = 6 + 16 * index;
    EXPECT_EQ(static_cast<uint32_t>(width), u8(ico, entry));
    EXPECT_EQ(static_cast<uint32_t>(height), u8(ico, entry + 1));
    EXPECT_EQ(16u, u8(ico, entry + 2));    // colours
    EXPECT_EQ(0u, u8(ico, entry + 3));
    EXPECT_EQ(1u, u16(ico, entry + 4));    // planes
    EXPECT_EQ(4u, u16(ico, entry + 6));    // bits per pixel

    const uint32_t colourBytes = (width * 4 + 31) / 32 * 4 * height;
    const uint32_t maskBytes = (width + 31) / 32 * 4 * height;
    const uint32_t bytes = u32(ico, entry + 8);
    const size_t offset = u32(ico, entry + 12);
    EXPECT_EQ(40u + 64u + colourBytes + maskBytes, bytes);

    EXPECT_EQ(40u, u32(ico, offset));
    EXPECT_EQ(static_cast<uint32_t>(width), u32(ico, offset + 4));
    EXPECT_EQ(2u * height, u32(ico, offset + 8));    // colour bitmap and mask stacked
    EXPECT_EQ(1u, u16(ico, offset + 12));
    EXPECT_EQ(4u, u16(ico, offset + 14));
    EXPECT_EQ(0u, u32(ico, offset + 16));    // uncompressed
    EXPECT_EQ(colourBytes + maskBytes, u32(ico, offset + 20));
    const uint32_t coloursUsed = u32(ico, offset + 32);
    EXPECT_TRUE(coloursUsed == 0 || coloursUsed == 16);

    for (size_t i = 0; i < 16; ++i) {
        const size_t at = offset + 40 + 4 * i;
        EXPECT_EQ(kIconPalette[i][2], ico.at(at)) << "blue of colour " << i;
        EXPECT_EQ(kIconPalette[i][1], ico.at(at + 1)) << "green of colour " << i;
        EXPECT_EQ(kIconPalette[i][0], ico.at(at + 2)) << "red of colour " << i;
        EXPECT_EQ(0u, u8(ico, at + 3));
    }
    return offset;
}

TEST(IconFile, MainIconHasTheLayoutOfA32And16PixelPair)
{
    const std::vector<uint8_t> ico =
        iconBuildFile({iconDrawDisplay(32, true), iconDrawDisplay(16, true)});
    EXPECT_EQ(0u, u16(ico, 0));
    EXPECT_EQ(1u, u16(ico, 2));    // icon
    ASSERT_EQ(2u, u16(ico, 4));

    const size_t first = checkImageLayout(ico, 0, 32, 32);
    const size_t second = checkImageLayout(ico, 1, 16, 16);
    // The images follow the directory and each other without gaps, and end the file.
    EXPECT_EQ(6u + 2 * 16u, first);
    EXPECT_EQ(first + 40 + 64 + 16 * 32 + 4 * 32, second);
    EXPECT_EQ(second + 40 + 64 + 8 * 16 + 4 * 16, ico.size());
}

TEST(IconFile, SmallIconHoldsOne16PixelImage)
{
    const std::vector<uint8_t> ico = iconBuildFile({iconDrawDisplay(16, false)});
    ASSERT_EQ(1u, u16(ico, 4));
    const size_t offset = checkImageLayout(ico, 0, 16, 16);
    EXPECT_EQ(22u, offset);
    EXPECT_EQ(offset + 40 + 64 + 128 + 64, ico.size());
}

TEST(IconFile, PixelsAndMaskSurviveTheRoundTripAtOddWidths)
{
    // Widths that leave part of a byte and of a 32-bit word over exercise the padding.
    for (const int width : {5, 33}) {
        IconImage image = iconBlank(width, 3);
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < width; ++x) {
                const size_t at = static_cast<size_t>(y) * width + x;
                image.colour[at] = static_cast<uint8_t>((x * 3 + y * 7) % 16);
                image.transparent[at] = (x + 2 * y) % 5 == 0;
            }
        }
        const std::vector<uint8_t> ico = iconBuildFile({image});
        const size_t offset = checkImageLayout(ico, 0, width, 3);
        const IconImage back = decodeImage(ico, offset, width, 3);
        for (size_t at = 0; at < image.colour.size(); ++at) {
            SCOPED_TRACE("width " + std::to_string(width) + ", pixel " + std::to_string(at));
            EXPECT_EQ(image.transparent[at] != 0, back.transparent[at] != 0);
            // A transparent pixel must be black, or it would tint the background.
            EXPECT_EQ(image.transparent[at] ? 0 : image.colour[at], back.colour[at]);
        }
        // Padding bytes stay zero.
        const size_t colourRow = (static_cast<size_t>(width) * 4 + 31) / 32 * 4;
        for (size_t row = 0; row < 3; ++row)
            for (size_t at = (width + 1) / 2; at < colourRow; ++at)
                EXPECT_EQ(0u, u8(ico, offset + 104 + row * colourRow + at));
    }
}

TEST(IconPicture, DrawsAnOpaqueDisplayOnATransparentGround)
{
    struct Case {
        int size;
        bool withStand;
    };
    for (const Case c : {Case{32, true}, Case{16, true}, Case{16, false}}) {
        SCOPED_TRACE("size " + std::to_string(c.size) + (c.withStand ? " with stand" : " compact"));
        const IconImage image = iconDrawDisplay(c.size, c.withStand);
        ASSERT_EQ(c.size, image.width);
        ASSERT_EQ(c.size, image.height);
        ASSERT_EQ(static_cast<size_t>(c.size * c.size), image.colour.size());
        ASSERT_EQ(image.colour.size(), image.transparent.size());

        std::set<int> colours;
        size_t opaque = 0;
        for (size_t at = 0; at < image.colour.size(); ++at) {
            ASSERT_LT(image.colour[at], 16);
            if (!image.transparent[at]) {
                ++opaque;
                colours.insert(image.colour[at]);
            }
        }
        // Mostly picture, with some ground showing round it, and enough colours to read.
        EXPECT_GT(opaque, image.colour.size() / 2);
        EXPECT_LT(opaque, image.colour.size());
        EXPECT_GE(colours.size(), 4u);
        EXPECT_TRUE(image.transparent[0]) << "top left corner";
        // The screen's centre is drawn.
        EXPECT_FALSE(image.transparent[static_cast<size_t>(c.size / 2) * c.size + c.size / 2]);
    }
}

}    // namespace
