#include "video/renderer_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/renderer_test_util_win.h"
#include "tests/video_test_util_win.h"

namespace {

// Each test uses slot positions of its own.
class RendererWin : public RendererSuite<320, 240> {};

// An NV12 picture in system memory: left half one colour, right half
// another; planeRows may exceed height (rows below are filled with junk).
struct Nv12Picture {
  uint32_t width, height, planeRows, pitch;
  std::vector<uint8_t> bytes;
  Nv12Picture(uint32_t w, uint32_t h, uint32_t rows, const uint8_t left[3], const uint8_t right[3])
      : width(w),
        height(h),
        planeRows(rows),
        pitch(w + 32),
        bytes(size_t{pitch} * (rows + rows / 2), 0xEE) {
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) bytes[y * pitch + x] = (x < w / 2 ? left : right)[0];
    for (uint32_t y = 0; y < h / 2; ++y)
      for (uint32_t x = 0; x < w / 2; ++x) {
        const uint8_t* c = x < w / 4 ? left : right;
        bytes[(rows + y) * pitch + 2 * x] = c[1];
        bytes[(rows + y) * pitch + 2 * x + 1] = c[2];
      }
  }
  DecodedFrame Frame() const {
    DecodedFrame f;
    f.data = bytes.data();
    f.pitch = pitch;
    f.planeRows = planeRows;
    f.size = bytes.size();
    f.width = width;
    f.height = height;
    return f;
  }
};

void ExpectPixel(const std::vector<uint8_t>& bgra, uint32_t width, uint32_t x, uint32_t y,
                 const uint8_t yuv[3]) {
  double rgb[3];
  ExpectedRgb(yuv, rgb);
  const uint8_t* p = &bgra[(size_t{y} * width + x) * 4];
  EXPECT_NEAR(p[2], rgb[0], 2.0) << "red at " << x << "," << y;
  EXPECT_NEAR(p[1], rgb[1], 2.0) << "green at " << x << "," << y;
  EXPECT_NEAR(p[0], rgb[2], 2.0) << "blue at " << x << "," << y;
}

const uint8_t kBlueish[3] = {100, 180, 98};
const uint8_t kOchre[3] = {150, 86, 150};

}  // namespace

TEST_F(RendererWin, ConvertsASystemMemoryPictureAndShowsOnlyItsVisibleRows) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  // 64 x 48 visible inside 56 decoded rows (like 1080 inside 1088).
  const Nv12Picture picture(64, 48, 56, kBlueish, kOchre);
  r.OnDecodedFrame(3, picture.Frame());
  EXPECT_EQ(r.GetVideoSize(3).width, 64u);
  EXPECT_EQ(r.GetVideoSize(3).height, 48u);
  EXPECT_NE(r.GetLastFrameTick(3), 0u);
  EXPECT_EQ(r.GetVideoSize(2).width, 0u);

  // Drawn five times its size: every picture pixel is a 5 x 5 block.
  r.SetScene(OneTile(3));
  ASSERT_TRUE(r.DrawFrame());
  uint32_t w = 0, h = 0;
  const auto bgra = ShownFrame(r, &w, &h);
  ASSERT_EQ(w, 320u);
  ASSERT_EQ(h, 240u);
  for (uint32_t y : {0u, 20u, 47u}) {
    ExpectPixel(bgra, w, 4 * 5 + 2, y * 5 + 2, kBlueish);
    ExpectPixel(bgra, w, 27 * 5 + 2, y * 5 + 2, kBlueish);
    ExpectPixel(bgra, w, 36 * 5 + 2, y * 5 + 2, kOchre);
    ExpectPixel(bgra, w, 63 * 5 + 2, y * 5 + 2, kOchre);
  }
}

TEST_F(RendererWin, NewSizeRecreatesOnlyThatSlotsTextures) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  const Nv12Picture small(32, 24, 24, kOchre, kOchre);
  const Nv12Picture large(64, 48, 48, kBlueish, kBlueish);
  r.OnDecodedFrame(0, small.Frame());
  r.OnDecodedFrame(1, small.Frame());
  r.SetScene(OneTile(0));
  r.DrawFrame();
  ID3D11Texture2D* otherSource = r.SlotSource(1);
  ASSERT_NE(otherSource, nullptr);

  // Same size again: the textures stay.
  ID3D11Texture2D* firstSource = r.SlotSource(0);
  r.OnDecodedFrame(0, small.Frame());
  EXPECT_EQ(r.SlotSource(0), firstSource);

  r.OnDecodedFrame(0, large.Frame());
  r.DrawFrame();
  EXPECT_EQ(r.SlotSource(1), otherSource);
  EXPECT_EQ(r.GetVideoSize(0).width, 64u);
  EXPECT_EQ(r.GetVideoSize(1).width, 32u);
  uint32_t w = 0, h = 0;
  const auto bgra = ShownFrame(r, &w, &h);
  ASSERT_EQ(w, 320u);
  ExpectPixel(bgra, w, 50 * 5, 40 * 5, kBlueish);

  // Positions beyond the sixteen tiles are dropped.
  r.OnDecodedFrame(16, small.Frame());
  r.OnDecodedFrame(-1, small.Frame());
  EXPECT_EQ(r.GetVideoSize(16).width, 0u);
  EXPECT_EQ(r.GetLastFrameTick(16), 0u);
  EXPECT_EQ(r.SlotSource(16), nullptr);
}

TEST_F(RendererWin, UnsafePictureGeometryIsRefused) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  Nv12Picture picture(64, 48, 48, kBlueish, kOchre);
  DecodedFrame f = picture.Frame();
  f.cropY = 8;  // 8 + 48 rows do not fit in 48
  r.OnDecodedFrame(5, f);
  f = picture.Frame();
  f.cropX = 40;  // wider than the pitch
  r.OnDecodedFrame(5, f);
  f = picture.Frame();
  f.data = nullptr;  // neither texture nor memory
  r.OnDecodedFrame(5, f);
  f = picture.Frame();
  f.size -= 32 + 1;  // the last chroma row (before its 32 bytes of padding) is cut short
  r.OnDecodedFrame(5, f);
  EXPECT_EQ(r.GetVideoSize(5).width, 0u);
  EXPECT_EQ(r.SlotSource(5), nullptr);
}

TEST_F(RendererWin, ResizeRequestsApplyAtTheNextFrame) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  const auto backBufferSize = [&] {
    ID3D11Texture2D* back = r.BackBufferForTest();
    D3D11_TEXTURE2D_DESC d = {};
    if (back) {
      back->GetDesc(&d);
      back->Release();
    }
    return std::make_pair(d.Width, d.Height);
  };
  const auto before = backBufferSize();
  r.RequestResize(0, 0);
  EXPECT_EQ(backBufferSize(), before);  // not before the next frame
  r.DrawFrame();
  EXPECT_EQ(backBufferSize(), std::make_pair(8u, 8u));
  r.RequestResize(640, 360);
  r.DrawFrame();
  EXPECT_EQ(backBufferSize(), std::make_pair(640u, 360u));
  // Overlays of every kind draw without trouble on the new size.
  RenderScene scene;
  TileView tile;
  tile.right = 640;
  tile.bottom = 360;
  tile.label = L"Porch";
  tile.showLabel = true;
  tile.connecting = true;
  scene.tiles.push_back(tile);
  scene.navigatorVisible = true;
  scene.navigatorRight = 160;
  scene.navigatorBottom = 90;
  scene.viewWidth = scene.viewHeight = 0.5;
  scene.audioIconVisible = true;
  scene.iconLeft = 600;
  scene.iconTop = 320;
  scene.iconRight = 632;
  scene.iconBottom = 352;
  scene.scrollIndicatorVisible = true;
  scene.scrollIndicatorLeft = 236;
  scene.scrollIndicatorTop = 4;
  scene.scrollIndicatorRight = 239;
  scene.scrollIndicatorBottom = 120;
  r.SetScene(scene);
  r.DrawFrame();
  scene.audioMuted = true;
  scene.tiles.clear();
  scene.message = L"No cameras";
  r.SetScene(scene);
  r.DrawFrame();
  EXPECT_EQ(backBufferSize(), std::make_pair(640u, 360u));
  r.RequestResize(320, 240);  // the window's size, for the tests after this one
  r.DrawFrame();
}

TEST_F(RendererWin, ForgottenSlotsDrawNothingUntilTheirNextPicture) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  const Nv12Picture old(64, 48, 48, kOchre, kOchre);
  ASSERT_TRUE(r.OnDecodedFrame(6, old.Frame()));
  ASSERT_TRUE(r.OnDecodedFrame(7, old.Frame()));
  RenderScene scene;
  TileView tile;
  tile.right = 160;
  tile.bottom = 120;
  for (int p : {6, 7}) {
    tile.slotIndex = p;
    scene.tiles.push_back(tile);
  }
  r.SetScene(scene);
  r.DrawFrame();
  ASSERT_NE(r.SlotSource(7), nullptr);

  // The slot list is rebuilt: at once no position reports a size or a
  // picture time of the camera it showed before.
  r.ForgetSlotPictures();
  EXPECT_EQ(r.GetVideoSize(6).width, 0u);
  EXPECT_EQ(r.GetVideoSize(7).height, 0u);
  EXPECT_EQ(r.GetLastFrameTick(6), 0u);
  EXPECT_EQ(r.GetLastFrameTick(7), 0u);

  // The new camera of position 6 delivers before the next frame: its
  // picture stays; position 7 has none and its tile gets no old picture.
  const Nv12Picture fresh(32, 24, 24, kBlueish, kBlueish);
  EXPECT_TRUE(r.OnDecodedFrame(6, fresh.Frame()));
  EXPECT_EQ(r.GetVideoSize(6).width, 32u);
  EXPECT_NE(r.GetLastFrameTick(6), 0u);
  r.SetScene(scene);
  ASSERT_TRUE(r.DrawFrame());
  EXPECT_EQ(r.SlotSource(7), nullptr);
  EXPECT_EQ(r.GetVideoSize(7).width, 0u);
  ASSERT_NE(r.SlotSource(6), nullptr);
  uint32_t w = 0, h = 0;
  const auto bgra = ShownFrame(r, &w, &h);
  ASSERT_EQ(w, 320u);
  ExpectPixel(bgra, w, 80, 60, kBlueish);  // position 6, with nothing of 7 drawn over it

  // A frame drawn before any picture after the rebuild shows none either.
  r.ForgetSlotPictures();
  EXPECT_TRUE(r.DrawFrame()) << "dropping the pictures changes what is on screen";
  EXPECT_EQ(r.SlotSource(6), nullptr);
  EXPECT_EQ(r.GetVideoSize(6).width, 0u);
  const auto cleared = ShownFrame(r, &w, &h);
  const uint8_t* p = &cleared[(size_t{60} * w + 80) * 4];
  EXPECT_NEAR(p[2], 0.066 * 255, 2) << "only the background where the old picture was";
}

TEST_F(RendererWin, FailedNv12TextureCostsOnlyThatPicture) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  const bool probed = r.UsesNv12Textures();
  r.AssumeNv12TexturesForTest(true);  // as on a device that samples NV12

  // A picture on the GPU too large for any texture: that picture is refused.
  ID3D11Texture2D* source = nullptr;
  D3D11_TEXTURE2D_DESC desc = {};
  desc.Width = desc.Height = 64;
  desc.MipLevels = desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_R8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  ASSERT_TRUE(SUCCEEDED(r.Device()->CreateTexture2D(&desc, nullptr, &source)));
  DecodedFrame huge;
  huge.texture = source;
  huge.width = huge.height = 32768;
  EXPECT_FALSE(r.OnDecodedFrame(8, huge));
  EXPECT_FALSE(r.OnDecodedFrame(8, huge));
  source->Release();
  EXPECT_EQ(r.GetVideoSize(8).width, 0u);
  EXPECT_EQ(r.SlotSource(8), nullptr);
  EXPECT_TRUE(r.UsesNv12Textures()) << "a failed creation must not turn NV12 off for every slot";

  // The next picture tries again (and, from system memory, is shown in
  // whichever form this device can make).
  const Nv12Picture picture(64, 48, 48, kBlueish, kOchre);
  EXPECT_TRUE(r.OnDecodedFrame(9, picture.Frame()));
  EXPECT_TRUE(r.UsesNv12Textures());
  r.SetScene(OneTile(9));
  r.DrawFrame();
  uint32_t w = 0, h = 0;
  const auto bgra = ShownFrame(r, &w, &h);
  ASSERT_EQ(w, 320u);
  ExpectPixel(bgra, w, 10 * 5, 30 * 5, kBlueish);
  ExpectPixel(bgra, w, 50 * 5, 30 * 5, kOchre);
  r.AssumeNv12TexturesForTest(probed);
}
