// ADTS framing of raw AAC frames (ISO/IEC 14496-3, 1.A.2): the MPEG-4
// sampling-frequency table and the 7-byte header (no CRC) that turns one raw
// AAC LC frame into a frame a decoder or a file reader accepts on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kAdtsHeaderSize = 7;
// The header's frame length field has 13 bits and counts the header too.
constexpr size_t kAdtsMaxRawFrame = 8191 - kAdtsHeaderSize;
// Index used for a sample rate that the table does not list.
constexpr uint32_t kAdtsDefaultFrequencyIndex = 8;

// Index -> Hz: 96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000,
// 12000, 11025, 8000, 7350.
extern const uint32_t kAdtsSampleRates[13];

// Position of sampleRate in kAdtsSampleRates; kAdtsDefaultFrequencyIndex when absent.
uint32_t AdtsFrequencyIndex(uint32_t sampleRate);

// Writes the 7 header bytes for a raw frame of rawLength bytes (profile AAC LC,
// one raw data block, buffer fullness all ones). Only the low 4 bits of
// frequencyIndex and the low 3 bits of channels are representable. False (and
// nothing written) when rawLength exceeds kAdtsMaxRawFrame.
bool WriteAdtsHeader(uint8_t* out, uint32_t frequencyIndex, uint32_t channels, size_t rawLength);

// Header followed by the raw frame; empty when the frame is too long.
std::vector<uint8_t> MakeAdtsFrame(uint32_t frequencyIndex, uint32_t channels, const uint8_t* raw,
                                   size_t rawLength);
