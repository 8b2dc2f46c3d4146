// The queue of raw AAC frames between the RTSP session threads and the audio
// thread, with the rules of what is kept: only frames of the audible slot,
// none while muted, no empty ones, at most kMaxQueuedFrames (oldest dropped).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

constexpr size_t kMaxQueuedFrames = 33;

struct FrameQueue {
  std::atomic<int32_t> activeSlot{-1};  // audible slot; -1 = none
  std::atomic<bool> muted{false};
  std::mutex queueLock;  // guards frameQueue only
  std::deque<std::vector<uint8_t>> frameQueue;
};

// Queues a copy of the frame when the rules allow it; true when queued. The
// audible slot and mute are checked again under the lock, so a frame racing a
// switch or a mute never lands after the queue was emptied for it.
bool PushFrame(FrameQueue& queue, int32_t slotIndex, const uint8_t* data, size_t size);

// Makes slotIndex the audible slot and empties the queue. The caller flushes
// the voice as well.
void SetActiveSlot(FrameQueue& queue, int32_t slotIndex);

// Stores the mute state; muting also empties the queue. True when the caller
// must flush the voice (that is, when muting).
bool SetMuted(FrameQueue& queue, bool muted);

// Moves the oldest frame into frame; false when the queue is empty.
bool TakeFrame(FrameQueue& queue, std::vector<uint8_t>& frame);

size_t QueuedFrameCount(FrameQueue& queue);
