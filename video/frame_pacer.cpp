#include "video/frame_pacer.h"

namespace {

// Units further apart than this (under 10 pictures a second, or a stall)
// are not waited for: plain ticks again.
constexpr double kMaxUnitIntervalMs = 100.0;
// How long past its expected time a frame waits for the picture at most.
constexpr double kMaxHoldMs = 8.0;
constexpr double kSmoothing = 0.2;  // weight of the newest spacing
// A picture may wait this long for a frame started before it (a camera's
// pictures are never exactly evenly spaced); beyond it the frame waits.
constexpr double kHoldToleranceMs = 4.0;

}  // namespace

void NoteFrameStart(FramePacer& pacer, double nowMs) {
  pacer.lastStartMs = nowMs;
}

void NoteFrameEnd(FramePacer& pacer, double nowMs) {
  pacer.frameMs = nowMs - pacer.lastStartMs;
}

void NoteSelectedUnit(FramePacer& pacer, double nowMs) {
  const double spacing = nowMs - pacer.lastUnitMs;
  pacer.lastUnitMs = nowMs;
  if (!(spacing > 0.0) || spacing > kMaxUnitIntervalMs) {
    pacer.unitIntervalMs = 0.0;  // the first unit after a pause: no rhythm yet
    return;
  }
  pacer.unitIntervalMs = pacer.unitIntervalMs > 0.0
                             ? pacer.unitIntervalMs + kSmoothing * (spacing - pacer.unitIntervalMs)
                             : spacing;
}

double NextFrameDueMs(const FramePacer& pacer) {
  const double due = pacer.lastStartMs + kFrameIntervalMs;
  if (!(pacer.unitIntervalMs > 0.0)) return due;
  const double expected = pacer.lastUnitMs + pacer.unitIntervalMs;
  const double quarter = pacer.unitIntervalMs / 4.0;
  const double held = expected + (quarter < kMaxHoldMs ? quarter : kMaxHoldMs);
  // A frame started at `due` blocks the next one for an interval, or for as
  // long as frames take now.
  const double blocks = pacer.frameMs > kFrameIntervalMs ? pacer.frameMs : kFrameIntervalMs;
  if (due + blocks > expected + kHoldToleranceMs && due < held) return held;
  return due;
}
