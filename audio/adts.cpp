#include "audio/adts.h"

const uint32_t kAdtsSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                       22050, 16000, 12000, 11025, 8000,  7350};

uint32_t AdtsFrequencyIndex(uint32_t sampleRate) {
  for (uint32_t i = 0; i < 13; ++i) {
    if (kAdtsSampleRates[i] == sampleRate) return i;
  }
  return kAdtsDefaultFrequencyIndex;
}

bool WriteAdtsHeader(uint8_t* out, uint32_t frequencyIndex, uint32_t channels, size_t rawLength) {
  if (rawLength > kAdtsMaxRawFrame) return false;
  const uint32_t length = static_cast<uint32_t>(rawLength + kAdtsHeaderSize);
  out[0] = 0xFF;
  out[1] = 0xF1;  // syncword end, MPEG-4, layer 0, protection absent
  out[2] = static_cast<uint8_t>(0x40 | ((frequencyIndex & 0x0F) << 2) | ((channels >> 2) & 0x01));
  out[3] = static_cast<uint8_t>(((channels & 0x03) << 6) | ((length >> 11) & 0x03));
  out[4] = static_cast<uint8_t>((length >> 3) & 0xFF);
  out[5] = static_cast<uint8_t>(((length & 0x07) << 5) | 0x1F);
  out[6] = 0xFC;
  return true;
}

std::vector<uint8_t> MakeAdtsFrame(uint32_t frequencyIndex, uint32_t channels, const uint8_t* raw,
                                   size_t rawLength) {
  std::vector<uint8_t> frame;
  if (rawLength > kAdtsMaxRawFrame) return frame;
  frame.resize(kAdtsHeaderSize + rawLength);
  WriteAdtsHeader(frame.data(), frequencyIndex, channels, rawLength);
  for (size_t i = 0; i < rawLength; ++i) frame[kAdtsHeaderSize + i] = raw[i];
  return frame;
}
