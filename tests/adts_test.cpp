#include "audio/adts.h"

#include <gtest/gtest.h>

#include <vector>

TEST(AudioAdts, FrequencyTableAndFallback) {
  const uint32_t rates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                              22050, 16000, 12000, 11025, 8000,  7350};
  for (uint32_t i = 0; i < 13; ++i) EXPECT_EQ(AdtsFrequencyIndex(rates[i]), i) << rates[i];
  EXPECT_EQ(AdtsFrequencyIndex(50000), 8u);
  EXPECT_EQ(AdtsFrequencyIndex(0), 8u);
}

TEST(AudioAdts, HeaderBytesForStereoAndMono) {
  uint8_t h[7] = {};
  ASSERT_TRUE(WriteAdtsHeader(h, AdtsFrequencyIndex(48000), 2, 22));
  const uint8_t stereo[7] = {0xFF, 0xF1, 0x4C, 0x80, 0x03, 0xBF, 0xFC};  // L = 29
  for (int i = 0; i < 7; ++i) EXPECT_EQ(h[i], stereo[i]) << "byte " << i;

  ASSERT_TRUE(WriteAdtsHeader(h, AdtsFrequencyIndex(16000), 1, 0));
  EXPECT_EQ(h[2], 0x60);
  EXPECT_EQ(h[3], 0x40);  // length 7: bits 12-11 are zero
  EXPECT_EQ(h[4], 0x00);
  EXPECT_EQ(h[5], (7 << 5) | 0x1F);

  // Six channels: bit 2 of the channel count goes to byte 2, bits 1-0 to byte 3.
  ASSERT_TRUE(WriteAdtsHeader(h, 3, 6, 100));
  EXPECT_EQ(h[2], 0x4C | 0x01);
  EXPECT_EQ(h[3] & 0xC0, 0x80);
}

TEST(AudioAdts, LengthFieldUsesAllThirteenBits) {
  uint8_t h[7] = {};
  ASSERT_TRUE(WriteAdtsHeader(h, 3, 2, kAdtsMaxRawFrame));
  const uint32_t length = ((h[3] & 0x03u) << 11) | (uint32_t{h[4]} << 3) | (h[5] >> 5);
  EXPECT_EQ(length, 8191u);
  // A longer frame cannot be described: refused, nothing written.
  uint8_t untouched[7] = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_FALSE(WriteAdtsHeader(untouched, 3, 2, kAdtsMaxRawFrame + 1));
  EXPECT_EQ(untouched[0], 1);
  std::vector<uint8_t> big(kAdtsMaxRawFrame + 1, 0x11);
  EXPECT_TRUE(MakeAdtsFrame(3, 2, big.data(), big.size()).empty());
}

TEST(AudioAdts, FrameIsHeaderThenPayload) {
  const uint8_t raw[3] = {0x21, 0x10, 0x05};
  std::vector<uint8_t> f = MakeAdtsFrame(3, 2, raw, 3);
  ASSERT_EQ(f.size(), 10u);
  EXPECT_EQ(f[0], 0xFF);
  EXPECT_EQ(f[7], 0x21);
  EXPECT_EQ(f[9], 0x05);
}

#include "tests/audio_clip.h"

// The headers rebuilt for the raw frames equal the ones ffmpeg wrote.
TEST(AudioAdts, MatchesAnEncodersHeaders) {
  struct Case {
    const char* file;
    uint32_t rate;
    uint32_t channels;
    size_t frames;
  };
  for (const Case& c : {Case{"tone_440l_660r_48k_stereo.aac", 48000, 2, 25},
                        Case{"tone_1000_16k_mono.aac", 16000, 1, 9}}) {
    const AacClip clip = LoadAdtsClip(c.file);
    ASSERT_EQ(clip.frames.size(), c.frames) << c.file;
    for (size_t i = 0; i < clip.frames.size(); ++i) {
      uint8_t h[7];
      ASSERT_TRUE(
          WriteAdtsHeader(h, AdtsFrequencyIndex(c.rate), c.channels, clip.frames[i].size()));
      for (int k = 0; k < 7; ++k)
        ASSERT_EQ(h[k], clip.headers[i][k]) << c.file << " frame " << i << " byte " << k;
    }
  }
}
