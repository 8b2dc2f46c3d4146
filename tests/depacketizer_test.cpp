#include "rtsp/depacketizer.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Rtp {
  bool marker = false;
  uint32_t timestamp = 0;
  Bytes payload;
  int csrcCount = 0;
  int extensionWords = -1;  // -1: no extension
  int padding = 0;          // padding octets, the count included
};

Bytes Build(const Rtp& p) {
  Bytes out = {static_cast<uint8_t>(0x80 | (p.padding ? 0x20 : 0) |
                                    (p.extensionWords >= 0 ? 0x10 : 0) | p.csrcCount),
               static_cast<uint8_t>((p.marker ? 0x80 : 0) | 96),
               0x12,
               0x34,
               static_cast<uint8_t>(p.timestamp >> 24),
               static_cast<uint8_t>(p.timestamp >> 16),
               static_cast<uint8_t>(p.timestamp >> 8),
               static_cast<uint8_t>(p.timestamp),
               1,
               2,
               3,
               4};
  out.insert(out.end(), 4 * static_cast<size_t>(p.csrcCount), 0xCC);
  if (p.extensionWords >= 0) {
    out.insert(out.end(), {0xBE, 0xDE, 0, static_cast<uint8_t>(p.extensionWords)});
    out.insert(out.end(), 4 * static_cast<size_t>(p.extensionWords), 0xEE);
  }
  out.insert(out.end(), p.payload.begin(), p.payload.end());
  if (p.padding) {
    out.insert(out.end(), static_cast<size_t>(p.padding - 1), 0);
    out.push_back(static_cast<uint8_t>(p.padding));
  }
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes kStart = {0, 0, 0, 1};

struct Receiver {
  MediaState state;
  std::vector<std::pair<Bytes, int64_t>> units;
  std::vector<Bytes> audio;
  AccessUnitCallback onAccessUnit = [this](Bytes&& unit, int64_t time) {
    units.emplace_back(std::move(unit), time);
  };
  AudioFrameCallback onAudioFrame = [this](const uint8_t* data, unsigned size) {
    audio.emplace_back(data, data + size);
  };

  explicit Receiver(int codec, Bytes parameterSets = {}, bool audioReady = false) {
    SdpInfo sdp;
    sdp.codec = codec;
    sdp.parameterSets = std::move(parameterSets);
    ResetMediaState(state, sdp, audioReady);
  }
  void Frame(uint8_t channel, const Rtp& packet) {
    const Bytes data = Build(packet);
    HandleInterleavedFrame(state, channel, data.data(), data.size(), onAccessUnit, onAudioFrame);
  }
  void Video(const Rtp& packet) { Frame(0, packet); }
};

}  // namespace

TEST(VideoDepacketizer, SingleNalUnitsAndParameterSetsOnce) {
  const Bytes sets = Cat({kStart, {0x67, 1}, kStart, {0x68, 2}});
  Receiver r(1, sets);
  r.Video({true, 1000, {0x65, 0xAA, 0xBB}});
  r.Video({false, 4003, {0x06, 0x05}});
  r.Video({true, 4003, {0x41, 0xCC}});  // marker only on the second: one unit
  r.Video({true, 7006, {}});            // no payload: dropped, nothing pending
  ASSERT_EQ(r.units.size(), 2u);
  EXPECT_EQ(r.units[0].first, Cat({sets, kStart, {0x65, 0xAA, 0xBB}}));
  EXPECT_EQ(r.units[0].second, 0);
  EXPECT_EQ(r.units[1].first, Cat({kStart, {0x06, 0x05}, kStart, {0x41, 0xCC}}));
  EXPECT_EQ(r.units[1].second, 333666);  // 3003 ticks
}

TEST(VideoDepacketizer, TimestampsFromFirstPacketModulo32Bits) {
  EXPECT_EQ(RtpTimestampTo100ns(90000 + 5, 5), 10000000);
  EXPECT_EQ(RtpTimestampTo100ns(0x100, 0xFFFFFF00u), 0x200 * 1000 / 9);
  EXPECT_EQ(RtpTimestampTo100ns(0xFFFFFFFEu, 0xFFFFFFFFu), 477218588333);
  Receiver r(1);
  r.Video({false, 0xFFFFFFF0u, {0x09, 0x10}});  // the base, though it ends no unit
  r.Video({true, 0x00000000u + 90000 - 16, {0x41}});
  ASSERT_EQ(r.units.size(), 1u);
  EXPECT_EQ(r.units[0].second, 10000000);
}

TEST(VideoDepacketizer, H264FragmentationUnits) {
  Receiver r(1);
  // Continuations of a unit whose start was missed (joined mid-picture): dropped.
  r.Video({false, 0, {0x7C, 0x05, 0x11}});
  r.Video({true, 0, {0x7C, 0x45, 0x12}});
  EXPECT_TRUE(r.units.empty());
  // S, middle, E with marker: one start code, rebuilt header (F|NRI of the
  // indicator, type of the FU header), bodies concatenated.
  r.Video({false, 3000, {0x7C, 0x85, 0xA1, 0xA2}});
  r.Video({false, 3000, {0x7C, 0x05, 0xB1}});
  r.Video({true, 3000, {0x7C, 0x45, 0xC1, 0xC2}});
  ASSERT_EQ(r.units.size(), 1u);
  EXPECT_EQ(r.units[0].first, Cat({kStart, {0x65, 0xA1, 0xA2, 0xB1, 0xC1, 0xC2}}));
  // After the end fragment, a stray middle is dropped; a start without end is
  // closed by the marker, so the next unit does not receive its continuation.
  r.Video({false, 6000, {0x5C, 0x01, 0xD1}});
  r.Video({true, 6000, {0x5C, 0x81, 0xE1}});
  r.Video({false, 9000, {0x5C, 0x01, 0xF1}});
  r.Video({true, 9000, {0x41, 0x9A}});
  ASSERT_EQ(r.units.size(), 3u);
  EXPECT_EQ(r.units[1].first, Cat({kStart, {0x41, 0xE1}}));
  EXPECT_EQ(r.units[2].first, Cat({kStart, {0x41, 0x9A}}));
  // A one-byte FU-A gives nothing.
  r.Video({true, 9000, {0x7C}});
  EXPECT_EQ(r.units.size(), 3u);
}

TEST(VideoDepacketizer, H264AggregationPackets) {
  Receiver r(1);
  // STAP-A with SPS, PPS and an SEI.
  r.Video({true, 0, {0x18, 0, 2, 0x67, 0x42, 0, 1, 0x68, 0, 3, 0x06, 0x05, 0x80}});
  ASSERT_EQ(r.units.size(), 1u);
  EXPECT_EQ(r.units[0].first,
            Cat({kStart, {0x67, 0x42}, kStart, {0x68}, kStart, {0x06, 0x05, 0x80}}));
  // Truncated: the first unit stays; a zero-length unit is a lone start code;
  // a STAP-A of 1 or 2 bytes gives nothing.
  r.Video({false, 1, {0x18, 0, 1, 0x09, 0, 0, 0, 9, 0x41}});
  r.Video({false, 1, {0x18}});
  r.Video({true, 1, {0x18, 0}});
  ASSERT_EQ(r.units.size(), 2u);
  EXPECT_EQ(r.units[1].first, Cat({kStart, {0x09}, kStart}));
}

TEST(VideoDepacketizer, H265PacketTypes) {
  Receiver r(2, Cat({kStart, {0x40, 0x01}}));
  // Aggregation packet (type 48) with VPS, SPS, PPS.
  r.Video({false, 0, {0x60, 0x01, 0, 2, 0x40, 0x01, 0, 3, 0x42, 0x01, 0xAA, 0, 2, 0x44, 0x01}});
  // Fragmentation unit (type 49) of an IDR_W_RADL (19): header 0x26 0x01.
  r.Video({false, 0, {0x62, 0x01, 0x80 | 19, 0xA1}});
  r.Video({false, 0, {0x62, 0x01, 19, 0xB1}});
  r.Video({true, 0, {0x62, 0x01, 0x40 | 19, 0xC1}});
  ASSERT_EQ(r.units.size(), 1u);
  EXPECT_EQ(r.units[0].first, Cat({kStart,
                                   {0x40, 0x01},
                                   kStart,
                                   {0x40, 0x01},
                                   kStart,
                                   {0x42, 0x01, 0xAA},
                                   kStart,
                                   {0x44, 0x01},
                                   kStart,
                                   {0x26, 0x01, 0xA1, 0xB1, 0xC1}}));
  // Continuation without start dropped; single NAL unit (TRAIL_R) whole; short packets nothing.
  r.Video({false, 3000, {0x62, 0x01, 1, 0xD1}});
  r.Video({false, 3000, {0x02}});
  r.Video({false, 3000, {0x60, 0x01, 0}});
  r.Video({false, 3000, {0x62, 0x01}});
  r.Video({true, 3000, {0x02, 0x01, 0xE1}});
  ASSERT_EQ(r.units.size(), 2u);
  EXPECT_EQ(r.units[1].first, Cat({kStart, {0x02, 0x01, 0xE1}}));
}

TEST(VideoDepacketizer, RtpHeaderVariants) {
  Receiver r(1);
  Rtp csrcAndExtension{true, 0, {0x41, 1}};
  csrcAndExtension.csrcCount = 2;
  csrcAndExtension.extensionWords = 1;  // 4 + 4 bytes after the CSRC list
  r.Video(csrcAndExtension);
  Rtp padded{true, 0, {0x41, 2}};
  padded.padding = 3;
  r.Video(padded);
  ASSERT_EQ(r.units.size(), 2u);
  EXPECT_EQ(r.units[0].first, Cat({kStart, {0x41, 1}}));
  EXPECT_EQ(r.units[1].first, Cat({kStart, {0x41, 2}}));

  // Dropped: wrong version, short, extension past the end, padding count 0 or
  // past the payload, padding leaving no payload.
  std::vector<Bytes> bad;
  Bytes version1 = Build({true, 0, {0x41}});
  version1[0] = 0x40;
  bad.push_back(version1);
  const Bytes headerOnly = Build({true, 0, {}});
  bad.push_back(Bytes(headerOnly.begin(), headerOnly.begin() + 11));
  Bytes shortExtension = Build({true, 0, {0x41, 1, 2}});
  shortExtension[0] |= 0x10;
  bad.push_back(shortExtension);
  Rtp longExtension{true, 0, {0x41}};
  longExtension.extensionWords = 1;
  Bytes longExt = Build(longExtension);
  longExt[15] = 2;
  bad.push_back(longExt);
  Bytes zeroPad = Build({true, 0, {0x41, 0}});
  zeroPad[0] |= 0x20;
  bad.push_back(zeroPad);
  Bytes bigPad = Build({true, 0, {0x41, 3}});
  bigPad[0] |= 0x20;
  bad.push_back(bigPad);
  Bytes allPad = Build({true, 0, {0x41, 2}});
  allPad[0] |= 0x20;
  bad.push_back(allPad);
  for (const Bytes& packet : bad) {
    HandleInterleavedFrame(r.state, 0, packet.data(), packet.size(), r.onAccessUnit,
                           r.onAudioFrame);
  }
  EXPECT_EQ(r.units.size(), 2u);
  EXPECT_TRUE(r.state.pending.empty());
}

TEST(VideoDepacketizer, PendingUnitIsCapped) {
  Receiver r(1);
  const Bytes body(60000, 0x55);
  // A fragment that never ends and a stream that never marks: dropped at the cap.
  r.Video({false, 0, Cat({{0x7C, 0x85}, body})});
  while (r.state.fragmentOpen) r.Video({false, 0, Cat({{0x7C, 0x05}, body})});
  EXPECT_LE(r.state.pending.size(), kMaxPendingAccessUnit);
  EXPECT_TRUE(r.state.pending.empty());
  r.Video({false, 0, Cat({{0x7C, 0x05}, body})});  // its later pieces are dropped too
  r.Video({true, 0, {0x41, 7}});
  ASSERT_EQ(r.units.size(), 1u);
  EXPECT_EQ(r.units[0].first, Cat({kStart, {0x41, 7}}));
  // Whole NAL units without a marker: the same.
  for (size_t i = 0; i < kMaxPendingAccessUnit / body.size() + 2; ++i)
    r.Video({false, 0, Cat({{0x41}, body})});
  EXPECT_LT(r.state.pending.size(), kMaxPendingAccessUnit);
}

TEST(FrameDispatch, ChannelsAndAudioGate) {
  const Rtp aac{true, 0, {0x00, 0x10, 0x00, 0x18, 0xA1, 0xA2, 0xA3}};
  const Rtp video{true, 0, {0x41, 5}};
  Receiver r(1, {}, true);
  for (uint8_t channel : {1, 3, 4, 255}) r.Frame(channel, video);
  r.Frame(2, aac);
  r.Frame(0, video);
  EXPECT_EQ(r.units.size(), 1u);
  ASSERT_EQ(r.audio.size(), 1u);
  EXPECT_EQ(r.audio[0], (Bytes{0xA1, 0xA2, 0xA3}));

  Receiver notReady(1, {}, false);
  notReady.Frame(2, aac);
  EXPECT_TRUE(notReady.audio.empty());
  Receiver silent(1, {}, true);
  silent.onAudioFrame = nullptr;
  silent.onAccessUnit = nullptr;
  silent.Frame(2, aac);
  silent.Frame(0, video);  // built and discarded
  silent.Frame(0, {true, 0, {0x41, 6}});
  EXPECT_TRUE(silent.state.parameterSetsSent);
  EXPECT_TRUE(silent.state.pending.empty());
}

TEST(AudioDepacketizer, AacHbrPayloads) {
  struct Case {
    Bytes payload;
    std::vector<Bytes> frames;
  } cases[] = {
      {{0x00, 0x10, 0x00, 0x10, 1, 2}, {{1, 2}}},
      {{0x00, 0x20, 0x00, 0x10, 0x00, 0x18, 1, 2, 3, 4, 5}, {{1, 2}, {3, 4, 5}}},
      {{0x00, 0x10, 0x00, 0x00}, {{}}},      // AU-size 0
      {{0x00, 0x08, 0x00, 0x10, 1, 2}, {}},  // fewer than 16 header bits
      {{0x00, 0x00, 0x00, 0x10, 1, 2}, {}},
      {{0x00, 0x20, 0x00, 0x10, 0x00, 0x20, 1, 2, 3, 4, 5}, {{1, 2}}},  // second cut short
      {{0x00, 0x30, 0x00, 0x08}, {}},                                   // headers past the end
      {{0x00, 0x10, 0x00}, {}},
      {{0x00, 0x10, 0x7F, 0xF8, 1}, {}},  // AU larger than the packet
  };
  for (const Case& c : cases) {
    std::vector<Bytes> frames;
    DepacketizeAac(c.payload.data(), c.payload.size(), [&](const uint8_t* data, unsigned size) {
      frames.emplace_back(data, data + size);
    });
    EXPECT_EQ(frames, c.frames) << testing::PrintToString(c.payload);
  }
}
