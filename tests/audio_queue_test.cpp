#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "audio/decoder_config.h"
#include "audio/frame_queue.h"

namespace {

std::vector<uint8_t> Frame(uint8_t tag) {
  return std::vector<uint8_t>(4, tag);
}

bool Push(FrameQueue& q, int32_t slot, uint8_t tag) {
  std::vector<uint8_t> f = Frame(tag);
  return PushFrame(q, slot, f.data(), f.size());
}

}  // namespace

TEST(AudioFrameQueue, KeepsOnlyAudibleUnmutedNonEmptyFrames) {
  FrameQueue q;
  EXPECT_FALSE(Push(q, 0, 1)) << "no audible slot yet";
  EXPECT_FALSE(Push(q, -1, 1)) << "-1 is never a slot";
  SetActiveSlot(q, 2);
  EXPECT_FALSE(Push(q, 1, 1));
  EXPECT_TRUE(Push(q, 2, 1));
  const uint8_t byte = 7;
  EXPECT_FALSE(PushFrame(q, 2, &byte, 0));
  EXPECT_FALSE(PushFrame(q, 2, nullptr, 4));
  EXPECT_EQ(QueuedFrameCount(q), 1u);

  EXPECT_TRUE(SetMuted(q, true)) << "muting asks for a flush";
  EXPECT_EQ(QueuedFrameCount(q), 0u);
  EXPECT_FALSE(Push(q, 2, 2));
  EXPECT_FALSE(SetMuted(q, false)) << "unmuting only clears the flag";
  EXPECT_EQ(QueuedFrameCount(q), 0u) << "frames dropped while muted stay dropped";
  EXPECT_TRUE(Push(q, 2, 3));
  std::vector<uint8_t> out;
  ASSERT_TRUE(TakeFrame(q, out));
  EXPECT_EQ(out, Frame(3));
  EXPECT_FALSE(TakeFrame(q, out));
}

TEST(AudioFrameQueue, BoundedAt33EvictingOldestAndEmptiedOnSwitch) {
  FrameQueue q;
  SetActiveSlot(q, 0);
  for (int i = 0; i < 34; ++i) ASSERT_TRUE(Push(q, 0, static_cast<uint8_t>(i)));
  EXPECT_EQ(QueuedFrameCount(q), kMaxQueuedFrames);
  std::vector<uint8_t> out;
  ASSERT_TRUE(TakeFrame(q, out));
  EXPECT_EQ(out, Frame(1)) << "the first frame was evicted";

  SetActiveSlot(q, 1);
  EXPECT_EQ(QueuedFrameCount(q), 0u);
  EXPECT_FALSE(Push(q, 0, 9)) << "the old camera is no longer heard";
}

// A frame of the old camera racing a switch must never be left in the queue
// after SetActiveSlot has returned.
TEST(AudioFrameQueue, NoOldFrameSurvivesARacingSwitch) {
  for (int round = 0; round < 40; ++round) {
    FrameQueue q;
    SetActiveSlot(q, 0);
    std::atomic<bool> go{true};
    std::thread pusher([&] {
      while (go.load()) Push(q, 0, 0xA0);
    });
    while (QueuedFrameCount(q) == 0) std::this_thread::yield();
    SetActiveSlot(q, 1);
    go.store(false);
    pusher.join();
    ASSERT_EQ(QueuedFrameCount(q), 0u) << "round " << round;
  }
}

TEST(AudioDecoderConfig, EqualFormatChangesNothing) {
  DecoderConfig c;
  const std::vector<uint8_t> asc = {0x11, 0x90};
  EXPECT_TRUE(SetDecoderFormat(c, 48000, 2, asc));
  EXPECT_TRUE(c.configChanged);
  EXPECT_EQ(c.frequencyIndex, 3u);
  c.configChanged = false;  // the audio thread has seen it
  EXPECT_FALSE(SetDecoderFormat(c, 48000, 2, asc));
  EXPECT_FALSE(c.configChanged);
  EXPECT_TRUE(SetDecoderFormat(c, 48000, 2, {0x11, 0x88}));
  EXPECT_TRUE(SetDecoderFormat(c, 50000, 2, {0x11, 0x88}));
  EXPECT_EQ(c.frequencyIndex, 8u);
}

TEST(AudioDecoderConfig, UsableFormatsAndUserData) {
  EXPECT_TRUE(DecoderFormatUsable(48000, 2, {0x11, 0x90}));
  EXPECT_FALSE(DecoderFormatUsable(0, 2, {0x11, 0x90}));
  EXPECT_FALSE(DecoderFormatUsable(48000, 0, {0x11, 0x90}));
  EXPECT_FALSE(DecoderFormatUsable(48000, 8, {0x11, 0x90})) << "ADTS states at most 7";
  EXPECT_FALSE(DecoderFormatUsable(48000, 2, {}));

  const std::vector<uint8_t> expected = {0x01, 0x00, 0xFE, 0x00, 0, 0,    0,
                                         0,    0,    0,    0,    0, 0x11, 0x90};
  EXPECT_EQ(AacUserData({0x11, 0x90}), expected);
}

TEST(AudioDecoderConfig, PcmOutputChoice) {
  const PcmCandidate float48{false, 32, 48000, 2};
  const PcmCandidate pcm44{true, 16, 44100, 2};
  const PcmCandidate pcm48mono{true, 16, 48000, 1};
  const PcmCandidate pcm48{true, 16, 48000, 2};
  const PcmCandidate pcm24bit{true, 24, 48000, 2};
  EXPECT_EQ(ChoosePcmOutput({float48, pcm44, pcm48mono, pcm48}, 48000, 2), 3);
  EXPECT_EQ(ChoosePcmOutput({float48, pcm24bit, pcm44, pcm48mono}, 48000, 2), 2);
  EXPECT_EQ(ChoosePcmOutput({float48, pcm24bit}, 48000, 2), -1);
  EXPECT_EQ(ChoosePcmOutput({}, 48000, 2), -1);
}
