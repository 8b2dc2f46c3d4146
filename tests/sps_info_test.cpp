#include "video/sps_info.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// Writes an RBSP bit by bit and turns it into a NAL unit payload with
// emulation prevention bytes.
struct BitWriter {
  std::vector<uint8_t> bytes;
  int used = 8;
  void Bit(uint32_t b) {
    if (used == 8) {
      bytes.push_back(0);
      used = 0;
    }
    if (b) bytes.back() |= static_cast<uint8_t>(0x80 >> used);
    ++used;
  }
  void Bits(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) Bit((v >> i) & 1);
  }
  void Ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    Bits(0, len);
    for (int i = len; i >= 0; --i) Bit(static_cast<uint32_t>((x >> i) & 1));
  }
  std::vector<uint8_t> Nal(uint8_t header) {
    Bit(1);  // rbsp_stop_one_bit
    std::vector<uint8_t> nal = {header};
    int zeros = 0;
    for (uint8_t b : bytes) {
      if (zeros >= 2 && b <= 3) {
        nal.push_back(3);
        zeros = 0;
      }
      zeros = b == 0 ? zeros + 1 : 0;
      nal.push_back(b);
    }
    return nal;
  }
};

std::vector<uint8_t> BaselineSps(uint32_t widthMbsMinus1, uint32_t heightUnitsMinus1,
                                 bool frameMbsOnly, uint32_t left, uint32_t right, uint32_t top,
                                 uint32_t bottom) {
  BitWriter w;
  w.Bits(66, 8);
  w.Bits(0, 8);
  w.Bits(30, 8);
  w.Ue(0);  // sps id
  w.Ue(0);  // log2_max_frame_num_minus4
  w.Ue(2);  // pic_order_cnt_type
  w.Ue(1);  // max_num_ref_frames
  w.Bit(0);
  w.Ue(widthMbsMinus1);
  w.Ue(heightUnitsMinus1);
  w.Bit(frameMbsOnly);
  if (!frameMbsOnly) w.Bit(0);
  w.Bit(1);
  const bool crop = left || right || top || bottom;
  w.Bit(crop);
  if (crop) {
    w.Ue(left);
    w.Ue(right);
    w.Ue(top);
    w.Ue(bottom);
  }
  w.Bit(0);  // vui
  return w.Nal(0x67);
}

}  // namespace

TEST(VideoSpsInfo, ReadsCodedSizeAndCroppingOfRealParameterSets) {
  SpsInfo info;
  // x264 baseline 1920x1080: 1088 coded rows, 8 cropped at the bottom.
  const auto fullHd = Hex("6742c028da01e0089f970110000003001000000303c0f1832a");
  ASSERT_TRUE(ParseH264Sps(fullHd.data(), fullHd.size(), &info));
  EXPECT_EQ(info.codedWidth, 1920u);
  EXPECT_EQ(info.codedHeight, 1088u);
  EXPECT_EQ(info.visible.x, 0u);
  EXPECT_EQ(info.visible.y, 0u);
  EXPECT_EQ(info.visible.width, 1920u);
  EXPECT_EQ(info.visible.height, 1080u);

  // High profile with its chroma format, bit depths and scaling flags.
  const auto high = Hex("6764001facd9405005bb0110000003001000000303c0f1831960");
  ASSERT_TRUE(ParseH264Sps(high.data(), high.size(), &info));
  EXPECT_EQ(info.codedWidth, 1280u);
  EXPECT_EQ(info.visible.height, 720u);

  // x265 1920x1080 (no conformance window needed).
  const auto hevc =
      Hex("420101016000000300900000030000030078a003c08010e596566924caf0168080000003008000000f04");
  ASSERT_TRUE(ParseH265Sps(hevc.data(), hevc.size(), &info));
  EXPECT_EQ(info.codedWidth, 1920u);
  EXPECT_EQ(info.codedHeight, 1080u);
  EXPECT_EQ(info.visible.height, 1080u);

  // Each parser refuses the other codec's NAL unit.
  EXPECT_FALSE(ParseH265Sps(fullHd.data(), fullHd.size(), &info));
  EXPECT_FALSE(ParseH264Sps(hevc.data(), hevc.size(), &info));
}

TEST(VideoSpsInfo, CroppingOnEveryEdgeInChromaUnits) {
  SpsInfo info;
  auto sps = BaselineSps(39, 29, true, 2, 3, 1, 4);  // 640x480
  ASSERT_TRUE(ParseH264Sps(sps.data(), sps.size(), &info));
  EXPECT_EQ(info.codedWidth, 640u);
  EXPECT_EQ(info.codedHeight, 480u);
  EXPECT_EQ(info.visible.x, 4u);
  EXPECT_EQ(info.visible.y, 2u);
  EXPECT_EQ(info.visible.width, 630u);
  EXPECT_EQ(info.visible.height, 470u);

  // Field coding: map units are pairs of rows, crop rows count four.
  sps = BaselineSps(39, 14, false, 0, 0, 0, 1);
  ASSERT_TRUE(ParseH264Sps(sps.data(), sps.size(), &info));
  EXPECT_EQ(info.codedHeight, 480u);
  EXPECT_EQ(info.visible.height, 476u);

  // A window that crops everything away is no picture.
  sps = BaselineSps(0, 0, true, 4, 4, 0, 0);
  EXPECT_FALSE(ParseH264Sps(sps.data(), sps.size(), &info));
  EXPECT_FALSE(info.valid);
}

TEST(VideoSpsInfo, HostileInputNeverReadsPastTheEnd) {
  const auto fullHd = Hex("6742c028da01e0089f970110000003001000000303c0f1832a");
  SpsInfo info;
  // Every truncation, copied into a buffer of exactly that size (ASan).
  for (size_t n = 0; n < fullHd.size(); ++n) {
    std::vector<uint8_t> cut(fullHd.begin(), fullHd.begin() + static_cast<std::ptrdiff_t>(n));
    ParseH264Sps(cut.empty() ? nullptr : cut.data(), cut.size(), &info);
    FindSpsInAccessUnit(cut.empty() ? nullptr : cut.data(), cut.size(), 1, &info);
  }
  // All-zero and all-one payloads: long Exp-Golomb prefixes, huge values.
  std::vector<uint8_t> zeros(64, 0), ones(64, 0xFF);
  zeros[0] = ones[0] = 0x67;
  EXPECT_FALSE(ParseH264Sps(zeros.data(), zeros.size(), &info));
  // All ones happens to spell a valid 16x16 picture (every ue(v) is 0).
  ASSERT_TRUE(ParseH264Sps(ones.data(), ones.size(), &info));
  EXPECT_EQ(info.codedWidth, 16u);
  EXPECT_EQ(info.codedHeight, 16u);
  zeros[0] = ones[0] = 0x42;
  zeros[1] = ones[1] = 0x01;
  EXPECT_FALSE(ParseH265Sps(zeros.data(), zeros.size(), &info));
  EXPECT_FALSE(ParseH265Sps(ones.data(), ones.size(), &info));
  // Pseudo-random bytes behind an SPS header.
  uint32_t seed = 12345;
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> junk(1 + round % 48);
    for (auto& b : junk) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    junk[0] = round % 2 ? 0x67 : 0x42;
    if (round % 2)
      ParseH264Sps(junk.data(), junk.size(), &info);
    else
      ParseH265Sps(junk.data(), junk.size(), &info);
    if (info.valid) {
      EXPECT_LE(uint64_t{info.visible.x} + info.visible.width, info.codedWidth);
      EXPECT_LE(uint64_t{info.visible.y} + info.visible.height, info.codedHeight);
    }
  }
}

TEST(VideoSpsInfo, FindsTheParameterSetInAnAccessUnit) {
  const auto sps = Hex("6742c028da01e0089f970110000003001000000303c0f1832a");
  std::vector<uint8_t> unit = {0, 0, 0, 1, 0x09, 0xF0};  // delimiter
  unit.insert(unit.end(), {0, 0, 0, 1});
  unit.insert(unit.end(), sps.begin(), sps.end());
  unit.insert(unit.end(), {0, 0, 1, 0x68, 0xCE, 0x38, 0x80});  // PPS after a 3-byte start code
  unit.insert(unit.end(), {0, 0, 0, 1, 0x65, 0x88, 0x84});     // IDR slice
  SpsInfo info;
  ASSERT_TRUE(FindSpsInAccessUnit(unit.data(), unit.size(), 1, &info));
  EXPECT_EQ(info.visible.height, 1080u);

  // A parameter set after the first slice is not looked at.
  std::vector<uint8_t> late = {0, 0, 0, 1, 0x41, 0x9A, 0x02, 0, 0, 0, 1};
  late.insert(late.end(), sps.begin(), sps.end());
  EXPECT_FALSE(FindSpsInAccessUnit(late.data(), late.size(), 1, &info));
  EXPECT_FALSE(FindSpsInAccessUnit(unit.data(), unit.size(), 2, &info));
}

TEST(VideoSpsInfo, VisibleAreaPrefersApertureThenMatchingSps) {
  SpsInfo sps;
  sps.valid = true;
  sps.codedWidth = 1920;
  sps.codedHeight = 1088;
  sps.visible = {0, 0, 1920, 1080};
  VisibleArea aperture{0, 4, 1920, 1076};

  VisibleArea a = ChooseVisibleArea(1920, 1088, &aperture, sps);
  EXPECT_EQ(a.y, 4u);
  EXPECT_EQ(a.height, 1076u);
  a = ChooseVisibleArea(1920, 1088, nullptr, sps);
  EXPECT_EQ(a.height, 1080u);
  // A decoder that already reports 1080 rows, or an SPS of another size:
  // the whole frame.
  a = ChooseVisibleArea(1920, 1080, nullptr, sps);
  EXPECT_EQ(a.height, 1080u);
  a = ChooseVisibleArea(1280, 720, nullptr, sps);
  EXPECT_EQ(a.width, 1280u);
  EXPECT_EQ(a.height, 720u);
  // An aperture outside the frame is ignored.
  aperture = {100, 0, 1920, 1080};
  a = ChooseVisibleArea(1920, 1088, &aperture, sps);
  EXPECT_EQ(a.x, 0u);
  EXPECT_EQ(a.height, 1080u);
}
