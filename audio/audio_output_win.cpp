#include "audio/audio_output_win.h"

AudioOutput::~AudioOutput() { Stop(); }

bool AudioOutput::Start() { return false; }

void AudioOutput::Stop() {}

void AudioOutput::PushFrame(int32_t slotIndex, const uint8_t* data, size_t size) {
  ::PushFrame(frames, slotIndex, data, size);
}

void AudioOutput::SetActiveSlot(int32_t slotIndex) {
  ::SetActiveSlot(frames, slotIndex);
  flushRequested.store(true);
}

void AudioOutput::SetMuted(bool muted) {
  if (::SetMuted(frames, muted)) flushRequested.store(true);
}

void AudioOutput::SetFormat(uint32_t sampleRate, uint32_t channels,
                            const std::vector<uint8_t>& audioSpecificConfig) {
  SetDecoderFormat(config, sampleRate, channels, audioSpecificConfig);
}
