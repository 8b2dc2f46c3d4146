#include "rtsp/depacketizer.h"

namespace {

const uint8_t kStartCode[4] = {0, 0, 0, 1};

uint16_t ReadU16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ReadU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void AppendNal(std::vector<uint8_t>& pending, const uint8_t* nal, size_t size) {
  pending.insert(pending.end(), kStartCode, kStartCode + 4);
  pending.insert(pending.end(), nal, nal + size);
}

// Aggregation packet body from `offset`: 16-bit size, unit, repeated. A unit
// that does not fit ends the packet; the units before it stay.
void AppendAggregated(const uint8_t* payload, size_t size, size_t offset,
                      std::vector<uint8_t>& pending) {
  while (offset + 2 <= size) {
    const size_t n = ReadU16(payload + offset);
    if (offset + 2 + n > size) return;
    AppendNal(pending, payload + offset + 2, n);
    offset += 2 + n;
  }
}

// One fragment of a fragmented NAL unit. A start fragment opens the unit with
// its rebuilt header; a continuation is kept only while a unit is open, since
// without its start it would be glued to whatever NAL unit came before.
void AppendFragment(bool start, bool end, const uint8_t* header, size_t headerSize,
                    const uint8_t* body, size_t bodySize, std::vector<uint8_t>& pending,
                    bool& fragmentOpen) {
  if (start) {
    pending.insert(pending.end(), kStartCode, kStartCode + 4);
    pending.insert(pending.end(), header, header + headerSize);
    fragmentOpen = true;
  } else if (!fragmentOpen) {
    return;
  }
  pending.insert(pending.end(), body, body + bodySize);
  if (end) fragmentOpen = false;
}

void EmitAccessUnit(MediaState& state, uint32_t timestamp, const AccessUnitCallback& onAccessUnit) {
  std::vector<uint8_t> unit;
  if (!state.parameterSetsSent) {
    unit.reserve(state.parameterSets.size() + state.pending.size());
    unit = state.parameterSets;
    state.parameterSetsSent = true;
  } else {
    unit.reserve(state.pending.size());
  }
  unit.insert(unit.end(), state.pending.begin(), state.pending.end());
  state.pending.clear();
  // A NAL unit never spans access units.
  state.fragmentOpen = false;
  if (onAccessUnit)
    onAccessUnit(std::move(unit), RtpTimestampTo100ns(timestamp, state.baseTimestamp));
}

void HandleVideoPacket(MediaState& state, const RtpPacket& packet,
                       const AccessUnitCallback& onAccessUnit) {
  if (!state.timestampBaseSet) {
    state.timestampBaseSet = true;
    state.baseTimestamp = packet.timestamp;
  }
  if (state.codec == 2) {
    DepacketizeH265(packet.payload, packet.payloadSize, state.pending, state.fragmentOpen);
  } else {
    DepacketizeH264(packet.payload, packet.payloadSize, state.pending, state.fragmentOpen);
  }
  if (state.pending.size() > kMaxPendingAccessUnit) {
    // A stream that never marks the end of a unit: drop what is pending, and
    // the fragment it may end in, rather than grow without end.
    state.pending.clear();
    state.fragmentOpen = false;
    return;
  }
  if (packet.marker && !state.pending.empty())
    EmitAccessUnit(state, packet.timestamp, onAccessUnit);
}

}  // namespace

void ResetMediaState(MediaState& state, const SdpInfo& sdp, bool audioReady) {
  state.codec = sdp.codec;
  state.parameterSets = sdp.parameterSets;
  state.audioReady = audioReady;
  state.pending.clear();
  state.fragmentOpen = false;
  state.parameterSetsSent = false;
  state.timestampBaseSet = false;
  state.baseTimestamp = 0;
}

bool ParseRtpPacket(const uint8_t* data, size_t length, RtpPacket& packet) {
  if (length < 12 || (data[0] & 0xC0) != 0x80) return false;
  size_t headerLength = 12 + 4 * size_t{static_cast<uint8_t>(data[0] & 0x0F)};
  if (data[0] & 0x10) {
    if (headerLength + 4 > length) return false;
    headerLength += 4 + 4 * size_t{ReadU16(data + headerLength + 2)};
  }
  if (headerLength >= length) return false;
  size_t end = length;
  if (data[0] & 0x20) {
    // RFC 3550: the last octet counts the padding octets, itself included.
    const size_t padding = data[length - 1];
    if (padding == 0 || padding > length - headerLength) return false;
    end -= padding;
    if (end <= headerLength) return false;
  }
  packet.marker = (data[1] & 0x80) != 0;
  packet.timestamp = ReadU32(data + 4);
  packet.payload = data + headerLength;
  packet.payloadSize = end - headerLength;
  return true;
}

void DepacketizeH264(const uint8_t* payload, size_t size, std::vector<uint8_t>& pending,
                     bool& fragmentOpen) {
  if (size == 0) return;
  const int type = payload[0] & 0x1F;
  switch (type) {
    case 24:  // STAP-A (RFC 6184 5.7.1)
      fragmentOpen = false;
      if (size >= 3) AppendAggregated(payload, size, 1, pending);
      break;
    case 28: {  // FU-A (RFC 6184 5.8)
      if (size < 2) break;
      const uint8_t header = static_cast<uint8_t>((payload[0] & 0xE0) | (payload[1] & 0x1F));
      AppendFragment((payload[1] & 0x80) != 0, (payload[1] & 0x40) != 0, &header, 1, payload + 2,
                     size - 2, pending, fragmentOpen);
      break;
    }
    default:  // single NAL unit packet (types 1-23; others passed through whole)
      fragmentOpen = false;
      AppendNal(pending, payload, size);
      break;
  }
}

void DepacketizeH265(const uint8_t* payload, size_t size, std::vector<uint8_t>& pending,
                     bool& fragmentOpen) {
  if (size < 2) return;
  const int type = (payload[0] >> 1) & 0x3F;
  switch (type) {
    case 48:  // aggregation packet (RFC 7798 4.4.2), no DONL
      fragmentOpen = false;
      if (size >= 4) AppendAggregated(payload, size, 2, pending);
      break;
    case 49: {  // fragmentation unit (RFC 7798 4.4.3)
      if (size < 3) break;
      const uint8_t header[2] = {
          static_cast<uint8_t>((payload[0] & 0x81) | ((payload[2] & 0x3F) << 1)), payload[1]};
      AppendFragment((payload[2] & 0x80) != 0, (payload[2] & 0x40) != 0, header, 2, payload + 3,
                     size - 3, pending, fragmentOpen);
      break;
    }
    default:  // single NAL unit packet (RFC 7798 4.4.1); PACI passed through whole
      fragmentOpen = false;
      AppendNal(pending, payload, size);
      break;
  }
}

void DepacketizeAac(const uint8_t* payload, size_t size, const AudioFrameCallback& onAudioFrame) {
  if (size < 4) return;
  const size_t headersBits = ReadU16(payload);
  const size_t count = headersBits / 16;
  size_t dataOffset = 2 + (headersBits + 7) / 8;
  if (count == 0 || dataOffset > size) return;
  for (size_t i = 0; i < count; ++i) {
    if (3 + 2 * i >= size) return;
    const size_t auSize = ReadU16(payload + 2 + 2 * i) >> 3;  // 13-bit size, 3-bit index
    if (dataOffset + auSize > size) return;
    if (onAudioFrame) onAudioFrame(payload + dataOffset, static_cast<unsigned>(auSize));
    dataOffset += auSize;
  }
}

int64_t RtpTimestampTo100ns(uint32_t timestamp, uint32_t base) {
  const uint32_t ticks = timestamp - base;
  return static_cast<int64_t>(ticks) * 1000 / 9;
}

void HandleInterleavedFrame(MediaState& state, uint8_t channel, const uint8_t* data, size_t length,
                            const AccessUnitCallback& onAccessUnit,
                            const AudioFrameCallback& onAudioFrame) {
  if (channel != 0 && channel != 2) return;
  RtpPacket packet;
  if (!ParseRtpPacket(data, length, packet)) return;
  if (channel == 2) {
    if (onAudioFrame && state.audioReady)
      DepacketizeAac(packet.payload, packet.payloadSize, onAudioFrame);
    return;
  }
  HandleVideoPacket(state, packet, onAccessUnit);
}
