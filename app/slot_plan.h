#pragma once
// The portable decisions of the slot rebuild: the order of the camera list,
// which cameras get a tile, which tile is selected, and the bounded queue of
// access units.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/app_config.h"

inline constexpr size_t kMaxTiles = 16;
// A queue holding more than this many access units is emptied before the next
// one is appended (the decoder side has stalled).
inline constexpr size_t kMaxQueuedAccessUnits = 120;

// Negative, zero or positive as a goes before, with or after b.
using NameCompare = std::function<int(const std::string& a, const std::string& b)>;

// Stable sort of the camera list by name with the given comparison.
void SortCamerasByName(std::vector<CameraEntry>& cameras, const NameCompare& compare);

// Positions in `cameras` of the entries that get a tile, in order: entries
// with an address, at most kMaxTiles of them.
std::vector<int32_t> PlanSlots(const std::vector<CameraEntry>& cameras);

// Position of the first name equal to `selected` byte for byte, or 0.
int32_t FindSelectedSlot(const std::vector<std::string>& names, const std::string& selected);

// Appends one access unit to a slot's queue, emptying the queue first when it
// already holds more than kMaxQueuedAccessUnits. Returns whether it emptied
// the queue: the units after the gap may refer to pictures that were dropped.
template <typename Queue, typename Unit>
bool AppendAccessUnit(Queue& queue, Unit&& unit) {
  const bool overflow = queue.size() > kMaxQueuedAccessUnits;
  if (overflow) queue.clear();
  queue.push_back(std::forward<Unit>(unit));
  return overflow;
}
