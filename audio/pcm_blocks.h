// The PCM on its way to the source voice. Decoded PCM waits in a short queue
// of the audio thread and is handed to the voice a little ahead of playback.
// A block handed over is registered until the voice has provably finished
// with it: its end-of-buffer callback (made for every buffer, played or
// removed by a flush; after a flush not in submission order) or the voice's
// destruction (a destroyed voice makes no more callbacks). Nothing else frees
// a submitted block.
//
// The backlog, what the voice holds plus what waits, is how far the sound
// lags behind the camera. It may grow to kMaxPcmBacklogMs, so the burst of
// frames that ends a network stall of half a second is played in full; beyond
// that the oldest waiting PCM is dropped, so what is heard stays current.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

// Longest backlog of PCM (voice and waiting queue together).
constexpr uint32_t kMaxPcmBacklogMs = 600;
// The voice is topped up to this much: enough to cover the audio thread's
// pauses between passes, short so that the rest of the backlog stays
// droppable from its oldest end.
constexpr uint32_t kPcmVoiceLeadMs = 100;

// A block is named by a number that is never reused, so a late callback for a
// block freed meanwhile cannot free a newer block at the same address.
struct PcmBlock {
  uint64_t id = 0;
  std::vector<uint8_t> bytes;
};

// The blocks submitted to the voice and not yet finished.
struct PcmBlocks {
  std::mutex lock;               // taken by the audio thread and the voice callback
  std::deque<PcmBlock*> blocks;  // in submission order
  size_t bytes = 0;              // total size of the registered blocks
  uint64_t nextId = 1;
};

// The source voice as the PCM path uses it.
class PcmVoice {
 public:
  // Queues the block's bytes with its id as the buffer's context; false when
  // the voice refuses it.
  virtual bool SubmitPcm(const PcmBlock& block) = 0;
  // Buffers the voice still holds, the one playing included.
  virtual size_t QueuedPcmBuffers() = 0;

 protected:
  ~PcmVoice() = default;
};

struct PcmPlayback {
  PcmBlocks submitted;                       // shared with the voice callback
  std::deque<std::vector<uint8_t>> waiting;  // the audio thread's alone; oldest first
  size_t waitingBytes = 0;
  uint32_t bytesPerSecond = 0;  // of the voice's format; 0 while there is no voice
  uint64_t droppedBlocks = 0;   // waiting PCM dropped to keep the backlog short
};

// Takes over bytes as a new registered block; null when the allocation fails.
// The block stays valid until it is freed through its id.
PcmBlock* NewPcmBlock(PcmBlocks& registry, std::vector<uint8_t> bytes);

// Frees the block with this id when it is still registered (it may have been
// freed already through the other way); true when it was.
bool FreePcmBlock(PcmBlocks& registry, uint64_t id);

// Frees every registered block (the voice was destroyed). Returns how many.
size_t FreeAllPcmBlocks(PcmBlocks& registry);

size_t PcmBlockCount(PcmBlocks& registry);

// How much of the registered PCM a voice holding queuedBuffers still has to
// play: the bytes of the newest that many blocks. Right after a flush the
// removed blocks stay registered until their callbacks, so these are not
// always the very blocks the voice holds, but blocks are alike in size.
size_t VoicePcmBytes(PcmBlocks& registry, size_t queuedBuffers);

// A voice for 16-bit PCM of this format now plays (0, 0: none). PCM waiting
// for the previous voice is dropped.
void SetPcmVoiceFormat(PcmPlayback& playback, uint32_t rate, uint32_t channels);

// Bytes of PCM lasting ms in the voice's format.
size_t PcmBytesForMs(const PcmPlayback& playback, uint32_t ms);

// Queues a copy of decoded PCM behind what waits; false when there is no
// voice or the allocation fails (the PCM is skipped).
bool QueuePcm(PcmPlayback& playback, const uint8_t* data, size_t size);

// Drops the waiting PCM (a switch of camera or a mute; the voice is flushed
// as well). Blocks the voice holds are freed by its callbacks.
void DropWaitingPcm(PcmPlayback& playback);

// One step of the audio thread: drops the oldest waiting PCM while the
// backlog exceeds kMaxPcmBacklogMs, then submits waiting blocks in order while
// the voice holds less than kPcmVoiceLeadMs. A block the voice refuses is
// freed and counted as dropped. Returns how many blocks were submitted.
size_t FeedPcmVoice(PcmPlayback& playback, PcmVoice& voice);
