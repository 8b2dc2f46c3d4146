// The AAC stream description the decoder is set up from, shared between the
// UI thread (SetFormat) and the audio thread, and the pure parts of the
// decoder's set-up: the MF_MT_USER_DATA bytes and the choice of PCM output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

struct DecoderConfig {
  std::mutex configLock;  // guards every field below
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  std::vector<uint8_t> audioSpecificConfig;
  bool configChanged = false;
  uint32_t frequencyIndex = 8;  // ADTS index of sampleRate
};

// Stores a new description and sets configChanged; an equal one changes
// nothing. True when it was new.
bool SetDecoderFormat(DecoderConfig& config, uint32_t sampleRate, uint32_t channels,
                      const std::vector<uint8_t>& audioSpecificConfig);

// Whether the description can drive a decoder at all: a sample rate, one to
// seven channels (what the ADTS header can state) and configuration bytes.
bool DecoderFormatUsable(uint32_t sampleRate, uint32_t channels,
                         const std::vector<uint8_t>& audioSpecificConfig);

// MF_MT_USER_DATA of the AAC input type: the 12 bytes of HEAACWAVEINFO after
// its WAVEFORMATEX (payload type 1 = ADTS, profile-and-level 0xFE, structure
// type 0, reserved zeros; little-endian) followed by the AudioSpecificConfig.
std::vector<uint8_t> AacUserData(const std::vector<uint8_t>& audioSpecificConfig);

// One output type the decoder offers.
struct PcmCandidate {
  bool isPcm = false;  // subtype MFAudioFormat_PCM
  uint32_t bitsPerSample = 0;
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
};

// Index of the output type to choose: the first 16-bit PCM type with the
// wanted rate and channels, else the first 16-bit PCM type; -1 when none.
int ChoosePcmOutput(const std::vector<PcmCandidate>& candidates, uint32_t sampleRate,
                    uint32_t channels);
