// libFuzzer target: interleaved frames through HandleInterleavedFrame.
// Input: one byte of settings (codec, audio), then frames as channel, 16-bit
// length, data. Every access unit must start with a start code and pending
// must stay bounded.
#include <cstdlib>
#include <vector>

#include "rtsp/depacketizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  SdpInfo sdp;
  sdp.codec = (data[0] & 1) ? 2 : 1;
  MediaState state;
  ResetMediaState(state, sdp, (data[0] & 2) != 0);
  const AccessUnitCallback onAccessUnit = [](std::vector<uint8_t>&& unit, int64_t time) {
    if (unit.size() < 4 || unit[0] != 0 || unit[1] != 0 || unit[2] != 0 || unit[3] != 1)
      std::abort();
    if (time < 0) std::abort();
  };
  const AudioFrameCallback onAudioFrame = [](const uint8_t* frame, unsigned frameSize) {
    volatile uint8_t sink = 0;
    for (unsigned i = 0; i < frameSize; ++i) sink = sink ^ frame[i];
  };
  size_t at = 1;
  while (at + 3 <= size) {
    const uint8_t channel = data[at];
    size_t length = size_t{data[at + 1]} << 8 | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    // A copy of exactly the frame, so that reads past it are caught.
    const std::vector<uint8_t> frame(data + at, data + at + length);
    HandleInterleavedFrame(state, channel, frame.data(), frame.size(), onAccessUnit, onAudioFrame);
    if (state.pending.size() > kMaxPendingAccessUnit) std::abort();
    at += length;
  }
  return 0;
}
