// The gate between the slot rebuild and the render thread's walk over the slots.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "app/render_gate.h"

TEST(RenderGate, WalkRunsUnlessPausedAndPausesNest) {
  RenderGate gate;
  EXPECT_TRUE(gate.EnterTick());
  EXPECT_TRUE(gate.TickRunning());
  gate.LeaveTick();
  EXPECT_FALSE(gate.TickRunning());

  gate.Pause();
  gate.Pause();
  EXPECT_FALSE(gate.EnterTick());
  gate.Resume();
  EXPECT_FALSE(gate.EnterTick()) << "one Resume must not undo two Pauses";
  gate.Resume();
  EXPECT_TRUE(gate.EnterTick());
  gate.LeaveTick();
  gate.Resume();  // an unmatched Resume does not go below zero
  EXPECT_EQ(gate.PauseCount(), 0);
  EXPECT_TRUE(gate.EnterTick());
  gate.LeaveTick();
}

TEST(RenderGate, PauseWaitsForTheRunningWalk) {
  RenderGate gate;
  ASSERT_TRUE(gate.EnterTick());
  std::atomic<bool> paused{false};
  std::thread ui([&] {
    gate.Pause();
    paused = true;
  });
  // The UI side must stay blocked while the walk runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(paused.load());
  gate.LeaveTick();
  ui.join();
  EXPECT_TRUE(paused.load());
  EXPECT_FALSE(gate.EnterTick());
  gate.Resume();
}

// A render thread walking a shared list while a UI thread replaces it: the
// walk must never see the list in the middle of a rebuild.
TEST(RenderGate, RebuildNeverOverlapsAWalk) {
  RenderGate gate;
  std::vector<int*> slots;
  for (int i = 0; i < 8; ++i) slots.push_back(new int(i));
  std::atomic<bool> rebuilding{false};
  std::atomic<bool> stop{false};
  std::atomic<int> overlaps{0};
  std::atomic<long> walks{0};
  std::atomic<long> skipped{0};

  std::thread render([&] {
    while (!stop) {
      if (!gate.EnterTick()) {
        ++skipped;
        std::this_thread::yield();
        continue;
      }
      if (rebuilding) ++overlaps;
      long sum = 0;
      for (int* s : slots) sum += *s;  // reads every slot
      if (rebuilding) ++overlaps;
      if (sum < 0) ++overlaps;
      ++walks;
      gate.LeaveTick();
    }
  });

  for (int round = 0; round < 300; ++round) {
    gate.Pause();
    rebuilding = true;
    for (int* s : slots) delete s;
    slots.clear();
    for (int i = 0; i < 1 + round % 16; ++i) slots.push_back(new int(i));
    rebuilding = false;
    gate.Resume();
    std::this_thread::yield();
  }
  // Let the render side get at least one walk after the last rebuild.
  long before = walks.load();
  while (walks.load() == before) std::this_thread::yield();
  stop = true;
  render.join();
  for (int* s : slots) delete s;
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GT(walks.load(), 0);
}
