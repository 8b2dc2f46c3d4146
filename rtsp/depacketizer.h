#pragma once
// RTP over interleaved RTSP frames: header parse, H.264 (RFC 6184) and H.265
// (RFC 7798) payloads into Annex-B access units, AAC-hbr (RFC 3640) payloads
// into raw AAC frames. One MediaState per connection, used on the session thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "rtsp/sdp.h"

using AccessUnitCallback = std::function<void(std::vector<uint8_t>&&, int64_t)>;
using AudioFrameCallback = std::function<void(const uint8_t*, unsigned)>;

constexpr size_t kMaxPendingAccessUnit = 4u << 20;  // beyond this the unit is dropped

// Video assembly state of one connection.
struct MediaState {
  int32_t codec = 0;                   // from this connection's SDP: 2 = H.265, else H.264
  std::vector<uint8_t> parameterSets;  // SDP sets in Annex-B form, put before the first unit
  bool audioReady = false;             // the audio SETUP succeeded
  std::vector<uint8_t> pending;        // Annex-B bytes of the unit being assembled
  bool fragmentOpen = false;           // a start fragment was seen and its NAL is unfinished
  bool parameterSetsSent = false;
  bool timestampBaseSet = false;
  uint32_t baseTimestamp = 0;
};

// Fresh state for a connection that has parsed `sdp`.
void ResetMediaState(MediaState& state, const SdpInfo& sdp, bool audioReady);

struct RtpPacket {
  bool marker = false;
  uint32_t timestamp = 0;
  const uint8_t* payload = nullptr;  // padding removed
  size_t payloadSize = 0;
};

// RFC 3550 header parse; false for a packet to drop (not version 2, too short,
// extension or padding that does not fit, no payload byte).
bool ParseRtpPacket(const uint8_t* data, size_t length, RtpPacket& packet);

// Appends the Annex-B bytes of one payload to `pending`. `fragmentOpen` follows
// the fragmentation units so that continuations without a start are dropped.
void DepacketizeH264(const uint8_t* payload, size_t size, std::vector<uint8_t>& pending,
                     bool& fragmentOpen);
void DepacketizeH265(const uint8_t* payload, size_t size, std::vector<uint8_t>& pending,
                     bool& fragmentOpen);

// Splits one AAC-hbr payload (16-bit AU headers) into raw AAC frames.
void DepacketizeAac(const uint8_t* payload, size_t size, const AudioFrameCallback& onAudioFrame);

// 90 kHz RTP clock difference to 100-ns units (modulo 2^32 difference).
int64_t RtpTimestampTo100ns(uint32_t timestamp, uint32_t base);

// One interleaved frame's data: channel 0 is video, channel 2 audio (when
// audioReady and onAudioFrame is set), every other channel is dropped.
// Complete access units go to onAccessUnit (may be empty) on the marker bit.
void HandleInterleavedFrame(MediaState& state, uint8_t channel, const uint8_t* data, size_t length,
                            const AccessUnitCallback& onAccessUnit,
                            const AudioFrameCallback& onAudioFrame);
