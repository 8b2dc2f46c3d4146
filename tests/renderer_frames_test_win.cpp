// The renderer's frames: tiles drawn straight from a picture's planes match
// the conversion of the picture, small tiles are smooth, I420 and NV12 give
// the same picture, and a frame is drawn only when something changed.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/renderer_test_util_win.h"
#include "tests/video_test_util_win.h"
#include "video/placement.h"
#include "video/renderer_win.h"

namespace {

constexpr int kWidth = 640, kHeight = 360;

class RendererFramesWin : public RendererSuite<kWidth, kHeight> {};

// A picture given by its Y, U and V at each sample, stored in either layout.
struct YuvPicture {
  uint32_t width = 0, height = 0, pitch = 0;
  PlaneLayout layout = PlaneLayout::kNv12;
  std::vector<uint8_t> bytes;
  template <typename Luma, typename Chroma>
  YuvPicture(uint32_t w, uint32_t h, PlaneLayout form, Luma luma, Chroma chroma)
      : width(w), height(h), pitch(w + 16), layout(form) {
    const uint32_t cw = w / 2, ch = h / 2;
    bytes.assign(size_t{pitch} * h + size_t{pitch} * ch, 0xEE);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) bytes[size_t{y} * pitch + x] = luma(x, y);
    uint8_t* chromaStart = bytes.data() + size_t{pitch} * h;
    const uint32_t half = pitch / 2;
    for (uint32_t y = 0; y < ch; ++y)
      for (uint32_t x = 0; x < cw; ++x) {
        uint8_t u = 0, v = 0;
        chroma(x, y, &u, &v);
        if (form == PlaneLayout::kNv12) {
          chromaStart[size_t{y} * pitch + 2 * x] = u;
          chromaStart[size_t{y} * pitch + 2 * x + 1] = v;
        } else {
          chromaStart[size_t{y} * half + x] = u;
          chromaStart[size_t{ch} * half + size_t{y} * half + x] = v;
        }
      }
  }
  DecodedFrame Frame() const {
    DecodedFrame f;
    f.data = bytes.data();
    f.size = bytes.size();
    f.pitch = pitch;
    f.planeRows = height;
    f.width = width;
    f.height = height;
    f.layout = layout;
    return f;
  }
};

// Smooth gradients, well inside the legal range, so that bilinear filtering
// of the planes and of a converted picture agree.
uint8_t GradientLuma(uint32_t x, uint32_t y) {
  return static_cast<uint8_t>(40 + x * 3 / 10 + y * 2 / 10);
}
void GradientChroma(uint32_t x, uint32_t y, uint8_t* u, uint8_t* v) {
  *u = static_cast<uint8_t>(90 + x / 3);
  *v = static_cast<uint8_t>(170 - y / 3);
}

// Bilinear sample of a plane of `w` x `h` samples at texture coordinate (s, t),
// clamped at the edges, as the device samples it.
double Bilinear(const std::vector<double>& plane, uint32_t w, uint32_t h, double s, double t) {
  const double x = std::clamp(s * w - 0.5, 0.0, w - 1.0);
  const double y = std::clamp(t * h - 0.5, 0.0, h - 1.0);
  const uint32_t x0 = static_cast<uint32_t>(x), y0 = static_cast<uint32_t>(y);
  const uint32_t x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
  const double fx = x - x0, fy = y - y0;
  const auto at = [&](uint32_t px, uint32_t py) { return plane[size_t{py} * w + px]; };
  return (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
         (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
}

// Every third pixel of `placed` (window pixels) against the picture's
// conversion, in doubles, sampled where that pixel's centre falls. The device
// filters in 8 bits, which the conversion's gains (up to 2.1) make up to three
// levels of the result.
void ExpectConvertedPicture(const std::vector<uint8_t>& bgra, uint32_t frameWidth,
                            const PixelRect& placed, uint32_t w, uint32_t h) {
  std::vector<double> Y(size_t{w} * h), U(size_t{w / 2} * (h / 2)), V(U.size());
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) Y[size_t{y} * w + x] = GradientLuma(x, y);
  for (uint32_t y = 0; y < h / 2; ++y)
    for (uint32_t x = 0; x < w / 2; ++x) {
      uint8_t u = 0, v = 0;
      GradientChroma(x, y, &u, &v);
      U[size_t{y} * (w / 2) + x] = u;
      V[size_t{y} * (w / 2) + x] = v;
    }
  int wrong = 0;
  for (int32_t sy = placed.y; sy < placed.y + placed.h; sy += 3)
    for (int32_t sx = placed.x; sx < placed.x + placed.w; sx += 3) {
      const double s = (sx + 0.5 - placed.x) / placed.w, t = (sy + 0.5 - placed.y) / placed.h;
      const double yuv01[3] = {Bilinear(Y, w, h, s, t) / 255.0,
                               Bilinear(U, w / 2, h / 2, s, t) / 255.0 - 0.5,
                               Bilinear(V, w / 2, h / 2, s, t) / 255.0 - 0.5};
      const double luma = (yuv01[0] - 0.0625) * 1.164;
      const double rgb[3] = {luma + 1.793 * yuv01[2], luma - 0.213 * yuv01[1] - 0.533 * yuv01[2],
                             luma + 2.112 * yuv01[1]};
      const uint8_t* p = &bgra[(size_t(sy) * frameWidth + size_t(sx)) * 4];
      for (int c = 0; c < 3; ++c) {
        const double want = 255.0 * std::clamp(rgb[c], 0.0, 1.0);
        if (std::fabs(p[2 - c] - want) > 3.0 && ++wrong <= 5)
          ADD_FAILURE() << "channel " << c << " at " << sx << "," << sy << ": " << int(p[2 - c])
                        << " instead of " << want;
      }
    }
  EXPECT_EQ(wrong, 0);
}

}  // namespace

TEST_F(RendererFramesWin, TilesDrawnFromThePlanesMatchTheConvertedPicture) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  // At its own size, and at the stage's scale (1866 x 1050 of 1920 x 1080).
  struct Case {
    uint32_t w, h;
    int32_t tileW, tileH;
  } cases[] = {{320, 180, 320, 180}, {400, 224, 388, 218}};
  for (const Case& c : cases) {
    const YuvPicture picture(c.w, c.h, PlaneLayout::kNv12, GradientLuma, GradientChroma);
    ASSERT_TRUE(r.OnDecodedFrame(0, picture.Frame()));
    r.SetScene(OneTile(0, c.tileW, c.tileH));
    ASSERT_TRUE(r.DrawFrame());
    EXPECT_EQ(r.SlotPicture(0), nullptr) << "no converted copy for a tile this large";
    PixelRect placed;
    ASSERT_TRUE(PlacePicture(c.w, c.h, 1.0, 1.0, 0, 0, c.tileW, c.tileH, &placed));
    uint32_t fw = 0, fh = 0;
    const auto bgra = ShownFrame(r, &fw, &fh);
    ASSERT_EQ(fw, static_cast<uint32_t>(kWidth));
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " in " << c.tileW << "x" << c.tileH);
    ExpectConvertedPicture(bgra, fw, placed, c.w, c.h);
  }
}

TEST_F(RendererFramesWin, I420AndNv12GiveTheSamePicture) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  std::vector<uint8_t> shown[3];
  const PlaneLayout layouts[3] = {PlaneLayout::kNv12, PlaneLayout::kI420, PlaneLayout::kYv12};
  for (int i = 0; i < 3; ++i) {
    YuvPicture picture(256, 144, layouts[i], GradientLuma, GradientChroma);
    if (layouts[i] == PlaneLayout::kYv12) {
      // The same samples with V stored first.
      picture = YuvPicture(
          256, 144, PlaneLayout::kYv12, GradientLuma,
          [](uint32_t x, uint32_t y, uint8_t* u, uint8_t* v) { GradientChroma(x, y, v, u); });
    }
    ASSERT_TRUE(r.OnDecodedFrame(1, picture.Frame()));
    r.SetScene(OneTile(1, 600, 338));
    ASSERT_TRUE(r.DrawFrame());
    uint32_t w = 0, h = 0;
    shown[i] = ShownFrame(r, &w, &h);
    ASSERT_FALSE(shown[i].empty());
  }
  for (int i = 1; i < 3; ++i) {
    int differing = 0;
    for (size_t b = 0; b < shown[0].size(); ++b)
      if (std::abs(int(shown[0][b]) - int(shown[i][b])) > 1) ++differing;
    EXPECT_EQ(differing, 0) << "layout " << i;
  }
}

TEST_F(RendererFramesWin, SmallTileOfALargePictureIsSmoothNotAliased) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  // A one-pixel checkerboard: every box of it averages mid grey, while
  // sampling it sparsely gives anything from black to white.
  const YuvPicture picture(
      1280, 720, PlaneLayout::kNv12,
      [](uint32_t x, uint32_t y) { return static_cast<uint8_t>((x + y) % 2 ? 235 : 16); },
      [](uint32_t, uint32_t, uint8_t* u, uint8_t* v) { *u = *v = 128; });
  ASSERT_TRUE(r.OnDecodedFrame(2, picture.Frame()));
  RenderScene scene = OneTile(2, 150, 85);  // about 0.117 of the picture's size
  r.SetScene(scene);
  ASSERT_TRUE(r.DrawFrame());
  ASSERT_NE(r.SlotPicture(2), nullptr) << "a tile this small draws from a reduced copy";
  D3D11_TEXTURE2D_DESC copy = {};
  r.SlotPicture(2)->GetDesc(&copy);
  EXPECT_EQ(copy.Width, 640u);
  EXPECT_EQ(copy.Height, 360u);

  const uint8_t grey[3] = {126, 128, 128};  // the box filter's mean of 16 and 235
  double want[3];
  ExpectedRgb(grey, want);
  uint32_t w = 0, h = 0;
  const auto bgra = ShownFrame(r, &w, &h);
  PixelRect placed;
  ASSERT_TRUE(PlacePicture(1280, 720, 1.0, 1.0, 0, 0, 150, 85, &placed));
  int worst = 0;
  for (int32_t y = placed.y + 1; y < placed.y + placed.h - 1; ++y)
    for (int32_t x = placed.x + 1; x < placed.x + placed.w - 1; ++x) {
      const uint8_t* p = &bgra[(size_t(y) * w + size_t(x)) * 4];
      worst = std::max(worst, std::abs(int(p[1]) - int(std::lround(want[1]))));
    }
  EXPECT_LE(worst, 4) << "the thumbnail differs from the box-filtered picture";

  // A new picture brings the copy up to date when the tile is drawn.
  const YuvPicture white(
      1280, 720, PlaneLayout::kNv12, [](uint32_t, uint32_t) { return 235; },
      [](uint32_t, uint32_t, uint8_t* u, uint8_t* v) { *u = *v = 128; });
  ASSERT_TRUE(r.OnDecodedFrame(2, white.Frame()));
  ASSERT_TRUE(r.DrawFrame());
  const auto after = ShownFrame(r, &w, &h);
  EXPECT_GE(after[(size_t{40} * w + 75) * 4 + 1], 250);
}

TEST_F(RendererFramesWin, FramesAreDrawnOnlyWhenSomethingOnScreenChanged) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  const YuvPicture picture(64, 36, PlaneLayout::kNv12, GradientLuma, GradientChroma);
  ASSERT_TRUE(r.OnDecodedFrame(3, picture.Frame()));
  RenderScene scene = OneTile(3, 320, 180);
  r.SetScene(scene);
  EXPECT_TRUE(r.DrawFrame());
  EXPECT_FALSE(r.DrawFrame()) << "nothing changed";

  ASSERT_TRUE(r.OnDecodedFrame(4, picture.Frame()));
  EXPECT_FALSE(r.DrawFrame()) << "a new picture of a camera not on screen";
  ASSERT_TRUE(r.OnDecodedFrame(3, picture.Frame()));
  EXPECT_TRUE(r.DrawFrame()) << "a new picture of the tile on screen";

  r.SetScene(scene);
  EXPECT_FALSE(r.DrawFrame()) << "the same scene posted again";
  scene.tiles[0].left += 1;  // a step of an animation
  r.SetScene(scene);
  EXPECT_TRUE(r.DrawFrame());
  scene.tiles[0].connecting = true;
  r.SetScene(scene);
  EXPECT_TRUE(r.DrawFrame()) << "an overlay text";

  r.RequestResize(kWidth, kHeight);
  EXPECT_FALSE(r.DrawFrame()) << "a resize to the size it has";
  r.RequestResize(kWidth - 40, kHeight);
  EXPECT_TRUE(r.DrawFrame());
  r.RequestResize(kWidth, kHeight);
  EXPECT_TRUE(r.DrawFrame());
  r.RequestRedraw();
  EXPECT_TRUE(r.DrawFrame()) << "the window asked for its content again";

  // One second of 60 ticks: pictures every other tick give thirty frames,
  // none give none.
  const uint64_t before = r.PresentCount();
  for (int tick = 0; tick < 60; ++tick) {
    if (tick % 2 == 0) r.OnDecodedFrame(3, picture.Frame());
    r.DrawFrame();
  }
  EXPECT_EQ(r.PresentCount() - before, 30u);
  const uint64_t still = r.PresentCount();
  for (int tick = 0; tick < 60; ++tick) r.DrawFrame();
  EXPECT_EQ(r.PresentCount(), still);
}
