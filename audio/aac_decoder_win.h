// The Media Foundation AAC decoder: set up from the stream's description (fed
// ADTS frames), decoding one raw AAC frame at a time into 16-bit PCM that goes
// to a PcmSink. Used by the audio thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/audio_loop.h"

struct IMFTransform;

struct AacDecoder {
  IMFTransform* decoder = nullptr;  // null when none is open
  DecoderSetup setup;               // the description it was opened with
  uint32_t outputRate = 0;          // of the chosen PCM output type
  uint32_t outputChannels = 0;
};

// Where decoded PCM goes.
class PcmSink {
 public:
  // The decoder changed its PCM format mid-stream (outputRate/outputChannels).
  virtual void OnPcmFormat(uint32_t rate, uint32_t channels) = 0;
  // One decoder output; the bytes are valid only during the call.
  virtual void OnPcm(const uint8_t* data, size_t size) = 0;

 protected:
  ~PcmSink() = default;
};

// Most outputs one drain takes; a transform that never asks for more input
// cannot hold the audio thread.
constexpr int kMaxDrainOutputs = 32;

// Releases any open decoder, then finds, activates and sets up a new one with
// 16-bit PCM output. False (no decoder) when there is no AAC decoder, the
// input type is refused or no 16-bit PCM output exists.
bool OpenAacDecoder(AacDecoder& aac, const DecoderSetup& setup);

// Chooses the PCM output type (exact rate and channels, else the first 16-bit
// PCM one) and reads outputRate and outputChannels.
bool SelectPcmOutput(AacDecoder& aac);

// Decodes one raw AAC frame (the ADTS header is added here); false when the
// frame was dropped (too long, refused by the decoder, out of memory).
bool DecodeFrame(AacDecoder& aac, const uint8_t* frame, size_t size, PcmSink& sink);

// Takes every output the decoder has ready; returns how many carried PCM.
int DrainAacDecoder(AacDecoder& aac, PcmSink& sink);

// Drops whatever the decoder holds (a switch of camera or a mute).
void FlushAacDecoder(AacDecoder& aac);

void ReleaseAacDecoder(AacDecoder& aac);
