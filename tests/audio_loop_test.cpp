#include "audio/audio_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records what the audio thread asks of the platform.
class FakePlatform final : public AudioPlatform {
 public:
  int createFailures = 0;  // how many engine creations fail before one succeeds
  bool openSucceeds = true;
  uint32_t pcmRate = 0, pcmChannels = 0;
  bool voice = false, decoder = false;
  std::vector<std::string> calls;
  std::vector<uint32_t> sleeps;
  DecoderSetup opened;
  int engines = 0, decoded = 0, feeds = 0;

  bool CreateEngine() override {
    calls.push_back("create");
    voice = false;  // a new engine has no source voice yet
    if (createFailures > 0) {
      --createFailures;
      return false;
    }
    ++engines;
    return true;
  }
  bool EnsureSourceVoice(uint32_t rate, uint32_t channels) override {
    calls.push_back("voice " + std::to_string(rate) + "x" + std::to_string(channels));
    voice = engines > 0 && rate > 0;
    return voice;
  }
  bool HasSourceVoice() override { return voice; }
  void FlushPlayback() override { calls.push_back("flush"); }
  bool OpenDecoder(const DecoderSetup& setup) override {
    calls.push_back("open");
    opened = setup;
    decoder = openSucceeds;
    if (decoder) {
      pcmRate = setup.sampleRate;
      pcmChannels = setup.channels;
    }
    return decoder;
  }
  bool HasDecoder() override { return decoder; }
  void DecodeFrame(const std::vector<uint8_t>&) override { ++decoded; }
  void FeedVoice() override { ++feeds; }
  void PcmFormat(uint32_t& rate, uint32_t& channels) override {
    rate = pcmRate;
    channels = pcmChannels;
  }
  void SleepMs(uint32_t ms) override { sleeps.push_back(ms); }
};

void PushTestFrame(AudioShared& shared, int32_t slot) {
  const uint8_t frame[3] = {1, 2, 3};
  PushFrame(shared.frames, slot, frame, sizeof frame);
}

}  // namespace

TEST(AudioLoop, NewStreamOpensDecoderAndVoiceThenDecodes) {
  AudioShared shared;
  FakePlatform p;
  p.engines = 1;  // Start created the engine
  SetActiveSlot(shared.frames, 0);
  SetDecoderFormat(shared.config, 48000, 2, {0x11, 0x90});
  PushTestFrame(shared, 0);
  AudioPass(shared, p);
  EXPECT_EQ(p.opened.frequencyIndex, 3u);
  EXPECT_EQ(p.opened.audioSpecificConfig, (std::vector<uint8_t>{0x11, 0x90}));
  EXPECT_EQ(p.calls, (std::vector<std::string>{"open", "voice 48000x2"}));
  EXPECT_EQ(p.decoded, 1);
  EXPECT_TRUE(p.sleeps.empty()) << "a decoded frame is followed by the next pass at once";

  // The same description again: no re-opening.
  SetDecoderFormat(shared.config, 48000, 2, {0x11, 0x90});
  AudioPass(shared, p);
  EXPECT_EQ(p.calls.size(), 2u);
  EXPECT_EQ(p.sleeps, (std::vector<uint32_t>{kIdleSleepMs})) << "idle pass sleeps 5 ms";
  EXPECT_EQ(p.feeds, 2) << "the voice is topped up in idle passes too";
}

TEST(AudioLoop, FramesWithoutDecoderAreDropped) {
  AudioShared shared;
  FakePlatform p;
  p.engines = 1;
  p.openSucceeds = false;
  SetActiveSlot(shared.frames, 0);
  SetDecoderFormat(shared.config, 48000, 2, {0x11, 0x90});
  PushTestFrame(shared, 0);
  PushTestFrame(shared, 0);
  AudioPass(shared, p);
  AudioPass(shared, p);
  EXPECT_EQ(p.decoded, 0);
  EXPECT_EQ(QueuedFrameCount(shared.frames), 0u);
  EXPECT_EQ(p.calls, (std::vector<std::string>{"open"})) << "no voice for a failed decoder";
}

TEST(AudioLoop, SwitchAndMuteFlushThePlaybackOnce) {
  AudioShared shared;
  FakePlatform p;
  shared.flushRequested.store(true);
  AudioPass(shared, p);
  AudioPass(shared, p);
  EXPECT_EQ(p.calls, (std::vector<std::string>{"flush"}));
}

// A default-device change (or a critical error) sets resetEngine: the engine
// is re-created, retried every 200 ms while that fails, and gets a source
// voice in the last known PCM format once it succeeds. Frames arriving while
// there is no engine are dropped.
TEST(AudioLoop, EngineRecreatedAfterDeviceChangeWithRetries) {
  AudioShared shared;
  FakePlatform p;
  p.engines = 1;
  SetActiveSlot(shared.frames, 0);
  SetDecoderFormat(shared.config, 44100, 1, {0x12, 0x08});
  AudioPass(shared, p);
  ASSERT_TRUE(p.voice);
  p.calls.clear();
  p.sleeps.clear();

  EXPECT_TRUE(IsPlaybackDeviceChange(0, 0));
  shared.resetEngine.store(true);
  p.createFailures = 2;
  p.voice = false;
  PushTestFrame(shared, 0);
  AudioPass(shared, p);
  AudioPass(shared, p);
  EXPECT_TRUE(shared.resetEngine.load()) << "still pending after two failures";
  EXPECT_EQ(p.sleeps, (std::vector<uint32_t>{kEngineRetryMs, kEngineRetryMs}));
  AudioPass(shared, p);
  EXPECT_FALSE(shared.resetEngine.load());
  EXPECT_EQ(p.calls, (std::vector<std::string>{"create", "create", "create", "voice 44100x1"}));
  EXPECT_EQ(p.engines, 2);
  EXPECT_EQ(p.decoded, 1) << "the queued frame plays on the new engine";
}

TEST(AudioLoop, NoVoiceBeforeAnyFormatIsKnown) {
  AudioShared shared;
  FakePlatform p;
  shared.resetEngine.store(true);
  AudioPass(shared, p);
  EXPECT_EQ(p.calls, (std::vector<std::string>{"create"}));
}

TEST(AudioLoop, StopEndsTheLoop) {
  AudioShared shared;
  FakePlatform p;
  shared.stop.store(true);
  RunAudioLoop(shared, p);
  EXPECT_TRUE(p.sleeps.empty()) << "stop is tested before the first pass";
}

TEST(AudioLoop, OnlyPlaybackDefaultChangesForConsoleOrMultimedia) {
  EXPECT_TRUE(IsPlaybackDeviceChange(0, 0));   // render, console
  EXPECT_TRUE(IsPlaybackDeviceChange(0, 1));   // render, multimedia
  EXPECT_FALSE(IsPlaybackDeviceChange(0, 2));  // render, communications
  EXPECT_FALSE(IsPlaybackDeviceChange(1, 0));  // capture
}
