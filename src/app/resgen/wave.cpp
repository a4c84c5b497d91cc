// The alert sound: synthesis and the RIFF/WAVE file that carries it.
#include "app/resgen/wave.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Peak amplitude of the sound, as a fraction of full scale. The tone's partials add up
// to at most 1, so no sample exceeds this.
constexpr double kPeak = 0.45 * 32767.0;

// Fade-in and fade-out length of each tone: 10 ms.
constexpr uint32_t kFadeFrames = 441;

struct Tone {
    uint32_t start;     // first frame
    uint32_t length;    // frames
    double hz;
};

// Two tones a fifth apart (A5, then E6), with a short gap between them.
constexpr Tone kTones[] = {
    {0, 5200, 880.0},
    {5952, 5200, 1318.51},
};
static_assert(5952 + 5200 == kWaveAlertFrames, "the second tone ends with the sound");

// Raised-cosine fade: 0 at the tone's first and last frame, 1 in its middle part.
double fade(uint32_t i, uint32_t length)
{
    const uint32_t fromEdge = i < length - 1 - i ? i : length - 1 - i;
    if (fromEdge >= kFadeFrames)
        return 1.0;
    return 0.5 * (1.0 - std::cos(kPi * fromEdge / kFadeFrames));
}

void putU16(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void putU32(std::vector<uint8_t>& out, uint32_t value)
{
    putU16(out, value & 0xFFFF);
    putU16(out, value >> 16);
}

void putTag(std::vector<uint8_t>& out, const char (&tag)[5])
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(tag[i]));
}

}    // namespace

std::vector<int16_t> waveAlertSamples()
{
    std::vector<int16_t> samples(2 * static_cast<size_t>(kWaveAlertFrames), 0);
    for (const Tone& tone : kTones) {
        const double step = 2.0 * kPi * tone.hz / kWaveSampleRate;
        for (uint32_t i = 0; i < tone.length; ++i) {
            // A gentle decay over the tone and a quiet octave partial give it a chime's colour.
            const double decay = std::exp(-1.5 * i / tone.length);
            const double wave = 0.8 * std::sin(step * i) + 0.2 * std::sin(2.0 * step * i);
            const double value = kPeak * fade(i, tone.length) * decay * wave;
            const int16_t sample = static_cast<int16_t>(std::lround(value));
            const size_t frame = tone.start + i;
            samples[2 * frame] = sample;
            samples[2 * frame + 1] = sample;
        }
    }
    return samples;
}

std::vector<uint8_t> waveBuildFile(const std::vector<int16_t>& interleaved)
{
    const uint32_t blockAlign = kWaveChannels * kWaveBitsPerSample / 8;
    const uint32_t frames = static_cast<uint32_t>(interleaved.size() / kWaveChannels);
    const uint32_t dataBytes = frames * blockAlign;

    std::vector<uint8_t> out;
    out.reserve(kWaveHeaderSize + dataBytes);
    putTag(out, "RIFF");
    putU32(out, kWaveHeaderSize - 8 + dataBytes);    // everything after this field
    putTag(out, "WAVE");

    putTag(out, "fmt ");
    putU32(out, 16);
    putU16(out, 1);    // PCM
    putU16(out, kWaveChannels);
    putU32(out, kWaveSampleRate);
    putU32(out, kWaveSampleRate * blockAlign);    // bytes per second
    putU16(out, blockAlign);
    putU16(out, kWaveBitsPerSample);

    putTag(out, "fact");
    putU32(out, 4);
    putU32(out, frames);

    putTag(out, "data");
    putU32(out, dataBytes);
    for (size_t i = 0; i < static_cast<size_t>(frames) * kWaveChannels; ++i)
        putU16(out, static_cast<uint16_t>(interleaved[i]));    // two's complement bits
    return out;
}

std::vector<uint8_t> waveBuildAlert()
{
    return waveBuildFile(waveAlertSamples());
}
