// The Media Foundation AAC decoder on the committed clips: sample counts,
// output format, the tones per channel, refused set-ups and bad frames.
#include <windows.h>
#include <mfapi.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/aac_decoder_win.h"
#include "audio/adts.h"
#include "tests/audio_clip.h"

namespace {

class MediaFoundation {
 public:
  MediaFoundation() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    started = SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_NOSOCKET));
  }
  ~MediaFoundation() {
    if (started) MFShutdown();
    CoUninitialize();
  }
  bool started = false;
};

class CapturingSink final : public PcmSink {
 public:
  std::vector<int16_t> samples;
  int outputs = 0, formatChanges = 0;
  void OnPcmFormat(uint32_t, uint32_t) override { ++formatChanges; }
  void OnPcm(const uint8_t* data, size_t size) override {
    ++outputs;
    for (size_t i = 0; i + 1 < size; i += 2) {
      samples.push_back(static_cast<int16_t>(data[i] | (data[i + 1] << 8)));
    }
  }
};

// Amplitude of one frequency in one channel (Goertzel), skipping the start.
double ToneAmplitude(const std::vector<int16_t>& pcm, uint32_t channels, uint32_t channel,
                     uint32_t rate, double frequency) {
  const size_t skip = 2048;
  const double w = 2.0 * 3.14159265358979323846 * frequency / rate;
  double s1 = 0, s2 = 0;
  size_t n = 0;
  for (size_t i = (skip * channels) + channel; i < pcm.size(); i += channels, ++n) {
    const double s0 = pcm[i] + 2.0 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  if (n == 0) return 0;
  const double power = s1 * s1 + s2 * s2 - 2.0 * std::cos(w) * s1 * s2;
  return 2.0 * std::sqrt(power) / static_cast<double>(n);
}

DecoderSetup StreamSetup(uint32_t rate, uint32_t channels, std::vector<uint8_t> asc) {
  DecoderSetup s;
  s.sampleRate = rate;
  s.channels = channels;
  s.audioSpecificConfig = std::move(asc);
  return s;
}

int DecodeAll(AacDecoder& aac, const AacClip& clip, PcmSink& sink) {
  int accepted = 0;
  for (const auto& f : clip.frames) accepted += DecodeFrame(aac, f.data(), f.size(), sink) ? 1 : 0;
  return accepted;
}

}  // namespace

TEST(AudioAacDecoderWin, StereoClipDecodesToBothTones) {
  MediaFoundation mf;
  ASSERT_TRUE(mf.started);
  const AacClip clip = LoadAdtsClip("tone_440l_660r_48k_stereo.aac");
  ASSERT_EQ(clip.frames.size(), 25u);
  AacDecoder aac;
  ASSERT_TRUE(OpenAacDecoder(aac, StreamSetup(48000, 2, {0x11, 0x90})));
  EXPECT_EQ(aac.outputRate, 48000u);
  EXPECT_EQ(aac.outputChannels, 2u);
  EXPECT_EQ(aac.setup.frequencyIndex, 3u);

  CapturingSink sink;
  EXPECT_EQ(DecodeAll(aac, clip, sink), 25);
  const size_t perChannel = sink.samples.size() / 2;
  // One AAC frame is 1024 samples; a decoder may hold back one frame.
  EXPECT_GE(perChannel, 24u * 1024);
  EXPECT_LE(perChannel, 25u * 1024);
  const double left440 = ToneAmplitude(sink.samples, 2, 0, 48000, 440);
  const double left660 = ToneAmplitude(sink.samples, 2, 0, 48000, 660);
  const double right440 = ToneAmplitude(sink.samples, 2, 1, 48000, 440);
  const double right660 = ToneAmplitude(sink.samples, 2, 1, 48000, 660);
  EXPECT_GT(left440, 2000.0);  // ffmpeg's sine source: amplitude 1/8 of full scale
  EXPECT_GT(right660, 2000.0);
  EXPECT_GT(left440, 20 * left660);
  EXPECT_GT(right660, 20 * right440);
  ReleaseAacDecoder(aac);
  EXPECT_EQ(aac.decoder, nullptr);
}

TEST(AudioAacDecoderWin, MonoClipAt16kHz) {
  MediaFoundation mf;
  const AacClip clip = LoadAdtsClip("tone_1000_16k_mono.aac");
  AacDecoder aac;
  ASSERT_TRUE(OpenAacDecoder(aac, StreamSetup(16000, 1, {0x14, 0x08})));
  EXPECT_EQ(aac.outputRate, 16000u);
  EXPECT_EQ(aac.outputChannels, 1u);
  EXPECT_EQ(aac.setup.frequencyIndex, 8u);
  CapturingSink sink;
  EXPECT_EQ(DecodeAll(aac, clip, sink), 9);
  EXPECT_GE(sink.samples.size(), 8u * 1024);
  EXPECT_LE(sink.samples.size(), 9u * 1024);
  EXPECT_GT(ToneAmplitude(sink.samples, 1, 0, 16000, 1000), 2000.0);
  EXPECT_LT(ToneAmplitude(sink.samples, 1, 0, 16000, 1500), 200.0);
  ReleaseAacDecoder(aac);
}

TEST(AudioAacDecoderWin, RefusedSetUpsLeaveNoDecoder) {
  MediaFoundation mf;
  AacDecoder aac;
  EXPECT_FALSE(OpenAacDecoder(aac, StreamSetup(48000, 2, {})));
  EXPECT_FALSE(OpenAacDecoder(aac, StreamSetup(0, 2, {0x11, 0x90})));
  EXPECT_FALSE(OpenAacDecoder(aac, StreamSetup(48000, 0, {0x11, 0x90})));
  EXPECT_EQ(aac.decoder, nullptr);
  EXPECT_FALSE(SelectPcmOutput(aac));
  CapturingSink sink;
  const uint8_t frame[4] = {1, 2, 3, 4};
  EXPECT_FALSE(DecodeFrame(aac, frame, sizeof frame, sink));
  EXPECT_EQ(DrainAacDecoder(aac, sink), 0);

  // A working decoder replaced by a refused set-up is gone, not kept.
  ASSERT_TRUE(OpenAacDecoder(aac, StreamSetup(48000, 2, {0x11, 0x90})));
  EXPECT_FALSE(OpenAacDecoder(aac, StreamSetup(48000, 2, {})));
  EXPECT_EQ(aac.decoder, nullptr);
}

TEST(AudioAacDecoderWin, BadFramesAreDroppedAndDecodingGoesOn) {
  MediaFoundation mf;
  const AacClip clip = LoadAdtsClip("tone_440l_660r_48k_stereo.aac");
  AacDecoder aac;
  ASSERT_TRUE(OpenAacDecoder(aac, StreamSetup(48000, 2, {0x11, 0x90})));
  CapturingSink sink;
  std::vector<uint8_t> tooLong(kAdtsMaxRawFrame + 1, 0x55);
  EXPECT_FALSE(DecodeFrame(aac, tooLong.data(), tooLong.size(), sink));
  EXPECT_FALSE(DecodeFrame(aac, tooLong.data(), 0, sink));
  uint32_t seed = 12345;
  for (int i = 0; i < 20; ++i) {
    std::vector<uint8_t> junk(static_cast<size_t>(50 + i * 37));
    for (auto& b : junk) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    DecodeFrame(aac, junk.data(), junk.size(), sink);  // may or may not give PCM: no crash
  }
  CapturingSink after;
  DecodeAll(aac, clip, after);
  EXPECT_GE(after.samples.size() / 2, 20u * 1024);
  EXPECT_GT(ToneAmplitude(after.samples, 2, 0, 48000, 440), 1000.0);
  ReleaseAacDecoder(aac);
}

TEST(AudioAacDecoderWin, FlushKeepsTheDecoderUsable) {
  MediaFoundation mf;
  const AacClip clip = LoadAdtsClip("tone_440l_660r_48k_stereo.aac");
  AacDecoder aac;
  ASSERT_TRUE(OpenAacDecoder(aac, StreamSetup(48000, 2, {0x11, 0x90})));
  CapturingSink before, after;
  for (size_t i = 0; i < 10; ++i)
    DecodeFrame(aac, clip.frames[i].data(), clip.frames[i].size(), before);
  FlushAacDecoder(aac);
  for (size_t i = 10; i < clip.frames.size(); ++i) {
    DecodeFrame(aac, clip.frames[i].data(), clip.frames[i].size(), after);
  }
  EXPECT_GE(after.samples.size() / 2, 13u * 1024);
  EXPECT_GT(ToneAmplitude(after.samples, 2, 1, 48000, 660), 1000.0);
  ReleaseAacDecoder(aac);
}
