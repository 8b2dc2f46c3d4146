// One pass of the audio thread, apart from the platform: engine re-creation
// with its 200 ms retry, the voice flush, the decoder (re)opening on a new
// stream description, taking and decoding one queued frame, and topping up
// the voice with decoded PCM. The Windows
// audio output provides the platform operations; tests provide fakes.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "audio/decoder_config.h"
#include "audio/frame_queue.h"

constexpr uint32_t kEngineRetryMs = 200;
constexpr uint32_t kIdleSleepMs = 5;

// What the audio thread shares with the other threads.
struct AudioShared {
  std::atomic<bool> stop{false};
  std::atomic<bool> flushRequested{false};
  std::atomic<bool> resetEngine{false};
  FrameQueue frames;
  DecoderConfig config;
};

// The stream description the decoder is opened with, copied out of the
// shared configuration.
struct DecoderSetup {
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  uint32_t frequencyIndex = 8;
  std::vector<uint8_t> audioSpecificConfig;
};

class AudioPlatform {
 public:
  virtual bool CreateEngine() = 0;  // destroys the previous engine first
  virtual bool EnsureSourceVoice(uint32_t rate, uint32_t channels) = 0;
  virtual bool HasSourceVoice() = 0;
  virtual void FlushPlayback() = 0;  // the voice's buffers and the decoder's state
  virtual bool OpenDecoder(const DecoderSetup& setup) = 0;
  virtual bool HasDecoder() = 0;
  virtual void DecodeFrame(const std::vector<uint8_t>& frame) = 0;
  // Hands decoded PCM to the voice as it needs it; runs every pass.
  virtual void FeedVoice() = 0;
  // Format of the decoder's PCM output; rate 0 while none is known.
  virtual void PcmFormat(uint32_t& rate, uint32_t& channels) = 0;
  virtual void SleepMs(uint32_t ms) = 0;

 protected:
  ~AudioPlatform() = default;
};

// Acts on a pending stream description: clears configChanged and fills setup.
// False when nothing changed.
bool TakeConfigChange(DecoderConfig& config, DecoderSetup& setup);

// One pass of the audio thread's loop.
void AudioPass(AudioShared& shared, AudioPlatform& platform);

// The whole loop: passes until stop is set (tested before the first pass and
// after every pass).
void RunAudioLoop(AudioShared& shared, AudioPlatform& platform);

// Whether a default-device notification concerns playback for the console or
// multimedia role (data flow 0 = render; role 0 = console, 1 = multimedia).
bool IsPlaybackDeviceChange(int flow, int role);
