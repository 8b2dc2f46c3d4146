#pragma once
// Keeps a rebuild of the slot list (UI thread) from overlapping the render
// thread's walk over the slots. Only a pause count and a "tick running" flag
// are guarded; no lock is held while a tick or a rebuild does its work.
//
// Render thread, every tick:
//   if (gate.EnterTick()) { ...walk the slots...; gate.LeaveTick(); }
//   (EnterTick returns false while a rebuild is under way: skip the walk this
//   tick, still draw the frame.)
// UI thread, around stopping, destroying and rebuilding the slots:
//   gate.Pause(); ...; gate.Resume();
//   (Pause returns once no walk is running; none starts until Resume.)
#include <condition_variable>
#include <mutex>

class RenderGate {
 public:
  // Render thread: true when the slots may be walked now (call LeaveTick after).
  bool EnterTick();
  void LeaveTick();

  // UI thread: waits for a running walk to end and holds off new ones.
  // Pauses nest; every Pause needs one Resume.
  void Pause();
  void Resume();

  // For tests: whether a walk is running / pauses are in force.
  bool TickRunning();
  int PauseCount();

 private:
  std::mutex lock_;
  std::condition_variable tickEnded_;
  int pauseCount_ = 0;
  bool tickRunning_ = false;
};
