// Which access units reach a decoder: keyframe detection, the gate after a
// drop, the selected slot's precedence in a tick, and the thumbnails' rate.
#include "video/decode_policy.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace {

struct Unit {
  std::vector<uint8_t> bytes;
  int seq = 0;  // position in its camera's stream
};

std::vector<uint8_t> H264(std::initializer_list<int> types) {
  std::vector<uint8_t> b;
  for (int t : types) {
    b.insert(b.end(), {0, 0, 0, 1, static_cast<uint8_t>(0x60 | t), 0x88, 0x84});
  }
  return b;
}

std::vector<uint8_t> H265(std::initializer_list<int> types) {
  std::vector<uint8_t> b;
  for (int t : types) b.insert(b.end(), {0, 0, 1, static_cast<uint8_t>(t << 1), 0x01, 0xAF});
  return b;
}

// H.264 stream units: AUD, SPS, PPS, IDR for a keyframe; AUD, P slice else.
Unit Key(int seq) {
  return Unit{H264({9, 7, 8, 5}), seq};
}
Unit Delta(int seq) {
  return Unit{H264({9, 1}), seq};
}

// A decoder that checks what it is handed: every unit must continue an
// unbroken chain from a keyframe (the next stream position after the last
// unit it got, or a keyframe).
struct ChainChecker {
  std::vector<int> handed;
  int last = -1;
  bool chain = false;
  int broken = 0;  // units handed whose reference was never handed
  void Take(const Unit& u, int32_t codec = 1) {
    handed.push_back(u.seq);
    if (ClassifyAccessUnit(u.bytes.data(), u.bytes.size(), codec).keyframe) {
      chain = true;
    } else if (!chain || u.seq != last + 1) {
      ++broken;
    }
    last = u.seq;
  }
};

}  // namespace

TEST(DecodePolicy, ClassifiesKeyframesOfBothCodecs) {
  const auto kind = [](const std::vector<uint8_t>& b, int32_t codec) {
    return ClassifyAccessUnit(b.data(), b.size(), codec);
  };
  // H.264: IDR (5) after parameter sets is a keyframe; P (1) is not; SEI and
  // parameter sets alone hold no picture.
  EXPECT_TRUE(kind(H264({9, 7, 8, 6, 5}), 1).keyframe);
  EXPECT_FALSE(kind(H264({9, 1}), 1).keyframe);
  EXPECT_TRUE(kind(H264({9, 1}), 1).picture);
  EXPECT_FALSE(kind(H264({7, 8, 6}), 1).picture);
  EXPECT_FALSE(kind(H264({7, 8, 6}), 1).keyframe);
  // The first slice decides (a second, different one does not make it a keyframe).
  EXPECT_FALSE(kind(H264({1, 5}), 1).keyframe);
  // Three-byte start codes and nal_ref_idc bits do not matter.
  const std::vector<uint8_t> short_start{0, 0, 1, 0x25, 0x88, 0, 0, 1, 0x01};
  EXPECT_TRUE(kind(short_start, 1).keyframe);
  // The codec decides how the header is read: these H.264 headers hold no H.265 slice.
  EXPECT_FALSE(kind(H264({9, 1}), 2).picture);

  // H.265: every IRAP type 16..23 is a keyframe; CRA (21) is marked; RASL (8, 9).
  for (int t = 16; t <= 23; ++t) EXPECT_TRUE(kind(H265({35, 32, 33, 34, t}), 2).keyframe) << t;
  EXPECT_TRUE(kind(H265({21}), 2).cra);
  EXPECT_FALSE(kind(H265({19}), 2).cra);
  for (int t : {0, 1, 6, 7, 8, 9, 15, 24, 31}) EXPECT_FALSE(kind(H265({t}), 2).keyframe) << t;
  EXPECT_TRUE(kind(H265({8}), 2).rasl);
  EXPECT_TRUE(kind(H265({9}), 2).rasl);
  EXPECT_FALSE(kind(H265({7}), 2).rasl);  // RADL decodes after any IRAP
  EXPECT_FALSE(kind(H265({32, 33, 34, 39}), 2).picture);

  // Empty, null and cut-off units are nothing.
  EXPECT_FALSE(kind({}, 1).picture);
  EXPECT_FALSE(ClassifyAccessUnit(nullptr, 10, 1).picture);
  const std::vector<uint8_t> cut{0, 0, 0, 1};
  EXPECT_FALSE(kind(cut, 1).picture);
}

TEST(DecodePolicy, DecoderInputMovesTheDelimiterToTheEnd) {
  const auto framed = [](const std::vector<uint8_t>& b, int32_t codec) {
    const DecoderInput in = FrameForDecoder(b.data(), b.size(), codec);
    std::vector<uint8_t> out(b.begin() + static_cast<std::ptrdiff_t>(in.skip), b.end());
    out.insert(out.end(), in.end, in.end + in.endSize);
    return out;
  };
  const std::vector<uint8_t> aud264{0, 0, 0, 1, 0x09, 0xF0};
  const std::vector<uint8_t> aud265{0, 0, 0, 1, 0x46, 0x01, 0x50};
  const auto cat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  // A leading delimiter goes; one ends every unit.
  EXPECT_EQ(framed(H264({9, 7, 8, 5}), 1), cat(H264({7, 8, 5}), aud264));
  EXPECT_EQ(framed(H264({1}), 1), cat(H264({1}), aud264));
  EXPECT_EQ(framed(H265({35, 32, 33, 34, 19}), 2), cat(H265({32, 33, 34, 19}), aud265));
  EXPECT_EQ(framed(H265({1}), 2), cat(H265({1}), aud265));
  // A three-byte start code, and the zero bytes before the next start code stay.
  const std::vector<uint8_t> short_aud{0, 0, 1, 0x09, 0x10, 0, 0, 0, 0, 1, 0x41, 0x9A};
  EXPECT_EQ(framed(short_aud, 1), cat({0, 0, 0, 0, 1, 0x41, 0x9A}, aud264));
  // A delimiter that is not first stays where it is.
  EXPECT_EQ(framed(H264({7, 9, 5}), 1), cat(H264({7, 9, 5}), aud264));
  // The codec decides: H.264's type 9 header is no H.265 delimiter.
  EXPECT_EQ(FrameForDecoder(aud264.data(), aud264.size(), 2).skip, 0u);
  // A delimiter alone is all skipped; so is a cut-off one.
  EXPECT_EQ(FrameForDecoder(aud264.data(), aud264.size(), 1).skip, aud264.size());
  const std::vector<uint8_t> cut{0, 0, 0, 1, 0x09};
  EXPECT_EQ(FrameForDecoder(cut.data(), cut.size(), 1).skip, cut.size());
  // Nothing to frame: no unit, or no start code at the front.
  EXPECT_EQ(FrameForDecoder(nullptr, 0, 1).skip, 0u);
  EXPECT_EQ(FrameForDecoder(nullptr, 0, 1).endSize, aud264.size());
  const std::vector<uint8_t> bare{0x09, 0xF0, 0, 0, 1, 0x41};
  EXPECT_EQ(FrameForDecoder(bare.data(), bare.size(), 1).skip, 0u);
}

TEST(DecodePolicy, GateWaitsForAKeyframeAndDropsRaslAfterAResumedCra) {
  DecodeGate gate;
  const UnitKind p{true, false, false, false};
  const UnitKind idr{true, true, false, false};
  const UnitKind cra{true, true, true, false};
  const UnitKind rasl{true, false, false, true};
  const UnitKind sei{};
  EXPECT_FALSE(PassGate(gate, p)) << "a new decoder starts at a keyframe";
  EXPECT_FALSE(PassGate(gate, sei)) << "nothing passes a closed gate";
  EXPECT_TRUE(PassGate(gate, idr));
  EXPECT_TRUE(PassGate(gate, p));
  EXPECT_TRUE(PassGate(gate, sei));
  CloseGate(gate);
  EXPECT_FALSE(PassGate(gate, p));
  EXPECT_FALSE(PassGate(gate, rasl));

  // Resumed at a CRA: its RASL pictures refer to what went before and go, the
  // gate stays open for the trailing pictures; after them RASL of a later CRA
  // that was not a resume point decode normally.
  EXPECT_TRUE(PassGate(gate, cra));
  EXPECT_FALSE(PassGate(gate, rasl));
  EXPECT_FALSE(PassGate(gate, rasl));
  EXPECT_TRUE(PassGate(gate, sei));
  EXPECT_TRUE(PassGate(gate, p));
  EXPECT_TRUE(PassGate(gate, rasl));
  // An IDR resume has no RASL to drop.
  CloseGate(gate);
  EXPECT_TRUE(PassGate(gate, idr));
  EXPECT_TRUE(PassGate(gate, rasl));
}

TEST(DecodePolicy, SlotUnitsAfterADropWaitForTheKeyframe) {
  DecodeGate gate;
  ChainChecker dec;
  const auto never = [] { return false; };
  const auto decode = [&](const Unit& u) { dec.Take(u); };

  // Light load: every unit of a whole stream is decoded, in order.
  std::deque<Unit> units{Key(0), Delta(1), Delta(2), Delta(3)};
  SlotOutcome out = DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, false, gate, never, decode);
  EXPECT_EQ(out.decoded, 4u);
  EXPECT_EQ(out.dropped, 0u);
  EXPECT_TRUE(units.empty());

  // Units lost before these (queue overflow): nothing until the keyframe.
  units = {Delta(9), Delta(10), Key(11), Delta(12)};
  out = DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, true, gate, never, decode);
  EXPECT_EQ(out.decoded, 2u);
  EXPECT_EQ(out.dropped, 2u);
  // And the gate stays closed across calls until a keyframe comes.
  units = {Delta(13)};
  DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, true, gate, never, decode);
  units = {Delta(14), Delta(15)};
  out = DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, false, gate, never, decode);
  EXPECT_EQ(out.decoded, 0u);
  units = {Key(16), Delta(17)};
  out = DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, false, gate, never, decode);
  EXPECT_EQ(out.decoded, 2u);

  // Keyframes only: the deltas go, the chain after each keyframe is not continued.
  units = {Delta(18), Key(19), Delta(20), Delta(21), Key(22), Delta(23)};
  out = DecodeSlotUnits(units, 1, SlotRate::kKeyframesOnly, 15, false, gate, never, decode);
  EXPECT_EQ(out.decoded, 2u);
  EXPECT_EQ(out.rateDropped, 4u);
  // Back to every unit after a keyframes-only pass: wait for the next keyframe.
  units = {Delta(24), Key(25), Delta(26)};
  out = DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, false, gate, never, decode);
  EXPECT_EQ(out.decoded, 2u);

  // A backlog over the limit resumes at its newest keyframe.
  units.clear();
  for (int i = 27; i < 47; ++i) units.push_back(i % 10 == 0 ? Key(i) : Delta(i));
  out = DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, false, gate, never, decode);
  EXPECT_TRUE(out.fellBehind);
  EXPECT_EQ(out.decoded, 7u) << "40 to 46";
  EXPECT_EQ(dec.handed.back(), 46);
  // Over the limit without a keyframe: all go and the gate closes.
  units.clear();
  for (int i = 47; i < 67; ++i) units.push_back(Delta(i));
  out = DecodeSlotUnits(units, 1, SlotRate::kEveryUnit, 15, false, gate, never, decode);
  EXPECT_TRUE(out.fellBehind);
  EXPECT_EQ(out.decoded, 0u);
  EXPECT_EQ(out.dropped, 20u);

  EXPECT_EQ(dec.broken, 0) << "units handed to the decoder after a drop and before a keyframe";

  // Out of time: the rest stays for the caller, the gate is untouched, and the
  // units that would not be decoded anyway still go.
  units = {Key(67), Delta(68), Delta(69)};
  int budget = 2;
  out = DecodeSlotUnits(
      units, 1, SlotRate::kEveryUnit, 15, false, gate, [&] { return budget-- <= 0; }, decode);
  EXPECT_TRUE(out.cut);
  EXPECT_EQ(out.decoded, 2u);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units.front().seq, 69);
  EXPECT_FALSE(gate.waitKeyframe);
  units = {Delta(70), Delta(71), Key(72)};
  out = DecodeSlotUnits(
      units, 1, SlotRate::kKeyframesOnly, 15, false, gate, [] { return true; }, decode);
  EXPECT_TRUE(out.cut);
  EXPECT_EQ(out.rateDropped, 2u) << "dropped deltas cost no decoding time";
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units.front().seq, 72);
}

TEST(DecodePolicy, ParameterSetsOfDroppedUnitsGoBeforeTheKeyframe) {
  // The first unit of a session carries the sets of its description in front
  // of a delta picture; the camera does not repeat them before its keyframes.
  std::vector<uint8_t> sets;
  const std::vector<uint8_t> first = H264({7, 8, 1});
  ASSERT_TRUE(AppendParameterSets(first.data(), first.size(), 1, sets));
  EXPECT_EQ(sets, H264({7, 8}));
  sets.clear();
  EXPECT_FALSE(AppendParameterSets(H264({9, 1}).data(), 12, 1, sets));
  const std::vector<uint8_t> hevc = H265({35, 32, 33, 34, 1});
  ASSERT_TRUE(AppendParameterSets(hevc.data(), hevc.size(), 2, sets));
  EXPECT_EQ(sets, (std::vector<uint8_t>{0,  0,    0,    1, 64, 0x01, 0xAF, 0,  0,    0,   1,
                                        66, 0x01, 0xAF, 0, 0,  0,    1,    68, 0x01, 0xAF}));

  DecodeGate gate;
  std::vector<std::vector<uint8_t>> handed;
  std::deque<Unit> units{Unit{first, 0}, Unit{H264({9, 1}), 1}, Unit{H264({9, 5}), 2},
                         Unit{H264({9, 1}), 3}};
  DecodeSlotUnits(
      units, 1, SlotRate::kEveryUnit, 15, false, gate, [] { return false; },
      [&](const Unit& u) { handed.push_back(u.bytes); });
  ASSERT_EQ(handed.size(), 2u);
  std::vector<uint8_t> expected = H264({7, 8, 9, 5});
  EXPECT_EQ(handed[0], expected) << "the held sets, then the keyframe";
  EXPECT_EQ(handed[1], H264({9, 1}));
  EXPECT_TRUE(gate.heldParameterSets.empty());
}

TEST(DecodePolicy, DecodeOrderAndRolesFromTheScene) {
  // Selected first, then the others from `first` on, wrapping.
  std::vector<size_t> order;
  for (size_t k = 0; k < 5; ++k) order.push_back(DecodeOrderAt(k, 5, 3, 2));
  EXPECT_EQ(order, (std::vector<size_t>{3, 2, 4, 0, 1}));
  order.clear();
  for (size_t k = 0; k < 4; ++k) order.push_back(DecodeOrderAt(k, 4, -1, 1));
  EXPECT_EQ(order, (std::vector<size_t>{1, 2, 3, 0}));
  order.clear();
  for (size_t k = 0; k < 3; ++k) order.push_back(DecodeOrderAt(k, 3, 0, 0));
  EXPECT_EQ(order, (std::vector<size_t>{0, 1, 2}));

  RenderScene scene;
  scene.selectedSlot = 2;
  TileView thumb;
  thumb.slotIndex = 0;
  thumb.left = 4, thumb.top = 4, thumb.right = 236, thumb.bottom = 134;
  scene.tiles.push_back(thumb);
  thumb.slotIndex = 1;  // scrolled below the window
  thumb.top = 800, thumb.bottom = 930;
  scene.tiles.push_back(thumb);
  thumb.slotIndex = 3;  // partly inside: one row
  thumb.top = 799, thumb.bottom = 929;
  scene.tiles.push_back(thumb);
  thumb.slotIndex = 4;  // slid out beyond the left edge
  thumb.left = -280, thumb.right = 0, thumb.top = 4, thumb.bottom = 134;
  scene.tiles.push_back(thumb);
  thumb.slotIndex = 2;
  thumb.left = 240, thumb.right = 1280, thumb.top = 0, thumb.bottom = 800;
  scene.tiles.push_back(thumb);
  EXPECT_EQ(RoleInScene(scene, 0, 1280, 800), SlotRole::kThumbnail);
  EXPECT_EQ(RoleInScene(scene, 1, 1280, 800), SlotRole::kOffscreen);
  EXPECT_EQ(RoleInScene(scene, 3, 1280, 800), SlotRole::kThumbnail);
  EXPECT_EQ(RoleInScene(scene, 4, 1280, 800), SlotRole::kOffscreen);
  EXPECT_EQ(RoleInScene(scene, 2, 1280, 800), SlotRole::kSelected);
  EXPECT_EQ(RoleInScene(scene, 5, 1280, 800), SlotRole::kOffscreen) << "no tile";
  EXPECT_EQ(RoleInScene(RenderScene{}, 0, 1280, 800), SlotRole::kOffscreen);
}

namespace {

// Slots with scripted queues, decoders that take `unitMs` of a fake clock per
// unit and check their chains.
struct FakeHost {
  using Units = std::deque<Unit>;
  struct FakeSlot {
    Units queue;
    bool dropped = false;
    SlotRole role = SlotRole::kThumbnail;
    bool codecKnown = true;
    DecodeGate gate;
    ChainChecker dec;
    int putBack = 0;
  };
  std::vector<FakeSlot> slots;
  double now = 0.0;
  double unitMs = 10.0;
  std::vector<size_t> decodeOrder;  // positions in the order of decoding

  size_t SlotCount() const { return slots.size(); }
  SlotRole Role(size_t p) const { return slots[p].role; }
  DecodeGate& Gate(size_t p) { return slots[p].gate; }
  double NowMs() const { return now; }
  bool Take(size_t p, Units& units) {
    units.swap(slots[p].queue);
    const bool d = slots[p].dropped;
    slots[p].dropped = false;
    return d;
  }
  void PutBack(size_t p, Units& units) {
    ++slots[p].putBack;
    for (auto& u : slots[p].queue) units.push_back(std::move(u));
    slots[p].queue.swap(units);
  }
  bool Ready(size_t p, int32_t& codec) {
    codec = 1;
    return slots[p].codecKnown;
  }
  void Decode(size_t p, const Unit& u) {
    slots[p].dec.Take(u);
    decodeOrder.push_back(p);
    now += unitMs;
  }
};

// A 30-picture-a-second camera with a keyframe every `gop` pictures.
struct Camera {
  int seq = 0;
  int gop = 30;
  Unit Next() {
    const int s = seq++;
    return s % gop == 0 ? Key(s) : Delta(s);
  }
};

}  // namespace

TEST(DecodePolicy, SelectedSlotIsDecodedWholeWhileThumbnailsOverflowTheBudget) {
  FakeHost host;
  host.slots.resize(4);
  host.slots[2].role = SlotRole::kSelected;
  std::vector<Camera> cams(4);
  for (size_t p = 0; p < 4; ++p) {
    for (int i = 0; i < 2; ++i) host.slots[p].queue.push_back(cams[p].Next());
  }
  DecodeSchedule schedule;
  schedule.budgetMs = 12.0;
  std::deque<Unit> units;
  const TickReport report = RunDecodeTick(host, schedule, units);
  // The selected slot's two units (20 ms: more than the budget, within a
  // tick's worth of its own) come first and all of them.
  EXPECT_EQ(host.decodeOrder, (std::vector<size_t>{2, 2}));
  EXPECT_TRUE(host.slots[2].queue.empty());
  // The thumbnails found the budget spent: the first one served keeps its
  // units queued, and the next tick starts with it.
  EXPECT_TRUE(report.thumbnailsCut);
  EXPECT_EQ(host.slots[0].putBack, 1);
  EXPECT_EQ(host.slots[0].queue.size(), 2u);
  EXPECT_EQ(host.slots[1].queue.size(), 2u);
  EXPECT_EQ(host.slots[3].queue.size(), 2u);
  EXPECT_EQ(schedule.firstThumbnail, 0u);
  EXPECT_TRUE(units.empty());

  // A selected slot whose own units take longer than a tick keeps the rest
  // for the next tick, in order, without losing any.
  for (int i = 0; i < 4; ++i) host.slots[2].queue.push_back(cams[2].Next());
  host.decodeOrder.clear();
  RunDecodeTick(host, schedule, units);
  EXPECT_EQ(host.slots[2].dec.handed.size(), 4u) << "16.7 ms: two units of 10 ms";
  EXPECT_EQ(host.slots[2].queue.size(), 2u);
  RunDecodeTick(host, schedule, units);
  EXPECT_EQ(host.slots[2].dec.handed.size(), 6u);
  EXPECT_EQ(host.slots[2].dec.handed, (std::vector<int>{0, 1, 2, 3, 4, 5}));

  // Slow drawing (50 ms a frame) widens the tick's budget to match: the
  // selected slot's five units fit, and the thumbnails get the rest.
  schedule.drawMs = 50.0;
  for (int i = 0; i < 5; ++i) host.slots[2].queue.push_back(cams[2].Next());
  host.decodeOrder.clear();
  const TickReport slow = RunDecodeTick(host, schedule, units);
  EXPECT_EQ(slow.budgetMs, 50.0);
  EXPECT_EQ(host.decodeOrder, (std::vector<size_t>{2, 2, 2, 2, 2}));
  EXPECT_TRUE(slow.thumbnailsCut);
  schedule.drawMs = 2.0;
  host.slots[2].queue.push_back(cams[2].Next());
  host.decodeOrder.clear();
  const TickReport quick = RunDecodeTick(host, schedule, units);
  EXPECT_EQ(quick.budgetMs, 12.0);
  EXPECT_EQ(host.decodeOrder, (std::vector<size_t>{2, 0}))
      << "12 ms: one thumbnail unit after the selected one";
  EXPECT_EQ(host.slots[2].dec.broken, 0);
  EXPECT_EQ(host.slots[2].dec.broken, 0);
}

TEST(DecodePolicy, TickInTwoPartsServesTheSelectedSlotBeforeTheFrameAndThumbnailsAfter) {
  FakeHost host;
  host.slots.resize(3);
  host.slots[1].role = SlotRole::kSelected;
  std::vector<Camera> cams(3);
  for (size_t p = 0; p < 3; ++p) host.slots[p].queue.push_back(cams[p].Next());
  DecodeSchedule schedule;
  schedule.budgetMs = 12.0;
  host.unitMs = 6.0;
  std::deque<Unit> units;

  // Before the frame: the selected slot alone; the thumbnails' queues wait.
  const TickReport first = RunDecodeTick(host, schedule, units, TickPart::kSelected);
  EXPECT_EQ(host.decodeOrder, (std::vector<size_t>{1}));
  EXPECT_EQ(host.slots[0].queue.size(), 1u);
  EXPECT_EQ(host.slots[2].queue.size(), 1u);
  EXPECT_EQ(schedule.firstThumbnail, 0u) << "the tick is not over";

  // Meanwhile the selected camera sends again: the thumbnails' part leaves it.
  host.slots[1].queue.push_back(cams[1].Next());
  host.decodeOrder.clear();
  const TickReport second = RunDecodeTick(host, schedule, units, TickPart::kThumbnails, first);
  // 12 ms less the selected slot's 6: one 6 ms thumbnail unit, not two.
  EXPECT_EQ(host.decodeOrder, (std::vector<size_t>{0}));
  EXPECT_TRUE(second.thumbnailsCut);
  EXPECT_EQ(second.decodedUnits, 2u) << "the report covers the whole tick";
  EXPECT_EQ(host.slots[1].queue.size(), 1u);
  EXPECT_EQ(host.slots[2].queue.size(), 1u);
  EXPECT_EQ(schedule.firstThumbnail, 2u);
  EXPECT_TRUE(units.empty());
}

TEST(DecodePolicy, TicksUnderOverloadNeverHandADecoderABrokenChain) {
  // Nine cameras at 30 pictures a second, decoding at 10 ms a picture (100 a
  // second): far more than fits. Thumbnails fall back to keyframes, the
  // selected camera keeps every picture, a thumbnail outside the window gets
  // keyframes only, a slot without a decoder drops all, and queues overflow
  // now and then; no decoder ever gets a unit whose reference it lacks.
  FakeHost host;
  host.slots.resize(9);
  host.slots[0].role = SlotRole::kSelected;
  host.slots[8].role = SlotRole::kOffscreen;
  std::vector<Camera> cams(9);
  for (size_t p = 0; p < 9; ++p) cams[p].gop = 20 + static_cast<int>(p) * 3;
  std::mt19937 random(7);
  DecodeSchedule schedule;
  std::deque<Unit> units;
  double lastArrival = 0.0;
  bool fellBack = false;
  for (int tick = 0; tick < 3000; ++tick) {
    // Arrivals up to now, at 30 a second each.
    while (lastArrival + 1000.0 / 30.0 <= host.now) {
      lastArrival += 1000.0 / 30.0;
      for (size_t p = 0; p < 9; ++p) {
        auto& q = host.slots[p].queue;
        if (q.size() > 120 || random() % 400 == 0) {  // overflow, or units lost on the way
          q.clear();
          host.slots[p].dropped = true;
        }
        q.push_back(cams[p].Next());
      }
    }
    host.slots[5].codecKnown = tick % 500 > 50;  // a decoder that cannot be opened for a while
    if (tick == 1500) {                          // the selection moves
      host.slots[0].role = SlotRole::kThumbnail;
      host.slots[3].role = SlotRole::kSelected;
    }
    const double start = host.now;
    RunDecodeTick(host, schedule, units);
    ASSERT_TRUE(units.empty());
    fellBack = fellBack || schedule.rate.keyframesOnly;
    host.now = std::max(host.now + 2.0, start + kTickMs);  // drawing, then the tick's wait
  }
  EXPECT_TRUE(fellBack);
  EXPECT_TRUE(schedule.rate.keyframesOnly);
  for (size_t p = 0; p < 9; ++p) {
    EXPECT_EQ(host.slots[p].dec.broken, 0) << "slot " << p;
    EXPECT_GT(host.slots[p].dec.handed.size(), 0u) << "slot " << p;
  }
  // The selected camera kept pace: in its 1500 ticks (25 s, 750 pictures) it
  // decoded nearly all, losing only what was lost on the way.
  size_t selectedLate = 0;
  for (int s : host.slots[3].dec.handed) selectedLate += s >= cams[3].seq - 740 ? 1 : 0;
  EXPECT_GT(selectedLate, 600u);
  // The offscreen thumbnail decoded keyframes only.
  for (int s : host.slots[8].dec.handed) EXPECT_EQ(s % cams[8].gop, 0) << s;
}

TEST(DecodePolicy, LightLoadDecodesEveryUnitAndDropsNothing) {
  FakeHost host;
  host.unitMs = 1.0;
  host.slots.resize(4);
  host.slots[1].role = SlotRole::kSelected;
  std::vector<Camera> cams(4);
  DecodeSchedule schedule;
  std::deque<Unit> units;
  double lastArrival = 0.0;
  for (int tick = 0; tick < 600; ++tick) {
    while (lastArrival + 1000.0 / 30.0 <= host.now) {
      lastArrival += 1000.0 / 30.0;
      for (size_t p = 0; p < 4; ++p) host.slots[p].queue.push_back(cams[p].Next());
    }
    const double start = host.now;
    RunDecodeTick(host, schedule, units);
    host.now = std::max(host.now, start + kTickMs);
  }
  EXPECT_FALSE(schedule.rate.keyframesOnly);
  for (size_t p = 0; p < 4; ++p) {
    const auto& handed = host.slots[p].dec.handed;
    ASSERT_EQ(handed.size(), static_cast<size_t>(cams[p].seq) - host.slots[p].queue.size());
    for (size_t i = 0; i < handed.size(); ++i) ASSERT_EQ(handed[i], static_cast<int>(i));
  }
}

TEST(DecodePolicy, ThumbnailRateFallsBackAndReturnsWithHysteresis) {
  ThumbnailRate rate;
  double now = 0.0;
  auto tick = [&](bool cut, double decodeMs, size_t decoded, size_t rateDropped,
                  bool behind = false) {
    TickReport r;
    r.budgetMs = 12.0;
    r.thumbnailsCut = cut;
    r.decodeMs = decodeMs;
    r.decodedUnits = decoded;
    r.rateDroppedUnits = rateDropped;
    r.thumbnailFellBehind = behind;
    now += kTickMs;
    NoteTick(rate, r, now);
  };
  // One late tick, or a few cut ticks, change nothing.
  tick(true, 40, 4, 0, true);
  for (int i = 0; i < 120; ++i) tick(i % 5 == 0, 6, 1, 0);
  EXPECT_FALSE(rate.keyframesOnly);
  // Cut in most ticks for a second: keyframes only.
  for (int i = 0; i < 70 && !rate.keyframesOnly; ++i) tick(true, 12, 1, 0);
  ASSERT_TRUE(rate.keyframesOnly);
  // Room again, but the hold (5 s) has not passed.
  for (int i = 0; i < 240; ++i) tick(false, 3, 1, 2);
  EXPECT_TRUE(rate.keyframesOnly);
  // What was left out would not fit: stays.
  for (int i = 0; i < 120; ++i) tick(false, 5, 1, 8);
  EXPECT_TRUE(rate.keyframesOnly);
  // It would fit (3 ms + 2 units x 3 ms = 9 ms of 12 ms is 75 %): back to every unit.
  for (int i = 0; i < 120 && rate.keyframesOnly; ++i) tick(false, 3, 1, 2);
  ASSERT_FALSE(rate.keyframesOnly);
  const double returned = now;
  // Falling back soon after the return doubles the hold.
  for (int i = 0; i < 70 && !rate.keyframesOnly; ++i) tick(true, 12, 1, 0);
  ASSERT_TRUE(rate.keyframesOnly);
  EXPECT_EQ(rate.holdMs, 2 * kRateHoldMs);
  for (int i = 0; i < 540 && rate.keyframesOnly; ++i) tick(false, 3, 1, 2);
  EXPECT_TRUE(rate.keyframesOnly) << "still held after 9 s";
  for (int i = 0; i < 120 && rate.keyframesOnly; ++i) tick(false, 3, 1, 2);
  ASSERT_FALSE(rate.keyframesOnly);
  EXPECT_GT(now - returned, 2 * kRateHoldMs);
  // A return that lasts: the next fall back holds for the base time again.
  for (int i = 0; i < 700; ++i) tick(false, 6, 2, 0);
  EXPECT_FALSE(rate.keyframesOnly);
  // Falling behind in three ticks in a row (two of them in one second) falls back at once.
  for (int i = 0; i < 3; ++i) tick(false, 6, 2, 0, true);
  ASSERT_TRUE(rate.keyframesOnly);
  EXPECT_EQ(rate.holdMs, kRateHoldMs);
}
