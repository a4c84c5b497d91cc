// The alert sound: synthesis and the RIFF/WAVE file that carries it.
#pragma once

#include <cstdint>
#include <vector>

// The alert sound's format and length: 16-bit stereo PCM at 44,100 Hz, about 0.25 s.
constexpr uint32_t kWaveSampleRate = 44100;
constexpr uint16_t kWaveChannels = 2;
constexpr uint16_t kWaveBitsPerSample = 16;
constexpr uint32_t kWaveAlertFrames = 11152;

// The header holds a RIFF chunk, a "fmt " chunk, a "fact" chunk and the "data" chunk's header.
constexpr uint32_t kWaveHeaderSize = 56;

// Synthesises the alert: two short tones, a rising pair, each faded in and out so that
// the sound starts and ends at silence without a click. The result is interleaved
// stereo (left, right, left, ...), kWaveAlertFrames frames. The peak stays well below
// full scale, so no sample clips.
std::vector<int16_t> waveAlertSamples();

// Wraps interleaved 16-bit stereo samples into a complete RIFF/WAVE file, every field
// written little-endian byte by byte. A trailing odd sample (half a frame) is dropped.
std::vector<uint8_t> waveBuildFile(const std::vector<int16_t>& interleaved);

// The alert as a complete WAVE file of kWaveHeaderSize + 4 * kWaveAlertFrames bytes.
std::vector<uint8_t> waveBuildAlert();
