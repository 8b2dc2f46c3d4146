// Bookkeeping of the PCM blocks handed to the source voice. Every block is
// registered from submission until it is freed, by whichever comes first: the
// voice's end-of-buffer callback, the voice reporting fewer queued buffers
// than are registered, or the voice's destruction (a destroyed voice makes no
// more callbacks). The registered bytes are the voice's backlog, which is kept
// short: a live view must not lag behind the camera.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// Longest backlog of PCM the voice may hold; newer PCM beyond it is dropped.
constexpr uint32_t kMaxPcmBacklogMs = 200;

// A block is named by a number that is never reused, so a late callback for a
// block freed meanwhile cannot free a newer block at the same address.
struct PcmBlock {
  uint64_t id = 0;
  std::vector<uint8_t> bytes;
};

struct PcmBlocks {
  std::mutex lock;               // taken by the audio thread and the voice callback
  std::deque<PcmBlock*> blocks;  // in submission order
  size_t bytes = 0;              // total size of the registered blocks
  uint64_t nextId = 1;
};

// Copies data into a new registered block; null when the allocation fails.
// The block stays valid until it is freed through its id.
PcmBlock* NewPcmBlock(PcmBlocks& registry, const uint8_t* data, size_t size);

// Frees the block with this id when it is still registered (it may have been
// freed already through one of the other ways); true when it was.
bool FreePcmBlock(PcmBlocks& registry, uint64_t id);

// The voice reports stillQueued buffers: all older registered blocks are
// finished and freed. Returns how many were freed.
size_t FreeFinishedPcmBlocks(PcmBlocks& registry, size_t stillQueued);

// Frees every registered block (the voice was destroyed). Returns how many.
size_t FreeAllPcmBlocks(PcmBlocks& registry);

size_t PcmBlockCount(PcmBlocks& registry);
size_t PcmBacklogBytes(PcmBlocks& registry);

// Whether newBytes more of 16-bit PCM at rate and channels fit behind a
// backlog of backlogBytes. An empty backlog takes any block.
bool PcmFitsBacklog(size_t backlogBytes, size_t newBytes, uint32_t rate, uint32_t channels);
