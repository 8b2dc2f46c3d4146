#include "video/renderer_win.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tests/video_test_util_win.h"

namespace {

HWND MakeTestWindow(int width, int height) {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavikRendererTest";
    RegisterClassExW(&wc);
    registered = true;
  }
  return CreateWindowExW(0, L"TavikRendererTest", L"renderer test", WS_POPUP, 0, 0, width, height,
                         nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// One renderer on a 320x240 window for the whole suite (start-up is slow
// under software rendering); each test uses slot positions of its own.
class RendererWin : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    mf = new MediaFoundationScope;
    window = MakeTestWindow(320, 240);
    renderer = new Renderer;
    ok = window && renderer->Init(window);
  }
  static void TearDownTestSuite() {
    renderer->Shutdown();
    delete renderer;
    if (window) DestroyWindow(window);
    delete mf;
  }
  static MediaFoundationScope* mf;
  static HWND window;
  static Renderer* renderer;
  static bool ok;
};
MediaFoundationScope* RendererWin::mf = nullptr;
HWND RendererWin::window = nullptr;
Renderer* RendererWin::renderer = nullptr;
bool RendererWin::ok = false;

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
    f.width = width;
    f.height = height;
    return f;
  }
};

// The shader's conversion (BT.709, limited range) in doubles, 0..255.
void ExpectedRgb(const uint8_t yuv[3], double rgb[3]) {
  const double y = (yuv[0] / 255.0 - 0.0625) * 1.164;
  const double u = yuv[1] / 255.0 - 0.5;
  const double v = yuv[2] / 255.0 - 0.5;
  const double c[3] = {y + 1.793 * v, y - 0.213 * u - 0.533 * v, y + 2.112 * u};
  for (int i = 0; i < 3; ++i) rgb[i] = 255.0 * std::clamp(c[i], 0.0, 1.0);
}

// Mip 0 of a BGRA texture, as rows of bytes.
std::vector<uint8_t> ReadBack(Renderer& r, ID3D11Texture2D* texture, uint32_t* width,
                              uint32_t* height) {
  D3D11_TEXTURE2D_DESC desc = {};
  texture->GetDesc(&desc);
  *width = desc.Width;
  *height = desc.Height;
  desc.MipLevels = 1;
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  ID3D11Texture2D* staging = nullptr;
  std::vector<uint8_t> out;
  if (FAILED(r.Device()->CreateTexture2D(&desc, nullptr, &staging))) return out;
  r.Context()->CopySubresourceRegion(staging, 0, 0, 0, 0, texture, 0, nullptr);
  D3D11_MAPPED_SUBRESOURCE m = {};
  if (SUCCEEDED(r.Context()->Map(staging, 0, D3D11_MAP_READ, 0, &m))) {
    out.resize(size_t{desc.Width} * desc.Height * 4);
    for (uint32_t y = 0; y < desc.Height; ++y)
      memcpy(&out[size_t{y} * desc.Width * 4],
             static_cast<const uint8_t*>(m.pData) + size_t{y} * m.RowPitch, desc.Width * 4);
    r.Context()->Unmap(staging, 0);
  }
  staging->Release();
  return out;
}

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

  RenderScene scene;
  TileView tile;
  tile.slotIndex = 3;
  tile.right = 320;
  tile.bottom = 240;
  scene.tiles.push_back(tile);
  r.SetScene(scene);
  r.DrawFrame();

  ID3D11Texture2D* rgb = r.SlotPicture(3);
  ASSERT_NE(rgb, nullptr);
  uint32_t w = 0, h = 0;
  const auto bgra = ReadBack(r, rgb, &w, &h);
  ASSERT_EQ(w, 64u);
  ASSERT_EQ(h, 48u);
  ASSERT_FALSE(bgra.empty());
  for (uint32_t y : {0u, 20u, 47u}) {
    ExpectPixel(bgra, w, 4, y, kBlueish);
    ExpectPixel(bgra, w, 27, y, kBlueish);
    ExpectPixel(bgra, w, 36, y, kOchre);
    ExpectPixel(bgra, w, 63, y, kOchre);
  }
}

TEST_F(RendererWin, NewSizeRecreatesOnlyThatSlotsTextures) {
  ASSERT_TRUE(ok);
  Renderer& r = *renderer;
  const Nv12Picture small(32, 24, 24, kOchre, kOchre);
  const Nv12Picture large(64, 48, 48, kBlueish, kBlueish);
  r.OnDecodedFrame(0, small.Frame());
  r.OnDecodedFrame(1, small.Frame());
  r.DrawFrame();
  ID3D11Texture2D* otherSource = r.SlotSource(1);
  ID3D11Texture2D* otherPicture = r.SlotPicture(1);
  ASSERT_NE(otherSource, nullptr);

  // Same size again: the textures stay.
  ID3D11Texture2D* firstPicture = r.SlotPicture(0);
  r.OnDecodedFrame(0, small.Frame());
  EXPECT_EQ(r.SlotPicture(0), firstPicture);

  r.OnDecodedFrame(0, large.Frame());
  r.DrawFrame();
  EXPECT_EQ(r.SlotSource(1), otherSource);
  EXPECT_EQ(r.SlotPicture(1), otherPicture);
  EXPECT_EQ(r.GetVideoSize(0).width, 64u);
  EXPECT_EQ(r.GetVideoSize(1).width, 32u);
  uint32_t w = 0, h = 0;
  const auto bgra = ReadBack(r, r.SlotPicture(0), &w, &h);
  ASSERT_EQ(w, 64u);
  ASSERT_EQ(h, 48u);
  ExpectPixel(bgra, w, 50, 40, kBlueish);

  // Positions beyond the sixteen tiles are dropped.
  r.OnDecodedFrame(16, small.Frame());
  r.OnDecodedFrame(-1, small.Frame());
  EXPECT_EQ(r.GetVideoSize(16).width, 0u);
  EXPECT_EQ(r.GetLastFrameTick(16), 0u);
  EXPECT_EQ(r.SlotPicture(16), nullptr);
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
  EXPECT_EQ(r.GetVideoSize(5).width, 0u);
  EXPECT_EQ(r.SlotPicture(5), nullptr);
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
  ASSERT_NE(r.SlotPicture(7), nullptr);

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
  r.DrawFrame();
  EXPECT_EQ(r.SlotSource(7), nullptr);
  EXPECT_EQ(r.SlotPicture(7), nullptr);
  EXPECT_EQ(r.GetVideoSize(7).width, 0u);
  ASSERT_NE(r.SlotPicture(6), nullptr);
  uint32_t w = 0, h = 0;
  const auto bgra = ReadBack(r, r.SlotPicture(6), &w, &h);
  ASSERT_EQ(w, 32u);
  ExpectPixel(bgra, w, 20, 10, kBlueish);

  // A frame drawn before any picture after the rebuild shows none either.
  r.ForgetSlotPictures();
  r.DrawFrame();
  EXPECT_EQ(r.SlotPicture(6), nullptr);
  EXPECT_EQ(r.GetVideoSize(6).width, 0u);
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
  r.DrawFrame();
  ASSERT_NE(r.SlotPicture(9), nullptr);
  uint32_t w = 0, h = 0;
  const auto bgra = ReadBack(r, r.SlotPicture(9), &w, &h);
  ASSERT_EQ(w, 64u);
  ExpectPixel(bgra, w, 10, 30, kBlueish);
  ExpectPixel(bgra, w, 50, 30, kOchre);
  r.AssumeNv12TexturesForTest(probed);
}
