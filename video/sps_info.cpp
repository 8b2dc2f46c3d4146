#include "video/sps_info.h"

#include <vector>

namespace {

// A parameter set longer than this is not a real one.
constexpr size_t kMaxRbspBytes = 4096;

// Exp-Golomb bit reader over the RBSP (emulation prevention bytes removed).
// Reading past the end sets `failed` and yields zeros.
struct BitReader {
  std::vector<uint8_t> bytes;
  size_t bit = 0;
  bool failed = false;

  uint32_t Bit() {
    if (bit >= bytes.size() * 8) {
      failed = true;
      return 0;
    }
    const uint32_t b = (bytes[bit / 8] >> (7 - bit % 8)) & 1u;
    ++bit;
    return b;
  }
  uint32_t Bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }
  void Skip(size_t n) {
    if (n > bytes.size() * 8 - bit) {
      failed = true;
      bit = bytes.size() * 8;
    } else {
      bit += n;
    }
  }
  // ue(v); values needing more than 31 leading zeros are invalid.
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0) {
      if (failed || ++zeros > 31) {
        failed = true;
        return 0;
      }
    }
    if (zeros == 0) return 0;
    const uint64_t v = (uint64_t{1} << zeros) - 1 + Bits(zeros);
    if (v > 0xFFFFFFFFu) {
      failed = true;
      return 0;
    }
    return static_cast<uint32_t>(v);
  }
  int32_t Se() {
    const uint32_t k = Ue();
    const int64_t magnitude = (static_cast<int64_t>(k) + 1) / 2;
    return static_cast<int32_t>((k & 1) ? magnitude : -magnitude);
  }
};

void LoadRbsp(const uint8_t* nal, size_t size, size_t headerBytes, BitReader* r) {
  size_t zeros = 0;
  for (size_t i = headerBytes; i < size && r->bytes.size() < kMaxRbspBytes; ++i) {
    if (zeros >= 2 && nal[i] == 3) {  // emulation_prevention_three_byte
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    r->bytes.push_back(nal[i]);
  }
}

void SkipH264ScalingList(BitReader* r, int entries) {
  int32_t last = 8;
  int32_t next = 8;
  for (int j = 0; j < entries && !r->failed; ++j) {
    if (next != 0) {
      const int32_t delta = r->Se();
      if (delta < -128 || delta > 127) {
        r->failed = true;
        return;
      }
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

// Cropping offsets in crop units (H.264 frame_crop_*, H.265 conf_win_*).
struct CropOffsets {
  uint64_t left = 0, right = 0, top = 0, bottom = 0;
};

// The flag, then the four offsets when it is set.
CropOffsets ReadCropOffsets(BitReader* r) {
  CropOffsets c;
  if (r->Bit()) {
    c.left = r->Ue();
    c.right = r->Ue();
    c.top = r->Ue();
    c.bottom = r->Ue();
  }
  return c;
}

// Fills out from the coded size in luma samples and the cropping offsets;
// false when the window is empty or does not fit.
bool SetSize(uint64_t codedWidth, uint64_t codedHeight, uint64_t unitX, uint64_t unitY,
             const CropOffsets& crop, SpsInfo* out) {
  if (codedWidth == 0 || codedHeight == 0 || codedWidth > 16384 || codedHeight > 16384)
    return false;
  const uint64_t cropX = unitX * (crop.left + crop.right);
  const uint64_t cropY = unitY * (crop.top + crop.bottom);
  if (cropX >= codedWidth || cropY >= codedHeight) return false;
  out->codedWidth = static_cast<uint32_t>(codedWidth);
  out->codedHeight = static_cast<uint32_t>(codedHeight);
  out->visible.x = static_cast<uint32_t>(unitX * crop.left);
  out->visible.y = static_cast<uint32_t>(unitY * crop.top);
  out->visible.width = static_cast<uint32_t>(codedWidth - cropX);
  out->visible.height = static_cast<uint32_t>(codedHeight - cropY);
  out->valid = true;
  return true;
}

void SkipH265ProfileTierLevel(BitReader* r, uint32_t maxSubLayersMinus1) {
  r->Skip(88);  // general profile space .. general_inbld/reserved
  r->Skip(8);   // general_level_idc
  uint32_t profilePresent[8] = {};
  uint32_t levelPresent[8] = {};
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    profilePresent[i] = r->Bit();
    levelPresent[i] = r->Bit();
  }
  if (maxSubLayersMinus1 > 0) {
    for (uint32_t i = maxSubLayersMinus1; i < 8; ++i) r->Skip(2);
  }
  for (uint32_t i = 0; i < maxSubLayersMinus1; ++i) {
    if (profilePresent[i]) r->Skip(88);
    if (levelPresent[i]) r->Skip(8);
  }
}

}  // namespace

bool ParseH264Sps(const uint8_t* nal, size_t size, SpsInfo* out) {
  *out = SpsInfo{};
  if (nal == nullptr || size < 4 || (nal[0] & 0x1F) != 7) return false;
  BitReader r;
  LoadRbsp(nal, size, 1, &r);
  const uint32_t profile = r.Bits(8);
  r.Skip(16);  // constraint flags, level_idc
  r.Ue();      // seq_parameter_set_id
  uint32_t chromaFormat = 1;
  bool separatePlanes = false;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
      profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
      profile == 139 || profile == 134 || profile == 135) {
    chromaFormat = r.Ue();
    if (chromaFormat > 3) return false;
    if (chromaFormat == 3) separatePlanes = r.Bit() != 0;
    r.Ue();         // bit_depth_luma_minus8
    r.Ue();         // bit_depth_chroma_minus8
    r.Bit();        // qpprime_y_zero_transform_bypass_flag
    if (r.Bit()) {  // seq_scaling_matrix_present_flag
      const int lists = chromaFormat != 3 ? 8 : 12;
      for (int i = 0; i < lists && !r.failed; ++i) {
        if (r.Bit()) SkipH264ScalingList(&r, i < 6 ? 16 : 64);
      }
    }
  }
  r.Ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = r.Ue();
  if (pocType == 0) {
    r.Ue();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (pocType == 1) {
    r.Bit();
    r.Se();
    r.Se();
    const uint32_t cycle = r.Ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && !r.failed; ++i) r.Se();
  } else if (pocType != 2) {
    return false;
  }
  r.Ue();   // max_num_ref_frames
  r.Bit();  // gaps_in_frame_num_value_allowed_flag
  const uint64_t widthMbs = uint64_t{r.Ue()} + 1;
  const uint64_t heightMapUnits = uint64_t{r.Ue()} + 1;
  const uint32_t frameMbsOnly = r.Bit();
  if (!frameMbsOnly) r.Bit();                    // mb_adaptive_frame_field_flag
  r.Bit();                                       // direct_8x8_inference_flag
  const CropOffsets crop = ReadCropOffsets(&r);  // frame_cropping_flag and offsets
  if (r.failed) return false;
  const uint64_t chromaArray = separatePlanes ? 0 : chromaFormat;
  const uint64_t subWidth = (chromaArray == 1 || chromaArray == 2) ? 2 : 1;
  const uint64_t subHeight = chromaArray == 1 ? 2 : 1;
  const uint64_t fieldFactor = 2 - frameMbsOnly;
  const uint64_t unitX = chromaArray == 0 ? 1 : subWidth;
  const uint64_t unitY = (chromaArray == 0 ? 1 : subHeight) * fieldFactor;
  return SetSize(widthMbs * 16, heightMapUnits * 16 * fieldFactor, unitX, unitY, crop, out);
}

bool ParseH265Sps(const uint8_t* nal, size_t size, SpsInfo* out) {
  *out = SpsInfo{};
  if (nal == nullptr || size < 4 || ((nal[0] >> 1) & 0x3F) != 33) return false;
  BitReader r;
  LoadRbsp(nal, size, 2, &r);
  r.Skip(4);  // sps_video_parameter_set_id
  const uint32_t maxSubLayersMinus1 = r.Bits(3);
  if (maxSubLayersMinus1 > 6) return false;
  r.Bit();  // sps_temporal_id_nesting_flag
  SkipH265ProfileTierLevel(&r, maxSubLayersMinus1);
  r.Ue();  // sps_seq_parameter_set_id
  const uint32_t chromaFormat = r.Ue();
  if (chromaFormat > 3) return false;
  bool separatePlanes = false;
  if (chromaFormat == 3) separatePlanes = r.Bit() != 0;
  const uint64_t width = r.Ue();
  const uint64_t height = r.Ue();
  const CropOffsets crop = ReadCropOffsets(&r);  // conformance_window_flag and offsets
  if (r.failed) return false;
  const uint64_t chromaArray = separatePlanes ? 0 : chromaFormat;
  const uint64_t unitX = (chromaArray == 1 || chromaArray == 2) ? 2 : 1;
  const uint64_t unitY = chromaArray == 1 ? 2 : 1;
  return SetSize(width, height, unitX, unitY, crop, out);
}

bool FindSpsInAccessUnit(const uint8_t* data, size_t size, int codec, SpsInfo* out) {
  bool found = false;
  if (data == nullptr) return false;
  size_t i = 0;
  while (i + 3 <= size) {
    // Next start code (00 00 01, possibly after more zeros).
    if (!(data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)) {
      ++i;
      continue;
    }
    const size_t begin = i + 3;
    size_t end = begin;
    while (end + 3 <= size && !(data[end] == 0 && data[end + 1] == 0 &&
                                (data[end + 2] == 1 ||
                                 (data[end + 2] == 0 && end + 3 < size && data[end + 3] == 1)))) {
      ++end;
    }
    if (end + 3 > size) end = size;
    if (begin < end) {
      // Parameter sets come before the first slice; stop at picture data.
      const uint8_t type = codec == 2 ? static_cast<uint8_t>((data[begin] >> 1) & 0x3F)
                                      : static_cast<uint8_t>(data[begin] & 0x1F);
      if (codec == 2 ? type < 32 : (type >= 1 && type <= 5)) break;
      SpsInfo candidate;
      const bool parsed = codec == 2 ? ParseH265Sps(data + begin, end - begin, &candidate)
                                     : ParseH264Sps(data + begin, end - begin, &candidate);
      if (parsed) {
        *out = candidate;
        found = true;
      }
    }
    i = end;
  }
  return found;
}

VisibleArea ChooseVisibleArea(uint32_t frameWidth, uint32_t frameHeight,
                              const VisibleArea* aperture, const SpsInfo& sps) {
  const auto fits = [&](const VisibleArea& a) {
    return a.width > 0 && a.height > 0 && uint64_t{a.x} + a.width <= frameWidth &&
           uint64_t{a.y} + a.height <= frameHeight;
  };
  if (aperture != nullptr && fits(*aperture)) return *aperture;
  if (sps.valid && sps.codedWidth == frameWidth && sps.codedHeight == frameHeight &&
      fits(sps.visible))
    return sps.visible;
  VisibleArea whole;
  whole.width = frameWidth;
  whole.height = frameHeight;
  return whole;
}
