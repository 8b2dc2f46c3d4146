#include "audio/pcm_blocks.h"

#include <algorithm>
#include <new>

PcmBlock* NewPcmBlock(PcmBlocks& registry, const uint8_t* data, size_t size) {
  PcmBlock* block = new (std::nothrow) PcmBlock;
  if (block == nullptr) return nullptr;
  try {
    block->bytes.assign(data, data + size);
    std::lock_guard<std::mutex> lock(registry.lock);
    registry.blocks.push_back(block);
    block->id = registry.nextId++;
    registry.bytes += size;
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

size_t FreeFinishedPcmBlocks(PcmBlocks& registry, size_t stillQueued) {
  std::vector<PcmBlock*> finished;
  {
    std::lock_guard<std::mutex> lock(registry.lock);
    while (registry.blocks.size() > stillQueued) {
      PcmBlock* block = registry.blocks.front();
      registry.blocks.pop_front();
      registry.bytes -= block->bytes.size();
      finished.push_back(block);
    }
  }
  for (PcmBlock* block : finished) delete block;
  return finished.size();
}

size_t FreeAllPcmBlocks(PcmBlocks& registry) { return FreeFinishedPcmBlocks(registry, 0); }

size_t PcmBlockCount(PcmBlocks& registry) {
  std::lock_guard<std::mutex> lock(registry.lock);
  return registry.blocks.size();
}

size_t PcmBacklogBytes(PcmBlocks& registry) {
  std::lock_guard<std::mutex> lock(registry.lock);
  return registry.bytes;
}

bool PcmFitsBacklog(size_t backlogBytes, size_t newBytes, uint32_t rate, uint32_t channels) {
  if (backlogBytes == 0) return true;
  const uint64_t limit = uint64_t{rate} * channels * 2 * kMaxPcmBacklogMs / 1000;
  return uint64_t{backlogBytes} + newBytes <= limit;
}
