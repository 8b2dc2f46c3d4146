#include "video/decode_policy.h"

#include <algorithm>

UnitKind ClassifyAccessUnit(const uint8_t* data, size_t size, int32_t codec) {
  UnitKind kind;
  if (!data) return kind;
  const bool h265 = codec == 2;
  // Every NAL unit follows a 00 00 01 start code (the four-byte form ends in one).
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t header = data[i + 3];
    if (h265) {
      const int type = (header >> 1) & 0x3F;
      if (type > 31) continue;  // not a slice
      kind.picture = true;
      kind.keyframe = type >= 16 && type <= 23;
      kind.cra = type == 21;
      kind.rasl = type == 8 || type == 9;
      return kind;
    }
    const int type = header & 0x1F;
    if (type < 1 || type > 5) continue;  // not a slice
    kind.picture = true;
    kind.keyframe = type == 5;
    return kind;
  }
  return kind;
}

namespace {

// Access unit delimiters with their start codes: H.264 NAL type 9 with
// primary_pic_type 7 (any slice type); H.265 NAL type 35, temporal id 0,
// pic_type 2 (any slice type). Each ends in its stop bit.
constexpr uint8_t kH264Delimiter[] = {0, 0, 0, 1, 0x09, 0xF0};
constexpr uint8_t kH265Delimiter[] = {0, 0, 0, 1, 0x46, 0x01, 0x50};

}  // namespace

DecoderInput FrameForDecoder(const uint8_t* data, size_t size, int32_t codec) {
  const bool h265 = codec == 2;
  DecoderInput input;
  input.end = h265 ? kH265Delimiter : kH264Delimiter;
  input.endSize = h265 ? sizeof kH265Delimiter : sizeof kH264Delimiter;
  if (!data) return input;
  // A start code at the very beginning (00 00 01, or 00 00 00 01).
  size_t header = 0;
  if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
    header = 3;
  } else if (size >= 5 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
    header = 4;
  } else {
    return input;
  }
  const int type = h265 ? (data[header] >> 1) & 0x3F : data[header] & 0x1F;
  if (type != (h265 ? 35 : 9)) return input;
  // The delimiter ends where the next start code (with its zero bytes) begins.
  size_t next = header + 1;
  while (next + 2 < size && !(data[next] == 0 && data[next + 1] == 0 && data[next + 2] == 1))
    ++next;
  if (next + 2 >= size) {
    input.skip = size;  // nothing but the delimiter
    return input;
  }
  while (next > header + 1 && data[next - 1] == 0) --next;
  input.skip = next;
  return input;
}

namespace {

bool IsParameterSet(uint8_t header, bool h265) {
  if (h265) {
    const int type = (header >> 1) & 0x3F;
    return type >= 32 && type <= 34;
  }
  const int type = header & 0x1F;
  return type == 7 || type == 8;
}

}  // namespace

bool AppendParameterSets(const uint8_t* data, size_t size, int32_t codec,
                         std::vector<uint8_t>& out) {
  if (!data) return false;
  const bool h265 = codec == 2;
  bool found = false;
  size_t i = 0;
  while (i + 3 < size) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) {
      ++i;
      continue;
    }
    const size_t begin = i + 3;  // the NAL header
    size_t end = begin;
    while (end + 2 < size && !(data[end] == 0 && data[end + 1] == 0 &&
                               (data[end + 2] == 1 ||
                                (end + 3 < size && data[end + 2] == 0 && data[end + 3] == 1)))) {
      ++end;
    }
    if (end + 2 >= size) end = size;
    if (IsParameterSet(data[begin], h265)) {
      static const uint8_t kStart[] = {0, 0, 0, 1};
      out.insert(out.end(), kStart, kStart + 4);
      out.insert(out.end(), data + begin, data + end);
      found = true;
    }
    i = end;
  }
  return found;
}

void HoldParameterSets(DecodeGate& gate, const std::vector<uint8_t>& bytes, int32_t codec) {
  std::vector<uint8_t> sets;
  if (AppendParameterSets(bytes.data(), bytes.size(), codec, sets))
    gate.heldParameterSets.swap(sets);
}

bool GateAdmits(const DecodeGate& gate, const UnitKind& kind) {
  if (kind.keyframe) return true;
  if (gate.waitKeyframe) return false;
  return !(kind.rasl && gate.dropRasl);
}

bool PassGate(DecodeGate& gate, const UnitKind& kind) {
  if (kind.keyframe) {
    gate.waitKeyframe = false;
    gate.dropRasl = kind.cra;
    return true;
  }
  if (gate.waitKeyframe) return false;
  if (kind.rasl) return !gate.dropRasl;
  if (kind.picture) gate.dropRasl = false;  // the CRA's leading pictures are over
  return true;
}

SlotRole RoleInScene(const RenderScene& scene, int32_t position, int32_t width, int32_t height) {
  if (scene.selectedSlot >= 0 && scene.selectedSlot == position) return SlotRole::kSelected;
  for (const TileView& tile : scene.tiles) {
    if (tile.slotIndex != position) continue;
    if (tile.right > tile.left && tile.bottom > tile.top && tile.left < width && tile.right > 0 &&
        tile.top < height && tile.bottom > 0) {
      return SlotRole::kThumbnail;
    }
  }
  return SlotRole::kOffscreen;
}

size_t DecodeOrderAt(size_t k, size_t count, int32_t selected, size_t first) {
  if (count == 0) return 0;
  const bool hasSelected = selected >= 0 && static_cast<size_t>(selected) < count;
  if (hasSelected) {
    if (k == 0) return static_cast<size_t>(selected);
    --k;
  }
  size_t p = first % count;
  for (;;) {
    if (!(hasSelected && p == static_cast<size_t>(selected))) {
      if (k == 0) return p;
      --k;
    }
    p = (p + 1) % count;
  }
}

namespace {

void StartWindow(ThumbnailRate& rate, double nowMs) {
  rate.windowStartMs = nowMs;
  rate.ticks = 0;
  rate.cutTicks = 0;
  rate.fellBehind = 0;
  rate.decodeMs = 0.0;
  rate.budgetMs = 0.0;
  rate.decodedUnits = 0;
  rate.rateDroppedUnits = 0;
}

void FallBack(ThumbnailRate& rate, double nowMs) {
  // Back to keyframes soon after a return: the return was premature.
  rate.holdMs = nowMs - rate.returnedAtMs < kRateFailedReturnMs
                    ? std::min(rate.holdMs * 2.0, kRateMaxHoldMs)
                    : kRateHoldMs;
  rate.keyframesOnly = true;
  rate.changedAtMs = nowMs;
  StartWindow(rate, nowMs);
}

}  // namespace

void NoteTick(ThumbnailRate& rate, const TickReport& report, double nowMs) {
  if (rate.windowStartMs < 0.0) StartWindow(rate, nowMs);
  ++rate.ticks;
  if (report.thumbnailsCut) ++rate.cutTicks;
  if (report.thumbnailFellBehind) ++rate.fellBehind;
  rate.decodeMs += report.decodeMs;
  rate.budgetMs += report.budgetMs;
  rate.decodedUnits += report.decodedUnits;
  rate.rateDroppedUnits += report.rateDroppedUnits;

  if (!rate.keyframesOnly && rate.fellBehind >= 2) {
    FallBack(rate, nowMs);
    return;
  }
  if (nowMs - rate.windowStartMs < kRateWindowMs) return;

  if (!rate.keyframesOnly) {
    if (rate.ticks >= kRateMinTicks && rate.cutTicks * 2 >= rate.ticks) {
      FallBack(rate, nowMs);
      return;
    }
  } else if (nowMs - rate.changedAtMs >= rate.holdMs && rate.cutTicks == 0 &&
             rate.fellBehind == 0) {
    // What every unit would have cost: the time spent, plus the units left
    // out at this window's mean time per decoded unit.
    const double perUnit =
        rate.decodedUnits > 0 ? rate.decodeMs / static_cast<double>(rate.decodedUnits) : 0.0;
    const double wanted = rate.decodeMs + perUnit * static_cast<double>(rate.rateDroppedUnits);
    if (wanted <= kRateReturnShare * rate.budgetMs) {
      rate.keyframesOnly = false;
      rate.changedAtMs = nowMs;
      rate.returnedAtMs = nowMs;
    }
  }
  StartWindow(rate, nowMs);
}
