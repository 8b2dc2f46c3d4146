#include "audio/frame_queue.h"

namespace {

bool Accepts(const FrameQueue& queue, int32_t slotIndex, size_t size) {
  return size != 0 && slotIndex >= 0 && !queue.muted.load() && slotIndex == queue.activeSlot.load();
}

}  // namespace

bool PushFrame(FrameQueue& queue, int32_t slotIndex, const uint8_t* data, size_t size) {
  if (data == nullptr || !Accepts(queue, slotIndex, size)) return false;
  std::vector<uint8_t> copy(data, data + size);
  std::lock_guard<std::mutex> lock(queue.queueLock);
  // SetActiveSlot and SetMuted store their value before they empty the queue
  // under this lock: seen here, a frame of a camera switched away from (or
  // sent while muting) is refused instead of outliving the flush.
  if (!Accepts(queue, slotIndex, size)) return false;
  if (queue.frameQueue.size() >= kMaxQueuedFrames) queue.frameQueue.pop_front();
  queue.frameQueue.push_back(std::move(copy));
  return true;
}

void SetActiveSlot(FrameQueue& queue, int32_t slotIndex) {
  queue.activeSlot.store(slotIndex);
  std::lock_guard<std::mutex> lock(queue.queueLock);
  queue.frameQueue.clear();
}

bool SetMuted(FrameQueue& queue, bool muted) {
  queue.muted.store(muted);
  if (!muted) return false;
  std::lock_guard<std::mutex> lock(queue.queueLock);
  queue.frameQueue.clear();
  return true;
}

bool TakeFrame(FrameQueue& queue, std::vector<uint8_t>& frame) {
  std::lock_guard<std::mutex> lock(queue.queueLock);
  if (queue.frameQueue.empty()) return false;
  frame = std::move(queue.frameQueue.front());
  queue.frameQueue.pop_front();
  return true;
}

size_t QueuedFrameCount(FrameQueue& queue) {
  std::lock_guard<std::mutex> lock(queue.queueLock);
  return queue.frameQueue.size();
}
