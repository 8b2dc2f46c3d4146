// Which queued access units the render thread hands to the decoders, in what
// order, and what it leaves out when the machine cannot decode them all.
//
// The rules, in short:
// - The selected slot is served first every tick, and only its own decoding
//   time (one tick) limits it; what does not fit stays queued for the next
//   tick. Thumbnails then share what is left of the tick's decoding budget.
// - A decoder is never handed a unit whose reference was dropped: after any
//   drop (queue overflow, a slot falling behind, keyframes-only decoding, a
//   decoder that had to be opened again) the slot waits for its next keyframe.
// - Thumbnails on screen decode every unit while the machine keeps up and
//   only keyframes while it does not (ThumbnailRate, with hysteresis);
//   thumbnails outside the window decode only keyframes.
// Everything here is plain logic over bytes and times; the render thread
// (render_thread_win.cpp) supplies the queues, decoders and the clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "video/render_scene.h"

// ---- Access units ---------------------------------------------------------

// What an Annex-B access unit holds, judged by its first picture (slice) NAL
// unit. Units without a slice (parameter sets or SEI alone) are none of these.
struct UnitKind {
  bool picture = false;   // holds a slice
  bool keyframe = false;  // H.264 IDR (NAL type 5); H.265 IRAP (types 16 to 23)
  bool cra = false;       // H.265 CRA (type 21): its RASL pictures may follow
  bool rasl = false;      // H.265 RASL (types 8, 9): refers to pictures before its CRA
};

// codec: 2 = H.265, any other value = H.264.
UnitKind ClassifyAccessUnit(const uint8_t* data, size_t size, int32_t codec);

// Appends the parameter sets of a unit (H.264 SPS and PPS; H.265 VPS, SPS and
// PPS), each after a 00 00 00 01 start code, to `out`. Returns whether it
// found any.
bool AppendParameterSets(const uint8_t* data, size_t size, int32_t codec,
                         std::vector<uint8_t>& out);

// What a decoder is handed for one unit: the unit without its access unit
// delimiter, if it starts with one, and then a delimiter. A decoder that
// parses a byte stream (Wine's, through GStreamer's parser) knows a picture
// is complete only when the next unit begins, and so returns each picture one
// unit late, a whole frame interval at 30 pictures a second. The delimiter
// at the end begins the next unit at once; the one it stands in for at the
// start of the next unit is left out, so no unit holds two.
struct DecoderInput {
  size_t skip = 0;               // bytes of a leading delimiter left out
  const uint8_t* end = nullptr;  // the delimiter that goes after the unit
  size_t endSize = 0;
};
// codec: 2 = H.265, any other value = H.264.
DecoderInput FrameForDecoder(const uint8_t* data, size_t size, int32_t codec);

// ---- Per slot: the reference chain ----------------------------------------

// Whether the slot's decoder has every picture the next unit may refer to.
// Starts closed: a new decoder begins at a keyframe.
struct DecodeGate {
  bool waitKeyframe = true;  // only a keyframe may be decoded next
  bool dropRasl = false;     // decoding resumed at a CRA: its RASL pictures go
  // Parameter sets of the units dropped since the decoder last got any: they
  // go in front of the keyframe that opens the gate. (A stream's first unit
  // carries the sets of its session description; a camera that does not
  // repeat them would otherwise never be decoded once that unit is dropped.)
  std::vector<uint8_t> heldParameterSets;
};

// A unit of the slot was not decoded (or is lost): wait for a keyframe.
inline void CloseGate(DecodeGate& gate) {
  gate.waitKeyframe = true;
  gate.dropRasl = false;
}

// Whether a unit of this kind may go to the decoder now; opens the gate at a
// keyframe. While closed, nothing else passes (not even a unit without a
// picture). A RASL picture after a resumed CRA is refused without closing the
// gate: the pictures that follow it in decoding order never refer to it.
bool PassGate(DecodeGate& gate, const UnitKind& kind);
// Whether PassGate would let it through, without changing the gate.
bool GateAdmits(const DecodeGate& gate, const UnitKind& kind);

// Keeps the parameter sets of a unit that is not decoded (replacing older
// ones, which they supersede).
void HoldParameterSets(DecodeGate& gate, const std::vector<uint8_t>& bytes, int32_t codec);

// ---- Per slot: its share of a tick ----------------------------------------

enum class SlotRate { kEveryUnit, kKeyframesOnly };

// Where a slot's tile is in the scene being drawn.
enum class SlotRole {
  kSelected,   // the stage
  kThumbnail,  // a tile that intersects the window
  kOffscreen,  // no tile, or one wholly outside the window
};

// The role of the slot at `position` in `scene`, for a window (back buffer)
// of width x height pixels.
SlotRole RoleInScene(const RenderScene& scene, int32_t position, int32_t width, int32_t height);

// More units than this waiting for one slot means its decoding has fallen
// behind the camera by about this many pictures (30 pictures a second): the
// slot skips to the newest keyframe it holds, or drops all and waits for one.
// The selected slot may fall further behind before it skips: its pictures are
// the ones watched, and a skip costs it the pictures up to the keyframe.
inline constexpr size_t kThumbnailBacklogUnits = 15;
inline constexpr size_t kSelectedBacklogUnits = 45;

// What happened to one slot's units in one tick.
struct SlotOutcome {
  size_t decoded = 0;       // handed to the decoder
  size_t dropped = 0;       // left out by the gate, the rate or a skip
  size_t rateDropped = 0;   // of dropped: non-keyframes left out by keyframes-only decoding
  bool cut = false;         // the time ran out before the last unit (the rest stays queued)
  bool fellBehind = false;  // the backlog limit dropped units
};

// Decodes `units` front to back as the gate, the rate and the time allow.
// Before each unit `outOfTime()` is asked; once it answers true the units not
// yet decoded stay in `units` (the caller queues them again in front of newer
// ones) and the outcome is `cut`. Every other unit leaves `units`, decoded
// through `decode(unit)` or dropped. `lost` tells that units before these
// were lost (the queue overflowed, or no decoder could take them).
// Unit: any type with a `bytes` vector of uint8_t; Units: a deque of them.
template <typename Units, typename OutOfTime, typename Decode>
SlotOutcome DecodeSlotUnits(Units& units, int32_t codec, SlotRate rate, size_t backlogLimit,
                            bool lost, DecodeGate& gate, OutOfTime&& outOfTime, Decode&& decode) {
  SlotOutcome outcome;
  if (lost) CloseGate(gate);
  if (units.size() > backlogLimit) {
    // Fallen behind: resume at the newest keyframe, if any is here.
    size_t resume = units.size();
    for (size_t i = units.size(); i-- > 0;) {
      if (ClassifyAccessUnit(units[i].bytes.data(), units[i].bytes.size(), codec).keyframe) {
        resume = i;
        break;
      }
    }
    if (resume > 0) {
      CloseGate(gate);
      outcome.dropped += resume;
      outcome.fellBehind = true;
      for (size_t i = 0; i < resume; ++i) HoldParameterSets(gate, units[i].bytes, codec);
      units.erase(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(resume));
    }
  }
  while (!units.empty()) {
    auto& unit = units.front();
    const UnitKind kind = ClassifyAccessUnit(unit.bytes.data(), unit.bytes.size(), codec);
    if (rate == SlotRate::kKeyframesOnly && !kind.keyframe) {
      // Dropped while the gate is open it breaks the chain; while closed it
      // could not have been decoded anyway.
      CloseGate(gate);
      HoldParameterSets(gate, unit.bytes, codec);
      ++outcome.dropped;
      ++outcome.rateDropped;
    } else if (!GateAdmits(gate, kind)) {
      HoldParameterSets(gate, unit.bytes, codec);
      ++outcome.dropped;
    } else {
      // Only units that would be decoded wait for time; the rest go at once.
      if (outOfTime()) {
        outcome.cut = true;
        return outcome;
      }
      PassGate(gate, kind);
      if (!gate.heldParameterSets.empty()) {
        // Sets held while the gate was closed go in front of the keyframe
        // that opens it.
        unit.bytes.insert(unit.bytes.begin(), gate.heldParameterSets.begin(),
                          gate.heldParameterSets.end());
        gate.heldParameterSets.clear();
      }
      decode(unit);
      ++outcome.decoded;
    }
    units.pop_front();
  }
  return outcome;
}

// ---- The thumbnails' rate, with hysteresis --------------------------------

// Thumbnails on screen decode every unit while the decoders keep up, and only
// keyframes while they do not. Chosen from measurements of software decoding
// under Wine (about 100 pictures of 720p a second on two cores): eight 720p30
// thumbnails ask 240 pictures a second, so every unit of every thumbnail
// cannot be had, and a slot that gets only part of its units shows nothing
// useful (each dropped unit costs the rest of its group of pictures). One
// picture per keyframe per thumbnail is cheap and always whole.
//
// Falling back: within one second of at least 20 ticks, the budget cut the
// thumbnails in at least half of them, or in two ticks of one second a
// thumbnail fell behind by its backlog limit (about half a second of
// pictures). One late tick (opening decoders, a stall) does neither.
// Returning: after a hold (5 s at first) in keyframes-only, when the last
// second's decoding time plus the units left out, priced at that second's
// mean decoding time per unit, fits in 80 % of that second's budget. A return
// that falls back within 10 s doubles the next hold (up to 60 s), so a machine
// that nearly keeps up does not flip every few seconds; a return that lasts
// resets it.
inline constexpr double kRateWindowMs = 1000.0;
inline constexpr double kRateHoldMs = 5000.0;
inline constexpr double kRateMaxHoldMs = 60000.0;
inline constexpr double kRateFailedReturnMs = 10000.0;
inline constexpr double kRateReturnShare = 0.8;
inline constexpr int kRateMinTicks = 20;

struct ThumbnailRate {
  bool keyframesOnly = false;
  double holdMs = kRateHoldMs;
  double changedAtMs = -1e18;   // when the rate last changed
  double returnedAtMs = -1e18;  // when it last went back to every unit
  // The current window.
  double windowStartMs = -1.0;  // < 0: not started
  int ticks = 0;
  int cutTicks = 0;
  int fellBehind = 0;  // ticks in which a thumbnail fell behind
  double decodeMs = 0.0;
  double budgetMs = 0.0;
  size_t decodedUnits = 0;
  size_t rateDroppedUnits = 0;
};

// What one tick did, for the rate.
struct TickReport {
  double decodeMs = 0.0;        // time spent decoding (all slots)
  double budgetMs = 0.0;        // the tick's decoding budget
  size_t decodedUnits = 0;      // all slots
  size_t rateDroppedUnits = 0;  // non-keyframes of thumbnails on screen left out by the rate
  bool thumbnailsCut = false;   // the budget ended with thumbnail units waiting
  bool thumbnailFellBehind = false;
};

// Feeds one tick's report at time nowMs; may change rate.keyframesOnly.
void NoteTick(ThumbnailRate& rate, const TickReport& report, double nowMs);

// ---- One tick over all slots ----------------------------------------------

// Decoding time one tick may spend on all slots together before it draws:
// budgetMs, or as long as drawing the last frame took when that is longer.
// With quick drawing (a few ms) a tick decodes for 12 ms and the window still
// presents about 50 times a second; when drawing is slow (software rendering
// on a busy machine: 100 ms and more a frame under Wine) a fixed budget would
// leave decoding a small share of the thread, and every thumbnail stalls,
// while decoding as long as drawing keeps presents at half their rate at worst.
// The selected slot may use all of it, and at least one tick (1/60 s),
// whatever the thumbnails need; what does not fit stays queued for the next
// tick. Thumbnails get what is left.
inline constexpr double kTickMs = 1000.0 / 60.0;
inline constexpr double kDecodeBudgetMs = 12.0;

// State kept from tick to tick.
struct DecodeSchedule {
  size_t firstThumbnail = 0;  // thumbnails take turns at being served first
  ThumbnailRate rate;
  double budgetMs = kDecodeBudgetMs;
  double drawMs = 0.0;  // how long drawing the last frame took (set by the caller)
};

// The decoding budget of the next tick.
inline double TickBudgetMs(const DecodeSchedule& schedule) {
  return schedule.drawMs > schedule.budgetMs ? schedule.drawMs : schedule.budgetMs;
}

// The position served k-th in a tick of `count` slots: the selected one (when
// 0 <= selected < count) first, then the others from `first` on, wrapping.
size_t DecodeOrderAt(size_t k, size_t count, int32_t selected, size_t first);

// One tick's access-unit step. Host (the render thread, or a test) supplies:
//   using Units = ...;                         a deque of units
//   size_t SlotCount();
//   SlotRole Role(size_t p);
//   bool Take(size_t p, Units& units);         swaps the queue out; returns whether
//                                              the queue had dropped units since
//   void PutBack(size_t p, Units& units);      queues units in front of newer ones
//   bool Ready(size_t p, int32_t& codec);      a decoder is open (opens one if it can)
//   void Decode(size_t p, const Unit& unit);
//   DecodeGate& Gate(size_t p);
//   double NowMs();
// `units` is the working queue, empty between calls.
//
// A tick may be run in two parts: the selected slot (kSelected) before the
// frame is drawn, and the thumbnails (kThumbnails, given the first part's
// report) after it, so the selected camera's picture is presented without
// waiting for thumbnail decoding; their pictures are shown a frame later.
enum class TickPart { kAll, kSelected, kThumbnails };

template <typename Host>
TickReport RunDecodeTick(Host& host, DecodeSchedule& schedule, typename Host::Units& units,
                         TickPart part = TickPart::kAll, const TickReport& before = {}) {
  TickReport report = part == TickPart::kThumbnails ? before : TickReport{};
  const double budgetMs = TickBudgetMs(schedule);
  const double selectedMs = budgetMs > kTickMs ? budgetMs : kTickMs;
  report.budgetMs = budgetMs;
  const size_t count = host.SlotCount();
  if (count == 0) {
    schedule.firstThumbnail = 0;
    return report;
  }
  if (schedule.firstThumbnail >= count) schedule.firstThumbnail = 0;
  int32_t selected = -1;
  for (size_t p = 0; p < count; ++p) {
    if (host.Role(p) == SlotRole::kSelected) {
      selected = static_cast<int32_t>(p);
      break;
    }
  }
  const double tickStart = host.NowMs();
  // Run after the selected slot's part, the thumbnails get what that left.
  const double thumbnailBudgetMs =
      part == TickPart::kThumbnails ? budgetMs - before.decodeMs : budgetMs;
  size_t nextFirst = (schedule.firstThumbnail + 1) % count;
  for (size_t k = 0; k < count; ++k) {
    const size_t p = DecodeOrderAt(k, count, selected, schedule.firstThumbnail);
    const bool isSelected = static_cast<int32_t>(p) == selected;
    if (part == TickPart::kSelected && !isSelected) continue;
    if (part == TickPart::kThumbnails && isSelected) continue;
    const bool lost = host.Take(p, units);
    if (units.empty()) {
      if (lost) CloseGate(host.Gate(p));
      continue;
    }
    DecodeGate& gate = host.Gate(p);
    int32_t codec = 0;
    if (!host.Ready(p, codec)) {
      CloseGate(gate);  // nothing can decode them: gone
      for (const auto& unit : units) HoldParameterSets(gate, unit.bytes, codec);
      units.clear();
      continue;
    }
    const SlotRole role = host.Role(p);
    const SlotRate rate = isSelected                     ? SlotRate::kEveryUnit
                          : role == SlotRole::kOffscreen ? SlotRate::kKeyframesOnly
                          : schedule.rate.keyframesOnly  ? SlotRate::kKeyframesOnly
                                                         : SlotRate::kEveryUnit;
    const double slotStart = host.NowMs();
    SlotOutcome outcome;
    if (isSelected) {
      outcome = DecodeSlotUnits(
          units, codec, rate, kSelectedBacklogUnits, lost, gate,
          [&] { return host.NowMs() - slotStart >= selectedMs; },
          [&](const auto& unit) { host.Decode(p, unit); });
    } else {
      outcome = DecodeSlotUnits(
          units, codec, rate, kThumbnailBacklogUnits, lost, gate,
          [&] { return host.NowMs() - tickStart >= thumbnailBudgetMs; },
          [&](const auto& unit) { host.Decode(p, unit); });
    }
    report.decodeMs += host.NowMs() - slotStart;
    report.decodedUnits += outcome.decoded;
    if (!isSelected && role == SlotRole::kThumbnail) {
      report.rateDroppedUnits += outcome.rateDropped;
      report.thumbnailFellBehind = report.thumbnailFellBehind || outcome.fellBehind;
    }
    if (outcome.cut) {
      host.PutBack(p, units);
      units.clear();
      if (!isSelected) {
        report.thumbnailsCut = true;
        // The thumbnails after this one get nothing more this tick: the next
        // tick starts with the one that was cut.
        nextFirst = p;
        break;
      }
    }
  }
  if (part == TickPart::kSelected) return report;  // the thumbnails' part ends the tick
  schedule.firstThumbnail = nextFirst;
  NoteTick(schedule.rate, report, host.NowMs());
  return report;
}
