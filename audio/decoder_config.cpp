#include "audio/decoder_config.h"

#include "audio/adts.h"

bool SetDecoderFormat(DecoderConfig& config, uint32_t sampleRate, uint32_t channels,
                      const std::vector<uint8_t>& audioSpecificConfig) {
  std::lock_guard<std::mutex> lock(config.configLock);
  if (config.sampleRate == sampleRate && config.channels == channels &&
      config.audioSpecificConfig == audioSpecificConfig) {
    return false;
  }
  config.sampleRate = sampleRate;
  config.channels = channels;
  config.audioSpecificConfig = audioSpecificConfig;
  config.frequencyIndex = AdtsFrequencyIndex(sampleRate);
  config.configChanged = true;
  return true;
}

bool DecoderFormatUsable(uint32_t sampleRate, uint32_t channels,
                         const std::vector<uint8_t>& audioSpecificConfig) {
  return sampleRate != 0 && channels >= 1 && channels <= 7 && !audioSpecificConfig.empty();
}

std::vector<uint8_t> AacUserData(const std::vector<uint8_t>& audioSpecificConfig) {
  static const uint8_t kWaveInfo[12] = {
      0x01, 0x00,              // payload type: ADTS
      0xFE, 0x00,              // audio profile and level indication: unspecified
      0x00, 0x00,              // structure type
      0x00, 0x00,              // reserved
      0x00, 0x00, 0x00, 0x00,  // reserved
  };
  std::vector<uint8_t> data(sizeof(kWaveInfo) + audioSpecificConfig.size());
  for (size_t i = 0; i < sizeof(kWaveInfo); ++i) data[i] = kWaveInfo[i];
  for (size_t i = 0; i < audioSpecificConfig.size(); ++i) {
    data[sizeof(kWaveInfo) + i] = audioSpecificConfig[i];
  }
  return data;
}

int ChoosePcmOutput(const std::vector<PcmCandidate>& candidates, uint32_t sampleRate,
                    uint32_t channels) {
  int fallback = -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const PcmCandidate& c = candidates[i];
    if (!c.isPcm || c.bitsPerSample != 16) continue;
    if (c.sampleRate == sampleRate && c.channels == channels) return static_cast<int>(i);
    if (fallback < 0) fallback = static_cast<int>(i);
  }
  return fallback;
}
