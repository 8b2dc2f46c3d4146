// When the render thread starts its next frame. Frames start at most 60
// times a second (at least kFrameIntervalMs apart), one interval after the
// last one when nothing else asks, and as soon as that allows when a unit of
// the selected camera arrives, so its picture does not wait out a tick.
//
// A frame started just before the selected camera's next picture would keep
// that picture waiting until the frame after it: most of a tick, every
// picture of a camera whose pictures come a little over two intervals apart
// (30 a second). So while the selected camera sends, a frame that would
// keep its next picture waiting (for one interval, or as long as the last
// frame took when that is longer) more than a few milliseconds waits for that
// picture instead, for at most a quarter of the camera's interval (and 8 ms)
// past the time it is expected.
#pragma once

inline constexpr double kFrameIntervalMs = 1000.0 / 60.0;

struct FramePacer {
  double lastStartMs = -1e18;   // when the last frame started
  double lastUnitMs = -1e18;    // when the last unit of the selected camera was seen
  double unitIntervalMs = 0.0;  // its smoothed spacing; 0: not known (not sending)
  double frameMs = 0.0;         // how long the last frame took
};

// A frame starts at nowMs.
void NoteFrameStart(FramePacer& pacer, double nowMs);
// The frame that started last ended at nowMs.
void NoteFrameEnd(FramePacer& pacer, double nowMs);

// A unit of the selected camera was queued (seen at nowMs).
void NoteSelectedUnit(FramePacer& pacer, double nowMs);

// When the next frame starts if no unit of the selected camera comes first.
double NextFrameDueMs(const FramePacer& pacer);

// When the next frame starts now that a unit of the selected camera came.
inline double WokenFrameDueMs(const FramePacer& pacer, double nowMs) {
  const double earliest = pacer.lastStartMs + kFrameIntervalMs;
  return nowMs > earliest ? nowMs : earliest;
}
