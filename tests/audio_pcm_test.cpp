// The PCM path to the source voice: when blocks are freed (only once the
// voice has finished with them, whatever order it reports that in) and what
// the backlog keeps when frames arrive late and in bursts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include "audio/pcm_blocks.h"

namespace {

bool Registered(PcmBlocks& registry, uint64_t id) {
  std::lock_guard<std::mutex> lock(registry.lock);
  return std::any_of(registry.blocks.begin(), registry.blocks.end(),
                     [id](const PcmBlock* b) { return b->id == id; });
}

// A source voice as XAudio2 documents it: it plays its buffers in order and
// reports each one's end (freeing the block, as the product's callback does);
// a flush removes every buffer but the one playing and reports the removed
// ones' ends later, before the playing one's. Playing reads the bytes of the
// buffer, so a block freed too early is caught here (and by AddressSanitizer
// in native builds).
class FakeVoice final : public PcmVoice {
 public:
  struct Buffer {
    uint64_t id;
    const uint8_t* data;
    size_t size;
    size_t played;
  };
  struct Start {
    uint32_t tag;   // first two bytes of the buffer
    uint32_t atMs;  // when it began to play
  };

  explicit FakeVoice(PcmBlocks& registry) : registry(registry) {}
  // A destroyed voice makes no more reports: what it held is freed.
  ~FakeVoice() { FreeAllPcmBlocks(registry); }
  FakeVoice(const FakeVoice&) = delete;
  FakeVoice& operator=(const FakeVoice&) = delete;

  bool SubmitPcm(const PcmBlock& block) override {
    if (refuse) return false;
    queue.push_back({block.id, block.bytes.data(), block.bytes.size(), 0});
    return true;
  }
  size_t QueuedPcmBuffers() override { return queue.size(); }

  void Flush() {
    if (queue.size() <= 1) return;
    removed.insert(removed.end(), queue.begin() + 1, queue.end());
    queue.resize(1);
  }
  // The end callbacks of the buffers a flush removed.
  void EndRemoved() {
    for (const Buffer& b : removed) EXPECT_TRUE(FreePcmBlock(registry, b.id));
    removed.clear();
  }

  // Plays bytes of PCM; returns how many of them were silence (nothing queued).
  size_t Play(size_t bytes) {
    while (bytes > 0 && !queue.empty()) {
      Buffer& b = queue.front();
      if (!Registered(registry, b.id)) {
        ++freedWhilePlaying;  // never read it: that would be a use after free
        queue.pop_front();
        continue;
      }
      if (b.played == 0 && b.size >= 2) {
        starts.push_back({uint32_t{b.data[0]} | uint32_t{b.data[1]} << 8, now});
      }
      const size_t n = std::min(bytes, b.size - b.played);
      output.insert(output.end(), b.data + b.played, b.data + b.played + n);
      b.played += n;
      bytes -= n;
      if (b.played == b.size) {
        const uint64_t id = b.id;
        queue.pop_front();
        EXPECT_TRUE(FreePcmBlock(registry, id)) << "its end is reported once";
      }
    }
    return bytes;
  }

  bool refuse = false;
  uint32_t now = 0;
  std::deque<Buffer> queue;  // the front one is playing
  std::vector<Buffer> removed;
  std::vector<uint8_t> output;
  std::vector<Start> starts;
  int freedWhilePlaying = 0;

 private:
  PcmBlocks& registry;
};

// One decoded AAC frame (1024 samples) whose first two bytes carry its number.
std::vector<uint8_t> Pcm(uint32_t tag, uint32_t channels, uint8_t fill = 0x11) {
  std::vector<uint8_t> pcm(size_t{1024} * channels * 2, fill);
  pcm[0] = static_cast<uint8_t>(tag & 0xFF);
  pcm[1] = static_cast<uint8_t>(tag >> 8);
  return pcm;
}

void Queue(PcmPlayback& p, const std::vector<uint8_t>& pcm) {
  ASSERT_TRUE(QueuePcm(p, pcm.data(), pcm.size()));
}

}  // namespace

// A camera switch flushes the voice while it plays: the playing buffer stays
// in the voice, the ones behind it are removed and their ends reported later,
// and the new camera's PCM follows. Only the voice's own end reports (or its
// destruction) may free a block: counting queued buffers would take the
// playing block for a finished one once the removed ones are gone from the
// voice but not yet from the registry.
TEST(AudioPcm, BlocksFreedOnlyWhenTheVoiceEndsThemAfterAFlush) {
  PcmPlayback p;
  SetPcmVoiceFormat(p, 48000, 2);  // 4096-byte frames of 21.3 ms; 100 ms lead = 19200 bytes
  FakeVoice v(p.submitted);
  for (uint32_t i = 0; i < 8; ++i) Queue(p, Pcm(0xA0 + i, 2, 0xAA));
  EXPECT_EQ(FeedPcmVoice(p, v), 5u) << "the voice is topped up to 100 ms";
  EXPECT_EQ(p.waitingBytes, 3u * 4096);
  v.Play(1000);  // camera A's first block is playing

  // Switch to camera B (what FlushPlayback does).
  v.Flush();
  DropWaitingPcm(p);
  for (uint32_t i = 0; i < 8; ++i) Queue(p, Pcm(0xB0 + i, 2, 0xBB));
  EXPECT_EQ(FeedPcmVoice(p, v), 4u);
  EXPECT_EQ(PcmBlockCount(p.submitted), 9u) << "removed blocks wait for their end reports";
  v.Play(1000);
  EXPECT_EQ(FeedPcmVoice(p, v), 0u);
  EXPECT_EQ(PcmBlockCount(p.submitted), 9u);

  v.EndRemoved();  // before the playing block's end
  EXPECT_EQ(PcmBlockCount(p.submitted), 5u);
  for (int i = 0; i < 40; ++i) {
    v.Play(4096);
    FeedPcmVoice(p, v);
  }
  EXPECT_EQ(v.freedWhilePlaying, 0);
  EXPECT_EQ(PcmBlockCount(p.submitted), 0u) << "every block freed once it ended";
  EXPECT_TRUE(p.waiting.empty());
  EXPECT_EQ(p.droppedBlocks, 0u);
  // Heard: the rest of A's playing block, then all of B and nothing else of A.
  ASSERT_EQ(v.output.size(), 4096u + 8 * 4096u);
  EXPECT_EQ(v.output[4095], 0xAA);
  std::vector<uint32_t> tags;
  for (const auto& s : v.starts) tags.push_back(s.tag);
  EXPECT_EQ(tags, (std::vector<uint32_t>{0xA0, 0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7}));
}

TEST(AudioPcm, DestroyedVoiceRefusedBlocksAndLateReports) {
  PcmPlayback p;
  SetPcmVoiceFormat(p, 16000, 1);  // 2048-byte frames of 64 ms
  FakeVoice v(p.submitted);
  for (uint32_t i = 0; i < 4; ++i) Queue(p, Pcm(i, 1));
  EXPECT_EQ(FeedPcmVoice(p, v), 2u);

  // A refused block is freed at once and counted as dropped.
  v.queue.clear();  // as if it had played, ends not reported yet
  v.refuse = true;
  EXPECT_EQ(FeedPcmVoice(p, v), 0u);
  EXPECT_EQ(p.droppedBlocks, 1u);
  EXPECT_EQ(PcmBlockCount(p.submitted), 2u);
  v.refuse = false;

  // The voice is destroyed: what it held is freed, waiting PCM of its format
  // is dropped, and ids are never reused, so a late report frees nothing new.
  const uint64_t oldId = p.submitted.blocks.front()->id;
  EXPECT_EQ(FreeAllPcmBlocks(p.submitted), 2u);
  SetPcmVoiceFormat(p, 0, 0);
  EXPECT_TRUE(p.waiting.empty());
  EXPECT_FALSE(QueuePcm(p, Pcm(9, 1).data(), 2048)) << "no voice, no PCM";
  SetPcmVoiceFormat(p, 16000, 1);
  Queue(p, Pcm(10, 1));
  EXPECT_EQ(FeedPcmVoice(p, v), 1u);
  EXPECT_FALSE(FreePcmBlock(p.submitted, oldId));
  EXPECT_EQ(PcmBlockCount(p.submitted), 1u);
}

namespace {

struct Stall {
  uint32_t startMs, endMs;  // frames due in [start, end) arrive at end
};

struct LiveRun {
  std::vector<FakeVoice::Start> starts;
  std::vector<bool> silent;  // per millisecond
  uint64_t dropped = 0;
  size_t mostBacklog = 0;  // bytes, voice and waiting
  uint32_t dueMs(uint32_t tag, uint32_t rate) const {
    return static_cast<uint32_t>(uint64_t{tag} * 1024 * 1000 / rate);
  }
  uint32_t silentMs(uint32_t from, uint32_t to) const {
    return static_cast<uint32_t>(std::count(silent.begin() + from, silent.begin() + to, true));
  }
};

// A live stream through the PCM path, millisecond by millisecond: frame k is
// due at its media time, a frame due inside a stall arrives when the stall
// ends, each arriving frame is decoded and the voice fed (one audio-thread
// pass each), idle passes feed every 5 ms, and the voice plays all the time.
LiveRun RunLive(uint32_t rate, uint32_t channels, const std::vector<Stall>& stalls,
                uint32_t lengthMs) {
  PcmPlayback p;
  SetPcmVoiceFormat(p, rate, channels);
  FakeVoice v(p.submitted);
  LiveRun run;
  auto arrival = [&](uint32_t k) {
    const uint32_t due = run.dueMs(k, rate);
    for (const Stall& s : stalls) {
      if (due >= s.startMs && due < s.endMs) return s.endMs;
    }
    return due;
  };
  auto feed = [&] {
    FeedPcmVoice(p, v);
    const size_t backlog = VoicePcmBytes(p.submitted, v.QueuedPcmBuffers()) + p.waitingBytes;
    run.mostBacklog = std::max(run.mostBacklog, backlog);
  };
  const size_t perMs = PcmBytesForMs(p, 1);
  uint32_t next = 0;
  for (uint32_t t = 0; t < lengthMs; ++t) {
    v.now = t;
    while (arrival(next) <= t) {
      Queue(p, Pcm(next++, channels));
      feed();
    }
    if (t % 5 == 0) feed();
    run.silent.push_back(v.Play(perMs) > 0);
  }
  run.starts = v.starts;
  run.dropped = p.droppedBlocks;
  EXPECT_EQ(v.freedWhilePlaying, 0);
  return run;
}

}  // namespace

// 16 kHz mono, 64 ms a frame. A stall of about half a second leaves a gap no
// buffer could have filled, but every frame it held back is played; the lag
// it leaves then carries the sound through a second stall without a break.
TEST(AudioPcm, HalfSecondStallLosesNoFrameAndTheNextOneIsRiddenOut) {
  const uint32_t rate = 16000;
  const LiveRun run = RunLive(rate, 1, {{1008, 1508}, {2992, 3442}}, 5000);
  EXPECT_EQ(run.dropped, 0u) << "8 frames (512 ms) arrive together after the first stall";
  ASSERT_GT(run.starts.size(), 60u);
  for (size_t i = 0; i < run.starts.size(); ++i) {
    ASSERT_EQ(run.starts[i].tag, i) << "every frame is played, in order";
  }
  EXPECT_EQ(run.silentMs(0, 1008), 0u);
  EXPECT_NEAR(run.silentMs(1008, 1600), 484.0, 6.0) << "frame 16 was due at 1024, arrived at 1508";
  EXPECT_EQ(run.silentMs(1600, 5000), 0u) << "the second stall (450 ms) is ridden out";
  EXPECT_LE(run.mostBacklog, size_t{rate} * 2 * kMaxPcmBacklogMs / 1000);
}

// 48 kHz stereo. A two-second stall delivers far more than the cap. The
// first frames of the burst go to the idle voice before the rest has arrived
// (at most its 100 ms lead); of the rest the oldest is dropped, so the sound
// then runs at most kMaxPcmBacklogMs behind the camera, without a break.
TEST(AudioPcm, LongStallKeepsTheNewestSoundWithinTheCap) {
  const uint32_t rate = 48000;
  const LiveRun run = RunLive(rate, 2, {{1000, 3000}}, 4000);
  EXPECT_LE(run.mostBacklog, size_t{rate} * 4 * kMaxPcmBacklogMs / 1000);
  EXPECT_GT(run.dropped, 60u) << "94 frames arrive at once, 28 fit in 600 ms";

  const uint32_t frameMs = 22;
  size_t first = 0;  // the first frame played after the stall
  while (first < run.starts.size() && run.starts[first].atMs < 3000) ++first;
  size_t resume = first + 1;  // where the dropped frames were
  while (resume < run.starts.size() && run.starts[resume].tag == run.starts[resume - 1].tag + 1) {
    ++resume;
  }
  ASSERT_LT(resume + 40, run.starts.size());
  EXPECT_LE((resume - first) * frameMs, kPcmVoiceLeadMs + frameMs) << "old sound after the stall";
  for (size_t i = resume; i < run.starts.size(); ++i) {
    const FakeVoice::Start& s = run.starts[i];
    ASSERT_LE(s.atMs - run.dueMs(s.tag, rate), kMaxPcmBacklogMs + frameMs)
        << "frame " << s.tag << " played at " << s.atMs;
    if (i > resume) ASSERT_EQ(s.tag, run.starts[i - 1].tag + 1) << "no break after the burst";
  }
  EXPECT_EQ(run.silentMs(3010, 4000), 0u);
}
