#include "app/render_gate.h"

bool RenderGate::EnterTick() {
  std::lock_guard<std::mutex> guard(lock_);
  if (pauseCount_ > 0) return false;
  tickRunning_ = true;
  return true;
}

void RenderGate::LeaveTick() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    tickRunning_ = false;
  }
  tickEnded_.notify_all();
}

void RenderGate::Pause() {
  std::unique_lock<std::mutex> guard(lock_);
  ++pauseCount_;
  tickEnded_.wait(guard, [this] { return !tickRunning_; });
}

void RenderGate::Resume() {
  std::lock_guard<std::mutex> guard(lock_);
  if (pauseCount_ > 0) --pauseCount_;
}

bool RenderGate::TickRunning() {
  std::lock_guard<std::mutex> guard(lock_);
  return tickRunning_;
}

int RenderGate::PauseCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return pauseCount_;
}
