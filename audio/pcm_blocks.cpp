#include "audio/pcm_blocks.h"

#include <algorithm>
#include <new>
#include <utility>

PcmBlock* NewPcmBlock(PcmBlocks& registry, std::vector<uint8_t> bytes) {
  PcmBlock* block = new (std::nothrow) PcmBlock;
  if (block == nullptr) return nullptr;
  block->bytes = std::move(bytes);
  try {
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.blocks.push_back(block);
    block->id = registry.nextId++;
    registry.bytes += block->bytes.size();
  } catch (const std::bad_alloc&) {
    delete block;
    return nullptr;
  }
  return block;
}

bool FreePcmBlock(PcmBlocks& registry, uint64_t id) {
  PcmBlock* block = nullptr;
  {
    std::lock_guard<std::mutex> lock(registry.lock);
    auto it = std::find_if(registry.blocks.begin(), registry.blocks.end(),
                           [id](const PcmBlock* b) { return b->id == id; });
    if (it == registry.blocks.end()) return false;
    block = *it;
    registry.blocks.erase(it);
    registry.bytes -= block->bytes.size();
  }
  delete block;
  return true;
}

size_t FreeAllPcmBlocks(PcmBlocks& registry) {
  std::deque<PcmBlock*> all;
  {
    std::lock_guard<std::mutex> lock(registry.lock);
    all.swap(registry.blocks);
    registry.bytes = 0;
  }
  for (PcmBlock* block : all) delete block;
  return all.size();
}

size_t PcmBlockCount(PcmBlocks& registry) {
  std::lock_guard<std::mutex> lock(registry.lock);
  return registry.blocks.size();
}

size_t VoicePcmBytes(PcmBlocks& registry, size_t queuedBuffers) {
  std::lock_guard<std::mutex> lock(registry.lock);
  size_t bytes = 0;
  const size_t count = std::min(queuedBuffers, registry.blocks.size());
  for (size_t i = registry.blocks.size() - count; i < registry.blocks.size(); ++i) {
    bytes += registry.blocks[i]->bytes.size();
  }
  return bytes;
}

void SetPcmVoiceFormat(PcmPlayback& playback, uint32_t rate, uint32_t channels) {
  DropWaitingPcm(playback);
  const uint64_t perSecond = uint64_t{rate} * channels * 2;
  playback.bytesPerSecond = perSecond > 0xFFFFFFFFu ? 0 : static_cast<uint32_t>(perSecond);
}

size_t PcmBytesForMs(const PcmPlayback& playback, uint32_t ms) {
  return static_cast<size_t>(uint64_t{playback.bytesPerSecond} * ms / 1000);
}

bool QueuePcm(PcmPlayback& playback, const uint8_t* data, size_t size) {
  if (playback.bytesPerSecond == 0 || data == nullptr || size == 0) return false;
  try {
    playback.waiting.emplace_back(data, data + size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  playback.waitingBytes += size;
  return true;
}

void DropWaitingPcm(PcmPlayback& playback) {
  playback.waiting.clear();
  playback.waitingBytes = 0;
}

size_t FeedPcmVoice(PcmPlayback& playback, PcmVoice& voice) {
  if (playback.waiting.empty()) return 0;
  // Asked before the registry's lock is taken: the voice has locks of its own.
  const size_t queued = voice.QueuedPcmBuffers();
  size_t inVoice = VoicePcmBytes(playback.submitted, queued);

  const size_t limit = PcmBytesForMs(playback, kMaxPcmBacklogMs);
  while (!playback.waiting.empty() && inVoice + playback.waitingBytes > limit) {
    playback.waitingBytes -= playback.waiting.front().size();
    playback.waiting.pop_front();
    ++playback.droppedBlocks;
  }

  const size_t lead = PcmBytesForMs(playback, kPcmVoiceLeadMs);
  size_t submitted = 0;
  while (!playback.waiting.empty() && inVoice < lead) {
    std::vector<uint8_t> bytes = std::move(playback.waiting.front());
    playback.waiting.pop_front();
    playback.waitingBytes -= bytes.size();
    const size_t size = bytes.size();
    PcmBlock* block = NewPcmBlock(playback.submitted, std::move(bytes));
    if (block == nullptr) {
      ++playback.droppedBlocks;
      break;
    }
    // Once submitted, the block belongs to the voice's callback: only its id
    // is used afterwards.
    const uint64_t id = block->id;
    if (!voice.SubmitPcm(*block)) {
      FreePcmBlock(playback.submitted, id);
      ++playback.droppedBlocks;
      break;
    }
    inVoice += size;
    ++submitted;
  }
  return submitted;
}
