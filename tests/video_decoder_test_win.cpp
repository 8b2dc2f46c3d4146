#include "video/video_decoder_win.h"

#include <gtest/gtest.h>

#include "tests/video_test_util_win.h"

namespace {

struct Picture {
  uint32_t width = 0, height = 0, planeRows = 0;
  bool system = false;
  PlaneLayout layout = PlaneLayout::kNv12;
  // Luma in the middle of the top and bottom halves, luma on the last
  // visible row, and Cb/Cr in the middle of the top half.
  int yTop = -1, yBottom = -1, yLastRow = -1, cbTop = -1, crTop = -1;
};

struct Collector {
  std::vector<Picture> pictures;
  FrameCallback Callback() {
    return [this](const DecodedFrame& f) {
      Picture p;
      p.width = f.width;
      p.height = f.height;
      p.planeRows = f.planeRows;
      p.system = f.data != nullptr;
      p.layout = f.layout;
      PlaneOffsets at;
      if (f.data && LocatePlanes(f.layout, f.pitch, f.planeRows, f.cropX, f.cropY, f.width,
                                 f.height, f.size, &at)) {
        const auto Y = [&](uint32_t x, uint32_t y) { return f.data[at.y + y * f.pitch + x]; };
        const uint32_t cx = f.width / 2, cy = f.height / 4;
        p.yTop = Y(cx, cy);
        p.yBottom = Y(cx, f.height * 3 / 4);
        p.yLastRow = Y(cx, f.height - 1);
        const size_t row = size_t{cy / 2} * at.chromaPitch;
        if (f.layout == PlaneLayout::kNv12) {
          p.cbTop = f.data[at.second + row + cx / 2 * 2];
          p.crTop = f.data[at.second + row + cx / 2 * 2 + 1];
        } else {
          p.cbTop = f.data[at.second + row + cx / 2];
          p.crTop = f.data[at.third + row + cx / 2];
        }
      }
      pictures.push_back(p);
      return true;
    };
  }
};

// The clips: top half RGB #3366CC, bottom half #CC9933, encoded BT.601
// limited range: Y 100 / 150, top Cb 180, Cr 98.
void ExpectTwoColours(const Picture& p) {
  ASSERT_TRUE(p.system);
  EXPECT_NEAR(p.yTop, 100, 4);
  EXPECT_NEAR(p.yBottom, 150, 4);
  EXPECT_NEAR(p.cbTop, 180, 6);
  EXPECT_NEAR(p.crTop, 98, 6);
}

}  // namespace

TEST(VideoDecoderWin, DecodesH264AndFollowsTheStreamChangeTo720p) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  const auto units = SplitAtDelimiters(ReadTestClip("two_colour_1280x720.h264"));
  ASSERT_EQ(units.size(), 6u);

  VideoDecoder decoder;
  ASSERT_TRUE(decoder.Open(nullptr, nullptr, 1));
  Collector got;
  // Nothing to decode: ignored without a call back.
  decoder.Decode(nullptr, 100, 0, got.Callback());
  decoder.Decode(units[0].data(), 0, 0, got.Callback());
  EXPECT_TRUE(got.pictures.empty());

  int64_t t = 0;
  for (const auto& unit : units)
    decoder.Decode(unit.data(), unit.size(), t += 333333, got.Callback());
  // A decoder may hold back a picture or two without an end of stream.
  ASSERT_GE(got.pictures.size(), 4u);
  for (const Picture& p : got.pictures) {
    EXPECT_EQ(p.width, 1280u);
    EXPECT_EQ(p.height, 720u);
    ExpectTwoColours(p);
  }
  EXPECT_EQ(decoder.Width(), 1280u);
  EXPECT_EQ(decoder.Height(), 720u);
  // Whatever form the decoder offered first, the colours above read right in it.
  std::printf("decoder output layout: %d (0 NV12, 1 I420, 2 YV12)\n",
              static_cast<int>(got.pictures[0].layout));
  decoder.Close();
}

// A picture that waits for the next unit is shown a frame interval late.
TEST(VideoDecoderWin, EachPictureComesOutWithItsOwnUnit) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  const auto units = SplitAtDelimiters(ReadTestClip("two_colour_1280x720.h264"));
  VideoDecoder decoder;
  ASSERT_TRUE(decoder.Open(nullptr, nullptr, 1));
  Collector got;
  int64_t t = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    decoder.Decode(units[i].data(), units[i].size(), t += 333333, got.Callback());
    ASSERT_EQ(got.pictures.size(), i + 1) << "unit " << i;
  }
  ExpectTwoColours(got.pictures.back());
  decoder.Close();
}

TEST(VideoDecoderWin, FullHdPaddedTo1088ShowsOnly1080Rows) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  const auto units = SplitAtDelimiters(ReadTestClip("two_colour_1920x1080.h264"));
  ASSERT_EQ(units.size(), 4u);

  VideoDecoder decoder;
  ASSERT_TRUE(decoder.Open(nullptr, nullptr, 1));
  Collector got;
  int64_t t = 0;
  for (const auto& unit : units)
    decoder.Decode(unit.data(), unit.size(), t += 333333, got.Callback());
  ASSERT_GE(got.pictures.size(), 2u);
  for (const Picture& p : got.pictures) {
    EXPECT_EQ(p.width, 1920u);
    EXPECT_EQ(p.height, 1080u);  // whatever the decoder's frame height (1080 or 1088)
    EXPECT_GE(p.planeRows, 1080u);
    ExpectTwoColours(p);
    EXPECT_NEAR(p.yLastRow, 150, 4);
  }
  const VisibleArea visible = decoder.Visible();
  EXPECT_EQ(visible.x, 0u);
  EXPECT_EQ(visible.y, 0u);
  EXPECT_EQ(visible.height, 1080u);
  decoder.Close();
}

TEST(VideoDecoderWin, PicturesBeforeParameterSetsAreDroppedQuietly) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  const auto units = SplitAtDelimiters(ReadTestClip("two_colour_1280x720.h264"));
  ASSERT_EQ(units.size(), 6u);
  VideoDecoder decoder;
  ASSERT_TRUE(decoder.Open(nullptr, nullptr, 1));
  Collector got;
  int64_t t = 0;
  // Predicted pictures with no parameter sets or key picture before them.
  for (size_t i = 1; i < units.size(); ++i)
    decoder.Decode(units[i].data(), units[i].size(), t += 1, got.Callback());
  EXPECT_TRUE(got.pictures.empty());
  for (const auto& unit : units) decoder.Decode(unit.data(), unit.size(), t += 1, got.Callback());
  ASSERT_FALSE(got.pictures.empty());
  ExpectTwoColours(got.pictures.back());
  decoder.Close();
}

TEST(VideoDecoderWin, H265WithoutADecoderFailsToOpenCleanly) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  VideoDecoder decoder;
  const bool opened = decoder.Open(nullptr, nullptr, 2);
  decoder.Close();
  if (opened) GTEST_SKIP() << "this system has an H.265 decoder";
  // A closed decoder ignores input.
  Collector got;
  const uint8_t unit[] = {0, 0, 0, 1, 0x40, 0x01, 0x0C, 0x01};
  decoder.Decode(unit, sizeof(unit), 0, got.Callback());
  EXPECT_TRUE(got.pictures.empty());
}

// The safety net of the GPU hand-off, with the clip looped at 5 pictures a
// second: a decoder given the device manager whose pictures are all refused
// gives up after a few seconds of stream; one whose pictures are taken, or
// one without the device manager, never does.
TEST(VideoDecoderWin, GpuHandOffWithoutUsablePicturesIsReportedAsFailed) {
  MediaFoundationScope mf;
  ASSERT_TRUE(mf.ok);
  GpuScope gpu;
  ASSERT_TRUE(gpu.ok);
  const auto units = SplitAtDelimiters(ReadTestClip("two_colour_1280x720.h264"));
  ASSERT_EQ(units.size(), 6u);

  int offered = 0;
  const FrameCallback refuse = [&offered](const DecodedFrame&) {
    ++offered;
    return false;
  };
  const FrameCallback take = [](const DecodedFrame&) { return true; };
  const auto feed = [&units](VideoDecoder& decoder, const FrameCallback& callback) {
    int fed = 0;
    for (int64_t t = 0; fed < 30 && !decoder.GpuHandOffFailed(); t += 2000000, ++fed) {
      const auto& unit = units[fed % units.size()];
      decoder.Decode(unit.data(), unit.size(), t, callback);
    }
    return fed;
  };

  VideoDecoder refused;
  ASSERT_TRUE(refused.Open(gpu.device, gpu.manager, 1));
  const int fed = feed(refused, refuse);
  EXPECT_TRUE(refused.GpuHandOffFailed());
  EXPECT_GE(fed, 20) << "not before 3 s of stream and 20 units";
  EXPECT_GT(offered, 0);
  refused.Close();

  VideoDecoder working;
  ASSERT_TRUE(working.Open(gpu.device, gpu.manager, 1));
  EXPECT_EQ(feed(working, take), 30);
  EXPECT_FALSE(working.GpuHandOffFailed());
  working.Close();

  VideoDecoder plain;
  ASSERT_TRUE(plain.Open(gpu.device, nullptr, 1));
  EXPECT_EQ(feed(plain, refuse), 30);
  EXPECT_FALSE(plain.GpuHandOffFailed()) << "the system-memory path is not judged";
  plain.Close();
}
