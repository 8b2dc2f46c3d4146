#include "audio/audio_loop.h"

#include <mutex>

bool TakeConfigChange(DecoderConfig& config, DecoderSetup& setup) {
  std::lock_guard<std::mutex> lock(config.configLock);
  if (!config.configChanged) return false;
  config.configChanged = false;
  setup.sampleRate = config.sampleRate;
  setup.channels = config.channels;
  setup.frequencyIndex = config.frequencyIndex;
  setup.audioSpecificConfig = config.audioSpecificConfig;
  return true;
}

void AudioPass(AudioShared& shared, AudioPlatform& platform) {
  if (shared.resetEngine.exchange(false)) {
    if (!platform.CreateEngine()) {
      shared.resetEngine.store(true);
      platform.SleepMs(kEngineRetryMs);
      return;
    }
    uint32_t rate = 0, channels = 0;
    platform.PcmFormat(rate, channels);
    if (rate > 0) platform.EnsureSourceVoice(rate, channels);
  }

  if (shared.flushRequested.exchange(false)) platform.FlushPlayback();

  DecoderSetup setup;
  if (TakeConfigChange(shared.config, setup) && platform.OpenDecoder(setup)) {
    uint32_t rate = 0, channels = 0;
    platform.PcmFormat(rate, channels);
    platform.EnsureSourceVoice(rate, channels);
  }

  std::vector<uint8_t> frame;
  const bool taken = TakeFrame(shared.frames, frame);
  // A frame taken while there is no decoder or no voice is dropped.
  const bool decode = taken && platform.HasDecoder() && platform.HasSourceVoice();
  if (decode) platform.DecodeFrame(frame);
  // The voice plays on between frames: keep it supplied in idle passes too.
  platform.FeedVoice();
  if (!decode) platform.SleepMs(kIdleSleepMs);
}

void RunAudioLoop(AudioShared& shared, AudioPlatform& platform) {
  while (!shared.stop.load()) AudioPass(shared, platform);
}

bool IsPlaybackDeviceChange(int flow, int role) {
  return flow == 0 && (role == 0 || role == 1);
}
